// SPDX-License-Identifier: MIT
// The media object's metadata routing and text shortcuts over the real libraries, on corpus
// files (copies where anything could be written), against what ExifTool reads.
#include <contracts/still_image_library.h>
#include <contracts/tag_editor.h>
#include <contracts/video_library.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "media_object_open.h"
#include "mediaobject/library_lock.h"
#include "mediaobject/media_file_io.h"
#include "metadata/exif_lib_source.h"
#include "metadata/tag_editor_source.h"
#include "support/test_support.h"

namespace {

class Environment : public ::testing::Environment {
    void SetUp() override
    {
        mio::libraryLocksInit();
        mio::exifLibraryLockInit();
        mio::tagEditorLockInit();
        qVideoInit();
        ASSERT_EQ(TagEditorRegisterClass(), S_OK);
    }
    void TearDown() override
    {
        TagEditorRevokeClass();
        qVideoExit();
        mio::exifLibraryLockFini();
        mio::libraryLocksFini();
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

std::string exiftool(const std::filesystem::path& file, const std::string& tag,
                     const char* format = "-s3")
{
    std::string out;
    const std::string command =
        std::string("exiftool -n ") + format + " -" + tag + " '" + file.string() + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char chunk[1024];
    while (std::fgets(chunk, sizeof chunk, pipe))
        out += chunk;
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// Every tag of the given groups as "Group:Name" -> value, from one ExifTool run.
std::map<std::string, std::string> exiftoolAll(const std::filesystem::path& file)
{
    std::map<std::string, std::string> values;
    const std::string all = exiftool(file, "ExifIFD:All -InteropIFD:All -IFD0:All", "-a -s -G1");
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        const std::string line = all.substr(at, end - at);
        at = end + 1;
        const auto close = line.find(']');
        const auto colon = line.find(" : ");
        if (line.empty() || line[0] != '[' || close == std::string::npos ||
            colon == std::string::npos)
            continue;
        std::string name = line.substr(close + 1, colon - close - 1);
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(' ') + 1);
        values[line.substr(1, close - 1) + ":" + name] = line.substr(colon + 3);
    }
    return values;
}

std::string trimmed(std::string s)
{
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

bool haveExiftool()
{
    return !exiftool("/dev/null", "ver").empty() ||
           std::system("command -v exiftool >/dev/null") == 0;
}

using mediatest::openImage;
using mediatest::openVideo;

std::vector<int32_t> tags(IMediaFileIO& object, int32_t code, HRESULT* result = nullptr)
{
    int32_t list[256] = {};
    int32_t total = -1;
    const HRESULT hr = object.GetMetaTags(code, &total, list, 256);
    if (result) *result = hr;
    return {list, list + std::min(std::max(total, 0), 256)};
}

std::string text(IMediaFileIO& object, int32_t code, int32_t tag)
{
    WCHAR buffer[512] = {};
    if (FAILED(object.GetMetaDataStr(code, tag, buffer, sizeof buffer))) return "<fail>";
    return support::u8(buffer);
}

// EXIF tags of the catalogue with ExifTool's names, for fields the corpus carries.
const std::map<int32_t, std::string> kExiftoolNames = {
    {5, "ExifIFD:ExifImageWidth"},    {6, "ExifIFD:ExifImageHeight"},
    {10, "ExifIFD:DateTimeOriginal"}, {11, "ExifIFD:CreateDate"},
    {15, "ExifIFD:ExposureTime"},     {16, "ExifIFD:FNumber"},
    {17, "ExifIFD:ExposureProgram"},  {19, "ExifIFD:ISO"},
    {27, "ExifIFD:MeteringMode"},     {29, "ExifIFD:Flash"},
    {30, "ExifIFD:FocalLength"},      {44, "InteropIFD:InteropIndex"},
    {47, "ExifIFD:ExposureMode"},     {48, "ExifIFD:WhiteBalance"},
};

// Our text against ExifTool's numeric (-n) value: rationals as n / d compare by value.
void expectSameValue(const std::string& ours, const std::string& theirs)
{
    const auto slash = ours.find(" / ");
    if (slash != std::string::npos) {
        const double n = std::stod(ours.substr(0, slash));
        const double d = std::stod(ours.substr(slash + 3));
        ASSERT_NE(d, 0.0);
        EXPECT_NEAR(n / d, std::stod(theirs), std::abs(std::stod(theirs)) * 1e-4 + 1e-9);
    } else {
        EXPECT_EQ(ours, theirs);
    }
}

} // namespace

TEST(MediaMetadata, ExifFieldsAgreeWithExiftool)
{
    if (support::corpusDir().empty() || !haveExiftool()) GTEST_SKIP() << "no corpus or exiftool";
    int compared = 0;
    for (const char* name : {"jpeg/Canon_40D.jpg", "jpeg/Nikon_D70.jpg", "jpeg/DSCN0010_gps.jpg",
                             "jpeg/Fujifilm_FinePix_E500.jpg", "jpeg/sample_sony1.jpg"}) {
        MIO_CORPUS_FILE(file, name);
        SCOPED_TRACE(name);
        auto object = openImage(file);
        ASSERT_TRUE(object);
        HRESULT hr = E_FAIL;
        const auto listed = tags(*object.Get(), MetaFormatExif, &hr);
        ASSERT_EQ(hr, S_OK);
        const auto measured = exiftoolAll(file);
        const auto valueOf = [&](const std::string& key) {
            const auto it = measured.find(key);
            return it == measured.end() ? std::string() : it->second;
        };
        for (const auto& [tag, exifName] : kExiftoolNames) {
            const std::string theirs = valueOf(exifName);
            const bool ours = std::find(listed.begin(), listed.end(), tag) != listed.end();
            EXPECT_EQ(ours, !theirs.empty()) << "tag " << tag << " " << exifName;
            if (!ours || theirs.empty()) continue;
            expectSameValue(text(*object.Get(), MetaFormatExif, tag), theirs);
            ++compared;
        }
        // The EXIF library's tags follow the properties in the same list; ExifTool drops the
        // trailing blanks some cameras pad their texts with.
        EXPECT_EQ(trimmed(text(*object.Get(), MetaFormatExif, 100)), valueOf("IFD0:Make"));
        EXPECT_EQ(trimmed(text(*object.Get(), MetaFormatExif, 101)), valueOf("IFD0:Model"));
        ASSERT_FALSE(listed.empty());
        EXPECT_EQ(listed.back() >= 100, true);
    }
    EXPECT_GT(compared, 40);
}

TEST(MediaMetadata, IptcFieldsAgreeWithExiftool)
{
    MIO_CORPUS_FILE(file, "jpeg/exiftool_IPTC.jpg");
    if (!haveExiftool()) GTEST_SKIP() << "no exiftool";
    auto object = openImage(file);
    ASSERT_TRUE(object);
    const auto listed = tags(*object.Get(), MetaFormatIptc);
    EXPECT_EQ(listed.size(), 20u); // every dataset of the catalogue is in this file
    const std::map<int32_t, std::string> names = {{0, "ApplicationRecordVersion"},
                                                  {1, "ObjectName"},
                                                  {5, "Keywords"},
                                                  {8, "By-line"},
                                                  {12, "Country-PrimaryLocationName"},
                                                  {18, "Caption-Abstract"},
                                                  {19, "Writer-Editor"},
                                                  {4, "SupplementalCategories"}};
    for (const auto& [tag, name] : names)
        EXPECT_EQ(text(*object.Get(), MetaFormatIptc, tag), exiftool(file, "IPTC:" + name)) << name;
    WCHAR label[64];
    ASSERT_EQ(object->GetMetaTagName(MetaFormatIptc, 18, label, sizeof label), S_OK);
    EXPECT_EQ(support::u8(label), "Caption-abstract");
}

TEST(MediaMetadata, ExifListCombinesBothSourcesAndNeedsAnExifBlock)
{
    MIO_CORPUS_FILE(file, "jpeg/Canon_40D.jpg");
    auto object = openImage(file);
    ASSERT_TRUE(object);
    const auto all = tags(*object.Get(), MetaFormatExif);
    const auto properties =
        std::count_if(all.begin(), all.end(), [](int32_t t) { return t < 100; });
    ASSERT_GT(properties, 1);
    // A list shorter than the properties: full total, no EXIF-library tag written past it.
    std::vector<int32_t> list(all.size() + 1, -7);
    int32_t total = 0;
    const auto room = static_cast<int32_t>(properties - 1);
    ASSERT_EQ(object->GetMetaTags(MetaFormatExif, &total, list.data(), room), S_OK);
    EXPECT_EQ(total, static_cast<int32_t>(all.size()));
    EXPECT_EQ(list[static_cast<size_t>(room)], -7);
    ASSERT_EQ(object->GetMetaTags(MetaFormatExif, &total, nullptr, 0), S_OK);
    EXPECT_EQ(total, static_cast<int32_t>(all.size()));

    // Tag 100 and above go to the EXIF library, below to the properties.
    WCHAR name[64];
    ASSERT_EQ(object->GetMetaTagName(MetaFormatExif, 100, name, sizeof name), S_OK);
    EXPECT_EQ(support::u8(name), "Make");
    EXPECT_EQ(object->GetMetaTagName(MetaFormatExif, 99, name, sizeof name), E_FAIL);
    ASSERT_EQ(object->GetMetaTagName(MetaFormatExif, 15, name, sizeof name), S_OK);
    EXPECT_EQ(support::u8(name), "Exposure time");

    MIO_CORPUS_FILE(plain, "jpeg/hopper_gray.jpg");
    auto bare = openImage(plain);
    ASSERT_TRUE(bare);
    total = -1;
    EXPECT_EQ(bare->GetMetaTags(MetaFormatExif, &total, list.data(), 8), E_FAIL);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(bare->GetMetaTags(MetaFormatIptc, &total, list.data(), 8), S_OK);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(bare->GetMetaTags(3, &total, list.data(), 8), E_FAIL);
}

TEST(MediaMetadata, ImagesAreNotWrittenAndXmpIsUnavailable)
{
    MIO_CORPUS_FILE(source, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(source);
    const auto before = support::readFile(copy.path());
    auto object = openImage(copy.path());
    ASSERT_TRUE(object);
    const std::u16string four = u"4";
    const auto* data = reinterpret_cast<const BYTE*>(four.c_str());
    EXPECT_EQ(object->SetMetaData(MetaFormatExif, 15, data, 4), E_FAIL);
    EXPECT_EQ(object->RemoveAllMetaData(MetaFormatIptc), E_FAIL);
    // XMP goes through the imaging component, which this program does not link (the XMP
    // suite writes it): whatever the platform answers, a failure that changes nothing.
    EXPECT_TRUE(FAILED(object->SetMetaData(MetaFormatXmp, 0, data, 4)));
    EXPECT_TRUE(FAILED(object->SetRating(four.c_str(), 4)));
    WCHAR buffer[64];
    EXPECT_TRUE(FAILED(object->GetCaption(buffer, sizeof buffer)));
    EXPECT_EQ(object->GetArtist(buffer, sizeof buffer), E_FAIL); // no artist on images
    EXPECT_EQ(object->UpdateMetaDataToFile(), S_OK);
    EXPECT_EQ(support::readFile(copy.path()), before);
}

TEST(MediaMetadata, CameraRawServesOnlyExif)
{
    MIO_CORPUS_FILE(file, "raw/exiftool_Nikon.nef");
    auto object = openImage(file);
    ASSERT_TRUE(object);
    if (!static_cast<mio::CMediaFileIO*>(object.Get())->isCameraRaw())
        GTEST_SKIP() << "the raw decoder does not identify this file";
    int32_t total = -1;
    int32_t list[8];
    EXPECT_EQ(object->GetMetaTags(MetaFormatIptc, &total, list, 8), E_INVALIDARG);
    EXPECT_EQ(total, 0);
    BYTE data[16];
    int32_t size = 0;
    WCHAR buffer[32];
    EXPECT_EQ(object->GetMetaData(MetaFormatIptc, 1, data, sizeof data, &size), E_INVALIDARG);
    EXPECT_EQ(object->GetMetaDataStr(MetaFormatIptc, 1, buffer, sizeof buffer), E_INVALIDARG);
    EXPECT_EQ(object->GetMetaTagName(MetaFormatIptc, 1, buffer, sizeof buffer), E_INVALIDARG);
    EXPECT_EQ(object->SetMetaData(MetaFormatIptc, 1, data, 2), E_FAIL);
    EXPECT_EQ(object->GetMetaTags(MetaFormatExif, &total, list, 8), S_OK);
    EXPECT_GT(total, 0);
}

TEST(MediaMetadata, VideoTextShortcutsFallBackAlongTheirLists)
{
    MIO_CORPUS_FILE(source, "audio/silence-44-s-v1.mp3");
    support::ScopedCopy copy(source);
    const auto before = support::readFile(copy.path());
    auto object = openVideo(copy.path());
    ASSERT_TRUE(object);
    WCHAR buffer[64];
    // No ID3v2 tag: the ID3v1 fields answer.
    ASSERT_EQ(object->GetCaption(buffer, sizeof buffer), S_OK);
    EXPECT_EQ(support::u8(buffer), exiftool(source, "ID3v1:Title"));
    ASSERT_EQ(object->GetArtist(buffer, sizeof buffer), S_OK);
    EXPECT_EQ(support::u8(buffer), "piman");
    ASSERT_EQ(object->GetAlbum(buffer, sizeof buffer), S_OK);
    EXPECT_EQ(support::u8(buffer), "Quod Libet Test Data");
    // No ASF attributes in an MP3: the rating's only try fails.
    EXPECT_EQ(object->GetRating(buffer, sizeof buffer), E_FAIL);

    BSTR caption = nullptr;
    ASSERT_EQ(object->GetCaption_BSTR(&caption), S_OK);
    ASSERT_NE(caption, nullptr);
    EXPECT_EQ(support::u8(caption), "Silence");
    SysFreeString(caption);
    BSTR none = reinterpret_cast<BSTR>(buffer);
    EXPECT_EQ(object->GetMetaDataStr_BSTR(MetaFormatAsfAttributes, 15, &none), E_FAIL);
    EXPECT_EQ(none, nullptr);

    // Image-only shortcuts refuse without touching the file; nothing set, nothing to commit.
    int32_t size = 0;
    EXPECT_EQ(object->SetCaption(u"x", 4), E_FAIL);
    EXPECT_EQ(object->GetSubjectTags(buffer, sizeof buffer, &size), E_FAIL);
    EXPECT_EQ(object->SetSubjectTags(u"x", 4), E_FAIL);
    EXPECT_EQ(object->UpdateMetaDataToFile(), E_FAIL);
    EXPECT_TRUE(FAILED(object->GetMetaTags(MetaFormatXmp, &size, nullptr, 0)));
    EXPECT_EQ(object->UpdateMetaDataToFile(), E_FAIL); // an unused rewriter hides no refusal
    object.Reset();
    EXPECT_EQ(support::readFile(copy.path()), before);
}

TEST(MediaMetadata, VideoTagsSetThroughTheObjectReachTheFile)
{
    MIO_CORPUS_FILE(source, "audio/silence-44-s-v1.mp3");
    if (!haveExiftool()) GTEST_SKIP() << "no exiftool";
    support::ScopedCopy copy(source);
    {
        auto object = openVideo(copy.path());
        ASSERT_TRUE(object);
        const std::u16string title = u"Changed";
        ASSERT_EQ(object->SetMetaData(MetaFormatId3v1, 110,
                                      reinterpret_cast<const BYTE*>(title.c_str()),
                                      static_cast<int32_t>((title.size() + 1) * 2)),
                  S_OK);
        EXPECT_EQ(object->UpdateMetaDataToFile(), S_OK);
    }
    EXPECT_EQ(exiftool(copy.path(), "ID3v1:Title"), "Changed");
}

TEST(MediaMetadata, ObjectWithoutRecordRefusesEverything)
{
    ComPtr<IMediaFileIO> object;
    ASSERT_EQ(mio::CMediaFileIO::create(object.GetAddressOf()), S_OK);
    int32_t total = -1;
    EXPECT_EQ(object->GetMetaTags(MetaFormatExif, &total, nullptr, 0), E_FAIL);
    EXPECT_EQ(total, 0);
    WCHAR buffer[16];
    EXPECT_EQ(object->GetMetaDataStr(MetaFormatIptc, 1, buffer, sizeof buffer), E_FAIL);
    EXPECT_EQ(object->GetCaption(buffer, sizeof buffer), E_FAIL);
    EXPECT_EQ(object->GetRating(buffer, sizeof buffer), E_FAIL);
    BSTR out = reinterpret_cast<BSTR>(buffer);
    EXPECT_EQ(object->GetAlbum_BSTR(&out), E_FAIL);
    EXPECT_EQ(out, nullptr);
}

// The property block read straight from a record naming a damaged file: cut or hostile EXIF
// gives a block without those fields, never a crash or a read past the data.
TEST(MediaMetadata, PropertyBlockOfDamagedFiles)
{
    MIO_CORPUS_FILE(cut, "broken/Canon_40D_truncated_4000B.jpg");
    support::TempDir dir;
    // A JPEG whose EXIF IFD0 claims 0xFFFF entries and points its EXIF IFD past the end.
    std::vector<uint8_t> hostile = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x24, 'E', 'x', 'i',  'f',
                                    0,    0,    'I',  'I',  42,   0,    8,   0,   0,    0,
                                    0xFF, 0xFF, 0x69, 0x87, 4,    0,    1,   0,   0,    0,
                                    0xF0, 0xFF, 0xFF, 0x7F, 0,    0,    0,   0,   0xFF, 0xD9};
    support::writeFile(dir / "hostile.jpg", hostile);
    for (const auto& file : {cut, dir / "hostile.jpg"}) {
        SCOPED_TRACE(file.string());
        HGLOBAL record = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData));
        auto* data = static_cast<ImageFileData*>(GlobalLock(record));
        std::strncpy(data->path, file.c_str(), sizeof data->path - 1);
        GlobalUnlock(record);
        HGLOBAL block = nullptr;
        ASSERT_EQ(qfFileGetProperty(record, &block), 1);
        ASSERT_NE(block, nullptr);
        const auto* base = static_cast<const uint8_t*>(GlobalLock(block));
        uint32_t count = 0;
        std::memcpy(&count, base + 4, 4);
        EXPECT_LE(8 + count * sizeof(QfPropertyEntry), GlobalSize(block));
        if (file.filename() == "hostile.jpg") {
            EXPECT_EQ(count, 0u);
        }
        GlobalUnlock(block);
        EXPECT_EQ(qfFileFreeProperty(record, block), 1);
        GlobalFree(record);
    }
    HGLOBAL none = reinterpret_cast<HGLOBAL>(1);
    EXPECT_EQ(qfFileGetProperty(nullptr, &none), 0);
    EXPECT_EQ(none, nullptr);
}
