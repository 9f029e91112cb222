// SPDX-License-Identifier: MIT
// JPEG decoding: a header pass that records marker segments, and a libjpeg state per frame that
// moves forward through the rows and restarts only when a caller goes back up.
#include "codecs/jpeg/jpeg_decoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>

#include "decoder_base.h"
#include "metadata/jpeg_metadata.h"
#include "reducible_source.h"
#include "stream.h"

namespace mio::imaging {
namespace {

constexpr HRESULT kJpegCorrupt = WINCODEC_ERR_BADSTREAMDATA;

// ---- libjpeg state: plain C data so that longjmp never crosses a destructor ----

struct JpegState {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    jpeg_source_mgr src;
    jmp_buf jump;
    IStream* stream; // borrowed; the frame holds the reference
    uint64_t pos;    // our own read position: frames share the stream
    bool created;
    bool started;
    bool hitEnd; // the stream ended before the data did
    HRESULT readError;
    JOCTET buffer[32768];
};

void onError(j_common_ptr cinfo)
{
    auto* state = reinterpret_cast<JpegState*>(cinfo->client_data);
    std::longjmp(state->jump, 1);
}
void onMessage(j_common_ptr) {}

void initSource(j_decompress_ptr) {}
boolean fillInput(j_decompress_ptr cinfo)
{
    auto* state = static_cast<JpegState*>(cinfo->client_data);
    ULONG got = 0;
    HRESULT hr = seekTo(state->stream, state->pos);
    if (SUCCEEDED(hr)) hr = state->stream->Read(state->buffer, sizeof state->buffer, &got);
    if (FAILED(hr)) state->readError = hr;
    if (FAILED(hr) || got == 0) {
        // Feed an end-of-image marker, as libjpeg's own sources do; the flag turns it into an
        // error.
        state->hitEnd = true;
        state->buffer[0] = 0xFF;
        state->buffer[1] = JPEG_EOI;
        got = 2;
    } else {
        state->pos += got;
    }
    state->src.next_input_byte = state->buffer;
    state->src.bytes_in_buffer = got;
    return TRUE;
}
void skipInput(j_decompress_ptr cinfo, long count)
{
    auto* state = static_cast<JpegState*>(cinfo->client_data);
    if (count <= 0) return;
    const auto n = static_cast<size_t>(count);
    if (n <= state->src.bytes_in_buffer) {
        state->src.next_input_byte += n;
        state->src.bytes_in_buffer -= n;
        return;
    }
    state->pos += n - state->src.bytes_in_buffer;
    state->src.bytes_in_buffer = 0;
}
void termSource(j_decompress_ptr) {}

void destroyState(JpegState* state)
{
    if (state->created) jpeg_destroy_decompress(&state->cinfo);
    state->created = false;
    state->started = false;
}

// Opens the stream at its start and starts decompression at 1/denom in outSpace.
HRESULT startState(JpegState* state, IStream* stream, int denom, J_COLOR_SPACE outSpace)
{
    destroyState(state);
    state->stream = stream;
    state->pos = 0;
    state->hitEnd = false;
    state->readError = S_OK;
    state->cinfo.err = jpeg_std_error(&state->jerr);
    state->jerr.error_exit = onError;
    state->jerr.output_message = onMessage;
    if (setjmp(state->jump)) {
        destroyState(state);
        return FAILED(state->readError) ? state->readError : kJpegCorrupt;
    }
    jpeg_create_decompress(&state->cinfo);
    state->created = true;
    state->cinfo.client_data = state;
    // Progressive files buffer every coefficient: cap that so a hostile size fails cleanly.
    state->cinfo.mem->max_memory_to_use = static_cast<long>(kMaxPictureBytes);
    state->src.init_source = initSource;
    state->src.fill_input_buffer = fillInput;
    state->src.skip_input_data = skipInput;
    state->src.resync_to_restart = jpeg_resync_to_restart;
    state->src.term_source = termSource;
    state->src.bytes_in_buffer = 0;
    state->src.next_input_byte = nullptr;
    state->cinfo.src = &state->src;
    jpeg_read_header(&state->cinfo, TRUE);
    state->cinfo.scale_num = 1;
    state->cinfo.scale_denom = static_cast<unsigned>(denom);
    state->cinfo.out_color_space = outSpace;
    jpeg_start_decompress(&state->cinfo);
    state->started = true;
    if (state->hitEnd) {
        destroyState(state);
        return FAILED(state->readError) ? state->readError : kJpegCorrupt;
    }
    return S_OK;
}

// Kept out of skipRows so nothing that changes lives in the frame that calls setjmp.
void skipLoop(jpeg_decompress_struct* cinfo, JDIMENSION rows)
{
    while (rows > 0) {
        const JDIMENSION done = jpeg_skip_scanlines(cinfo, rows);
        if (done == 0) break;
        rows -= done;
    }
}

HRESULT skipRows(JpegState* state, JDIMENSION rows)
{
    if (setjmp(state->jump)) {
        destroyState(state);
        return kJpegCorrupt;
    }
    skipLoop(&state->cinfo, rows);
    if (state->hitEnd) {
        destroyState(state);
        return FAILED(state->readError) ? state->readError : kJpegCorrupt;
    }
    return S_OK;
}

HRESULT readRows(JpegState* state, JSAMPROW* rows, JDIMENSION count)
{
    if (setjmp(state->jump)) {
        destroyState(state);
        return kJpegCorrupt;
    }
    JDIMENSION done = 0;
    while (done < count) {
        const JDIMENSION n = jpeg_read_scanlines(&state->cinfo, rows + done, count - done);
        if (n == 0) break;
        done += n;
    }
    if (state->hitEnd || done < count) {
        destroyState(state);
        return FAILED(state->readError) ? state->readError : kJpegCorrupt;
    }
    return S_OK;
}

struct StateDeleter {
    void operator()(JpegState* s) const
    {
        destroyState(s);
        delete s;
    }
};
using StatePtr = std::unique_ptr<JpegState, StateDeleter>;

// ---- header pass ----

struct JpegInfo {
    UINT width = 0;
    UINT height = 0;
    int components = 0;
    bool adobeInverted = false;
    double dpiX = 96.0;
    double dpiY = 96.0;
    std::vector<JpegSegment> segments;
    std::shared_ptr<const std::vector<BYTE>> thumbnail; // the EXIF thumbnail's JPEG bytes
};

uint16_t be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool isSof(uint8_t m)
{
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Serves the segment walk from a window of the file: the walk asks for a byte or two at a time,
// and each stream read is a positioned read of the file.
class SegmentReader {
  public:
    explicit SegmentReader(IStream* stream) : m_stream(stream) {}

    // Exactly `count` bytes at `pos`, or a failure.
    HRESULT read(uint64_t pos, uint8_t* out, size_t count)
    {
        if (count >= sizeof m_window) {
            RETURN_IF_FAILED(seekTo(m_stream, pos));
            return readExact(m_stream, out, static_cast<ULONG>(count));
        }
        while (count > 0) {
            if (pos < m_start || pos - m_start >= m_size) {
                RETURN_IF_FAILED(seekTo(m_stream, pos));
                ULONG got = 0;
                RETURN_IF_FAILED(m_stream->Read(m_window, sizeof m_window, &got));
                if (got == 0) return WINCODEC_ERR_STREAMREAD;
                m_start = pos;
                m_size = got;
            }
            const size_t offset = static_cast<size_t>(pos - m_start);
            const size_t n = std::min(count, m_size - offset);
            std::memcpy(out, m_window + offset, n);
            out += n;
            pos += n;
            count -= n;
        }
        return S_OK;
    }

  private:
    IStream* m_stream;
    uint64_t m_start = 0;
    size_t m_size = 0;
    uint8_t m_window[4096];
};

HRESULT walkSegments(IStream* stream, JpegInfo& info)
{
    SegmentReader in(stream);
    uint8_t soi[2];
    if (FAILED(in.read(0, soi, 2)) || soi[0] != 0xFF || soi[1] != 0xD8)
        return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
    uint64_t pos = 2;
    bool sawFrame = false;
    for (int guard = 0; guard < 65536; ++guard) {
        uint8_t b = 0;
        // Skip to the next 0xFF, then past fill bytes.
        do {
            if (FAILED(in.read(pos, &b, 1))) return WINCODEC_ERR_BADHEADER;
            ++pos;
        } while (b != 0xFF);
        do {
            if (FAILED(in.read(pos, &b, 1))) return WINCODEC_ERR_BADHEADER;
            ++pos;
        } while (b == 0xFF);
        const uint64_t markerPos = pos - 2;
        if (b == 0xD8 || (b >= 0xD0 && b <= 0xD7) || b == 0x01 || b == 0x00) continue;
        if (b == 0xD9) return WINCODEC_ERR_BADHEADER; // image ended before any scan
        uint8_t lenBytes[2];
        if (FAILED(in.read(pos, lenBytes, 2))) return WINCODEC_ERR_BADHEADER;
        const uint16_t length = be16(lenBytes);
        if (length < 2) return WINCODEC_ERR_BADHEADER;
        info.segments.push_back({b, markerPos, length});
        const uint16_t payload = static_cast<uint16_t>(length - 2);
        if (b == 0xDA) {
            if (!sawFrame) return WINCODEC_ERR_BADHEADER;
            return S_OK;
        }
        if (isSof(b)) {
            sawFrame = true;
            // Only 8-bit samples decode here (12- and 16-bit need other library builds).
            uint8_t precision = 0;
            if (payload < 6 || FAILED(in.read(pos + 2, &precision, 1)))
                return WINCODEC_ERR_BADHEADER;
            if (precision != 8) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        }
        if (b == 0xE1 && !info.thumbnail && payload > 14) {
            std::vector<uint8_t> data(payload);
            if (FAILED(in.read(pos + 2, data.data(), payload))) return WINCODEC_ERR_BADHEADER;
            if (std::memcmp(data.data(), "Exif\0\0", 6) == 0) {
                if (auto range = findExifThumbnail(data)) {
                    info.thumbnail = std::make_shared<const std::vector<BYTE>>(
                        data.begin() + static_cast<std::ptrdiff_t>(range->offset),
                        data.begin() + static_cast<std::ptrdiff_t>(range->offset + range->length));
                }
            }
        }
        pos += 2 + payload;
    }
    return WINCODEC_ERR_BADHEADER;
}

// Reads the frame header through libjpeg (for the same view of the file that decoding has).
HRESULT readJpegHeader(JpegState* state, IStream* stream, JpegInfo& info)
{
    destroyState(state);
    state->stream = stream;
    state->pos = 0;
    state->hitEnd = false;
    state->readError = S_OK;
    state->cinfo.err = jpeg_std_error(&state->jerr);
    state->jerr.error_exit = onError;
    state->jerr.output_message = onMessage;
    if (setjmp(state->jump)) {
        destroyState(state);
        return WINCODEC_ERR_BADHEADER;
    }
    jpeg_create_decompress(&state->cinfo);
    state->created = true;
    state->cinfo.client_data = state;
    state->src.init_source = initSource;
    state->src.fill_input_buffer = fillInput;
    state->src.skip_input_data = skipInput;
    state->src.resync_to_restart = jpeg_resync_to_restart;
    state->src.term_source = termSource;
    state->src.bytes_in_buffer = 0;
    state->src.next_input_byte = nullptr;
    state->cinfo.src = &state->src;
    if (jpeg_read_header(&state->cinfo, TRUE) != JPEG_HEADER_OK || state->hitEnd) {
        destroyState(state);
        return WINCODEC_ERR_BADHEADER;
    }
    const auto& c = state->cinfo;
    info.width = c.image_width;
    info.height = c.image_height;
    info.components = c.num_components;
    info.adobeInverted = c.saw_Adobe_marker && c.num_components == 4;
    if (c.saw_JFIF_marker && c.X_density > 0 && c.Y_density > 0) {
        if (c.density_unit == 1) {
            info.dpiX = c.X_density;
            info.dpiY = c.Y_density;
        } else if (c.density_unit == 2) {
            info.dpiX = c.X_density * 2.54;
            info.dpiY = c.Y_density * 2.54;
        }
    }
    destroyState(state);
    if (info.components != 1 && info.components != 3 && info.components != 4)
        return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    return S_OK;
}

// ---- frame ----

class JpegDecoder;

class JpegFrame final
    : public SourceBase<JpegFrame, IWICBitmapFrameDecode, IMioReducibleSource, IMioMetadataSource> {
  public:
    JpegFrame(ComPtr<IUnknown> owner, IStream* stream, std::shared_ptr<const JpegInfo> info,
              int denom)
        : m_owner(std::move(owner)), m_stream(stream), m_info(std::move(info)), m_denom(denom)
    {
        const UINT w = (m_info->width + static_cast<UINT>(denom) - 1) / static_cast<UINT>(denom);
        const UINT h = (m_info->height + static_cast<UINT>(denom) - 1) / static_cast<UINT>(denom);
        switch (m_info->components) {
        case 1:
            setShape(w, h, GUID_WICPixelFormat8bppGray, 8);
            break;
        case 3:
            setShape(w, h, GUID_WICPixelFormat24bppBGR, 24);
            break;
        default:
            setShape(w, h, GUID_WICPixelFormat32bppCMYK, 32);
            break;
        }
        m_dpiX = m_info->dpiX;
        m_dpiY = m_info->dpiY;
        m_ready = true;
    }

    STDMETHODIMP GetMetadataQueryReader(IWICMetadataQueryReader** pp) override
    {
        return metadata::createJpegQueryReader(m_stream.Get(), pp);
    }
    HRESULT queryExtra(REFIID riid, void** ppv)
    {
        if (riid != IID_IWICMetadataBlockReader) return E_NOINTERFACE;
        return metadata::createJpegBlockReader(m_stream.Get(), riid, ppv);
    }
    STDMETHODIMP GetMetadataStream(IStream** ppStream, GUID* pContainer) override
    {
        if (!ppStream || !pContainer) return E_INVALIDARG;
        *pContainer = GUID_ContainerFormatJpeg;
        return handOut<IStream>(m_stream, ppStream);
    }
    STDMETHODIMP GetColorContexts(UINT, IWICColorContext**, UINT* pcActualCount) override
    {
        if (!pcActualCount) return E_INVALIDARG;
        *pcActualCount = 0;
        return S_OK;
    }
    STDMETHODIMP GetThumbnail(IWICBitmapSource** ppIThumbnail) override;
    STDMETHODIMP CreateReducedSource(UINT minWidth, UINT minHeight, IWICBitmapSource** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        for (int denom : {8, 4, 2}) {
            const int total = denom * m_denom;
            if (total > 8) continue;
            const UINT w =
                (m_info->width + static_cast<UINT>(total) - 1) / static_cast<UINT>(total);
            const UINT h =
                (m_info->height + static_cast<UINT>(total) - 1) / static_cast<UINT>(total);
            if (w >= minWidth && h >= minHeight) {
                auto frame = JpegFrame::make(m_owner, m_stream.Get(), m_info, total);
                return handOut<IWICBitmapSource>(frame, pp);
            }
        }
        return S_FALSE;
    }

    HRESULT copyRect(const WICRect& rc, UINT stride, BYTE* buffer);

  private:
    J_COLOR_SPACE outSpace() const
    {
        return m_info->components == 1   ? JCS_GRAYSCALE
               : m_info->components == 3 ? JCS_EXT_BGR
                                         : JCS_CMYK;
    }

    ComPtr<IUnknown> m_owner;
    ComPtr<IStream> m_stream;
    std::shared_ptr<const JpegInfo> m_info;
    int m_denom;
    StatePtr m_state;
    std::vector<BYTE> m_rowBuffer;
};

HRESULT JpegFrame::copyRect(const WICRect& rc, UINT stride, BYTE* buffer)
{
    try {
        if (!m_state) m_state.reset(new JpegState{});
        if (m_rowBuffer.empty()) m_rowBuffer.resize(size_t{m_width} * (m_bitsPerPixel / 8) * 16);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    JpegState* s = m_state.get();
    if (!s->started || s->cinfo.output_scanline > static_cast<JDIMENSION>(rc.Y))
        RETURN_IF_FAILED(startState(s, m_stream.Get(), m_denom, outSpace()));
    if (s->cinfo.output_width != m_width || s->cinfo.output_height != m_height) {
        destroyState(s);
        return WINCODEC_ERR_BADIMAGE;
    }
    const auto target = static_cast<JDIMENSION>(rc.Y);
    if (s->cinfo.output_scanline < target)
        RETURN_IF_FAILED(skipRows(s, target - s->cinfo.output_scanline));

    const size_t pixelBytes = m_bitsPerPixel / 8;
    const size_t fullRow = size_t{m_width} * pixelBytes;
    const bool direct =
        rc.X == 0 && static_cast<UINT>(rc.Width) == m_width && !m_info->adobeInverted;
    JSAMPROW rows[16];
    for (INT y = 0; y < rc.Height;) {
        const INT batch = std::min<INT>(16, rc.Height - y);
        for (INT i = 0; i < batch; ++i)
            rows[i] = direct ? buffer + static_cast<size_t>(y + i) * stride
                             : m_rowBuffer.data() + static_cast<size_t>(i) * fullRow;
        RETURN_IF_FAILED(readRows(s, rows, static_cast<JDIMENSION>(batch)));
        if (!direct) {
            for (INT i = 0; i < batch; ++i) {
                BYTE* out = buffer + static_cast<size_t>(y + i) * stride;
                const BYTE* in = rows[i] + static_cast<size_t>(rc.X) * pixelBytes;
                const size_t n = static_cast<size_t>(rc.Width) * pixelBytes;
                if (m_info->adobeInverted) {
                    for (size_t k = 0; k < n; ++k)
                        out[k] = static_cast<BYTE>(255 - in[k]);
                } else {
                    std::memcpy(out, in, n);
                }
            }
        }
        y += batch;
    }
    // After the last row the state is only memory (for progressive files, every coefficient of
    // the picture): free it; a later request starts over.
    if (s->cinfo.output_scanline >= s->cinfo.output_height) destroyState(s);
    return S_OK;
}

// ---- decoder ----

class JpegDecoder final : public DecoderBase<JpegDecoder> {
  public:
    JpegDecoder() : DecoderBase(GUID_ContainerFormatJpeg) {}

    HRESULT load(IStream* stream)
    {
        auto info = std::make_shared<JpegInfo>();
        RETURN_IF_FAILED(walkSegments(stream, *info));
        StatePtr state(new JpegState{});
        RETURN_IF_FAILED(readJpegHeader(state.get(), stream, *info));
        m_info = std::move(info);
        return S_OK;
    }
    UINT frameCount() const { return 1; }
    HRESULT makeFrame(UINT, IWICBitmapFrameDecode** pp)
    {
        ComPtr<IUnknown> self(static_cast<IWICBitmapDecoder*>(this));
        auto frame = JpegFrame::make(self, m_stream.Get(), m_info, 1);
        return handOut<IWICBitmapFrameDecode>(frame, pp);
    }
    const std::vector<JpegSegment>& segments() const { return m_info->segments; }

  private:
    std::shared_ptr<const JpegInfo> m_info;
};

STDMETHODIMP JpegFrame::GetThumbnail(IWICBitmapSource** ppIThumbnail)
{
    if (!ppIThumbnail) return E_INVALIDARG;
    *ppIThumbnail = nullptr;
    if (!m_info->thumbnail) return WINCODEC_ERR_CODECNOTHUMBNAIL;
    auto stream = WicStream::make();
    if (!stream) return E_OUTOFMEMORY;
    RETURN_IF_FAILED(stream->initializeFromBytes(m_info->thumbnail));
    auto decoder = JpegDecoder::make();
    if (!decoder) return E_OUTOFMEMORY;
    // A thumbnail that does not decode is no thumbnail at all.
    if (FAILED(decoder->Initialize(stream.Get(), WICDecodeMetadataCacheOnDemand)))
        return WINCODEC_ERR_CODECNOTHUMBNAIL;
    ComPtr<IWICBitmapFrameDecode> frame;
    RETURN_IF_FAILED(decoder->GetFrame(0, frame.GetAddressOf()));
    *ppIThumbnail = frame.Detach();
    return S_OK;
}

// ---- EXIF IFD1 lookup ----

struct TiffReader {
    std::span<const uint8_t> data; // starts at the TIFF header
    bool little;
    std::optional<uint32_t> u16(size_t at) const
    {
        if (at > data.size() || data.size() - at < 2) return std::nullopt;
        const uint8_t* p = data.data() + at;
        return little ? uint32_t(p[0] | p[1] << 8) : uint32_t(p[0] << 8 | p[1]);
    }
    std::optional<uint32_t> u32(size_t at) const
    {
        if (at > data.size() || data.size() - at < 4) return std::nullopt;
        const uint8_t* p = data.data() + at;
        return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                            uint32_t(p[3]) << 24
                      : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 |
                            uint32_t(p[3]);
    }
};

} // namespace

std::optional<ByteRange> findExifThumbnail(std::span<const uint8_t> payload)
{
    if (payload.size() < 14 || std::memcmp(payload.data(), "Exif\0\0", 6) != 0) return std::nullopt;
    TiffReader t{payload.subspan(6), false};
    if (t.data[0] == 'I' && t.data[1] == 'I') {
        t.little = true;
    } else if (!(t.data[0] == 'M' && t.data[1] == 'M')) {
        return std::nullopt;
    }
    if (t.u16(2) != 42u) return std::nullopt;
    const auto ifd0 = t.u32(4);
    if (!ifd0) return std::nullopt;
    const auto count0 = t.u16(*ifd0);
    if (!count0) return std::nullopt;
    const auto ifd1 = t.u32(size_t{*ifd0} + 2 + size_t{*count0} * 12);
    if (!ifd1 || *ifd1 == 0 || *ifd1 == *ifd0) return std::nullopt;
    const auto count1 = t.u16(*ifd1);
    if (!count1) return std::nullopt;
    std::optional<uint32_t> offset, length;
    for (uint32_t i = 0; i < *count1; ++i) {
        const size_t entry = size_t{*ifd1} + 2 + size_t{i} * 12;
        const auto tag = t.u16(entry);
        if (!tag) return std::nullopt;
        if (*tag == 513) offset = t.u32(entry + 8);
        if (*tag == 514) length = t.u32(entry + 8);
    }
    if (!offset || !length || *length < 4) return std::nullopt;
    if (*offset > t.data.size() || *length > t.data.size() - *offset) return std::nullopt;
    return ByteRange{6 + size_t{*offset}, *length};
}

bool sniffJpeg(std::span<const uint8_t> head)
{
    return head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

HRESULT createJpegDecoder(IWICBitmapDecoder** ppDecoder)
{
    return handOut<IWICBitmapDecoder>(JpegDecoder::make(), ppDecoder);
}

} // namespace mio::imaging
