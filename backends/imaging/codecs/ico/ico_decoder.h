// SPDX-License-Identifier: MIT
// ICO (and CUR) decoder: one 32bppBGRA frame per directory entry, DIB or PNG.
#pragma once

#include <cstdint>
#include <span>

#include "contracts/wincodec.h"

namespace mio::imaging {

bool sniffIco(std::span<const uint8_t> head);
HRESULT createIcoDecoder(IWICBitmapDecoder** ppDecoder);

} // namespace mio::imaging
