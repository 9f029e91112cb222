// SPDX-License-Identifier: MIT
// PNG encoder on libpng: grey, BGR, BGRA and the 16-bit RGB(A) formats, not interlaced.
#pragma once

#include "contracts/wincodec.h"

namespace mio::imaging {

HRESULT createPngEncoder(IWICBitmapEncoder** ppEncoder);

} // namespace mio::imaging
