// SPDX-License-Identifier: MIT
// Photoshop image resource blocks ("8BIM" records) as carried by JPEG APP13: parse and write.
#pragma once

#include "mio/formats/common.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mio::formats {

inline constexpr uint32_t kSignature8BIM = 0x3842494D; // "8BIM"
inline constexpr uint16_t kResourceIptc = 0x0404;
inline constexpr uint16_t kResourceResolution = 0x03ED;

struct ImageResource {
    uint32_t signature = kSignature8BIM;
    uint16_t id = 0;
    std::string name;              // Pascal string, usually empty
    uint32_t dataOffset = 0;       // inside the parsed block
    std::span<const uint8_t> data; // views the parsed block: valid while that buffer lives
};

struct ResourceParseOptions {
    uint32_t maxResources = 4096;
};

// The resources of a block, in file order. Parsing stops cleanly at trailing zero padding;
// a record that runs past the end fails with Truncated.
Result<std::vector<ImageResource>> parseImageResources(std::span<const uint8_t> block,
                                                       const ResourceParseOptions& options = {});

const ImageResource* findResource(std::span<const ImageResource> resources, uint16_t id);

// ResolutionInfo (0x03ED): fixed 16.16 resolutions and their units.
struct ResolutionInfo {
    uint32_t hRes = 0; // 16.16 fixed point, pixels per inch or per cm as hResUnit says
    uint16_t hResUnit = 0;
    uint16_t widthUnit = 0;
    uint32_t vRes = 0;
    uint16_t vResUnit = 0;
    uint16_t heightUnit = 0;
};
Result<ResolutionInfo> parseResolutionInfo(std::span<const uint8_t> data);

// Serialises resources (names and data padded to even lengths as the format wants).
struct ResourceToWrite {
    uint32_t signature = kSignature8BIM;
    uint16_t id = 0;
    std::string name;
    std::vector<uint8_t> data;
};
Result<std::vector<uint8_t>> writeImageResources(std::span<const ResourceToWrite> resources);

// A copy of `block` in which resource `id` holds `data` (appended when absent, removed when
// `data` is null). Other resources keep their order and bytes.
Result<std::vector<uint8_t>> replaceResource(std::span<const uint8_t> block, uint16_t id,
                                             const std::vector<uint8_t>* data);

} // namespace mio::formats
