// SPDX-License-Identifier: MIT
// The tag catalogue: lookups by number and by enumerated path, the stored names, the rewriter's
// XMP names and the rating table.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "metadata/tag_catalogue.h"

namespace {

using mio::FindTagByPath;
using mio::GetTagDisplayName;
using mio::GetTagPath;

TEST(TagCatalogue, FormatsHaveTheirRowsInAscendingOrderWithDistinctPaths)
{
    EXPECT_EQ(mio::tagCatalogue(MetaFormatExif).size(), 63u);
    EXPECT_EQ(mio::tagCatalogue(MetaFormatIptc).size(), 20u);
    EXPECT_EQ(mio::tagCatalogue(MetaFormatXmp).size(), 5u);
    for (int32_t code : {-1, 0, 3, 4, 5, 6, 8})
        EXPECT_TRUE(mio::tagCatalogue(code).empty()) << code;

    // Every row is found again by its number and, through its path, by the path lookup; a
    // duplicated path would make the enumeration of a block report the wrong tag.
    for (int32_t code : {MetaFormatExif, MetaFormatIptc, MetaFormatXmp}) {
        std::set<std::u16string> lowered;
        for (const mio::TagCatalogueRow& row : mio::tagCatalogue(code)) {
            EXPECT_EQ(GetTagPath(code, row.tag), row.path) << code << '/' << row.tag;
            EXPECT_EQ(GetTagDisplayName(code, row.tag), row.display) << code << '/' << row.tag;
            if (row.path.empty()) continue;
            EXPECT_EQ(FindTagByPath(code, row.path), row.tag) << code << '/' << row.tag;
            std::u16string folded(row.path);
            for (char16_t& c : folded)
                if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
            EXPECT_TRUE(lowered.insert(folded).second) << code << '/' << row.tag;
        }
    }
}

TEST(TagCatalogue, NumbersOutsideTheRowsFindNothing)
{
    // Tags 100..104 sit at rows 58..62: their numbers are found by the scan, the row indexes
    // are not tag numbers.
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, 100), u"Make");
    EXPECT_EQ(GetTagPath(MetaFormatExif, 104), u"/{ushort=270}");
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, 58), std::nullopt);
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, 62), std::nullopt);
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, 105), std::nullopt);
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, -1), std::nullopt);
    EXPECT_EQ(GetTagPath(MetaFormatIptc, 20), std::nullopt);
    EXPECT_EQ(GetTagPath(MetaFormatXmp, 5), std::nullopt);
    EXPECT_EQ(GetTagPath(MetaFormatXmp, INT32_MIN), std::nullopt);
    for (int32_t code : {0, 3, 4, 5, 6, 8, -7})
        EXPECT_EQ(GetTagDisplayName(code, 0), std::nullopt) << code;
}

TEST(TagCatalogue, DisplayNamesAreReturnedAsStored)
{
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, 54), u"Satuatio");
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, 38), u"Exposure ondex");
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, 10), u"Date and time of original generation");
    EXPECT_EQ(GetTagDisplayName(MetaFormatIptc, 12), u"Country-primary location name");
    EXPECT_EQ(GetTagPath(MetaFormatIptc, 12), u"/{str=Country-Primary Location Name}");
    EXPECT_EQ(GetTagDisplayName(MetaFormatXmp, 1), u"dc:subjec");
    EXPECT_EQ(GetTagPath(MetaFormatXmp, 1), u"/dc:subject");
    EXPECT_EQ(mio::xmpRewriterName(1), "dc:subject");

    // R98 version has a name but no path, and an (impossible) empty enumerated name must not
    // turn into it.
    EXPECT_EQ(GetTagDisplayName(MetaFormatExif, 45), u"R98 version");
    EXPECT_EQ(GetTagPath(MetaFormatExif, 45), u"");
    EXPECT_EQ(FindTagByPath(MetaFormatExif, u""), -1);
}

TEST(TagCatalogue, PathLookupIgnoresAsciiCaseOnly)
{
    EXPECT_EQ(FindTagByPath(MetaFormatExif, u"/{USHORT=271}"), 100);
    EXPECT_EQ(FindTagByPath(MetaFormatIptc, u"/{STR=KEYWORDS}"), 5);
    EXPECT_EQ(FindTagByPath(MetaFormatXmp, u"/xmp:rating"), 0);
    EXPECT_EQ(FindTagByPath(MetaFormatExif, u"/{ushort=271} "), -1);
    EXPECT_EQ(FindTagByPath(MetaFormatExif, u"/{ushort=9999}"), -1);
    // A path of another code is not looked up there.
    EXPECT_EQ(FindTagByPath(MetaFormatIptc, u"/{ushort=271}"), -1);
    EXPECT_EQ(FindTagByPath(MetaFormatId3v2, u"/xmp:Rating"), -1);
    // Only ASCII letters fold: a Kelvin sign is not a K.
    EXPECT_EQ(FindTagByPath(MetaFormatIptc, u"/{str=\u212Aeywords}"), -1);
}

TEST(TagCatalogue, RewriterNamesAndRatingTable)
{
    EXPECT_EQ(mio::findXmpRewriterIndex("/xmp:Rating"), 0);
    EXPECT_EQ(mio::findXmpRewriterIndex("/dc:subject"), 1);
    EXPECT_EQ(mio::findXmpRewriterIndex("/MicrosoftPhoto:Rating"), 2);
    EXPECT_EQ(mio::findXmpRewriterIndex("/dc:title"), 4);
    EXPECT_EQ(mio::findXmpRewriterIndex("dc:title"), -1);
    EXPECT_EQ(mio::findXmpRewriterIndex("/dc:subjec"), -1);
    EXPECT_EQ(mio::findXmpRewriterIndex(""), -1);
    EXPECT_EQ(mio::xmpRewriterName(5), "");
    EXPECT_EQ(mio::xmpRewriterName(-1), "");
    // Both kinds of name are handed to the platform as terminated strings.
    EXPECT_EQ(mio::xmpRewriterName(4).data()[8], '\0');
    EXPECT_EQ(GetTagPath(MetaFormatExif, 100)->data()[13], u'\0');

    EXPECT_EQ(mio::RatingPercent, (std::array<int32_t, 6>{0, 1, 25, 50, 75, 99}));
}

} // namespace
