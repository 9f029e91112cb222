// SPDX-License-Identifier: MIT
// Minimal CIFF heap walker: finds the make/model and shot-information records.
#include "ciff_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace mio {
namespace {

constexpr uint32_t kHeaderSize = 26; // byte order, header length, "HEAPCCDR", version, reserved
constexpr int kMaxDepth = 6;
constexpr int kMaxEntries = 4096;
constexpr uint16_t kMakeModel = 0x080A;
constexpr uint16_t kShotInfo = 0x102A;
constexpr size_t kShotInfoFNumber = 21;      // int16 index, 1/32 EV (aperture value)
constexpr size_t kShotInfoExposureTime = 22; // int16 index, 1/32 EV (time value)

class CiffFile {
  public:
    CiffFile(int fd, uint64_t size, bool bigEndian) : m_fd(fd), m_size(size), m_big(bigEndian) {}

    bool read(uint64_t offset, void* out, size_t bytes) const
    {
        if (offset > m_size || bytes > m_size - offset) return false;
        return pread(m_fd, out, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
    }
    std::optional<uint32_t> u32(uint64_t offset) const
    {
        uint8_t b[4];
        if (!read(offset, b, 4)) return std::nullopt;
        return m_big ? (uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3])
                     : (uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 | b[0]);
    }
    std::optional<uint16_t> u16(uint64_t offset) const
    {
        uint8_t b[2];
        if (!read(offset, b, 2)) return std::nullopt;
        return static_cast<uint16_t>(m_big ? (b[0] << 8 | b[1]) : (b[1] << 8 | b[0]));
    }

    // Walks the heap occupying [start, start + length).
    void walk(uint64_t start, uint64_t length, int depth, CiffShootingData& out)
    {
        if (depth > kMaxDepth || length < 6) return;
        const auto tableOffset = u32(start + length - 4);
        if (!tableOffset || *tableOffset > length - 6) return;
        const uint64_t table = start + *tableOffset;
        const auto count = u16(table);
        if (!count) return;
        for (uint32_t i = 0; i < *count; ++i) {
            if (++m_entries > kMaxEntries) return;
            const uint64_t entry = table + 2 + 10 * uint64_t{i};
            if (entry + 10 > start + length) return;
            const auto type = u16(entry);
            const auto size = u32(entry + 2);
            const auto offset = u32(entry + 6);
            if (!type || !size || !offset) return;
            if ((*type >> 14) != 0) continue; // value stored in the entry itself
            if (*offset > length || *size > length - *offset) continue;
            const uint64_t data = start + *offset;
            const uint16_t storage = *type & 0x3800;
            if (storage == 0x2800 || storage == 0x3000)
                walk(data, *size, depth + 1, out);
            else if ((*type & 0x3FFF) == kMakeModel)
                takeMakeModel(data, *size, out);
            else if ((*type & 0x3FFF) == kShotInfo)
                takeShotInfo(data, *size, out);
        }
    }

  private:
    void takeMakeModel(uint64_t data, uint32_t size, CiffShootingData& out) const
    {
        char text[128] = {};
        const size_t bytes = std::min<size_t>(size, sizeof text - 1);
        if (out.make || !read(data, text, bytes)) return;
        const size_t makeLength = strnlen(text, bytes);
        out.make = std::string(text, makeLength);
        if (makeLength + 1 < bytes)
            out.model = std::string(text + makeLength + 1,
                                    strnlen(text + makeLength + 1, bytes - makeLength - 1));
    }

    void takeShotInfo(uint64_t data, uint32_t size, CiffShootingData& out) const
    {
        auto value = [&](size_t index) -> std::optional<int> {
            if ((index + 1) * 2 > size) return std::nullopt;
            const auto raw = u16(data + 2 * index);
            if (!raw || *raw == 0) return std::nullopt; // 0 records no value
            return static_cast<int16_t>(*raw);
        };
        if (const auto av = value(kShotInfoFNumber); av && !out.fNumber)
            out.fNumber = std::exp2(canonEv(*av) / 2);
        if (const auto tv = value(kShotInfoExposureTime); tv && !out.exposureTime)
            out.exposureTime = std::exp2(-canonEv(*tv));
    }

    int m_fd;
    uint64_t m_size;
    bool m_big;
    int m_entries = 0;
};

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0) close(fd);
    }
};

} // namespace

double canonEv(int value)
{
    const int sign = value < 0 ? -1 : 1;
    const int magnitude = value < 0 ? -value : value;
    const int whole = magnitude & ~0x1F;
    double fraction = magnitude & 0x1F;
    if (fraction == 0x0C)
        fraction = 32.0 / 3;
    else if (fraction == 0x14)
        fraction = 64.0 / 3;
    return sign * (whole + fraction) / 32.0;
}

std::optional<CiffShootingData> readCiffShootingData(const std::string& fileName)
{
    FdCloser file{open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) return std::nullopt;
    const off_t end = lseek(file.fd, 0, SEEK_END);
    if (end < static_cast<off_t>(kHeaderSize)) return std::nullopt;
    uint8_t header[14];
    if (pread(file.fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header + 6, "HEAPCCDR", 8) != 0)
        return std::nullopt;
    const bool big = header[0] == 'M' && header[1] == 'M';
    if (!big && !(header[0] == 'I' && header[1] == 'I')) return std::nullopt;

    CiffFile ciff(file.fd, static_cast<uint64_t>(end), big);
    const auto headerLength = ciff.u32(2);
    if (!headerLength || *headerLength >= static_cast<uint64_t>(end)) return std::nullopt;
    CiffShootingData data;
    ciff.walk(*headerLength, static_cast<uint64_t>(end) - *headerLength, 0, data);
    return data;
}

} // namespace mio
