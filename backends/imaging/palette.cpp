// SPDX-License-Identifier: MIT
// IWICPalette over a vector of colours, with the fixed black-and-white and grey tables.
#include "palette.h"

#include <algorithm>

namespace mio::imaging {
namespace {

std::vector<WICColor> grayRamp(UINT count)
{
    std::vector<WICColor> out(count);
    for (UINT i = 0; i < count; ++i) {
        const UINT v = i * 255 / (count - 1);
        out[i] = 0xFF000000u | v << 16 | v << 8 | v;
    }
    return out;
}

bool isGray(WICColor c)
{
    return ((c >> 16) & 0xFF) == ((c >> 8) & 0xFF) && ((c >> 8) & 0xFF) == (c & 0xFF);
}

} // namespace

STDMETHODIMP Palette::InitializePredefined(WICBitmapPaletteType type, BOOL fAddTransparentColor)
{
    std::vector<WICColor> colors;
    switch (type) {
    case WICBitmapPaletteTypeFixedBW:
        colors = {0xFF000000u, 0xFFFFFFFFu};
        break;
    case WICBitmapPaletteTypeFixedGray4:
        colors = grayRamp(4);
        break;
    case WICBitmapPaletteTypeFixedGray16:
        colors = grayRamp(16);
        break;
    case WICBitmapPaletteTypeFixedGray256:
        colors = grayRamp(256);
        break;
    default:
        return WINCODEC_ERR_UNSUPPORTEDOPERATION; // halftone tables are not offered
    }
    if (fAddTransparentColor && colors.size() < 256) colors.push_back(0);
    assign(std::move(colors), type);
    return S_OK;
}

STDMETHODIMP Palette::InitializeCustom(WICColor* pColors, UINT cCount)
{
    if ((!pColors && cCount) || cCount > 256) return E_INVALIDARG;
    assign(std::vector<WICColor>(pColors, pColors + cCount));
    return S_OK;
}

STDMETHODIMP Palette::InitializeFromBitmap(IWICBitmapSource*, UINT, BOOL)
{
    return WINCODEC_ERR_UNSUPPORTEDOPERATION; // no palette optimisation in this component
}

STDMETHODIMP Palette::InitializeFromPalette(IWICPalette* pIPalette)
{
    if (!pIPalette) return E_INVALIDARG;
    WICBitmapPaletteType type = WICBitmapPaletteTypeCustom;
    RETURN_IF_FAILED(pIPalette->GetType(&type));
    assign(paletteColors(pIPalette), type);
    return S_OK;
}

STDMETHODIMP Palette::GetType(WICBitmapPaletteType* pePaletteType)
{
    if (!pePaletteType) return E_INVALIDARG;
    *pePaletteType = m_type;
    return S_OK;
}

STDMETHODIMP Palette::GetColorCount(UINT* pcCount)
{
    if (!pcCount) return E_INVALIDARG;
    *pcCount = static_cast<UINT>(m_colors.size());
    return S_OK;
}

STDMETHODIMP Palette::GetColors(UINT cCount, WICColor* pColors, UINT* pcActualColors)
{
    if (!pColors || !pcActualColors) return E_INVALIDARG;
    const UINT n = std::min<UINT>(cCount, static_cast<UINT>(m_colors.size()));
    std::copy_n(m_colors.begin(), n, pColors);
    *pcActualColors = n;
    return S_OK;
}

STDMETHODIMP Palette::IsBlackWhite(BOOL* pf)
{
    if (!pf) return E_INVALIDARG;
    *pf = m_colors.size() == 2 && (m_colors[0] & 0xFFFFFF) == 0 &&
          (m_colors[1] & 0xFFFFFF) == 0xFFFFFF;
    return S_OK;
}

STDMETHODIMP Palette::IsGrayscale(BOOL* pf)
{
    if (!pf) return E_INVALIDARG;
    *pf = !m_colors.empty() && std::all_of(m_colors.begin(), m_colors.end(), isGray);
    return S_OK;
}

STDMETHODIMP Palette::HasAlpha(BOOL* pf)
{
    if (!pf) return E_INVALIDARG;
    *pf =
        std::any_of(m_colors.begin(), m_colors.end(), [](WICColor c) { return (c >> 24) != 0xFF; });
    return S_OK;
}

std::vector<WICColor> paletteColors(IWICPalette* palette)
{
    UINT count = 0;
    if (!palette || FAILED(palette->GetColorCount(&count)) || count == 0 || count > 256) return {};
    std::vector<WICColor> colors(count);
    UINT actual = 0;
    if (FAILED(palette->GetColors(count, colors.data(), &actual))) return {};
    colors.resize(actual);
    return colors;
}

HRESULT copyPaletteTo(const std::vector<WICColor>& colors, IWICPalette* target)
{
    if (!target) return E_INVALIDARG;
    if (colors.empty()) return WINCODEC_ERR_PALETTEUNAVAILABLE;
    std::vector<WICColor> copy = colors;
    return target->InitializeCustom(copy.data(), static_cast<UINT>(copy.size()));
}

} // namespace mio::imaging
