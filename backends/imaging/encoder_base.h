// SPDX-License-Identifier: MIT
// The encoder and frame-encode objects shared by every container: state checks, pixel-format
// negotiation and row delivery. Each codec supplies a RowSink that compresses rows as they come,
// so no full-size copy of the picture is kept.
#pragma once

#include <memory>
#include <span>

#include "com_object.h"

namespace mio::imaging {

class RowSink {
  public:
    virtual ~RowSink() = default;
    // Called once before the first row. `format` is one of the codec's accepted formats.
    virtual HRESULT start(IStream* stream, UINT width, UINT height, REFGUID format, double dpiX,
                          double dpiY, std::span<const WICColor> palette) = 0;
    virtual HRESULT writeRows(const BYTE* rows, UINT stride, UINT count) = 0;
    // Called after the last row; flushes the compressed data to the stream.
    virtual HRESULT finish() = 0;
};

struct EncoderTraits {
    const GUID* container;
    std::span<const GUID* const> formats; // accepted; the first is the fallback
    std::unique_ptr<RowSink> (*makeSink)();
};

HRESULT createEncoder(const EncoderTraits& traits, IWICBitmapEncoder** ppEncoder);

} // namespace mio::imaging
