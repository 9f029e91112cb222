// SPDX-License-Identifier: MIT
// IPTC-IIM datasets: parsing, names, character sets, writing inside a resource block.
#include "mio/formats/iptc.h"
#include "mio/formats/photoshop.h"

#include "test_bytes.h"

#include <gtest/gtest.h>

using namespace mio::formats;
using namespace formats_test;

namespace {

Bytes dataset(uint8_t record, uint8_t number, std::string_view value)
{
    Bytes b{0x1C, record, number};
    be16(b, static_cast<uint32_t>(value.size()));
    put(b, value);
    return b;
}

} // namespace

TEST(IptcParse, ReadsDatasetsRepeatsAndExtendedLengths)
{
    const std::string longCaption(40000, 'c');
    Bytes b = dataset(1, 90, "\x1B%G");
    put(b, dataset(2, 0, std::string_view("\0\x02", 2)));
    put(b, dataset(2, 25, "one"));
    put(b, dataset(2, 80, "Me"));
    put(b, dataset(2, 25, "two"));
    put(b, Bytes{0x1C, 2, 120, 0x80, 0x04}); // extended length: 4 length bytes follow
    be32(b, 40000);
    put(b, longCaption);
    put(b, dataset(2, 25, "drei \xC3\xA9"));
    put(b, Bytes(7, 0)); // padding

    auto data = parseIptc(b);
    ASSERT_TRUE(data.ok());
    EXPECT_TRUE(data->utf8);
    EXPECT_FALSE(data->damaged);
    ASSERT_EQ(data->datasets.size(), 7u);
    EXPECT_EQ(data->datasets[2].offset, 8u + 7);
    EXPECT_EQ(data->datasets[5].value.size(), 40000u);
    EXPECT_EQ(data->datasets[5].offset, 8u + 7 + 8 + 7 + 8);

    auto items = groupIptc(*data);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[2].name, "Keywords");
    EXPECT_EQ(items[2].values, (std::vector<std::string>{"one", "two", "drei \xC3\xA9"}));
    EXPECT_EQ(items[3].name, "By-line");
    EXPECT_EQ(items[4].name, "Caption-Abstract");
    EXPECT_EQ(iptcTextToUtf8(items[2].values[2], data->utf8), "drei \xC3\xA9");
    EXPECT_TRUE(iptcDatasetIsBinary(2, 0));
    EXPECT_FALSE(iptcDatasetIsBinary(2, 25));
}

TEST(IptcParse, StopsAtDamageWithoutReadingPastTheEnd)
{
    EXPECT_EQ(parseIptc(Bytes{'x', 1, 2}).error(), Error::NotRecognised);
    EXPECT_EQ(parseIptc(Bytes{0x1C, 2, 25}).error(), Error::Truncated);
    EXPECT_EQ(parseIptc(Bytes{0x1C, 2, 25, 0x00, 0x09, 'a'}).error(), Error::Truncated);
    EXPECT_EQ(parseIptc(Bytes{0x1C, 2, 25, 0x80, 0x00}).error(), Error::Malformed);
    EXPECT_EQ(parseIptc(Bytes{0x1C, 2, 25, 0x80, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9}).error(),
              Error::Malformed);
    // Extended length claiming 4 GB.
    EXPECT_EQ(parseIptc(Bytes{0x1C, 2, 25, 0x80, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}).error(),
              Error::Truncated);

    Bytes b = dataset(2, 25, "kept");
    Bytes cut = b;
    put(cut, Bytes{0x1C, 2, 25, 0x00, 0x20, 'x'});
    auto partial = parseIptc(cut);
    ASSERT_TRUE(partial.ok());
    EXPECT_TRUE(partial->damaged);
    ASSERT_EQ(partial->datasets.size(), 1u);
    EXPECT_EQ(partial->datasets[0].value, "kept");

    Bytes junk = b;
    put(junk, Bytes{0, 0, 'j'});
    EXPECT_TRUE(parseIptc(junk)->damaged);
}

TEST(IptcNames, MatchThePlatformSpellings)
{
    const std::pair<int, std::string_view> names[] = {
        {0, "Record Version"},
        {5, "Object Name"},
        {10, "Urgency"},
        {15, "Category"},
        {20, "Supplemental Categories"},
        {25, "Keywords"},
        {40, "Special Instructions"},
        {55, "Date Created"},
        {60, "Time Created"},
        {80, "By-line"},
        {85, "By-line Title"},
        {90, "City"},
        {95, "Province-State"},
        {101, "Country-Primary Location Name"},
        {103, "Original Transmission Reference"},
        {105, "Headline"},
        {110, "Credit"},
        {115, "Source"},
        {116, "Copyright Notice"},
        {120, "Caption-Abstract"},
        {122, "Writer-Editor"},
    };
    for (const auto& [number, name] : names) {
        EXPECT_EQ(iptcDatasetName(2, static_cast<uint8_t>(number)), name);
        auto found = iptcDatasetByName(name);
        ASSERT_TRUE(found) << name;
        EXPECT_EQ(found->first, 2);
        EXPECT_EQ(found->second, number);
    }
    EXPECT_EQ(iptcDatasetByName("caption-ABSTRACT")->second, 120);
    EXPECT_EQ(iptcDatasetByName("Coded Character Set")->first, 1);
    EXPECT_FALSE(iptcDatasetByName("Caption"));
    EXPECT_EQ(iptcDatasetName(2, 199), "");
}

TEST(IptcText, ReadsLegacyTextAsWindows1252)
{
    EXPECT_EQ(iptcTextToUtf8("Navy\x92s caf\xE9", false), "Navy\xE2\x80\x99s caf\xC3\xA9");
    EXPECT_EQ(iptcTextToUtf8("\x80", false), "\xE2\x82\xAC");
    EXPECT_EQ(iptcTextToUtf8("caf\xC3\xA9", true), "caf\xC3\xA9");
}

TEST(IptcWrite, RoundTripsInsideAResourceBlock)
{
    const std::vector<IptcDataset> in{{2, 25, "alpha", 0},
                                      {1, 90, "old charset", 0},
                                      {2, 25, "beta", 0},
                                      {2, 120, std::string(33000, 'x'), 0}};
    auto iim = writeIptc(in, true);
    ASSERT_TRUE(iim.ok());
    // The UTF-8 marker first, record 1 before record 2, repeats in their order.
    EXPECT_EQ((Bytes(iim->begin(), iim->begin() + 8)), (Bytes{0x1C, 1, 90, 0, 3, 0x1B, '%', 'G'}));

    Bytes block;
    put(block, text("8BIM"));
    be16(block, 0x03ED);
    put(block, Bytes{0, 0});
    be32(block, 16);
    put(block, Bytes(16, 0));
    auto withIptc = replaceResource(block, kResourceIptc, &*iim);
    ASSERT_TRUE(withIptc.ok());
    auto resources = parseImageResources(*withIptc);
    ASSERT_TRUE(resources.ok());
    const ImageResource* r = findResource(*resources, kResourceIptc);
    ASSERT_NE(r, nullptr);

    auto back = parseIptc(r->data);
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(back->utf8);
    ASSERT_EQ(back->datasets.size(), 4u);
    EXPECT_EQ(back->datasets[1].value, "alpha");
    EXPECT_EQ(back->datasets[2].value, "beta");
    EXPECT_EQ(back->datasets[3].value.size(), 33000u);

    auto plain = writeIptc(in, false);
    auto plainBack = parseIptc(*plain);
    EXPECT_FALSE(plainBack->utf8);
    EXPECT_EQ(plainBack->datasets[0].value, "old charset");
}
