// SPDX-License-Identifier: MIT
// Metadata as the tool lists it: the blocks (MetaFormat families) a file has, tag by tag.
#pragma once

#include <tavrelmediaio/MediaFileIO.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mediaio {

struct MetaTag {
    int32_t tag = 0;
    std::string name;
    std::optional<std::string> value; // empty when the engine cannot show it as text
};

struct MetaBlock {
    const char* key; // "exif", "iptc", "xmp", "id3v1", "id3v2", "vorbis", "asf"
    int32_t code;    // its MetaFormat
    std::vector<MetaTag> tags;
};

// The MetaFormat of a block name, 0 when the name is unknown.
int32_t metaFormatOf(const std::string& key);
const char* metaFormatKeys(); // "exif|iptc|..." for usage texts

// Every block the engine lists tags for (or only `onlyFormat` when non-zero), in a fixed order.
std::vector<MetaBlock> collectMetadata(IMediaFileIO* file, int32_t onlyFormat = 0);

// One tag's display text; nullopt with `hr` set when the engine gives none.
std::optional<std::string> metaText(IMediaFileIO* file, int32_t format, int32_t tag, HRESULT& hr);

} // namespace mediaio
