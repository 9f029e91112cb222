// SPDX-License-Identifier: MIT
// What the imaging objects know about each pixel format: bits per pixel and channel layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "contracts/wincodec.h"

namespace mio::imaging {

enum class PixelKind {
    Indexed,  // palette indices of 1, 2, 4 or 8 bits
    Gray,     // 1 (BlackWhite), 2, 4, 8 or 16 bits of grey
    Packed16, // 16-bit BGR555 / BGR565
    Bytes,    // whole bytes per channel: BGR, RGB, BGRA, PBGRA, BGR(x), CMYK
    Words,    // 16-bit little-endian channels: 48bppRGB, 64bppRGBA
};

struct PixelFormatInfo {
    const GUID* guid;
    UINT bitsPerPixel;
    PixelKind kind;
    UINT channels;
};

// Formats the objects can produce or consume; nullopt for anything else.
std::optional<PixelFormatInfo> pixelFormatInfo(REFGUID format);

// Bytes that a row of `width` pixels occupies without padding, or 0 on overflow past 4 GiB.
UINT rowBytes(UINT width, UINT bitsPerPixel);

// Largest picture the component agrees to hold in memory at once (decoded frames, caches).
inline constexpr uint64_t kMaxPictureBytes = uint64_t{1} << 30;

// Checks a CopyPixels request against a picture of width x height at bitsPerPixel and fills
// `out` with the rectangle to copy (the whole picture for a null prc).
HRESULT checkCopyRequest(const WICRect* prc, UINT cbStride, UINT cbBufferSize, const BYTE* pbBuffer,
                         UINT width, UINT height, UINT bitsPerPixel, WICRect& out);

} // namespace mio::imaging
