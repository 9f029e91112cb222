// SPDX-License-Identifier: MIT
// The EXIF-library source over the real EXIF reader: listing, values and texts of tags 100..104
// on corpus JPEGs and on copies edited with ExifTool, checked against ExifTool's reading.
#include <contracts/still_image_library.h>
#include <gtest/gtest.h>
#include <tavrel/platform/memory.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "metadata/exif_lib_source.h"
#include "support/test_support.h"

namespace {

class ExifLockEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { mio::exifLibraryLockInit(); }
    void TearDown() override { mio::exifLibraryLockFini(); }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ExifLockEnvironment);

// An image record as the still-image library hands it over: a movable block with the path.
tavrel::GlobalBlock imageRecord(const std::filesystem::path& file)
{
    tavrel::GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData)));
    tavrel::GlobalLockGuard lock(block.get());
    auto* data = static_cast<ImageFileData*>(lock.data());
    std::strncpy(data->path, file.string().c_str(), sizeof(data->path) - 1);
    return block;
}

std::string run(const std::string& command)
{
    std::string out;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe))
        out += chunk;
    pclose(pipe);
    return out;
}

// ExifTool's values of Make, Model, ModifyDate, Orientation and ImageDescription of IFD0,
// numbers unformatted; "-" for an absent tag.
std::vector<std::string> exiftoolValues(const std::filesystem::path& file)
{
    std::string line = run("exiftool -n -T -IFD0:Make -IFD0:Model -IFD0:ModifyDate "
                           "-IFD0:Orientation -IFD0:ImageDescription '" +
                           file.string() + "'");
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

void editWithExiftool(const std::filesystem::path& file, const std::string& assignments)
{
    run("exiftool -overwrite_original " + assignments + " '" + file.string() + "'");
}

std::u16string wide(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::vector<int32_t> listTags(mio::CExifLibSource& source, HRESULT* hr = nullptr)
{
    int32_t total = -1;
    std::vector<int32_t> tags(8, -1);
    const HRESULT result = source.GetMetaTags(&total, tags.data(), 8);
    if (hr) *hr = result;
    tags.resize(total > 0 ? static_cast<size_t>(total) : 0);
    return tags;
}

TEST(ExifLibSource, FileWithoutExifAnswersOnlyNames)
{
    MIO_CORPUS_FILE(file, "jpeg/hopper_gray.jpg");
    tavrel::GlobalBlock record = imageRecord(file);
    mio::CExifLibSource source(record.get());
    EXPECT_FALSE(source.hasExif());

    int32_t total = -1;
    int32_t tags[5] = {};
    EXPECT_EQ(source.GetMetaTags(&total, tags, 5), E_FAIL);
    EXPECT_EQ(total, 0);
    BYTE data[64];
    int32_t size = -1;
    EXPECT_EQ(source.GetMetaData(100, data, sizeof data, &size), E_FAIL);
    EXPECT_EQ(size, -1);
    WCHAR text[32];
    EXPECT_EQ(source.GetMetaDataStr(102, text, sizeof text), E_FAIL);

    EXPECT_EQ(source.GetMetaTagName(100, text, sizeof text), S_OK);
    EXPECT_EQ(std::u16string(text), u"Make");
    EXPECT_EQ(source.GetMetaTagName(104, text, sizeof text), S_OK);
    EXPECT_EQ(std::u16string(text), u"ImageDescription");
    EXPECT_EQ(source.GetMetaTagName(99, text, sizeof text), E_FAIL);
    EXPECT_EQ(source.GetMetaTagName(105, text, sizeof text), E_FAIL);
    EXPECT_EQ(source.GetMetaTagName(100, text, 8), E_FAIL); // "Make" needs 10 bytes
    EXPECT_EQ(source.GetMetaTagName(100, text, 10), S_OK);
}

TEST(ExifLibSource, MissingOrUnreadableFileKeepsNoReader)
{
    support::TempDir dir;
    const auto garbage = dir / "garbage.jpg";
    // An EXIF segment that claims 64 KiB and ends after its TIFF header.
    const unsigned char bytes[] = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 'E', 'x', 'i', 'f',
                                   0,    0,    'I',  'I',  42,   0,    8,   0,   0,   0};
    std::FILE* out = std::fopen(garbage.c_str(), "wb");
    ASSERT_TRUE(out);
    std::fwrite(bytes, 1, sizeof bytes, out);
    std::fclose(out);
    for (const auto& path : {dir / "absent.jpg", garbage}) {
        tavrel::GlobalBlock record = imageRecord(path);
        mio::CExifLibSource source(record.get());
        int32_t total = -1;
        EXPECT_EQ(source.GetMetaTags(&total, nullptr, 0), E_FAIL) << path;
        EXPECT_EQ(total, 0);
    }
    EXPECT_EQ(mio::CExifLibSource(nullptr).GetMetaTags(nullptr, nullptr, 0), E_INVALIDARG);
}

TEST(ExifLibSource, ListsOnlyThePresentFieldsInTableOrder)
{
    MIO_CORPUS_FILE(original, "jpeg/hopper_gray.jpg");
    support::ScopedCopy copy(original);
    editWithExiftool(copy.path(), "-IFD0:ModifyDate='2020:01:02 03:04:05' -IFD0:Make=Tavrel");
    ASSERT_EQ(exiftoolValues(copy.path())[0], "Tavrel") << "ExifTool could not edit the copy";

    tavrel::GlobalBlock record = imageRecord(copy.path());
    mio::CExifLibSource source(record.get());
    HRESULT hr = E_FAIL;
    EXPECT_EQ(listTags(source, &hr), (std::vector<int32_t>{100, 102}));
    EXPECT_EQ(hr, S_OK);
    BYTE data[64];
    int32_t size = -1;
    EXPECT_EQ(source.GetMetaData(101, data, sizeof data, &size), E_FAIL);
    EXPECT_EQ(source.GetMetaData(99, data, sizeof data, &size), E_FAIL);
    EXPECT_EQ(size, -1);
}

class ExifLibSourceAllFields : public ::testing::Test {
  protected:
    void SetUp() override
    {
        MIO_CORPUS_FILE(original, "jpeg/hopper_gray.jpg");
        m_copy = std::make_unique<support::ScopedCopy>(original);
        editWithExiftool(m_copy->path(),
                         "-IFD0:Make=Tavrel -IFD0:Model='Model 7' "
                         "-IFD0:ModifyDate='2021:06:07 08:09:10' -IFD0:Orientation#=6 "
                         "-IFD0:ImageDescription='A long description of the picture'");
        ASSERT_EQ(exiftoolValues(m_copy->path()),
                  (std::vector<std::string>{"Tavrel", "Model 7", "2021:06:07 08:09:10", "6",
                                            "A long description of the picture"}));
        m_record = imageRecord(m_copy->path());
        m_source = std::make_unique<mio::CExifLibSource>(m_record.get());
    }

    std::unique_ptr<support::ScopedCopy> m_copy;
    tavrel::GlobalBlock m_record;
    std::unique_ptr<mio::CExifLibSource> m_source;
};

TEST_F(ExifLibSourceAllFields, ListRoomLimitsWritesButNotTheCount)
{
    int32_t total = -1;
    int32_t tags[3] = {-1, -1, -1};
    EXPECT_EQ(m_source->GetMetaTags(&total, tags, 1), S_OK);
    EXPECT_EQ(total, 5);
    EXPECT_EQ(tags[0], 100);
    EXPECT_EQ(tags[1], -1);
    EXPECT_EQ(m_source->GetMetaTags(&total, nullptr, 0), S_OK);
    EXPECT_EQ(total, 5);
    EXPECT_EQ(listTags(*m_source), (std::vector<int32_t>{100, 101, 102, 103, 104}));
}

TEST_F(ExifLibSourceAllFields, NumbersNeedTheirWidthAndReportItAlways)
{
    BYTE data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    int32_t size = -1;
    EXPECT_EQ(m_source->GetMetaData(103, data, 1, &size), E_FAIL);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(data[0], 0xEE);
    size = -1;
    EXPECT_EQ(m_source->GetMetaData(103, data, 2, &size), S_OK);
    EXPECT_EQ(size, 2);
    uint16_t orientation = 0;
    std::memcpy(&orientation, data, 2);
    EXPECT_EQ(orientation, 6);
    EXPECT_EQ(data[2], 0xEE);

    WCHAR text[8];
    EXPECT_EQ(m_source->GetMetaDataStr(103, text, sizeof text), S_OK);
    EXPECT_EQ(std::u16string(text), u"6");
    EXPECT_EQ(m_source->GetMetaDataStr(103, text, 2), E_FAIL); // no room for the terminator
}

TEST_F(ExifLibSourceAllFields, TextsReportTheAnsiLengthAndDeliverUtf16)
{
    BYTE data[64];
    std::memset(data, 0xEE, sizeof data);
    int32_t size = -1;
    EXPECT_EQ(m_source->GetMetaData(100, data, sizeof data, &size), S_OK);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data)), u"Tavrel");

    // The reported size is too small for the UTF-16 text: refused, not handed out cut.
    std::memset(data, 0xEE, sizeof data);
    size = -1;
    EXPECT_EQ(m_source->GetMetaData(100, data, 6, &size), E_FAIL);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(m_source->GetMetaData(100, data, 14, nullptr), S_OK);

    WCHAR text[40];
    EXPECT_EQ(m_source->GetMetaDataStr(104, text, sizeof text), S_OK);
    EXPECT_EQ(std::u16string(text), u"A long description of the picture");
    EXPECT_EQ(m_source->GetMetaDataStr(102, text, sizeof text), S_OK);
    EXPECT_EQ(std::u16string(text), u"2021:06:07 08:09:10");
    EXPECT_EQ(m_source->GetMetaDataStr(104, text, 20), E_FAIL);
    EXPECT_EQ(m_source->GetMetaDataStr(104, nullptr, 100), E_FAIL);
}

// The five fields of camera JPEGs as ExifTool reads them from IFD0.
TEST(ExifLibSourceCorpus, AgreesWithExiftool)
{
    int checked = 0;
    for (const char* name :
         {"jpeg/Canon_40D.jpg", "jpeg/Nikon_D70.jpg", "jpeg/Pentax_K10D.jpg",
          "jpeg/Fujifilm_FinePix_E500.jpg", "jpeg/sample_sony1.jpg", "jpeg/landscape_6.jpg",
          "jpeg/DSCN0010_gps.jpg", "jpeg/long_description.jpg"}) {
        const auto file = support::corpusPathOrEmpty(name);
        if (file.empty()) continue;
        const std::vector<std::string> expected = exiftoolValues(file);
        ASSERT_EQ(expected.size(), 5u) << name;
        tavrel::GlobalBlock record = imageRecord(file);
        mio::CExifLibSource source(record.get());
        std::vector<int32_t> present;
        for (int32_t i = 0; i < 5; ++i)
            if (expected[static_cast<size_t>(i)] != "-") present.push_back(100 + i);
        EXPECT_EQ(listTags(source), present) << name;
        for (int32_t tag : present) {
            WCHAR text[512] = {};
            EXPECT_EQ(source.GetMetaDataStr(tag, text, sizeof text), S_OK) << name << ' ' << tag;
            // ExifTool drops the spaces that pad a text field.
            std::u16string value(text);
            while (!value.empty() && value.back() == u' ')
                value.pop_back();
            EXPECT_EQ(value, wide(expected[static_cast<size_t>(tag - 100)])) << name << ' ' << tag;
        }
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no corpus JPEGs";
}

} // namespace
