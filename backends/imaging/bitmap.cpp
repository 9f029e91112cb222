// SPDX-License-Identifier: MIT
// In-memory bitmaps with exclusive locks, for callers that need a picture they can write.
#include "bitmap.h"

#include <cstring>

namespace mio::imaging {

void copyRectFromRows(const BYTE* src, size_t srcStride, UINT bpp, const WICRect& rc,
                      UINT outStride, BYTE* out)
{
    const UINT w = static_cast<UINT>(rc.Width);
    const UINT outRow = rowBytes(w, bpp);
    for (INT y = 0; y < rc.Height; ++y) {
        const BYTE* s = src + static_cast<size_t>(rc.Y + y) * srcStride;
        BYTE* d = out + static_cast<size_t>(y) * outStride;
        if (bpp % 8 == 0) {
            std::memcpy(d, s + static_cast<size_t>(rc.X) * (bpp / 8), outRow);
            continue;
        }
        const uint64_t bitStart = uint64_t{static_cast<UINT>(rc.X)} * bpp;
        if (bitStart % 8 == 0) {
            std::memcpy(d, s + bitStart / 8, outRow);
            continue;
        }
        std::memset(d, 0, outRow);
        const uint64_t bits = uint64_t{w} * bpp;
        for (uint64_t b = 0; b < bits; ++b) {
            const uint64_t sb = bitStart + b;
            const int bit = (s[sb / 8] >> (7 - sb % 8)) & 1;
            d[b / 8] = static_cast<BYTE>(d[b / 8] | bit << (7 - b % 8));
        }
    }
}

namespace {

class BitmapLock final : public ComObject<BitmapLock, IWICBitmapLock> {
  public:
    BitmapLock(ComPtr<Bitmap> owner, const WICRect& rc, BYTE* data, UINT bufferSize)
        : m_owner(std::move(owner)), m_rc(rc), m_data(data), m_size(bufferSize)
    {
    }
    ~BitmapLock() { m_owner->releaseLock(); }

    STDMETHODIMP GetSize(UINT* w, UINT* h) override
    {
        if (!w || !h) return E_INVALIDARG;
        *w = static_cast<UINT>(m_rc.Width);
        *h = static_cast<UINT>(m_rc.Height);
        return S_OK;
    }
    STDMETHODIMP GetStride(UINT* pcbStride) override
    {
        if (!pcbStride) return E_INVALIDARG;
        *pcbStride = m_owner->stride();
        return S_OK;
    }
    STDMETHODIMP GetDataPointer(UINT* pcbBufferSize, WICInProcPointer* ppbData) override
    {
        if (!pcbBufferSize || !ppbData) return E_INVALIDARG;
        *pcbBufferSize = m_size;
        *ppbData = m_data;
        return S_OK;
    }
    STDMETHODIMP GetPixelFormat(WICPixelFormatGUID* pf) override
    {
        return m_owner->GetPixelFormat(pf);
    }

  private:
    ComPtr<Bitmap> m_owner;
    WICRect m_rc;
    BYTE* m_data;
    UINT m_size;
};

} // namespace

HRESULT Bitmap::init(UINT width, UINT height, REFGUID format)
{
    const auto info = pixelFormatInfo(format);
    if (!info) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return E_INVALIDARG;
    const UINT row = rowBytes(width, info->bitsPerPixel);
    const uint64_t stride = (uint64_t{row} + 3) & ~uint64_t{3};
    if (row == 0 || stride * height > kMaxPictureBytes) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    try {
        m_pixels.assign(static_cast<size_t>(stride * height), 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_stride = static_cast<UINT>(stride);
    setShape(width, height, format, info->bitsPerPixel);
    m_ready = true;
    return S_OK;
}

HRESULT Bitmap::initFromSource(IWICBitmapSource* source, const WICRect* rc)
{
    if (!source) return E_INVALIDARG;
    SourceShape shape;
    RETURN_IF_FAILED(readShape(source, shape));
    WICRect whole{0, 0, static_cast<INT>(shape.width), static_cast<INT>(shape.height)};
    const WICRect& r = rc ? *rc : whole;
    if (r.Width <= 0 || r.Height <= 0) return E_INVALIDARG;
    RETURN_IF_FAILED(init(static_cast<UINT>(r.Width), static_cast<UINT>(r.Height), shape.format));
    RETURN_IF_FAILED(
        source->CopyPixels(&r, m_stride, static_cast<UINT>(m_pixels.size()), m_pixels.data()));
    source->GetResolution(&m_dpiX, &m_dpiY);
    if (shape.info.kind == PixelKind::Indexed) {
        ComPtr<Palette> palette = Palette::make();
        if (palette && SUCCEEDED(source->CopyPalette(palette.Get()))) m_palette = palette->colors();
    }
    return S_OK;
}

HRESULT Bitmap::initFromMemory(UINT width, UINT height, REFGUID format, UINT stride,
                               UINT bufferSize, const BYTE* buffer)
{
    if (!buffer) return E_INVALIDARG;
    RETURN_IF_FAILED(init(width, height, format));
    const UINT row = rowBytes(width, m_bitsPerPixel);
    if (stride < row || uint64_t{stride} * (height - 1) + row > bufferSize) return E_INVALIDARG;
    for (UINT y = 0; y < height; ++y)
        std::memcpy(m_pixels.data() + size_t{y} * m_stride, buffer + size_t{y} * stride, row);
    return S_OK;
}

STDMETHODIMP Bitmap::Lock(const WICRect* prcLock, DWORD flags, IWICBitmapLock** ppILock)
{
    if (!ppILock) return E_INVALIDARG;
    *ppILock = nullptr;
    if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
    if ((flags & (WICBitmapLockRead | WICBitmapLockWrite)) == 0) return E_INVALIDARG;
    WICRect rc{0, 0, static_cast<INT>(m_width), static_cast<INT>(m_height)};
    if (prcLock) {
        if (prcLock->X < 0 || prcLock->Y < 0 || prcLock->Width <= 0 || prcLock->Height <= 0 ||
            uint64_t{static_cast<UINT>(prcLock->X)} + static_cast<UINT>(prcLock->Width) > m_width ||
            uint64_t{static_cast<UINT>(prcLock->Y)} + static_cast<UINT>(prcLock->Height) > m_height)
            return E_INVALIDARG;
        rc = *prcLock;
    }
    const uint64_t bitStart = uint64_t{static_cast<UINT>(rc.X)} * m_bitsPerPixel;
    if (bitStart % 8 != 0) return E_INVALIDARG; // a lock starts on a byte
    if (m_locked) return WINCODEC_ERR_ALREADYLOCKED;
    BYTE* start = m_pixels.data() + size_t{static_cast<UINT>(rc.Y)} * m_stride + bitStart / 8;
    const uint64_t size = uint64_t{m_stride} * static_cast<UINT>(rc.Height - 1) +
                          rowBytes(static_cast<UINT>(rc.Width), m_bitsPerPixel);
    m_locked = true;
    auto lock = BitmapLock::make(ComPtr<Bitmap>(this), rc, start, static_cast<UINT>(size));
    if (!lock) {
        m_locked = false;
        return E_OUTOFMEMORY;
    }
    return handOut(lock, ppILock);
}

STDMETHODIMP Bitmap::SetPalette(IWICPalette* pIPalette)
{
    if (!pIPalette) return E_INVALIDARG;
    if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
    m_palette = paletteColors(pIPalette);
    return S_OK;
}

STDMETHODIMP Bitmap::SetResolution(double dpiX, double dpiY)
{
    if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
    if (!(dpiX > 0) || !(dpiY > 0)) return E_INVALIDARG;
    m_dpiX = dpiX;
    m_dpiY = dpiY;
    return S_OK;
}

HRESULT Bitmap::copyRect(const WICRect& rc, UINT stride, BYTE* buffer)
{
    copyRectFromRows(m_pixels.data(), m_stride, m_bitsPerPixel, rc, stride, buffer);
    return S_OK;
}

HRESULT readShape(IWICBitmapSource* source, SourceShape& shape)
{
    RETURN_IF_FAILED(source->GetSize(&shape.width, &shape.height));
    RETURN_IF_FAILED(source->GetPixelFormat(&shape.format));
    const auto info = pixelFormatInfo(shape.format);
    if (!info) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    shape.info = *info;
    return S_OK;
}

} // namespace mio::imaging
