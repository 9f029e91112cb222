// SPDX-License-Identifier: MIT
// TIFF/EXIF IFD reading (both byte orders, every field type, hostile offsets) and writing.
#include "mio/formats/tiff_ifd.h"

#include "test_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace mio::formats;
using namespace formats_test;

namespace {

// Lays out IFDs one after another: entry table, then out-of-line values. Entries given as
// (tag, type, count, value bytes); a value of up to 4 bytes goes inline.
struct RawEntry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    Bytes value;
};

class TiffBuilder {
  public:
    explicit TiffBuilder(bool big) : m_big(big)
    {
        m_b.reserve(256); // also keeps GCC 12's -Wstringop-overflow false positive away at -O2
        put(m_b, big ? "MM" : "II");
        u16(42);
        u32(8);
    }
    void u16(uint32_t v) { m_big ? be16(m_b, v) : le16(m_b, v); }
    void u32(uint32_t v) { m_big ? be32(m_b, v) : le32(m_b, v); }
    Bytes v16(uint32_t v) const
    {
        Bytes b;
        m_big ? be16(b, v) : le16(b, v);
        return b;
    }
    Bytes v32(uint32_t v) const
    {
        Bytes b;
        m_big ? be32(b, v) : le32(b, v);
        return b;
    }
    Bytes rat(uint32_t n, uint32_t d) const
    {
        Bytes b = v32(n);
        put(b, v32(d));
        return b;
    }
    // Appends an IFD; returns its offset. `next` is the link written after the table.
    uint32_t ifd(const std::vector<RawEntry>& entries, uint32_t next = 0)
    {
        const auto at = static_cast<uint32_t>(m_b.size());
        uint32_t values = at + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
        Bytes tail;
        u16(static_cast<uint32_t>(entries.size()));
        for (const RawEntry& e : entries) {
            u16(e.tag);
            u16(e.type);
            u32(e.count);
            if (e.value.size() <= 4) {
                Bytes v = e.value;
                v.resize(4);
                put(m_b, v);
            } else {
                u32(values + static_cast<uint32_t>(tail.size()));
                put(tail, e.value);
            }
        }
        u32(next);
        put(m_b, tail);
        return at;
    }
    uint32_t size() const { return static_cast<uint32_t>(m_b.size()); }
    Bytes& bytes() { return m_b; }

  private:
    bool m_big;
    Bytes m_b;
};

// IFD0 -> Exif (-> Interop), GPS, IFD1 with a thumbnail. Offsets are predictable: IFD0 at 8
// with 5 entries ends its table at 74; the child IFDs follow in the order built.
Bytes cameraTiff(bool big, uint32_t* exifOffset = nullptr)
{
    TiffBuilder t(big);
    // Child IFD offsets are known only after layout, so build twice: first to measure.
    auto build = [&](TiffBuilder& b, uint32_t exif, uint32_t gps, uint32_t interop, uint32_t ifd1,
                     uint32_t thumb) {
        b.ifd({{271, 2, 6, text(std::string_view("Canon\0", 6))},
               {274, 3, 1, b.v16(6)},
               {282, 5, 1, b.rat(72, 1)},
               {34665, 4, 1, b.v32(exif)},
               {34853, 4, 1, b.v32(gps)}},
              ifd1);
        const uint32_t e = b.ifd({{33434, 5, 1, b.rat(1, 250)},
                                  {34855, 3, 1, b.v16(400)},
                                  {36864, 7, 4, text("0230")},
                                  {37380, 10, 1, b.rat(static_cast<uint32_t>(-1), 3)},
                                  {37510, 7, 10, text(std::string_view("ASCII\0\0\0Hi", 10))},
                                  {40965, 4, 1, b.v32(interop)}});
        const uint32_t i = b.ifd({{1, 2, 4, text(std::string_view("R98\0", 4))}});
        Bytes lat = b.rat(35, 1);
        put(lat, b.rat(40, 1));
        put(lat, b.rat(1234, 100));
        const uint32_t g = b.ifd({{1, 2, 2, text(std::string_view("N\0", 2))}, {2, 5, 3, lat}});
        const uint32_t one =
            b.ifd({{259, 3, 1, b.v16(6)}, {513, 4, 1, b.v32(thumb)}, {514, 4, 1, b.v32(4)}});
        const uint32_t th = b.size();
        put(b.bytes(), Bytes{0xFF, 0xD8, 0xFF, 0xD9});
        return std::array<uint32_t, 5>{e, g, i, one, th};
    };
    TiffBuilder probe(big);
    auto offs = build(probe, 0, 0, 0, 0, 0);
    build(t, offs[0], offs[1], offs[2], offs[3], offs[4]);
    if (exifOffset) *exifOffset = offs[0];
    return t.bytes();
}

template <class T> const std::vector<T>& as(const IfdEntry* e)
{
    return std::get<std::vector<T>>(e->value.data);
}

void expectCameraTree(const TiffTree& t)
{
    EXPECT_TRUE(t.problems.empty());
    ASSERT_EQ(t.ifd0.entries.size(), 5u);
    EXPECT_EQ(t.ifd0.entries[0].tag, 271); // file order kept
    EXPECT_EQ(t.ifd0.find(271)->value.type, ValueType::LpStr);
    EXPECT_EQ(std::get<std::string>(t.ifd0.find(271)->value.data), "Canon");
    EXPECT_EQ(t.ifd0.find(274)->value.type, ValueType::UI2);
    EXPECT_FALSE(t.ifd0.find(274)->value.isVector);
    EXPECT_EQ(as<uint16_t>(t.ifd0.find(274))[0], 6);
    EXPECT_EQ(as<uint64_t>(t.ifd0.find(282))[0], 72u | (1ull << 32));

    ASSERT_TRUE(t.exif);
    EXPECT_EQ(as<uint64_t>(t.exif->find(33434))[0], 1u | (250ull << 32));
    EXPECT_EQ(t.exif->find(36864)->value.type, ValueType::Blob);
    EXPECT_EQ(as<uint8_t>(t.exif->find(36864)), text("0230"));
    const IfdEntry* bias = t.exif->find(37380);
    EXPECT_EQ(bias->value.type, ValueType::I8);
    const int64_t packed = std::get<std::vector<int64_t>>(bias->value.data)[0];
    EXPECT_EQ(static_cast<int32_t>(packed & 0xFFFFFFFF), -1);
    EXPECT_EQ(static_cast<int32_t>(packed >> 32), 3);
    EXPECT_EQ(t.exif->find(37510)->value.type, ValueType::LpWStr);
    EXPECT_EQ(std::get<std::u16string>(t.exif->find(37510)->value.data), u"Hi");

    ASSERT_TRUE(t.interop);
    EXPECT_EQ(std::get<std::string>(t.interop->find(1)->value.data), "R98");
    ASSERT_TRUE(t.gps);
    const IfdEntry* lat = t.gps->find(2);
    EXPECT_TRUE(lat->value.isVector);
    EXPECT_EQ(as<uint64_t>(lat), (std::vector<uint64_t>{packRational(35, 1), packRational(40, 1),
                                                        packRational(1234, 100)}));
    ASSERT_TRUE(t.ifd1);
    EXPECT_EQ(t.thumbnail, (Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
}

} // namespace

TEST(TiffRead, DecodesCameraTreeInBothByteOrders)
{
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        uint32_t exifOffset = 0;
        const Bytes b = cameraTiff(big, &exifOffset);
        auto tree = parseTiff(b);
        ASSERT_TRUE(tree.ok());
        EXPECT_EQ(tree->order, big ? ByteOrder::BigEndian : ByteOrder::LittleEndian);
        EXPECT_EQ(tree->ifd0.offset, 8u);
        EXPECT_EQ(tree->ifd0.endOffset, 74u);
        EXPECT_EQ(tree->ifd0.find(271)->valueOffset, 74u); // first out-of-line value
        EXPECT_EQ(tree->ifd0.find(274)->valueOffset, 8u + 2 + 12 + 8);
        EXPECT_EQ(tree->exif->offset, exifOffset);
        expectCameraTree(*tree);
    }
}

TEST(TiffRead, DecodesEveryFieldType)
{
    TiffBuilder t(true);
    Bytes f32(4), f64(8);
    const float fv = 1.5f;
    const double dv = -2.25;
    uint32_t fbits;
    uint64_t dbits;
    std::memcpy(&fbits, &fv, 4);
    std::memcpy(&dbits, &dv, 8);
    Bytes dbl = t.v32(static_cast<uint32_t>(dbits >> 32));
    put(dbl, t.v32(static_cast<uint32_t>(dbits)));
    Bytes shorts = t.v16(1);
    put(shorts, t.v16(65535));
    t.ifd({{1, 1, 3, Bytes{1, 2, 255}},
           {2, 2, 8, text(std::string_view("ab\0cd\0\0\0", 8))},
           {3, 3, 2, shorts},
           {4, 4, 1, t.v32(0xDEADBEEF)},
           {5, 5, 1, t.rat(3, 4)},
           {6, 6, 2, Bytes{0x80, 0x7F}},
           {7, 7, 3, Bytes{0, 1, 2}},
           {8, 8, 1, t.v16(0xFFFE)},
           {9, 9, 1, t.v32(0x80000000u)},
           {10, 10, 1, t.rat(0xFFFFFFFFu, 2)},
           {11, 11, 1, t.v32(fbits)},
           {12, 12, 1, dbl},
           {13, 13, 1, t.v32(1234)},
           {14, 99, 1, Bytes{}}}); // unknown type: left out and reported
    auto tree = parseTiff(t.bytes());
    ASSERT_TRUE(tree.ok());
    const Ifd& d = tree->ifd0;
    ASSERT_EQ(d.entries.size(), 13u);
    const ValueType expected[] = {ValueType::UI1, ValueType::LpStr, ValueType::UI2,  ValueType::UI4,
                                  ValueType::UI8, ValueType::I1,    ValueType::Blob, ValueType::I2,
                                  ValueType::I4,  ValueType::I8,    ValueType::R4,   ValueType::R8,
                                  ValueType::UI4};
    for (size_t i = 0; i < 13; ++i)
        EXPECT_EQ(d.entries[i].value.type, expected[i]) << i + 1;
    EXPECT_EQ(as<uint8_t>(d.find(1)), (Bytes{1, 2, 255}));
    EXPECT_TRUE(d.find(1)->value.isVector);
    EXPECT_EQ(std::get<std::string>(d.find(2)->value.data), "ab"); // one string, to the NUL
    EXPECT_EQ(as<uint16_t>(d.find(3)), (std::vector<uint16_t>{1, 65535}));
    EXPECT_EQ(as<uint32_t>(d.find(4))[0], 0xDEADBEEFu);
    EXPECT_EQ(as<uint64_t>(d.find(5))[0], packRational(3, 4));
    EXPECT_EQ(as<int8_t>(d.find(6)), (std::vector<int8_t>{-128, 127}));
    EXPECT_FALSE(d.find(7)->value.isVector);
    EXPECT_EQ(as<int16_t>(d.find(8))[0], -2);
    EXPECT_EQ(as<int32_t>(d.find(9))[0], INT32_MIN);
    EXPECT_EQ(static_cast<int32_t>(as<int64_t>(d.find(10))[0] & 0xFFFFFFFF), -1);
    EXPECT_EQ(as<float>(d.find(11))[0], 1.5f);
    EXPECT_EQ(as<double>(d.find(12))[0], -2.25);
    EXPECT_EQ(as<uint32_t>(d.find(13))[0], 1234u);
    ASSERT_EQ(tree->problems.size(), 1u);
    EXPECT_EQ(tree->problems[0].tag, 14);
}

TEST(TiffRead, SurvivesHostileStructures)
{
    // Headers.
    EXPECT_EQ(parseTiff(Bytes{'I', 'I', 42}).error(), Error::Truncated);
    EXPECT_EQ(parseTiff(text(std::string_view("XX*\0\x08\0\0\0", 8))).error(),
              Error::NotRecognised);
    EXPECT_EQ(parseTiff(text(std::string_view("II+\0\x08\0\0\0", 8))).error(),
              Error::NotRecognised);
    EXPECT_EQ(parseTiff(text(std::string_view("II*\0\xF0\0\0\0", 8))).error(), Error::OutOfBounds);

    // IFD0 links to itself as IFD1 and names itself as its Exif IFD: no loop, both reported.
    {
        TiffBuilder t(false);
        t.ifd({{34665, 4, 1, t.v32(8)}, {274, 3, 1, t.v16(1)}}, 8);
        auto tree = parseTiff(t.bytes());
        ASSERT_TRUE(tree.ok());
        EXPECT_FALSE(tree->exif);
        EXPECT_FALSE(tree->ifd1);
        ASSERT_EQ(tree->problems.size(), 2u);
        EXPECT_EQ(tree->problems[0].error, Error::Loop);
        EXPECT_EQ(tree->problems[1].error, Error::Loop);
    }
    // A count whose byte size overflows 32 bits, and an offset past the end: both entries
    // skipped, the good one kept.
    {
        TiffBuilder t(false);
        t.ifd({{282, 5, 0x40000000u, t.v32(8)},
               {283, 5, 1, t.v32(0xFFFFFFF0u)},
               {274, 3, 1, t.v16(3)}});
        // The builder put the 4-byte "values" inline; rewrite them as offsets.
        auto tree = parseTiff(t.bytes());
        ASSERT_TRUE(tree.ok());
        ASSERT_EQ(tree->ifd0.entries.size(), 1u);
        EXPECT_EQ(tree->ifd0.entries[0].tag, 274);
        ASSERT_EQ(tree->problems.size(), 2u);
        EXPECT_EQ(tree->problems[0].error, Error::OutOfBounds);
        EXPECT_EQ(tree->problems[1].error, Error::OutOfBounds);
    }
    // Entry table cut short; entry count over the cap.
    {
        TiffBuilder t(false);
        t.ifd({{274, 3, 1, t.v16(3)}, {275, 3, 1, t.v16(3)}});
        Bytes cut(t.bytes().begin(), t.bytes().begin() + 8 + 2 + 12 + 5);
        EXPECT_EQ(parseTiff(cut).error(), Error::Truncated);
        TiffOptions small;
        small.maxEntriesPerIfd = 1;
        EXPECT_EQ(parseTiff(t.bytes(), small).error(), Error::TooMany);
    }
    // Many entries all naming one large area: the decoded-bytes cap stops the blow-up.
    {
        TiffBuilder t(false);
        std::vector<RawEntry> entries;
        for (uint16_t i = 0; i < 50; ++i)
            entries.push_back({static_cast<uint16_t>(1000 + i), 7, 4000, t.v32(8)});
        t.ifd(entries);
        t.bytes().resize(5000);
        TiffOptions opts;
        opts.maxValueBytes = 20000;
        auto tree = parseTiff(t.bytes(), opts);
        ASSERT_TRUE(tree.ok());
        EXPECT_EQ(tree->ifd0.entries.size(), 5u);
        EXPECT_EQ(tree->problems.size(), 45u);
        EXPECT_EQ(tree->problems.back().error, Error::TooLarge);
    }
    // A thumbnail length past the end is reported, not copied.
    {
        TiffBuilder t(false);
        t.ifd({{274, 3, 1, t.v16(1)}}, 26);
        t.ifd({{513, 4, 1, t.v32(8)}, {514, 4, 1, t.v32(100000)}});
        auto tree = parseTiff(t.bytes());
        ASSERT_TRUE(tree.ok());
        EXPECT_TRUE(tree->ifd1);
        EXPECT_TRUE(tree->thumbnail.empty());
        ASSERT_EQ(tree->problems.size(), 1u);
        EXPECT_EQ(tree->problems[0].tag, 513);
    }
}

TEST(TiffWrite, RoundTripsInBothByteOrdersWithPadding)
{
    const Bytes source = cameraTiff(false);
    auto tree = parseTiff(source);
    ASSERT_TRUE(tree.ok());
    for (auto order : {ByteOrder::LittleEndian, ByteOrder::BigEndian}) {
        SCOPED_TRACE(order == ByteOrder::BigEndian ? "big-endian" : "little-endian");
        TiffWriteOptions plain;
        plain.order = order;
        auto bytes = writeTiff(*tree, plain);
        ASSERT_TRUE(bytes.ok());
        auto back = parseTiff(*bytes);
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(back->order, order);
        expectCameraTree(*back);

        TiffWriteOptions padded = plain;
        padded.exifPadding = 1000;
        auto paddedBytes = writeTiff(*tree, padded);
        ASSERT_TRUE(paddedBytes.ok());
        EXPECT_EQ(paddedBytes->size(), bytes->size() + 1000);
        auto paddedBack = parseTiff(*paddedBytes);
        ASSERT_TRUE(paddedBack.ok());
        expectCameraTree(*paddedBack);
        EXPECT_EQ(paddedBack->gps->offset, back->gps->offset + 1000);
        EXPECT_EQ(paddedBack->exif->offset, back->exif->offset);
    }
}

TEST(TiffWrite, SortsEntriesAndFixesPointerTags)
{
    TiffTree tree;
    tree.ifd0.entries.push_back({305, 2, 0, 0, TagValue::text("app")});
    tree.ifd0.entries.push_back({274, 3, 0, 0, TagValue::u16({1})});
    tree.ifd0.entries.push_back({34665, 4, 0, 0, TagValue::u32({12345})}); // stale, no child
    tree.gps = Ifd{IfdKind::Gps, 0, {{0, 1, 0, 0, TagValue::u8({2, 3, 0, 0})}}, 0, 0};
    auto bytes = writeTiff(tree);
    ASSERT_TRUE(bytes.ok());
    auto back = parseTiff(*bytes);
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(back->ifd0.entries.size(), 3u);
    EXPECT_EQ(back->ifd0.entries[0].tag, 274);
    EXPECT_EQ(back->ifd0.entries[1].tag, 305);
    EXPECT_EQ(back->ifd0.entries[2].tag, 34853);
    EXPECT_FALSE(back->exif);
    ASSERT_TRUE(back->gps);
    EXPECT_EQ(as<uint8_t>(back->gps->find(0)), (Bytes{2, 3, 0, 0}));

    // A value whose data does not match its type is refused.
    TiffTree bad;
    bad.ifd0.entries.push_back({274, 3, 0, 0, TagValue{ValueType::UI2, false, std::string("x")}});
    EXPECT_EQ(writeTiff(bad).error(), Error::Malformed);
}
