// SPDX-License-Identifier: MIT
// PNG decoder on libpng: one frame in the file's own pixel format.
#pragma once

#include <cstdint>
#include <span>

#include "contracts/wincodec.h"

namespace mio::imaging {

bool sniffPng(std::span<const uint8_t> head);
HRESULT createPngDecoder(IWICBitmapDecoder** ppDecoder);

} // namespace mio::imaging
