// SPDX-License-Identifier: MIT
// The PackedDib model: layout, allocation, the fixed converters, blending and alpha merging.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "contracts/pixel_library.h"
#include "dib/checked_math.h"
#include "dib/packed_dib.h"
#include "tavrel/platform/memory.h"

using namespace mio;

namespace {

UniquePackedDib alloc(int w, int h, int bits)
{
    UniquePackedDib dib(DibAlloc(w, h, bits));
    EXPECT_TRUE(dib) << w << "x" << h << "x" << bits;
    return dib;
}

BYTE* pixelAt(const BITMAPINFOHEADER* dib, int x, int y)
{
    // y counts from the top; rows are stored bottom-up.
    return DibBits(dib) + (dib->biHeight - 1 - y) * DibStride(dib) + x * (dib->biBitCount / 8);
}

void fillRows(const BITMAPINFOHEADER* dib, BYTE seed)
{
    BYTE* bits = DibBits(dib);
    for (size_t i = 0; i < DibImageSize(dib); ++i)
        bits[i] = static_cast<BYTE>(seed + i * 7);
}

} // namespace

TEST(PackedDibLayout, ColourTableDecidesWherePixelsStart)
{
    BITMAPINFOHEADER h;
    DibInitHeader(&h, 10, 10, 8);
    h.biClrUsed = 0;
    EXPECT_EQ(DibBitsOffset(&h), 40u + 1024u);
    h.biClrUsed = 16;
    EXPECT_EQ(DibBitsOffset(&h), 40u + 64u);
    DibInitHeader(&h, 10, 10, 1);
    EXPECT_EQ(DibBitsOffset(&h), 48u);
    DibInitHeader(&h, 10, 10, 4);
    EXPECT_EQ(DibBitsOffset(&h), 104u);
    for (int bits : {16, 24, 32, 48}) {
        DibInitHeader(&h, 10, 10, bits);
        h.biClrUsed = 7; // ignored without a table
        EXPECT_EQ(DibBitsOffset(&h), 40u) << bits;
    }
}

TEST(PackedDibLayout, RowsArePaddedToFourBytes)
{
    struct Case {
        int width, bits;
        size_t stride;
    };
    const Case cases[] = {{10, 1, 4},  {33, 1, 8},  {3, 4, 4},  {9, 4, 8},  {5, 8, 8},
                          {3, 24, 12}, {1, 48, 8},  {2, 16, 4}, {3, 16, 8}, {1, 32, 4},
                          {0, 24, 0},  {4, 24, 12}, {1, 24, 4}, {7, 48, 44}};
    for (const Case& c : cases) {
        BITMAPINFOHEADER h;
        DibInitHeader(&h, c.width, 3, c.bits);
        EXPECT_EQ(DibStride(&h), c.stride) << c.width << "x" << c.bits;
        EXPECT_EQ(DibImageSize(&h), c.stride * 3);
        EXPECT_EQ(DibTotalSize(&h), DibBitsOffset(&h) + c.stride * 3);
    }
}

TEST(PackedDibLayout, HostileSizesGiveZeroInsteadOfWrapping)
{
    BITMAPINFOHEADER h;
    DibInitHeader(&h, 0x7FFFFFFF, 0x7FFFFFFF, 48);
    EXPECT_EQ(h.biSizeImage, 0u); // does not fit the 32-bit field
    EXPECT_EQ(DibImageSize(&h), 0u);
    EXPECT_EQ(DibTotalSize(&h), 0u);
    h.biWidth = -5;
    EXPECT_EQ(DibStride(&h), 0u);
    EXPECT_FALSE(checkedMul<uint32_t>(0x10000, 0x10000));
    EXPECT_EQ(checkedDibStride(int64_t{1} << 40, 48), std::optional<size_t>((size_t{6} << 40)));
    EXPECT_FALSE(checkedDibImageSize(1, -1, 24));
}

TEST(PackedDibLayout, ZeroWidthOrHeightLeavesImageSizeZero)
{
    BITMAPINFOHEADER h;
    DibInitHeader(&h, 0, 3, 24);
    EXPECT_EQ(h.biSizeImage, 0u);
    DibInitHeader(&h, 4, 0, 8);
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biClrUsed, 256u);
    DibInitHeader(&h, 5, 3, 8);
    EXPECT_EQ(h.biSizeImage, 24u);
}

TEST(PackedDibLayout, ExternalPixelsAreFoundThroughTheToken)
{
    BITMAPINFOHEADER h;
    DibInitHeader(&h, 3, 2, 24);
    const BYTE* own = reinterpret_cast<const BYTE*>(&h) + 40;
    h.biClrImportant = 1;
    EXPECT_EQ(DibBits(&h), own);
    std::vector<BYTE> rows(24);
    h.biClrImportant = vcRegisterExternalBits(rows.data(), rows.size());
    EXPECT_EQ(DibBits(&h), rows.data());
    h.biHeight = 3; // now needs 36 bytes: the registered range is too short
    EXPECT_EQ(DibBits(&h), nullptr);
    h.biHeight = 2;
    EXPECT_TRUE(vcUnregisterExternalBits(h.biClrImportant));
    EXPECT_EQ(DibBits(&h), nullptr); // unknown tokens are never dereferenced
    h.biBitCount = 32;               // the rule is for 24-bit headers only
    EXPECT_EQ(DibBits(&h), own);
}

TEST(PackedDibAlloc, MakesALockedZeroedMovableBlock)
{
    auto dib = alloc(5, 3, 8);
    ASSERT_TRUE(dib);
    EXPECT_EQ(dib->biClrUsed, 256u);
    EXPECT_EQ(dib->biSizeImage, 24u);
    HGLOBAL block = GlobalHandle(dib.get());
    ASSERT_NE(block, nullptr);
    EXPECT_GE(GlobalSize(block), DibTotalSize(dib.get()));
    EXPECT_EQ(GlobalFlags(block) & GMEM_LOCKCOUNT, 1u);
    const BYTE* p = reinterpret_cast<const BYTE*>(dib.get());
    for (size_t i = 40; i < DibTotalSize(dib.get()); ++i)
        ASSERT_EQ(p[i], 0) << i;

    EXPECT_TRUE(alloc(0, 0, 24)); // an empty bitmap is still a header
    EXPECT_EQ(DibAlloc(-1, 3, 24), nullptr);
    EXPECT_EQ(DibAlloc(3, 3, 12), nullptr);
    EXPECT_EQ(DibAlloc(100000, 100000, 48), nullptr); // 60 GB: refused, not attempted
    DibFree(nullptr);
}

TEST(FixedConverters, Dib48To24RoundsEachWord)
{
    auto src = alloc(4, 1, 48), dst = alloc(4, 1, 24);
    const uint16_t words[12] = {0, 128, 129, 65535, 257, 32896, 1, 2, 65406, 65407, 300, 1000};
    std::memcpy(DibBits(src.get()), words, sizeof words);
    ASSERT_EQ(Dib48To24(src.get(), dst.get()), 1);
    const BYTE expected[12] = {0, 0, 1, 255, 1, 128, 0, 0, 254, 255, 1, 4};
    EXPECT_EQ(std::memcmp(DibBits(dst.get()), expected, 12), 0);
}

TEST(FixedConverters, Dib32To24DropsTheFourthByteRowByRow)
{
    auto src = alloc(3, 2, 32), dst = alloc(3, 2, 24);
    fillRows(src.get(), 1);
    ASSERT_EQ(Dib32To24(src.get(), dst.get()), 1);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(std::memcmp(pixelAt(dst.get(), x, y), pixelAt(src.get(), x, y), 3), 0);
    EXPECT_EQ(Dib32To24(dst.get(), dst.get()), 0); // source not 32-bit
}

TEST(FixedConverters, RefuseAMismatchedDestinationWithoutWriting)
{
    auto src32 = alloc(4, 4, 32), src48 = alloc(4, 4, 48);
    const std::pair<int, int> wrong[] = {
        {3, 4}, {4, 5}, {4, 4}}; // the last one has the wrong depth
    for (auto [w, h] : wrong) {
        auto dst = alloc(w, h, w == 4 && h == 4 ? 32 : 24);
        fillRows(dst.get(), 0x5A);
        std::vector<BYTE> before(DibBits(dst.get()), DibBits(dst.get()) + DibImageSize(dst.get()));
        EXPECT_EQ(Dib32To24(src32.get(), dst.get()), 0);
        EXPECT_EQ(Dib48To24(src48.get(), dst.get()), 0);
        EXPECT_EQ(DibCmykTo24(src32.get(), dst.get()), 0);
        EXPECT_EQ(std::memcmp(before.data(), DibBits(dst.get()), before.size()), 0);
    }
    // A refused CMYK conversion leaves the source as it was, too.
    fillRows(src32.get(), 3);
    const BYTE first = DibBits(src32.get())[0];
    auto small = alloc(2, 2, 24);
    EXPECT_EQ(DibCmykTo24(src32.get(), small.get()), 0);
    EXPECT_EQ(DibBits(src32.get())[0], first);
}

TEST(FixedConverters, CmykLeavesTheSourceInvertedAndGivesBgr)
{
    auto src = alloc(2, 1, 32), dst = alloc(2, 1, 24);
    // Stored inverted, as files keep it: pure cyan, then 20% black.
    const BYTE stored[8] = {0, 255, 255, 255, 255, 255, 255, 204};
    std::memcpy(DibBits(src.get()), stored, 8);
    ASSERT_EQ(DibCmykTo24(src.get(), dst.get()), 1);
    const BYTE plain[8] = {255, 0, 0, 0, 0, 0, 0, 51};
    EXPECT_EQ(std::memcmp(DibBits(src.get()), plain, 8), 0);
    const BYTE bgr[6] = {255, 255, 0, 204, 204, 204};
    EXPECT_EQ(std::memcmp(DibBits(dst.get()), bgr, 6), 0);
}

TEST(DibConvertTest, AllocatesByRequestOrFollowsTheCallersHeader)
{
    auto src = alloc(3, 2, 24);
    fillRows(src.get(), 9);
    PackedDib made = nullptr;
    ASSERT_EQ(DibConvert(src.get(), &made, 32, false), 1);
    UniquePackedDib own(made);
    EXPECT_EQ(made->biBitCount, 32);
    EXPECT_EQ(std::memcmp(pixelAt(made, 2, 1), pixelAt(src.get(), 2, 1), 3), 0);

    auto existing = alloc(3, 2, 48); // its header wins over the requested depth
    PackedDib dst = existing.get();
    ASSERT_EQ(DibConvert(src.get(), &dst, 8, false), 1);
    EXPECT_EQ(dst, existing.get());
    EXPECT_EQ(DibBits(existing.get())[1], DibBits(src.get())[0]); // little-endian v x 257

    // Into 8 bits the library builds the palette the zeroed table lacked.
    PackedDib pal = nullptr;
    ASSERT_EQ(DibConvert(src.get(), &pal, 8, false), 1);
    UniquePackedDib ownPal(pal);
    const auto* table = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<BYTE*>(pal) + 40);
    const BYTE index = *pixelAt(pal, 1, 0);
    EXPECT_EQ(table[index].rgbBlue, pixelAt(src.get(), 1, 0)[0]);
    EXPECT_EQ(table[index].rgbRed, pixelAt(src.get(), 1, 0)[2]);

    auto wrong = alloc(2, 2, 24);
    PackedDib w = wrong.get();
    EXPECT_EQ(DibConvert(src.get(), &w, 24, false), 0);
}

TEST(DibConvertTest, CmykFlagRoutesToTheCmykConverter)
{
    auto src = alloc(1, 1, 32);
    std::memset(DibBits(src.get()), 255, 4); // no ink at all, inverted
    PackedDib out = nullptr;
    ASSERT_EQ(DibConvert(src.get(), &out, 24, true), 1);
    UniquePackedDib own(out);
    EXPECT_EQ(DibBits(out)[0], 255);
    EXPECT_EQ(DibBits(out)[2], 255);
}

TEST(BlendMask, MixesPictureAndBackgroundByTheMask)
{
    auto pic = alloc(3, 2, 24), back = alloc(3, 2, 24), mask = alloc(3, 2, 8);
    std::memset(DibBits(pic.get()), 200, DibImageSize(pic.get()));
    std::memset(DibBits(back.get()), 40, DibImageSize(back.get()));
    // Mask from the top row: 0, 255, 128 / 1, 254, 64.
    const BYTE weights[2][3] = {{0, 255, 128}, {1, 254, 64}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            *pixelAt(mask.get(), x, y) = weights[y][x];
    ASSERT_EQ(DibBlendMask(pic.get(), back.get(), mask.get()), 1);
    const BYTE expected[2][3] = {
        {40, 200, (200 * 128 + 40 * 128) >> 8},
        {(200 * 1 + 40 * 255) >> 8, (200 * 254 + 40 * 2) >> 8, (200 * 64 + 40 * 192) >> 8}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(pixelAt(pic.get(), x, y)[c], expected[y][x]) << x << "," << y;
}

TEST(BlendMask, ExtremeMasksGiveBackgroundOrPicture)
{
    auto pic = alloc(5, 3, 24), back = alloc(5, 3, 24), mask = alloc(5, 3, 8);
    fillRows(pic.get(), 1);
    fillRows(back.get(), 100);
    std::vector<BYTE> original(DibBits(pic.get()), DibBits(pic.get()) + DibImageSize(pic.get()));
    std::memset(DibBits(mask.get()), 255, DibImageSize(mask.get()));
    ASSERT_EQ(DibBlendMask(pic.get(), back.get(), mask.get()), 1);
    EXPECT_EQ(std::memcmp(DibBits(pic.get()), original.data(), original.size()), 0);
    std::memset(DibBits(mask.get()), 0, DibImageSize(mask.get()));
    ASSERT_EQ(DibBlendMask(pic.get(), back.get(), mask.get()), 1);
    for (int y = 0; y < 3; ++y)
        EXPECT_EQ(std::memcmp(pixelAt(pic.get(), 0, y), pixelAt(back.get(), 0, y), 15), 0);
}

TEST(BlendMask, RefusesBitmapsThatDoNotMatch)
{
    auto pic = alloc(4, 4, 24), back = alloc(4, 4, 24), mask = alloc(4, 4, 8);
    auto smallBack = alloc(2, 2, 24), smallMask = alloc(4, 3, 8), greyPic = alloc(4, 4, 32);
    fillRows(pic.get(), 7);
    std::vector<BYTE> original(DibBits(pic.get()), DibBits(pic.get()) + DibImageSize(pic.get()));
    EXPECT_EQ(DibBlendMask(pic.get(), smallBack.get(), mask.get()), 0);
    EXPECT_EQ(DibBlendMask(pic.get(), back.get(), smallMask.get()), 0);
    EXPECT_EQ(DibBlendMask(pic.get(), back.get(), pic.get()), 0);
    EXPECT_EQ(DibBlendMask(greyPic.get(), back.get(), mask.get()), 0);
    EXPECT_EQ(std::memcmp(DibBits(pic.get()), original.data(), original.size()), 0);
}

TEST(AddAlpha, PutsTheMaskInTheFourthByte)
{
    auto pic = alloc(3, 2, 24), mask = alloc(3, 2, 8);
    fillRows(pic.get(), 11);
    fillRows(mask.get(), 200);
    PackedDib out = nullptr;
    ASSERT_EQ(DibAddAlpha(pic.get(), mask.get(), &out), 1);
    UniquePackedDib own(out);
    ASSERT_EQ(out->biBitCount, 32);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(std::memcmp(pixelAt(out, x, y), pixelAt(pic.get(), x, y), 3), 0);
            EXPECT_EQ(pixelAt(out, x, y)[3], *pixelAt(mask.get(), x, y));
        }
    auto other = alloc(3, 3, 8);
    PackedDib none = reinterpret_cast<PackedDib>(&out); // must be cleared on refusal
    EXPECT_EQ(DibAddAlpha(pic.get(), other.get(), &none), 0);
    EXPECT_EQ(none, nullptr);
}

TEST(FixedConverters, RefuseAHeaderThatClaimsMoreThanItsBlock)
{
    auto src = alloc(4, 4, 32), dst = alloc(4, 4, 24);
    // Both headers grown after allocation: the rows they describe run past their blocks.
    src->biHeight = 40;
    dst->biHeight = 40;
    EXPECT_EQ(Dib32To24(src.get(), dst.get()), 0);
    src->biHeight = 4;
    EXPECT_EQ(Dib32To24(src.get(), dst.get()), 0);
    dst->biHeight = 4;
    SetLastError(1234);
    EXPECT_EQ(Dib32To24(src.get(), dst.get()), 1);
    EXPECT_EQ(GetLastError(), 1234u); // the size check leaves the caller's last error alone
}
