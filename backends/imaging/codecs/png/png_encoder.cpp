// SPDX-License-Identifier: MIT
// PNG encoding: rows go to libpng as they arrive.
#include "codecs/png/png_encoder.h"

#include <csetjmp>
#include <memory>

#include <png.h>

#include "encoder_base.h"

namespace mio::imaging {
namespace {

struct PngWriteState {
    png_structp png;
    png_infop info;
    IStream* stream;
    HRESULT writeError;
};

void writeData(png_structp png, png_bytep data, size_t length)
{
    auto* s = static_cast<PngWriteState*>(png_get_io_ptr(png));
    ULONG put = 0;
    const HRESULT hr = s->stream->Write(data, static_cast<ULONG>(length), &put);
    if (FAILED(hr) || put != length) {
        s->writeError = FAILED(hr) ? hr : WINCODEC_ERR_STREAMWRITE;
        png_error(png, "write");
    }
}
void flushData(png_structp) {}
void onError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

void destroy(PngWriteState* s)
{
    if (s->png) png_destroy_write_struct(&s->png, &s->info);
    s->png = nullptr;
    s->info = nullptr;
}

HRESULT failure(PngWriteState* s)
{
    destroy(s);
    return FAILED(s->writeError) ? s->writeError : WINCODEC_ERR_INTERNALERROR;
}

HRESULT startPng(PngWriteState* s, UINT width, UINT height, int depth, int colorType, bool bgr,
                 bool swap, double dpiX, double dpiY)
{
    s->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!s->png) return E_OUTOFMEMORY;
    s->info = png_create_info_struct(s->png);
    if (!s->info) return failure(s);
    if (setjmp(png_jmpbuf(s->png))) return failure(s);
    png_set_write_fn(s->png, s, writeData, flushData);
    png_set_IHDR(s->png, s->info, width, height, depth, colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_pHYs(s->png, s->info, static_cast<png_uint_32>(dpiX / 0.0254 + 0.5),
                 static_cast<png_uint_32>(dpiY / 0.0254 + 0.5), PNG_RESOLUTION_METER);
    png_write_info(s->png, s->info);
    if (bgr) png_set_bgr(s->png);
    if (swap) png_set_swap(s->png);
    return S_OK;
}

HRESULT writePngRows(PngWriteState* s, const BYTE* rows, UINT stride, UINT count)
{
    if (setjmp(png_jmpbuf(s->png))) return failure(s);
    for (UINT i = 0; i < count; ++i)
        png_write_row(s->png, rows + size_t{stride} * i);
    return S_OK;
}

HRESULT finishPng(PngWriteState* s)
{
    if (setjmp(png_jmpbuf(s->png))) return failure(s);
    png_write_end(s->png, nullptr);
    destroy(s);
    return S_OK;
}

class PngSink final : public RowSink {
  public:
    ~PngSink() override { destroy(&m_state); }
    HRESULT start(IStream* stream, UINT width, UINT height, REFGUID f, double dpiX, double dpiY,
                  std::span<const WICColor>) override
    {
        m_state = {nullptr, nullptr, stream, S_OK};
        if (f == GUID_WICPixelFormat8bppGray)
            return startPng(&m_state, width, height, 8, PNG_COLOR_TYPE_GRAY, false, false, dpiX,
                            dpiY);
        if (f == GUID_WICPixelFormat16bppGray)
            return startPng(&m_state, width, height, 16, PNG_COLOR_TYPE_GRAY, false, true, dpiX,
                            dpiY);
        if (f == GUID_WICPixelFormat24bppBGR)
            return startPng(&m_state, width, height, 8, PNG_COLOR_TYPE_RGB, true, false, dpiX,
                            dpiY);
        if (f == GUID_WICPixelFormat32bppBGRA)
            return startPng(&m_state, width, height, 8, PNG_COLOR_TYPE_RGBA, true, false, dpiX,
                            dpiY);
        if (f == GUID_WICPixelFormat48bppRGB)
            return startPng(&m_state, width, height, 16, PNG_COLOR_TYPE_RGB, false, true, dpiX,
                            dpiY);
        return startPng(&m_state, width, height, 16, PNG_COLOR_TYPE_RGBA, false, true, dpiX, dpiY);
    }
    HRESULT writeRows(const BYTE* rows, UINT stride, UINT count) override
    {
        return writePngRows(&m_state, rows, stride, count);
    }
    HRESULT finish() override { return finishPng(&m_state); }

  private:
    PngWriteState m_state{};
};

constexpr const GUID* kFormats[] = {&GUID_WICPixelFormat24bppBGR, &GUID_WICPixelFormat32bppBGRA,
                                    &GUID_WICPixelFormat8bppGray, &GUID_WICPixelFormat16bppGray,
                                    &GUID_WICPixelFormat48bppRGB, &GUID_WICPixelFormat64bppRGBA};
const EncoderTraits kTraits{&GUID_ContainerFormatPng, kFormats,
                            [] { return std::unique_ptr<RowSink>(new (std::nothrow) PngSink); }};

} // namespace

HRESULT createPngEncoder(IWICBitmapEncoder** ppEncoder)
{
    if (!ppEncoder) return E_INVALIDARG;
    return createEncoder(kTraits, ppEncoder);
}

} // namespace mio::imaging
