// SPDX-License-Identifier: MIT
// Encoder state machine: Initialize, CreateNewFrame, frame set-up, rows, frame Commit, Commit.
#include "encoder_base.h"

#include <algorithm>
#include <vector>

#include "factory.h"
#include "metadata/jpeg_metadata.h"
#include "palette.h"
#include "pixel_format.h"

namespace mio::imaging {
namespace {

class FrameEncode final : public ComObject<FrameEncode, IWICBitmapFrameEncode> {
  public:
    FrameEncode(ComPtr<IWICBitmapEncoder> owner, const EncoderTraits& traits, IStream* stream,
                std::shared_ptr<bool> committed)
        : m_owner(std::move(owner)), m_traits(traits), m_stream(stream),
          m_committedFlag(std::move(committed))
    {
        // JPEG frames carry metadata blocks: copied from a source frame and edited by path.
        if (*traits.container == GUID_ContainerFormatJpeg)
            m_meta = metadata::makeJpegFrameMetadata();
    }

    HRESULT queryExtra(REFIID riid, void** ppv)
    {
        return m_meta ? m_meta->queryBlockWriter(riid, ppv) : E_NOINTERFACE;
    }

    STDMETHODIMP Initialize(IPropertyBag2*) override
    {
        if (m_state != State::Created) return WINCODEC_ERR_WRONGSTATE;
        m_state = State::Initialized;
        return S_OK;
    }
    STDMETHODIMP SetSize(UINT w, UINT h) override
    {
        if (m_state != State::Initialized) return WINCODEC_ERR_WRONGSTATE;
        if (w == 0 || h == 0 || w > 65535 || h > 65535) return E_INVALIDARG;
        m_width = w;
        m_height = h;
        return S_OK;
    }
    STDMETHODIMP SetResolution(double dpiX, double dpiY) override
    {
        if (m_state != State::Initialized) return WINCODEC_ERR_WRONGSTATE;
        if (!(dpiX > 0) || !(dpiY > 0)) return E_INVALIDARG;
        m_dpiX = dpiX;
        m_dpiY = dpiY;
        m_dpiSet = true;
        return S_OK;
    }
    STDMETHODIMP SetPixelFormat(WICPixelFormatGUID* pPixelFormat) override
    {
        if (!pPixelFormat) return E_INVALIDARG;
        if (m_state != State::Initialized) return WINCODEC_ERR_WRONGSTATE;
        const auto& f = m_traits.formats;
        const bool accepted =
            std::any_of(f.begin(), f.end(), [&](const GUID* g) { return *g == *pPixelFormat; });
        if (!accepted) {
            // Closest accepted: keep alpha where the codec can, else the fallback.
            const auto info = pixelFormatInfo(*pPixelFormat);
            const bool alpha = info && info->channels == 4 &&
                               *pPixelFormat != GUID_WICPixelFormat32bppCMYK &&
                               *pPixelFormat != GUID_WICPixelFormat32bppBGR;
            const GUID* pick = f[0];
            if (alpha)
                for (const GUID* g : f)
                    if (*g == GUID_WICPixelFormat32bppBGRA) pick = g;
            *pPixelFormat = *pick;
        }
        m_format = *pPixelFormat;
        m_formatSet = true;
        return S_OK;
    }
    STDMETHODIMP SetColorContexts(UINT, IWICColorContext**) override
    {
        return m_state == State::Initialized ? WINCODEC_ERR_UNSUPPORTEDOPERATION
                                             : WINCODEC_ERR_WRONGSTATE;
    }
    STDMETHODIMP SetPalette(IWICPalette* pIPalette) override
    {
        if (!pIPalette) return E_INVALIDARG;
        if (m_state != State::Initialized) return WINCODEC_ERR_WRONGSTATE;
        m_palette = paletteColors(pIPalette);
        return S_OK;
    }
    STDMETHODIMP SetThumbnail(IWICBitmapSource*) override
    {
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP WritePixels(UINT lineCount, UINT cbStride, UINT cbBufferSize,
                             BYTE* pbPixels) override
    {
        if (!pbPixels || lineCount == 0) return E_INVALIDARG;
        RETURN_IF_FAILED(begin());
        const UINT row = rowBytes(m_width, m_bpp);
        if (cbStride < row || uint64_t{cbStride} * (lineCount - 1) + row > cbBufferSize)
            return E_INVALIDARG;
        if (lineCount > m_height - m_written) return WINCODEC_ERR_CODECTOOMANYSCANLINES;
        RETURN_IF_FAILED(fail(m_sink->writeRows(pbPixels, cbStride, lineCount)));
        m_written += lineCount;
        return S_OK;
    }
    STDMETHODIMP WriteSource(IWICBitmapSource* pIBitmapSource, WICRect* prc) override
    {
        if (!pIBitmapSource) return E_INVALIDARG;
        if (m_state != State::Initialized && m_state != State::Writing)
            return WINCODEC_ERR_WRONGSTATE;
        UINT sw = 0, sh = 0;
        RETURN_IF_FAILED(pIBitmapSource->GetSize(&sw, &sh));
        WICRect rc{0, 0, static_cast<INT>(sw), static_cast<INT>(sh)};
        if (prc) rc = *prc;
        if (rc.X < 0 || rc.Y < 0 || rc.Width <= 0 || rc.Height <= 0 ||
            uint64_t{static_cast<UINT>(rc.X)} + static_cast<UINT>(rc.Width) > sw ||
            uint64_t{static_cast<UINT>(rc.Y)} + static_cast<UINT>(rc.Height) > sh)
            return E_INVALIDARG;
        // Size and format default to the source's when the caller has not set them.
        if (m_width == 0)
            RETURN_IF_FAILED(SetSize(static_cast<UINT>(rc.Width), static_cast<UINT>(rc.Height)));
        if (static_cast<UINT>(rc.Width) != m_width) return E_INVALIDARG;
        WICPixelFormatGUID srcFormat{};
        RETURN_IF_FAILED(pIBitmapSource->GetPixelFormat(&srcFormat));
        if (!m_formatSet) {
            WICPixelFormatGUID f = srcFormat;
            RETURN_IF_FAILED(SetPixelFormat(&f));
        }
        if (!m_dpiSet) {
            double x = 96, y = 96;
            if (SUCCEEDED(pIBitmapSource->GetResolution(&x, &y)) && x > 0 && y > 0) {
                m_dpiX = x;
                m_dpiY = y;
            }
        }
        if (m_meta && m_state == State::Initialized && m_formatSet) {
            // An unchanged JPEG frame keeps its compressed data: no generation loss.
            const HRESULT copied = m_meta->tryCopyScan(pIBitmapSource, rc, srcFormat == m_format,
                                                       m_width, m_height, m_stream.Get());
            RETURN_IF_FAILED(fail(copied));
            if (copied == S_OK) {
                m_state = State::Writing;
                m_written = m_height;
                m_scanCopied = true;
                return S_OK;
            }
        }
        ComPtr<IWICBitmapSource> source(pIBitmapSource);
        if (srcFormat != m_format) {
            ComPtr<IWICFormatConverter> converter;
            RETURN_IF_FAILED(createFormatConverter(converter.GetAddressOf()));
            RETURN_IF_FAILED(converter->Initialize(pIBitmapSource, m_format,
                                                   WICBitmapDitherTypeNone, nullptr, 0.0,
                                                   WICBitmapPaletteTypeCustom));
            source = ComPtr<IWICBitmapSource>(converter.Get());
        } else if (m_palette.empty()) {
            auto p = Palette::make();
            if (p && SUCCEEDED(pIBitmapSource->CopyPalette(p.Get()))) m_palette = p->colors();
        }
        RETURN_IF_FAILED(begin());
        if (static_cast<UINT>(rc.Height) > m_height - m_written)
            return WINCODEC_ERR_CODECTOOMANYSCANLINES;
        const UINT row = rowBytes(m_width, m_bpp);
        const UINT band = std::clamp<UINT>((1u << 22) / std::max(row, 1u), 1, 64);
        std::vector<BYTE> buffer;
        try {
            buffer.resize(size_t{row} * band);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        for (INT y = 0; y < rc.Height;) {
            const INT n = std::min<INT>(static_cast<INT>(band), rc.Height - y);
            const WICRect part{rc.X, rc.Y + y, rc.Width, n};
            RETURN_IF_FAILED(
                source->CopyPixels(&part, row, row * static_cast<UINT>(n), buffer.data()));
            RETURN_IF_FAILED(fail(m_sink->writeRows(buffer.data(), row, static_cast<UINT>(n))));
            m_written += static_cast<UINT>(n);
            y += n;
        }
        return S_OK;
    }
    STDMETHODIMP Commit() override
    {
        if (m_state != State::Writing || m_written != m_height) return WINCODEC_ERR_WRONGSTATE;
        if (!m_scanCopied) RETURN_IF_FAILED(fail(m_sink->finish()));
        if (!m_scanCopied && m_meta) RETURN_IF_FAILED(fail(m_meta->finish(m_stream.Get())));
        m_state = State::Committed;
        *m_committedFlag = true;
        return S_OK;
    }
    STDMETHODIMP GetMetadataQueryWriter(IWICMetadataQueryWriter** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return m_meta ? m_meta->queryWriter(pp) : WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }

  private:
    enum class State { Created, Initialized, Writing, Committed, Failed };

    HRESULT begin()
    {
        if (m_state == State::Writing) return S_OK;
        if (m_state != State::Initialized) return WINCODEC_ERR_WRONGSTATE;
        if (m_width == 0 || !m_formatSet) return WINCODEC_ERR_WRONGSTATE;
        m_bpp = pixelFormatInfo(m_format)->bitsPerPixel;
        m_sink = m_traits.makeSink();
        if (!m_sink) return E_OUTOFMEMORY;
        // With metadata to place after SOI, the pixels are compressed into a buffer first.
        IStream* target = m_stream.Get();
        if (m_meta && !(target = m_meta->pixelStream())) return fail(E_OUTOFMEMORY);
        RETURN_IF_FAILED(
            fail(m_sink->start(target, m_width, m_height, m_format, m_dpiX, m_dpiY, m_palette)));
        m_state = State::Writing;
        return S_OK;
    }
    HRESULT fail(HRESULT hr)
    {
        if (FAILED(hr)) m_state = State::Failed;
        return hr;
    }

    ComPtr<IWICBitmapEncoder> m_owner;
    const EncoderTraits& m_traits;
    ComPtr<IStream> m_stream;
    State m_state = State::Created;
    UINT m_width = 0, m_height = 0, m_written = 0, m_bpp = 0;
    double m_dpiX = 96.0, m_dpiY = 96.0;
    bool m_dpiSet = false;
    GUID m_format{};
    bool m_formatSet = false;
    std::vector<WICColor> m_palette;
    std::unique_ptr<RowSink> m_sink;
    std::shared_ptr<bool> m_committedFlag;               // read by the encoder's Commit
    std::shared_ptr<metadata::JpegFrameMetadata> m_meta; // JPEG only
    bool m_scanCopied = false;
};

class Encoder final : public ComObject<Encoder, IWICBitmapEncoder> {
  public:
    explicit Encoder(const EncoderTraits& traits) : m_traits(traits) {}

    STDMETHODIMP Initialize(IStream* pIStream, WICBitmapEncoderCacheOption) override
    {
        if (!pIStream) return E_INVALIDARG;
        if (m_stream) return WINCODEC_ERR_WRONGSTATE;
        m_stream = ComPtr<IStream>(pIStream);
        return S_OK;
    }
    STDMETHODIMP GetContainerFormat(GUID* pguid) override
    {
        if (!pguid) return E_INVALIDARG;
        *pguid = *m_traits.container;
        return S_OK;
    }
    STDMETHODIMP GetEncoderInfo(IWICBitmapEncoderInfo** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetColorContexts(UINT, IWICColorContext**) override
    {
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP SetPalette(IWICPalette*) override { return WINCODEC_ERR_UNSUPPORTEDOPERATION; }
    STDMETHODIMP SetThumbnail(IWICBitmapSource*) override
    {
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP SetPreview(IWICBitmapSource*) override
    {
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP CreateNewFrame(IWICBitmapFrameEncode** ppFrame, IPropertyBag2** ppOptions) override
    {
        if (!ppFrame) return E_INVALIDARG;
        *ppFrame = nullptr;
        if (ppOptions) *ppOptions = nullptr;
        if (!m_stream) return WINCODEC_ERR_NOTINITIALIZED;
        if (m_frameCommitted || m_committed)
            return WINCODEC_ERR_WRONGSTATE; // one frame per file here
        try {
            m_frameCommitted = std::make_shared<bool>(false);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        auto frame = FrameEncode::make(ComPtr<IWICBitmapEncoder>(this), m_traits, m_stream.Get(),
                                       m_frameCommitted);
        return handOut<IWICBitmapFrameEncode>(frame, ppFrame);
    }
    STDMETHODIMP Commit() override
    {
        if (!m_stream) return WINCODEC_ERR_NOTINITIALIZED;
        if (m_committed || !m_frameCommitted || !*m_frameCommitted) return WINCODEC_ERR_WRONGSTATE;
        m_committed = true;
        return S_OK;
    }
    STDMETHODIMP GetMetadataQueryWriter(IWICMetadataQueryWriter** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }

  private:
    const EncoderTraits& m_traits;
    ComPtr<IStream> m_stream;
    std::shared_ptr<bool> m_frameCommitted; // set by the frame's Commit
    bool m_committed = false;
};

} // namespace

HRESULT createEncoder(const EncoderTraits& traits, IWICBitmapEncoder** ppEncoder)
{
    return handOut<IWICBitmapEncoder>(Encoder::make(traits), ppEncoder);
}

} // namespace mio::imaging
