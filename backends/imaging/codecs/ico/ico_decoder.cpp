// SPDX-License-Identifier: MIT
// ICO decoding. Each entry is a DIB (colour bits plus a 1-bit AND mask that gives transparency)
// or a whole PNG file; both are delivered as 32bppBGRA at the entry's real size.
#include "codecs/ico/ico_decoder.h"

#include <cstring>

#include "codecs/bmp/bmp_decoder.h"
#include "codecs/png/png_decoder.h"
#include "decoder_base.h"
#include "factory.h"
#include "format_converter.h"
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

struct Entry {
    uint32_t offset = 0;
    uint32_t size = 0;
    UINT width = 0;
    UINT height = 0;
    bool png = false;
};

HRESULT readEntryBytes(IStream* stream, const Entry& e, std::vector<uint8_t>& bytes)
{
    bytes.resize(e.size);
    RETURN_IF_FAILED(seekTo(stream, e.offset));
    return readExact(stream, bytes.data(), e.size) == S_OK ? S_OK : WINCODEC_ERR_BADSTREAMDATA;
}

HRESULT decodePngEntry(std::shared_ptr<const std::vector<BYTE>> bytes, UINT width, UINT height,
                       BYTE* out, size_t stride)
{
    ComPtr<IWICBitmapDecoder> png;
    RETURN_IF_FAILED(createPngDecoder(png.GetAddressOf()));
    auto stream = WicStream::make();
    if (!stream) return E_OUTOFMEMORY;
    RETURN_IF_FAILED(stream->initializeFromBytes(std::move(bytes)));
    RETURN_IF_FAILED(png->Initialize(stream.Get(), WICDecodeMetadataCacheOnDemand));
    ComPtr<IWICBitmapFrameDecode> frame;
    RETURN_IF_FAILED(png->GetFrame(0, frame.GetAddressOf()));
    UINT w = 0, h = 0;
    RETURN_IF_FAILED(frame->GetSize(&w, &h));
    if (w != width || h != height) return WINCODEC_ERR_BADIMAGE;
    WICPixelFormatGUID format{};
    RETURN_IF_FAILED(frame->GetPixelFormat(&format));
    ComPtr<IWICBitmapSource> source(frame.Get());
    if (format != GUID_WICPixelFormat32bppBGRA) {
        ComPtr<IWICFormatConverter> converter;
        RETURN_IF_FAILED(createFormatConverter(converter.GetAddressOf()));
        RETURN_IF_FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA,
                                               WICBitmapDitherTypeNone, nullptr, 0.0,
                                               WICBitmapPaletteTypeCustom));
        source = ComPtr<IWICBitmapSource>(converter.Get());
    }
    return source->CopyPixels(nullptr, static_cast<UINT>(stride),
                              static_cast<UINT>(stride * height), out);
}

HRESULT decodeDibEntry(const std::vector<uint8_t>& bytes, BYTE* out, size_t stride)
{
    DibInfo info;
    RETURN_IF_FAILED(parseDib(bytes, true, info));
    const size_t colorStride = (size_t{info.width} * info.outBpp + 7) / 8;
    std::vector<BYTE> color(colorStride * info.height);
    const size_t dibStride = ((size_t{info.width} * info.bitCount + 31) / 32) * 4;
    const std::span<const uint8_t> bits(bytes.data() + info.headerBytes,
                                        bytes.size() - info.headerBytes);
    RETURN_IF_FAILED(decodeDibBits(info, bits, color.data(), colorStride));
    bool anyAlpha = false;
    for (UINT y = 0; y < info.height; ++y) {
        BYTE* row = out + stride * y;
        unpackRow(*info.format, color.data() + colorStride * y, info.width, info.palette, row);
        if (info.bitCount == 32)
            for (UINT x = 0; x < info.width; ++x)
                anyAlpha |= color[colorStride * y + 4 * x + 3] != 0;
    }
    if (info.bitCount == 32 && anyAlpha) {
        for (UINT y = 0; y < info.height; ++y) // 32-bit entries carry their own alpha
            for (UINT x = 0; x < info.width; ++x)
                out[stride * y + 4 * x + 3] = color[colorStride * y + 4 * x + 3];
        return S_OK;
    }
    // The AND mask follows the colour bits: 1 means transparent. Rows are bottom-up.
    const size_t maskStride = ((size_t{info.width} + 31) / 32) * 4;
    const size_t maskStart = info.headerBytes + dibStride * info.height;
    const bool haveMask = bytes.size() >= maskStart + maskStride * info.height;
    for (UINT y = 0; y < info.height; ++y) {
        const uint8_t* m =
            haveMask ? bytes.data() + maskStart + maskStride * (info.height - 1 - y) : nullptr;
        BYTE* row = out + stride * y;
        for (UINT x = 0; x < info.width; ++x) {
            const bool clear = m && ((m[x / 8] >> (7 - x % 8)) & 1);
            row[4 * x + 3] = clear ? 0 : 255;
        }
    }
    return S_OK;
}

class IcoDecoder final : public DecoderBase<IcoDecoder> {
  public:
    IcoDecoder() : DecoderBase(GUID_ContainerFormatIco) {}

    HRESULT load(IStream* stream)
    {
        RETURN_IF_FAILED(seekTo(stream, 0));
        uint8_t dir[6];
        if (FAILED(readExact(stream, dir, 6)) || le16(dir) != 0 ||
            (le16(dir + 2) != 1 && le16(dir + 2) != 2))
            return WINCODEC_ERR_BADHEADER;
        const UINT count = le16(dir + 4);
        if (count == 0) return WINCODEC_ERR_BADHEADER;
        uint64_t fileSize = 0;
        RETURN_IF_FAILED(streamSize(stream, &fileSize));
        std::vector<uint8_t> table(size_t{count} * 16);
        if (FAILED(readExact(stream, table.data(), static_cast<ULONG>(table.size()))))
            return WINCODEC_ERR_BADHEADER;
        std::vector<Entry> entries;
        for (UINT i = 0; i < count; ++i) {
            const uint8_t* e = table.data() + size_t{i} * 16;
            Entry entry;
            entry.size = le32(e + 8);
            entry.offset = le32(e + 12);
            if (entry.size < 16 || entry.offset > fileSize || entry.size > fileSize - entry.offset)
                return WINCODEC_ERR_BADHEADER;
            // The entry's own header is the authority on its size; the directory bytes can lie.
            uint8_t head[24];
            RETURN_IF_FAILED(seekTo(stream, entry.offset));
            if (FAILED(readExact(stream, head, 24))) return WINCODEC_ERR_BADHEADER;
            if (sniffPng(std::span<const uint8_t>(head, 8))) {
                entry.png = true;
                entry.width = uint32_t(head[16]) << 24 | uint32_t(head[17]) << 16 |
                              uint32_t(head[18]) << 8 | head[19];
                entry.height = uint32_t(head[20]) << 24 | uint32_t(head[21]) << 16 |
                               uint32_t(head[22]) << 8 | head[23];
            } else {
                const auto w = static_cast<int32_t>(le32(head + 4));
                const auto h = static_cast<int32_t>(le32(head + 8));
                if (le32(head) < 40 || w <= 0 || h == 0) return WINCODEC_ERR_BADHEADER;
                entry.width = static_cast<UINT>(w);
                entry.height = static_cast<UINT>((h < 0 ? -h : h) / 2);
            }
            RETURN_IF_FAILED(checkPictureSize(entry.width, entry.height, 32));
            entries.push_back(entry);
        }
        m_entries = std::move(entries);
        return S_OK;
    }
    UINT frameCount() const { return static_cast<UINT>(m_entries.size()); }
    HRESULT makeFrame(UINT index, IWICBitmapFrameDecode** pp)
    {
        ComPtr<IUnknown> self(static_cast<IWICBitmapDecoder*>(this));
        const Entry e = m_entries[index];
        ComPtr<IStream> stream = m_stream;
        auto decode = [stream, e](std::vector<BYTE>& pixels, size_t& stride) -> HRESULT {
            auto bytes = std::make_shared<std::vector<BYTE>>();
            RETURN_IF_FAILED(readEntryBytes(stream.Get(), e, *bytes));
            stride = size_t{e.width} * 4;
            pixels.assign(stride * e.height, 0);
            return e.png ? decodePngEntry(bytes, e.width, e.height, pixels.data(), stride)
                         : decodeDibEntry(*bytes, pixels.data(), stride);
        };
        auto frame = MemoryFrame::make(self, e.width, e.height, GUID_WICPixelFormat32bppBGRA, 96.0,
                                       96.0, std::vector<WICColor>{}, std::move(decode));
        return handOut<IWICBitmapFrameDecode>(frame, pp);
    }

  private:
    std::vector<Entry> m_entries;
};

} // namespace

bool sniffIco(std::span<const uint8_t> head)
{
    // Type 1 is an icon, 2 a cursor: the same layout with a hot spot in place of planes/bits.
    return head.size() >= 6 && head[0] == 0 && head[1] == 0 && (head[2] == 1 || head[2] == 2) &&
           head[3] == 0 && (head[4] | head[5]) != 0;
}

HRESULT createIcoDecoder(IWICBitmapDecoder** ppDecoder)
{
    return handOut<IWICBitmapDecoder>(IcoDecoder::make(), ppDecoder);
}

} // namespace mio::imaging
