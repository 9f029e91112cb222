// SPDX-License-Identifier: MIT
// The camera-raw source over a faked camera-raw library: which tags are listed, their data and
// text forms, buffer limits and a file the library does not identify.
#include <gtest/gtest.h>
#include <tavrel/platform/memory.h>

#include <cmath>
#include <ctime>
#include <limits>

#include "manager/fake_libraries.h"
#include "metadata/camera_raw_source.h"

namespace {

class CameraRawSourceTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fake::reset();
        auto& raw = fake::state().raw;
        raw.make = "Canon";
        raw.model = "Canon EOS 6D";
        raw.flash = 16;
        raw.iso = 100;
        raw.shutter = 1.0 / 250;
        raw.aperture = 2.8;
        raw.focal = 50.7;
        raw.timeStamp = 1'300'000'000;
        raw.flip = 6;
        m_block = fake::makeImageRecord(1, "/x/a.cr2");
    }
    void TearDown() override
    {
        GlobalFree(m_block);
        fake::reset();
    }

    std::u16string text(mio::CCameraRawSource& s, int32_t tag, HRESULT expected = S_OK)
    {
        WCHAR buffer[64] = {};
        EXPECT_EQ(s.GetMetaDataStr(tag, buffer, sizeof buffer), expected) << tag;
        return buffer;
    }
    std::pair<int32_t, int32_t> rational(mio::CCameraRawSource& s, int32_t tag)
    {
        int32_t pair[2] = {};
        int32_t size = 0;
        EXPECT_EQ(s.GetMetaData(tag, reinterpret_cast<BYTE*>(pair), sizeof pair, &size), S_OK);
        EXPECT_EQ(size, 8);
        return {pair[0], pair[1]};
    }
    uint16_t shortValue(mio::CCameraRawSource& s, int32_t tag)
    {
        uint16_t value = 0;
        int32_t size = 0;
        EXPECT_EQ(s.GetMetaData(tag, reinterpret_cast<BYTE*>(&value), sizeof value, &size), S_OK);
        EXPECT_EQ(size, 2);
        return value;
    }

    HGLOBAL m_block = nullptr;
};

TEST_F(CameraRawSourceTest, ListsPresentTagsInOrderWithinTheRoom)
{
    mio::CCameraRawSource source(m_block);
    ASSERT_TRUE(source.identified());
    int32_t count = 0;
    int32_t tags[16] = {};
    EXPECT_EQ(source.GetMetaTags(&count, tags, 16), S_OK);
    ASSERT_EQ(count, 9);
    const int32_t expected[] = {100, 101, 29, 19, 15, 16, 30, 10, 103};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(tags[i], expected[i]);
    // Room for three: all nine counted, three written.
    int32_t few[4] = {-1, -1, -1, -1};
    EXPECT_EQ(source.GetMetaTags(&count, few, 3), S_OK);
    EXPECT_EQ(count, 9);
    EXPECT_EQ(few[2], 29);
    EXPECT_EQ(few[3], -1);
    EXPECT_EQ(source.GetMetaTags(nullptr, tags, 16), E_INVALIDARG);
}

TEST_F(CameraRawSourceTest, AbsentValuesAreNotListed)
{
    auto& raw = fake::state().raw;
    raw.flash = 0;
    raw.model.clear();
    raw.flip = -1;
    raw.shutter = std::numeric_limits<double>::quiet_NaN(); // not a number counts as present
    mio::CCameraRawSource source(m_block);
    int32_t count = 0;
    int32_t tags[16] = {};
    EXPECT_EQ(source.GetMetaTags(&count, tags, 16), S_OK);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(tags[1], 19);
    EXPECT_EQ(tags[2], 15);
    // A NaN exposure has no data or text form; it must not reach an integer conversion.
    int32_t pair[2] = {};
    EXPECT_EQ(source.GetMetaData(15, reinterpret_cast<BYTE*>(pair), 8, nullptr), E_FAIL);
    text(source, 15, E_FAIL);
}

TEST_F(CameraRawSourceTest, ExposureTimeForms)
{
    {
        mio::CCameraRawSource source(m_block);
        EXPECT_EQ(rational(source, 15), std::make_pair(1, 250));
        EXPECT_EQ(text(source, 15), u"1/250");
    }
    fake::state().raw.shutter = 2.0;
    {
        mio::CCameraRawSource source(m_block);
        EXPECT_EQ(rational(source, 15), std::make_pair(1, 1));
        EXPECT_EQ(text(source, 15), u"2");
    }
    fake::state().raw.shutter = 0.3;
    {
        mio::CCameraRawSource source(m_block);
        EXPECT_EQ(text(source, 15), u"1/3");
    }
}

TEST_F(CameraRawSourceTest, NumericForms)
{
    mio::CCameraRawSource source(m_block);
    EXPECT_EQ(rational(source, 16), std::make_pair(2800, 1000));
    EXPECT_EQ(text(source, 16), u"2799/1000"); // through single precision
    EXPECT_EQ(rational(source, 30), std::make_pair(50, 1));
    EXPECT_EQ(text(source, 30), u"50/1");
    EXPECT_EQ(shortValue(source, 29), 16);
    EXPECT_EQ(text(source, 19), u"100");
    EXPECT_EQ(shortValue(source, 103), 6);
    EXPECT_EQ(text(source, 103), u"6");
    EXPECT_EQ(text(source, 100), u"Canon");
}

TEST_F(CameraRawSourceTest, FlipCodesWithoutEquivalentReadAsMinusOne)
{
    fake::state().raw.flip = 1;
    mio::CCameraRawSource source(m_block);
    EXPECT_EQ(shortValue(source, 103), 0xFFFF);
    EXPECT_EQ(text(source, 103), u"-1");
}

TEST_F(CameraRawSourceTest, DateTakenInLocalTime)
{
    mio::CCameraRawSource source(m_block);
    const time_t seconds = 1'300'000'000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y:%m:%d %H:%M:%S", &local);
    const std::u16string want(expected, expected + std::strlen(expected));
    EXPECT_EQ(text(source, 10), want);
    WCHAR data[32] = {};
    int32_t size = 0;
    EXPECT_EQ(source.GetMetaData(10, reinterpret_cast<BYTE*>(data), sizeof data, &size), S_OK);
    EXPECT_EQ(size, 40);
    EXPECT_EQ(std::u16string(data), want);
}

TEST_F(CameraRawSourceTest, BufferLimits)
{
    mio::CCameraRawSource source(m_block);
    BYTE small[8];
    int32_t size = 0;
    EXPECT_EQ(source.GetMetaData(100, small, sizeof small, &size), E_INVALIDARG);
    EXPECT_EQ(size, 12); // "Canon" and terminator in UTF-16
    EXPECT_EQ(source.GetMetaData(15, small, 4, &size), E_FAIL);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(source.GetMetaData(100, nullptr, 64, &size), E_INVALIDARG);
    WCHAR name[40] = {};
    EXPECT_EQ(source.GetMetaTagName(10, name, 40), E_FAIL); // needs 74 bytes
    EXPECT_EQ(source.GetMetaTagName(10, name, 74), S_OK);
    EXPECT_EQ(std::u16string(name), u"Date and time of original generation");
    EXPECT_EQ(source.GetMetaTagName(11, name, 74), E_FAIL);
    WCHAR shortText[5];
    EXPECT_EQ(source.GetMetaDataStr(100, shortText, sizeof shortText), E_INVALIDARG);
    EXPECT_EQ(source.GetMetaDataStr(999, shortText, sizeof shortText), E_FAIL);
}

TEST_F(CameraRawSourceTest, AbsentMakeClearsTheBuffer)
{
    fake::state().raw.make.clear();
    mio::CCameraRawSource source(m_block);
    BYTE data[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    int32_t size = -1;
    EXPECT_EQ(source.GetMetaData(100, data, sizeof data, &size), S_OK);
    EXPECT_EQ(size, -1);
    for (BYTE b : data)
        EXPECT_EQ(b, 0);
    WCHAR textOut[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(source.GetMetaDataStr(100, textOut, sizeof textOut), E_FAIL);
    EXPECT_EQ(textOut[3], u'\0');
}

TEST_F(CameraRawSourceTest, UnidentifiedFileKeepsNoHandle)
{
    fake::state().raw.identify = 3;
    mio::CCameraRawSource source(m_block);
    EXPECT_FALSE(source.identified());
    EXPECT_EQ(fake::state().rawHandlesOpen, 0);
    int32_t count = 0;
    WCHAR buffer[16];
    EXPECT_EQ(source.GetMetaTags(&count, nullptr, 0), E_FAIL);
    EXPECT_EQ(source.GetMetaDataStr(100, buffer, sizeof buffer), E_FAIL);
    EXPECT_EQ(source.GetMetaTagName(100, buffer, sizeof buffer), E_FAIL);
    EXPECT_EQ(source.HasEmbeddedPreview(), E_FAIL);
}

} // namespace
