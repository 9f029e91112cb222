// SPDX-License-Identifier: MIT
// Resampling: area averages when shrinking, bounded smooth enlarging, nearest for indices.
#include <gtest/gtest.h>

#include <random>

#include "contracts/pixel_library.h"
#include "test_bitmap.h"

using pixeltest::Rgb;
using pixeltest::TestBitmap;

namespace {

int modeFor(int bits)
{
    return bits == 8 ? VC_RESAMPLE_PALETTE : bits == 16 ? VC_RESAMPLE_RGB555 : VC_RESAMPLE_OTHER;
}

int resample(TestBitmap& src, TestBitmap& dst, int quality = VC_RESAMPLE_FILTERED)
{
    return vcResample(modeFor(src.bitCount()), src.bits(), src.header(), dst.bits(), dst.width(),
                      dst.height(), quality);
}

void fillGreyRamp(TestBitmap& bmp)
{
    for (unsigned i = 0; i < 256; ++i)
        bmp.setEntry(i, {static_cast<int>(i), static_cast<int>(i), static_cast<int>(i)});
}

} // namespace

TEST(VcResample, FlatAreasStayExactlyFlatAtEveryTruecolourDepth)
{
    const Rgb colour{206, 99, 8}; // on the 5-bit grid
    for (int bits : {16, 24, 32, 48}) {
        for (auto [w, h] : {std::pair{37, 23}, std::pair{3, 2}}) {
            SCOPED_TRACE(testing::Message() << bits << " bits to " << w << "x" << h);
            TestBitmap src(11, 7, bits), dst(w, h, bits);
            for (int y = 0; y < 7; ++y)
                for (int x = 0; x < 11; ++x)
                    src.setPixel(x, y, colour);
            ASSERT_EQ(resample(src, dst), 1);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(dst.pixel(x, y), colour);
        }
    }
}

TEST(VcResample, ShrinkingAveragesTheCoveredArea)
{
    TestBitmap src(4, 4, 24), dst(2, 2, 24);
    // Each 2x2 block holds 0, 100, 200, 60 in red: its average is 90.
    const int v[4] = {0, 100, 200, 60};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            src.setPixel(x, y, {v[(y % 2) * 2 + x % 2], 0, 255});
    ASSERT_EQ(resample(src, dst), 1);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            EXPECT_EQ(dst.pixel(x, y), (Rgb{90, 0, 255}));

    // Non-integer factor: 3 -> 2 weighs the middle pixel half to each side.
    TestBitmap s3(3, 1, 24), d2(2, 1, 24);
    s3.setPixel(0, 0, {0, 0, 0});
    s3.setPixel(1, 0, {150, 0, 0});
    s3.setPixel(2, 0, {240, 0, 0});
    ASSERT_EQ(resample(s3, d2), 1);
    EXPECT_EQ(d2.pixel(0, 0).r, 50);  // (0 x 1 + 150 x 0.5) / 1.5
    EXPECT_EQ(d2.pixel(1, 0).r, 210); // (150 x 0.5 + 240 x 1) / 1.5
}

TEST(VcResample, ShrinkingNoiseStaysWithinTheSourceRangeAndKeepsTheMean)
{
    std::mt19937 rng(7);
    TestBitmap src(1000, 3, 48), dst(7, 1, 48);
    double mean = 0;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 1000; ++x) {
            const int v = static_cast<int>(rng() % 256);
            src.setPixel(x, y, {v, v, v});
            mean += v;
        }
    mean /= 3000;
    ASSERT_EQ(resample(src, dst), 1);
    double got = 0;
    for (int x = 0; x < 7; ++x)
        got += dst.word(x, 0, 0) / 257.0;
    EXPECT_NEAR(got / 7, mean, 2.0);
}

TEST(VcResample, EnlargingIsSmoothAndDoesNotRing)
{
    TestBitmap src(2, 1, 24), dst(8, 1, 24);
    src.setPixel(0, 0, {0, 0, 0});
    src.setPixel(1, 0, {255, 255, 255});
    ASSERT_EQ(resample(src, dst), 1);
    int previous = -1;
    for (int x = 0; x < 8; ++x) {
        const int r = dst.pixel(x, 0).r;
        EXPECT_GE(r, previous) << x; // monotonic: no overshoot at a step of two pixels
        previous = r;
    }
    EXPECT_EQ(dst.pixel(0, 0).r, 0);
    EXPECT_EQ(dst.pixel(7, 0).r, 255);
    EXPECT_GT(dst.pixel(3, 0).r, 0);
    EXPECT_LT(dst.pixel(4, 0).r, 255);

    TestBitmap one(1, 1, 32), big(5, 3, 32); // a single pixel reaches every tap
    one.row(0)[0] = 1, one.row(0)[1] = 2, one.row(0)[2] = 3, one.row(0)[3] = 4;
    ASSERT_EQ(resample(one, big), 1);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            ASSERT_EQ(std::memcmp(big.row(y) + 4 * x, one.row(0), 4), 0);
}

TEST(VcResample, PaletteIndicesAreSampledNotMixed)
{
    TestBitmap src(4, 2, 8), dst(2, 1, 8);
    src.setEntry(1, {255, 0, 0});
    src.setEntry(2, {0, 0, 255});
    for (int x = 0; x < 4; ++x) {
        src.setIndex(x, 0, x % 2 ? 2 : 1);
        src.setIndex(x, 1, 1);
    }
    ASSERT_EQ(resample(src, dst), 1);
    // Centres of the destination pixels fall on source columns 1 and 3, row 1 (from the top).
    EXPECT_EQ(dst.index(0, 0), 1u);
    EXPECT_EQ(dst.index(1, 0), 1u);

    for (int bits : {1, 4}) {
        TestBitmap s(9, 1, bits), d(3, 1, bits);
        for (int x = 0; x < 9; ++x)
            s.setIndex(x, 0, static_cast<unsigned>((x / 3) % 2 ? 1 : 0));
        ASSERT_EQ(vcResample(VC_RESAMPLE_OTHER, s.bits(), s.header(), d.bits(), 3, 1, 1), 1);
        EXPECT_EQ(d.index(0, 0), 0u);
        EXPECT_EQ(d.index(1, 0), 1u);
        EXPECT_EQ(d.index(2, 0), 0u);
    }
}

TEST(VcResample, IdentityGreyRampsAreAveraged)
{
    TestBitmap src(2, 1, 8), dst(1, 1, 8);
    fillGreyRamp(src);
    src.setIndex(0, 0, 10);
    src.setIndex(1, 0, 31);
    ASSERT_EQ(resample(src, dst), 1);
    EXPECT_EQ(dst.index(0, 0), 21u); // 20.5 rounds up
}

TEST(VcResample, RefusesBadArguments)
{
    TestBitmap src(4, 4, 24), dst(2, 2, 24);
    EXPECT_EQ(vcResample(VC_RESAMPLE_PALETTE, src.bits(), src.header(), dst.bits(), 2, 2, 1), 0);
    EXPECT_EQ(vcResample(VC_RESAMPLE_OTHER, src.bits(), src.header(), dst.bits(), 0, 2, 1), 0);
    EXPECT_EQ(vcResample(VC_RESAMPLE_OTHER, src.bits(), src.header(), nullptr, 2, 2, 1), 0);
    EXPECT_EQ(vcResample(VC_RESAMPLE_OTHER, src.bits(), nullptr, dst.bits(), 2, 2, 1), 0);
    TestBitmap empty(0, 4, 24);
    EXPECT_EQ(vcResample(VC_RESAMPLE_OTHER, empty.bits(), empty.header(), dst.bits(), 2, 2, 1), 0);
    EXPECT_EQ(
        vcResample(VC_RESAMPLE_OTHER, src.bits(), src.header(), dst.bits(), 1 << 30, 1 << 30, 1),
        0);
}
