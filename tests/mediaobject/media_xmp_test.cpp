// SPDX-License-Identifier: MIT
// XMP and tags written through the media object on copies of corpus files, read back by
// ExifTool; the code-7 routing, the rating percentage and the rewriter's life in the object.
#include <contracts/still_image_library.h>
#include <contracts/tag_editor.h>
#include <contracts/video_library.h>
#include <contracts/wincodec.h>
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dib/packed_dib.h"
#include "media_object_open.h"
#include "mediaobject/library_lock.h"
#include "mediaobject/media_file_io.h"
#include "metadata/exif_lib_source.h"
#include "metadata/tag_editor_source.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

class Environment : public ::testing::Environment {
    void SetUp() override
    {
        mio::libraryLocksInit();
        mio::exifLibraryLockInit();
        mio::tagEditorLockInit();
        qVideoInit();
        ASSERT_EQ(TagEditorRegisterClass(), S_OK);
        ASSERT_EQ(mioImagingRegister(), S_OK);
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

constexpr HRESULT kPropertyNotFound = static_cast<HRESULT>(0x88982F40);

std::string run(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char chunk[4096];
    while (std::fgets(chunk, sizeof chunk, pipe))
        out += chunk;
    pclose(pipe);
    return out;
}

bool haveExiftool()
{
    return !run("exiftool -ver 2>/dev/null").empty();
}

// ExifTool's JSON for some groups, whitespace removed, without the file name line.
std::string exiftoolJson(const fs::path& file, const std::string& groups)
{
    std::string out = run("exiftool -j -n " + groups + " '" + file.string() + "' 2>/dev/null");
    out.erase(std::remove_if(out.begin(), out.end(), [](char c) { return std::isspace(c); }),
              out.end());
    const auto source = out.find("\"SourceFile\":");
    if (source != std::string::npos) out.erase(source, out.find(',', source) + 1 - source);
    return out;
}

std::string exiftool(const fs::path& file, const std::string& tag)
{
    std::string out = run("exiftool -s3 -" + tag + " '" + file.string() + "' 2>/dev/null");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// The decoded samples of a JPEG file (libjpeg-turbo).
std::vector<uint8_t> decodePixels(const fs::path& path)
{
    const auto bytes = support::readFile(path);
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    const size_t stride = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
    std::vector<uint8_t> pixels(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {pixels.data() + stride * cinfo.output_scanline};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return pixels;
}

using mediatest::openImage;
using mediatest::openVideo;

std::string text(IMediaFileIO& object, int32_t code, int32_t tag, HRESULT* result = nullptr)
{
    WCHAR buffer[256] = {};
    const HRESULT hr = object.GetMetaDataStr(code, tag, buffer, sizeof buffer);
    if (result) *result = hr;
    return SUCCEEDED(hr) ? support::u8(buffer) : "<fail>";
}

HRESULT setText(IMediaFileIO& object, int32_t code, int32_t tag, const std::u16string& value)
{
    return object.SetMetaData(code, tag, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<int32_t>((value.size() + 1) * 2));
}

std::vector<std::string> folderNames(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(MediaXmp, ShortcutsWrittenThroughTheObjectAreReadByExifTool)
{
    if (!haveExiftool()) GTEST_SKIP() << "no exiftool";
    // Without XMP (padded first; one with IPTC), and with an XMP packet of its own.
    for (const char* name :
         {"jpeg/Canon_40D.jpg", "jpeg/exiftool_IPTC.jpg", "jpeg/BlueSquare_xmp.jpg"}) {
        MIO_CORPUS_FILE(source, name);
        SCOPED_TRACE(name);
        support::ScopedCopy copy(source);
        const std::string others = exiftoolJson(copy.path(), "-EXIF:all -IPTC:all");
        const auto pixels = decodePixels(copy.path());
        ASSERT_GT(others.size(), 10u);
        {
            auto object = openImage(copy.path());
            ASSERT_TRUE(object);
            const std::u16string title = u"Harbour at dawn";
            ASSERT_EQ(object->SetCaption(title.c_str(), static_cast<int32_t>(title.size() * 2 + 2)),
                      S_OK);
            ASSERT_EQ(object->SetRating(u"4", 4), S_OK);
            const std::u16string keywords(u"sky\0sea\0", 8);
            ASSERT_EQ(object->SetSubjectTags(keywords.data(), 16), S_OK);
            ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
            // Read back through the same object, from the committed file.
            WCHAR buffer[64] = {};
            ASSERT_EQ(object->GetCaption(buffer, sizeof buffer), S_OK);
            EXPECT_EQ(support::u8(buffer), "Harbour at dawn");
            ASSERT_EQ(object->GetRating(buffer, sizeof buffer), S_OK);
            EXPECT_EQ(support::u8(buffer), "4");
            int32_t size = 0;
            ASSERT_EQ(object->GetSubjectTags(buffer, sizeof buffer, &size), S_OK);
            EXPECT_EQ(size, 18);
            EXPECT_EQ(std::u16string(buffer, 9), std::u16string(u"sky\0sea\0\0", 9));
            EXPECT_EQ(text(*object.Get(), MetaFormatXmp, 2), "75");
        }
        const std::string xmp = exiftoolJson(copy.path(), "-XMP:all");
        EXPECT_NE(xmp.find("\"Title\":\"Harbouratdawn\""), std::string::npos) << xmp;
        EXPECT_NE(xmp.find("\"Rating\":4"), std::string::npos) << xmp;
        EXPECT_NE(xmp.find("\"RatingPercent\":75"), std::string::npos) << xmp;
        EXPECT_NE(xmp.find("\"Subject\":[\"sky\",\"sea\"]"), std::string::npos) << xmp;
        EXPECT_EQ(exiftoolJson(copy.path(), "-EXIF:all -IPTC:all"), others);
        EXPECT_EQ(decodePixels(copy.path()), pixels);
        EXPECT_EQ(folderNames(copy.path().parent_path()),
                  std::vector<std::string>{copy.path().filename().string()});
    }
}

TEST(MediaXmp, RatingPercentOnlyForZeroToFiveStars)
{
    MIO_CORPUS_FILE(source, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(source);
    {
        auto object = openImage(copy.path());
        ASSERT_TRUE(object);
        ASSERT_EQ(setText(*object.Get(), MetaFormatXmp, 0, u"9"), S_OK);
        ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
        EXPECT_EQ(text(*object.Get(), MetaFormatXmp, 0), "9");
        HRESULT hr = S_OK;
        EXPECT_EQ(text(*object.Get(), MetaFormatXmp, 2, &hr), "<fail>");
        EXPECT_EQ(hr, kPropertyNotFound);
    }
    auto object = openImage(copy.path());
    ASSERT_TRUE(object);
    for (const auto& [stars, percent] : std::vector<std::pair<std::u16string, std::string>>{
             {u"0", "0"}, {u"1", "1"}, {u" 2", "25"}, {u"+5", "99"}}) {
        ASSERT_EQ(setText(*object.Get(), MetaFormatXmp, 0, stars), S_OK);
        ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
        EXPECT_EQ(text(*object.Get(), MetaFormatXmp, 2), percent);
    }
    // Another tag carries no percentage along.
    ASSERT_EQ(setText(*object.Get(), MetaFormatXmp, 3, u"4"), S_OK);
    ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
    EXPECT_EQ(text(*object.Get(), MetaFormatXmp, 2), "99");
    EXPECT_EQ(text(*object.Get(), MetaFormatXmp, 3), "4");
}

TEST(MediaXmp, RewriterIsDroppedByOtherCodesAndMadeAgain)
{
    MIO_CORPUS_FILE(source, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(source);
    const auto before = support::readFile(copy.path());
    auto object = openImage(copy.path());
    ASSERT_TRUE(object);
    int32_t total = -1;
    int32_t list[8];
    EXPECT_EQ(object->GetMetaTags(MetaFormatXmp, &total, list, 8), kPropertyNotFound);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(object->GetMetaTags(MetaFormatXmp, &total, list, 8), E_FAIL);
    ASSERT_EQ(object->GetMetaTags(MetaFormatExif, &total, list, 8), S_OK);
    EXPECT_GT(total, 0);
    // A new rewriter asks the file again.
    EXPECT_EQ(object->GetMetaTags(MetaFormatXmp, &total, list, 8), kPropertyNotFound);

    WCHAR name[64];
    ASSERT_EQ(object->GetMetaTagName(MetaFormatXmp, 1, name, sizeof name), S_OK);
    EXPECT_EQ(support::u8(name), "dc:subject");
    ASSERT_EQ(object->GetMetaTagName(MetaFormatXmp, 2, name, sizeof name), S_OK);
    EXPECT_EQ(support::u8(name), "MicrosoftPhoto:Rating");
    EXPECT_EQ(object->GetMetaTagName(MetaFormatXmp, 5, name, sizeof name), E_FAIL);
    EXPECT_EQ(object->UpdateMetaDataToFile(), S_OK); // nothing written
    object.Reset();
    EXPECT_EQ(support::readFile(copy.path()), before);
}

TEST(MediaXmp, StagedWritesSurviveOtherCodesAndThumbnails)
{
    if (!haveExiftool()) GTEST_SKIP() << "no exiftool";
    MIO_CORPUS_FILE(source, "jpeg/flower.jpg");
    support::ScopedCopy copy(source);
    {
        auto object = openImage(copy.path());
        ASSERT_TRUE(object);
        ASSERT_EQ(setText(*object.Get(), MetaFormatXmp, 4, u"Kept"), S_OK);
        int32_t total = 0;
        EXPECT_EQ(object->GetMetaTags(MetaFormatIptc, &total, nullptr, 0), S_OK);
        // The 24-bit JPEG frame comes through the same rewriter, fitted to the limits.
        PackedDib dib = nullptr;
        ASSERT_EQ(object->GetFrameThumbnail(&dib, 160, 120, 0, FALSE, FALSE), S_OK);
        ASSERT_NE(dib, nullptr);
        EXPECT_EQ(dib->biWidth, 160);
        EXPECT_EQ(dib->biHeight, 120); // 480 x 360
        EXPECT_EQ(dib->biBitCount, 24);
        ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
    }
    EXPECT_EQ(exiftool(copy.path(), "XMP-dc:Title"), "Kept");
}

TEST(MediaXmp, PacketWithoutRoomFailsTheCommitAndLeavesTheFile)
{
    // Its XMP packet has no padding: the in-place commit cannot fit a title and says so.
    MIO_CORPUS_FILE(source, "jpeg/landscape_1.jpg");
    support::ScopedCopy copy(source);
    const auto before = support::readFile(copy.path());
    auto object = openImage(copy.path());
    ASSERT_TRUE(object);
    ASSERT_EQ(setText(*object.Get(), MetaFormatXmp, 4, u"No room for this title"), S_OK);
    EXPECT_EQ(object->UpdateMetaDataToFile(), static_cast<HRESULT>(0x88982F52));
    object.Reset();
    EXPECT_EQ(support::readFile(copy.path()), before);
}

TEST(MediaXmp, FileThatCannotBePaddedStaysAsItWas)
{
    // A file that is not a JPEG and has no XMP: the write is refused and nothing changes.
    MIO_CORPUS_FILE(source, "png/hopper.png");
    support::ScopedCopy copy(source);
    const auto before = support::readFile(copy.path());
    auto object = openImage(copy.path());
    ASSERT_TRUE(object);
    EXPECT_TRUE(FAILED(object->SetCaption(u"no", 6)));
    EXPECT_EQ(object->UpdateMetaDataToFile(), S_OK);
    object.Reset();
    EXPECT_EQ(support::readFile(copy.path()), before);
    EXPECT_EQ(folderNames(copy.path().parent_path()),
              std::vector<std::string>{copy.path().filename().string()});
}

TEST(MediaXmp, AudioAndVideoTagsSetThroughTheObjectAreReadByExifTool)
{
    if (!haveExiftool()) GTEST_SKIP() << "no exiftool";
    struct Case {
        const char* file;
        int32_t code;
        int32_t tag;
        const char* exiftoolTag;
    };
    const Case cases[] = {
        {"audio/silence-44-s.mp3", MetaFormatId3v2, 17, "ID3v2_3:Title"},
        {"audio/silence-44-s.flac", MetaFormatVorbisComment, 1, "Vorbis:Title"},
        {"audio/multipage-setup.ogg", MetaFormatVorbisComment, 5, "Vorbis:Artist"},
        {"audio/issue_29.wma", MetaFormatAsfAttributes, 1, "ASF:Title"},
        {"video/fixture.wmv", MetaFormatAsfAttributes, 14, "ASF:Author"},
    };
    int written = 0;
    for (const Case& c : cases) {
        const auto source = support::corpusPathOrEmpty(c.file);
        if (source.empty()) continue;
        SCOPED_TRACE(c.file);
        support::ScopedCopy copy(source);
        {
            auto object = openVideo(copy.path());
            ASSERT_TRUE(object);
            ASSERT_EQ(setText(*object.Get(), c.code, c.tag, u"Caf\u00e9 de nuit"), S_OK);
            ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
        }
        EXPECT_EQ(exiftool(copy.path(), c.exiftoolTag), "Caf\xC3\xA9 de nuit");
        auto reopened = openVideo(copy.path());
        ASSERT_TRUE(reopened);
        EXPECT_EQ(text(*reopened.Get(), c.code, c.tag), "Caf\xC3\xA9 de nuit");
        ++written;
    }
    if (written == 0) GTEST_SKIP() << "corpus not available";
}
