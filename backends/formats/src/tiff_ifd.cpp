// SPDX-License-Identifier: MIT
// Bounded TIFF/EXIF IFD reader: every offset and count is checked against the buffer.
#include "mio/formats/tiff_ifd.h"

#include "byte_io.h"

#include <algorithm>
#include <new>
#include <set>

namespace mio::formats {

uint32_t fieldTypeSize(uint16_t type) noexcept
{
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
        return 1;
    case 3:
    case 8:
        return 2;
    case 4:
    case 9:
    case 11:
    case 13:
        return 4;
    case 5:
    case 10:
    case 12:
        return 8;
    default:
        return 0;
    }
}

FieldType fieldTypeFor(ValueType type) noexcept
{
    switch (type) {
    case ValueType::UI1:
        return FieldType::Byte;
    case ValueType::LpStr:
        return FieldType::Ascii;
    case ValueType::UI2:
        return FieldType::Short;
    case ValueType::UI4:
        return FieldType::Long;
    case ValueType::UI8:
        return FieldType::Rational;
    case ValueType::I1:
        return FieldType::SByte;
    case ValueType::I2:
        return FieldType::SShort;
    case ValueType::I4:
        return FieldType::SLong;
    case ValueType::I8:
        return FieldType::SRational;
    case ValueType::R4:
        return FieldType::Float;
    case ValueType::R8:
        return FieldType::Double;
    case ValueType::Blob:
    case ValueType::LpWStr:
        return FieldType::Undefined;
    }
    return FieldType::Undefined;
}

size_t TagValue::size() const
{
    return std::visit([](const auto& v) { return v.size(); }, data);
}

TagValue TagValue::text(std::string s)
{
    return {ValueType::LpStr, false, std::move(s)};
}
TagValue TagValue::blob(std::vector<uint8_t> b)
{
    return {ValueType::Blob, false, std::move(b)};
}
TagValue TagValue::u8(std::vector<uint8_t> v)
{
    const bool vec = v.size() > 1;
    return {ValueType::UI1, vec, std::move(v)};
}
TagValue TagValue::u16(std::vector<uint16_t> v)
{
    const bool vec = v.size() > 1;
    return {ValueType::UI2, vec, std::move(v)};
}
TagValue TagValue::u32(std::vector<uint32_t> v)
{
    const bool vec = v.size() > 1;
    return {ValueType::UI4, vec, std::move(v)};
}
TagValue TagValue::rational(std::vector<uint64_t> v)
{
    const bool vec = v.size() > 1;
    return {ValueType::UI8, vec, std::move(v)};
}
TagValue TagValue::srational(std::vector<int64_t> v)
{
    const bool vec = v.size() > 1;
    return {ValueType::I8, vec, std::move(v)};
}

const IfdEntry* Ifd::find(uint16_t tag) const
{
    for (const IfdEntry& e : entries)
        if (e.tag == tag) return &e;
    return nullptr;
}

IfdEntry* Ifd::find(uint16_t tag)
{
    for (IfdEntry& e : entries)
        if (e.tag == tag) return &e;
    return nullptr;
}

namespace {

using detail::load16;
using detail::load32;
using detail::load64;

template <class T, class Load>
std::vector<T> loadAll(const uint8_t* p, uint32_t count, uint32_t size, Load load)
{
    std::vector<T> out(count);
    for (uint32_t i = 0; i < count; ++i)
        out[i] = load(p + size_t{i} * size);
    return out;
}

// UserComment: an 8-byte character code, then the text. Trailing NULs are dropped.
std::u16string decodeUserComment(const uint8_t* p, uint32_t count, ByteOrder order)
{
    std::u16string out;
    if (count < 8) return out;
    const std::string_view code(reinterpret_cast<const char*>(p), 8);
    const uint8_t* text = p + 8;
    const uint32_t n = count - 8;
    if (code == std::string_view("UNICODE\0", 8)) {
        ByteOrder o = order;
        uint32_t start = 0;
        if (n >= 2 &&
            ((text[0] == 0xFE && text[1] == 0xFF) || (text[0] == 0xFF && text[1] == 0xFE))) {
            o = text[0] == 0xFE ? ByteOrder::BigEndian : ByteOrder::LittleEndian;
            start = 2;
        }
        for (uint32_t i = start; i + 1 < n; i += 2)
            out.push_back(load16(text + i, o));
    } else {
        // ASCII, JIS and undefined codes: bytes as Latin-1 code points.
        for (uint32_t i = 0; i < n; ++i)
            out.push_back(text[i]);
    }
    while (!out.empty() && out.back() == 0)
        out.pop_back();
    return out;
}

TagValue decodeValue(uint16_t type, const uint8_t* p, uint32_t count, ByteOrder order)
{
    auto vec = [&](ValueType vt, ValueData d) { return TagValue{vt, count > 1, std::move(d)}; };
    switch (type) {
    case 1:
        return vec(ValueType::UI1, std::vector<uint8_t>(p, p + count));
    case 2: {
        const auto* c = reinterpret_cast<const char*>(p);
        return TagValue::text(std::string(c, std::find(c, c + count, '\0')));
    }
    case 3:
        return vec(ValueType::UI2, loadAll<uint16_t>(p, count, 2, [&](const uint8_t* q) {
                       return load16(q, order);
                   }));
    case 4:
    case 13:
        return vec(ValueType::UI4, loadAll<uint32_t>(p, count, 4, [&](const uint8_t* q) {
                       return load32(q, order);
                   }));
    case 5:
        return vec(ValueType::UI8, loadAll<uint64_t>(p, count, 8, [&](const uint8_t* q) {
                       return packRational(load32(q, order), load32(q + 4, order));
                   }));
    case 6:
        return vec(ValueType::I1, loadAll<int8_t>(p, count, 1, [](const uint8_t* q) {
                       return static_cast<int8_t>(*q);
                   }));
    case 7:
        return TagValue::blob(std::vector<uint8_t>(p, p + count));
    case 8:
        return vec(ValueType::I2, loadAll<int16_t>(p, count, 2, [&](const uint8_t* q) {
                       return static_cast<int16_t>(load16(q, order));
                   }));
    case 9:
        return vec(ValueType::I4, loadAll<int32_t>(p, count, 4, [&](const uint8_t* q) {
                       return static_cast<int32_t>(load32(q, order));
                   }));
    case 10:
        return vec(ValueType::I8, loadAll<int64_t>(p, count, 8, [&](const uint8_t* q) {
                       return static_cast<int64_t>(
                           packRational(load32(q, order), load32(q + 4, order)));
                   }));
    case 11:
        return vec(ValueType::R4, loadAll<float>(p, count, 4, [&](const uint8_t* q) {
                       const uint32_t bits = load32(q, order);
                       float f;
                       std::memcpy(&f, &bits, 4);
                       return f;
                   }));
    case 12:
        return vec(ValueType::R8, loadAll<double>(p, count, 8, [&](const uint8_t* q) {
                       const uint64_t bits = load64(q, order);
                       double d;
                       std::memcpy(&d, &bits, 8);
                       return d;
                   }));
    default:
        return {};
    }
}

class TreeReader {
  public:
    TreeReader(std::span<const uint8_t> tiff, ByteOrder order, const TiffOptions& options,
               std::vector<IfdProblem>* problems)
        : m_tiff(tiff), m_order(order), m_options(options), m_problems(problems),
          // Honest files decode to about their own size; overlapping references to one
          // large area must not multiply it.
          m_valueBudget(
              std::min<uint64_t>(options.maxValueBytes, 2 * uint64_t{tiff.size()} + 65536))
    {
    }

    Result<Ifd> read(uint32_t offset, IfdKind kind)
    {
        if (!m_visited.insert(offset).second) return Error::Loop;
        // Entry table: count, 12 bytes per entry, then the 4-byte link.
        if (!detail::inBounds(offset, 2, m_tiff.size())) return Error::OutOfBounds;
        const uint16_t count = load16(m_tiff.data() + offset, m_order);
        if (count > m_options.maxEntriesPerIfd) return Error::TooMany;
        const uint64_t tableEnd = uint64_t{offset} + 2 + 12ull * count;
        if (tableEnd > m_tiff.size()) return Error::Truncated;

        Ifd ifd;
        ifd.kind = kind;
        ifd.offset = offset;
        ifd.entries.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t at = offset + 2 + 12 * i;
            const uint8_t* e = m_tiff.data() + at;
            IfdEntry entry;
            entry.tag = load16(e, m_order);
            entry.type = load16(e + 2, m_order);
            entry.count = load32(e + 4, m_order);
            const uint32_t size = fieldTypeSize(entry.type);
            if (size == 0) {
                problem(kind, entry.tag, Error::Malformed);
                continue;
            }
            const uint64_t bytes = uint64_t{entry.count} * size; // cannot overflow 64 bits
            entry.valueOffset = bytes <= 4 ? at + 8 : load32(e + 8, m_order);
            if (!detail::inBounds(entry.valueOffset, bytes, m_tiff.size())) {
                problem(kind, entry.tag, Error::OutOfBounds);
                continue;
            }
            // Decoded values may take more memory than the bytes they come from (a byte
            // count of rationals decodes to the same size, shorts to their own size...):
            // cap the total so repeated references to one large area cannot blow up.
            if (bytes > m_valueBudget - m_valueBytes) {
                problem(kind, entry.tag, Error::TooLarge);
                continue;
            }
            m_valueBytes += bytes;
            const uint8_t* p = m_tiff.data() + entry.valueOffset;
            if (kind == IfdKind::Exif && entry.tag == kTagUserComment && entry.type == 7)
                entry.value = {ValueType::LpWStr, false,
                               decodeUserComment(p, entry.count, m_order)};
            else
                entry.value = decodeValue(entry.type, p, entry.count, m_order);
            ifd.entries.push_back(std::move(entry));
        }
        ifd.endOffset = static_cast<uint32_t>(tableEnd);
        if (tableEnd + 4 <= m_tiff.size()) {
            ifd.nextOffset = load32(m_tiff.data() + tableEnd, m_order);
            ifd.endOffset += 4;
        }
        return ifd;
    }

    // A child IFD named by a pointer tag of `parent`; problems are recorded, not fatal.
    std::optional<Ifd> child(const Ifd& parent, uint16_t tag, IfdKind kind)
    {
        const IfdEntry* e = parent.find(tag);
        if (!e) return std::nullopt;
        const auto* offsets = std::get_if<std::vector<uint32_t>>(&e->value.data);
        if (!offsets || offsets->empty()) {
            problem(kind, 0, Error::Malformed);
            return std::nullopt;
        }
        auto ifd = read((*offsets)[0], kind);
        if (!ifd) {
            problem(kind, 0, ifd.error());
            return std::nullopt;
        }
        return std::move(*ifd);
    }

    void problem(IfdKind kind, uint16_t tag, Error error)
    {
        if (m_problems) m_problems->push_back({kind, tag, error});
    }

    std::set<uint32_t>& visited() { return m_visited; }

  private:
    std::span<const uint8_t> m_tiff;
    ByteOrder m_order;
    const TiffOptions& m_options;
    std::vector<IfdProblem>* m_problems;
    std::set<uint32_t> m_visited;
    uint64_t m_valueBudget;
    uint64_t m_valueBytes = 0;
};

} // namespace

Result<Ifd> parseIfd(std::span<const uint8_t> tiff, ByteOrder order, uint32_t offset, IfdKind kind,
                     const TiffOptions& options)
{
    try {
        TreeReader reader(tiff, order, options, nullptr);
        return reader.read(offset, kind);
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Result<TiffTree> parseTiff(std::span<const uint8_t> tiff, const TiffOptions& options)
{
    if (tiff.size() < 8) return Error::Truncated;
    TiffTree tree;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        tree.order = ByteOrder::LittleEndian;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        tree.order = ByteOrder::BigEndian;
    else
        return Error::NotRecognised;
    if (load16(tiff.data() + 2, tree.order) != 42) return Error::NotRecognised;

    try {
        TreeReader reader(tiff, tree.order, options, &tree.problems);
        auto ifd0 = reader.read(load32(tiff.data() + 4, tree.order), IfdKind::Ifd0);
        if (!ifd0) return ifd0.error();
        tree.ifd0 = std::move(*ifd0);

        tree.exif = reader.child(tree.ifd0, kTagExifIfd, IfdKind::Exif);
        tree.gps = reader.child(tree.ifd0, kTagGpsIfd, IfdKind::Gps);
        if (tree.exif) tree.interop = reader.child(*tree.exif, kTagInteropIfd, IfdKind::Interop);

        if (options.readSubIfds) {
            if (const IfdEntry* e = tree.ifd0.find(kTagSubIfds)) {
                if (const auto* offs = std::get_if<std::vector<uint32_t>>(&e->value.data)) {
                    for (size_t i = 0; i < offs->size() && i < options.maxSubIfds; ++i) {
                        auto sub = reader.read((*offs)[i], IfdKind::SubIfd);
                        if (sub)
                            tree.subIfds.push_back(std::move(*sub));
                        else
                            reader.problem(IfdKind::SubIfd, 0, sub.error());
                    }
                }
            }
        }

        if (tree.ifd0.nextOffset != 0) {
            auto ifd1 = reader.read(tree.ifd0.nextOffset, IfdKind::Ifd1);
            if (ifd1)
                tree.ifd1 = std::move(*ifd1);
            else
                reader.problem(IfdKind::Ifd1, 0, ifd1.error());
        }
        if (tree.ifd1) {
            const IfdEntry* off = tree.ifd1->find(kTagThumbnailOffset);
            const IfdEntry* len = tree.ifd1->find(kTagThumbnailLength);
            const auto* o = off ? std::get_if<std::vector<uint32_t>>(&off->value.data) : nullptr;
            const auto* l = len ? std::get_if<std::vector<uint32_t>>(&len->value.data) : nullptr;
            // Lengths stored as SHORT decode to 16-bit values.
            const auto* l16 = len ? std::get_if<std::vector<uint16_t>>(&len->value.data) : nullptr;
            if (o && !o->empty() && ((l && !l->empty()) || (l16 && !l16->empty()))) {
                const uint32_t length = l && !l->empty() ? (*l)[0] : (*l16)[0];
                if (detail::inBounds((*o)[0], length, tiff.size())) {
                    tree.thumbnailOffset = (*o)[0];
                    tree.thumbnail.assign(tiff.begin() + (*o)[0], tiff.begin() + (*o)[0] + length);
                } else {
                    reader.problem(IfdKind::Ifd1, kTagThumbnailOffset, Error::OutOfBounds);
                }
            }
        }
        return tree;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

} // namespace mio::formats
