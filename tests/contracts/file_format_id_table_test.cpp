// SPDX-License-Identifier: MIT
// Tests of the format numbering shared by GetFileFormatID and WriteImageFile.
#include "contracts/file_format_id_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using Table = FileFormatIdTable;

TEST(FileFormatIdTable, VideoNumbersFollowTheShiftRuleInBothBanks)
{
    const struct {
        int n;
        uint32_t code;
    } cases[] = {{0, 0x1u}, {5, 0x20u}, {30, 0x40000000u}, {31, 0x80000001u}, {40, 0x80000200u}};
    for (const auto& c : cases) {
        EXPECT_EQ(Table::videoCodeOf(c.n), c.code) << c.n;
        EXPECT_EQ(Table::numberOfVideoCode(c.code), c.n) << c.n;
    }
    std::set<uint32_t> codes;
    for (int n = 0; n <= 40; ++n) {
        ASSERT_TRUE(Table::videoCodeOf(n).has_value()) << n;
        codes.insert(*Table::videoCodeOf(n));
        EXPECT_EQ(Table::numberOfVideoCode(*Table::videoCodeOf(n)), n);
        EXPECT_TRUE(Table::extensionOf(n).empty());
    }
    EXPECT_EQ(codes.size(), 41u);
}

TEST(FileFormatIdTable, StillExtensionsSitAtTheirNumbers)
{
    const struct {
        int n;
        const char* ext;
    } cases[] = {{41, "bmp"}, {48, "gif"}, {60, "png"}, {64, "vkt"},
                 {65, "pxr"}, {67, "raw"}, {72, "qfo"}, {76, "wmf"}};
    for (const auto& c : cases)
        EXPECT_EQ(Table::extensionOf(c.n), c.ext) << c.n;
    std::set<std::string> extensions;
    for (int n = 41; n <= 77; ++n) {
        const std::string_view ext = Table::extensionOf(n);
        ASSERT_EQ(ext.size(), 3u) << n;
        extensions.emplace(ext);
        EXPECT_EQ(Table::numberOfExtension(ext), n);
        EXPECT_FALSE(Table::videoCodeOf(n).has_value());
    }
    EXPECT_EQ(extensions.size(), 37u);
}

TEST(FileFormatIdTable, ExtensionLookupIgnoresCaseOnly)
{
    EXPECT_EQ(Table::numberOfExtension("JPG"), 53);
    EXPECT_EQ(Table::numberOfExtension("Tif"), 71);
    EXPECT_FALSE(Table::numberOfExtension(".jpg").has_value());
    EXPECT_FALSE(Table::numberOfExtension("jpeg").has_value());
    EXPECT_FALSE(Table::numberOfExtension("tiff").has_value());
    EXPECT_FALSE(Table::numberOfExtension("jp").has_value());
    EXPECT_FALSE(Table::numberOfExtension("").has_value());
}

TEST(FileFormatIdTable, OutOfRangeNumbersAndForeignCodesFindNothing)
{
    for (int n : {-1, 78, 1000, INT32_MIN})
        EXPECT_FALSE(Table::videoCodeOf(n).has_value() || !Table::extensionOf(n).empty()) << n;
    for (uint32_t code : {0u, 3u, 0x80000000u, 0x80000400u, 0x80000003u, 0xFFFFFFFFu})
        EXPECT_FALSE(Table::numberOfVideoCode(code).has_value()) << std::hex << code;
}
