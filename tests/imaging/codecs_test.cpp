// SPDX-License-Identifier: MIT
// PNG, GIF, TIFF, BMP and ICO decoders: corpus pixels against the reference libraries, pixel
// formats as the files store them, hand-made files with known pixels, and hostile headers.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>

#include "imaging_test_util.h"
#include "support/test_support.h"

using namespace imgtest;

namespace {

// Our frame converted to BGRA.
Pixels asBgra(IWICBitmapSource* frame)
{
    ComPtr<IWICFormatConverter> conv;
    EXPECT_EQ(factory()->CreateFormatConverter(conv.GetAddressOf()), S_OK);
    EXPECT_EQ(conv->Initialize(frame, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                               nullptr, 0.0, WICBitmapPaletteTypeCustom),
              S_OK);
    Pixels p;
    EXPECT_EQ(copyAll(conv.Get(), p, 32), S_OK);
    return p;
}

// libpng's own 8-bit BGRA rendering, without gamma or colour management (as the component).
// The setjmp frame holds only trivially destructible locals; the caller owns the file.
bool decodePngReference(FILE* f, Pixels& p, std::vector<png_bytep>& rows)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr,
                                             [](png_structp, png_const_charp) {});
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_set_scale_16(png);
    png_set_bgr(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    p.width = png_get_image_width(png, info);
    p.height = png_get_image_height(png, info);
    p.stride = p.width * 4;
    p.data.resize(size_t{p.stride} * p.height);
    rows.resize(p.height);
    for (UINT y = 0; y < p.height; ++y)
        rows[y] = p.data.data() + size_t{p.stride} * y;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

Pixels pngReference(const std::filesystem::path& path)
{
    Pixels p;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return p;
    std::vector<png_bytep> rows;
    const bool ok = decodePngReference(f, p, rows);
    std::fclose(f);
    return ok ? p : Pixels{};
}

Pixels tiffReference(TIFF* tif)
{
    Pixels p;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    p.width = w;
    p.height = h;
    p.stride = w * 4;
    p.data.resize(size_t{p.stride} * h);
    if (!TIFFReadRGBAImageOriented(tif, w, h, reinterpret_cast<uint32_t*>(p.data.data()),
                                   ORIENTATION_TOPLEFT, 0))
        p.data.clear();
    for (size_t i = 0; i < p.data.size(); i += 4)
        std::swap(p.data[i], p.data[i + 2]);
    return p;
}

int maxDiffIgnoringHiddenColour(const Pixels& ours, const Pixels& ref)
{
    // Fully transparent pixels may carry any colour.
    if (ours.data.size() != ref.data.size()) return 1 << 20;
    int worst = 0;
    for (size_t i = 0; i < ours.data.size(); i += 4) {
        if (ours.data[i + 3] == 0 && ref.data[i + 3] == 0) continue;
        for (size_t c = 0; c < 4; ++c)
            worst = std::max(worst, std::abs(int(ours.data[i + c]) - int(ref.data[i + c])));
    }
    return worst;
}

std::vector<std::filesystem::path> corpusFiles(const char* folder)
{
    std::vector<std::filesystem::path> out;
    const auto dir = support::corpusDir() / folder;
    if (std::filesystem::exists(dir))
        for (const auto& e : std::filesystem::directory_iterator(dir))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

GUID frameFormat(const std::filesystem::path& path, UINT index = 0)
{
    ComPtr<IWICBitmapDecoder> decoder;
    EXPECT_EQ(decoderFromFile(path, decoder), S_OK) << path;
    ComPtr<IWICBitmapFrameDecode> frame;
    GUID f{};
    if (decoder && SUCCEEDED(decoder->GetFrame(index, frame.GetAddressOf())))
        frame->GetPixelFormat(&f);
    return f;
}

} // namespace

TEST(PngDecoder, CorpusFilesMatchLibpng)
{
    const auto files = corpusFiles("png");
    if (files.empty()) GTEST_SKIP() << "corpus not available";
    for (const auto& path : files) {
        ComPtr<IWICBitmapDecoder> decoder;
        ASSERT_EQ(decoderFromFile(path, decoder), S_OK) << path;
        UINT count = 0;
        EXPECT_EQ(decoder->GetFrameCount(&count), S_OK);
        EXPECT_EQ(count, 1u) << path; // animation chunks are not frames of this container
        ComPtr<IWICBitmapFrameDecode> frame;
        ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
        const Pixels ours = asBgra(frame.Get());
        const Pixels ref = pngReference(path);
        ASSERT_FALSE(ref.data.empty()) << path;
        ASSERT_EQ(ours.width, ref.width);
        EXPECT_EQ(maxDiffIgnoringHiddenColour(ours, ref), 0) << path;
    }
}

TEST(PngDecoder, ReportsTheStoredPixelFormat)
{
    const auto dir = support::corpusDir() / "png";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "corpus not available";
    EXPECT_EQ(frameFormat(dir / "hopper.png"), GUID_WICPixelFormat24bppBGR);
    EXPECT_EQ(frameFormat(dir / "transparent.png"), GUID_WICPixelFormat32bppBGRA);
    EXPECT_EQ(frameFormat(dir / "pil123p.png"), GUID_WICPixelFormat8bppIndexed);
    EXPECT_EQ(frameFormat(dir / "monkey16.png"), GUID_WICPixelFormat48bppRGB);
}

TEST(PngDecoder, SixteenBitSamplesAreLittleEndianAndExact)
{
    const auto path = support::corpusPathOrEmpty("png/monkey16.png");
    if (path.empty()) GTEST_SKIP() << "corpus not available";
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
    png_image_free(&image);
    // Raw samples straight from libpng's low-level reader, big-endian as stored.
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_bytepp rows = png_get_rows(png, info);
    ComPtr<IWICBitmapDecoder> decoder;
    ASSERT_EQ(decoderFromFile(path, decoder), S_OK);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    Pixels ours;
    ASSERT_EQ(copyAll(frame.Get(), ours, 48), S_OK);
    for (UINT y = 0; y < ours.height; ++y)
        for (UINT i = 0; i < ours.width * 3; ++i)
            ASSERT_EQ(ours.row(y)[2 * i] | ours.row(y)[2 * i + 1] << 8,
                      rows[y][2 * i] << 8 | rows[y][2 * i + 1]);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
}

uint32_t crc32Of(const uint8_t* p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void appendChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data)
{
    const auto be = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<uint8_t>(v >> s));
    };
    be(static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    be(crc32Of(out.data() + start, out.size() - start));
}

TEST(PngDecoder, HugeDeclaredSizeIsRefusedAtInitialize)
{
    // A valid header for 100000 x 100000 RGB (30 GB decoded), then a token data chunk.
    std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    appendChunk(bytes, "IHDR", {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0, 8, 2, 0, 0, 0}); // 8-bit RGB
    appendChunk(bytes, "IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
    appendChunk(bytes, "IEND", {});
    ComPtr<IWICBitmapDecoder> decoder;
    EXPECT_EQ(decoderFromBytes(bytes, decoder), WINCODEC_ERR_IMAGESIZEOUTOFRANGE);
    // The same header at 100 x 100 opens (and its pixels then fail: the data is empty).
    bytes[18] = 0;
    bytes[19] = 100;
    bytes[22] = 0;
    bytes[23] = 100;
    bytes[16] = bytes[20] = 0;
    bytes[17] = bytes[21] = 0;
    const uint32_t crc = crc32Of(bytes.data() + 12, 17);
    for (int i = 0; i < 4; ++i)
        bytes[29 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    Pixels p;
    EXPECT_EQ(copyAll(frame.Get(), p, 24), WINCODEC_ERR_BADSTREAMDATA);
}

TEST(PngDecoder, DamagedFilesFailWithCodecErrors)
{
    for (const char* name : {"broken/broken.png", "broken/truncated_image.png",
                             "broken/hopper_truncated_10000B.png"}) {
        const auto path = support::corpusPathOrEmpty(name);
        if (path.empty()) GTEST_SKIP() << "corpus not available";
        ComPtr<IWICBitmapDecoder> decoder;
        HRESULT hr = decoderFromFile(path, decoder);
        if (SUCCEEDED(hr)) {
            ComPtr<IWICBitmapFrameDecode> frame;
            ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
            Pixels p;
            hr = copyAll(frame.Get(), p, 0);
        }
        EXPECT_TRUE(hr == WINCODEC_ERR_BADHEADER || hr == WINCODEC_ERR_BADSTREAMDATA)
            << name << " " << std::hex << hr;
    }
    // A JPEG with a PNG name is found by its content.
    MIO_CORPUS_FILE(misnamed, "broken/hopper_gray_jpeg_named.png");
    ComPtr<IWICBitmapDecoder> decoder;
    ASSERT_EQ(decoderFromFile(misnamed, decoder), S_OK);
    GUID container{};
    decoder->GetContainerFormat(&container);
    EXPECT_EQ(container, GUID_ContainerFormatJpeg);
}

TEST(GifDecoder, CorpusFramesMatchGiflib)
{
    const auto files = corpusFiles("gif");
    if (files.empty()) GTEST_SKIP() << "corpus not available";
    const std::map<std::string, UINT> counts = {
        {"chi.gif", 31}, {"iss634.gif", 42}, {"dispose_bgnd.gif", 5}};
    for (const auto& path : files) {
        int error = 0;
        GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
        ASSERT_NE(gif, nullptr);
        ASSERT_EQ(DGifSlurp(gif), GIF_OK) << path;
        ComPtr<IWICBitmapDecoder> decoder;
        ASSERT_EQ(decoderFromFile(path, decoder), S_OK) << path;
        UINT count = 0;
        ASSERT_EQ(decoder->GetFrameCount(&count), S_OK);
        EXPECT_EQ(count, static_cast<UINT>(gif->ImageCount)) << path;
        const auto known = counts.find(path.filename().string());
        if (known != counts.end()) {
            EXPECT_EQ(count, known->second);
        }
        for (UINT i = 0; i < count; ++i) {
            ComPtr<IWICBitmapFrameDecode> frame;
            ASSERT_EQ(decoder->GetFrame(i, frame.GetAddressOf()), S_OK);
            Pixels ours;
            ASSERT_EQ(copyAll(frame.Get(), ours, 8), S_OK);
            EXPECT_EQ(ours.format, GUID_WICPixelFormat8bppIndexed);
            const SavedImage& img = gif->SavedImages[i];
            ASSERT_EQ(ours.width, static_cast<UINT>(img.ImageDesc.Width));
            ASSERT_EQ(ours.height, static_cast<UINT>(img.ImageDesc.Height));
            // giflib keeps interlaced rows in file order; ours are in picture order.
            std::vector<uint8_t> ref(img.RasterBits, img.RasterBits + ours.data.size());
            if (img.ImageDesc.Interlace) {
                std::vector<uint8_t> ordered(ref.size());
                UINT src = 0;
                const UINT start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
                for (int pass = 0; pass < 4; ++pass)
                    for (UINT y = start[pass]; y < ours.height; y += step[pass], ++src)
                        std::memcpy(&ordered[size_t{y} * ours.width],
                                    &ref[size_t{src} * ours.width], ours.width);
                ref.swap(ordered);
            }
            EXPECT_EQ(ours.data, ref) << path << " frame " << i;
            // The palette is the frame's own table or the global one.
            const ColorMapObject* map =
                img.ImageDesc.ColorMap ? img.ImageDesc.ColorMap : gif->SColorMap;
            ComPtr<IWICPalette> palette;
            ASSERT_EQ(factory()->CreatePalette(palette.GetAddressOf()), S_OK);
            ASSERT_EQ(frame->CopyPalette(palette.Get()), S_OK);
            UINT n = 0;
            palette->GetColorCount(&n);
            ASSERT_EQ(n, static_cast<UINT>(map->ColorCount));
            std::vector<WICColor> colors(n);
            palette->GetColors(n, colors.data(), &n);
            EXPECT_EQ(colors[1] & 0xFFFFFFu, WICColor(map->Colors[1].Red) << 16 |
                                                 WICColor(map->Colors[1].Green) << 8 |
                                                 map->Colors[1].Blue);
        }
        DGifCloseFile(gif, &error);
    }
}

TEST(GifDecoder, TransparentIndexHasZeroAlphaAndCutFilesKeepWholeFrames)
{
    const auto path = support::corpusPathOrEmpty("gif/transparent.gif");
    const auto cut = support::corpusPathOrEmpty("broken/iss634_truncated_60000B.gif");
    const auto animated = support::corpusPathOrEmpty("gif/chi.gif");
    if (path.empty() || cut.empty() || animated.empty()) GTEST_SKIP() << "corpus not available";
    ComPtr<IWICBitmapDecoder> decoder;
    ASSERT_EQ(decoderFromFile(path, decoder), S_OK);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    const Pixels bgra = asBgra(frame.Get());
    size_t clear = 0;
    for (size_t i = 3; i < bgra.data.size(); i += 4)
        clear += bgra.data[i] == 0;
    EXPECT_GT(clear, 0u);

    // Cut inside the first image: nothing whole is left.
    ComPtr<IWICBitmapDecoder> partial;
    EXPECT_EQ(decoderFromFile(cut, partial), WINCODEC_ERR_BADSTREAMDATA);
    // Cut at 60 %: the images before the cut stay.
    auto bytes = support::readFile(animated);
    bytes.resize(bytes.size() * 6 / 10);
    ASSERT_EQ(decoderFromBytes(bytes, partial), S_OK);
    UINT count = 0;
    ASSERT_EQ(partial->GetFrameCount(&count), S_OK);
    EXPECT_GT(count, 5u);
    EXPECT_LT(count, 31u);
}

TEST(TiffDecoder, CorpusPagesMatchLibtiff)
{
    const auto files = corpusFiles("tiff");
    if (files.empty()) GTEST_SKIP() << "corpus not available";
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    for (const auto& path : files) {
        TIFF* tif = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(tif, nullptr) << path;
        ComPtr<IWICBitmapDecoder> decoder;
        ASSERT_EQ(decoderFromFile(path, decoder), S_OK) << path;
        UINT count = 0;
        ASSERT_EQ(decoder->GetFrameCount(&count), S_OK);
        EXPECT_EQ(count, static_cast<UINT>(TIFFNumberOfDirectories(tif))) << path;
        for (UINT i = 0; i < count; ++i) {
            ASSERT_TRUE(TIFFSetDirectory(tif, static_cast<tdir_t>(i)));
            const Pixels ref = tiffReference(tif);
            ComPtr<IWICBitmapFrameDecode> frame;
            ASSERT_EQ(decoder->GetFrame(i, frame.GetAddressOf()), S_OK);
            if (ref.data.empty()) { // libtiff cannot render it either
                Pixels ours;
                EXPECT_TRUE(FAILED(copyAll(frame.Get(), ours, 0))) << path;
                continue;
            }
            const Pixels ours = asBgra(frame.Get());
            // libtiff reduces 16-bit samples and CMYK with its own rounding.
            EXPECT_LE(maxDiffIgnoringHiddenColour(ours, ref), 1) << path << " page " << i;
        }
        TIFFClose(tif);
    }
}

TEST(TiffDecoder, ReportsTheStoredPixelFormat)
{
    const auto dir = support::corpusDir() / "tiff";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "corpus not available";
    EXPECT_EQ(frameFormat(dir / "hopper_lzw.tif"), GUID_WICPixelFormat24bppBGR);
    EXPECT_EQ(frameFormat(dir / "hopper_g4.tif"), GUID_WICPixelFormatBlackWhite);
    EXPECT_EQ(frameFormat(dir / "tiff_16bit_RGB.tiff"), GUID_WICPixelFormat48bppRGB);
    EXPECT_EQ(frameFormat(dir / "tiff_strip_cmyk_jpeg.tif"), GUID_WICPixelFormat32bppCMYK);
    EXPECT_EQ(frameFormat(dir / "multipage.tiff", 2), GUID_WICPixelFormat1bppIndexed);
    EXPECT_EQ(frameFormat(dir / "DudleyLeavittUtah.tiff"),
              GUID_WICPixelFormat32bppPBGRA); // associated alpha
    EXPECT_EQ(frameFormat(dir / "tiff_tiled_planar_lzw.tiff"),
              GUID_WICPixelFormat32bppBGRA); // planes
}

TEST(BmpDecoder, CorpusVariantsOfOnePictureAgree)
{
    const auto dir = support::corpusDir() / "bmp";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "corpus not available";
    auto load = [&](const char* name, GUID expectedFormat) {
        ComPtr<IWICBitmapDecoder> decoder;
        EXPECT_EQ(decoderFromFile(dir / name, decoder), S_OK) << name;
        ComPtr<IWICBitmapFrameDecode> frame;
        if (decoder) {
            EXPECT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
        }
        GUID f{};
        if (frame) frame->GetPixelFormat(&f);
        EXPECT_EQ(f, expectedFormat) << name;
        return frame ? asBgra(frame.Get()) : Pixels{};
    };
    const Pixels pal8 = load("pal8.bmp", GUID_WICPixelFormat8bppIndexed);
    ASSERT_EQ(pal8.width, 127u);
    ASSERT_EQ(pal8.height, 64u);
    EXPECT_EQ(maxDiff(load("pal8os2.bmp", GUID_WICPixelFormat8bppIndexed), pal8), 0);
    EXPECT_EQ(maxDiff(load("pal8topdown.bmp", GUID_WICPixelFormat8bppIndexed), pal8), 0);
    const Pixels rgb32 = load("rgb32bf.bmp", GUID_WICPixelFormat32bppBGR);
    EXPECT_LE(maxDiff(load("rgb16-565.bmp", GUID_WICPixelFormat16bppBGR565), rgb32),
              7); // 5/6-bit channels
    load("pal4rle.bmp", GUID_WICPixelFormat4bppIndexed);
    load("pal1.bmp", GUID_WICPixelFormat1bppIndexed);
    load("rgba32.bmp", GUID_WICPixelFormat32bppBGRA);
    // The 24-bit hopper is the same picture as the PNG one.
    const auto png = support::corpusDir() / "png" / "hopper.png";
    EXPECT_EQ(maxDiff(load("hopper.bmp", GUID_WICPixelFormat24bppBGR), pngReference(png)), 0);
}

TEST(BmpDecoder, HandMadeFilesGiveKnownPixels)
{
    // 3 x 2, 24 bits, bottom-up, rows padded to 12 bytes.
    std::vector<uint8_t> bmp = {
        'B',  'M',  0,  0, 0,    0,    0, 0, 0, 0, 54, 0, 0, 0,        // file header, bits at 54
        40,   0,    0,  0, 3,    0,    0, 0, 2, 0, 0,  0,              // size 40, 3 x 2
        1,    0,    24, 0, 0,    0,    0, 0, 0, 0, 0,  0,              // planes, 24 bits, BI_RGB
        0x13, 0x0B, 0,  0, 0x13, 0x0B, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0}; // 2835 ppm = 72 dpi
    const uint8_t bottom[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0};
    const uint8_t top[12] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 0, 0, 0};
    bmp.insert(bmp.end(), bottom, bottom + 12);
    bmp.insert(bmp.end(), top, top + 12);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bmp, frame), S_OK);
    Pixels p;
    ASSERT_EQ(copyAll(frame.Get(), p, 24), S_OK);
    EXPECT_EQ(p.data, (std::vector<uint8_t>{10, 11, 12, 13, 14, 15, 16, 17, 18, 1, 2, 3, 4, 5, 6, 7,
                                            8, 9}));
    double dx = 0, dy = 0;
    EXPECT_EQ(frame->GetResolution(&dx, &dy), S_OK);
    EXPECT_NEAR(dx, 72.0, 0.01);

    // RLE8 4 x 3 (rows counted from the bottom): a run, end of line, a delta of two right and one
    // up, an absolute run of three (the last falls off the edge), end of bitmap.
    std::vector<uint8_t> rle = {
        'B', 'M', 0, 0, 0,   0,   0,   0, 0, 0, 62, 0, 0, 0, // bits at 54 + 2 colours
        40,  0,   0, 0, 4,   0,   0,   0, 3, 0, 0,  0, 1, 0, 8, 0, 1, 0, 0, 0, // RLE8
        0,   0,   0, 0, 0,   0,   0,   0, 0, 0, 0,  0, 2, 0, 0, 0, 0, 0, 0, 0, // 2 colours used
        0,   0,   0, 0, 255, 255, 255, 0,                                      // black, white
        4,   1,   0, 0,         // bottom row: 1 1 1 1, end of line
        0,   2,   2, 1,         // delta: x = 2, two rows up from the bottom
        0,   3,   1, 0, 1,   0, // absolute: 1 0 (1 clipped), padded to 16 bits
        0,   1};                // end of bitmap
    ComPtr<IWICBitmapFrameDecode> rleFrame;
    ASSERT_EQ(firstFrame(rle, rleFrame), S_OK);
    Pixels idx;
    ASSERT_EQ(copyAll(rleFrame.Get(), idx, 8), S_OK);
    EXPECT_EQ(idx.format, GUID_WICPixelFormat8bppIndexed);
    EXPECT_EQ(idx.data,
              (std::vector<uint8_t>{0, 0, 1, 0, /* top: the absolute run after the delta */
                                    0, 0, 0, 0, /* middle: skipped by the delta */
                                    1, 1, 1, 1}));
}

TEST(BmpDecoder, HostileHeadersAreRefusedBeforeAllocating)
{
    std::vector<uint8_t> bmp = {
        'B', 'M', 0,    0,    0,    0,    0,    0,    0,    0,    54, 0, 0, 0, 40, 0,
        0,   0,   0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, // 2^31-1 square
        1,   0,   32,   0,    0,    0,    0,    0,    0,    0,    0,  0, 0, 0, 0,  0,
        0,   0,   0,    0,    0,    0,    0,    0,    0,    0,    0,  0, 1, 2, 3,  4};
    ComPtr<IWICBitmapDecoder> decoder;
    EXPECT_EQ(decoderFromBytes(bmp, decoder), WINCODEC_ERR_IMAGESIZEOUTOFRANGE);
    // A plausible size with the bits missing: the header opens, pixels fail.
    bmp[18] = 64;
    bmp[19] = bmp[20] = bmp[21] = 0;
    bmp[22] = 64;
    bmp[23] = bmp[24] = bmp[25] = 0;
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bmp, frame), S_OK);
    Pixels p;
    EXPECT_EQ(copyAll(frame.Get(), p, 32), WINCODEC_ERR_BADSTREAMDATA);
    // Zero width.
    bmp[18] = 0;
    EXPECT_EQ(decoderFromBytes(bmp, decoder), WINCODEC_ERR_BADHEADER);
}

TEST(IcoDecoder, CorpusEntriesDecodeAtTheirOwnSize)
{
    const auto dir = support::corpusDir() / "ico";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "corpus not available";
    struct Case {
        const char* name;
        std::vector<UINT> sizes;
    };
    for (const Case& c :
         {Case{"hopper.ico", {16}}, Case{"hopper_256x256.ico", {256}},
          Case{"pillow.ico", {256, 48, 32, 24, 16}}, Case{"deerstalker.cur", {32}}}) {
        ComPtr<IWICBitmapDecoder> decoder;
        ASSERT_EQ(decoderFromFile(dir / c.name, decoder), S_OK) << c.name;
        UINT count = 0;
        ASSERT_EQ(decoder->GetFrameCount(&count), S_OK);
        ASSERT_EQ(count, c.sizes.size()) << c.name;
        for (UINT i = 0; i < count; ++i) {
            ComPtr<IWICBitmapFrameDecode> frame;
            ASSERT_EQ(decoder->GetFrame(i, frame.GetAddressOf()), S_OK);
            Pixels p;
            ASSERT_EQ(copyAll(frame.Get(), p, 32), S_OK) << c.name << " " << i;
            EXPECT_EQ(p.format, GUID_WICPixelFormat32bppBGRA);
            EXPECT_EQ(p.width, c.sizes[i]);
            EXPECT_EQ(p.height, c.sizes[i]);
            double dx = 0, dy = 0;
            EXPECT_EQ(frame->GetResolution(&dx, &dy), S_OK);
            EXPECT_EQ(dx, 96.0);
        }
    }
}

TEST(IcoDecoder, PngEntryMatchesLibpng)
{
    MIO_CORPUS_FILE(path, "ico/pillow.ico");
    const auto bytes = support::readFile(path);
    // Entry 0 of the directory: size at byte 14, offset at byte 18.
    const auto le32 = [&](size_t at) {
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
               uint32_t(bytes[at + 3]) << 24;
    };
    const size_t size = le32(14), offset = le32(18);
    ASSERT_LE(offset + size, bytes.size());
    support::TempDir dir;
    support::writeFile(
        dir / "entry.png",
        std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                             bytes.begin() + static_cast<std::ptrdiff_t>(offset + size)));
    const Pixels ref = pngReference(dir / "entry.png");
    ComPtr<IWICBitmapDecoder> decoder;
    ASSERT_EQ(decoderFromFile(path, decoder), S_OK);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    Pixels ours;
    ASSERT_EQ(copyAll(frame.Get(), ours, 32), S_OK);
    EXPECT_EQ(maxDiffIgnoringHiddenColour(ours, ref), 0);
}

TEST(IcoDecoder, AndMaskGivesTransparency)
{
    // One 2 x 2 entry, 24 bits: colour rows then a 1-bit AND mask (rows padded to 4 bytes).
    std::vector<uint8_t> ico = {0,  0, 1, 0, 1,  0, // icon, one entry
                                2,  2, 0, 0, 1,  0, 24, 0,
                                64, 0, 0, 0, 22, 0, 0,  0}; // 64 bytes at 22
    const uint8_t header[40] = {40, 0, 0, 0, 2, 0, 0,  0,
                                4,  0, 0, 0, 1, 0, 24, 0}; // height counts both
    ico.insert(ico.end(), header, header + 40);
    const uint8_t colour[16] = {1, 2, 3,  4,  5,  6, 0, 0, /* bottom */ 7,
                                8, 9, 10, 11, 12, 0, 0 /* top */};
    ico.insert(ico.end(), colour, colour + 16);
    const uint8_t mask[8] = {0x40, 0, 0, 0, /* bottom: right pixel clear */ 0x80,
                             0,    0, 0 /* top: left clear */};
    ico.insert(ico.end(), mask, mask + 8);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(ico, frame), S_OK);
    Pixels p;
    ASSERT_EQ(copyAll(frame.Get(), p, 32), S_OK);
    EXPECT_EQ(p.data,
              (std::vector<uint8_t>{7, 8, 9, 0, 10, 11, 12, 255, 1, 2, 3, 255, 4, 5, 6, 0}));
}
