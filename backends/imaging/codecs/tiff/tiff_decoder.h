// SPDX-License-Identifier: MIT
// TIFF decoder on libtiff: one frame per page (top-level directory).
#pragma once

#include <cstdint>
#include <span>

#include "contracts/wincodec.h"

namespace mio::imaging {

bool sniffTiff(std::span<const uint8_t> head);
HRESULT createTiffDecoder(IWICBitmapDecoder** ppDecoder);

} // namespace mio::imaging
