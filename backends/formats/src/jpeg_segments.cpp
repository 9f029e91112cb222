// SPDX-License-Identifier: MIT
// JPEG marker walk, segment classification, chunk reassembly and head rewrite.
#include "mio/formats/jpeg_segments.h"

#include "byte_io.h"

#include <algorithm>
#include <array>
#include <map>
#include <new>

namespace mio::formats {

namespace {

using detail::startsWith;

// Markers that stand alone, without a length field.
bool isStandalone(uint8_t marker)
{
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

void classify(Segment& seg, std::span<const uint8_t> head)
{
    auto match = [&](SegmentKind kind, std::string_view sig) {
        if (!startsWith(head, sig)) return false;
        seg.kind = kind;
        seg.signatureSize = static_cast<uint32_t>(sig.size());
        return true;
    };
    switch (seg.marker) {
    case kMarkerApp0:
        match(SegmentKind::Jfif, std::string_view("JFIF\0", 5)) ||
            match(SegmentKind::JfifExtension, std::string_view("JFXX\0", 5));
        break;
    case kMarkerApp1:
        // Some writers end the EXIF signature with 0xFF instead of a second NUL.
        if (!match(SegmentKind::Exif, kExifSignature) &&
            !match(SegmentKind::Exif, std::string_view("Exif\0\xFF", 6)))
            match(SegmentKind::Xmp, kXmpSignature) ||
                match(SegmentKind::ExtendedXmp, kExtendedXmpSignature);
        break;
    case kMarkerApp2:
        match(SegmentKind::Icc, kIccSignature);
        break;
    case kMarkerApp13:
        match(SegmentKind::Photoshop, kPhotoshopSignature);
        break;
    case kMarkerApp14:
        match(SegmentKind::Adobe, "Adobe");
        break;
    case kMarkerCom:
        seg.kind = SegmentKind::Comment;
        break;
    case kMarkerSos:
        seg.kind = SegmentKind::StartOfScan;
        break;
    default:
        break;
    }
}

Result<std::vector<uint8_t>> readRange(const ByteSource& source, uint64_t offset, uint32_t size)
{
    try {
        std::vector<uint8_t> out(size);
        if (!source.read(offset, out)) return Error::Truncated;
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

} // namespace

Result<JpegLayout> walkJpeg(const ByteSource& source, const WalkOptions& options)
{
    std::array<uint8_t, 2> soi{};
    if (!source.read(0, soi) || soi[0] != 0xFF || soi[1] != kMarkerSoi) return Error::NotRecognised;

    JpegLayout layout;
    uint64_t pos = 2;
    // Marker and length in one read, then, for APPn and COM only, enough payload for the
    // longest signature we classify (extended XMP): a callback source costs two or three
    // calls per segment and nothing past the SOS header is read.
    constexpr size_t kHead = 40;
    std::array<uint8_t, 4> window{};
    std::array<uint8_t, kHead> head{};
    try {
        for (;;) {
            layout.stopOffset = pos;
            const size_t got = source.readSome(pos, window);
            if (got == 0) {
                layout.end = WalkEnd::Truncated;
                break;
            }
            if (window[0] != 0xFF) {
                layout.end = WalkEnd::BadMarker;
                break;
            }
            // Any number of 0xFF fill bytes may precede a marker; the last one starts it.
            size_t k = 1;
            while (k < got && window[k] == 0xFF)
                ++k;
            if (k == got) {
                if (got < window.size()) {
                    layout.end = WalkEnd::Truncated;
                    break;
                }
                pos += got - 1;
                continue;
            }
            if (k > 1) {
                pos += k - 1; // read again from the real marker
                continue;
            }
            const uint8_t marker = window[1];
            if (marker == 0x00 || marker == kMarkerSoi) {
                layout.end = WalkEnd::BadMarker;
                break;
            }
            if (marker == kMarkerEoi) {
                layout.end = WalkEnd::EndOfImage;
                break;
            }
            if (isStandalone(marker)) {
                pos += 2;
                continue;
            }
            if (layout.segments.size() >= options.maxSegments) {
                layout.end = WalkEnd::TooManySegments;
                break;
            }
            if (got < 4) {
                layout.end = WalkEnd::Truncated;
                break;
            }
            const uint16_t length = detail::load16(window.data() + 2, ByteOrder::BigEndian);
            if (length < 2) {
                layout.end = WalkEnd::BadMarker;
                break;
            }
            Segment seg;
            seg.marker = marker;
            seg.offset = pos;
            seg.payloadOffset = pos + 4;
            seg.payloadSize = length - 2u;
            const bool hasSignature =
                (marker >= kMarkerApp0 && marker <= 0xEF) || marker == kMarkerCom;
            const size_t want = hasSignature ? std::min<size_t>(kHead, seg.payloadSize) : 0;
            const size_t have = source.readSome(seg.payloadOffset, std::span(head).first(want));
            // The segment must be complete: its last byte must exist.
            uint8_t last = 0;
            if (have < want ||
                (seg.payloadSize > have && !source.read(seg.endOffset() - 1, {&last, 1}))) {
                layout.end = WalkEnd::Truncated;
                break;
            }
            classify(seg, std::span<const uint8_t>(head).first(have));
            layout.segments.push_back(seg);
            if (marker == kMarkerSos) {
                layout.end = WalkEnd::StartOfScan;
                break;
            }
            pos = seg.endOffset();
        }
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
    return layout;
}

Result<std::vector<uint8_t>> readPayload(const ByteSource& source, const Segment& segment)
{
    return readRange(source, segment.payloadOffset, segment.payloadSize);
}

Result<std::vector<uint8_t>> readContent(const ByteSource& source, const Segment& segment)
{
    return readRange(source, segment.contentOffset(), segment.contentSize());
}

const Segment* findSegment(const JpegLayout& layout, SegmentKind kind)
{
    for (const Segment& s : layout.segments)
        if (s.kind == kind) return &s;
    return nullptr;
}

Result<std::vector<uint8_t>> assembleIccProfile(const ByteSource& source, const JpegLayout& layout)
{
    try {
        std::map<uint8_t, const Segment*> chunks;
        uint8_t count = 0;
        for (const Segment& s : layout.segments) {
            if (s.kind != SegmentKind::Icc) continue;
            std::array<uint8_t, 2> seqCount{};
            if (s.contentSize() < 2 || !source.read(s.contentOffset(), seqCount))
                return Error::Malformed;
            if (seqCount[0] == 0 || seqCount[0] > seqCount[1]) return Error::Malformed;
            if (count != 0 && seqCount[1] != count) return Error::Malformed;
            count = seqCount[1];
            if (!chunks.emplace(seqCount[0], &s).second) return Error::Malformed;
        }
        if (chunks.empty()) return Error::NotFound;
        if (chunks.size() != count) return Error::Malformed;
        std::vector<uint8_t> profile;
        for (const auto& [seq, s] : chunks) {
            const size_t at = profile.size();
            profile.resize(at + s->contentSize() - 2);
            if (!source.read(s->contentOffset() + 2, std::span(profile).subspan(at)))
                return Error::Truncated;
        }
        return profile;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Result<std::string> assembleExtendedXmp(const ByteSource& source, const JpegLayout& layout,
                                        std::string_view guid)
{
    // Each chunk: GUID (32 ASCII hex digits), full length, offset of this piece, then the piece.
    constexpr uint32_t kHeader = 32 + 4 + 4;
    struct Piece {
        uint32_t length; // the full length this chunk announces
        uint32_t offset;
        uint64_t dataOffset;
        uint32_t size;
    };
    try {
        std::string wanted(guid);
        std::vector<Piece> pieces;
        for (const Segment& s : layout.segments) {
            if (s.kind != SegmentKind::ExtendedXmp || s.contentSize() < kHeader) continue;
            std::array<uint8_t, kHeader> h{};
            if (!source.read(s.contentOffset(), h)) return Error::Truncated;
            const std::string chunkGuid(reinterpret_cast<const char*>(h.data()), 32);
            if (wanted.empty()) wanted = chunkGuid;
            if (chunkGuid != wanted) continue;
            Piece p{detail::load32(h.data() + 32, ByteOrder::BigEndian),
                    detail::load32(h.data() + 36, ByteOrder::BigEndian),
                    s.contentOffset() + kHeader, s.contentSize() - kHeader};
            // A chunk reaching past the length it announces is left out.
            if (detail::inBounds(p.offset, p.size, p.length)) pieces.push_back(p);
        }
        if (pieces.empty()) return Error::NotFound;
        std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
            return a.length != b.length ? a.length < b.length : a.offset < b.offset;
        });
        // Chunks that disagree on the full length are told apart by it: the first length whose
        // pieces cover it completely wins, so a stray chunk cannot spoil good ones.
        for (size_t first = 0; first < pieces.size();) {
            size_t last = first;
            uint64_t covered = 0;
            bool hole = false;
            const uint32_t fullLength = pieces[first].length;
            for (; last < pieces.size() && pieces[last].length == fullLength; ++last) {
                if (pieces[last].offset > covered) hole = true;
                covered =
                    std::max<uint64_t>(covered, uint64_t{pieces[last].offset} + pieces[last].size);
            }
            // Only a length the pieces present really cover is ever allocated.
            if (!hole && covered == fullLength) {
                std::string packet(fullLength, '\0');
                for (size_t i = first; i < last; ++i) {
                    const Piece& p = pieces[i];
                    auto dest =
                        std::span(reinterpret_cast<uint8_t*>(packet.data()) + p.offset, p.size);
                    if (!source.read(p.dataOffset, dest)) return Error::Truncated;
                }
                return packet;
            }
            first = last;
        }
        return Error::Truncated;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Result<std::vector<uint8_t>> assemblePhotoshop(const ByteSource& source, const JpegLayout& layout)
{
    try {
        std::vector<uint8_t> block;
        bool found = false;
        for (const Segment& s : layout.segments) {
            if (s.kind != SegmentKind::Photoshop) continue;
            found = true;
            const size_t at = block.size();
            block.resize(at + s.contentSize());
            if (!source.read(s.contentOffset(), std::span(block).subspan(at)))
                return Error::Truncated;
        }
        if (!found) return Error::NotFound;
        return block;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Result<JfifHeader> parseJfif(std::span<const uint8_t> c)
{
    if (c.size() < 9) return Error::Truncated;
    JfifHeader h;
    h.version = detail::load16(c.data(), ByteOrder::BigEndian);
    h.units = c[2];
    h.xDensity = detail::load16(c.data() + 3, ByteOrder::BigEndian);
    h.yDensity = detail::load16(c.data() + 5, ByteOrder::BigEndian);
    h.thumbWidth = c[7];
    h.thumbHeight = c[8];
    const size_t thumbBytes = size_t{h.thumbWidth} * h.thumbHeight * 3; // at most 195075
    if (c.size() - 9 < thumbBytes) return Error::Truncated;
    try {
        h.thumbnail.assign(c.begin() + 9, c.begin() + 9 + static_cast<ptrdiff_t>(thumbBytes));
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
    return h;
}

Result<std::vector<std::vector<uint8_t>>> photoshopSegmentPayloads(std::span<const uint8_t> block)
{
    constexpr size_t kRoom = kMaxSegmentPayload - kPhotoshopSignature.size();
    try {
        std::vector<std::vector<uint8_t>> out;
        size_t pos = 0;
        do {
            const size_t n = std::min(kRoom, block.size() - pos);
            std::vector<uint8_t> p(kPhotoshopSignature.begin(), kPhotoshopSignature.end());
            p.insert(p.end(), block.begin() + static_cast<ptrdiff_t>(pos),
                     block.begin() + static_cast<ptrdiff_t>(pos + n));
            out.push_back(std::move(p));
            pos += n;
        } while (pos < block.size());
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Result<std::vector<uint8_t>> rebuildHead(const ByteSource& source, const JpegLayout& layout,
                                         std::span<const SegmentChange> changes)
{
    if (layout.end != WalkEnd::StartOfScan || layout.segments.empty()) return Error::Truncated;
    const size_t count = layout.segments.size();
    for (const SegmentChange& c : changes) {
        if (c.index >= count) return Error::OutOfBounds;
        if (c.payload.size() > kMaxSegmentPayload) return Error::TooLarge;
        // The scan header stays where it is: it is not part of the head.
        if (c.action != SegmentChange::Action::InsertBefore && c.index == count - 1)
            return Error::Malformed;
        if (c.action == SegmentChange::Action::InsertBefore &&
            (c.marker < 0xC0 || c.marker == kMarkerSos || c.marker == kMarkerSoi ||
             c.marker == kMarkerEoi || isStandalone(c.marker)))
            return Error::Malformed;
    }
    try {
        std::vector<uint8_t> out{0xFF, kMarkerSoi};
        auto emit = [&](uint8_t marker, std::span<const uint8_t> payload) {
            out.push_back(0xFF);
            out.push_back(marker);
            detail::append16(out, static_cast<uint16_t>(payload.size() + 2), ByteOrder::BigEndian);
            out.insert(out.end(), payload.begin(), payload.end());
        };
        for (size_t i = 0; i + 1 < count; ++i) {
            bool removed = false;
            const SegmentChange* replacement = nullptr;
            for (const SegmentChange& c : changes) {
                if (c.index != i) continue;
                if (c.action == SegmentChange::Action::InsertBefore)
                    emit(c.marker, c.payload);
                else if (c.action == SegmentChange::Action::Remove)
                    removed = true;
                else
                    replacement = &c;
            }
            const Segment& s = layout.segments[i];
            if (removed) continue;
            if (replacement) {
                emit(s.marker, replacement->payload);
                continue;
            }
            auto payload = readPayload(source, s);
            if (!payload) return payload.error();
            emit(s.marker, *payload);
        }
        for (const SegmentChange& c : changes)
            if (c.index == count - 1 && c.action == SegmentChange::Action::InsertBefore)
                emit(c.marker, c.payload);
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Result<std::vector<InPlaceWrite>> planInPlace(const JpegLayout& layout,
                                              std::span<const SegmentChange> changes)
{
    try {
        std::vector<InPlaceWrite> writes;
        for (const SegmentChange& c : changes) {
            if (c.action != SegmentChange::Action::Replace) return Error::TooLarge;
            if (c.index >= layout.segments.size()) return Error::OutOfBounds;
            const Segment& s = layout.segments[c.index];
            if (s.kind == SegmentKind::StartOfScan) return Error::Malformed;
            if (c.payload.size() != s.payloadSize) return Error::TooLarge;
            writes.push_back({s.payloadOffset, c.payload});
        }
        return writes;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

} // namespace mio::formats
