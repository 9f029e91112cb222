// SPDX-License-Identifier: MIT
// IWICPalette: a colour table of up to 256 0xAARRGGBB entries.
#pragma once

#include <vector>

#include "com_object.h"

namespace mio::imaging {

class Palette final : public ComObject<Palette, IWICPalette> {
  public:
    STDMETHODIMP InitializePredefined(WICBitmapPaletteType ePaletteType,
                                      BOOL fAddTransparentColor) override;
    STDMETHODIMP InitializeCustom(WICColor* pColors, UINT cCount) override;
    STDMETHODIMP InitializeFromBitmap(IWICBitmapSource* pISurface, UINT cCount,
                                      BOOL fAddTransparentColor) override;
    STDMETHODIMP InitializeFromPalette(IWICPalette* pIPalette) override;
    STDMETHODIMP GetType(WICBitmapPaletteType* pePaletteType) override;
    STDMETHODIMP GetColorCount(UINT* pcCount) override;
    STDMETHODIMP GetColors(UINT cCount, WICColor* pColors, UINT* pcActualColors) override;
    STDMETHODIMP IsBlackWhite(BOOL* pfIsBlackWhite) override;
    STDMETHODIMP IsGrayscale(BOOL* pfIsGrayscale) override;
    STDMETHODIMP HasAlpha(BOOL* pfHasAlpha) override;

    const std::vector<WICColor>& colors() const { return m_colors; }
    void assign(std::vector<WICColor> colors,
                WICBitmapPaletteType type = WICBitmapPaletteTypeCustom)
    {
        m_colors = std::move(colors);
        m_type = type;
    }

  private:
    std::vector<WICColor> m_colors;
    WICBitmapPaletteType m_type = WICBitmapPaletteTypeCustom;
};

// Reads the palette of any IWICPalette into a vector (empty on failure).
std::vector<WICColor> paletteColors(IWICPalette* palette);

// Copies `colors` into the caller's palette object: the CopyPalette of indexed sources.
HRESULT copyPaletteTo(const std::vector<WICColor>& colors, IWICPalette* target);

} // namespace mio::imaging
