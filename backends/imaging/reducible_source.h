// SPDX-License-Identifier: MIT
// A private interface through which the scaler asks a source for a cheaper, smaller decode.
#pragma once

#include "contracts/wincodec.h"

// Not published: only the objects of this component implement or ask for it.
TAVREL_DEFINE_GUID(IID_IMioReducibleSource, 0x7D3C2A10, 0x5B7E, 0x4C8E, 0x9A, 0x51, 0x2F, 0x64,
                   0x1B, 0x0C, 0x93, 0x5E);

struct IMioReducibleSource : IUnknown {
    /// A new source giving this picture decoded at 1/2, 1/4 or 1/8 of its size: the smallest of
    /// those that still covers minWidth x minHeight. S_FALSE with a null source when only the
    /// full size covers it. The new source is independent of this one.
    STDMETHOD(CreateReducedSource)(UINT minWidth, UINT minHeight, IWICBitmapSource** ppSource) PURE;
};
TAVREL_INTERFACE_ID(IMioReducibleSource, IID_IMioReducibleSource);
