// SPDX-License-Identifier: MIT
// JPEG encoder on libjpeg-turbo: 24bppBGR, 8bppGray or 32bppCMYK, baseline, quality 90.
#pragma once

#include "contracts/wincodec.h"

namespace mio::imaging {

HRESULT createJpegEncoder(IWICBitmapEncoder** ppEncoder);

} // namespace mio::imaging
