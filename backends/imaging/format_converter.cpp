// SPDX-License-Identifier: MIT
// IWICFormatConverter: pulls the source band by band and converts each row through BGRA, so no
// full-size copy of the picture is ever made.
#include "format_converter.h"

#include <algorithm>
#include <cstring>

#include "factory.h"
#include "palette.h"
#include "reducible_source.h"
#include "source_base.h"

namespace mio::imaging {
namespace {

inline BYTE word8(const BYTE* p) // little-endian 16-bit sample to 8 bits, rounded
{
    const UINT v = UINT(p[0]) | UINT(p[1]) << 8;
    return static_cast<BYTE>((v * 255 + 32767) / 65535);
}
inline BYTE div255(UINT v)
{
    return static_cast<BYTE>((v + 127) / 255);
}
inline void put(BYTE* d, BYTE b, BYTE g, BYTE r, BYTE a)
{
    d[0] = b;
    d[1] = g;
    d[2] = r;
    d[3] = a;
}
inline UINT bitsAt(const BYTE* row, UINT x, UINT bpp)
{
    const UINT bit = x * bpp;
    return (row[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
}

} // namespace

bool canUnpack(REFGUID f)
{
    return pixelFormatInfo(f).has_value();
}

bool canPack(REFGUID f)
{
    return f == GUID_WICPixelFormat24bppBGR || f == GUID_WICPixelFormat24bppRGB ||
           f == GUID_WICPixelFormat32bppBGR || f == GUID_WICPixelFormat32bppBGRA ||
           f == GUID_WICPixelFormat32bppPBGRA || f == GUID_WICPixelFormat8bppGray;
}

void unpackRow(REFGUID f, const BYTE* s, UINT w, std::span<const WICColor> palette, BYTE* d)
{
    const auto info = *pixelFormatInfo(f);
    if (info.kind == PixelKind::Indexed) {
        for (UINT x = 0; x < w; ++x, d += 4) {
            const UINT i = bitsAt(s, x, info.bitsPerPixel);
            const WICColor c = i < palette.size() ? palette[i] : 0xFF000000u;
            put(d, BYTE(c), BYTE(c >> 8), BYTE(c >> 16), BYTE(c >> 24));
        }
    } else if (info.kind == PixelKind::Gray) {
        const UINT bpp = info.bitsPerPixel;
        for (UINT x = 0; x < w; ++x, d += 4) {
            BYTE v;
            if (bpp == 16) {
                v = word8(s + 2 * x);
            } else if (bpp == 8) {
                v = s[x];
            } else {
                v = static_cast<BYTE>(bitsAt(s, x, bpp) * 255 / ((1u << bpp) - 1));
            }
            put(d, v, v, v, 255);
        }
    } else if (info.kind == PixelKind::Packed16) {
        const bool is565 = f == GUID_WICPixelFormat16bppBGR565;
        for (UINT x = 0; x < w; ++x, d += 4) {
            const UINT v = UINT(s[2 * x]) | UINT(s[2 * x + 1]) << 8;
            const UINT b = v & 31;
            const UINT g = is565 ? (v >> 5) & 63 : (v >> 5) & 31;
            const UINT r = is565 ? (v >> 11) & 31 : (v >> 10) & 31;
            put(d, BYTE(b << 3 | b >> 2), is565 ? BYTE(g << 2 | g >> 4) : BYTE(g << 3 | g >> 2),
                BYTE(r << 3 | r >> 2), 255);
        }
    } else if (f == GUID_WICPixelFormat24bppBGR) {
        for (UINT x = 0; x < w; ++x, s += 3, d += 4)
            put(d, s[0], s[1], s[2], 255);
    } else if (f == GUID_WICPixelFormat24bppRGB) {
        for (UINT x = 0; x < w; ++x, s += 3, d += 4)
            put(d, s[2], s[1], s[0], 255);
    } else if (f == GUID_WICPixelFormat32bppBGR) {
        for (UINT x = 0; x < w; ++x, s += 4, d += 4)
            put(d, s[0], s[1], s[2], 255);
    } else if (f == GUID_WICPixelFormat32bppBGRA) {
        std::memcpy(d, s, size_t{w} * 4);
    } else if (f == GUID_WICPixelFormat32bppPBGRA) {
        for (UINT x = 0; x < w; ++x, s += 4, d += 4) {
            const UINT a = s[3];
            if (a == 0) {
                put(d, 0, 0, 0, 0);
            } else {
                auto un = [a](UINT c) {
                    return static_cast<BYTE>(std::min<UINT>(255, (c * 255 + a / 2) / a));
                };
                put(d, un(s[0]), un(s[1]), un(s[2]), BYTE(a));
            }
        }
    } else if (f == GUID_WICPixelFormat32bppCMYK) {
        for (UINT x = 0; x < w; ++x, s += 4, d += 4) {
            const UINT k = 255u - s[3];
            put(d, div255((255u - s[2]) * k), div255((255u - s[1]) * k), div255((255u - s[0]) * k),
                255);
        }
    } else if (f == GUID_WICPixelFormat48bppRGB) {
        for (UINT x = 0; x < w; ++x, s += 6, d += 4)
            put(d, word8(s + 4), word8(s + 2), word8(s), 255);
    } else if (f == GUID_WICPixelFormat64bppRGBA) {
        for (UINT x = 0; x < w; ++x, s += 8, d += 4)
            put(d, word8(s + 4), word8(s + 2), word8(s), word8(s + 6));
    }
}

void packRow(REFGUID f, const BYTE* s, UINT w, BYTE* d)
{
    if (f == GUID_WICPixelFormat24bppBGR) {
        for (UINT x = 0; x < w; ++x, s += 4, d += 3) {
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
        }
    } else if (f == GUID_WICPixelFormat24bppRGB) {
        for (UINT x = 0; x < w; ++x, s += 4, d += 3) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    } else if (f == GUID_WICPixelFormat32bppBGR) {
        for (UINT x = 0; x < w; ++x, s += 4, d += 4)
            put(d, s[0], s[1], s[2], 255);
    } else if (f == GUID_WICPixelFormat32bppBGRA) {
        std::memcpy(d, s, size_t{w} * 4);
    } else if (f == GUID_WICPixelFormat32bppPBGRA) {
        for (UINT x = 0; x < w; ++x, s += 4, d += 4) {
            const UINT a = s[3];
            put(d, div255(s[0] * a), div255(s[1] * a), div255(s[2] * a), BYTE(a));
        }
    } else if (f == GUID_WICPixelFormat8bppGray) {
        for (UINT x = 0; x < w; ++x, s += 4)
            d[x] = static_cast<BYTE>((UINT(s[2]) * 77 + UINT(s[1]) * 150 + UINT(s[0]) * 29 + 128) >>
                                     8);
    }
}

namespace {

class FormatConverter final
    : public SourceBase<FormatConverter, IWICFormatConverter, IMioReducibleSource> {
  public:
    STDMETHODIMP Initialize(IWICBitmapSource* pISource, REFWICPixelFormatGUID dstFormat,
                            WICBitmapDitherType, IWICPalette*, double,
                            WICBitmapPaletteType) override
    {
        if (!pISource) return E_INVALIDARG;
        if (m_source) return WINCODEC_ERR_WRONGSTATE;
        SourceShape shape;
        RETURN_IF_FAILED(readShape(pISource, shape));
        const bool same = shape.format == dstFormat;
        if (!same && !(canUnpack(shape.format) && canPack(dstFormat)))
            return WINCODEC_ERR_UNSUPPORTEDOPERATION;
        std::vector<WICColor> palette;
        if (!same && shape.info.kind == PixelKind::Indexed) {
            auto p = Palette::make();
            if (!p) return E_OUTOFMEMORY;
            RETURN_IF_FAILED(pISource->CopyPalette(p.Get()));
            palette = p->colors();
        }
        const auto dst = pixelFormatInfo(dstFormat);
        if (!dst) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        m_source = ComPtr<IWICBitmapSource>(pISource);
        m_sourceShape = shape;
        m_palette = std::move(palette);
        setShape(shape.width, shape.height, dstFormat, dst->bitsPerPixel);
        pISource->GetResolution(&m_dpiX, &m_dpiY);
        m_ready = true;
        return S_OK;
    }
    STDMETHODIMP CanConvert(REFWICPixelFormatGUID src, REFWICPixelFormatGUID dst, BOOL* pf) override
    {
        if (!pf) return E_INVALIDARG;
        *pf = src == dst ? canUnpack(src) : canUnpack(src) && canPack(dst);
        return S_OK;
    }
    STDMETHODIMP CopyPalette(IWICPalette* pIPalette) override
    {
        if (!pIPalette) return E_INVALIDARG;
        if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
        if (m_format == m_sourceShape.format) return m_source->CopyPalette(pIPalette);
        return WINCODEC_ERR_PALETTEUNAVAILABLE;
    }
    // A converter over a reducible source is itself reducible: the reduction happens below it.
    STDMETHODIMP CreateReducedSource(UINT minWidth, UINT minHeight, IWICBitmapSource** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        if (!m_ready) return WINCODEC_ERR_NOTINITIALIZED;
        ComPtr<IMioReducibleSource> reducible;
        if (FAILED(m_source.As(&reducible))) return S_FALSE;
        ComPtr<IWICBitmapSource> reduced;
        const HRESULT hr =
            reducible->CreateReducedSource(minWidth, minHeight, reduced.GetAddressOf());
        if (hr != S_OK) return hr;
        ComPtr<IWICFormatConverter> converter;
        RETURN_IF_FAILED(createFormatConverter(converter.GetAddressOf()));
        RETURN_IF_FAILED(converter->Initialize(reduced.Get(), m_format, WICBitmapDitherTypeNone,
                                               nullptr, 0.0, WICBitmapPaletteTypeCustom));
        *pp = converter.Detach();
        return S_OK;
    }

    HRESULT copyRect(const WICRect& rc, UINT stride, BYTE* buffer)
    {
        if (m_format == m_sourceShape.format)
            return m_source->CopyPixels(&rc, stride,
                                        stride * static_cast<UINT>(rc.Height - 1) +
                                            rowBytes(static_cast<UINT>(rc.Width), m_bitsPerPixel),
                                        buffer);
        const UINT w = static_cast<UINT>(rc.Width);
        const UINT srcRow = rowBytes(w, m_sourceShape.info.bitsPerPixel);
        const INT band =
            static_cast<INT>(std::clamp<UINT>((1u << 22) / std::max(srcRow, 1u), 1, 64));
        try {
            m_band.resize(size_t{srcRow} * static_cast<size_t>(band));
            m_bgra.resize(size_t{w} * 4);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        for (INT y = 0; y < rc.Height; y += band) {
            const INT rows = std::min(band, rc.Height - y);
            const WICRect src{rc.X, rc.Y + y, rc.Width, rows};
            RETURN_IF_FAILED(m_source->CopyPixels(&src, srcRow, srcRow * static_cast<UINT>(rows),
                                                  m_band.data()));
            for (INT i = 0; i < rows; ++i) {
                unpackRow(m_sourceShape.format,
                          m_band.data() + size_t{srcRow} * static_cast<size_t>(i), w, m_palette,
                          m_bgra.data());
                packRow(m_format, m_bgra.data(), w,
                        buffer + size_t{stride} * static_cast<size_t>(y + i));
            }
        }
        return S_OK;
    }

  private:
    ComPtr<IWICBitmapSource> m_source;
    SourceShape m_sourceShape;
    std::vector<BYTE> m_band;
    std::vector<BYTE> m_bgra;
};

} // namespace

HRESULT createFormatConverter(IWICFormatConverter** pp)
{
    return handOut<IWICFormatConverter>(FormatConverter::make(), pp);
}

} // namespace mio::imaging
