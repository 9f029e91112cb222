// SPDX-License-Identifier: MIT
// Decoded pixels compared across encodings of one picture, masks against their sources, and
// resolution fields.
#include <gtest/gtest.h>

#include <array>

#include "still_image_test_support.h"
#include "support/test_support.h"

namespace {

std::vector<uint8_t> corpusRgb(const char* file)
{
    const auto path = support::corpusPathOrEmpty(file);
    return path.empty() ? std::vector<uint8_t>{} : sitest::decodeRgb(path);
}

std::array<double, 3> channelMeans(const std::vector<uint8_t>& rgb)
{
    std::array<double, 3> m{};
    for (size_t i = 0; i < rgb.size(); ++i)
        m[i % 3] += rgb[i];
    for (double& v : m)
        v /= double(rgb.size() / 3);
    return m;
}

// The BMP suite stores one test card in many encodings; each must decode to the same picture.
TEST(StillImagePixels, BmpEncodingsOfOnePictureAgree)
{
    const std::vector<uint8_t> pal8 = corpusRgb("bmp/pal8.bmp");
    const std::vector<uint8_t> truecolour = corpusRgb("bmp/rgb32bf.bmp");
    if (pal8.empty() || truecolour.empty()) GTEST_SKIP() << "BMP suite not available";
    EXPECT_EQ(corpusRgb("bmp/pal8os2.bmp"), pal8);
    EXPECT_EQ(corpusRgb("bmp/pal8topdown.bmp"), pal8);
    EXPECT_LE(sitest::meanDifference(corpusRgb("bmp/rgb16-565.bmp"), truecolour), 4.0);
    // The 12-colour RLE4 copy is dithered differently; its average colour, from an independent
    // decode of the runs, pins down every run, delta and padding rule.
    const std::vector<uint8_t> rle = corpusRgb("bmp/pal4rle.bmp");
    ASSERT_EQ(rle.size(), pal8.size());
    const auto means = channelMeans(rle);
    const double expected[3] = {77.8051, 107.6093, 79.2483};
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(means[c], expected[c], 0.001) << "channel " << c;
}

TEST(StillImagePixels, BmpAlphaBitFieldsGiveColourAndMask)
{
    MIO_CORPUS_FILE(path, "bmp/rgba32.bmp");
    const std::vector<uint8_t> truecolour = corpusRgb("bmp/rgb32bf.bmp");
    sitest::Record rec = sitest::open(path);
    sitest::Pixels main, mask;
    ASSERT_GT(sitest::read(rec, sitest::Want::Main, main), 0);
    ASSERT_GT(sitest::read(rec, sitest::Want::Mask, mask), 0);
    const std::vector<uint8_t> rgb = sitest::toRgb(rec.copy(), main);
    ASSERT_EQ(rgb.size(), truecolour.size());
    size_t opaque = 0, differing = 0;
    for (size_t i = 0; i < mask.data.size(); ++i) {
        ASSERT_EQ(mask.data[i], main.data[4 * i + 3]);
        if (mask.data[i] != 255) continue;
        ++opaque;
        for (int c = 0; c < 3; ++c)
            differing += std::abs(int(rgb[3 * i + c]) - int(truecolour[3 * i + c])) > 2;
    }
    EXPECT_GT(opaque, mask.data.size() / 2);
    EXPECT_EQ(differing, 0u);
}

TEST(StillImagePixels, TiffLayoutsOfOnePictureAgree)
{
    const std::vector<uint8_t> reference = corpusRgb("tiff/hopper_lzw.tif");
    if (reference.empty()) GTEST_SKIP() << "corpus file not available";
    // Through the scanline path and through libtiff's RGBA path.
    EXPECT_EQ(corpusRgb("tiff/hopper_bigtiff.tif"), reference);
    const std::vector<uint8_t> bilevel = corpusRgb("tiff/hopper_g4.tif");
    ASSERT_EQ(bilevel.size(), reference.size());
    // G4 keeps only black and white; the dark and light halves must still line up.
    size_t agree = 0;
    for (size_t i = 0; i < reference.size(); i += 3) {
        const int luma = (reference[i] + reference[i + 1] + reference[i + 2]) / 3;
        if (luma < 64 && bilevel[i] == 0) ++agree;
        if (luma > 192 && bilevel[i] == 255) ++agree;
        if (luma >= 64 && luma <= 192) ++agree;
    }
    EXPECT_GT(agree, reference.size() / 3 * 9 / 10);
}

TEST(StillImagePixels, SixteenBitSamplesKeepTheirHighByte)
{
    // The 16-bit PGM and the 8-bit copies of the same picture agree to within rounding.
    const std::vector<uint8_t> wide = corpusRgb("other-images/hopper_16bit.pgm");
    const std::vector<uint8_t> narrow = corpusRgb("other-images/hopper.ppm");
    if (wide.empty() || narrow.empty()) GTEST_SKIP() << "corpus files not available";
    std::vector<uint8_t> grey(narrow.size());
    for (size_t i = 0; i < narrow.size(); i += 3) {
        const auto l =
            uint8_t((299 * narrow[i] + 587 * narrow[i + 1] + 114 * narrow[i + 2]) / 1000);
        grey[i] = grey[i + 1] = grey[i + 2] = l;
    }
    EXPECT_LE(sitest::meanDifference(wide, grey), 3.0);
}

TEST(StillImagePixels, AlphaMaskMatchesTheFilesAlphaChannel)
{
    MIO_CORPUS_FILE(path, "png/transparent.png");
    sitest::Record rec = sitest::open(path);
    sitest::Pixels main, mask;
    ASSERT_GT(sitest::read(rec, sitest::Want::Main, main), 0);
    ASSERT_GT(sitest::read(rec, sitest::Want::Mask, mask), 0);
    ASSERT_EQ(rec.copy().main.bitCount, 32);
    size_t transparent = 0;
    for (int y = 0; y < main.height; ++y)
        for (int x = 0; x < main.width; ++x) {
            ASSERT_EQ(mask.row(y)[x], main.row(y)[4 * x + 3]) << x << "," << y;
            transparent += mask.row(y)[x] == 0;
        }
    EXPECT_GT(transparent, 0u);
}

TEST(StillImagePixels, IconMaskComesFromTheAndBitmap)
{
    MIO_CORPUS_FILE(path, "ico/hopper.ico");
    sitest::Record rec = sitest::open(path);
    ASSERT_EQ(rec.copy().maskCount, 1);
    sitest::Pixels mask;
    ASSERT_GT(sitest::read(rec, sitest::Want::Mask, mask), 0);
    for (uint8_t v : mask.data)
        ASSERT_TRUE(v == 0 || v == 255);
}

TEST(StillImagePixels, CmykArrivesInTheSameFormWhateverTheContainer)
{
    // An Adobe JPEG stores inverted ink, a TIFF plain ink; the same picture in both must reach
    // the caller identically (inverted, 255 = no ink).
    std::vector<uint8_t> decoded[2];
    int n = 0;
    for (const char* file : {"jpeg/pil_sample_cmyk.jpg", "tiff/tiff_strip_cmyk_jpeg.tif"}) {
        MIO_CORPUS_FILE(path, file);
        sitest::Record rec = sitest::open(path);
        ASSERT_EQ(rec.copy().main.colorType, QF_COLOR_CMYK32) << file;
        sitest::Pixels px;
        ASSERT_GT(sitest::read(rec, sitest::Want::Main, px), 0) << file;
        decoded[n++] = px.data;
    }
    EXPECT_LE(sitest::meanDifference(decoded[0], decoded[1]), 2.0);
}

TEST(StillImagePixels, ResolutionFieldsHoldDotsPerInchTimesTenThousand)
{
    struct Case {
        const char* file;
        int32_t field;
    };
    for (const Case& c :
         {Case{"jpeg/Canon_40D.jpg", 720000}, Case{"other-images/hopper.psd", 960000},
          Case{"broken/hopper_gray_jpeg_named.png", 960000}}) {
        const auto path = support::corpusPathOrEmpty(c.file);
        if (path.empty()) continue;
        sitest::Record rec = sitest::open(path);
        ASSERT_NE(rec.handle, nullptr) << c.file;
        EXPECT_EQ(rec.copy().main.xResolution, c.field) << c.file;
        EXPECT_EQ(rec.copy().main.yResolution, c.field) << c.file;
    }
}

// Every reader must stop as soon as the callback says so, without another row.
TEST(StillImagePixels, EveryReaderStopsWhenTheCallbackRefusesARow)
{
    for (const char* file :
         {"jpeg/testimgint.jpg", "png/hopper.png", "gif/hopper.gif", "bmp/hopper.bmp",
          "tiff/hopper_lzw.tif", "tiff/tiff_tiled_planar_lzw.tiff", "other-images/hopper.psd",
          "other-images/hopper.ppm", "other-images/hopper.ras", "other-images/pil184.pcx",
          "other-images/200x32_rgba_tl_rle.tga", "other-images/DSC_0307_small.wbmp",
          "other-images/hopper.webp", "other-images/hopper.avif",
          "other-images/test-card-lossless.jp2", "ico/hopper_256x256.ico",
          "raw/canon_eos_6d.dng"}) {
        const auto path = support::corpusPathOrEmpty(file);
        if (path.empty()) continue;
        sitest::Record rec = sitest::open(path);
        ASSERT_NE(rec.handle, nullptr) << file;
        sitest::Pixels px;
        c32ResetDLLErrInfo();
        EXPECT_LE(sitest::read(rec, sitest::Want::Main, px, 5), 0) << file;
        EXPECT_EQ(px.rowsSeen, 5) << file;
        EXPECT_NE(sitest::lastError().find("stopped"), std::string::npos) << file;
    }
}

} // namespace
