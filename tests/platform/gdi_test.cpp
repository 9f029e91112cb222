// SPDX-License-Identifier: MIT
// Palettes as checked objects, and the headless device contexts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "tavrel/platform/gdi.h"

namespace {

// LOGPALETTE declares one entry; real palettes are allocated with room for all of them.
std::vector<BYTE> logPalette(WORD count, WORD version = 0x300)
{
    std::vector<BYTE> block(sizeof(LOGPALETTE) + sizeof(PALETTEENTRY) * (count ? count - 1 : 0));
    auto* pal = reinterpret_cast<LOGPALETTE*>(block.data());
    pal->palVersion = version;
    pal->palNumEntries = count;
    for (WORD i = 0; i < count; ++i)
        pal->palPalEntry[i] = {static_cast<BYTE>(i), static_cast<BYTE>(255 - i),
                               static_cast<BYTE>(i * 3), 0};
    return block;
}

} // namespace

TEST(Palette, KeepsItsEntriesAndCopiesRanges)
{
    const auto block = logPalette(256);
    const HPALETTE pal = CreatePalette(reinterpret_cast<const LOGPALETTE*>(block.data()));
    ASSERT_NE(pal, nullptr);
    EXPECT_EQ(GetPaletteEntries(pal, 0, 0, nullptr), 256u);

    PALETTEENTRY out[8] = {};
    ASSERT_EQ(GetPaletteEntries(pal, 250, 8, out), 6u); // clipped at the end
    EXPECT_EQ(out[0].peRed, 250);
    EXPECT_EQ(out[0].peGreen, 5);
    EXPECT_EQ(out[5].peRed, 255);
    EXPECT_EQ(GetPaletteEntries(pal, 256, 1, out), 0u);

    const PALETTEENTRY white{255, 255, 255, 0};
    EXPECT_EQ(SetPaletteEntries(pal, 255, 4, &white), 1u);
    ASSERT_EQ(GetPaletteEntries(pal, 255, 1, out), 1u);
    EXPECT_EQ(out[0].peBlue, 255);

    EXPECT_TRUE(DeleteObject(pal));
    EXPECT_FALSE(DeleteObject(pal)); // deleted objects are never valid again
    EXPECT_EQ(GetPaletteEntries(pal, 0, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Palette, RefusesBadRecordsAndForeignHandles)
{
    EXPECT_EQ(CreatePalette(nullptr), nullptr);
    EXPECT_EQ(CreatePalette(reinterpret_cast<const LOGPALETTE*>(logPalette(16, 0x200).data())),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreatePalette(reinterpret_cast<const LOGPALETTE*>(logPalette(0).data())), nullptr);

    int local = 0;
    EXPECT_FALSE(DeleteObject(nullptr));
    EXPECT_FALSE(DeleteObject(&local));
    PALETTEENTRY out[1];
    EXPECT_EQ(GetPaletteEntries(reinterpret_cast<HPALETTE>(&local), 0, 1, out), 0u);
}

TEST(DeviceContext, NoDisplaySoCallersTakeTheirFallback)
{
    SetLastError(0);
    const HDC dc = CreateICA("DISPLAY", nullptr, nullptr, nullptr);
    EXPECT_EQ(dc, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(CreateDCW(u"DISPLAY", nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 0);
    EXPECT_FALSE(DeleteDC(dc));
}
