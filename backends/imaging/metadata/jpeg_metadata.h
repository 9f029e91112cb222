// SPDX-License-Identifier: MIT
// Entry points of the metadata side used by the JPEG decoder and the factory: frame query
// readers, the in-place fast metadata encoder and free-standing XMP container writers.
#pragma once

#include <memory>

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

// The metadata blocks of the JPEG frame whose stream this is (QueryInterface of a decoded frame
// for IWICMetadataBlockReader).
HRESULT createJpegBlockReader(IStream* stream, REFIID riid, void** ppv);

// The metadata side of one JPEG frame being encoded: the blocks copied in through its block
// writer, its query writer, and the assembly of the output file.
class JpegFrameMetadata {
  public:
    virtual ~JpegFrameMetadata() = default;
    // IWICMetadataBlockWriter (and its reader) for the frame-encode object `owner`.
    virtual HRESULT queryBlockWriter(REFIID riid, void** ppv) = 0;
    virtual HRESULT queryWriter(IWICMetadataQueryWriter** pp) = 0;
    // When `source` is an unscaled JPEG frame of this component, of `width` x `height`, and the
    // whole of it is asked for without a format change, writes the complete file to `out`
    // with the compressed data copied unchanged, and answers S_OK. S_FALSE: encode the pixels.
    virtual HRESULT tryCopyScan(IWICBitmapSource* source, const WICRect& rc, bool sameFormat,
                                UINT width, UINT height, IStream* out) = 0;
    // Where the pixel encoder writes when the frame has metadata to add; null to write to the
    // output directly.
    virtual IStream* pixelStream() = 0;
    // After the pixel encoder finished: the output file with the metadata blocks after SOI.
    virtual HRESULT finish(IStream* out) = 0;
};
std::shared_ptr<JpegFrameMetadata> makeJpegFrameMetadata();

} // namespace mio::imaging::metadata
