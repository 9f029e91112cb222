// SPDX-License-Identifier: MIT
// ByteSource reads and the error texts.
#include "mio/formats/common.h"

#include <algorithm>
#include <cstring>

namespace mio::formats {

const char* errorText(Error error) noexcept
{
    switch (error) {
    case Error::None:
        return "no error";
    case Error::NotRecognised:
        return "not the expected format";
    case Error::Truncated:
        return "data ends early";
    case Error::OutOfBounds:
        return "offset or length outside the data";
    case Error::Loop:
        return "structure refers back to itself";
    case Error::TooMany:
        return "too many items";
    case Error::Malformed:
        return "malformed field";
    case Error::TooLarge:
        return "value too large for its place";
    case Error::NotFound:
        return "item not found";
    case Error::XmpFailure:
        return "XMP toolkit failure";
    case Error::OutOfMemory:
        return "out of memory";
    }
    return "unknown error";
}

size_t ByteSource::readSome(uint64_t offset, std::span<uint8_t> out) const
{
    if (m_inMemory) {
        if (offset >= m_bytes.size()) return 0;
        const size_t n = std::min<uint64_t>(out.size(), m_bytes.size() - offset);
        if (n) std::memcpy(out.data(), m_bytes.data() + offset, n);
        return n;
    }
    if (!m_read) return 0;
    size_t total = 0;
    // A callback may return short reads before the end; keep asking until it returns nothing.
    while (total < out.size()) {
        const size_t n = m_read(offset + total, out.subspan(total));
        if (n == 0 || n > out.size() - total) break;
        total += n;
    }
    return total;
}

bool ByteSource::read(uint64_t offset, std::span<uint8_t> out) const
{
    return readSome(offset, out) == out.size();
}

} // namespace mio::formats
