// SPDX-License-Identifier: MIT
// Thumbnail state of the media object and the decoders its thumbnails draw on.
#pragma once

#include <cstdint>
#include <span>

#include "dib/packed_dib.h"
#include "tavrel/platform/types.h"

namespace mio {

/// The thumbnail cache of one media object: the last preview or frame it made, and its mask.
struct ThumbnailState {
    UniquePackedDib cached;
    bool cachedIsPreview = false;
    int32_t cachedFrame = 0;
    UniquePackedDib mask;
    int readerWidth = 0;
    int readerHeight = 0;
};

/// The picture bytes of an attached-picture value (type text, a picture-type byte for the two
/// MIME spellings, description, picture), or an empty span when the type is not one of the
/// JPEG types or the value ends before its picture.
[[nodiscard]] std::span<const BYTE> AttachedJpegBytes(std::span<const BYTE> value);

/// Decodes JPEG bytes through the still-image library. The bytes go through a temporary file
/// made for this one read: a fresh name created exclusively, readable by the owner only, and
/// removed before returning. Takes the image-library lock for the library calls. S_OK with a
/// new bitmap (the caller owns it), else E_FAIL.
[[nodiscard]] HRESULT DecodeJpegBytes(std::span<const BYTE> bytes, PackedDib* ppDib);

} // namespace mio
