// SPDX-License-Identifier: MIT
// GIF decoder on giflib: every image of the file as its own 8bppIndexed frame.
#pragma once

#include <cstdint>
#include <span>

#include "contracts/wincodec.h"

namespace mio::imaging {

bool sniffGif(std::span<const uint8_t> head);
HRESULT createGifDecoder(IWICBitmapDecoder** ppDecoder);

} // namespace mio::imaging
