// SPDX-License-Identifier: MIT
// Depth conversion: every pair of depths, palette building, dithering and refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "contracts/pixel_library.h"
#include "test_bitmap.h"

using pixeltest::Rgb;
using pixeltest::TestBitmap;

namespace {

constexpr int kDepths[] = {1, 4, 8, 16, 24, 32, 48};

int capacity(int bits)
{
    return bits <= 8 ? 1 << bits : 1 << 24;
}

// Colours that both depths hold exactly: on the 5-bit grid when either side is 5-5-5.
std::vector<Rgb> sharedColours(int a, int b)
{
    const int count = std::min({capacity(a), capacity(b), 12});
    const bool grid = a == 16 || b == 16;
    std::mt19937 rng(static_cast<unsigned>(a * 100 + b));
    std::vector<Rgb> colours;
    auto channel = [&] {
        const int v = static_cast<int>(rng() % 256);
        if (!grid) return v;
        const int f = v >> 3;
        return (f << 3) | (f >> 2);
    };
    while (static_cast<int>(colours.size()) < count) {
        const Rgb c{channel(), channel(), channel()};
        if (std::find(colours.begin(), colours.end(), c) == colours.end()) colours.push_back(c);
    }
    return colours;
}

void paint(TestBitmap& bmp, const std::vector<Rgb>& colours)
{
    if (bmp.bitCount() <= 8)
        for (size_t i = 0; i < colours.size(); ++i)
            bmp.setEntry(static_cast<unsigned>(i), colours[i]);
    for (int y = 0; y < bmp.height(); ++y)
        for (int x = 0; x < bmp.width(); ++x) {
            const size_t k = static_cast<size_t>(x * 3 + y) % colours.size();
            if (bmp.bitCount() <= 8)
                bmp.setIndex(x, y, static_cast<unsigned>(k));
            else
                bmp.setPixel(x, y, colours[k]);
        }
}

} // namespace

TEST(VcConvert, EveryPairOfDepthsKeepsColoursBothSidesCanHold)
{
    for (int from : kDepths) {
        for (int to : kDepths) {
            SCOPED_TRACE(testing::Message() << from << " -> " << to);
            const auto colours = sharedColours(from, to);
            TestBitmap src(7, 5, from); // odd width: rows carry padding
            paint(src, colours);
            TestBitmap dst(7, 5, to);
            ASSERT_EQ(vcConvert(src.bits(), src.header(), dst.bits(), dst.header()), 1);
            for (int y = 0; y < 5; ++y) {
                for (int x = 0; x < 7; ++x) {
                    ASSERT_EQ(dst.pixel(x, y),
                              colours[static_cast<size_t>(x * 3 + y) % colours.size()])
                        << "at " << x << "," << y;
                    if (to == 32) {
                        // The fourth byte is carried over between 32-bit bitmaps, opaque otherwise.
                        ASSERT_EQ(dst.row(y)[4 * x + 3], from == 32 ? src.row(y)[4 * x + 3] : 255);
                    }
                }
            }
        }
    }
}

TEST(VcConvert, RoundTripsThroughWiderDepthsExactly)
{
    // 48 -> 24 -> 48 keeps the high byte; 16 -> 24 -> 16 keeps all 15 bits.
    TestBitmap s16(32, 32, 16);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const unsigned v = static_cast<unsigned>(y * 32 + x) * 31u % 32768u;
            s16.row(y)[2 * x] = static_cast<uint8_t>(v);
            s16.row(y)[2 * x + 1] = static_cast<uint8_t>(v >> 8);
        }
    TestBitmap mid(32, 32, 24), back(32, 32, 16);
    ASSERT_EQ(vcConvert(s16.bits(), s16.header(), mid.bits(), mid.header()), 1);
    ASSERT_EQ(vcConvert(mid.bits(), mid.header(), back.bits(), back.header()), 1);
    for (int y = 0; y < 32; ++y)
        ASSERT_EQ(std::memcmp(s16.row(y), back.row(y), 64), 0) << "row " << y;
}

TEST(VcConvert, FiveBitTargetsRoundToNearestLevel)
{
    TestBitmap src(256, 1, 24), dst(256, 1, 16);
    for (int x = 0; x < 256; ++x)
        src.setPixel(x, 0, {x, 255 - x, x / 2});
    ASSERT_EQ(vcConvert(src.bits(), src.header(), dst.bits(), dst.header()), 1);
    for (int x = 0; x < 256; ++x) {
        const Rgb got = dst.pixel(x, 0);
        EXPECT_LE(std::abs(got.r - x), 4) << x;
        EXPECT_LE(std::abs(got.g - (255 - x)), 4) << x;
    }
}

TEST(VcConvert, BuildsAMedianCutPaletteForManyColours)
{
    // A smooth two-dimensional colour field with 4096 distinct colours into 256 entries.
    TestBitmap src(64, 64, 24), dst(64, 64, 8, 256);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            src.setPixel(x, y, {x * 4, y * 4, (x + y) * 2});
    ASSERT_EQ(vcConvertEx(src.bits(), src.header(), dst.bits(), dst.header(), 0), 1);
    double total = 0;
    int worst = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const Rgb want{x * 4, y * 4, (x + y) * 2}, got = dst.pixel(x, y);
            const int e =
                std::abs(want.r - got.r) + std::abs(want.g - got.g) + std::abs(want.b - got.b);
            total += e;
            worst = std::max(worst, e);
        }
    EXPECT_LE(total / (64.0 * 64 * 3), 4.0); // mean error per channel
    EXPECT_LE(worst, 30);                    // summed over the three channels
}

TEST(VcConvert, GreyPicturesGetAnExactGreyRamp)
{
    TestBitmap src(256, 2, 48), dst(256, 2, 8, 256);
    for (int x = 0; x < 256; ++x) {
        src.setPixel(x, 0, {x, x, x});
        src.setPixel(x, 1, {255 - x, 255 - x, 255 - x});
    }
    ASSERT_EQ(vcConvert(src.bits(), src.header(), dst.bits(), dst.header()), 1);
    for (int x = 0; x < 256; ++x) {
        EXPECT_EQ(dst.pixel(x, 0), (Rgb{x, x, x}));
        EXPECT_EQ(dst.pixel(x, 1), (Rgb{255 - x, 255 - x, 255 - x}));
    }
}

TEST(VcConvert, DitheringKeepsTheAverageOfAFlatArea)
{
    TestBitmap src(64, 64, 24);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            src.setPixel(x, y, {100, 100, 100});
    TestBitmap dithered(64, 64, 1), plain(64, 64, 1);
    // A flat colour would fit a built 1-bit palette exactly, so give both a black and white one.
    dithered.setEntry(0, {0, 0, 0});
    dithered.setEntry(1, {255, 255, 255});
    ASSERT_EQ(vcConvertEx(src.bits(), src.header(), dithered.bits(), dithered.header(),
                          VC_CONVERT_DITHER),
              1);
    plain.setEntry(0, {0, 0, 0});
    plain.setEntry(1, {255, 255, 255});
    ASSERT_EQ(vcConvertEx(src.bits(), src.header(), plain.bits(), plain.header(), 0), 1);
    int white = 0, plainWhite = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            white += dithered.pixel(x, y).r == 255;
            plainWhite += plain.pixel(x, y).r == 255;
        }
    EXPECT_NEAR(white / 4096.0, 100 / 255.0, 0.03);
    EXPECT_EQ(plainWhite, 0);
    EXPECT_EQ(dithered.table()[1].rgbRed, 255); // a caller's palette is kept
}

TEST(VcConvert, KeepsACallersPaletteAndPicksNearestEntries)
{
    TestBitmap src(3, 1, 24), dst(3, 1, 4, 3);
    src.setPixel(0, 0, {250, 10, 5});
    src.setPixel(1, 0, {20, 20, 20});
    src.setPixel(2, 0, {240, 240, 230});
    dst.setEntry(0, {0, 0, 0});
    dst.setEntry(1, {255, 0, 0});
    dst.setEntry(2, {255, 255, 255});
    ASSERT_EQ(vcConvertEx(src.bits(), src.header(), dst.bits(), dst.header(), 0), 1);
    EXPECT_EQ(dst.index(0, 0), 1u);
    EXPECT_EQ(dst.index(1, 0), 0u);
    EXPECT_EQ(dst.index(2, 0), 2u);
}

TEST(VcConvert, RefusesWhatItCannotDoWithoutWriting)
{
    TestBitmap src(4, 4, 24), wide(5, 4, 24), odd(4, 4, 2), ok(4, 4, 24);
    std::memset(wide.bits(), 0xAB, wide.stride() * 4);
    EXPECT_EQ(vcConvert(src.bits(), src.header(), wide.bits(), wide.header()), 0);
    EXPECT_EQ(wide.bits()[0], 0xAB);
    EXPECT_EQ(vcConvert(src.bits(), src.header(), odd.bits(), odd.header()), 0);
    EXPECT_EQ(vcConvert(src.bits(), nullptr, ok.bits(), ok.header()), 0);
    src.header()->biCompression = BI_BITFIELDS;
    EXPECT_EQ(vcConvert(src.bits(), src.header(), ok.bits(), ok.header()), 0);
    src.header()->biCompression = BI_RGB;
    src.header()->biHeight = -4;
    EXPECT_EQ(vcConvert(src.bits(), src.header(), ok.bits(), ok.header()), 0);
}

TEST(VcConvert, LocatesExternalRowsThroughTheToken)
{
    TestBitmap header(2, 2, 24); // rows of its own stay zero
    std::vector<uint8_t> rows(16, 0);
    rows[0] = 10;      // bottom-left blue
    rows[8 + 5] = 200; // top-right red
    const DWORD token = vcRegisterExternalBits(rows.data(), rows.size());
    ASSERT_GE(token, 2u);
    header.header()->biClrImportant = token;
    TestBitmap dst(2, 2, 32);
    ASSERT_EQ(vcConvert(nullptr, header.header(), dst.bits(), dst.header()), 1);
    EXPECT_EQ(dst.pixel(0, 1), (Rgb{0, 0, 10}));
    EXPECT_EQ(dst.pixel(1, 0), (Rgb{200, 0, 0}));
    ASSERT_TRUE(vcUnregisterExternalBits(token));
    EXPECT_EQ(vcConvert(nullptr, header.header(), dst.bits(), dst.header()), 0);
}

TEST(VcConvert, PaletteFollowsThePictureRatherThanAFixedCube)
{
    // 300 shades of one blue: a fixed cube would leave steps of 51; a fitted palette stays close.
    TestBitmap src(300, 1, 24), dst(300, 1, 8, 256);
    for (int x = 0; x < 300; ++x)
        src.setPixel(x, 0, {x / 6, x / 3, 40 + x * 2 / 3});
    ASSERT_EQ(vcConvertEx(src.bits(), src.header(), dst.bits(), dst.header(), 0), 1);
    for (int x = 0; x < 300; ++x) {
        const Rgb got = dst.pixel(x, 0);
        EXPECT_LE(std::abs(got.r - x / 6) + std::abs(got.g - x / 3) +
                      std::abs(got.b - (40 + x * 2 / 3)),
                  6)
            << x;
    }
}

TEST(VcConvert, GreyPalettesBecomeGreyLevelsInEightBits)
{
    // Bilevel and grey sources turn into the identity ramp, so that index equals level.
    TestBitmap src(10, 1, 1), dst(10, 1, 8, 256);
    src.setEntry(0, {0, 0, 0});
    src.setEntry(1, {255, 255, 255});
    src.setIndex(3, 0, 1);
    ASSERT_EQ(vcConvert(src.bits(), src.header(), dst.bits(), dst.header()), 1);
    EXPECT_EQ(dst.index(3, 0), 255u);
    EXPECT_EQ(dst.index(4, 0), 0u);
    EXPECT_EQ(dst.table()[128].rgbGreen, 128);

    TestBitmap colour(2, 1, 4), out(2, 1, 8, 256); // a colour palette is kept as it is
    colour.setEntry(0, {0, 0, 0});
    colour.setEntry(5, {10, 200, 30});
    colour.setIndex(1, 0, 5);
    ASSERT_EQ(vcConvert(colour.bits(), colour.header(), out.bits(), out.header()), 1);
    EXPECT_EQ(out.index(1, 0), 5u);
}
