// SPDX-License-Identifier: MIT
// The EXIF reader's four calls over a read-only mapping of the file and the shared TIFF parser.
#include "contracts/exif_library.h"

#include "exif_locator.h"
#include "mio/formats/tiff_ifd.h"

#include <tavrel/platform/text.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>

struct ExifReaderState {
    ~ExifReaderState()
    {
        if (mapping) munmap(mapping, mappingSize);
    }
    void* mapping = nullptr;
    size_t mappingSize = 0;
    std::span<const uint8_t> tiff;
    std::optional<mio::formats::TiffTree> tree; // set when the file has a readable EXIF block
};

namespace {

// The file name as the file system spells it: the library takes ANSI in the active code page.
std::optional<std::string> fileSystemPath(LPCSTR ansi)
{
    auto wide = tavrel::toWide(ansi, CP_ACP);
    if (!wide) return std::nullopt;
    return tavrel::toMultiByte(*wide, CP_UTF8);
}

bool mapFile(const std::string& path, ExifReaderState& state)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
    if (ok) {
        const auto size = static_cast<size_t>(info.st_size);
        void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        ok = address != MAP_FAILED;
        if (ok) {
            state.mapping = address;
            state.mappingSize = size;
        }
    }
    close(fd);
    return ok;
}

const mio::formats::IfdEntry* findTag(const mio::formats::TiffTree& tree, int tagId)
{
    if (tagId < 0 || tagId > 0xFFFF) return nullptr;
    const auto tag = static_cast<uint16_t>(tagId);
    if (const auto* entry = tree.ifd0.find(tag)) return entry;
    if (tree.exif) return tree.exif->find(tag);
    return nullptr;
}

// Bytes of one number within a field of this type, for byte-order conversion (rationals are two
// 32-bit numbers).
size_t swapUnit(int type)
{
    constexpr int kFloat = 11, kDouble = 12, kIfd = 13;
    switch (type) {
    case ExifTypeShort:
    case ExifTypeSShort:
        return 2;
    case ExifTypeLong:
    case ExifTypeSLong:
    case ExifTypeRational:
    case ExifTypeSRational:
    case kFloat:
    case kIfd:
        return 4;
    case kDouble:
        return 8;
    default:
        return 1;
    }
}

bool hostIsBigEndian()
{
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 0;
}

// Fills the value record from the entry's raw bytes; false when they lie outside the block.
bool fillValue(const ExifReaderState& state, const mio::formats::IfdEntry& entry,
               ExifTagValue& value)
{
    const uint32_t unit = mio::formats::fieldTypeSize(entry.type);
    if (unit == 0) return false;
    const uint64_t total = uint64_t{entry.count} * unit;
    if (entry.valueOffset > state.tiff.size() || total > state.tiff.size() - entry.valueOffset)
        return false;
    auto bytes = state.tiff.subspan(entry.valueOffset, static_cast<size_t>(total));

    size_t length = bytes.size();
    size_t allocation = length;
    const int type = entry.type;
    const bool isText = type == ExifTypeAscii;
    if (isText) {
        const void* nul = std::memchr(bytes.data(), 0, bytes.size());
        if (nul) length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes.data());
        allocation = length + 1;
    } else if (type == ExifTypeShort || type == ExifTypeSShort || type == ExifTypeLong ||
               type == ExifTypeSLong) {
        if (entry.count == 0) return false;
        length = allocation = unit; // the first value only
    }
    if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max()) - 1) return false;

    auto* data = static_cast<BYTE*>(std::malloc(allocation == 0 ? 1 : allocation));
    if (!data) return false;
    std::memcpy(data, bytes.data(), length);
    if (isText) data[length] = 0;

    const size_t swap = swapUnit(type);
    const bool fileBigEndian = state.tree->order == mio::formats::ByteOrder::BigEndian;
    if (swap > 1 && fileBigEndian != hostIsBigEndian()) {
        for (size_t at = 0; at + swap <= length; at += swap) {
            for (size_t i = 0; i < swap / 2; ++i)
                std::swap(data[at + i], data[at + swap - 1 - i]);
        }
    }
    value.nType = type;
    value.nLength = static_cast<int32_t>(length);
    value.pData = data;
    return true;
}

} // namespace

TAVREL_API HEXIFREADER qExifLoadFile(LPCSTR pszFileName)
{
    if (!pszFileName) return nullptr;
    try {
        const auto path = fileSystemPath(pszFileName);
        if (!path) return nullptr;
        auto state = std::make_unique<ExifReaderState>();
        if (!mapFile(*path, *state)) return nullptr;
        const std::span<const uint8_t> file(static_cast<const uint8_t*>(state->mapping),
                                            state->mappingSize);
        const auto location = mio::exif::locateExif(file);
        if (location.container == mio::exif::Container::Unknown) return nullptr;
        if (!location.tiff.empty()) {
            mio::formats::TiffOptions options;
            options.readSubIfds = false;
            auto tree = mio::formats::parseTiff(location.tiff, options);
            if (tree) {
                state->tiff = location.tiff;
                state->tree = std::move(tree).value();
            }
        }
        return state.release();
    } catch (...) {
        return nullptr; // out of memory: no handle
    }
}

TAVREL_API int qExifIsExifExist(HEXIFREADER hExif)
{
    return hExif && hExif->tree ? 1 : 0;
}

TAVREL_API int qExifGetTag(HEXIFREADER hExif, int nTagId, ExifTagValue* pValue, int /*nReserved*/)
{
    if (!pValue) return 1;
    pValue->pData = nullptr;
    if (!hExif || !hExif->tree) return 1;
    const auto* entry = findTag(*hExif->tree, nTagId);
    if (!entry) return 1;
    return fillValue(*hExif, *entry, *pValue) ? 0 : 1;
}

TAVREL_API void qExifDestroy(HEXIFREADER hExif)
{
    delete hExif;
}
