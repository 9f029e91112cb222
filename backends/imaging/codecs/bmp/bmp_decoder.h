// SPDX-License-Identifier: MIT
// BMP decoder (own code): Windows and OS/2 headers, 1 to 32 bits, RLE4/RLE8, bit fields. The DIB
// part is shared with the icon decoder.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "contracts/wincodec.h"

namespace mio::imaging {

bool sniffBmp(std::span<const uint8_t> head);
HRESULT createBmpDecoder(IWICBitmapDecoder** ppDecoder);

// A parsed DIB header: everything needed to decode its pixel bits.
struct DibInfo {
    UINT width = 0;
    UINT height = 0;
    bool topDown = false;
    UINT bitCount = 0;
    DWORD compression = 0;
    uint32_t masks[4] = {}; // R, G, B, A for bit fields
    std::vector<WICColor> palette;
    const GUID* format = nullptr; // what CopyPixels delivers
    UINT outBpp = 0;
    size_t headerBytes = 0; // header + masks + palette: where the bits start inside a DIB
};

// Parses a DIB (info header, masks, palette) at the start of `dib`. `heightIsDoubled` for icons,
// whose header counts the AND mask rows too.
HRESULT parseDib(std::span<const uint8_t> dib, bool heightIsDoubled, DibInfo& info);
// Decodes the bits into top-down rows of info.format, `stride` bytes apart.
HRESULT decodeDibBits(const DibInfo& info, std::span<const uint8_t> bits, BYTE* out, size_t stride);

} // namespace mio::imaging
