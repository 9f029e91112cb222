// SPDX-License-Identifier: MIT
// CImagePropertySource over hand-built property blocks handed out by a stand-in library.
#include <contracts/still_image_library.h>
#include <gtest/gtest.h>
#include <tavrel/platform/memory.h>

#include <cstring>
#include <string>
#include <vector>

#include "metadata/image_property_source.h"

namespace {

// What the stand-in library hands out next, and how the source used it.
struct FakeLibrary {
    std::vector<uint8_t> block; // copied into a fresh movable block per fetch
    bool refuse = false;
    int fetches = 0;
    int frees = 0;
    HGLOBAL lastBlock = nullptr;
} g_lib;

struct Entry {
    uint16_t type;
    uint16_t id;
    std::string name;
    uint16_t subType = 0;
    uint32_t number = 0;          // types 2 and 15
    std::vector<uint8_t> payload; // types 1 (text without NUL) and 5 (after the lead)
};

std::vector<uint8_t> buildBlock(const std::vector<Entry>& entries)
{
    const size_t valuesAt = 8 + entries.size() * sizeof(QfPropertyEntry);
    std::vector<uint8_t> out(valuesAt, 0);
    const auto count = static_cast<uint32_t>(entries.size());
    std::memcpy(out.data() + 4, &count, 4);
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& in = entries[i];
        QfPropertyEntry e{};
        e.valueType = in.type;
        e.propertyId = in.id;
        std::strncpy(e.name, in.name.c_str(), sizeof e.name - 1);
        e.blockType = in.subType;
        if (in.type == 1 || in.type == 5) {
            e.value = static_cast<uint32_t>(out.size());
            if (in.type == 5) out.insert(out.end(), 4, 0); // the lead
            out.insert(out.end(), in.payload.begin(), in.payload.end());
            if (in.type == 1) out.push_back(0);
            e.length = static_cast<int32_t>(in.payload.size() + (in.type == 5 ? 4 : 0));
        } else {
            e.value = in.number;
            e.length = in.type == 15 ? 2 : 4;
        }
        std::memcpy(out.data() + 8 + i * sizeof e, &e, sizeof e);
    }
    return out;
}

std::vector<uint8_t> bytes(std::string_view s)
{
    return {s.begin(), s.end()};
}

std::vector<uint8_t> int32s(std::initializer_list<int32_t> values)
{
    std::vector<uint8_t> out(values.size() * 4);
    size_t at = 0;
    for (int32_t v : values) {
        std::memcpy(out.data() + at, &v, 4);
        at += 4;
    }
    return out;
}

// A block of several kinds of entries; the record handle is a dummy the source never reads.
const std::vector<Entry> kEntries = {
    {1, 5201, "Flashpix version", 0, 0, bytes("0100")},
    {5, 5250, "Focal length 35mm", 5, 0, int32s({72, 1})},
    {1, 5601, "Object name", 0, 0, bytes("Test")},
    {5, 5203, "Components configuration", 7, 0, {0x01, 0x02, 0xAB}},
    {15, 5202, "Color space information", 0, 0xFFFF, {}},
    {2, 5205, "Pixel X dimension", 0, 4000, {}},
    {5, 5206, "Pixel Y dimension", 4, 0, int32s({3000})},
    {1, 5207, "", 0, 0, bytes("nameless")},
    {1, 5201, "Shadowed duplicate", 0, 0, bytes("x")},
    {3, 5208, "Unserved type", 0, 7, {}},
};

class ImagePropertySource : public ::testing::Test {
  protected:
    void SetUp() override
    {
        g_lib = FakeLibrary{};
        g_lib.block = buildBlock(kEntries);
    }
    HGLOBAL record() { return reinterpret_cast<HGLOBAL>(&m_dummy); }

    std::u16string text(mio::CImagePropertySource& s, int32_t code, int32_t tag, int32_t size = 128)
    {
        std::vector<WCHAR> buffer(static_cast<size_t>(size / 2) + 1, u'#');
        if (FAILED(s.GetMetaDataStr(code, tag, buffer.data(), size))) return u"<fail>";
        return buffer.data();
    }

    int m_dummy = 0;
};

bool blockIsUnlocked()
{
    return g_lib.lastBlock && (GlobalFlags(g_lib.lastBlock) & GMEM_LOCKCOUNT) == 0;
}

} // namespace

QF_API int32_t qfFileGetProperty(HGLOBAL, HGLOBAL* phProperty)
{
    ++g_lib.fetches;
    *phProperty = nullptr;
    if (g_lib.refuse) return 0;
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, g_lib.block.size());
    void* p = GlobalLock(h);
    std::memcpy(p, g_lib.block.data(), g_lib.block.size());
    GlobalUnlock(h);
    g_lib.lastBlock = *phProperty = h;
    return 1;
}

QF_API int32_t qfFileFreeProperty(HGLOBAL, HGLOBAL hProperty)
{
    ++g_lib.frees;
    GlobalFree(hProperty);
    return 1;
}

TEST_F(ImagePropertySource, ListsEachCodeItsOwnRangeInBlockOrder)
{
    mio::CImagePropertySource source(record());
    int32_t list[16] = {};
    int32_t total = -1;
    ASSERT_EQ(source.GetMetaTags(1, &total, list, 16), S_OK);
    EXPECT_EQ(std::vector<int32_t>(list, list + total),
              (std::vector<int32_t>{1, 50, 3, 2, 5, 6, 7, 1, 8}));
    ASSERT_EQ(source.GetMetaTags(2, &total, list, 16), S_OK);
    EXPECT_EQ(total, 1);
    EXPECT_EQ(list[0], 1);
    // A short list still reports everything.
    int32_t two[3] = {-1, -1, -1};
    ASSERT_EQ(source.GetMetaTags(1, &total, two, 2), S_OK);
    EXPECT_EQ(total, 9);
    EXPECT_EQ(two[2], -1);
    ASSERT_EQ(source.GetMetaTags(1, &total, nullptr, 0), S_OK);
    EXPECT_EQ(total, 9);

    EXPECT_EQ(source.GetMetaTags(3, &total, list, 16), E_FAIL);
    EXPECT_EQ(source.GetMetaTags(0, &total, list, 16), E_FAIL);
    WCHAR name[32];
    EXPECT_EQ(source.GetMetaTagName(7, 1, name, sizeof name), E_FAIL);
    EXPECT_EQ(g_lib.fetches, 1); // fetched once, kept
    EXPECT_TRUE(blockIsUnlocked());
}

TEST_F(ImagePropertySource, ValuesInDataForm)
{
    mio::CImagePropertySource source(record());
    BYTE buffer[64] = {};
    int32_t size = -1;
    // Rational: the 8 bytes after the lead.
    ASSERT_EQ(source.GetMetaData(1, 50, buffer, sizeof buffer, &size), S_OK);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), int32s({72, 1}));
    EXPECT_EQ(source.GetMetaData(1, 50, buffer, 7, &size), E_FAIL);
    EXPECT_EQ(size, 8);
    // Text: a size query with no buffer, then UTF-16 with the ANSI length reported.
    size = -1;
    ASSERT_EQ(source.GetMetaData(1, 1, nullptr, 0, &size), S_OK);
    EXPECT_EQ(size, 4);
    ASSERT_EQ(source.GetMetaData(1, 1, buffer, sizeof buffer, &size), S_OK);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer)), u"0100");
    // A buffer given but too small for the UTF-16 text is a failure, not a cut text.
    EXPECT_EQ(source.GetMetaData(1, 1, buffer, 4, &size), E_FAIL);
    // Numbers.
    ASSERT_EQ(source.GetMetaData(1, 5, buffer, 4, &size), S_OK);
    int32_t v32 = 0;
    std::memcpy(&v32, buffer, 4);
    EXPECT_EQ(v32, 4000);
    EXPECT_EQ(source.GetMetaData(1, 5, buffer, 3, &size), E_FAIL);
    EXPECT_EQ(size, 4);
    ASSERT_EQ(source.GetMetaData(1, 2, buffer, 2, &size), S_OK);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(source.GetMetaData(1, 2, buffer, 1, &size), E_FAIL);
    // Missing entries, unserved types, tags outside the range.
    EXPECT_EQ(source.GetMetaData(1, 9, buffer, sizeof buffer, &size), E_FAIL);
    EXPECT_EQ(source.GetMetaData(1, 8, buffer, sizeof buffer, &size), E_FAIL);
    EXPECT_EQ(source.GetMetaData(1, 401, buffer, sizeof buffer, &size), E_FAIL);
    EXPECT_EQ(source.GetMetaData(2, 50, buffer, sizeof buffer, &size), E_FAIL);
    EXPECT_TRUE(blockIsUnlocked());
}

TEST_F(ImagePropertySource, ValuesAsText)
{
    mio::CImagePropertySource source(record());
    EXPECT_EQ(text(source, 1, 50), u"72 / 1");
    EXPECT_EQ(text(source, 1, 3), u"01 02 AB");
    EXPECT_EQ(text(source, 1, 2), u"-1"); // 16-bit values are signed
    EXPECT_EQ(text(source, 1, 5), u"4000");
    EXPECT_EQ(text(source, 1, 6), u"3000");
    EXPECT_EQ(text(source, 1, 1), u"0100"); // the first of two entries with one id
    EXPECT_EQ(text(source, 2, 1), u"Test");
    EXPECT_EQ(text(source, 1, 8), u"<fail>");
    // Hex output is cut at whole bytes, always terminated.
    EXPECT_EQ(text(source, 1, 3, 12), u"01 02");
    EXPECT_EQ(text(source, 1, 3, 6), u"01");
    EXPECT_EQ(text(source, 1, 50, 8), u"<fail>");
    EXPECT_TRUE(blockIsUnlocked());
}

TEST_F(ImagePropertySource, NamesAndTheirFailures)
{
    mio::CImagePropertySource source(record());
    WCHAR name[64];
    ASSERT_EQ(source.GetMetaTagName(1, 50, name, sizeof name), S_OK);
    EXPECT_EQ(std::u16string(name), u"Focal length 35mm");
    EXPECT_EQ(source.GetMetaTagName(1, 7, name, sizeof name), E_FAIL); // empty name
    EXPECT_TRUE(blockIsUnlocked());
    EXPECT_EQ(source.GetMetaTagName(1, 50, name, 8), E_FAIL); // does not fit
    EXPECT_EQ(source.GetMetaTagName(2, 2, name, sizeof name), E_FAIL);
}

TEST_F(ImagePropertySource, RefusedFetchIsRetriedAndTheBlockFreedOnce)
{
    g_lib.refuse = true;
    {
        mio::CImagePropertySource source(record());
        int32_t total = -1;
        EXPECT_EQ(source.GetMetaTags(1, &total, nullptr, 0), E_FAIL);
        EXPECT_EQ(total, 0);
        g_lib.refuse = false;
        EXPECT_EQ(source.GetMetaTags(1, &total, nullptr, 0), S_OK);
        EXPECT_EQ(g_lib.fetches, 2);
    }
    EXPECT_EQ(g_lib.frees, 1);
    {
        mio::CImagePropertySource unused(record());
    }
    EXPECT_EQ(g_lib.frees, 1); // nothing fetched, nothing freed
}

TEST_F(ImagePropertySource, DamagedBlocksAreNotReadOutOfBounds)
{
    // A count far beyond the entries present, and a text whose offset points past the end.
    std::vector<Entry> entries = {{1, 5201, "Bad", 0, 0, bytes("abc")}};
    g_lib.block = buildBlock(entries);
    QfPropertyEntry e;
    std::memcpy(&e, g_lib.block.data() + 8, sizeof e);
    e.value = 0x7FFFFFF0;
    std::memcpy(g_lib.block.data() + 8, &e, sizeof e);
    const uint32_t hugeCount = 1000000;
    std::memcpy(g_lib.block.data() + 4, &hugeCount, 4);

    mio::CImagePropertySource source(record());
    int32_t total = -1;
    ASSERT_EQ(source.GetMetaTags(1, &total, nullptr, 0), S_OK);
    EXPECT_EQ(total, 1);
    BYTE buffer[16];
    int32_t size = 0;
    EXPECT_EQ(source.GetMetaData(1, 1, buffer, sizeof buffer, &size), E_FAIL);
    WCHAR out[16];
    EXPECT_EQ(source.GetMetaDataStr(1, 1, out, sizeof out), E_FAIL);
}
