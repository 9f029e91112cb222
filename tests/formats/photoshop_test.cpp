// SPDX-License-Identifier: MIT
// Photoshop image resource parsing and writing.
#include "mio/formats/photoshop.h"

#include "test_bytes.h"

#include <gtest/gtest.h>

using namespace mio::formats;
using namespace formats_test;

namespace {

Bytes resource(uint16_t id, std::string_view name, const Bytes& data)
{
    Bytes b = text("8BIM");
    be16(b, id);
    b.push_back(static_cast<uint8_t>(name.size()));
    put(b, name);
    if ((name.size() + 1) & 1) b.push_back(0);
    be32(b, static_cast<uint32_t>(data.size()));
    put(b, data);
    if (data.size() & 1) b.push_back(0);
    return b;
}

} // namespace

TEST(ImageResources, ParsesNamesOddSizesAndResolution)
{
    Bytes res;
    be32(res, 72u << 16); // 72 dpi
    be16(res, 1);
    be16(res, 2);
    be32(res, 300u << 16);
    be16(res, 1);
    be16(res, 2);
    Bytes block = resource(0x03ED, "", res);
    put(block, resource(0x0404, "ab", text("odd"))); // even name field, odd data
    put(block, resource(0x0422, "x", {}));
    put(block, Bytes(3, 0)); // trailing padding

    auto parsed = parseImageResources(block);
    ASSERT_TRUE(parsed.ok());
    ASSERT_EQ(parsed->size(), 3u);
    EXPECT_EQ((*parsed)[1].id, 0x0404);
    EXPECT_EQ((*parsed)[1].name, "ab");
    EXPECT_EQ((*parsed)[1].dataOffset, 28u + 6 + 4 + 4);
    EXPECT_EQ(std::string((*parsed)[1].data.begin(), (*parsed)[1].data.end()), "odd");
    EXPECT_EQ((*parsed)[2].name, "x");
    EXPECT_TRUE((*parsed)[2].data.empty());

    auto info = parseResolutionInfo(findResource(*parsed, 0x03ED)->data);
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->hRes >> 16, 72u);
    EXPECT_EQ(info->vRes >> 16, 300u);
    EXPECT_EQ(info->widthUnit, 2);
    EXPECT_EQ(findResource(*parsed, 0x0999), nullptr);
}

TEST(ImageResources, RefusesDamagedBlocks)
{
    Bytes good = resource(0x0404, "", text("data"));
    Bytes cut(good.begin(), good.end() - 2);
    EXPECT_EQ(parseImageResources(cut).error(), Error::Truncated);
    Bytes huge = good;
    huge[8] = 0x7F; // size field claims ~2 GB
    EXPECT_EQ(parseImageResources(huge).error(), Error::Truncated);
    Bytes wrongSig = good;
    wrongSig[0] = 'X';
    EXPECT_EQ(parseImageResources(wrongSig).error(), Error::Malformed);
    Bytes headerOnly(good.begin(), good.begin() + 5);
    EXPECT_EQ(parseImageResources(headerOnly).error(), Error::Truncated);
}

TEST(ImageResources, ReplaceKeepsOtherResourcesAndRoundTrips)
{
    Bytes block = resource(0x03ED, "", Bytes(16, 1));
    put(block, resource(0x0404, "", text("old")));
    put(block, resource(0x0425, "", Bytes(16, 2)));

    const Bytes iptc = text("new iptc");
    auto replaced = replaceResource(block, 0x0404, &iptc);
    ASSERT_TRUE(replaced.ok());
    Bytes expected = resource(0x03ED, "", Bytes(16, 1));
    put(expected, resource(0x0404, "", iptc));
    put(expected, resource(0x0425, "", Bytes(16, 2)));
    EXPECT_EQ(*replaced, expected);

    auto removed = replaceResource(block, 0x0404, nullptr);
    ASSERT_TRUE(removed.ok());
    auto parsed = parseImageResources(*removed);
    ASSERT_EQ(parsed->size(), 2u);
    EXPECT_EQ(findResource(*parsed, 0x0404), nullptr);

    auto added = replaceResource(*removed, 0x0404, &iptc);
    auto again = parseImageResources(*added);
    ASSERT_EQ(again->size(), 3u);
    EXPECT_EQ(again->back().id, 0x0404);
}
