// SPDX-License-Identifier: MIT
// What every decoder and every fully decoded frame share: the decoder methods that only report
// state, and a frame whose pixels are decoded once into memory on first use.
#pragma once

#include <functional>
#include <vector>

#include "bitmap.h"
#include "source_base.h"

namespace mio::imaging {

// Derived implements `HRESULT load(IStream*)` (reads the headers and frame list, leaving the
// decoder unchanged on failure), `UINT frameCount()` and
// `HRESULT makeFrame(UINT index, IWICBitmapFrameDecode**)`.
template <typename Derived> class DecoderBase : public ComObject<Derived, IWICBitmapDecoder> {
  public:
    explicit DecoderBase(const GUID& container) : m_container(container) {}

    STDMETHODIMP QueryCapability(IStream* pIStream, DWORD* pdwCapability) override
    {
        if (!pIStream || !pdwCapability) return E_INVALIDARG;
        *pdwCapability = WICBitmapDecoderCapabilityCanDecodeAllImages;
        return S_OK;
    }
    STDMETHODIMP Initialize(IStream* pIStream, WICDecodeOptions) override
    {
        if (!pIStream) return E_INVALIDARG;
        if (m_stream) return WINCODEC_ERR_WRONGSTATE;
        RETURN_IF_FAILED(guard([&] { return static_cast<Derived*>(this)->load(pIStream); }));
        m_stream = ComPtr<IStream>(pIStream);
        return S_OK;
    }
    STDMETHODIMP GetContainerFormat(GUID* pguidContainerFormat) override
    {
        if (!pguidContainerFormat) return E_INVALIDARG;
        *pguidContainerFormat = m_container;
        return S_OK;
    }
    STDMETHODIMP GetDecoderInfo(IWICBitmapDecoderInfo** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return E_NOTIMPL; // no component registry in this stand-in
    }
    STDMETHODIMP CopyPalette(IWICPalette* pIPalette) override
    {
        if (!pIPalette) return E_INVALIDARG;
        if (!m_stream) return WINCODEC_ERR_NOTINITIALIZED;
        return copyPaletteTo(m_globalPalette, pIPalette);
    }
    STDMETHODIMP GetMetadataQueryReader(IWICMetadataQueryReader** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return m_stream ? WINCODEC_ERR_UNSUPPORTEDOPERATION : WINCODEC_ERR_NOTINITIALIZED;
    }
    STDMETHODIMP GetPreview(IWICBitmapSource** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return m_stream ? WINCODEC_ERR_UNSUPPORTEDOPERATION : WINCODEC_ERR_NOTINITIALIZED;
    }
    STDMETHODIMP GetColorContexts(UINT, IWICColorContext**, UINT* pcActualCount) override
    {
        if (!pcActualCount) return E_INVALIDARG;
        *pcActualCount = 0;
        return m_stream ? S_OK : WINCODEC_ERR_NOTINITIALIZED;
    }
    STDMETHODIMP GetThumbnail(IWICBitmapSource** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return m_stream ? WINCODEC_ERR_CODECNOTHUMBNAIL : WINCODEC_ERR_NOTINITIALIZED;
    }
    STDMETHODIMP GetFrameCount(UINT* pCount) override
    {
        if (!pCount) return E_INVALIDARG;
        if (!m_stream) return WINCODEC_ERR_NOTINITIALIZED;
        *pCount = static_cast<Derived*>(this)->frameCount();
        return S_OK;
    }
    STDMETHODIMP GetFrame(UINT index, IWICBitmapFrameDecode** ppIBitmapFrame) override
    {
        if (!ppIBitmapFrame) return E_INVALIDARG;
        *ppIBitmapFrame = nullptr;
        if (!m_stream) return WINCODEC_ERR_NOTINITIALIZED;
        if (index >= static_cast<Derived*>(this)->frameCount()) return WINCODEC_ERR_FRAMEMISSING;
        return guard([&] { return static_cast<Derived*>(this)->makeFrame(index, ppIBitmapFrame); });
    }

  protected:
    // Runs f, turning an allocation failure into E_OUTOFMEMORY so nothing escapes the interface.
    template <typename F> static HRESULT guard(F&& f)
    {
        try {
            return f();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;
        }
    }

    ComPtr<IStream> m_stream;
    std::vector<WICColor> m_globalPalette;

  private:
    GUID m_container;
};

// Decodes its whole picture into memory the first time pixels are asked for, then serves every
// CopyPixels from there. Used by the formats whose libraries do not decode row ranges cheaply.
class MemoryFrame final : public SourceBase<MemoryFrame, IWICBitmapFrameDecode> {
  public:
    // Fills `pixels` with `stride`-spaced rows of the frame's format; runs at most once.
    using DecodeFn = std::function<HRESULT(std::vector<BYTE>& pixels, size_t& stride)>;

    MemoryFrame(ComPtr<IUnknown> owner, UINT width, UINT height, REFGUID format, double dpiX,
                double dpiY, std::vector<WICColor> palette, DecodeFn decode);

    STDMETHODIMP GetMetadataQueryReader(IWICMetadataQueryReader** pp) override;
    STDMETHODIMP GetColorContexts(UINT, IWICColorContext**, UINT* pcActualCount) override;
    STDMETHODIMP GetThumbnail(IWICBitmapSource** pp) override;

    HRESULT copyRect(const WICRect& rc, UINT stride, BYTE* buffer);

  private:
    ComPtr<IUnknown> m_owner; // keeps the decoder, and with it the stream, alive
    DecodeFn m_decode;
    HRESULT m_decodeResult = S_FALSE; // S_FALSE: not tried yet
    std::vector<BYTE> m_pixels;
    size_t m_stride = 0;
};

// Refuses pictures whose decoded size would pass kMaxPictureBytes (or overflow), before any
// allocation: WINCODEC_ERR_IMAGESIZEOUTOFRANGE.
HRESULT checkPictureSize(UINT width, UINT height, UINT bitsPerPixel);

} // namespace mio::imaging
