// SPDX-License-Identifier: MIT
// TIFF/EXIF IFD writer: lays out IFD0, Exif, Interop, GPS and IFD1 with optional padding.
#include "mio/formats/tiff_ifd.h"

#include "byte_io.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace mio::formats {

namespace {

using detail::store16;
using detail::store32;

struct Encoded {
    uint16_t type = 0;
    uint32_t count = 0;
    std::vector<uint8_t> bytes;
};

template <class T, class Store>
void encodeEach(const std::vector<T>& v, size_t size, std::vector<uint8_t>& out, Store store)
{
    out.resize(v.size() * size);
    for (size_t i = 0; i < v.size(); ++i)
        store(out.data() + i * size, v[i]);
}

Result<Encoded> encode(const IfdEntry& entry, ByteOrder order)
{
    const TagValue& value = entry.value;
    Encoded e;
    e.type = static_cast<uint16_t>(fieldTypeFor(value.type));
    if (value.type == ValueType::UI4 && entry.type == static_cast<uint16_t>(FieldType::Ifd))
        e.type = entry.type;
    auto& out = e.bytes;
    auto rational = [&](uint8_t* p, uint64_t packed) {
        store32(p, static_cast<uint32_t>(packed), order);
        store32(p + 4, static_cast<uint32_t>(packed >> 32), order);
    };
    bool matched = std::visit(
        [&](const auto& v) -> bool {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>) {
                if (value.type != ValueType::LpStr) return false;
                out.assign(v.begin(), v.end());
                out.push_back(0);
            } else if constexpr (std::is_same_v<V, std::u16string>) {
                if (value.type != ValueType::LpWStr) return false;
                const char code[] = "UNICODE";
                out.assign(code, code + 8);
                for (char16_t c : v)
                    detail::append16(out, c, order);
            } else if constexpr (std::is_same_v<V, std::vector<uint8_t>>) {
                if (value.type != ValueType::UI1 && value.type != ValueType::Blob) return false;
                out = v;
            } else if constexpr (std::is_same_v<V, std::vector<int8_t>>) {
                if (value.type != ValueType::I1) return false;
                out.assign(reinterpret_cast<const uint8_t*>(v.data()),
                           reinterpret_cast<const uint8_t*>(v.data()) + v.size());
            } else if constexpr (std::is_same_v<V, std::vector<uint16_t>> ||
                                 std::is_same_v<V, std::vector<int16_t>>) {
                if (value.type != ValueType::UI2 && value.type != ValueType::I2) return false;
                encodeEach(v, 2, out, [&](uint8_t* p, auto x) {
                    store16(p, static_cast<uint16_t>(x), order);
                });
            } else if constexpr (std::is_same_v<V, std::vector<uint32_t>> ||
                                 std::is_same_v<V, std::vector<int32_t>>) {
                if (value.type != ValueType::UI4 && value.type != ValueType::I4) return false;
                encodeEach(v, 4, out, [&](uint8_t* p, auto x) {
                    store32(p, static_cast<uint32_t>(x), order);
                });
            } else if constexpr (std::is_same_v<V, std::vector<uint64_t>> ||
                                 std::is_same_v<V, std::vector<int64_t>>) {
                if (value.type != ValueType::UI8 && value.type != ValueType::I8) return false;
                encodeEach(v, 8, out,
                           [&](uint8_t* p, auto x) { rational(p, static_cast<uint64_t>(x)); });
            } else if constexpr (std::is_same_v<V, std::vector<float>>) {
                if (value.type != ValueType::R4) return false;
                encodeEach(v, 4, out, [&](uint8_t* p, float x) {
                    uint32_t bits;
                    std::memcpy(&bits, &x, 4);
                    store32(p, bits, order);
                });
            } else if constexpr (std::is_same_v<V, std::vector<double>>) {
                if (value.type != ValueType::R8) return false;
                encodeEach(v, 8, out, [&](uint8_t* p, double x) {
                    uint64_t bits;
                    std::memcpy(&bits, &x, 8);
                    const auto hi = static_cast<uint32_t>(bits >> 32);
                    const auto lo = static_cast<uint32_t>(bits);
                    const bool be = order == ByteOrder::BigEndian;
                    store32(p, be ? hi : lo, order);
                    store32(p + 4, be ? lo : hi, order);
                });
            }
            return true;
        },
        value.data);
    if (!matched) return Error::Malformed;
    if (out.size() > UINT32_MAX) return Error::TooLarge;
    e.count = static_cast<uint32_t>(out.size() / fieldTypeSize(e.type));
    return e;
}

class Writer {
  public:
    explicit Writer(ByteOrder order) : m_order(order) {}

    // Writes one IFD at the current end; returns its offset. Pointer entries get their value
    // field recorded in `pointers` (tag -> position) to be patched later.
    Result<uint32_t> write(const Ifd& ifd, std::span<const uint16_t> pointerTags, uint32_t padding,
                           std::vector<std::pair<uint16_t, size_t>>& pointers, size_t& nextField)
    {
        std::vector<const IfdEntry*> entries;
        for (const IfdEntry& e : ifd.entries) {
            const bool isPointer =
                std::find(pointerTags.begin(), pointerTags.end(), e.tag) != pointerTags.end();
            // Offsets into data this writer does not carry would point at the wrong bytes; a
            // thumbnail length only means something next to the IFD1 offset it belongs to.
            const bool staleOffset = e.tag == kTagSubIfds || e.tag == kTagExifIfd ||
                                     e.tag == kTagGpsIfd || e.tag == kTagInteropIfd ||
                                     e.tag == kTagThumbnailOffset;
            const bool thumbLength = ifd.kind == IfdKind::Ifd1 && e.tag == kTagThumbnailLength;
            if (isPointer || staleOffset || thumbLength) continue;
            entries.push_back(&e);
        }
        std::vector<IfdEntry> pointerEntries;
        for (uint16_t tag : pointerTags) {
            IfdEntry p;
            p.tag = tag;
            p.value = TagValue::u32({0});
            pointerEntries.push_back(std::move(p));
        }
        for (const IfdEntry& p : pointerEntries)
            entries.push_back(&p);
        std::stable_sort(entries.begin(), entries.end(),
                         [](const IfdEntry* a, const IfdEntry* b) { return a->tag < b->tag; });
        if (entries.size() > 0xFFFF) return Error::TooMany;

        alignEven();
        const size_t start = m_out.size();
        const size_t tableSize = 2 + 12 * entries.size() + 4;
        m_out.resize(start + tableSize);
        store16(m_out.data() + start, static_cast<uint16_t>(entries.size()), m_order);
        for (size_t i = 0; i < entries.size(); ++i) {
            auto enc = encode(*entries[i], m_order);
            if (!enc) return enc.error();
            const size_t at = start + 2 + 12 * i;
            store16(m_out.data() + at, entries[i]->tag, m_order);
            store16(m_out.data() + at + 2, enc->type, m_order);
            store32(m_out.data() + at + 4, enc->count, m_order);
            if (std::find(pointerTags.begin(), pointerTags.end(), entries[i]->tag) !=
                pointerTags.end())
                pointers.emplace_back(entries[i]->tag, at + 8);
            if (enc->bytes.size() <= 4) {
                std::copy(enc->bytes.begin(), enc->bytes.end(), m_out.begin() + at + 8);
            } else {
                alignEven();
                const size_t valueAt = m_out.size();
                if (valueAt > UINT32_MAX) return Error::TooLarge;
                store32(m_out.data() + at + 8, static_cast<uint32_t>(valueAt), m_order);
                m_out.insert(m_out.end(), enc->bytes.begin(), enc->bytes.end());
            }
        }
        nextField = start + tableSize - 4;
        m_out.resize(m_out.size() + padding);
        if (m_out.size() > UINT32_MAX) return Error::TooLarge;
        return static_cast<uint32_t>(start);
    }

    void patch(size_t at, uint32_t value) { store32(m_out.data() + at, value, m_order); }
    void alignEven()
    {
        if (m_out.size() & 1) m_out.push_back(0);
    }
    std::vector<uint8_t>& bytes() { return m_out; }

  private:
    ByteOrder m_order;
    std::vector<uint8_t> m_out;
};

} // namespace

Result<std::vector<uint8_t>> writeTiff(const TiffTree& tree, const TiffWriteOptions& options)
{
    try {
        Writer w(options.order);
        auto& out = w.bytes();
        if (options.order == ByteOrder::LittleEndian)
            out = {'I', 'I', 42, 0, 8, 0, 0, 0};
        else
            out = {'M', 'M', 0, 42, 0, 0, 0, 8};

        std::vector<std::pair<uint16_t, size_t>> pointers;
        size_t next0 = 0, nextUnused = 0;
        std::vector<uint16_t> ifd0Pointers;
        if (tree.exif) ifd0Pointers.push_back(kTagExifIfd);
        if (tree.gps) ifd0Pointers.push_back(kTagGpsIfd);
        auto ifd0 = w.write(tree.ifd0, ifd0Pointers, options.ifd0Padding, pointers, next0);
        if (!ifd0) return ifd0.error();

        auto patchPointer = [&](uint16_t tag, uint32_t offset) {
            for (const auto& [t, at] : pointers)
                if (t == tag) w.patch(at, offset);
        };
        if (tree.exif) {
            std::vector<uint16_t> exifPointers;
            if (tree.interop) exifPointers.push_back(kTagInteropIfd);
            auto exif =
                w.write(*tree.exif, exifPointers, options.exifPadding, pointers, nextUnused);
            if (!exif) return exif.error();
            patchPointer(kTagExifIfd, *exif);
            if (tree.interop) {
                auto interop = w.write(*tree.interop, {}, 0, pointers, nextUnused);
                if (!interop) return interop.error();
                patchPointer(kTagInteropIfd, *interop);
            }
        }
        if (tree.gps) {
            auto gps = w.write(*tree.gps, {}, options.gpsPadding, pointers, nextUnused);
            if (!gps) return gps.error();
            patchPointer(kTagGpsIfd, *gps);
        }
        if (tree.ifd1) {
            std::vector<uint16_t> thumbPointers;
            if (!tree.thumbnail.empty()) thumbPointers = {kTagThumbnailOffset, kTagThumbnailLength};
            auto ifd1 = w.write(*tree.ifd1, thumbPointers, 0, pointers, nextUnused);
            if (!ifd1) return ifd1.error();
            w.patch(next0, *ifd1);
            if (!tree.thumbnail.empty()) {
                w.alignEven();
                if (out.size() + tree.thumbnail.size() > UINT32_MAX) return Error::TooLarge;
                patchPointer(kTagThumbnailOffset, static_cast<uint32_t>(out.size()));
                patchPointer(kTagThumbnailLength, static_cast<uint32_t>(tree.thumbnail.size()));
                out.insert(out.end(), tree.thumbnail.begin(), tree.thumbnail.end());
            }
        }
        return std::move(out);
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

} // namespace mio::formats
