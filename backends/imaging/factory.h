// SPDX-License-Identifier: MIT
// The imaging factory, the pipeline objects' constructors and the class-table registration.
#pragma once

#include "contracts/wincodec.h"

namespace mio::imaging {

HRESULT createImagingFactory(REFIID riid, void** ppv);
HRESULT createFormatConverter(IWICFormatConverter** pp);
HRESULT createBitmapScaler(IWICBitmapScaler** pp);
HRESULT createBitmapFlipRotator(IWICBitmapFlipRotator** pp);
HRESULT createBitmapClipper(IWICBitmapClipper** pp);

// Opens the right decoder for the stream's content: WINCODEC_ERR_COMPONENTNOTFOUND when no row of
// the codec table recognises it.
HRESULT createDecoderForStream(IStream* stream, WICDecodeOptions options, IWICBitmapDecoder** pp);

} // namespace mio::imaging
