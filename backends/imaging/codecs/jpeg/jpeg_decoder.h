// SPDX-License-Identifier: MIT
// JPEG decoder on libjpeg-turbo: one frame, decoded row range by row range, with DCT scaling for
// the scaler and the EXIF IFD1 thumbnail.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "contracts/wincodec.h"

namespace mio::imaging {

bool sniffJpeg(std::span<const uint8_t> head);
HRESULT createJpegDecoder(IWICBitmapDecoder** ppDecoder);

// One marker segment before the scan: `offset` is the position of its 0xFF byte in the stream,
// `length` the big-endian length field (payload plus the two length bytes). Kept so that the
// metadata readers can find APPn blocks without walking the file again.
struct JpegSegment {
    uint8_t marker;
    uint64_t offset;
    uint16_t length;
};

// The embedded EXIF thumbnail inside an APP1 payload ("Exif\0\0" + TIFF): the byte range of the
// IFD1 JPEGInterchangeFormat picture relative to the payload start, or nullopt.
struct ByteRange {
    size_t offset;
    size_t length;
};
std::optional<ByteRange> findExifThumbnail(std::span<const uint8_t> app1Payload);

} // namespace mio::imaging
