// SPDX-License-Identifier: MIT
// Common IWICBitmapSource behaviour: size, format, resolution, palette and checked CopyPixels.
#pragma once

#include <vector>

#include "com_object.h"
#include "palette.h"
#include "pixel_format.h"

namespace mio::imaging {

// Derived fills the protected members once it is set up and implements
// `HRESULT copyRect(const WICRect& rc, UINT stride, BYTE* buffer)`, which receives a checked
// rectangle inside the picture and a buffer large enough for it. Until `m_ready` is set every
// method answers WINCODEC_ERR_NOTINITIALIZED.
template <typename Derived, typename First, typename... Rest>
class SourceBase : public ComObject<Derived, First, Rest...> {
  public:
    STDMETHODIMP GetSize(UINT* puiWidth, UINT* puiHeight) override
    {
        if (!puiWidth || !puiHeight) return E_INVALIDARG;
        if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
        *puiWidth = m_width;
        *puiHeight = m_height;
        return S_OK;
    }
    STDMETHODIMP GetPixelFormat(WICPixelFormatGUID* pPixelFormat) override
    {
        if (!pPixelFormat) return E_INVALIDARG;
        if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
        *pPixelFormat = m_format;
        return S_OK;
    }
    STDMETHODIMP GetResolution(double* pDpiX, double* pDpiY) override
    {
        if (!pDpiX || !pDpiY) return E_INVALIDARG;
        if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
        *pDpiX = m_dpiX;
        *pDpiY = m_dpiY;
        return S_OK;
    }
    STDMETHODIMP CopyPalette(IWICPalette* pIPalette) override
    {
        if (!pIPalette) return E_INVALIDARG;
        if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
        return copyPaletteTo(m_palette, pIPalette);
    }
    STDMETHODIMP CopyPixels(const WICRect* prc, UINT cbStride, UINT cbBufferSize,
                            BYTE* pbBuffer) override
    {
        if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
        WICRect rc{};
        RETURN_IF_FAILED(checkCopyRequest(prc, cbStride, cbBufferSize, pbBuffer, m_width, m_height,
                                          m_bitsPerPixel, rc));
        return static_cast<Derived*>(this)->copyRect(rc, cbStride, pbBuffer);
    }

  protected:
    void setShape(UINT width, UINT height, REFGUID format, UINT bitsPerPixel)
    {
        m_width = width;
        m_height = height;
        m_format = format;
        m_bitsPerPixel = bitsPerPixel;
    }

    bool m_ready = false;
    UINT m_width = 0;
    UINT m_height = 0;
    GUID m_format = GUID_WICPixelFormatUndefined;
    UINT m_bitsPerPixel = 0;
    double m_dpiX = 96.0;
    double m_dpiY = 96.0;
    std::vector<WICColor> m_palette;
};

// Reads the geometry of any source in one call.
struct SourceShape {
    UINT width = 0;
    UINT height = 0;
    GUID format{};
    PixelFormatInfo info{};
};
HRESULT readShape(IWICBitmapSource* source, SourceShape& shape);

} // namespace mio::imaging
