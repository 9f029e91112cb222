// SPDX-License-Identifier: MIT
// IWICBitmapFlipRotator and IWICBitmapClipper. Flips read the mirrored rectangle straight into the
// caller's buffer and reorder it there; rotations read only the source band under the request.
#include <algorithm>
#include <cstring>

#include "bitmap.h"
#include "factory.h"
#include "source_base.h"

namespace mio::imaging {
namespace {

constexpr DWORD kRotationMask = 3;

class FlipRotator final : public SourceBase<FlipRotator, IWICBitmapFlipRotator> {
  public:
    STDMETHODIMP Initialize(IWICBitmapSource* pISource, WICBitmapTransformOptions options) override
    {
        if (!pISource) return E_INVALIDARG;
        if (m_source) return WINCODEC_ERR_WRONGSTATE;
        if (options & ~DWORD{kRotationMask | WICBitmapTransformFlipHorizontal |
                             WICBitmapTransformFlipVertical})
            return E_INVALIDARG;
        SourceShape shape;
        RETURN_IF_FAILED(readShape(pISource, shape));
        const DWORD rotation = options & kRotationMask;
        const bool needsPixels = rotation != 0 || (options & WICBitmapTransformFlipHorizontal);
        if (needsPixels && shape.info.bitsPerPixel % 8 != 0)
            return WINCODEC_ERR_UNSUPPORTEDOPERATION;
        // Rotate180 is both flips; normalise so the rest only sees 0, 90 or 270.
        m_flipH = options & WICBitmapTransformFlipHorizontal;
        m_flipV = options & WICBitmapTransformFlipVertical;
        m_rotation = rotation;
        if (rotation == 2) {
            m_flipH = !m_flipH;
            m_flipV = !m_flipV;
            m_rotation = 0;
        }
        const bool swap = m_rotation == 1 || m_rotation == 3;
        m_source = ComPtr<IWICBitmapSource>(pISource);
        m_sourceShape = shape;
        setShape(swap ? shape.height : shape.width, swap ? shape.width : shape.height, shape.format,
                 shape.info.bitsPerPixel);
        pISource->GetResolution(swap ? &m_dpiY : &m_dpiX, swap ? &m_dpiX : &m_dpiY);
        if (shape.info.kind == PixelKind::Indexed) {
            auto p = Palette::make();
            if (p && SUCCEEDED(pISource->CopyPalette(p.Get()))) m_palette = p->colors();
        }
        m_ready = true;
        return S_OK;
    }

    HRESULT copyRect(const WICRect& rc, UINT stride, BYTE* buffer)
    {
        try {
            return m_rotation == 0 ? copyFlipped(rc, stride, buffer)
                                   : copyRotated(rc, stride, buffer);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

  private:
    HRESULT copyFlipped(const WICRect& rc, UINT stride, BYTE* buffer)
    {
        const WICRect src{m_flipH ? static_cast<INT>(m_width) - rc.X - rc.Width : rc.X,
                          m_flipV ? static_cast<INT>(m_height) - rc.Y - rc.Height : rc.Y, rc.Width,
                          rc.Height};
        const UINT row = rowBytes(static_cast<UINT>(rc.Width), m_bitsPerPixel);
        RETURN_IF_FAILED(m_source->CopyPixels(
            &src, stride, stride * static_cast<UINT>(rc.Height - 1) + row, buffer));
        if (m_flipV) {
            std::vector<BYTE> tmp(row);
            for (INT a = 0, b = rc.Height - 1; a < b; ++a, --b) {
                BYTE* ra = buffer + size_t{stride} * static_cast<size_t>(a);
                BYTE* rb = buffer + size_t{stride} * static_cast<size_t>(b);
                std::memcpy(tmp.data(), ra, row);
                std::memcpy(ra, rb, row);
                std::memcpy(rb, tmp.data(), row);
            }
        }
        if (m_flipH) {
            const size_t px = m_bitsPerPixel / 8;
            for (INT y = 0; y < rc.Height; ++y) {
                BYTE* r = buffer + size_t{stride} * static_cast<size_t>(y);
                for (size_t a = 0, b = static_cast<size_t>(rc.Width) - 1; a < b; ++a, --b)
                    std::swap_ranges(r + a * px, r + (a + 1) * px, r + b * px);
            }
        }
        return S_OK;
    }

    // Output (ox, oy) after undoing the flips lies at source (sx, sy):
    // 90 (clockwise): sx = oy, sy = srcH - 1 - ox; 270: sx = srcW - 1 - oy, sy = ox.
    HRESULT copyRotated(const WICRect& rc, UINT stride, BYTE* buffer)
    {
        const INT outW = static_cast<INT>(m_width), outH = static_cast<INT>(m_height);
        const INT x0 = m_flipH ? outW - rc.X - rc.Width : rc.X;
        const INT y0 = m_flipV ? outH - rc.Y - rc.Height : rc.Y;
        const INT srcW = static_cast<INT>(m_sourceShape.width),
                  srcH = static_cast<INT>(m_sourceShape.height);
        WICRect src{};
        if (m_rotation == 1) {
            src = {y0, srcH - x0 - rc.Width, rc.Height, rc.Width};
        } else {
            src = {srcW - y0 - rc.Height, x0, rc.Height, rc.Width};
        }
        const size_t px = m_bitsPerPixel / 8;
        const UINT srcRow = static_cast<UINT>(src.Width) * static_cast<UINT>(px);
        std::vector<BYTE> band(size_t{srcRow} * static_cast<size_t>(src.Height));
        RETURN_IF_FAILED(
            m_source->CopyPixels(&src, srcRow, static_cast<UINT>(band.size()), band.data()));
        for (INT y = 0; y < rc.Height; ++y) {
            const INT oy = m_flipV ? outH - 1 - (rc.Y + y) : rc.Y + y;
            BYTE* out = buffer + size_t{stride} * static_cast<size_t>(y);
            for (INT x = 0; x < rc.Width; ++x) {
                const INT ox = m_flipH ? outW - 1 - (rc.X + x) : rc.X + x;
                const INT sx = m_rotation == 1 ? oy : srcW - 1 - oy;
                const INT sy = m_rotation == 1 ? srcH - 1 - ox : ox;
                const BYTE* s = band.data() + size_t{srcRow} * static_cast<size_t>(sy - src.Y) +
                                static_cast<size_t>(sx - src.X) * px;
                std::memcpy(out + static_cast<size_t>(x) * px, s, px);
            }
        }
        return S_OK;
    }

    ComPtr<IWICBitmapSource> m_source;
    SourceShape m_sourceShape;
    bool m_flipH = false;
    bool m_flipV = false;
    DWORD m_rotation = 0;
};

class BitmapClipper final : public SourceBase<BitmapClipper, IWICBitmapClipper> {
  public:
    STDMETHODIMP Initialize(IWICBitmapSource* pISource, const WICRect* prc) override
    {
        if (!pISource || !prc) return E_INVALIDARG;
        if (m_source) return WINCODEC_ERR_WRONGSTATE;
        SourceShape shape;
        RETURN_IF_FAILED(readShape(pISource, shape));
        if (prc->X < 0 || prc->Y < 0 || prc->Width <= 0 || prc->Height <= 0 ||
            uint64_t{static_cast<UINT>(prc->X)} + static_cast<UINT>(prc->Width) > shape.width ||
            uint64_t{static_cast<UINT>(prc->Y)} + static_cast<UINT>(prc->Height) > shape.height)
            return E_INVALIDARG;
        m_source = ComPtr<IWICBitmapSource>(pISource);
        m_clip = *prc;
        setShape(static_cast<UINT>(prc->Width), static_cast<UINT>(prc->Height), shape.format,
                 shape.info.bitsPerPixel);
        pISource->GetResolution(&m_dpiX, &m_dpiY);
        m_ready = true;
        return S_OK;
    }
    STDMETHODIMP CopyPalette(IWICPalette* pIPalette) override
    {
        if (!pIPalette) return E_INVALIDARG;
        if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
        return m_source->CopyPalette(pIPalette);
    }
    HRESULT copyRect(const WICRect& rc, UINT stride, BYTE* buffer)
    {
        const WICRect src{m_clip.X + rc.X, m_clip.Y + rc.Y, rc.Width, rc.Height};
        return m_source->CopyPixels(&src, stride,
                                    stride * static_cast<UINT>(rc.Height - 1) +
                                        rowBytes(static_cast<UINT>(rc.Width), m_bitsPerPixel),
                                    buffer);
    }

  private:
    ComPtr<IWICBitmapSource> m_source;
    WICRect m_clip{};
};

} // namespace

HRESULT createBitmapFlipRotator(IWICBitmapFlipRotator** pp)
{
    return handOut<IWICBitmapFlipRotator>(FlipRotator::make(), pp);
}

HRESULT createBitmapClipper(IWICBitmapClipper** pp)
{
    return handOut<IWICBitmapClipper>(BitmapClipper::make(), pp);
}

} // namespace mio::imaging
