// SPDX-License-Identifier: MIT
// The fully decoded frame and the size guard.
#include "decoder_base.h"

namespace mio::imaging {

MemoryFrame::MemoryFrame(ComPtr<IUnknown> owner, UINT width, UINT height, REFGUID format,
                         double dpiX, double dpiY, std::vector<WICColor> palette, DecodeFn decode)
    : m_owner(std::move(owner)), m_decode(std::move(decode))
{
    const auto info = pixelFormatInfo(format);
    setShape(width, height, format, info ? info->bitsPerPixel : 0);
    m_dpiX = dpiX;
    m_dpiY = dpiY;
    m_palette = std::move(palette);
    m_ready = info.has_value();
}

STDMETHODIMP MemoryFrame::GetMetadataQueryReader(IWICMetadataQueryReader** pp)
{
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
}

STDMETHODIMP MemoryFrame::GetColorContexts(UINT, IWICColorContext**, UINT* pcActualCount)
{
    if (!pcActualCount) return E_INVALIDARG;
    *pcActualCount = 0;
    return S_OK;
}

STDMETHODIMP MemoryFrame::GetThumbnail(IWICBitmapSource** pp)
{
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
}

HRESULT MemoryFrame::copyRect(const WICRect& rc, UINT stride, BYTE* buffer)
{
    if (m_decodeResult == S_FALSE) {
        try {
            m_decodeResult = m_decode(m_pixels, m_stride);
        } catch (const std::bad_alloc&) {
            m_decodeResult = E_OUTOFMEMORY;
        } catch (...) {
            m_decodeResult = E_FAIL;
        }
        if (SUCCEEDED(m_decodeResult)) {
            m_decodeResult = S_OK;
        } else {
            m_pixels = {};
        }
        m_decode = nullptr;
    }
    RETURN_IF_FAILED(m_decodeResult);
    copyRectFromRows(m_pixels.data(), m_stride, m_bitsPerPixel, rc, stride, buffer);
    return S_OK;
}

HRESULT checkPictureSize(UINT width, UINT height, UINT bitsPerPixel)
{
    if (width == 0 || height == 0) return WINCODEC_ERR_BADHEADER;
    if (width > INT32_MAX || height > INT32_MAX) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    const uint64_t row = (uint64_t{width} * bitsPerPixel + 7) / 8;
    if (row > kMaxPictureBytes || row * height > kMaxPictureBytes)
        return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    return S_OK;
}

} // namespace mio::imaging
