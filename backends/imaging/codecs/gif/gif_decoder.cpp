// SPDX-License-Identifier: MIT
// GIF decoding. Initialize walks the whole file once (the frame count needs every image's data
// anyway) and keeps each frame's indices; frames are the raw images, not composed with earlier
// ones, with the local or global colour table and the transparent index of their control block.
#include "codecs/gif/gif_decoder.h"

#include <cstring>
#include <memory>

#include <gif_lib.h>

#include "decoder_base.h"
#include "stream.h"

namespace mio::imaging {
namespace {

int readGif(GifFileType* gif, GifByteType* buffer, int length)
{
    auto* stream = static_cast<IStream*>(gif->UserData);
    ULONG got = 0;
    if (length <= 0 || FAILED(stream->Read(buffer, static_cast<ULONG>(length), &got))) return 0;
    return static_cast<int>(got);
}

struct GifCloser {
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};

struct GifFrame {
    UINT width = 0;
    UINT height = 0;
    std::vector<WICColor> palette;
    std::shared_ptr<const std::vector<BYTE>> indices;
};

std::vector<WICColor> colors(const ColorMapObject* map, int transparent)
{
    std::vector<WICColor> out;
    if (!map || map->ColorCount <= 0 || map->ColorCount > 256) return out;
    for (int i = 0; i < map->ColorCount; ++i) {
        const GifColorType& c = map->Colors[i];
        const WICColor alpha = i == transparent ? 0u : 0xFF000000u;
        out.push_back(alpha | WICColor(c.Red) << 16 | WICColor(c.Green) << 8 | c.Blue);
    }
    return out;
}

// Rows of an interlaced image arrive in four passes; put them back in order.
void deinterlace(std::vector<BYTE>& rows, UINT width, UINT height)
{
    std::vector<BYTE> ordered(rows.size());
    UINT src = 0;
    static constexpr UINT kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (UINT y = kStart[pass]; y < height; y += kStep[pass], ++src)
            std::memcpy(ordered.data() + size_t{y} * width, rows.data() + size_t{src} * width,
                        width);
    rows.swap(ordered);
}

class GifDecoder final : public DecoderBase<GifDecoder> {
  public:
    GifDecoder() : DecoderBase(GUID_ContainerFormatGif) {}

    HRESULT load(IStream* stream)
    {
        RETURN_IF_FAILED(seekTo(stream, 0));
        int error = 0;
        std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(stream, readGif, &error));
        if (!gif)
            return error == D_GIF_ERR_NOT_GIF_FILE ? WINCODEC_ERR_UNKNOWNIMAGEFORMAT
                                                   : WINCODEC_ERR_BADHEADER;
        std::vector<GifFrame> frames;
        uint64_t total = 0;
        int transparent = -1;
        bool broken = false;
        while (!broken) {
            GifRecordType type;
            if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) break;
            if (type == TERMINATE_RECORD_TYPE) break;
            if (type == EXTENSION_RECORD_TYPE) {
                int code = 0;
                GifByteType* ext = nullptr;
                if (DGifGetExtension(gif.get(), &code, &ext) == GIF_ERROR) break;
                if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4)
                    transparent = (ext[1] & 1) ? ext[4] : -1;
                while (ext) {
                    if (DGifGetExtensionNext(gif.get(), &ext) == GIF_ERROR) {
                        broken = true;
                        break;
                    }
                }
                continue;
            }
            if (type != IMAGE_DESC_RECORD_TYPE) break;
            if (DGifGetImageDesc(gif.get()) == GIF_ERROR) break;
            const GifImageDesc& desc = gif->Image;
            if (desc.Width <= 0 || desc.Height <= 0) break;
            const UINT w = static_cast<UINT>(desc.Width), h = static_cast<UINT>(desc.Height);
            total += uint64_t{w} * h;
            if (total > kMaxPictureBytes) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
            // Grow with the rows actually decoded: a cut-off file that declares a huge image
            // costs only what it holds.
            auto indices = std::make_shared<std::vector<BYTE>>();
            indices->reserve(std::min<size_t>(size_t{w} * h, size_t{1} << 22));
            bool ok = true;
            for (UINT y = 0; y < h && ok; ++y) {
                indices->resize(indices->size() + w);
                ok = DGifGetLine(gif.get(), indices->data() + size_t{y} * w, static_cast<int>(w)) !=
                     GIF_ERROR;
            }
            // A file cut inside an image keeps the images before it.
            if (!ok) break;
            if (desc.Interlace) deinterlace(*indices, w, h);
            GifFrame frame;
            frame.width = w;
            frame.height = h;
            frame.palette = colors(desc.ColorMap ? desc.ColorMap : gif->SColorMap, transparent);
            frame.indices = std::move(indices);
            frames.push_back(std::move(frame));
            transparent = -1;
        }
        if (frames.empty()) return WINCODEC_ERR_BADSTREAMDATA;
        m_globalPalette = colors(gif->SColorMap, -1);
        m_aspect = gif->AspectByte;
        m_frames = std::move(frames);
        return S_OK;
    }
    UINT frameCount() const { return static_cast<UINT>(m_frames.size()); }
    HRESULT makeFrame(UINT index, IWICBitmapFrameDecode** pp)
    {
        ComPtr<IUnknown> self(static_cast<IWICBitmapDecoder*>(this));
        const GifFrame& f = m_frames[index];
        auto indices = f.indices;
        const UINT width = f.width;
        auto decode = [indices, width](std::vector<BYTE>& pixels, size_t& stride) -> HRESULT {
            pixels = *indices;
            stride = width;
            return S_OK;
        };
        // The pixel aspect ratio (aspect + 15) / 64 scales the vertical resolution off 96 dpi.
        const double dpiY = m_aspect ? 96.0 * (m_aspect + 15) / 64.0 : 96.0;
        std::vector<WICColor> palette = f.palette;
        if (palette.empty()) palette = {0xFF000000u, 0xFFFFFFFFu};
        auto frame = MemoryFrame::make(self, f.width, f.height, GUID_WICPixelFormat8bppIndexed,
                                       96.0, dpiY, std::move(palette), std::move(decode));
        return handOut<IWICBitmapFrameDecode>(frame, pp);
    }

  private:
    std::vector<GifFrame> m_frames;
    int m_aspect = 0;
};

} // namespace

bool sniffGif(std::span<const uint8_t> head)
{
    return head.size() >= 6 && (std::memcmp(head.data(), "GIF87a", 6) == 0 ||
                                std::memcmp(head.data(), "GIF89a", 6) == 0);
}

HRESULT createGifDecoder(IWICBitmapDecoder** ppDecoder)
{
    return handOut<IWICBitmapDecoder>(GifDecoder::make(), ppDecoder);
}

} // namespace mio::imaging
