// SPDX-License-Identifier: MIT
// JPEG segment walk, classification, chunk reassembly and head rewrite.
#include "mio/formats/jpeg_segments.h"

#include "test_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace mio::formats;
using namespace formats_test;

namespace {

Bytes extendedChunk(std::string_view guid, uint32_t full, uint32_t offset, std::string_view data)
{
    Bytes p = text(kExtendedXmpSignature);
    put(p, guid);
    be32(p, full);
    be32(p, offset);
    put(p, data);
    return p;
}

Bytes iccChunk(uint8_t seq, uint8_t count, std::string_view data)
{
    Bytes p = text(kIccSignature);
    p.push_back(seq);
    p.push_back(count);
    put(p, data);
    return p;
}

const std::string kGuid = "0123456789ABCDEF0123456789ABCDEF";

// SOI, APP0 JFIF, APP1 EXIF, APP1 XMP, two ICC chunks stored out of order, two extended XMP
// chunks out of order, APP13, COM, SOS and fake scan data.
Bytes sampleJpeg()
{
    Bytes f{0xFF, 0xD8};
    put(f, segment(0xE0, text(std::string_view("JFIF\0\1\2\0\0\1\0\1\0\0", 14)))); // at 2
    Bytes exif = text(kExifSignature);
    put(exif, std::string_view("II*\0", 4));
    put(f, segment(0xE1, exif)); // at 20
    put(f, segment(0xE1, [] {
            Bytes x = text(kXmpSignature);
            put(x, "<x:xmpmeta/>");
            return x;
        }()));                                      // at 34
    put(f, segment(0xE2, iccChunk(2, 2, "World"))); // at 79
    put(f, segment(0xE2, iccChunk(1, 2, "Hello ")));
    put(f, segment(0xE1, extendedChunk(kGuid, 10, 6, "6789")));
    put(f, segment(0xE1, extendedChunk(kGuid, 10, 0, "012345")));
    Bytes ps = text(kPhotoshopSignature);
    put(ps, text(std::string_view("8BIM\x04\x04\0\0\0\0\0\0", 12)));
    put(f, segment(0xED, ps));
    put(f, {0xFF, 0xFF, 0xFF}); // fill bytes before the next marker; the last FF starts it
    put(f, {0xFE, 0x00, 0x05, 'a', 'b', 'c'});
    put(f, segment(0xDA, Bytes{1, 1, 0, 0, 63, 0}));
    put(f, Bytes{0x12, 0x34, 0xFF, 0x00, 0x56, 0xFF, 0xD9});
    return f;
}

} // namespace

TEST(JpegWalk, ListsEverySegmentWithOffsetsAndKinds)
{
    const Bytes f = sampleJpeg();
    auto layout = walkJpeg(ByteSource(f));
    ASSERT_TRUE(layout.ok());
    ASSERT_EQ(layout->end, WalkEnd::StartOfScan);
    const std::vector<SegmentKind> kinds{SegmentKind::Jfif,        SegmentKind::Exif,
                                         SegmentKind::Xmp,         SegmentKind::Icc,
                                         SegmentKind::Icc,         SegmentKind::ExtendedXmp,
                                         SegmentKind::ExtendedXmp, SegmentKind::Photoshop,
                                         SegmentKind::Comment,     SegmentKind::StartOfScan};
    ASSERT_EQ(layout->segments.size(), kinds.size());
    for (size_t i = 0; i < kinds.size(); ++i)
        EXPECT_EQ(layout->segments[i].kind, kinds[i]) << i;

    const Segment& exif = layout->segments[1];
    EXPECT_EQ(exif.marker, 0xE1);
    EXPECT_EQ(exif.offset, 20u);
    EXPECT_EQ(exif.payloadOffset, 24u);
    EXPECT_EQ(exif.payloadSize, 10u);
    EXPECT_EQ(exif.signatureSize, 6u);
    EXPECT_EQ(exif.contentOffset(), 30u);
    EXPECT_EQ(exif.contentSize(), 4u);
    EXPECT_EQ(layout->segments[2].offset, 34u);
    EXPECT_EQ(layout->segments[2].contentSize(), 12u);

    // The comment starts at the last of three 0xFF bytes.
    const Segment& com = layout->segments[8];
    EXPECT_EQ(f[com.offset], 0xFF);
    EXPECT_EQ(f[com.offset + 1], 0xFE);
    EXPECT_EQ(com.payloadSize, 3u);
    EXPECT_EQ(layout->stopOffset, layout->segments.back().offset);
    EXPECT_EQ(f.size() - layout->segments.back().endOffset(), 7u);
}

TEST(JpegWalk, CallbackSourceNeverReadsScanData)
{
    const Bytes f = sampleJpeg();
    uint64_t furthest = 0;
    ByteSource source([&](uint64_t offset, std::span<uint8_t> out) -> size_t {
        if (offset >= f.size()) return 0;
        const size_t n = std::min<uint64_t>(out.size(), f.size() - offset);
        std::copy_n(f.begin() + static_cast<ptrdiff_t>(offset), n, out.begin());
        furthest = std::max(furthest, offset + n);
        return n;
    });
    auto layout = walkJpeg(source);
    ASSERT_TRUE(layout.ok());
    EXPECT_EQ(layout->end, WalkEnd::StartOfScan);
    EXPECT_EQ(layout->segments.size(), 10u);
    EXPECT_LE(furthest, layout->segments.back().endOffset());
}

TEST(JpegWalk, StopsCleanlyOnBadInput)
{
    EXPECT_EQ(walkJpeg(ByteSource(Bytes{})).error(), Error::NotRecognised);
    EXPECT_EQ(walkJpeg(ByteSource(Bytes{0x89, 'P', 'N', 'G'})).error(), Error::NotRecognised);

    const Bytes f = sampleJpeg();
    // Cut inside the XMP segment: the two segments before it survive.
    Bytes cut(f.begin(), f.begin() + 40);
    auto layout = walkJpeg(ByteSource(cut));
    ASSERT_TRUE(layout.ok());
    EXPECT_EQ(layout->end, WalkEnd::Truncated);
    EXPECT_EQ(layout->segments.size(), 2u);
    EXPECT_EQ(layout->stopOffset, 34u);

    // A length field below 2 and a non-marker byte.
    Bytes badLength{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01};
    EXPECT_EQ(walkJpeg(ByteSource(badLength))->end, WalkEnd::BadMarker);
    Bytes garbage{0xFF, 0xD8, 0x00, 0xFF, 0xE1};
    EXPECT_EQ(walkJpeg(ByteSource(garbage))->end, WalkEnd::BadMarker);
    Bytes eoi{0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_EQ(walkJpeg(ByteSource(eoi))->end, WalkEnd::EndOfImage);

    // Endless empty COM segments hit the segment cap instead of growing without bound.
    Bytes many{0xFF, 0xD8};
    for (int i = 0; i < 100; ++i)
        put(many, Bytes{0xFF, 0xFE, 0x00, 0x02});
    WalkOptions opts;
    opts.maxSegments = 50;
    auto capped = walkJpeg(ByteSource(many), opts);
    EXPECT_EQ(capped->end, WalkEnd::TooManySegments);
    EXPECT_EQ(capped->segments.size(), 50u);
}

TEST(JpegChunks, ReassemblesIccAndExtendedXmpInOrder)
{
    const Bytes f = sampleJpeg();
    ByteSource src(f);
    auto layout = walkJpeg(src);
    ASSERT_TRUE(layout.ok());

    auto icc = assembleIccProfile(src, *layout);
    ASSERT_TRUE(icc.ok());
    EXPECT_EQ(std::string(icc->begin(), icc->end()), "Hello World");

    auto ext = assembleExtendedXmp(src, *layout, kGuid);
    ASSERT_TRUE(ext.ok());
    EXPECT_EQ(*ext, "0123456789");
    EXPECT_EQ(*assembleExtendedXmp(src, *layout), "0123456789");
    EXPECT_EQ(assembleExtendedXmp(src, *layout, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF").error(),
              Error::NotFound);

    auto ps = assemblePhotoshop(src, *layout);
    ASSERT_TRUE(ps.ok());
    EXPECT_EQ(ps->size(), 12u);
}

TEST(JpegChunks, RejectsInconsistentChunks)
{
    auto build = [](std::vector<Bytes> payloads, uint8_t marker) {
        Bytes f{0xFF, 0xD8};
        for (auto& p : payloads)
            put(f, segment(marker, p));
        put(f, segment(0xDA, Bytes{0}));
        return f;
    };
    auto icc = [](const Bytes& f) {
        ByteSource s(f);
        return assembleIccProfile(s, *walkJpeg(s)).error();
    };
    EXPECT_EQ(icc(build({iccChunk(1, 2, "a"), iccChunk(1, 2, "b")}, 0xE2)), Error::Malformed);
    EXPECT_EQ(icc(build({iccChunk(1, 3, "a"), iccChunk(2, 3, "b")}, 0xE2)), Error::Malformed);
    EXPECT_EQ(icc(build({iccChunk(1, 2, "a"), iccChunk(2, 3, "b")}, 0xE2)), Error::Malformed);
    EXPECT_EQ(icc(build({iccChunk(0, 1, "a")}, 0xE2)), Error::Malformed);
    EXPECT_EQ(icc(build({}, 0xE2)), Error::NotFound);

    auto ext = [](const Bytes& f) {
        ByteSource s(f);
        return assembleExtendedXmp(s, *walkJpeg(s)).error();
    };
    // A hole between pieces, a piece past the announced length, a huge announced length.
    EXPECT_EQ(ext(build({extendedChunk(kGuid, 10, 0, "0123"), extendedChunk(kGuid, 10, 6, "6789")},
                        0xE1)),
              Error::Truncated);
    // A chunk reaching past its announced length, or disagreeing on the length, is left out.
    EXPECT_EQ(ext(build({extendedChunk(kGuid, 4, 2, "0123")}, 0xE1)), Error::NotFound);
    EXPECT_EQ(ext(build({extendedChunk(kGuid, 0xFFFFFFF0u, 0, "0123")}, 0xE1)), Error::Truncated);
    EXPECT_EQ(
        ext(build({extendedChunk(kGuid, 8, 0, "0123"), extendedChunk(kGuid, 9, 4, "4567")}, 0xE1)),
        Error::Truncated);
}

TEST(JpegChunks, ExtendedXmpSkipsMalformedChunksAmongGoodOnes)
{
    Bytes f{0xFF, 0xD8};
    put(f, segment(0xE1, extendedChunk(kGuid, 8, 4, "4567")));
    put(f, segment(0xE1, extendedChunk(kGuid, 99, 0, "zzzz")));  // wrong length
    put(f, segment(0xE1, extendedChunk(kGuid, 8, 6, "zzzzzz"))); // past the end
    put(f, segment(0xE1, Bytes(kExtendedXmpSignature.begin(), kExtendedXmpSignature.end())));
    put(f, segment(0xE1, extendedChunk(kGuid, 8, 0, "0123")));
    put(f, segment(0xDA, Bytes{0}));
    ByteSource s(f);
    auto layout = walkJpeg(s);
    ASSERT_TRUE(layout.ok());
    auto packet = assembleExtendedXmp(s, *layout, kGuid);
    ASSERT_TRUE(packet.ok()) << errorText(packet.error());
    EXPECT_EQ(*packet, "01234567");
}

TEST(JpegRewrite, RebuildsHeadWithChanges)
{
    const Bytes f = sampleJpeg();
    ByteSource src(f);
    auto layout = walkJpeg(src);
    ASSERT_TRUE(layout.ok());

    Bytes newXmp = text(kXmpSignature);
    put(newXmp, "<x:xmpmeta>bigger packet</x:xmpmeta>");
    std::vector<SegmentChange> changes{
        {SegmentChange::Action::Replace, 2, 0, newXmp},
        {SegmentChange::Action::Remove, 8, 0, {}},
        {SegmentChange::Action::InsertBefore, 9, 0xFE, text("new")},
        {SegmentChange::Action::InsertBefore, 0, 0xE1, text(kExifSignature)},
    };
    auto head = rebuildHead(src, *layout, changes);
    ASSERT_TRUE(head.ok());
    Bytes rebuilt = *head;
    rebuilt.insert(rebuilt.end(), f.begin() + static_cast<ptrdiff_t>(layout->stopOffset), f.end());

    auto again = walkJpeg(ByteSource(rebuilt));
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(again->end, WalkEnd::StartOfScan);
    ASSERT_EQ(again->segments.size(), 11u);
    EXPECT_EQ(again->segments[0].kind, SegmentKind::Exif);
    EXPECT_EQ(again->segments[1].kind, SegmentKind::Jfif);
    EXPECT_EQ(again->segments[3].kind, SegmentKind::Xmp);
    EXPECT_EQ(*readPayload(ByteSource(rebuilt), again->segments[3]), newXmp);
    EXPECT_EQ(again->segments[9].kind, SegmentKind::Comment);
    EXPECT_EQ(again->segments[9].payloadSize, 3u);
    EXPECT_EQ(*readPayload(ByteSource(rebuilt), again->segments[9]), text("new"));
    // The scan and everything after it are byte-identical.
    EXPECT_TRUE(std::equal(f.begin() + static_cast<ptrdiff_t>(layout->stopOffset), f.end(),
                           rebuilt.begin() + static_cast<ptrdiff_t>(again->stopOffset)));

    std::vector<SegmentChange> tooBig{
        {SegmentChange::Action::Replace, 2, 0, Bytes(kMaxSegmentPayload + 1, 0)}};
    EXPECT_EQ(rebuildHead(src, *layout, tooBig).error(), Error::TooLarge);
    std::vector<SegmentChange> scan{{SegmentChange::Action::Remove, 9, 0, {}}};
    EXPECT_EQ(rebuildHead(src, *layout, scan).error(), Error::Malformed);
    std::vector<SegmentChange> past{{SegmentChange::Action::Remove, 10, 0, {}}};
    EXPECT_EQ(rebuildHead(src, *layout, past).error(), Error::OutOfBounds);
}

TEST(JpegRewrite, PlansInPlaceOnlyForSameSizePayloads)
{
    const Bytes f = sampleJpeg();
    auto layout = walkJpeg(ByteSource(f));
    const Segment& xmp = layout->segments[2];
    EXPECT_TRUE(fitsInRoom(xmp, xmp.payloadSize));
    EXPECT_FALSE(fitsInRoom(xmp, xmp.payloadSize + 1));

    std::vector<SegmentChange> same{
        {SegmentChange::Action::Replace, 2, 0, Bytes(xmp.payloadSize, 'x')}};
    auto plan = planInPlace(*layout, same);
    ASSERT_TRUE(plan.ok());
    ASSERT_EQ(plan->size(), 1u);
    EXPECT_EQ((*plan)[0].offset, xmp.payloadOffset);
    EXPECT_EQ((*plan)[0].bytes.size(), xmp.payloadSize);

    std::vector<SegmentChange> grown{
        {SegmentChange::Action::Replace, 2, 0, Bytes(xmp.payloadSize + 1, 'x')}};
    EXPECT_EQ(planInPlace(*layout, grown).error(), Error::TooLarge);
    std::vector<SegmentChange> inserted{{SegmentChange::Action::InsertBefore, 2, 0xE1, {}}};
    EXPECT_EQ(planInPlace(*layout, inserted).error(), Error::TooLarge);
}

TEST(JpegApp0, ParsesJfifDensityAndThumbnail)
{
    Bytes c{1, 2, 1, 0, 72, 0, 96, 2, 1};
    put(c, Bytes{1, 2, 3, 4, 5, 6});
    auto h = parseJfif(c);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h->version, 0x0102);
    EXPECT_EQ(h->units, 1);
    EXPECT_EQ(h->xDensity, 72);
    EXPECT_EQ(h->yDensity, 96);
    EXPECT_EQ(h->thumbnail, (Bytes{1, 2, 3, 4, 5, 6}));
    c.pop_back(); // thumbnail one byte short
    EXPECT_EQ(parseJfif(c).error(), Error::Truncated);
    EXPECT_EQ(parseJfif(Bytes{1, 2, 1}).error(), Error::Truncated);
}

TEST(JpegApp13, SplitsLargeResourceBlocksAcrossSegments)
{
    Bytes block(2 * kMaxSegmentPayload, 0);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    auto payloads = photoshopSegmentPayloads(block);
    ASSERT_TRUE(payloads.ok());
    ASSERT_EQ(payloads->size(), 3u);
    EXPECT_EQ((*payloads)[0].size(), kMaxSegmentPayload);

    // Written as APP13 segments, they walk and join back to the same block.
    Bytes f{0xFF, 0xD8};
    for (const Bytes& p : *payloads)
        put(f, segment(0xED, p));
    put(f, segment(0xDA, Bytes{0}));
    ByteSource src(f);
    auto layout = walkJpeg(src);
    ASSERT_TRUE(layout.ok());
    EXPECT_EQ(*assemblePhotoshop(src, *layout), block);
    EXPECT_EQ(photoshopSegmentPayloads({})->size(), 1u);
}
