// SPDX-License-Identifier: MIT
// The factory through the COM runtime, decoders from every kind of input, and IWICStream.
#include <gtest/gtest.h>

#include <cstring>

#include "imaging_test_util.h"
#include "support/test_support.h"
#include "tavrel/platform/files.h"

using namespace imgtest;

TEST(ImagingFactory, CoCreateInstanceFindsTheRegisteredClass)
{
    ASSERT_EQ(mioImagingRegister(), S_OK);
    ComPtr<IWICImagingFactory> f;
    ASSERT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IWICImagingFactory, reinterpret_cast<void**>(f.GetAddressOf())),
              S_OK);
    ComPtr<IWICComponentFactory> component;
    EXPECT_EQ(f.As(&component), S_OK);
    ComPtr<IWICBitmapDecoder> wrong;
    EXPECT_EQ(f.As(&wrong), E_NOINTERFACE);
    f = nullptr;
    component = nullptr;
    ASSERT_EQ(mioImagingUnregister(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IWICImagingFactory, reinterpret_cast<void**>(f.GetAddressOf())),
              REGDB_E_CLASSNOTREG);
}

TEST(ImagingFactory, DecodersFromFileNameHandleAndStreamAgree)
{
    MIO_CORPUS_FILE(path, "png/hopper.png");
    auto f = factory();
    Pixels viaName, viaHandle;
    ComPtr<IWICBitmapDecoder> byName;
    ASSERT_EQ(decoderFromFile(path, byName), S_OK);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(byName->GetFrame(0, frame.GetAddressOf()), S_OK);
    ASSERT_EQ(copyAll(frame.Get(), viaName, 24), S_OK);

    const std::u16string name = support::u16(path.string());
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    {
        ComPtr<IWICBitmapDecoder> byHandle;
        ASSERT_EQ(f->CreateDecoderFromFileHandle(reinterpret_cast<ULONG_PTR>(h), nullptr,
                                                 WICDecodeMetadataCacheOnDemand,
                                                 byHandle.GetAddressOf()),
                  S_OK);
        GUID container{};
        EXPECT_EQ(byHandle->GetContainerFormat(&container), S_OK);
        EXPECT_EQ(container, GUID_ContainerFormatPng);
        ComPtr<IWICBitmapFrameDecode> hf;
        ASSERT_EQ(byHandle->GetFrame(0, hf.GetAddressOf()), S_OK);
        ASSERT_EQ(copyAll(hf.Get(), viaHandle, 24), S_OK);
    }
    CloseHandle(h);
    EXPECT_EQ(viaName.data, viaHandle.data);

    ComPtr<IWICBitmapDecoder> d;
    EXPECT_EQ(f->CreateDecoderFromFileHandle(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE),
                                             nullptr, WICDecodeMetadataCacheOnDemand,
                                             d.GetAddressOf()),
              E_INVALIDARG);
    const std::u16string missing = support::u16((path.parent_path() / "no such file.png").string());
    EXPECT_EQ(f->CreateDecoderFromFilename(missing.c_str(), nullptr, GENERIC_READ,
                                           WICDecodeMetadataCacheOnDemand, d.GetAddressOf()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST(ImagingFactory, DecoderStateResolutionAndPalette)
{
    auto f = factory();
    ComPtr<IWICBitmapDecoder> decoder;
    ASSERT_EQ(f->CreateDecoder(GUID_ContainerFormatJpeg, nullptr, decoder.GetAddressOf()), S_OK);
    UINT count = 7;
    EXPECT_EQ(decoder->GetFrameCount(&count), WINCODEC_ERR_NOTINITIALIZED);
    ComPtr<IWICBitmapDecoder> none;
    EXPECT_EQ(f->CreateDecoder(GUID_VendorMicrosoft, nullptr, none.GetAddressOf()),
              WINCODEC_ERR_COMPONENTNOTFOUND);

    const auto jpeg = encodeJpeg(8, 8, 1, std::vector<uint8_t>(64, 100));
    ComPtr<IWICBitmapDecoder> open;
    ASSERT_EQ(decoderFromBytes(jpeg, open), S_OK);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(open->GetFrame(0, frame.GetAddressOf()), S_OK);
    ComPtr<IWICBitmapSource> asSource;
    EXPECT_EQ(frame.As(&asSource), S_OK);
    double dx = 0, dy = 0;
    EXPECT_EQ(frame->GetResolution(&dx, &dy), S_OK); // JFIF density 1:1 without a unit: 96
    EXPECT_EQ(dx, 96.0);
    ComPtr<IWICPalette> palette;
    ASSERT_EQ(f->CreatePalette(palette.GetAddressOf()), S_OK);
    EXPECT_EQ(frame->CopyPalette(palette.Get()), WINCODEC_ERR_PALETTEUNAVAILABLE);
}

TEST(WicStream, MemoryRegionAndFileStreams)
{
    auto f = factory();
    uint8_t memory[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ComPtr<IWICStream> mem;
    ASSERT_EQ(f->CreateStream(mem.GetAddressOf()), S_OK);
    uint8_t buf[16] = {};
    ULONG got = 0;
    EXPECT_EQ(mem->Read(buf, 4, &got), WINCODEC_ERR_NOTINITIALIZED);
    ASSERT_EQ(mem->InitializeFromMemory(memory, sizeof memory), S_OK);
    EXPECT_EQ(mem->InitializeFromMemory(memory, sizeof memory), WINCODEC_ERR_WRONGSTATE);
    LARGE_INTEGER to{};
    to.QuadPart = 8;
    ASSERT_EQ(mem->Seek(to, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(mem->Read(buf, 4, &got), S_FALSE); // only two bytes left
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[1], 9);
    ULONG put = 0;
    EXPECT_EQ(mem->Write(buf, 4, &put), STG_E_MEDIUMFULL); // memory streams never grow
    to.QuadPart = -20;
    EXPECT_EQ(mem->Seek(to, STREAM_SEEK_CUR, nullptr), STG_E_INVALIDFUNCTION);

    // A region sees bytes 3..6 only.
    ComPtr<IWICStream> region;
    ASSERT_EQ(f->CreateStream(region.GetAddressOf()), S_OK);
    ULARGE_INTEGER offset{}, size{};
    offset.QuadPart = 3;
    size.QuadPart = 4;
    ASSERT_EQ(region->InitializeFromIStreamRegion(mem.Get(), offset, size), S_OK);
    EXPECT_EQ(region->Read(buf, 16, &got), S_FALSE);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::memcmp(buf, memory + 3, 4), 0);
    STATSTG st{};
    ASSERT_EQ(region->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.cbSize.QuadPart, 4u);

    // A file written through one stream reads back through another; names may be non-ASCII.
    support::TempDir dir;
    const std::u16string name = support::u16((dir / "d\xC3\xA9j\xC3\xA0.bin").string());
    ComPtr<IWICStream> out;
    ASSERT_EQ(f->CreateStream(out.GetAddressOf()), S_OK);
    ASSERT_EQ(out->InitializeFromFilename(name.c_str(), GENERIC_WRITE), S_OK);
    ASSERT_EQ(out->Write(memory, 10, &put), S_OK);
    ASSERT_EQ(out->Commit(STGC_DEFAULT), S_OK);
    out = nullptr;
    ComPtr<IWICStream> in;
    ASSERT_EQ(f->CreateStream(in.GetAddressOf()), S_OK);
    ASSERT_EQ(in->InitializeFromFilename(name.c_str(), GENERIC_READ), S_OK);
    EXPECT_EQ(in->Read(buf, 10, &got), S_OK);
    EXPECT_EQ(std::memcmp(buf, memory, 10), 0);
    ComPtr<IWICStream> dirStream;
    ASSERT_EQ(f->CreateStream(dirStream.GetAddressOf()), S_OK);
    const std::u16string folder = support::u16(dir.path().string());
    EXPECT_EQ(dirStream->InitializeFromFilename(folder.c_str(), GENERIC_READ),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
}

namespace {

// A read-only stream as strict as the engine's unbuffered file stream: empty reads and a missing
// count are refused, and everything but Read, Seek and Stat answers E_NOTIMPL.
class StrictStream final : public IStream {
  public:
    explicit StrictStream(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IStream && riid != IID_ISequentialStream)
            return E_NOINTERFACE;
        *ppv = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --m_refs;
        if (!left) delete this;
        return left;
    }
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        if (!pv || !pcbRead || cb == 0) return E_INVALIDARG;
        const size_t n = m_pos >= m_bytes.size() ? 0 : std::min<size_t>(cb, m_bytes.size() - m_pos);
        if (n) std::memcpy(pv, m_bytes.data() + m_pos, n);
        m_pos += n;
        *pcbRead = static_cast<ULONG>(n);
        return S_OK;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override
    {
        const int64_t base = origin == STREAM_SEEK_SET   ? 0
                             : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(m_pos)
                                                         : static_cast<int64_t>(m_bytes.size());
        if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
        m_pos = static_cast<size_t>(base + move.QuadPart);
        if (newPos) newPos->QuadPart = m_pos;
        return S_OK;
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG* st, DWORD) override
    {
        if (!st) return E_INVALIDARG;
        std::memset(st, 0, sizeof *st);
        st->type = STGTY_STREAM;
        st->cbSize.QuadPart = m_bytes.size();
        return S_OK;
    }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

  private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    ULONG m_refs = 1;
};

} // namespace

TEST(ImagingFactory, EveryFormatDecodesThroughAStrictReadOnlyStream)
{
    const char* files[] = {"jpeg/Canon_40D.jpg", "png/pil123p.png",     "gif/chi.gif",
                           "bmp/pal4rle.bmp",    "tiff/multipage.tiff", "tiff/tiff_16bit_RGB.tiff",
                           "ico/pillow.ico"};
    for (const char* name : files) {
        const auto path = support::corpusPathOrEmpty(name);
        if (path.empty()) GTEST_SKIP() << "corpus not available";
        const auto bytes = support::readFile(path);
        ComPtr<IStream> stream;
        stream.Attach(new StrictStream(bytes));
        ComPtr<IWICBitmapDecoder> decoder;
        ASSERT_EQ(factory()->CreateDecoderFromStream(stream.Get(), nullptr,
                                                     WICDecodeMetadataCacheOnDemand,
                                                     decoder.GetAddressOf()),
                  S_OK)
            << name;
        UINT count = 0;
        ASSERT_EQ(decoder->GetFrameCount(&count), S_OK);
        // The same pixels as through a memory stream.
        ComPtr<IWICBitmapDecoder> reference;
        ASSERT_EQ(decoderFromBytes(bytes, reference), S_OK);
        for (UINT i = 0; i < count; ++i) {
            ComPtr<IWICBitmapFrameDecode> a, b;
            ASSERT_EQ(decoder->GetFrame(i, a.GetAddressOf()), S_OK);
            ASSERT_EQ(reference->GetFrame(i, b.GetAddressOf()), S_OK);
            Pixels pa, pb;
            ASSERT_EQ(copyAll(a.Get(), pa, 0), S_OK) << name << " " << i;
            ASSERT_EQ(copyAll(b.Get(), pb, 0), S_OK);
            EXPECT_EQ(pa.data, pb.data) << name << " " << i;
        }
    }
}
