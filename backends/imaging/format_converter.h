// SPDX-License-Identifier: MIT
// Row conversions between pixel formats, through 8-bit BGRA.
#pragma once

#include <span>
#include <vector>

#include "pixel_format.h"

namespace mio::imaging {

// Whether a source format can be read into BGRA and a target format written from it.
bool canUnpack(REFGUID format);
bool canPack(REFGUID format);

// One row of `width` pixels in `format` to BGRA bytes. `palette` serves indexed formats.
void unpackRow(REFGUID format, const BYTE* src, UINT width, std::span<const WICColor> palette,
               BYTE* bgra);
// One row of BGRA bytes to `format`.
void packRow(REFGUID format, const BYTE* bgra, UINT width, BYTE* dst);

} // namespace mio::imaging
