// SPDX-License-Identifier: MIT
// Byte inversion, CMYK to RGB, the red/blue swap and the external-bits table.
#include <gtest/gtest.h>

#include <array>

#include "contracts/pixel_library.h"

TEST(ColourOps, InvertsEveryByteInPlace)
{
    std::array<BYTE, 5> data{0, 1, 128, 254, 255};
    EXPECT_EQ(mem32ByteInvert(0, data.data(), 4), 1);
    EXPECT_EQ(data, (std::array<BYTE, 5>{255, 254, 127, 1, 255})); // the fifth is outside the range
    EXPECT_EQ(mem32ByteInvert(0, nullptr, 1), 0);
}

TEST(ColourOps, CmykInksSubtractFromWhite)
{
    struct Case {
        std::array<BYTE, 4> cmyk;
        std::array<BYTE, 3> rgb;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, {255, 255, 255}},    {{0, 0, 0, 255}, {0, 0, 0}},
        {{255, 0, 0, 0}, {0, 255, 255}},    {{0, 255, 255, 0}, {255, 0, 0}},
        {{128, 0, 0, 0}, {127, 255, 255}},  {{0, 0, 0, 51}, {204, 204, 204}},
        {{102, 0, 0, 51}, {122, 204, 204}}, // 153 x 204 / 255 = 122.4
    };
    for (const Case& c : cases) {
        std::array<BYTE, 3> out{};
        qfdClrCmykToRgb(c.cmyk.data(), out.data());
        EXPECT_EQ(out, c.rgb) << int{c.cmyk[0]} << "," << int{c.cmyk[3]};
    }
}

TEST(ColourOps, SwapsRedAndBlueInPlaceAndBetweenBuffers)
{
    std::array<BYTE, 7> row{1, 2, 3, 4, 5, 6, 99};
    RGBToBGR(row.data(), row.data(), 2);
    EXPECT_EQ(row, (std::array<BYTE, 7>{3, 2, 1, 6, 5, 4, 99}));
    std::array<BYTE, 3> out{};
    RGBToBGR(row.data(), out.data(), 1);
    EXPECT_EQ(out, (std::array<BYTE, 3>{1, 2, 3}));
}

TEST(ExternalBits, TokensNameRegisteredRangesOnly)
{
    std::array<BYTE, 64> rows{};
    const DWORD a = vcRegisterExternalBits(rows.data(), rows.size());
    const DWORD b = vcRegisterExternalBits(rows.data() + 32, 32);
    ASSERT_GE(a, 2u); // 0 and 1 mean "rows behind the header"
    ASSERT_NE(a, b);
    EXPECT_EQ(vcLookupExternalBits(a, 64), rows.data());
    EXPECT_EQ(vcLookupExternalBits(b, 32), rows.data() + 32);
    EXPECT_EQ(vcLookupExternalBits(b, 33), nullptr); // shorter than the header needs
    EXPECT_TRUE(vcUnregisterExternalBits(a));
    EXPECT_FALSE(vcUnregisterExternalBits(a));
    EXPECT_EQ(vcLookupExternalBits(a, 1), nullptr);
    EXPECT_EQ(vcRegisterExternalBits(nullptr, 4), 0u);
    EXPECT_TRUE(vcUnregisterExternalBits(b));
}
