// SPDX-License-Identifier: MIT
// The metadata file rewriter over the real imaging component, on JPEG files made here: XMP
// lists and reads, staged writes and commits, the padded rewrite and its faults, frame bitmaps.
#include <contracts/wincodec.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <tavrel/platform/combase.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "metadata/metadata_file_rewriter.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using mio::CMetadataFileRewriter;
using mio::PackedDib;

namespace {

class Environment : public ::testing::Environment {
    void SetUp() override { ASSERT_EQ(mioImagingRegister(), S_OK); }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

constexpr HRESULT kPropertyNotFound = static_cast<HRESULT>(0x88982F40);

// A baseline JPEG of width x height: RGB with the top half red and the bottom half blue, or
// grey (a horizontal ramp). `xmp` (a packet) goes into an APP1 segment when not empty.
std::vector<uint8_t> makeJpeg(int width, int height, bool grey = false, const std::string& xmp = {})
{
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    if (!xmp.empty()) {
        std::string app1 = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + xmp;
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(app1.data()),
                          static_cast<unsigned>(app1.size()));
    }
    const int channels = grey ? 1 : 3;
    std::vector<uint8_t> row(static_cast<size_t>(width * channels));
    while (cinfo.next_scanline < cinfo.image_height) {
        const bool top = static_cast<int>(cinfo.next_scanline) < height / 2;
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &row[static_cast<size_t>(x * channels)];
            if (grey) {
                p[0] = static_cast<uint8_t>(x * 255 / std::max(width - 1, 1));
            } else {
                p[0] = top ? 220 : 0;
                p[1] = 0;
                p[2] = top ? 0 : 220;
            }
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> bytes(out, out + outSize);
    std::free(out);
    return bytes;
}

// The decoded samples of a JPEG file (libjpeg-turbo), to show that pixels did not change.
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

const std::string kPacket =
    "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?>"
    "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
    "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
    "<rdf:Description rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/' "
    "xmlns:xmp='http://ns.adobe.com/xap/1.0/'>"
    "<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>Harbour</rdf:li></rdf:Alt></dc:title>"
    "<xmp:Rating>3</xmp:Rating>"
    "<dc:subject><rdf:Bag><rdf:li>sky</rdf:li><rdf:li>sea</rdf:li></rdf:Bag></dc:subject>"
    "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";

std::u16string wide(const fs::path& path)
{
    return support::u16(path.string());
}

std::vector<std::string> folderNames(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string readText(CMetadataFileRewriter& rewriter, int32_t tag, HRESULT* result = nullptr)
{
    WCHAR buffer[128] = {};
    const HRESULT hr = rewriter.ReadTagText(tag, buffer, sizeof buffer);
    if (result) *result = hr;
    return SUCCEEDED(hr) ? support::u8(buffer) : "<fail>";
}

// A rewriter whose last step, or whose flush, fails as a full or read-only disk would.
class FaultyRewriter : public CMetadataFileRewriter {
  public:
    enum class Fault { Replace, Flush };
    FaultyRewriter(const WCHAR* path, Fault fault) : CMetadataFileRewriter(path), m_fault(fault) {}

  protected:
    HRESULT ReplaceTarget(const std::u16string& temporary, const std::u16string& target) override
    {
        if (m_fault == Fault::Replace) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        return CMetadataFileRewriter::ReplaceTarget(temporary, target);
    }
    HRESULT FlushTemporary(HANDLE file) override
    {
        if (m_fault == Fault::Flush) return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        return CMetadataFileRewriter::FlushTemporary(file);
    }

  private:
    Fault m_fault;
};

} // namespace

TEST(MetadataFileRewriter, TemporaryNamesShiftTheLastNamePart)
{
    EXPECT_EQ(CMetadataFileRewriter::ShiftedName(u"/pics/photo.jpg"), u"/pics/photo.kqh");
    EXPECT_EQ(CMetadataFileRewriter::ShiftedName(u"/pics/PHOTO.JPZ"), u"/pics/PHOTO.KQa");
    EXPECT_EQ(CMetadataFileRewriter::ShiftedName(u"/pics/scan9"), u"/pics/tdbo0");
    EXPECT_EQ(CMetadataFileRewriter::ShiftedName(u"C:\\pics\\scan9"), u"C:\\pics\\tdbo0");
    // A trailing dot changes nothing, so the walk goes on into the name; other characters stay.
    EXPECT_EQ(CMetadataFileRewriter::ShiftedName(u"/a.b/x-y."), u"/a.b/y-z.");
    EXPECT_EQ(CMetadataFileRewriter::ShiftedName(u"/pics/img.t_z9"), u"/pics/img.u_a0");
    // Nothing to shift: the name stays, and exclusive creation then refuses it.
    EXPECT_EQ(CMetadataFileRewriter::ShiftedName(u"/pics/__"), u"/pics/__");
}

TEST(MetadataFileRewriter, NamesAndLookupsNeedNoFile)
{
    CMetadataFileRewriter rewriter(u"/nonexistent/folder/x.jpg");
    WCHAR name[40] = {};
    ASSERT_EQ(rewriter.GetXmpTagName(1, name, sizeof name), S_OK);
    EXPECT_EQ(support::u8(name), "dc:subject");
    // The longest name needs 60 bytes with its NUL.
    ASSERT_EQ(rewriter.GetXmpTagName(3, name, 60), S_OK);
    EXPECT_EQ(support::u8(name), "MicrosoftPhoto:LastKeywordXMP");
    EXPECT_EQ(rewriter.GetXmpTagName(3, name, 58), E_INVALIDARG);
    EXPECT_EQ(rewriter.GetXmpTagName(5, name, sizeof name), E_FAIL);
    EXPECT_EQ(rewriter.GetXmpTagName(-1, name, sizeof name), E_FAIL);

    EXPECT_EQ(CMetadataFileRewriter::FindXmpTagByName(u"/dc:TITLE"), 4);
    EXPECT_EQ(CMetadataFileRewriter::FindXmpTagByName(u"/xmp:rating"), 0);
    EXPECT_EQ(CMetadataFileRewriter::FindXmpTagByName(u"dc:title"), -1);
    EXPECT_EQ(CMetadataFileRewriter::FindXmpTagByName(u"/dc:creator"), -1);
    EXPECT_EQ(CMetadataFileRewriter::FindXmpTagByName(u""), -1);

    // Nothing written: committing opens no file, so a missing one is no failure.
    EXPECT_EQ(rewriter.CommitTags(), S_OK);
    int32_t count = -1;
    EXPECT_EQ(rewriter.ListTags(&count, nullptr, 0), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(count, -1);
}

TEST(MetadataFileRewriter, ReadsTextsAndBagsWithinTheBuffer)
{
    support::TempDir dir;
    const auto file = dir / "photo.jpg";
    support::writeFile(file, makeJpeg(64, 48, false, kPacket));
    CMetadataFileRewriter rewriter(wide(file).c_str());

    int32_t list[8] = {-7, -7, -7, -7, -7, -7, -7, -7};
    int32_t count = 0;
    ASSERT_EQ(rewriter.ListTags(&count, list, 8), S_OK);
    ASSERT_EQ(count, 3);
    std::vector<int32_t> listed(list, list + 3);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<int32_t>{0, 1, 4}));
    // A short list: the full count, and nothing written past the room.
    int32_t shortList[2] = {-7, -7};
    ASSERT_EQ(rewriter.ListTags(&count, shortList, 1), S_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(shortList[1], -7);

    // A bag: sky NUL sea NUL NUL and 18 bytes; in 10 bytes only sky NUL NUL.
    BYTE bytes[64];
    std::memset(bytes, 0xAB, sizeof bytes);
    int32_t size = 0;
    ASSERT_EQ(rewriter.ReadTag(1, bytes, sizeof bytes, &size), S_OK);
    EXPECT_EQ(size, 18);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(bytes), 9),
              std::u16string(u"sky\0sea\0\0", 9));
    std::memset(bytes, 0xAB, sizeof bytes);
    ASSERT_EQ(rewriter.ReadTag(1, bytes, 10, &size), S_OK);
    EXPECT_EQ(size, 10);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(bytes), 5),
              std::u16string(u"sky\0\0", 5));
    EXPECT_EQ(bytes[10], 0xAB); // nothing past the buffer
    // Not even one item fits.
    EXPECT_EQ(rewriter.ReadTag(1, bytes, 8, &size), E_FAIL);
    EXPECT_EQ(readText(rewriter, 1), "sky,sea");

    // A single text reports twice its length without the NUL.
    ASSERT_EQ(rewriter.ReadTag(0, bytes, sizeof bytes, &size), S_OK);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(support::u8(reinterpret_cast<const char16_t*>(bytes)), "3");
    EXPECT_EQ(rewriter.ReadTag(0, bytes, 2, &size), E_INVALIDARG); // no room for the NUL
    EXPECT_EQ(size, 2);
    // The title is a language alternative, which the platform hands out nested, like a bag.
    ASSERT_EQ(rewriter.ReadTag(4, bytes, sizeof bytes, &size), S_OK);
    EXPECT_EQ(size, 18);
    EXPECT_EQ(readText(rewriter, 4), "Harbour");
    EXPECT_EQ(rewriter.ReadTag(5, bytes, sizeof bytes, &size), E_FAIL);
    EXPECT_EQ(rewriter.ReadTag(2, bytes, sizeof bytes, &size), kPropertyNotFound);
}

TEST(MetadataFileRewriter, FileWithoutXmpFailsOnceWithThePlatformsErrorThenAtOnce)
{
    support::TempDir dir;
    const auto file = dir / "bare.jpg";
    support::writeFile(file, makeJpeg(32, 16));
    const auto before = support::readFile(file);
    CMetadataFileRewriter rewriter(wide(file).c_str());
    int32_t count = -1;
    EXPECT_EQ(rewriter.ListTags(&count, nullptr, 0), kPropertyNotFound);
    EXPECT_EQ(rewriter.ListTags(&count, nullptr, 0), E_FAIL);
    EXPECT_EQ(count, -1);
    // Close resets the mark: the platform is asked again.
    rewriter.Close();
    EXPECT_EQ(readText(rewriter, 4, &count), "<fail>");
    EXPECT_EQ(count, kPropertyNotFound);
    EXPECT_EQ(support::readFile(file), before);
}

TEST(MetadataFileRewriter, FirstWritePadsThenCommitsInPlaceKeepingPixelsAndPermissions)
{
    support::TempDir dir;
    const auto file = dir / "photo.jpg";
    support::writeFile(file, makeJpeg(80, 60));
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const auto pixels = decodePixels(file);
    {
        CMetadataFileRewriter rewriter(wide(file).c_str());
        const std::u16string title = u"Pier at dusk";
        ASSERT_EQ(rewriter.WriteTag(4, reinterpret_cast<const BYTE*>(title.c_str()), 0), S_OK);
        EXPECT_TRUE(rewriter.HasUncommittedChanges());
        // The padded copy replaced the file; its temporary name is gone.
        EXPECT_EQ(folderNames(dir.path()), std::vector<std::string>{"photo.jpg"});
        const std::u16string keywords(u"harbour\0boats\0", 14);
        ASSERT_EQ(rewriter.WriteTag(1, reinterpret_cast<const BYTE*>(keywords.data()),
                                    static_cast<int32_t>(keywords.size() * 2)),
                  S_OK);
        ASSERT_EQ(rewriter.CommitTags(), S_OK);
        EXPECT_FALSE(rewriter.HasUncommittedChanges());
        EXPECT_EQ(rewriter.CommitTags(), S_OK); // committed again, nothing new
    }                                           // an open rewriter shares its file for reading only
    EXPECT_EQ(decodePixels(file), pixels);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    CMetadataFileRewriter reader(wide(file).c_str());
    EXPECT_EQ(readText(reader, 4), "Pier at dusk");
    EXPECT_EQ(readText(reader, 1), "harbour,boats");

    // A list of 2 bytes removes the keywords and stores nothing.
    const char16_t empty[1] = {u'\0'};
    ASSERT_EQ(reader.WriteTag(1, reinterpret_cast<const BYTE*>(empty), 2), S_OK);
    ASSERT_EQ(reader.CommitTags(), S_OK);
    reader.Close();
    CMetadataFileRewriter again(wide(file).c_str());
    HRESULT hr = S_OK;
    EXPECT_EQ(readText(again, 1, &hr), "<fail>");
    EXPECT_EQ(hr, kPropertyNotFound);
    EXPECT_EQ(readText(again, 4), "Pier at dusk");
    EXPECT_EQ(decodePixels(file), pixels);
}

TEST(MetadataFileRewriter, RemovalAndUncommittedWritesDroppedByClose)
{
    support::TempDir dir;
    const auto file = dir / "photo.jpg";
    support::writeFile(file, makeJpeg(40, 30, false, kPacket));
    const auto before = support::readFile(file);
    {
        CMetadataFileRewriter rewriter(wide(file).c_str());
        ASSERT_EQ(rewriter.WriteTag(0, reinterpret_cast<const BYTE*>(u"5"), 4), S_OK);
        rewriter.Close(); // staged, never committed
        EXPECT_FALSE(rewriter.HasUncommittedChanges());
    }
    EXPECT_EQ(support::readFile(file), before);

    CMetadataFileRewriter rewriter(wide(file).c_str());
    ASSERT_EQ(rewriter.RemoveAllTags(), S_OK);
    ASSERT_EQ(rewriter.CommitTags(), S_OK);
    rewriter.Close();
    CMetadataFileRewriter reader(wide(file).c_str());
    int32_t count = -1;
    ASSERT_EQ(reader.ListTags(&count, nullptr, 0), S_OK);
    EXPECT_EQ(count, 0);
}

TEST(MetadataFileRewriter, PlantedTemporaryNameIsNeitherUsedNorDeleted)
{
    support::TempDir dir;
    const auto file = dir / "photo.jpg";
    support::writeFile(file, makeJpeg(40, 30));
    const std::vector<uint8_t> mine = {'m', 'i', 'n', 'e'};
    support::writeFile(dir / "photo.kqh", mine);
    fs::create_symlink(dir / "photo.kqh", dir / "photo.lri"); // the next name: a link
    const auto pixels = decodePixels(file);

    CMetadataFileRewriter rewriter(wide(file).c_str());
    ASSERT_EQ(rewriter.WriteTag(4, reinterpret_cast<const BYTE*>(u"Kept apart"), 0), S_OK);
    ASSERT_EQ(rewriter.CommitTags(), S_OK);
    rewriter.Close();
    EXPECT_EQ(support::readFile(dir / "photo.kqh"), mine);
    EXPECT_TRUE(fs::is_symlink(dir / "photo.lri"));
    EXPECT_EQ(folderNames(dir.path()),
              (std::vector<std::string>{"photo.jpg", "photo.kqh", "photo.lri"}));
    CMetadataFileRewriter reader(wide(file).c_str());
    EXPECT_EQ(readText(reader, 4), "Kept apart");
    EXPECT_EQ(decodePixels(file), pixels);
}

TEST(MetadataFileRewriter, FailedPaddingLeavesTheFileByteIdentical)
{
    for (const auto fault : {FaultyRewriter::Fault::Replace, FaultyRewriter::Fault::Flush}) {
        SCOPED_TRACE(static_cast<int>(fault));
        support::TempDir dir;
        const auto file = dir / "photo.jpg";
        support::writeFile(file, makeJpeg(40, 30));
        support::writeFile(dir / "photo.kqh", {'x'});
        const auto before = support::readFile(file);
        FaultyRewriter rewriter(wide(file).c_str(), fault);
        const HRESULT expected = fault == FaultyRewriter::Fault::Replace
                                     ? HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)
                                     : HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        EXPECT_EQ(rewriter.WriteTag(4, reinterpret_cast<const BYTE*>(u"lost"), 0), expected);
        EXPECT_FALSE(rewriter.HasUncommittedChanges());
        // Nothing to commit, the file as it was, only our own temporary file removed.
        EXPECT_EQ(rewriter.CommitTags(), S_OK);
        EXPECT_EQ(support::readFile(file), before);
        EXPECT_EQ(support::readFile(dir / "photo.kqh"), std::vector<uint8_t>{'x'});
        EXPECT_EQ(folderNames(dir.path()), (std::vector<std::string>{"photo.jpg", "photo.kqh"}));
    }
}

TEST(MetadataFileRewriter, WritingThroughALinkRewritesItsTarget)
{
    support::TempDir dir;
    fs::create_directory(dir / "real");
    const auto target = dir / "real" / "photo.jpg";
    support::writeFile(target, makeJpeg(40, 30));
    const auto link = dir / "link.jpg";
    fs::create_symlink(target, link);
    CMetadataFileRewriter rewriter(wide(link).c_str());
    ASSERT_EQ(rewriter.WriteTag(4, reinterpret_cast<const BYTE*>(u"Linked"), 0), S_OK);
    ASSERT_EQ(rewriter.CommitTags(), S_OK);
    rewriter.Close();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(folderNames(dir / "real"), std::vector<std::string>{"photo.jpg"});
    CMetadataFileRewriter reader(wide(target).c_str());
    EXPECT_EQ(readText(reader, 4), "Linked");
}

TEST(MetadataFileRewriter, FrameBitmapsFitTheLimitsBottomUp)
{
    support::TempDir dir;
    support::writeFile(dir / "big.jpg", makeJpeg(640, 480));
    support::writeFile(dir / "small.jpg", makeJpeg(100, 50));
    support::writeFile(dir / "grey.jpg", makeJpeg(64, 64, true));

    CMetadataFileRewriter big(wide(dir / "big.jpg").c_str());
    PackedDib dib = nullptr;
    ASSERT_EQ(big.ReadFrameDib(&dib, 160, 120), S_OK);
    mio::UniquePackedDib held(dib);
    EXPECT_EQ(dib->biWidth, 160);
    EXPECT_EQ(dib->biHeight, 120); // positive: bottom-up
    EXPECT_EQ(dib->biBitCount, 24);
    // Memory row 0 is the picture's bottom row (blue); the last is its top (red). BGR order.
    const BYTE* bits = mio::DibBits(dib);
    const size_t stride = mio::DibStride(dib);
    EXPECT_GT(bits[0], 180);
    EXPECT_LT(bits[2], 40);
    const BYTE* top = bits + stride * 119;
    EXPECT_LT(top[0], 40);
    EXPECT_GT(top[2], 180);

    ASSERT_EQ(big.ReadFrameDib(&dib, 0, 120), S_OK); // a zero limit: full size
    held.reset(dib);
    EXPECT_EQ(dib->biWidth, 640);
    EXPECT_EQ(dib->biHeight, 480);

    CMetadataFileRewriter small(wide(dir / "small.jpg").c_str());
    ASSERT_EQ(small.ReadFrameDib(&dib, 160, 120), S_OK);
    held.reset(dib);
    EXPECT_EQ(dib->biWidth, 100);
    EXPECT_EQ(dib->biHeight, 50);

    CMetadataFileRewriter grey(wide(dir / "grey.jpg").c_str());
    dib = reinterpret_cast<PackedDib>(&held); // must be cleared
    EXPECT_EQ(grey.ReadFrameDib(&dib, 160, 120), E_FAIL);
    EXPECT_EQ(dib, nullptr);
    EXPECT_EQ(grey.ReadFrameDib(&dib, 0, 0), E_FAIL);
    EXPECT_EQ(big.ReadFrameDib(&dib, -1, 10), E_INVALIDARG);
}

TEST(MetadataFileRewriter, DamagedFilesFailCleanly)
{
    support::TempDir dir;
    auto bytes = makeJpeg(64, 48, false, kPacket);
    support::writeFile(dir / "cut.jpg", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 40));
    support::writeFile(dir / "junk.jpg", std::vector<uint8_t>(300, 0x5A));
    for (const char* name : {"cut.jpg", "junk.jpg"}) {
        SCOPED_TRACE(name);
        const auto before = support::readFile(dir / name);
        CMetadataFileRewriter rewriter(wide(dir / name).c_str());
        PackedDib dib = nullptr;
        EXPECT_TRUE(FAILED(rewriter.ReadFrameDib(&dib, 16, 16)));
        EXPECT_EQ(dib, nullptr);
        int32_t count = 0;
        EXPECT_TRUE(FAILED(rewriter.ListTags(&count, nullptr, 0)));
        EXPECT_TRUE(FAILED(rewriter.WriteTag(4, reinterpret_cast<const BYTE*>(u"x"), 0)));
        EXPECT_EQ(support::readFile(dir / name), before);
    }
}

TEST(MetadataFileRewriter, TiffXmpIsNotServed)
{
    MIO_CORPUS_FILE(source, "tiff/hopper_lzw.tif");
    support::ScopedCopy copy(source);
    const auto before = support::readFile(copy.path());
    CMetadataFileRewriter rewriter(wide(copy.path()).c_str());
    int32_t count = -1;
    EXPECT_EQ(rewriter.ListTags(&count, nullptr, 0), E_FAIL);
    EXPECT_EQ(rewriter.ListTags(&count, nullptr, 0), E_FAIL); // not marked as lacking XMP
    EXPECT_EQ(readText(rewriter, 4, &count), "<fail>");
    EXPECT_EQ(count, E_FAIL);
    EXPECT_EQ(rewriter.WriteTag(4, reinterpret_cast<const BYTE*>(u"no"), 0), E_FAIL);
    EXPECT_EQ(rewriter.CommitTags(), S_OK);
    rewriter.Close();
    EXPECT_EQ(support::readFile(copy.path()), before);
    EXPECT_EQ(folderNames(copy.path().parent_path()),
              std::vector<std::string>{copy.path().filename().string()});
}
