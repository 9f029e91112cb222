// SPDX-License-Identifier: MIT
// Photoshop image resource block parsing and writing.
#include "mio/formats/photoshop.h"

#include "byte_io.h"

#include <algorithm>
#include <new>

namespace mio::formats {

namespace {

constexpr auto kBE = ByteOrder::BigEndian;

bool knownSignature(uint32_t sig)
{
    // Photoshop writes 8BIM; older tools used these.
    return sig == kSignature8BIM || sig == 0x50485554 /* PHUT */ || sig == 0x41674867 /* AgHg */ ||
           sig == 0x44435352 /* DCSR */ || sig == 0x4D655361 /* MeSa */;
}

} // namespace

Result<std::vector<ImageResource>> parseImageResources(std::span<const uint8_t> block,
                                                       const ResourceParseOptions& options)
{
    try {
        std::vector<ImageResource> out;
        size_t pos = 0;
        while (pos < block.size()) {
            if (std::all_of(block.begin() + static_cast<ptrdiff_t>(pos), block.end(),
                            [](uint8_t b) { return b == 0; }))
                break;
            if (block.size() - pos < 4 + 2 + 2) return Error::Truncated;
            const uint32_t sig = detail::load32(block.data() + pos, kBE);
            if (!knownSignature(sig)) return Error::Malformed;
            if (out.size() >= options.maxResources) return Error::TooMany;
            ImageResource r;
            r.signature = sig;
            r.id = detail::load16(block.data() + pos + 4, kBE);
            pos += 6;
            // Pascal name: length byte and text, padded so the pair has an even size.
            const size_t nameLen = block[pos];
            const size_t nameField = (nameLen + 2) & ~size_t{1};
            if (block.size() - pos < nameField + 4) return Error::Truncated;
            r.name.assign(reinterpret_cast<const char*>(block.data() + pos + 1), nameLen);
            pos += nameField;
            const uint32_t size = detail::load32(block.data() + pos, kBE);
            pos += 4;
            if (size > block.size() - pos) return Error::Truncated;
            r.dataOffset = static_cast<uint32_t>(pos);
            r.data = block.subspan(pos, size);
            pos += size;
            if ((size & 1) && pos < block.size()) ++pos; // data padded to even
            out.push_back(std::move(r));
        }
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

const ImageResource* findResource(std::span<const ImageResource> resources, uint16_t id)
{
    for (const ImageResource& r : resources)
        if (r.id == id && r.signature == kSignature8BIM) return &r;
    return nullptr;
}

Result<ResolutionInfo> parseResolutionInfo(std::span<const uint8_t> d)
{
    if (d.size() < 16) return Error::Truncated;
    ResolutionInfo info;
    info.hRes = detail::load32(d.data(), kBE);
    info.hResUnit = detail::load16(d.data() + 4, kBE);
    info.widthUnit = detail::load16(d.data() + 6, kBE);
    info.vRes = detail::load32(d.data() + 8, kBE);
    info.vResUnit = detail::load16(d.data() + 12, kBE);
    info.heightUnit = detail::load16(d.data() + 14, kBE);
    return info;
}

Result<std::vector<uint8_t>> writeImageResources(std::span<const ResourceToWrite> resources)
{
    try {
        std::vector<uint8_t> out;
        for (const ResourceToWrite& r : resources) {
            if (r.name.size() > 255 || r.data.size() > UINT32_MAX) return Error::TooLarge;
            detail::append32(out, r.signature, kBE);
            detail::append16(out, r.id, kBE);
            out.push_back(static_cast<uint8_t>(r.name.size()));
            out.insert(out.end(), r.name.begin(), r.name.end());
            if ((r.name.size() + 1) & 1) out.push_back(0);
            detail::append32(out, static_cast<uint32_t>(r.data.size()), kBE);
            out.insert(out.end(), r.data.begin(), r.data.end());
            if (r.data.size() & 1) out.push_back(0);
        }
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Result<std::vector<uint8_t>> replaceResource(std::span<const uint8_t> block, uint16_t id,
                                             const std::vector<uint8_t>* data)
{
    auto parsed = parseImageResources(block);
    if (!parsed) return parsed.error();
    try {
        std::vector<ResourceToWrite> out;
        bool placed = false;
        for (const ImageResource& r : *parsed) {
            if (r.id == id && r.signature == kSignature8BIM) {
                if (data && !placed) {
                    out.push_back({r.signature, r.id, r.name, *data});
                    placed = true;
                }
                continue;
            }
            out.push_back({r.signature, r.id, r.name, {r.data.begin(), r.data.end()}});
        }
        if (data && !placed) out.push_back({kSignature8BIM, id, {}, *data});
        return writeImageResources(out);
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

} // namespace mio::formats
