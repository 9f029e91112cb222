// SPDX-License-Identifier: MIT
// Entry points of the metadata side used by the JPEG decoder and the factory: frame query
// readers, the in-place fast metadata encoder and free-standing XMP container writers.
#pragma once

#include "contracts/wincodec.h"

// Not published: lets the factory reach the stream behind a frame of this component.
TAVREL_DEFINE_GUID(IID_IMioMetadataSource, 0x2E61B7C4, 0x8D0F, 0x4A53, 0x9C, 0x27, 0x61, 0xE5, 0x0B,
                   0x3A, 0xD8, 0x14);

struct IMioMetadataSource : IUnknown {
    /// The stream the frame was decoded from, and its container format.
    STDMETHOD(GetMetadataStream)(IStream** ppStream, GUID* pContainer) PURE;
};
TAVREL_INTERFACE_ID(IMioMetadataSource, IID_IMioMetadataSource);

namespace mio::imaging::metadata {

// A query reader over the metadata blocks of the JPEG in `stream` (read now, head only; XMP is
// parsed when a query first reaches it).
HRESULT createJpegQueryReader(IStream* stream, IWICMetadataQueryReader** ppReader);

// A fast metadata encoder that commits XMP changes and block removals into `stream` in place.
HRESULT createJpegFastEncoder(IStream* stream, IWICFastMetadataEncoder** ppEncoder);

// An empty writer of an XMP bag, seq or alternative (CreateQueryWriter).
HRESULT createXmpContainerWriter(REFGUID format, IWICMetadataQueryWriter** ppWriter);

} // namespace mio::imaging::metadata
