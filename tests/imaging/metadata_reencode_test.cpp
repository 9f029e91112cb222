// SPDX-License-Identifier: MIT
// Re-encoding JPEG frames with their metadata: every block copied through the block writer,
// XMP padding added, compressed data kept byte for byte, and the padded file then taking
// in-place commits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging_test_util.h"
#include "support/test_support.h"
#include "tavrel/platform/files.h"

using namespace imgtest;

namespace {

#define RETURN_IF_FAILED_T(expr)                                                                   \
    do {                                                                                           \
        const HRESULT hr_ = (expr);                                                                \
        if (FAILED(hr_)) return hr_;                                                               \
    } while (0)

struct Source {
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
};

Source open(const std::filesystem::path& path)
{
    Source s;
    EXPECT_EQ(decoderFromFile(path, s.decoder), S_OK);
    if (s.decoder) {
        EXPECT_EQ(s.decoder->GetFrame(0, s.frame.GetAddressOf()), S_OK);
    }
    return s;
}

// The documented copy loop: size, resolution, format, blocks, padding, pixels, commits.
HRESULT reencodeWithPadding(IWICBitmapFrameDecode* frame, const std::filesystem::path& target,
                            IWICBitmapSource* pixels = nullptr)
{
    auto f = factory();
    ComPtr<IWICStream> stream;
    RETURN_IF_FAILED_T(f->CreateStream(stream.GetAddressOf()));
    const auto name = support::u16(target.string());
    RETURN_IF_FAILED_T(stream->InitializeFromFilename(name.c_str(), GENERIC_WRITE));
    ComPtr<IWICBitmapEncoder> encoder;
    RETURN_IF_FAILED_T(f->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.GetAddressOf()));
    RETURN_IF_FAILED_T(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache));
    ComPtr<IWICBitmapFrameEncode> out;
    RETURN_IF_FAILED_T(encoder->CreateNewFrame(out.GetAddressOf(), nullptr));
    RETURN_IF_FAILED_T(out->Initialize(nullptr));
    UINT w = 0, h = 0;
    RETURN_IF_FAILED_T(frame->GetSize(&w, &h));
    RETURN_IF_FAILED_T(out->SetSize(w, h));
    double dx = 0, dy = 0;
    if (SUCCEEDED(frame->GetResolution(&dx, &dy))) out->SetResolution(dx, dy);
    WICPixelFormatGUID format{};
    RETURN_IF_FAILED_T(frame->GetPixelFormat(&format));
    RETURN_IF_FAILED_T(out->SetPixelFormat(&format));
    ComPtr<IWICMetadataBlockReader> blocksIn;
    ComPtr<IWICMetadataBlockWriter> blocksOut;
    RETURN_IF_FAILED_T(frame->QueryInterface(IID_IWICMetadataBlockReader,
                                             reinterpret_cast<void**>(blocksIn.GetAddressOf())));
    RETURN_IF_FAILED_T(out->QueryInterface(IID_IWICMetadataBlockWriter,
                                           reinterpret_cast<void**>(blocksOut.GetAddressOf())));
    RETURN_IF_FAILED_T(blocksOut->InitializeFromBlockReader(blocksIn.Get()));
    ComPtr<IWICMetadataQueryWriter> writer;
    RETURN_IF_FAILED_T(out->GetMetadataQueryWriter(writer.GetAddressOf()));
    PROPVARIANT pad;
    PropVariantInit(&pad);
    pad.vt = VT_UI4;
    pad.ulVal = 4096;
    RETURN_IF_FAILED_T(writer->SetMetadataByName(u"/xmp/PaddingSchema:Padding", &pad));
    RETURN_IF_FAILED_T(out->WriteSource(pixels ? pixels : frame, nullptr));
    RETURN_IF_FAILED_T(out->Commit());
    RETURN_IF_FAILED_T(encoder->Commit());
    return stream->Commit(STGC_DEFAULT);
}

std::string text(IWICMetadataQueryReader* r, const char16_t* path)
{
    tavrel::PropVariant v;
    if (FAILED(r->GetMetadataByName(path, &v))) return "<missing>";
    return v.vt == VT_LPWSTR ? support::u8(v.pwszVal) : v.vt == VT_LPSTR ? v.pszVal : "<type>";
}

} // namespace

TEST(MetadataReencode, UnchangedFrameKeepsScanDataAndEveryBlockAndGainsPadding)
{
    MIO_CORPUS_FILE(path, "jpeg/exiftool_IPTC.jpg");
    support::TempDir dir;
    const auto target = dir / "padded.jpg";
    {
        auto src = open(path);
        ASSERT_TRUE(src.frame);
        UINT blocks = 0;
        ComPtr<IWICMetadataBlockReader> reader;
        ASSERT_EQ(src.frame->QueryInterface(IID_IWICMetadataBlockReader,
                                            reinterpret_cast<void**>(reader.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(reader->GetCount(&blocks), S_OK);
        EXPECT_GE(blocks, 2u); // JFIF and Photoshop
        ASSERT_EQ(reencodeWithPadding(src.frame.Get(), target), S_OK);
    }
    const auto before = support::readFile(path);
    const auto after = support::readFile(target);
    // Everything from the first quantisation table on is the original's.
    auto tail = [](const std::vector<uint8_t>& b) {
        for (size_t i = 2; i + 1 < b.size(); ++i)
            if (b[i] == 0xFF && b[i + 1] == 0xDB)
                return std::vector<uint8_t>(b.begin() + i, b.end());
        return std::vector<uint8_t>{};
    };
    ASSERT_FALSE(tail(before).empty());
    EXPECT_EQ(tail(before), tail(after));
    {
        auto copy = open(target);
        ASSERT_TRUE(copy.frame);
        ComPtr<IWICMetadataQueryReader> r;
        ASSERT_EQ(copy.frame->GetMetadataQueryReader(r.GetAddressOf()), S_OK);
        EXPECT_EQ(text(r.Get(), u"/app13/irb/8bimiptc/iptc/by-line"), "Phil Harvey");
        EXPECT_EQ(r->GetMetadataByName(u"/xmp", nullptr), S_OK);
        EXPECT_EQ(r->GetMetadataByName(u"/app0", nullptr), S_OK);
    }
    // The padding now takes an in-place write.
    {
        const auto name = support::u16(target.string());
        tavrel::UniqueHandle file(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        ComPtr<IWICBitmapDecoder> decoder;
        ASSERT_EQ(factory()->CreateDecoderFromFileHandle(reinterpret_cast<ULONG_PTR>(file.get()),
                                                         nullptr, WICDecodeMetadataCacheOnDemand,
                                                         decoder.GetAddressOf()),
                  S_OK);
        ComPtr<IWICFastMetadataEncoder> fast;
        ASSERT_EQ(
            factory()->CreateFastMetadataEncoderFromDecoder(decoder.Get(), fast.GetAddressOf()),
            S_OK);
        ComPtr<IWICMetadataQueryWriter> w;
        ASSERT_EQ(fast->GetMetadataQueryWriter(w.GetAddressOf()), S_OK);
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_LPWSTR;
        v.pwszVal = const_cast<LPWSTR>(u"A title that needs the room of the padding");
        ASSERT_EQ(w->SetMetadataByName(u"/xmp/<xmpalt>dc:title/x-default", &v), S_OK);
        ASSERT_EQ(fast->Commit(), S_OK);
    }
    EXPECT_EQ(support::readFile(target).size(), after.size());
    auto again = open(target);
    ComPtr<IWICMetadataQueryReader> r;
    ASSERT_EQ(again.frame->GetMetadataQueryReader(r.GetAddressOf()), S_OK);
    EXPECT_EQ(text(r.Get(), u"/xmp/dc:title/x-default"),
              "A title that needs the room of the padding");
}

TEST(MetadataReencode, NewPixelsGetTheCopiedBlocks)
{
    MIO_CORPUS_FILE(path, "jpeg/Canon_40D.jpg");
    support::TempDir dir;
    const auto target = dir / "new-pixels.jpg";
    auto src = open(path);
    ASSERT_TRUE(src.frame);
    // A converted source is not the stored frame: its pixels are compressed anew.
    ComPtr<IWICFormatConverter> converter;
    ASSERT_EQ(factory()->CreateFormatConverter(converter.GetAddressOf()), S_OK);
    ASSERT_EQ(converter->Initialize(src.frame.Get(), GUID_WICPixelFormat24bppBGR,
                                    WICBitmapDitherTypeNone, nullptr, 0.0,
                                    WICBitmapPaletteTypeCustom),
              S_OK);
    ASSERT_EQ(reencodeWithPadding(src.frame.Get(), target, converter.Get()), S_OK);
    const auto bytes = support::readFile(target);
    const Pixels decoded = decodeJpegReference(bytes, 1);
    EXPECT_EQ(decoded.width, 100u);
    EXPECT_EQ(decoded.height, 68u);
    auto copy = open(target);
    ASSERT_TRUE(copy.frame);
    ComPtr<IWICMetadataQueryReader> r;
    ASSERT_EQ(copy.frame->GetMetadataQueryReader(r.GetAddressOf()), S_OK);
    EXPECT_EQ(text(r.Get(), u"/app1/ifd/{ushort=271}"), "Canon");
    EXPECT_EQ(r->GetMetadataByName(u"/xmp", nullptr), S_OK);
    // One JFIF header only: the copied one replaces the compressor's.
    size_t jfif = 0;
    for (size_t i = 2; i + 4 < bytes.size() && bytes[i] == 0xFF && bytes[i + 1] != 0xDA;
         i += 2 + (size_t{bytes[i + 2]} << 8 | bytes[i + 3]))
        jfif += bytes[i + 1] == 0xE0 ? 1 : 0;
    EXPECT_EQ(jfif, 1u);
}
