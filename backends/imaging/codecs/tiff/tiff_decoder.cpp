// SPDX-License-Identifier: MIT
// TIFF decoding. Pages in the common layouts (bilevel, grey, palette, RGB(A), CMYK, 8 or 16 bits,
// samples interleaved, in strips or tiles) are delivered in their own format; any other page
// (separate planes, odd bit depths, floating point, YCbCr without JPEG) goes through libtiff's
// RGBA reader and is delivered as 32bppBGRA.
#include "codecs/tiff/tiff_decoder.h"

#include <cstdarg>
#include <cstring>
#include <memory>

#include <tiffio.h>

#include "decoder_base.h"
#include "stream.h"

namespace mio::imaging {
namespace {

tmsize_t tiffRead(thandle_t h, void* buffer, tmsize_t size)
{
    auto* stream = static_cast<IStream*>(h);
    if (size < 0 || size > INT32_MAX) return -1;
    if (size == 0) return 0; // some streams refuse empty reads
    ULONG got = 0;
    if (FAILED(stream->Read(buffer, static_cast<ULONG>(size), &got))) return -1;
    return static_cast<tmsize_t>(got);
}
tmsize_t tiffWrite(thandle_t, void*, tmsize_t)
{
    return -1;
}
toff_t tiffSeek(thandle_t h, toff_t offset, int whence)
{
    auto* stream = static_cast<IStream*>(h);
    LARGE_INTEGER move{};
    move.QuadPart = static_cast<LONGLONG>(offset);
    ULARGE_INTEGER pos{};
    const DWORD origin = whence == SEEK_CUR   ? STREAM_SEEK_CUR
                         : whence == SEEK_END ? STREAM_SEEK_END
                                              : STREAM_SEEK_SET;
    if (FAILED(stream->Seek(move, origin, &pos))) return static_cast<toff_t>(-1);
    return pos.QuadPart;
}
int tiffClose(thandle_t)
{
    return 0;
}
toff_t tiffSize(thandle_t h)
{
    uint64_t size = 0;
    return SUCCEEDED(streamSize(static_cast<IStream*>(h), &size)) ? size : 0;
}
int tiffMap(thandle_t, void**, toff_t*)
{
    return 0;
}
void tiffUnmap(thandle_t, void*, toff_t) {}
int quiet(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// The open file plus the stream it reads; frames share it and select their page before reading.
struct TiffFile {
    ComPtr<IStream> stream;
    TiffPtr tiff;
};

enum class Layout { Native, Rgba };

struct Page {
    UINT width = 0;
    UINT height = 0;
    const GUID* format = nullptr;
    UINT bpp = 0;
    Layout layout = Layout::Rgba;
    uint16_t photometric = 0;
    uint16_t samples = 0;
    uint16_t bits = 0;
    bool swapRB = false; // RGB(A) arrives R first; the formats want B first
    double dpiX = 96.0;
    double dpiY = 96.0;
    std::vector<WICColor> palette;
};

HRESULT describePage(TIFF* tif, Page& page)
{
    uint32_t w = 0, h = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h))
        return WINCODEC_ERR_BADHEADER;
    page.width = w;
    page.height = h;
    uint16_t spp = 1, bps = 1, photo = 0, planar = PLANARCONFIG_CONTIG,
             compression = COMPRESSION_NONE, sampleFormat = SAMPLEFORMAT_UINT, inkSet = INKSET_CMYK,
             resUnit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkSet);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photo))
        photo = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    float rx = 0, ry = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &resUnit);
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &rx) &&
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &ry) && rx > 0 && ry > 0) {
        const double k = resUnit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
        if (resUnit != RESUNIT_NONE) {
            page.dpiX = rx * k;
            page.dpiY = ry * k;
        }
    }
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    const bool associated = extraCount == 1 && extra && extra[0] == EXTRASAMPLE_ASSOCALPHA;
    page.photometric = photo;
    page.samples = spp;
    page.bits = bps;

    const bool simple = planar == PLANARCONFIG_CONTIG && sampleFormat == SAMPLEFORMAT_UINT;
    page.layout = Layout::Native;
    if (simple && (photo == PHOTOMETRIC_MINISBLACK || photo == PHOTOMETRIC_MINISWHITE) &&
        spp == 1) {
        switch (bps) {
        case 1:
            page.format = &GUID_WICPixelFormatBlackWhite;
            break;
        case 2:
            page.format = &GUID_WICPixelFormat2bppGray;
            break;
        case 4:
            page.format = &GUID_WICPixelFormat4bppGray;
            break;
        case 8:
            page.format = &GUID_WICPixelFormat8bppGray;
            break;
        case 16:
            page.format = &GUID_WICPixelFormat16bppGray;
            break;
        default:
            page.layout = Layout::Rgba;
        }
    } else if (simple && photo == PHOTOMETRIC_PALETTE && spp == 1 && bps <= 8 &&
               (bps & (bps - 1)) == 0) {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) return WINCODEC_ERR_BADHEADER;
        for (UINT i = 0; i < (1u << bps); ++i)
            page.palette.push_back(0xFF000000u | WICColor(r[i] >> 8) << 16 |
                                   WICColor(g[i] >> 8) << 8 | (b[i] >> 8));
        page.format = bps == 1   ? &GUID_WICPixelFormat1bppIndexed
                      : bps == 2 ? &GUID_WICPixelFormat2bppIndexed
                      : bps == 4 ? &GUID_WICPixelFormat4bppIndexed
                                 : &GUID_WICPixelFormat8bppIndexed;
    } else if (simple &&
               (photo == PHOTOMETRIC_RGB ||
                (photo == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG)) &&
               (spp == 3 || (spp == 4 && extraCount == 1)) && (bps == 8 || bps == 16)) {
        if (photo == PHOTOMETRIC_YCBCR) {
            if (spp != 3 || bps != 8) {
                page.layout = Layout::Rgba;
            } else {
                TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
                page.photometric = PHOTOMETRIC_RGB;
            }
        }
        if (page.layout == Layout::Native) {
            if (bps == 8) {
                page.format = spp == 3     ? &GUID_WICPixelFormat24bppBGR
                              : associated ? &GUID_WICPixelFormat32bppPBGRA
                                           : &GUID_WICPixelFormat32bppBGRA;
                page.swapRB = true;
            } else {
                page.format =
                    spp == 3 ? &GUID_WICPixelFormat48bppRGB : &GUID_WICPixelFormat64bppRGBA;
            }
        }
    } else if (simple && photo == PHOTOMETRIC_SEPARATED && inkSet == INKSET_CMYK && spp == 4 &&
               bps == 8) {
        page.format = &GUID_WICPixelFormat32bppCMYK;
    } else {
        page.layout = Layout::Rgba;
    }
    if (page.layout == Layout::Rgba) page.format = &GUID_WICPixelFormat32bppBGRA;
    page.bpp = pixelFormatInfo(*page.format)->bitsPerPixel;
    return checkPictureSize(page.width, page.height, page.bpp);
}

HRESULT readTiles(TIFF* tif, const Page& page, BYTE* out, size_t stride)
{
    uint32_t tw = 0, th = 0;
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &th) ||
        tw == 0 || th == 0 || page.bpp % 8 != 0)
        return WINCODEC_ERR_BADIMAGE;
    const tmsize_t tileSize = TIFFTileSize(tif);
    const size_t px = page.bpp / 8;
    if (tileSize <= 0 || static_cast<uint64_t>(tileSize) < uint64_t{tw} * th * px)
        return WINCODEC_ERR_BADIMAGE;
    std::vector<BYTE> tile(static_cast<size_t>(tileSize));
    for (uint32_t y = 0; y < page.height; y += th) {
        for (uint32_t x = 0; x < page.width; x += tw) {
            if (TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x, y, 0, 0), tile.data(), tileSize) <
                0)
                return WINCODEC_ERR_BADSTREAMDATA;
            const uint32_t w = std::min(tw, page.width - x), h = std::min(th, page.height - y);
            for (uint32_t r = 0; r < h; ++r)
                std::memcpy(out + stride * (y + r) + size_t{x} * px,
                            tile.data() + size_t{r} * tw * px, size_t{w} * px);
        }
    }
    return S_OK;
}

HRESULT fixSamples(const Page& page, BYTE* out, size_t stride);

HRESULT readNative(TIFF* tif, const Page& page, BYTE* out, size_t stride)
{
    if (TIFFIsTiled(tif)) {
        RETURN_IF_FAILED(readTiles(tif, page, out, stride));
        return fixSamples(page, out, stride);
    }
    const tmsize_t scanline = TIFFScanlineSize(tif);
    if (scanline <= 0 || static_cast<size_t>(scanline) < stride) return WINCODEC_ERR_BADIMAGE;
    uint32_t rowsPerStrip = page.height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    if (rowsPerStrip == 0 || rowsPerStrip > page.height) rowsPerStrip = page.height;
    const tmsize_t stripSize = TIFFStripSize(tif);
    if (stripSize <= 0) return WINCODEC_ERR_BADIMAGE;
    std::vector<BYTE> strip(static_cast<size_t>(stripSize));
    for (uint32_t row = 0; row < page.height; row += rowsPerStrip) {
        const uint32_t n = std::min(rowsPerStrip, page.height - row);
        const tstrip_t index = TIFFComputeStrip(tif, row, 0);
        const tmsize_t want = static_cast<tmsize_t>(n) * scanline;
        if (TIFFReadEncodedStrip(tif, index, strip.data(), want) < want)
            return WINCODEC_ERR_BADSTREAMDATA;
        for (uint32_t i = 0; i < n; ++i)
            std::memcpy(out + stride * (row + i), strip.data() + static_cast<size_t>(scanline) * i,
                        stride);
    }
    return fixSamples(page, out, stride);
}

// Photometric inversion and R/B order, in place.
HRESULT fixSamples(const Page& page, BYTE* out, size_t stride)
{
    const size_t rowBytesNeeded = stride;
    for (UINT y = 0; y < page.height; ++y) {
        BYTE* r = out + stride * y;
        if (page.photometric == PHOTOMETRIC_MINISWHITE) {
            if (page.bits == 16) {
                auto* w = reinterpret_cast<uint16_t*>(r);
                for (UINT x = 0; x < page.width; ++x)
                    w[x] = static_cast<uint16_t>(0xFFFF - w[x]);
            } else {
                for (size_t i = 0; i < rowBytesNeeded; ++i)
                    r[i] = static_cast<BYTE>(~r[i]);
            }
        }
        if (page.swapRB) {
            const size_t px = page.bpp / 8;
            for (UINT x = 0; x < page.width; ++x)
                std::swap(r[px * x], r[px * x + 2]);
        }
    }
    return S_OK;
}

HRESULT readRgba(TIFF* tif, const Page& page, BYTE* out, size_t stride)
{
    // TIFFReadRGBAImageOriented gives ABGR words (R in the low byte) with top-left origin.
    if (!TIFFReadRGBAImageOriented(tif, page.width, page.height, reinterpret_cast<uint32_t*>(out),
                                   ORIENTATION_TOPLEFT, 0))
        return WINCODEC_ERR_BADSTREAMDATA;
    for (UINT y = 0; y < page.height; ++y) {
        BYTE* r = out + stride * y;
        for (UINT x = 0; x < page.width; ++x)
            std::swap(r[4 * x], r[4 * x + 2]);
    }
    return S_OK;
}

class TiffDecoder final : public DecoderBase<TiffDecoder> {
  public:
    TiffDecoder() : DecoderBase(GUID_ContainerFormatTiff) {}

    HRESULT load(IStream* stream)
    {
        RETURN_IF_FAILED(seekTo(stream, 0));
        auto file = std::make_shared<TiffFile>();
        file->stream = ComPtr<IStream>(stream);
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (!options) return E_OUTOFMEMORY;
        TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
        TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(kMaxPictureBytes));
        file->tiff.reset(TIFFClientOpenExt("stream", "rm", stream, tiffRead, tiffWrite, tiffSeek,
                                           tiffClose, tiffSize, tiffMap, tiffUnmap, options));
        TIFFOpenOptionsFree(options);
        if (!file->tiff) return WINCODEC_ERR_BADHEADER;
        std::vector<Page> pages;
        do {
            Page page;
            RETURN_IF_FAILED(describePage(file->tiff.get(), page));
            pages.push_back(std::move(page));
        } while (pages.size() < 65536 && TIFFReadDirectory(file->tiff.get()));
        m_file = std::move(file);
        m_pages = std::move(pages);
        return S_OK;
    }
    UINT frameCount() const { return static_cast<UINT>(m_pages.size()); }
    HRESULT makeFrame(UINT index, IWICBitmapFrameDecode** pp)
    {
        ComPtr<IUnknown> self(static_cast<IWICBitmapDecoder*>(this));
        const Page page = m_pages[index];
        auto file = m_file;
        auto decode = [file, page, index](std::vector<BYTE>& pixels, size_t& stride) -> HRESULT {
            TIFF* tif = file->tiff.get();
            if (!TIFFSetDirectory(tif, static_cast<tdir_t>(index)))
                return WINCODEC_ERR_BADSTREAMDATA;
            if (page.photometric == PHOTOMETRIC_RGB && page.layout == Layout::Native) {
                uint16_t photo = 0, compression = 0;
                TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photo);
                TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
                if (photo == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG)
                    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
            }
            stride = (size_t{page.width} * page.bpp + 7) / 8;
            pixels.assign(stride * page.height, 0);
            return page.layout == Layout::Native ? readNative(tif, page, pixels.data(), stride)
                                                 : readRgba(tif, page, pixels.data(), stride);
        };
        auto frame = MemoryFrame::make(self, page.width, page.height, *page.format, page.dpiX,
                                       page.dpiY, page.palette, std::move(decode));
        return handOut<IWICBitmapFrameDecode>(frame, pp);
    }

  private:
    std::shared_ptr<TiffFile> m_file;
    std::vector<Page> m_pages;
};

} // namespace

bool sniffTiff(std::span<const uint8_t> head)
{
    if (head.size() < 4) return false;
    const bool ii =
        head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0;
    const bool mm =
        head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43);
    return ii || mm;
}

HRESULT createTiffDecoder(IWICBitmapDecoder** ppDecoder)
{
    return handOut<IWICBitmapDecoder>(TiffDecoder::make(), ppDecoder);
}

} // namespace mio::imaging
