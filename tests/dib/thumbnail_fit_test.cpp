// SPDX-License-Identifier: MIT
// Fitting arithmetic, resampling, thumbnail fitting and centring on a canvas.
#include <gtest/gtest.h>

#include <cstring>

#include "dib/packed_dib.h"
#include "dib/thumbnail_fit.h"

using namespace mio;

namespace {

UniquePackedDib alloc(int w, int h, int bits)
{
    UniquePackedDib dib(DibAlloc(w, h, bits));
    EXPECT_TRUE(dib);
    return dib;
}

RGBQUAD* table(PackedDib dib)
{
    return reinterpret_cast<RGBQUAD*>(reinterpret_cast<BYTE*>(dib) + dib->biSize);
}

BYTE* rowFromTop(const BITMAPINFOHEADER* dib, int y)
{
    return DibBits(dib) + (dib->biHeight - 1 - y) * DibStride(dib);
}

} // namespace

TEST(FitSize, KeepsAspectWithOneSideOnItsLimit)
{
    struct Case {
        int w, h, lw, lh, fw, fh;
    };
    const Case cases[] = {
        {4000, 3000, 160, 160, 160, 120},   {3000, 4000, 160, 160, 120, 160},
        {161, 120, 160, 120, 160, 119}, // truncation, not rounding
        {200, 100, 100, 50, 100, 50},   // tie: the width binds
        {10000, 10, 100, 100, 100, 1},      {10, 10000, 100, 100, 1, 100},
        {6000, 4000, 1024, 768, 1024, 682},
    };
    for (const Case& c : cases) {
        int fw = -1, fh = -1;
        ASSERT_EQ(DibFitSize(c.w, c.h, c.lw, c.lh, &fw, &fh), 1) << c.w << "x" << c.h;
        EXPECT_EQ(fw, c.fw) << c.w << "x" << c.h;
        EXPECT_EQ(fh, c.fh) << c.w << "x" << c.h;
    }
    int fw = -1, fh = -1;
    EXPECT_EQ(DibFitSize(160, 120, 160, 120, &fw, &fh), 0);
    EXPECT_EQ(DibFitSize(1, 1, 160, 120, &fw, &fh), 0);
    EXPECT_EQ(fw, -1); // untouched
}

TEST(Resample, NewBitmapInheritsThePaletteUnderAFreshHeader)
{
    auto src = alloc(8, 8, 4);
    src->biClrUsed = 3; // a short table: the new one holds 16 entries
    table(src.get())[2] = RGBQUAD{1, 2, 3, 0};
    src->biXPelsPerMeter = 999;
    PackedDib out = nullptr;
    ASSERT_EQ(DibResample(src.get(), &out, 3, 5), 1);
    UniquePackedDib own(out);
    EXPECT_EQ(out->biWidth, 3);
    EXPECT_EQ(out->biHeight, 5);
    EXPECT_EQ(out->biBitCount, 4);
    EXPECT_EQ(out->biClrUsed, 0u);
    EXPECT_EQ(out->biXPelsPerMeter, 0);
    EXPECT_EQ(table(out)[2].rgbRed, 3);
    EXPECT_EQ(table(out)[3].rgbRed, 0);
}

TEST(Resample, ACallersDestinationMustMatchTheRequest)
{
    auto src = alloc(8, 8, 24);
    auto wrongSize = alloc(4, 3, 24), wrongDepth = alloc(4, 4, 32);
    std::memset(DibBits(wrongSize.get()), 0x77, DibImageSize(wrongSize.get()));
    PackedDib dst = wrongSize.get();
    EXPECT_EQ(DibResample(src.get(), &dst, 4, 4), 0);
    EXPECT_EQ(DibBits(wrongSize.get())[0], 0x77);
    dst = wrongDepth.get();
    EXPECT_EQ(DibResample(src.get(), &dst, 4, 4), 0);
    auto right = alloc(4, 4, 24);
    dst = right.get();
    EXPECT_EQ(DibResample(src.get(), &dst, 4, 4), 1);
    EXPECT_EQ(dst, right.get());
    PackedDib none = nullptr;
    EXPECT_EQ(DibResample(src.get(), &none, 0, 4), 0);
    EXPECT_EQ(none, nullptr);
}

TEST(FitThumbnail, ShrinksIntoTheLimits)
{
    auto src = alloc(400, 300, 24);
    std::memset(DibBits(src.get()), 90, DibImageSize(src.get()));
    PackedDib out = nullptr;
    ASSERT_EQ(DibFitThumbnail(src.get(), &out, 160, 160, true), 1);
    UniquePackedDib own(out);
    EXPECT_EQ(out->biWidth, 160);
    EXPECT_EQ(out->biHeight, 120);
    EXPECT_EQ(rowFromTop(out, 60)[3 * 80], 90);
}

TEST(FitThumbnail, BothLimitsZeroNeverResamples)
{
    auto grey = alloc(5, 4, 8);
    for (unsigned i = 0; i < 256; ++i)
        table(grey.get())[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
    rowFromTop(grey.get(), 0)[4] = 77;
    PackedDib out = nullptr;
    ASSERT_EQ(DibFitThumbnail(grey.get(), &out, 0, 0, true), 1);
    UniquePackedDib own(out);
    EXPECT_EQ(out->biBitCount, 24);
    EXPECT_EQ(out->biWidth, 5);
    EXPECT_EQ(out->biHeight, 4);
    EXPECT_EQ(rowFromTop(out, 0)[12], 77);

    auto rgb = alloc(5, 4, 24);
    EXPECT_EQ(DibFitThumbnail(rgb.get(), &out, 0, 0, true), 0); // the source is the answer
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(DibFitThumbnail(rgb.get(), &out, 5, 4, false), 0);
}

TEST(FitThumbnail, PaletteStaysPaletteWithoutTheFlag)
{
    auto src = alloc(40, 20, 8);
    table(src.get())[5] = RGBQUAD{10, 20, 30, 0};
    std::memset(DibBits(src.get()), 5, DibImageSize(src.get()));
    PackedDib out = nullptr;
    ASSERT_EQ(DibFitThumbnail(src.get(), &out, 10, 10, false), 1);
    UniquePackedDib own(out);
    EXPECT_EQ(out->biBitCount, 8);
    EXPECT_EQ(out->biWidth, 10);
    EXPECT_EQ(out->biHeight, 5);
    EXPECT_EQ(rowFromTop(out, 2)[3], 5);
    EXPECT_EQ(table(out)[5].rgbRed, 30);
}

TEST(CenterOnCanvas, PutsThePictureInTheMiddleOnBlack)
{
    auto src = alloc(3, 3, 24);
    std::memset(DibBits(src.get()), 0xFF, DibImageSize(src.get()));
    PackedDib out = nullptr;
    ASSERT_EQ(DibCenterOnCanvas(src.get(), &out, 6, 6), 1);
    UniquePackedDib own(out);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= 1 && x <= 3 && y >= 1 && y <= 3;
            EXPECT_EQ(rowFromTop(out, y)[3 * x + 1], inside ? 0xFF : 0) << x << "," << y;
        }
    EXPECT_EQ(DibCenterOnCanvas(src.get(), &out, 3, 3), 0);
    EXPECT_EQ(out, nullptr);
}

TEST(CenterOnCanvas, CopiesOnlyPixelsNotRowPadding)
{
    // One 8-bit pixel (stride 4) on a 3-wide canvas (stride 4) at column 1: copying the whole
    // source stride would run past the canvas row.
    auto src = alloc(1, 1, 8);
    std::memset(DibBits(src.get()), 9, 4); // padding bytes set too
    table(src.get())[9] = RGBQUAD{1, 1, 1, 0};
    PackedDib out = nullptr;
    ASSERT_EQ(DibCenterOnCanvas(src.get(), &out, 3, 2), 1);
    UniquePackedDib own(out);
    EXPECT_EQ(rowFromTop(out, 0)[0], 0);
    EXPECT_EQ(rowFromTop(out, 0)[1], 9);
    EXPECT_EQ(rowFromTop(out, 0)[2], 0);
    EXPECT_EQ(rowFromTop(out, 0)[3], 0);
    EXPECT_EQ(rowFromTop(out, 1)[1], 0);
    EXPECT_EQ(table(out)[9].rgbRed, 1);
}

TEST(CenterOnCanvas, PlacesSubBytePixelsOnTheirExactColumn)
{
    auto src = alloc(2, 1, 1);
    DibBits(src.get())[0] = 0xC0; // both pixels set
    PackedDib out = nullptr;
    ASSERT_EQ(DibCenterOnCanvas(src.get(), &out, 8, 1), 1); // dx = 3
    UniquePackedDib own(out);
    EXPECT_EQ(DibBits(out)[0], 0x18);
}

TEST(CenterOnCanvas, SmallerCanvasShowsTheCentre)
{
    auto src = alloc(4, 4, 8);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            rowFromTop(src.get(), y)[x] = static_cast<BYTE>(y * 4 + x);
    PackedDib out = nullptr;
    ASSERT_EQ(DibCenterOnCanvas(src.get(), &out, 2, 2), 1);
    UniquePackedDib own(out);
    EXPECT_EQ(rowFromTop(out, 0)[0], 5);
    EXPECT_EQ(rowFromTop(out, 1)[1], 10);
}

TEST(Resample, BilevelThroughEightBitsShrinksToGreyNotToNoise)
{
    // The bilevel read path: 1 bit -> DibConvert to 8 -> DibResample. A fine checkerboard must
    // become mid-grey, not a sample of one colour.
    auto src = alloc(8, 8, 1);
    table(src.get())[1] = RGBQUAD{255, 255, 255, 0};
    for (int y = 0; y < 8; ++y)
        rowFromTop(src.get(), y)[0] = y % 2 ? 0x55 : 0xAA;
    PackedDib grey = nullptr;
    ASSERT_EQ(DibConvert(src.get(), &grey, 8, false), 1);
    UniquePackedDib ownGrey(grey);
    PackedDib small = nullptr;
    ASSERT_EQ(DibResample(grey, &small, 4, 4), 1);
    UniquePackedDib ownSmall(small);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const BYTE index = rowFromTop(small, y)[x];
            EXPECT_EQ(table(small)[index].rgbGreen, 128) << x << "," << y;
        }
}
