// SPDX-License-Identifier: MIT
// Format converter, scaler and flip-rotator on small pictures with known pixels, and the lazy,
// band-by-band pulling that keeps a pipeline from holding a full-size copy.
#include <gtest/gtest.h>

#include "imaging_test_util.h"

using namespace imgtest;

namespace {

std::vector<uint8_t> convert(IWICBitmapSource* source, REFGUID to)
{
    ComPtr<IWICFormatConverter> conv;
    EXPECT_EQ(factory()->CreateFormatConverter(conv.GetAddressOf()), S_OK);
    EXPECT_EQ(conv->Initialize(source, to, WICBitmapDitherTypeNone, nullptr, 0.0,
                               WICBitmapPaletteTypeCustom),
              S_OK);
    Pixels p;
    EXPECT_EQ(copyAll(conv.Get(), p, 0), S_OK);
    return p.data;
}

ComPtr<IWICBitmapSource> scaled(IWICBitmapSource* source, UINT w, UINT h,
                                WICBitmapInterpolationMode mode)
{
    ComPtr<IWICBitmapScaler> scaler;
    EXPECT_EQ(factory()->CreateBitmapScaler(scaler.GetAddressOf()), S_OK);
    EXPECT_EQ(scaler->Initialize(source, w, h, mode), S_OK);
    return ComPtr<IWICBitmapSource>(scaler.Get());
}

ComPtr<IWICBitmapSource> transformed(IWICBitmapSource* source, WICBitmapTransformOptions options)
{
    ComPtr<IWICBitmapFlipRotator> flip;
    EXPECT_EQ(factory()->CreateBitmapFlipRotator(flip.GetAddressOf()), S_OK);
    EXPECT_EQ(flip->Initialize(source, options), S_OK);
    return ComPtr<IWICBitmapSource>(flip.Get());
}

std::vector<uint8_t> all(IWICBitmapSource* source)
{
    Pixels p;
    EXPECT_EQ(copyAll(source, p, 0), S_OK);
    return p.data;
}

using Bytes = std::vector<uint8_t>;

} // namespace

TEST(FormatConverter, EveryDecodedFamilyReachesBgrAndBgra)
{
    struct Case {
        const char* name;
        GUID from;
        UINT width;
        Bytes pixels;
        Bytes bgr; // expected 24bppBGR
    };
    const Case cases[] = {
        {"BlackWhite",
         GUID_WICPixelFormatBlackWhite,
         3,
         {0xA0},
         {255, 255, 255, 0, 0, 0, 255, 255, 255}},
        {"4bppGray", GUID_WICPixelFormat4bppGray, 2, {0xF8}, {255, 255, 255, 136, 136, 136}},
        {"16bppGray",
         GUID_WICPixelFormat16bppGray,
         2,
         {0xFF, 0xFF, 0x80, 0x80},
         {255, 255, 255, 128, 128, 128}},
        {"565",
         GUID_WICPixelFormat16bppBGR565,
         3,
         {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00},
         {0, 0, 255, 0, 255, 0, 255, 0, 0}},
        {"555", GUID_WICPixelFormat16bppBGR555, 1, {0x10, 0x42}, {132, 132, 132}},
        {"24bppRGB", GUID_WICPixelFormat24bppRGB, 1, {1, 2, 3}, {3, 2, 1}},
        {"32bppBGR", GUID_WICPixelFormat32bppBGR, 1, {1, 2, 3, 0}, {1, 2, 3}},
        {"CMYK",
         GUID_WICPixelFormat32bppCMYK,
         3,
         {255, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0},
         {255, 255, 0, 0, 0, 0, 255, 255, 255}},
        {"48bppRGB", GUID_WICPixelFormat48bppRGB, 1, {0xFF, 0xFF, 0x80, 0x80, 0, 0}, {0, 128, 255}},
    };
    for (const Case& c : cases) {
        auto source = bitmap(c.width, 1, c.from, c.pixels);
        EXPECT_EQ(convert(source.Get(), GUID_WICPixelFormat24bppBGR), c.bgr) << c.name;
        Bytes bgra;
        for (size_t i = 0; i < c.bgr.size(); i += 3)
            bgra.insert(bgra.end(), {c.bgr[i], c.bgr[i + 1], c.bgr[i + 2], 255});
        EXPECT_EQ(convert(source.Get(), GUID_WICPixelFormat32bppBGRA), bgra) << c.name;
    }
}

TEST(FormatConverter, AlphaPaletteAndGrey)
{
    // Premultiplied half-transparent blue becomes straight blue with the same alpha.
    auto pbgra = bitmap(2, 1, GUID_WICPixelFormat32bppPBGRA, {128, 0, 0, 128, 0, 0, 0, 0});
    EXPECT_EQ(convert(pbgra.Get(), GUID_WICPixelFormat32bppBGRA),
              (Bytes{255, 0, 0, 128, 0, 0, 0, 0}));
    // And back.
    auto bgra = bitmap(1, 1, GUID_WICPixelFormat32bppBGRA, {255, 100, 0, 128});
    EXPECT_EQ(convert(bgra.Get(), GUID_WICPixelFormat32bppPBGRA), (Bytes{128, 50, 0, 128}));
    // BGRA to BGR drops alpha.
    EXPECT_EQ(convert(bgra.Get(), GUID_WICPixelFormat24bppBGR), (Bytes{255, 100, 0}));
    // Indexed through its palette (0xAARRGGBB), alpha included.
    auto indexed = bitmap(4, 1, GUID_WICPixelFormat2bppIndexed, {0x1B}); // indices 0 1 2 3
    ComPtr<IWICPalette> palette;
    ASSERT_EQ(factory()->CreatePalette(palette.GetAddressOf()), S_OK);
    WICColor colors[] = {0xFF0000FFu, 0xFF00FF00u, 0x80FF0000u, 0x00000000u};
    ASSERT_EQ(palette->InitializeCustom(colors, 4), S_OK);
    ASSERT_EQ(indexed->SetPalette(palette.Get()), S_OK);
    EXPECT_EQ(convert(indexed.Get(), GUID_WICPixelFormat32bppBGRA),
              (Bytes{255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 128, 0, 0, 0, 0}));
    // Grey from colour with integer luma weights.
    auto bgr = bitmap(2, 1, GUID_WICPixelFormat24bppBGR, {0, 0, 255, 255, 255, 255});
    EXPECT_EQ(convert(bgr.Get(), GUID_WICPixelFormat8bppGray), (Bytes{77, 255}));
}

TEST(FormatConverter, RefusesWhatItCannotDo)
{
    ComPtr<IWICFormatConverter> conv;
    ASSERT_EQ(factory()->CreateFormatConverter(conv.GetAddressOf()), S_OK);
    BOOL ok = TRUE;
    EXPECT_EQ(conv->CanConvert(GUID_WICPixelFormat24bppBGR, GUID_WICPixelFormat48bppRGB, &ok),
              S_OK);
    EXPECT_FALSE(ok);
    EXPECT_EQ(conv->CanConvert(GUID_WICPixelFormat32bppCMYK, GUID_WICPixelFormat24bppBGR, &ok),
              S_OK);
    EXPECT_TRUE(ok);
    auto bgr = bitmap(1, 1, GUID_WICPixelFormat24bppBGR, {1, 2, 3});
    EXPECT_EQ(conv->Initialize(bgr.Get(), GUID_WICPixelFormat48bppRGB, WICBitmapDitherTypeNone,
                               nullptr, 0.0, WICBitmapPaletteTypeCustom),
              WINCODEC_ERR_UNSUPPORTEDOPERATION);
    UINT w = 0, h = 0;
    EXPECT_EQ(conv->GetSize(&w, &h), WINCODEC_ERR_NOTINITIALIZED);
    // An indexed source without a palette cannot be converted.
    auto indexed = bitmap(8, 1, GUID_WICPixelFormat1bppIndexed, {0xFF});
    EXPECT_EQ(conv->Initialize(indexed.Get(), GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                               nullptr, 0.0, WICBitmapPaletteTypeCustom),
              WINCODEC_ERR_PALETTEUNAVAILABLE);
}

TEST(BitmapScaler, FantAveragesCoveredAreaAndLinearBlendsNeighbours)
{
    // Grey 4 x 2 to 2 x 1: each output pixel is the mean of a 2 x 2 block.
    auto grey = bitmap(4, 2, GUID_WICPixelFormat8bppGray, {0, 10, 100, 200, 20, 30, 0, 100});
    EXPECT_EQ(all(scaled(grey.Get(), 2, 1, WICBitmapInterpolationModeFant).Get()),
              (Bytes{15, 100}));
    // 3 to 2: the middle pixel is shared half and half.
    auto row = bitmap(3, 1, GUID_WICPixelFormat8bppGray, {0, 30, 60});
    EXPECT_EQ(all(scaled(row.Get(), 2, 1, WICBitmapInterpolationModeFant).Get()), (Bytes{10, 50}));
    // Linear 4 to 2 samples between pixel centres; 2 to 4 interpolates and clamps at the edges.
    auto four = bitmap(4, 1, GUID_WICPixelFormat8bppGray, {0, 100, 200, 250});
    EXPECT_EQ(all(scaled(four.Get(), 2, 1, WICBitmapInterpolationModeLinear).Get()),
              (Bytes{50, 225}));
    auto two = bitmap(2, 1, GUID_WICPixelFormat8bppGray, {0, 200});
    EXPECT_EQ(all(scaled(two.Get(), 4, 1, WICBitmapInterpolationModeLinear).Get()),
              (Bytes{0, 50, 150, 200}));
    // Channels stay apart, in the source format; 16-bit channels are averaged as words.
    auto bgr = bitmap(2, 1, GUID_WICPixelFormat24bppBGR, {10, 20, 30, 30, 40, 50});
    EXPECT_EQ(all(scaled(bgr.Get(), 1, 1, WICBitmapInterpolationModeFant).Get()),
              (Bytes{20, 30, 40}));
    auto wide =
        bitmap(2, 1, GUID_WICPixelFormat48bppRGB, {0x00, 0x10, 0, 0, 0, 0, 0x00, 0x30, 0, 0, 0, 0});
    EXPECT_EQ(all(scaled(wide.Get(), 1, 1, WICBitmapInterpolationModeFant).Get()),
              (Bytes{0x00, 0x20, 0, 0, 0, 0}));
}

TEST(BitmapScaler, IndexedSourcesKeepIndicesAndPalette)
{
    auto indexed = bitmap(4, 1, GUID_WICPixelFormat8bppIndexed, {1, 1, 7, 7});
    ComPtr<IWICPalette> palette;
    ASSERT_EQ(factory()->CreatePalette(palette.GetAddressOf()), S_OK);
    ASSERT_EQ(palette->InitializePredefined(WICBitmapPaletteTypeFixedGray256, FALSE), S_OK);
    ASSERT_EQ(indexed->SetPalette(palette.Get()), S_OK);
    auto s = scaled(indexed.Get(), 2, 1, WICBitmapInterpolationModeFant);
    EXPECT_EQ(all(s.Get()), (Bytes{1, 7})); // never an average of two indices
    ComPtr<IWICPalette> copy;
    ASSERT_EQ(factory()->CreatePalette(copy.GetAddressOf()), S_OK);
    EXPECT_EQ(s->CopyPalette(copy.Get()), S_OK);
    UINT n = 0;
    copy->GetColorCount(&n);
    EXPECT_EQ(n, 256u);
}

TEST(BitmapScaler, RefusesZeroSizesAndASecondInitialize)
{
    auto grey = bitmap(2, 2, GUID_WICPixelFormat8bppGray, {1, 2, 3, 4});
    ComPtr<IWICBitmapScaler> scaler;
    ASSERT_EQ(factory()->CreateBitmapScaler(scaler.GetAddressOf()), S_OK);
    std::vector<uint8_t> buf(16);
    EXPECT_EQ(scaler->CopyPixels(nullptr, 4, 16, buf.data()), WINCODEC_ERR_NOTINITIALIZED);
    EXPECT_EQ(scaler->Initialize(grey.Get(), 0, 1, WICBitmapInterpolationModeFant), E_INVALIDARG);
    EXPECT_EQ(scaler->Initialize(grey.Get(), 1, 0, WICBitmapInterpolationModeFant), E_INVALIDARG);
    EXPECT_EQ(scaler->Initialize(nullptr, 1, 1, WICBitmapInterpolationModeFant), E_INVALIDARG);
    EXPECT_EQ(scaler->Initialize(grey.Get(), 1, 1, WICBitmapInterpolationModeFant), S_OK);
    EXPECT_EQ(scaler->Initialize(grey.Get(), 1, 1, WICBitmapInterpolationModeFant),
              WINCODEC_ERR_WRONGSTATE);
}

TEST(BitmapScaler, PullsEachSourceRowOnceInBoundedBands)
{
    Bytes pixels(8 * 600);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i / 8);
    auto grey = bitmap(8, 600, GUID_WICPixelFormat8bppGray, pixels);
    PullLog log;
    auto source = counting(grey.Get(), log);
    auto s = scaled(source.Get(), 4, 10, WICBitmapInterpolationModeFant);
    Pixels out;
    ASSERT_EQ(copyAll(s.Get(), out, 8), S_OK);
    EXPECT_EQ(log.rowsPulled, 600u);
    EXPECT_LE(log.maxRowsInOneCall, 64u);
    // Output row 0 averages source rows 0..59: (0 + ... + 59) / 60 = 29.5, and so on down.
    EXPECT_EQ(out.row(0)[0], 30);
    // Asking for a lower row range later restarts cleanly.
    const WICRect rc{0, 2, 4, 1};
    uint8_t row[4];
    ASSERT_EQ(s->CopyPixels(&rc, 4, 4, row), S_OK);
    EXPECT_EQ(row[0], out.row(2)[0]);
}

TEST(FlipRotator, FlipsAndRotationsMoveKnownPixels)
{
    // 3 x 2 grey:  1 2 3
    //              4 5 6
    auto grey = bitmap(3, 2, GUID_WICPixelFormat8bppGray, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(all(transformed(grey.Get(), WICBitmapTransformFlipVertical).Get()),
              (Bytes{4, 5, 6, 1, 2, 3}));
    EXPECT_EQ(all(transformed(grey.Get(), WICBitmapTransformFlipHorizontal).Get()),
              (Bytes{3, 2, 1, 6, 5, 4}));
    EXPECT_EQ(all(transformed(grey.Get(), WICBitmapTransformRotate180).Get()),
              (Bytes{6, 5, 4, 3, 2, 1}));
    auto r90 = transformed(grey.Get(), WICBitmapTransformRotate90);
    UINT w = 0, h = 0;
    ASSERT_EQ(r90->GetSize(&w, &h), S_OK);
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(h, 3u);
    EXPECT_EQ(all(r90.Get()), (Bytes{4, 1, 5, 2, 6, 3}));
    EXPECT_EQ(all(transformed(grey.Get(), WICBitmapTransformRotate270).Get()),
              (Bytes{3, 6, 2, 5, 1, 4}));
    // A sub-rectangle of a rotated picture.
    const WICRect rc{1, 1, 1, 2};
    uint8_t two[2];
    ASSERT_EQ(r90->CopyPixels(&rc, 1, 2, two), S_OK);
    EXPECT_EQ(two[0], 2);
    EXPECT_EQ(two[1], 3);
}

TEST(FlipRotator, VerticalFlipReadsOnlyTheMirroredRowsIntoTheCallersBuffer)
{
    Bytes pixels(16 * 100);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i / 16);
    auto grey = bitmap(16, 100, GUID_WICPixelFormat8bppGray, pixels);
    PullLog log;
    auto source = counting(grey.Get(), log);
    auto flipped = transformed(source.Get(), WICBitmapTransformFlipVertical);
    const WICRect rc{2, 10, 5, 3};
    uint8_t out[3 * 8] = {};
    ASSERT_EQ(flipped->CopyPixels(&rc, 8, sizeof out, out), S_OK);
    ASSERT_EQ(log.requests.size(), 1u);
    EXPECT_EQ(log.requests[0].Y, 100 - 10 - 3);
    EXPECT_EQ(log.requests[0].Height, 3);
    EXPECT_EQ(out[0], 89);  // output row 10 is source row 89
    EXPECT_EQ(out[16], 87); // output row 12 is source row 87
    // Bit-packed rows flip too; rotating them does not.
    auto bw = bitmap(8, 2, GUID_WICPixelFormatBlackWhite, {0xF0, 0x0F});
    EXPECT_EQ(all(transformed(bw.Get(), WICBitmapTransformFlipVertical).Get()),
              (Bytes{0x0F, 0xF0}));
    ComPtr<IWICBitmapFlipRotator> flip;
    ASSERT_EQ(factory()->CreateBitmapFlipRotator(flip.GetAddressOf()), S_OK);
    EXPECT_EQ(flip->Initialize(bw.Get(), WICBitmapTransformRotate90),
              WINCODEC_ERR_UNSUPPORTEDOPERATION);
}

TEST(Pipeline, JpegToBottomUpThumbnailWithoutAFullSizeCopy)
{
    // 320 x 240 JPEG -> BGR -> 40 x 30 -> bottom-up, as thumbnails are made.
    Bytes rgb(320 * 240 * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>((i / 3 / 320) & 0xFF);
    const auto bytes = encodeJpeg(320, 240, 3, rgb);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    ComPtr<IWICFormatConverter> conv;
    ASSERT_EQ(factory()->CreateFormatConverter(conv.GetAddressOf()), S_OK);
    ASSERT_EQ(conv->Initialize(frame.Get(), GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                               nullptr, 0.0, WICBitmapPaletteTypeCustom),
              S_OK);
    auto small = scaled(conv.Get(), 40, 30, WICBitmapInterpolationModeFant);
    auto flipped = transformed(small.Get(), WICBitmapTransformFlipVertical);
    Pixels out;
    ASSERT_EQ(copyAll(flipped.Get(), out, 24), S_OK);
    ASSERT_EQ(out.width, 40u);
    ASSERT_EQ(out.height, 30u);
    // The first output row is the bottom of the picture (bright), the last the top (dark).
    EXPECT_GT(out.row(0)[0], 200);
    EXPECT_LT(out.row(29)[0], 16);
}
