// SPDX-License-Identifier: MIT
// Imaging test helpers.
#include "imaging_test_util.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <jerror.h>
#include <jpeglib.h>

#include "support/test_support.h"
#include "tavrel/platform/files.h"
#include "tavrel/platform/memory.h"

namespace imgtest {

ComPtr<IWICImagingFactory> factory()
{
    ComPtr<IWICImagingFactory> f;
    EXPECT_EQ(
        mioImagingCreateFactory(IID_IWICImagingFactory, reinterpret_cast<void**>(f.GetAddressOf())),
        S_OK);
    return f;
}

HRESULT decoderFromBytes(const std::vector<uint8_t>& bytes, ComPtr<IWICBitmapDecoder>& decoder)
{
    // The stream reads from a copy that lives as long as the stream: a global block.
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size() ? bytes.size() : 1);
    if (!block) return E_OUTOFMEMORY;
    void* p = GlobalLock(block);
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    GlobalUnlock(block);
    ComPtr<IStream> stream;
    HRESULT hr = CreateStreamOnHGlobal(block, TRUE, stream.GetAddressOf());
    if (FAILED(hr)) {
        GlobalFree(block);
        return hr;
    }
    ULARGE_INTEGER size;
    size.QuadPart = bytes.size();
    stream->SetSize(size);
    return factory()->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                              decoder.ReleaseAndGetAddressOf());
}

HRESULT decoderFromFile(const std::filesystem::path& path, ComPtr<IWICBitmapDecoder>& decoder)
{
    const std::u16string name = support::u16(path.string());
    return factory()->CreateDecoderFromFilename(name.c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand,
                                                decoder.ReleaseAndGetAddressOf());
}

HRESULT firstFrame(const std::vector<uint8_t>& bytes, ComPtr<IWICBitmapFrameDecode>& frame)
{
    ComPtr<IWICBitmapDecoder> decoder;
    const HRESULT hr = decoderFromBytes(bytes, decoder);
    if (FAILED(hr)) return hr;
    return decoder->GetFrame(0, frame.ReleaseAndGetAddressOf());
}

UINT bitsOf(REFGUID f)
{
    struct Row {
        const GUID* g;
        UINT bits;
    };
    static const Row rows[] = {
        {&GUID_WICPixelFormat1bppIndexed, 1},  {&GUID_WICPixelFormat2bppIndexed, 2},
        {&GUID_WICPixelFormat4bppIndexed, 4},  {&GUID_WICPixelFormat8bppIndexed, 8},
        {&GUID_WICPixelFormatBlackWhite, 1},   {&GUID_WICPixelFormat2bppGray, 2},
        {&GUID_WICPixelFormat4bppGray, 4},     {&GUID_WICPixelFormat8bppGray, 8},
        {&GUID_WICPixelFormat16bppGray, 16},   {&GUID_WICPixelFormat16bppBGR555, 16},
        {&GUID_WICPixelFormat16bppBGR565, 16}, {&GUID_WICPixelFormat24bppBGR, 24},
        {&GUID_WICPixelFormat24bppRGB, 24},    {&GUID_WICPixelFormat32bppBGR, 32},
        {&GUID_WICPixelFormat32bppBGRA, 32},   {&GUID_WICPixelFormat32bppPBGRA, 32},
        {&GUID_WICPixelFormat32bppCMYK, 32},   {&GUID_WICPixelFormat48bppRGB, 48},
        {&GUID_WICPixelFormat64bppRGBA, 64},
    };
    for (const auto& r : rows)
        if (*r.g == f) return r.bits;
    return 0;
}

HRESULT copyAll(IWICBitmapSource* source, Pixels& out, UINT bpp)
{
    HRESULT hr = source->GetSize(&out.width, &out.height);
    if (FAILED(hr)) return hr;
    hr = source->GetPixelFormat(&out.format);
    if (FAILED(hr)) return hr;
    if (bpp == 0) bpp = bitsOf(out.format);
    out.stride = (out.width * bpp + 7) / 8;
    out.data.assign(size_t{out.stride} * out.height, 0xCD);
    return source->CopyPixels(nullptr, out.stride, static_cast<UINT>(out.data.size()),
                              out.data.data());
}

ComPtr<IWICBitmap> bitmap(UINT width, UINT height, REFGUID format, const std::vector<uint8_t>& rows)
{
    ComPtr<IWICBitmap> b;
    const UINT stride = (width * bitsOf(format) + 7) / 8;
    std::vector<uint8_t> copy = rows;
    EXPECT_EQ(factory()->CreateBitmapFromMemory(width, height, format, stride,
                                                static_cast<UINT>(copy.size()), copy.data(),
                                                b.GetAddressOf()),
              S_OK);
    return b;
}

class CountingSource final : public IWICBitmapSource {
  public:
    CountingSource(IWICBitmapSource* inner, PullLog& log) : m_inner(inner), m_log(log) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IWICBitmapSource) {
            *ppv = static_cast<IWICBitmapSource*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --m_refs;
        if (!left) delete this;
        return left;
    }
    STDMETHODIMP GetSize(UINT* w, UINT* h) override { return m_inner->GetSize(w, h); }
    STDMETHODIMP GetPixelFormat(WICPixelFormatGUID* f) override
    {
        return m_inner->GetPixelFormat(f);
    }
    STDMETHODIMP GetResolution(double* x, double* y) override
    {
        return m_inner->GetResolution(x, y);
    }
    STDMETHODIMP CopyPalette(IWICPalette* p) override { return m_inner->CopyPalette(p); }
    STDMETHODIMP CopyPixels(const WICRect* prc, UINT stride, UINT size, BYTE* buffer) override
    {
        WICRect rc{0, 0, 0, 0};
        if (prc) {
            rc = *prc;
        } else {
            UINT w = 0, h = 0;
            m_inner->GetSize(&w, &h);
            rc = {0, 0, static_cast<INT>(w), static_cast<INT>(h)};
        }
        m_log.requests.push_back(rc);
        m_log.rowsPulled += static_cast<UINT>(rc.Height);
        m_log.maxRowsInOneCall = std::max(m_log.maxRowsInOneCall, static_cast<UINT>(rc.Height));
        return m_inner->CopyPixels(prc, stride, size, buffer);
    }

  private:
    ComPtr<IWICBitmapSource> m_inner;
    PullLog& m_log;
    ULONG m_refs = 1;
};

ComPtr<IWICBitmapSource> counting(IWICBitmapSource* inner, PullLog& log)
{
    ComPtr<IWICBitmapSource> p;
    p.Attach(new CountingSource(ComPtr<IWICBitmapSource>(inner).Get(), log));
    return p;
}

namespace {
struct JpegErr {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};
void jpegFail(j_common_ptr c)
{
    std::longjmp(reinterpret_cast<JpegErr*>(c->err)->jump, 1);
}
bool g_sawEof = false;
void jpegMessage(j_common_ptr c, int level)
{
    if (level < 0 && c->err->msg_code == JWRN_JPEG_EOF) g_sawEof = true;
}
} // namespace

std::vector<uint8_t> encodeJpeg(UINT width, UINT height, int components,
                                const std::vector<uint8_t>& pixels, int quality, bool progressive)
{
    jpeg_compress_struct c{};
    JpegErr err{};
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegFail;
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        free(out);
        ADD_FAILURE() << "reference JPEG encode failed";
        return {};
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = components;
    c.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    for (UINT y = 0; y < height; ++y) {
        JSAMPROW row =
            const_cast<uint8_t*>(pixels.data() + size_t{y} * width * static_cast<UINT>(components));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    free(out);
    return bytes;
}

Pixels decodeJpegReference(const std::vector<uint8_t>& bytes, int denom)
{
    Pixels p;
    jpeg_decompress_struct d{};
    JpegErr err{};
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegFail;
    err.mgr.emit_message = jpegMessage;
    g_sawEof = false;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        ADD_FAILURE() << "reference JPEG decode failed";
        return {};
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&d, TRUE);
    d.scale_num = 1;
    d.scale_denom = static_cast<unsigned>(denom);
    d.out_color_space = d.num_components == 1   ? JCS_GRAYSCALE
                        : d.num_components == 3 ? JCS_EXT_BGR
                                                : JCS_CMYK;
    const bool invert = d.num_components == 4 && d.saw_Adobe_marker;
    jpeg_start_decompress(&d);
    p.width = d.output_width;
    p.height = d.output_height;
    p.stride = d.output_width * static_cast<UINT>(d.output_components);
    p.data.resize(size_t{p.stride} * p.height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = p.data.data() + size_t{p.stride} * d.output_scanline;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    p.truncatedInput = g_sawEof;
    if (invert)
        for (auto& b : p.data)
            b = static_cast<uint8_t>(255 - b);
    return p;
}

int maxDiff(const Pixels& a, const Pixels& b)
{
    if (a.data.size() != b.data.size()) return 1 << 20;
    int worst = 0;
    for (size_t i = 0; i < a.data.size(); ++i)
        worst = std::max(worst, std::abs(int(a.data[i]) - int(b.data[i])));
    return worst;
}

} // namespace imgtest
