// SPDX-License-Identifier: MIT
// BMP decoding. Headers are read at Initialize; the bits are read and decoded on first CopyPixels.
#include "codecs/bmp/bmp_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "decoder_base.h"
#include "stream.h"

namespace mio::imaging {
namespace {

uint16_t le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr DWORD kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6;

size_t dibStride(UINT width, UINT bpp)
{
    return ((size_t{width} * bpp + 31) / 32) * 4;
}

// Value of a masked field scaled to 8 bits.
BYTE field(uint32_t v, uint32_t mask)
{
    if (!mask) return 0;
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask >> shift);
    const uint32_t x = (v & mask) >> shift;
    const uint32_t max = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    return static_cast<BYTE>((uint64_t{x} * 255 + max / 2) / max);
}

HRESULT decodeRle(const DibInfo& info, std::span<const uint8_t> bits, BYTE* out, size_t stride)
{
    // Output rows hold one index per pixel for RLE8 and two per byte for RLE4; rows not painted
    // stay index 0.
    const bool four = info.compression == kRle4;
    UINT x = 0, row = 0; // row counts from the bottom
    size_t i = 0;
    auto put = [&](UINT v) {
        if (x >= info.width || row >= info.height) return;
        const UINT y = info.topDown ? row : info.height - 1 - row;
        BYTE* r = out + stride * y;
        if (four) {
            r[x / 2] = static_cast<BYTE>(x % 2 ? (r[x / 2] & 0xF0) | (v & 15)
                                               : (r[x / 2] & 0x0F) | (v & 15) << 4);
        } else {
            r[x] = static_cast<BYTE>(v);
        }
        ++x;
    };
    while (i + 1 < bits.size()) {
        const UINT count = bits[i], value = bits[i + 1];
        i += 2;
        if (count > 0) {
            for (UINT k = 0; k < count; ++k)
                put(four ? (k % 2 ? value & 15 : value >> 4) : value);
        } else if (value == 0) { // end of line
            x = 0;
            ++row;
        } else if (value == 1) { // end of bitmap
            return S_OK;
        } else if (value == 2) { // delta
            if (i + 1 >= bits.size()) return WINCODEC_ERR_BADSTREAMDATA;
            x += bits[i];
            row += bits[i + 1];
            i += 2;
        } else { // absolute run of `value` pixels, padded to 16 bits
            const size_t bytes = four ? (value + 1) / 2 : value;
            if (i + bytes > bits.size()) return WINCODEC_ERR_BADSTREAMDATA;
            for (UINT k = 0; k < value; ++k)
                put(four ? (k % 2 ? bits[i + k / 2] & 15 : bits[i + k / 2] >> 4) : bits[i + k]);
            i += (bytes + 1) & ~size_t{1};
        }
        if (row > info.height) return WINCODEC_ERR_BADSTREAMDATA;
    }
    return S_OK; // a stream without end-of-bitmap keeps what it painted
}

} // namespace

HRESULT parseDib(std::span<const uint8_t> dib, bool heightIsDoubled, DibInfo& info)
{
    if (dib.size() < 12) return WINCODEC_ERR_BADHEADER;
    const uint32_t size = le32(dib.data());
    int64_t height = 0;
    if (size == 12) { // OS/2 BITMAPCOREHEADER
        info.width = le16(dib.data() + 4);
        height = le16(dib.data() + 6);
        info.bitCount = le16(dib.data() + 10);
        info.compression = kRgb;
    } else if (size >= 40 && size <= 124 && dib.size() >= size) {
        const auto w = static_cast<int32_t>(le32(dib.data() + 4));
        height = static_cast<int32_t>(le32(dib.data() + 8));
        if (w <= 0) return WINCODEC_ERR_BADHEADER;
        info.width = static_cast<UINT>(w);
        info.bitCount = le16(dib.data() + 14);
        info.compression = le32(dib.data() + 16);
        if (size >= 52) {
            for (int k = 0; k < (size >= 56 ? 4 : 3); ++k)
                info.masks[k] = le32(dib.data() + 40 + 4 * k);
        }
    } else {
        return WINCODEC_ERR_BADHEADER;
    }
    if (heightIsDoubled) height /= 2;
    info.topDown = height < 0;
    if (height == 0 || height < -0x7FFFFFFF) return WINCODEC_ERR_BADHEADER;
    info.height = static_cast<UINT>(height < 0 ? -height : height);
    size_t pos = size;
    const UINT bpp = info.bitCount;
    if (info.compression == kBitfields || info.compression == kAlphaBitfields) {
        if (bpp != 16 && bpp != 32) return WINCODEC_ERR_BADHEADER;
        if (size == 40) { // masks follow the header
            const int n = info.compression == kAlphaBitfields ? 4 : 3;
            if (dib.size() < pos + 4 * size_t(n)) return WINCODEC_ERR_BADHEADER;
            for (int k = 0; k < n; ++k)
                info.masks[k] = le32(dib.data() + pos + 4 * k);
            pos += 4 * size_t(n);
        }
    } else if (info.compression == kRle8) {
        if (bpp != 8 || info.topDown) return WINCODEC_ERR_BADHEADER;
    } else if (info.compression == kRle4) {
        if (bpp != 4 || info.topDown) return WINCODEC_ERR_BADHEADER;
    } else if (info.compression != kRgb) {
        return WINCODEC_ERR_UNSUPPORTEDOPERATION; // embedded JPEG/PNG bitmaps
    }
    if (bpp <= 8) {
        if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 2) return WINCODEC_ERR_BADHEADER;
        const size_t entry = size == 12 ? 3 : 4;
        uint32_t used = size >= 36 ? le32(dib.data() + 32) : 0;
        const uint32_t max = 1u << bpp;
        if (used == 0 || used > max) used = max;
        // Some files end the palette early; take what is there.
        const size_t avail = (dib.size() - std::min(dib.size(), pos)) / entry;
        used = static_cast<uint32_t>(std::min<size_t>(used, avail));
        info.palette.resize(used);
        for (uint32_t k = 0; k < used; ++k) {
            const uint8_t* c = dib.data() + pos + k * entry;
            info.palette[k] = 0xFF000000u | uint32_t(c[2]) << 16 | uint32_t(c[1]) << 8 | c[0];
        }
        pos += used * entry;
        info.format = bpp == 1   ? &GUID_WICPixelFormat1bppIndexed
                      : bpp == 2 ? &GUID_WICPixelFormat2bppIndexed
                      : bpp == 4 ? &GUID_WICPixelFormat4bppIndexed
                                 : &GUID_WICPixelFormat8bppIndexed;
        info.outBpp = bpp;
    } else if (bpp == 16) {
        if (info.compression == kRgb) {
            info.masks[0] = 0x7C00;
            info.masks[1] = 0x03E0;
            info.masks[2] = 0x001F;
            info.masks[3] = 0;
        }
        if (info.masks[0] == 0x7C00 && info.masks[1] == 0x03E0 && info.masks[2] == 0x1F &&
            !info.masks[3]) {
            info.format = &GUID_WICPixelFormat16bppBGR555;
            info.outBpp = 16;
        } else if (info.masks[0] == 0xF800 && info.masks[1] == 0x07E0 && info.masks[2] == 0x1F &&
                   !info.masks[3]) {
            info.format = &GUID_WICPixelFormat16bppBGR565;
            info.outBpp = 16;
        } else {
            info.format =
                info.masks[3] ? &GUID_WICPixelFormat32bppBGRA : &GUID_WICPixelFormat32bppBGR;
            info.outBpp = 32;
        }
    } else if (bpp == 24) {
        if (info.compression != kRgb) return WINCODEC_ERR_BADHEADER;
        info.format = &GUID_WICPixelFormat24bppBGR;
        info.outBpp = 24;
    } else if (bpp == 32) {
        if (info.compression == kRgb) {
            info.masks[0] = 0xFF0000;
            info.masks[1] = 0xFF00;
            info.masks[2] = 0xFF;
            info.masks[3] = 0;
        }
        info.format = info.masks[3] ? &GUID_WICPixelFormat32bppBGRA : &GUID_WICPixelFormat32bppBGR;
        info.outBpp = 32;
    } else {
        return WINCODEC_ERR_BADHEADER;
    }
    if ((bpp == 16 || bpp == 32) && (info.masks[0] | info.masks[1] | info.masks[2]) == 0)
        return WINCODEC_ERR_BADHEADER;
    info.headerBytes = pos;
    return checkPictureSize(info.width, info.height, info.outBpp);
}

HRESULT decodeDibBits(const DibInfo& info, std::span<const uint8_t> bits, BYTE* out, size_t stride)
{
    if (info.compression == kRle4 || info.compression == kRle8) {
        for (UINT y = 0; y < info.height; ++y)
            std::memset(out + stride * y, 0, stride);
        return decodeRle(info, bits, out, stride);
    }
    const size_t inStride = dibStride(info.width, info.bitCount);
    const size_t needRow = (size_t{info.width} * info.bitCount + 7) / 8;
    // The last row needs only its own bytes, not its padding.
    if (bits.size() < inStride * (info.height - 1) + needRow) return WINCODEC_ERR_BADSTREAMDATA;
    const bool masked =
        info.bitCount > 8 && info.outBpp == 32 &&
        !(info.bitCount == 32 && info.masks[0] == 0xFF0000 && info.masks[1] == 0xFF00 &&
          info.masks[2] == 0xFF && (info.masks[3] == 0 || info.masks[3] == 0xFF000000u));
    for (UINT y = 0; y < info.height; ++y) {
        const UINT srcRow = info.topDown ? y : info.height - 1 - y;
        const uint8_t* s = bits.data() + inStride * srcRow;
        BYTE* d = out + stride * y;
        if (!masked) {
            std::memcpy(d, s, needRow);
            if (info.outBpp == 32 && !info.masks[3])
                for (UINT x = 0; x < info.width; ++x)
                    d[4 * x + 3] = 255;
            continue;
        }
        for (UINT x = 0; x < info.width; ++x) {
            const uint32_t v = info.bitCount == 16 ? le16(s + 2 * x) : le32(s + 4 * x);
            d[4 * x] = field(v, info.masks[2]);
            d[4 * x + 1] = field(v, info.masks[1]);
            d[4 * x + 2] = field(v, info.masks[0]);
            d[4 * x + 3] = info.masks[3] ? field(v, info.masks[3]) : 255;
        }
    }
    return S_OK;
}

namespace {

class BmpDecoder final : public DecoderBase<BmpDecoder> {
  public:
    BmpDecoder() : DecoderBase(GUID_ContainerFormatBmp) {}

    HRESULT load(IStream* stream)
    {
        RETURN_IF_FAILED(seekTo(stream, 0));
        uint8_t fileHeader[14];
        if (FAILED(readExact(stream, fileHeader, 14)) || fileHeader[0] != 'B' ||
            fileHeader[1] != 'M')
            return WINCODEC_ERR_BADHEADER;
        uint64_t fileSize = 0;
        RETURN_IF_FAILED(streamSize(stream, &fileSize));
        const uint32_t bitsOffset = le32(fileHeader + 10);
        // Header, masks and palette: at most 124 + 16 + 256 * 4 bytes.
        std::vector<uint8_t> header(
            static_cast<size_t>(std::min<uint64_t>(fileSize - 14, 124 + 16 + 1024)));
        ULONG got = 0;
        if (header.empty()) return WINCODEC_ERR_BADHEADER;
        RETURN_IF_FAILED(stream->Read(header.data(), static_cast<ULONG>(header.size()), &got));
        header.resize(got);
        if (bitsOffset > 14 && bitsOffset - 14 < header.size()) header.resize(bitsOffset - 14);
        DibInfo info;
        RETURN_IF_FAILED(parseDib(header, false, info));
        if (bitsOffset < 14 + info.headerBytes || bitsOffset >= fileSize)
            return WINCODEC_ERR_BADHEADER;
        m_info = std::move(info);
        m_bitsOffset = bitsOffset;
        m_bitsLength = fileSize - bitsOffset;
        const auto& h = header;
        if (h.size() >= 32 && le32(h.data()) >= 40) {
            const auto px = static_cast<int32_t>(le32(h.data() + 24));
            const auto py = static_cast<int32_t>(le32(h.data() + 28));
            if (px > 0 && py > 0) {
                m_dpiX = px * 0.0254;
                m_dpiY = py * 0.0254;
            }
        }
        return S_OK;
    }
    UINT frameCount() const { return 1; }
    HRESULT makeFrame(UINT, IWICBitmapFrameDecode** pp)
    {
        ComPtr<IUnknown> self(static_cast<IWICBitmapDecoder*>(this));
        ComPtr<IStream> stream = m_stream;
        const DibInfo info = m_info;
        const uint64_t offset = m_bitsOffset;
        // Never read more than the bits can need: an RLE stream is at most twice the raw size
        // plus row ends.
        const uint64_t limit = std::min<uint64_t>(
            m_bitsLength, dibStride(info.width, info.bitCount) * uint64_t{info.height} * 2 +
                              4 * uint64_t{info.height} + 4);
        auto decode = [stream, info, offset, limit](std::vector<BYTE>& pixels,
                                                    size_t& stride) -> HRESULT {
            // Uncompressed bits must all be in the file; check before allocating for them.
            const bool rle = info.compression == 1 || info.compression == 2;
            const uint64_t needed =
                ((uint64_t{info.width} * info.bitCount + 31) / 32) * 4 * (info.height - 1) +
                (uint64_t{info.width} * info.bitCount + 7) / 8;
            if (!rle && limit < needed) return WINCODEC_ERR_BADSTREAMDATA;
            std::vector<uint8_t> bits(static_cast<size_t>(limit));
            RETURN_IF_FAILED(seekTo(stream.Get(), offset));
            ULONG got = 0;
            RETURN_IF_FAILED(stream->Read(bits.data(), static_cast<ULONG>(bits.size()), &got));
            bits.resize(got);
            stride = (size_t{info.width} * info.outBpp + 7) / 8;
            pixels.assign(stride * info.height, 0);
            return decodeDibBits(info, bits, pixels.data(), stride);
        };
        auto frame = MemoryFrame::make(self, info.width, info.height, *info.format, m_dpiX, m_dpiY,
                                       info.palette, std::move(decode));
        return handOut<IWICBitmapFrameDecode>(frame, pp);
    }

  private:
    DibInfo m_info;
    uint64_t m_bitsOffset = 0;
    uint64_t m_bitsLength = 0;
    double m_dpiX = 96.0;
    double m_dpiY = 96.0;
};

} // namespace

bool sniffBmp(std::span<const uint8_t> head)
{
    return head.size() >= 14 && head[0] == 'B' && head[1] == 'M';
}

HRESULT createBmpDecoder(IWICBitmapDecoder** ppDecoder)
{
    return handOut<IWICBitmapDecoder>(BmpDecoder::make(), ppDecoder);
}

} // namespace mio::imaging
