// SPDX-License-Identifier: MIT
// Bitmaps written and read through the still-image library: writers, readers, previews, masks.
#include <gtest/gtest.h>

#include <contracts/common_library.h>
#include <contracts/still_image_library.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/profile.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "dib/image_file_io.h"
#include "support/test_support.h"

namespace {

using mio::PackedDib;
using mio::UniquePackedDib;

std::string lastError()
{
    char text[256] = {};
    c32GetDLLErrorInfo(text, sizeof text, 0, 0, 0, 0);
    return text;
}

struct Rgb {
    int r, g, b;
};

// Picture (x, y) counted from the top; palette depths through their colour table.
Rgb pixelAt(const BITMAPINFOHEADER* dib, int x, int y)
{
    mio::dib_detail::Layout l{};
    EXPECT_TRUE(mio::dib_detail::describe(dib, l));
    const BYTE* row = l.row(y);
    const auto* table =
        reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const BYTE*>(dib) + dib->biSize);
    switch (l.bitCount) {
    case 1: {
        const RGBQUAD& c = table[(row[x / 8] >> (7 - x % 8)) & 1];
        return {c.rgbRed, c.rgbGreen, c.rgbBlue};
    }
    case 8: {
        const RGBQUAD& c = table[row[x]];
        return {c.rgbRed, c.rgbGreen, c.rgbBlue};
    }
    case 24:
        return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    case 32:
        return {row[4 * x + 2], row[4 * x + 1], row[4 * x]};
    default:
        ADD_FAILURE() << "depth " << l.bitCount;
        return {};
    }
}

// A colourful 24-bit picture: every row and column differs.
UniquePackedDib gradient(int width, int height)
{
    UniquePackedDib dib(mio::DibAlloc(width, height, 24));
    mio::dib_detail::Layout l{};
    EXPECT_TRUE(mio::dib_detail::describe(dib.get(), l));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            BYTE* p = l.row(y) + 3 * x;
            p[0] = static_cast<BYTE>(x * 5 + y);       // blue
            p[1] = static_cast<BYTE>(y * 3);           // green
            p[2] = static_cast<BYTE>(255 - x * 2 + y); // red
        }
    return dib;
}

// 8-bit with a palette of 16 distinct colours.
UniquePackedDib paletted(int width, int height)
{
    UniquePackedDib dib(mio::DibAlloc(width, height, 8));
    dib->biClrUsed = 16;
    auto* table = reinterpret_cast<RGBQUAD*>(reinterpret_cast<BYTE*>(dib.get()) + dib->biSize);
    for (int i = 0; i < 16; ++i)
        table[i] = {static_cast<BYTE>(i * 16), static_cast<BYTE>(255 - i * 9),
                    static_cast<BYTE>(i * 7 + 30), 0};
    mio::dib_detail::Layout l{};
    EXPECT_TRUE(mio::dib_detail::describe(dib.get(), l));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            l.row(y)[x] = static_cast<BYTE>((x / 4 + y / 3) % 16); // runs, as in drawings
    return dib;
}

int writeFile(const std::string& path, const char* format, const BITMAPINFOHEADER* dib,
              bool preview = false)
{
    HGLOBAL record = mio::NewImageWriteRecord(path.c_str(), qfFileGetFormatID(format), dib);
    if (!record) return -100;
    const int result = mio::DibWriteImageFile(record, dib, preview);
    q32FileFreeFileData(record);
    return result;
}

struct Record {
    HGLOBAL handle = nullptr;
    explicit Record(const std::string& path) : handle(qfFileGetFileData(path.c_str(), 0)) {}
    ~Record() { q32FileFreeFileData(handle); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ImageFileData copy() const
    {
        tavrel::GlobalLockGuard lock(handle);
        ImageFileData d{};
        std::memcpy(&d, lock.data(), sizeof d);
        return d;
    }
};

UniquePackedDib readFile(const std::string& path, bool preview = false)
{
    Record record(path);
    EXPECT_NE(record.handle, nullptr) << path;
    if (!record.handle) return nullptr;
    PackedDib dib = nullptr;
    EXPECT_GT(mio::DibReadImageFile(record.handle, preview, &dib, nullptr), 0) << path;
    return UniquePackedDib(dib);
}

struct Difference {
    int largest = 0;
    double mean = 0;
};

// Per-channel differences between two pictures of the same size.
Difference compare(const BITMAPINFOHEADER* a, const BITMAPINFOHEADER* b)
{
    Difference d;
    long total = 0;
    for (int y = 0; y < a->biHeight; ++y)
        for (int x = 0; x < a->biWidth; ++x) {
            const Rgb p = pixelAt(a, x, y), q = pixelAt(b, x, y);
            for (const int delta :
                 {std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b)}) {
                d.largest = std::max(d.largest, delta);
                total += delta;
            }
        }
    d.mean = static_cast<double>(total) / (3.0 * a->biWidth * a->biHeight);
    return d;
}

int maxDifference(const BITMAPINFOHEADER* a, const BITMAPINFOHEADER* b)
{
    return compare(a, b).largest;
}

// The settings file lives in a private folder for the whole suite.
class SettingsEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        m_dir = std::make_unique<support::TempDir>();
        setenv("XDG_CONFIG_HOME", m_dir->path().c_str(), 1);
    }
    void TearDown() override { m_dir.reset(); }

  private:
    std::unique_ptr<support::TempDir> m_dir;
};
const auto* const g_settings = ::testing::AddGlobalTestEnvironment(new SettingsEnvironment);

struct Writer {
    const char* ext;
    double tolerance; // mean channel difference allowed; 0 means exact
};

class WriterRoundTrip : public ::testing::TestWithParam<Writer> {};

TEST_P(WriterRoundTrip, ReadsBackWhatWasWritten)
{
    const Writer& w = GetParam();
    support::TempDir dir;
    // 24-bit at an odd width (padded rows) and 8-bit with a palette.
    for (const auto& source : {gradient(37, 21), paletted(29, 11)}) {
        SCOPED_TRACE(source->biBitCount);
        const std::string path = (dir / (std::string("out.") + w.ext)).string();
        ASSERT_GT(writeFile(path, w.ext, source.get()), 0);
        const UniquePackedDib back = readFile(path);
        ASSERT_TRUE(back);
        ASSERT_EQ(back->biWidth, source->biWidth);
        ASSERT_EQ(back->biHeight, source->biHeight);
        const Difference d = compare(source.get(), back.get());
        if (w.tolerance == 0) {
            EXPECT_EQ(d.largest, 0);
        } else {
            EXPECT_LE(d.mean, w.tolerance);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, WriterRoundTrip,
                         ::testing::Values(Writer{"bmp", 0}, Writer{"png", 0}, Writer{"tif", 0},
                                           Writer{"tga", 0}, Writer{"pcx", 0}, Writer{"pnm", 0},
                                           Writer{"jp2", 0}, Writer{"jpc", 0}, Writer{"webp", 0},
                                           Writer{"jpg", 8}),
                         [](const auto& info) { return std::string(info.param.ext); });

TEST(ImageFileWrite, GifKeepsAPalettedPictureExactly)
{
    support::TempDir dir;
    const UniquePackedDib source = paletted(31, 17);
    const std::string path = (dir / "out.gif").string();
    ASSERT_GT(writeFile(path, "gif", source.get()), 0);
    const UniquePackedDib back = readFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(maxDifference(source.get(), back.get()), 0);
}

TEST(ImageFileWrite, OtherDepthsAreWidenedOrNarrowedFirst)
{
    support::TempDir dir;
    // 16-bit 5-5-5 white and blue; 32-bit; 1-bit black and white; 48-bit.
    UniquePackedDib d16(mio::DibAlloc(5, 3, 16));
    UniquePackedDib d32(mio::DibAlloc(5, 3, 32));
    UniquePackedDib d1(mio::DibAlloc(9, 3, 1));
    UniquePackedDib d48(mio::DibAlloc(5, 3, 48));
    mio::dib_detail::Layout l{};
    ASSERT_TRUE(mio::dib_detail::describe(d16.get(), l));
    l.row(0)[0] = 0xFF, l.row(0)[1] = 0x7F; // white
    l.row(1)[2] = 0x1F;                     // x = 1 blue
    ASSERT_TRUE(mio::dib_detail::describe(d32.get(), l));
    l.row(2)[4 * 4 + 2] = 200; // red
    auto* table = reinterpret_cast<RGBQUAD*>(reinterpret_cast<BYTE*>(d1.get()) + d1->biSize);
    table[1] = {255, 255, 255, 0};
    ASSERT_TRUE(mio::dib_detail::describe(d1.get(), l));
    l.row(1)[1] = 0x80; // x = 8 white
    l.row(1)[0] = 0x80; // x = 0 white
    ASSERT_TRUE(mio::dib_detail::describe(d48.get(), l));
    l.row(0)[4] = 0xFF, l.row(0)[5] = 0xFF; // red word of pixel 0 at full scale

    const std::string path = (dir / "out.png").string();
    ASSERT_GT(writeFile(path, "png", d16.get()), 0);
    auto back = readFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(pixelAt(back.get(), 0, 0).g, 255);
    EXPECT_EQ(pixelAt(back.get(), 1, 1).b, 255);
    EXPECT_EQ(pixelAt(back.get(), 1, 1).r, 0);

    ASSERT_GT(writeFile(path, "png", d32.get()), 0);
    back = readFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(pixelAt(back.get(), 4, 2).r, 200);
    EXPECT_EQ(pixelAt(back.get(), 4, 2).g, 0);

    ASSERT_GT(writeFile(path, "png", d1.get()), 0);
    back = readFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(maxDifference(d1.get(), back.get()), 0);

    const std::string bmp = (dir / "out.bmp").string();
    ASSERT_GT(writeFile(bmp, "bmp", d48.get()), 0);
    back = readFile(bmp);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->biBitCount, 24);
    EXPECT_EQ(pixelAt(back.get(), 0, 0).r, 255);
}

TEST(ImageFileWrite, LargePictureCrossesRowChunksIntact)
{
    // 1000 x 1000 at 24 bits goes to the library in chunks of 21 rows; every row must land in
    // its place, also those on either side of a chunk boundary.
    support::TempDir dir;
    const UniquePackedDib source = gradient(1000, 1000);
    const std::string path = (dir / "big.bmp").string();
    ASSERT_GT(writeFile(path, "bmp", source.get()), 0);
    const UniquePackedDib back = readFile(path);
    ASSERT_TRUE(back);
    ASSERT_EQ(mio::DibImageSize(back.get()), mio::DibImageSize(source.get()));
    EXPECT_EQ(0, std::memcmp(mio::DibBits(back.get()), mio::DibBits(source.get()),
                             mio::DibImageSize(source.get())));
}

TEST(ImageFileWrite, PreviewIsAtMost96PixelsOnItsLongerSide)
{
    support::TempDir dir;
    const struct {
        int width, height, previewWidth, previewHeight;
    } cases[] = {{1000, 500, 96, 48}, {500, 1000, 48, 96}, {300, 300, 96, 96}, {60, 40, 60, 40}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const UniquePackedDib source = gradient(c.width, c.height);
        const std::string path = (dir / "preview.jpg").string();
        HGLOBAL record =
            mio::NewImageWriteRecord(path.c_str(), qfFileGetFormatID("jpg"), source.get());
        ASSERT_NE(record, nullptr);
        ASSERT_GT(mio::DibWriteImageFile(record, source.get(), true), 0);
        {
            tavrel::GlobalLockGuard lock(record);
            const auto* d = static_cast<const ImageFileData*>(lock.data());
            EXPECT_EQ(d->preview.width, c.previewWidth);
            EXPECT_EQ(d->preview.height, c.previewHeight);
            EXPECT_EQ(d->main.palette, 0u);
        }
        q32FileFreeFileData(record);
        // The file carries the preview and it reads back at that size.
        const UniquePackedDib preview = readFile(path, true);
        ASSERT_TRUE(preview);
        EXPECT_EQ(preview->biWidth, c.previewWidth);
        EXPECT_EQ(preview->biHeight, c.previewHeight);
    }
}

TEST(ImageFileWrite, RecordDescribesTheBitmapAndRefusesAPathThatDoesNotFit)
{
    const UniquePackedDib source = paletted(7, 5);
    HGLOBAL record = mio::NewImageWriteRecord("/tmp/x.bmp", 1, source.get());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(GlobalSize(record), 736u);
    {
        tavrel::GlobalLockGuard lock(record);
        const auto* d = static_cast<const ImageFileData*>(lock.data());
        EXPECT_EQ(d->formatId, 1);
        EXPECT_STREQ(d->path, "/tmp/x.bmp");
        EXPECT_EQ(d->main.bitCount, 8);
        EXPECT_EQ(d->main.width, 7);
        EXPECT_EQ(d->main.height, 5);
        EXPECT_EQ(d->main.colorType, QF_COLOR_PALETTE4);
        EXPECT_EQ(d->main.xResolution, 720000); // no display: 72 dpi
        EXPECT_EQ(d->preview.width, 7);
        EXPECT_EQ(d->hasPreview, 0);
        EXPECT_EQ(d->writeMinusOne, -1);
    }
    q32FileFreeFileData(record);

    const std::string tooLong = "/tmp/" + std::string(255, 'a'); // 260 bytes
    EXPECT_EQ(mio::NewImageWriteRecord(tooLong.c_str(), 1, source.get()), nullptr);
    EXPECT_EQ(mio::NewImageWriteRecord(nullptr, 1, source.get()), nullptr);
}

TEST(ImageFileWrite, RefusedWriteLeavesAnExistingFileAsItWas)
{
    support::TempDir dir;
    const std::string path = (dir / "keep.bmp").string();
    const UniquePackedDib first = gradient(20, 10);
    ASSERT_GT(writeFile(path, "bmp", first.get()), 0);
    const auto before = support::readFile(path);

    // A format the library cannot write, and a bitmap it refuses (top-down rows).
    const UniquePackedDib second = gradient(30, 30);
    EXPECT_LE(writeFile(path, "psd", second.get()), 0);
    second->biHeight = -30;
    EXPECT_LE(writeFile(path, "bmp", second.get()), 0);
    EXPECT_EQ(support::readFile(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(ImageFileWrite, JpegQualitySwapRestoresTheSetting)
{
    EXPECT_EQ(mio::SwapJpegQuality(60), 85); // nothing stored yet
    EXPECT_EQ(mio::SwapJpegQuality(85), 60);
    EXPECT_EQ(mio::SwapJpegQuality(33), 85);
    EXPECT_EQ(mio::SwapJpegQuality(85), 33);
}

// Files made on the spot in the portable formats, whose bytes are easy to state exactly.
std::string writeBytes(const support::TempDir& dir, const std::string& name,
                       const std::string& header, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), body.begin(), body.end());
    const auto path = dir / name;
    support::writeFile(path, bytes);
    return path.string();
}

TEST(ImageFileRead, WideSamplesBecomeTheirHighBytes)
{
    support::TempDir dir;
    // 16-bit grey: samples big-endian in the file.
    const std::string grey = writeBytes(dir, "g.pgm", "P5\n2 1\n65535\n", {0xAB, 0x12, 0x01, 0xFF});
    UniquePackedDib dib = readFile(grey);
    ASSERT_TRUE(dib);
    EXPECT_EQ(dib->biBitCount, 8);
    EXPECT_EQ(dib->biClrUsed, 256u);
    mio::dib_detail::Layout l{};
    ASSERT_TRUE(mio::dib_detail::describe(dib.get(), l));
    EXPECT_EQ(l.row(0)[0], 0xAB);
    EXPECT_EQ(l.row(0)[1], 0x01);
    EXPECT_EQ(pixelAt(dib.get(), 0, 0).g, 0xAB);

    // 48-bit: the words of each pixel arrive red, green, blue and are stored blue, green, red.
    const std::string rgb = writeBytes(dir, "c.ppm", "P6\n1 2\n65535\n",
                                       {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0, 1, 0, 2, 0, 3});
    dib = readFile(rgb);
    ASSERT_TRUE(dib);
    ASSERT_EQ(dib->biBitCount, 48);
    ASSERT_TRUE(mio::dib_detail::describe(dib.get(), l));
    const std::vector<uint8_t> top(l.row(0), l.row(0) + 6);
    EXPECT_EQ(top, (std::vector<uint8_t>{0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12}));
    const std::vector<uint8_t> bottom(l.row(1), l.row(1) + 6);
    EXPECT_EQ(bottom, (std::vector<uint8_t>{3, 0, 2, 0, 1, 0}));
}

TEST(ImageFileRead, PartialLastByteOfABilevelRowIsKept)
{
    support::TempDir dir;
    // 10 pixels a row: the last two sit in each row's second, partial byte; black in one row,
    // white in the other, so a dropped byte shows whatever the palette's first entry is.
    const std::string pbm = writeBytes(dir, "p.pbm", "P4\n10 2\n", {0x00, 0xC0, 0xFF, 0x00});
    UniquePackedDib dib = readFile(pbm);
    ASSERT_TRUE(dib);
    const int a = pixelAt(dib.get(), 8, 0).g;
    const int b = pixelAt(dib.get(), 8, 1).g;
    EXPECT_EQ(a + b, 255);
    EXPECT_EQ(pixelAt(dib.get(), 9, 0).g, a);
    EXPECT_EQ(pixelAt(dib.get(), 9, 1).g, b);
    EXPECT_EQ(pixelAt(dib.get(), 7, 0).g, b); // the first byte of each row is the opposite
}

TEST(ImageFileRead, HugeBilevelPictureComesBackHalvedAsGrey)
{
    // 8000 x 6000 = 48,000,000 pixels: left half black, right half white (PBM 1 is black).
    support::TempDir dir;
    std::vector<uint8_t> body(1000 * 6000, 0x00);
    for (size_t y = 0; y < 6000; ++y)
        std::memset(&body[y * 1000], 0xFF, 500);
    const std::string path = writeBytes(dir, "fax.pbm", "P4\n8000 6000\n", body);
    const UniquePackedDib dib = readFile(path);
    ASSERT_TRUE(dib);
    EXPECT_EQ(dib->biBitCount, 8);
    EXPECT_EQ(dib->biWidth, 4000);
    EXPECT_EQ(dib->biHeight, 3000);
    EXPECT_EQ(pixelAt(dib.get(), 10, 10).r, 0);
    EXPECT_EQ(pixelAt(dib.get(), 1990, 2990).r, 0);
    EXPECT_EQ(pixelAt(dib.get(), 2010, 5).r, 255);
    EXPECT_EQ(pixelAt(dib.get(), 3999, 2999).r, 255);

    // Below the limit a bilevel picture stays 1-bit, black then white in its table.
    const std::string small = writeBytes(dir, "small.pbm", "P4\n8 1\n", {0x0F});
    const UniquePackedDib one = readFile(small);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->biBitCount, 1);
    EXPECT_EQ(pixelAt(one.get(), 0, 0).r, 255);
    EXPECT_EQ(pixelAt(one.get(), 7, 0).r, 0);
}

TEST(ImageFileRead, MaskComesBackAsEightBitGrey)
{
    support::TempDir dir;
    const std::string path = writeBytes(
        dir, "a.pam", "P7\nWIDTH 3\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
        {10, 20, 30, 0, 40, 50, 60, 128, 70, 80, 90, 255});
    Record record(path);
    ASSERT_NE(record.handle, nullptr);
    PackedDib mask = nullptr;
    ASSERT_GT(mio::DibReadMaskImage(record.handle, &mask), 0);
    const UniquePackedDib owned(mask);
    ASSERT_EQ(mask->biBitCount, 8);
    mio::dib_detail::Layout l{};
    ASSERT_TRUE(mio::dib_detail::describe(mask, l));
    EXPECT_EQ(l.row(0)[0], 0);
    EXPECT_EQ(l.row(0)[1], 128);
    EXPECT_EQ(l.row(0)[2], 255);
    EXPECT_EQ(pixelAt(mask, 1, 0).r, 128);

    // The main image of the same file keeps its colours in blue, green, red order.
    const UniquePackedDib picture = readFile(path);
    ASSERT_TRUE(picture);
    EXPECT_EQ(pixelAt(picture.get(), 2, 0).r, 70);
    EXPECT_EQ(pixelAt(picture.get(), 2, 0).b, 90);

    // No mask, no bitmap.
    const std::string plain = writeBytes(dir, "p.ppm", "P6\n1 1\n255\n", {1, 2, 3});
    Record noMask(plain);
    mask = reinterpret_cast<PackedDib>(1);
    EXPECT_EQ(mio::DibReadMaskImage(noMask.handle, &mask), 0);
    EXPECT_EQ(mask, nullptr);
}

TEST(ImageFileRead, RefusesAPreviewLargerThanTheMainImageAndStopsOnAbort)
{
    // A record that claims a preview bigger than its picture: refused before any decoding.
    HGLOBAL forged = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData));
    {
        tavrel::GlobalLockGuard lock(forged);
        auto* d = static_cast<ImageFileData*>(lock.data());
        d->main = {24, 100, 100, 0, 0, QF_COLOR_RGB, 0};
        d->hasPreview = 1;
        d->preview = {24, 160, 90, 0, 0, QF_COLOR_RGB, 0};
    }
    PackedDib dib = reinterpret_cast<PackedDib>(1);
    EXPECT_EQ(mio::DibReadImageFile(forged, true, &dib, nullptr), 0);
    EXPECT_EQ(dib, nullptr);
    GlobalFree(forged);

    support::TempDir dir;
    const UniquePackedDib source = gradient(64, 64);
    const std::string path = (dir / "abort.png").string();
    ASSERT_GT(writeFile(path, "png", source.get()), 0);
    Record record(path);
    ASSERT_NE(record.handle, nullptr);
    const BOOL abort = TRUE;
    EXPECT_LE(mio::DibReadImageFile(record.handle, false, &dib, &abort), 0);
    EXPECT_EQ(dib, nullptr);
    const BOOL goOn = FALSE;
    EXPECT_GT(mio::DibReadImageFile(record.handle, false, &dib, &goOn), 0);
    mio::DibFree(dib);
}

// Width and height ExifTool measured, from the corpus manifest.
std::map<std::string, std::pair<int, int>> manifestSizes()
{
    std::map<std::string, std::pair<int, int>> sizes;
    std::ifstream in(support::corpusDir() / "MANIFEST.md");
    const std::regex row(R"(^\| `([^`]+)` \|.*type=[A-Za-z0-9]+; (\d+)x(\d+);)");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, row))
            sizes[m[1].str()] = {std::stoi(m[2].str()), std::stoi(m[3].str())};
    }
    return sizes;
}

TEST(ImageFileReadCorpus, EveryStillImageReadsToABitmapOfItsSize)
{
    if (support::corpusDir().empty()) GTEST_SKIP() << "no corpus";
    const auto sizes = manifestSizes();
    int read = 0;
    for (const char* folder : {"jpeg", "png", "gif", "bmp", "tiff", "ico", "other-images", "raw"}) {
        for (const auto& entry :
             std::filesystem::directory_iterator(support::corpusDir() / folder)) {
            const std::string relative =
                std::string(folder) + "/" + entry.path().filename().string();
            SCOPED_TRACE(relative);
            Record record(entry.path().string());
            if (!record.handle) continue; // not a still image the library knows
            const ImageFileData d = record.copy();
            PackedDib dib = nullptr;
            const int result = mio::DibReadImageFile(record.handle, false, &dib, nullptr);
            // ExifTool's stubs of raw files carry metadata without decodable pixels, and the
            // HDR sample is cut short upstream (its scan ends early): the library refuses both.
            if (relative.starts_with("raw/exiftool_") || relative == "jpeg/ultrahdr.jpg") {
                mio::DibFree(dib);
                continue;
            }
            ASSERT_GT(result, 0) << lastError();
            const UniquePackedDib owned(dib);
            ++read;
            EXPECT_EQ(dib->biWidth, d.main.width);
            EXPECT_EQ(dib->biHeight, d.main.height);
            if (d.main.colorType == QF_COLOR_CMYK32) {
                EXPECT_EQ(dib->biBitCount, 24);
            }
            if (d.main.colorType == QF_COLOR_GREY16) {
                EXPECT_EQ(dib->biBitCount, 8);
            }
            // Icons hold several sizes, raw sensors and EPS bounding boxes differ from the
            // picture: ExifTool's size is compared where it names the decoded picture.
            const auto size = sizes.find(relative);
            if (size != sizes.end() && std::string(folder) != "raw" &&
                std::string(folder) != "ico" && entry.path().extension() != ".eps") {
                EXPECT_EQ(dib->biWidth, size->second.first);
                EXPECT_EQ(dib->biHeight, size->second.second);
            }
            if (d.hasPreview && d.preview.width <= d.main.width &&
                d.preview.height <= d.main.height) {
                PackedDib preview = nullptr;
                EXPECT_GT(mio::DibReadImageFile(record.handle, true, &preview, nullptr), 0);
                const UniquePackedDib ownedPreview(preview);
                if (preview) {
                    EXPECT_EQ(preview->biWidth, d.preview.width);
                }
            }
            if (d.maskCount > 0) {
                PackedDib mask = nullptr;
                EXPECT_GT(mio::DibReadMaskImage(record.handle, &mask), 0);
                const UniquePackedDib ownedMask(mask);
                if (mask) {
                    EXPECT_EQ(mask->biWidth, d.main.width);
                }
            }
        }
    }
    EXPECT_GE(read, 60);
}

} // namespace
