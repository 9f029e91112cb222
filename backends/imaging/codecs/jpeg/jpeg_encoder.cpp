// SPDX-License-Identifier: MIT
// JPEG encoding: rows go to libjpeg as they arrive and compressed bytes to the stream.
#include "codecs/jpeg/jpeg_encoder.h"

#include <csetjmp>
#include <cstdio>
#include <memory>

#include <jpeglib.h>

#include "encoder_base.h"

namespace mio::imaging {
namespace {

// Plain C data: libjpeg leaves by longjmp.
struct CompressState {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    jpeg_destination_mgr dest;
    jmp_buf jump;
    IStream* stream;
    HRESULT writeError;
    bool created;
    JOCTET buffer[65536];
};

void onError(j_common_ptr cinfo)
{
    std::longjmp(static_cast<CompressState*>(cinfo->client_data)->jump, 1);
}
void onMessage(j_common_ptr) {}

void initDest(j_compress_ptr cinfo)
{
    auto* s = static_cast<CompressState*>(cinfo->client_data);
    s->dest.next_output_byte = s->buffer;
    s->dest.free_in_buffer = sizeof s->buffer;
}
bool flush(CompressState* s, size_t bytes)
{
    ULONG put = 0;
    const HRESULT hr = s->stream->Write(s->buffer, static_cast<ULONG>(bytes), &put);
    if (FAILED(hr) || put != bytes) {
        s->writeError = FAILED(hr) ? hr : WINCODEC_ERR_STREAMWRITE;
        return false;
    }
    return true;
}
boolean emptyDest(j_compress_ptr cinfo)
{
    auto* s = static_cast<CompressState*>(cinfo->client_data);
    if (!flush(s, sizeof s->buffer)) std::longjmp(s->jump, 1);
    initDest(cinfo);
    return TRUE;
}
void termDest(j_compress_ptr cinfo)
{
    auto* s = static_cast<CompressState*>(cinfo->client_data);
    if (!flush(s, sizeof s->buffer - s->dest.free_in_buffer)) std::longjmp(s->jump, 1);
}

void destroy(CompressState* s)
{
    if (s->created) jpeg_destroy_compress(&s->cinfo);
    s->created = false;
}

HRESULT failure(CompressState* s)
{
    destroy(s);
    return FAILED(s->writeError) ? s->writeError : WINCODEC_ERR_INTERNALERROR;
}

HRESULT startCompress(CompressState* s, UINT width, UINT height, int components,
                      J_COLOR_SPACE space, double dpiX, double dpiY, int quality)
{
    s->cinfo.err = jpeg_std_error(&s->jerr);
    s->jerr.error_exit = onError;
    s->jerr.output_message = onMessage;
    if (setjmp(s->jump)) return failure(s);
    jpeg_create_compress(&s->cinfo);
    s->created = true;
    s->cinfo.client_data = s;
    s->dest.init_destination = initDest;
    s->dest.empty_output_buffer = emptyDest;
    s->dest.term_destination = termDest;
    s->cinfo.dest = &s->dest;
    s->cinfo.image_width = width;
    s->cinfo.image_height = height;
    s->cinfo.input_components = components;
    s->cinfo.in_color_space = space;
    jpeg_set_defaults(&s->cinfo);
    jpeg_set_quality(&s->cinfo, quality, TRUE);
    s->cinfo.write_JFIF_header = space != JCS_CMYK;
    s->cinfo.density_unit = 1;
    s->cinfo.X_density = static_cast<UINT16>(std::min(65535.0, dpiX + 0.5));
    s->cinfo.Y_density = static_cast<UINT16>(std::min(65535.0, dpiY + 0.5));
    jpeg_start_compress(&s->cinfo, TRUE);
    return S_OK;
}

HRESULT writeScanlines(CompressState* s, JSAMPROW* rows, JDIMENSION count)
{
    if (setjmp(s->jump)) return failure(s);
    jpeg_write_scanlines(&s->cinfo, rows, count);
    return S_OK;
}

HRESULT finishCompress(CompressState* s)
{
    if (setjmp(s->jump)) return failure(s);
    jpeg_finish_compress(&s->cinfo);
    destroy(s);
    return S_OK;
}

struct StateDeleter {
    void operator()(CompressState* s) const
    {
        destroy(s);
        delete s;
    }
};

class JpegSink final : public RowSink {
  public:
    HRESULT start(IStream* stream, UINT width, UINT height, REFGUID format, double dpiX,
                  double dpiY, std::span<const WICColor>) override
    {
        m_state.reset(new (std::nothrow) CompressState{});
        if (!m_state) return E_OUTOFMEMORY;
        m_state->stream = stream;
        m_state->writeError = S_OK;
        m_cmyk = format == GUID_WICPixelFormat32bppCMYK;
        const bool gray = format == GUID_WICPixelFormat8bppGray;
        const J_COLOR_SPACE space = gray ? JCS_GRAYSCALE : m_cmyk ? JCS_CMYK : JCS_EXT_BGR;
        return startCompress(m_state.get(), width, height,
                             gray     ? 1
                             : m_cmyk ? 4
                                      : 3,
                             space, dpiX, dpiY, 90);
    }
    HRESULT writeRows(const BYTE* rows, UINT stride, UINT count) override
    {
        JSAMPROW pointers[64];
        for (UINT done = 0; done < count;) {
            const UINT n = std::min<UINT>(64, count - done);
            for (UINT i = 0; i < n; ++i)
                pointers[i] = const_cast<BYTE*>(rows + size_t{stride} * (done + i));
            RETURN_IF_FAILED(writeScanlines(m_state.get(), pointers, n));
            done += n;
        }
        return S_OK;
    }
    HRESULT finish() override { return finishCompress(m_state.get()); }

  private:
    std::unique_ptr<CompressState, StateDeleter> m_state;
    bool m_cmyk = false;
};

constexpr const GUID* kFormats[] = {&GUID_WICPixelFormat24bppBGR, &GUID_WICPixelFormat8bppGray,
                                    &GUID_WICPixelFormat32bppCMYK};
const EncoderTraits kTraits{&GUID_ContainerFormatJpeg, kFormats,
                            [] { return std::unique_ptr<RowSink>(new (std::nothrow) JpegSink); }};

} // namespace

HRESULT createJpegEncoder(IWICBitmapEncoder** ppEncoder)
{
    if (!ppEncoder) return E_INVALIDARG;
    return createEncoder(kTraits, ppEncoder);
}

} // namespace mio::imaging
