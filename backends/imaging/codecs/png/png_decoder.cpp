// SPDX-License-Identifier: MIT
// PNG decoding: the header is read at Initialize; the whole picture is decoded on first CopyPixels
// (interlaced files need every pass anyway) into the format that keeps all of the file's data.
#include "codecs/png/png_decoder.h"

#include <csetjmp>
#include <cstring>

#include <png.h>

#include "decoder_base.h"
#include "stream.h"

namespace mio::imaging {
namespace {

struct PngIo {
    IStream* stream;
    HRESULT readError;
};

void readData(png_structp png, png_bytep data, size_t length)
{
    auto* io = static_cast<PngIo*>(png_get_io_ptr(png));
    if (length == 0) return; // some streams refuse empty reads
    ULONG got = 0;
    const HRESULT hr = length > UINT32_MAX
                           ? E_INVALIDARG
                           : io->stream->Read(data, static_cast<ULONG>(length), &got);
    if (FAILED(hr) || got != length) {
        io->readError = FAILED(hr) ? hr : WINCODEC_ERR_BADSTREAMDATA;
        png_error(png, "read");
    }
}
void onPngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}
void onPngWarning(png_structp, png_const_charp) {}

// What the header says and how the rows will be delivered.
struct PngPlan {
    png_uint_32 width;
    png_uint_32 height;
    int bitDepth;
    int colorType;
    bool hasTrns;
    double dpiX;
    double dpiY;
    const GUID* format;
    UINT bpp;
    WICColor palette[256];
    int paletteSize;
};

void choose(PngPlan& p)
{
    const int ct = p.colorType, bd = p.bitDepth;
    if (ct == PNG_COLOR_TYPE_PALETTE) {
        p.format = bd == 1   ? &GUID_WICPixelFormat1bppIndexed
                   : bd == 2 ? &GUID_WICPixelFormat2bppIndexed
                   : bd == 4 ? &GUID_WICPixelFormat4bppIndexed
                             : &GUID_WICPixelFormat8bppIndexed;
        p.bpp = static_cast<UINT>(bd);
    } else if (ct == PNG_COLOR_TYPE_GRAY && !p.hasTrns) {
        p.format = bd == 1   ? &GUID_WICPixelFormatBlackWhite
                   : bd == 2 ? &GUID_WICPixelFormat2bppGray
                   : bd == 4 ? &GUID_WICPixelFormat4bppGray
                   : bd == 8 ? &GUID_WICPixelFormat8bppGray
                             : &GUID_WICPixelFormat16bppGray;
        p.bpp = static_cast<UINT>(bd);
    } else if (ct == PNG_COLOR_TYPE_RGB && !p.hasTrns) {
        p.format = bd == 16 ? &GUID_WICPixelFormat48bppRGB : &GUID_WICPixelFormat24bppBGR;
        p.bpp = bd == 16 ? 48 : 24;
    } else {
        // Alpha (a channel, or transparency of grey or colour values) widens to four channels.
        p.format = bd == 16 ? &GUID_WICPixelFormat64bppRGBA : &GUID_WICPixelFormat32bppBGRA;
        p.bpp = bd == 16 ? 64 : 32;
    }
}

// Reads the header, and with `rows` the picture too. Locals stay trivially destructible because
// libpng leaves by longjmp.
HRESULT runPng(IStream* stream, PngPlan* plan, png_bytep* rows)
{
    PngIo io{stream, S_OK};
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
    if (!png) return E_OUTOFMEMORY;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return E_OUTOFMEMORY;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (FAILED(io.readError))
            return io.readError == WINCODEC_ERR_BADSTREAMDATA && !rows ? WINCODEC_ERR_BADHEADER
                                                                       : io.readError;
        return rows ? WINCODEC_ERR_BADSTREAMDATA : WINCODEC_ERR_BADHEADER;
    }
    png_set_read_fn(png, &io, readData);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_set_chunk_malloc_max(png, 64u << 20);
    png_read_info(png, info);
    if (!rows) {
        plan->width = png_get_image_width(png, info);
        plan->height = png_get_image_height(png, info);
        plan->bitDepth = png_get_bit_depth(png, info);
        plan->colorType = png_get_color_type(png, info);
        plan->hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
        plan->dpiX = plan->dpiY = 96.0;
        png_uint_32 rx = 0, ry = 0;
        int unit = 0;
        if (png_get_pHYs(png, info, &rx, &ry, &unit) && unit == PNG_RESOLUTION_METER && rx && ry) {
            plan->dpiX = rx * 0.0254;
            plan->dpiY = ry * 0.0254;
        }
        plan->paletteSize = 0;
        png_colorp colors = nullptr;
        int count = 0;
        if (plan->colorType == PNG_COLOR_TYPE_PALETTE && png_get_PLTE(png, info, &colors, &count)) {
            png_bytep alpha = nullptr;
            int alphaCount = 0;
            png_get_tRNS(png, info, &alpha, &alphaCount, nullptr);
            plan->paletteSize = count > 256 ? 256 : count;
            for (int i = 0; i < plan->paletteSize; ++i) {
                const UINT a = alpha && i < alphaCount ? alpha[i] : 255u;
                plan->palette[i] = a << 24 | UINT(colors[i].red) << 16 |
                                   UINT(colors[i].green) << 8 | colors[i].blue;
            }
        }
        png_destroy_read_struct(&png, &info, nullptr);
        return S_OK;
    }
    const int ct = plan->colorType;
    const bool wide = plan->bpp == 32 || plan->bpp == 64;
    if (wide) {
        if (plan->hasTrns) png_set_tRNS_to_alpha(png);
        if (ct == PNG_COLOR_TYPE_GRAY || ct == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
        if (plan->bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    }
    if (plan->bpp == 24 || plan->bpp == 32) png_set_bgr(png);
    if (plan->bitDepth == 16) png_set_swap(png); // the 16-bit formats are little-endian
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != (size_t{plan->width} * plan->bpp + 7) / 8) {
        png_destroy_read_struct(&png, &info, nullptr);
        return WINCODEC_ERR_INTERNALERROR;
    }
    png_read_image(png, rows);
    png_destroy_read_struct(&png, &info, nullptr);
    return S_OK;
}

class PngDecoder final : public DecoderBase<PngDecoder> {
  public:
    PngDecoder() : DecoderBase(GUID_ContainerFormatPng) {}

    HRESULT load(IStream* stream)
    {
        RETURN_IF_FAILED(seekTo(stream, 0));
        PngPlan plan{};
        RETURN_IF_FAILED(runPng(stream, &plan, nullptr));
        choose(plan);
        RETURN_IF_FAILED(checkPictureSize(plan.width, plan.height, plan.bpp));
        m_plan = plan;
        return S_OK;
    }
    UINT frameCount() const { return 1; }
    HRESULT makeFrame(UINT, IWICBitmapFrameDecode** pp)
    {
        ComPtr<IUnknown> self(static_cast<IWICBitmapDecoder*>(this));
        const PngPlan plan = m_plan;
        ComPtr<IStream> stream = m_stream;
        auto decode = [plan, stream](std::vector<BYTE>& pixels, size_t& stride) -> HRESULT {
            stride = (size_t{plan.width} * plan.bpp + 7) / 8;
            // Deflate expands at most about 1032 times: a file too small to hold the picture is
            // refused before its buffer is allocated.
            uint64_t fileSize = 0;
            RETURN_IF_FAILED(streamSize(stream.Get(), &fileSize));
            if (uint64_t{stride} * plan.height > fileSize * 1100 + (uint64_t{1} << 20))
                return WINCODEC_ERR_BADSTREAMDATA;
            pixels.resize(stride * plan.height);
            std::vector<png_bytep> rows(plan.height);
            for (png_uint_32 y = 0; y < plan.height; ++y)
                rows[y] = pixels.data() + stride * y;
            PngPlan p = plan;
            RETURN_IF_FAILED(seekTo(stream.Get(), 0));
            return runPng(stream.Get(), &p, rows.data());
        };
        std::vector<WICColor> palette(m_plan.palette, m_plan.palette + m_plan.paletteSize);
        auto frame =
            MemoryFrame::make(self, m_plan.width, m_plan.height, *m_plan.format, m_plan.dpiX,
                              m_plan.dpiY, std::move(palette), std::move(decode));
        return handOut<IWICBitmapFrameDecode>(frame, pp);
    }

  private:
    PngPlan m_plan{};
};

} // namespace

bool sniffPng(std::span<const uint8_t> head)
{
    static constexpr uint8_t kSig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return head.size() >= 8 && std::memcmp(head.data(), kSig, 8) == 0;
}

HRESULT createPngDecoder(IWICBitmapDecoder** ppDecoder)
{
    return handOut<IWICBitmapDecoder>(PngDecoder::make(), ppDecoder);
}

} // namespace mio::imaging
