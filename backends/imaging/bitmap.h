// SPDX-License-Identifier: MIT
// IWICBitmap: a picture held in memory, and the row copy helper shared by in-memory frames.
#pragma once

#include <vector>

#include "source_base.h"

namespace mio::imaging {

// Copies rectangle rc out of a buffer of rows `srcStride` apart into `out`, handling pixel
// sizes below one byte (the rectangle's left edge may fall inside a byte).
void copyRectFromRows(const BYTE* src, size_t srcStride, UINT bitsPerPixel, const WICRect& rc,
                      UINT outStride, BYTE* out);

class Bitmap final : public SourceBase<Bitmap, IWICBitmap> {
  public:
    // A zeroed picture; E_OUTOFMEMORY or WINCODEC_ERR_IMAGESIZEOUTOFRANGE when too large.
    HRESULT init(UINT width, UINT height, REFGUID format);
    // A copy of `source` (its whole picture, or rc of it).
    HRESULT initFromSource(IWICBitmapSource* source, const WICRect* rc);
    HRESULT initFromMemory(UINT width, UINT height, REFGUID format, UINT stride, UINT bufferSize,
                           const BYTE* buffer);

    STDMETHODIMP Lock(const WICRect* prcLock, DWORD flags, IWICBitmapLock** ppILock) override;
    STDMETHODIMP SetPalette(IWICPalette* pIPalette) override;
    STDMETHODIMP SetResolution(double dpiX, double dpiY) override;

    HRESULT copyRect(const WICRect& rc, UINT stride, BYTE* buffer);

    BYTE* data() { return m_pixels.data(); }
    UINT stride() const { return m_stride; }
    void releaseLock() { m_locked = false; }

  private:
    std::vector<BYTE> m_pixels;
    UINT m_stride = 0;
    bool m_locked = false;
};

} // namespace mio::imaging
