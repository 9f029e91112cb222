// SPDX-License-Identifier: MIT
// The one table of codecs: container format, extensions, sniffing, constructors, metadata access.
#pragma once

#include <cstdint>
#include <span>

#include "contracts/wincodec.h"

namespace mio::imaging {

enum class MetadataAccess { None, Read, ReadWrite };

inline constexpr size_t kSniffBytes = 16;

struct CodecEntry {
    const GUID* containerFormat;
    std::span<const char* const> extensions;
    bool (*sniff)(std::span<const uint8_t> head); // first kSniffBytes bytes (fewer for tiny files)
    HRESULT (*createDecoder)(IWICBitmapDecoder** ppDecoder);
    HRESULT (*createEncoder)(IWICBitmapEncoder** ppEncoder); // null: no encoder
    MetadataAccess exif, iptc, xmp;
};

std::span<const CodecEntry> codecTable();
const CodecEntry* findCodec(REFGUID containerFormat);
// The first row whose sniff accepts `head`, or null.
const CodecEntry* sniffCodec(std::span<const uint8_t> head);

} // namespace mio::imaging
