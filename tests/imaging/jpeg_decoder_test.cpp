// SPDX-License-Identifier: MIT
// JPEG decoder: pixels against libjpeg-turbo at every scale, row ranges, DCT reduction for the
// scaler, the EXIF thumbnail, argument checks and damaged files.
#include <gtest/gtest.h>

#include <filesystem>

#include "imaging_test_util.h"
#include "support/test_support.h"

using namespace imgtest;

namespace {

// A 37 x 23 RGB gradient: odd sizes catch rounding of scaled dimensions.
std::vector<uint8_t> gradient(UINT w, UINT h, int comps)
{
    std::vector<uint8_t> p(size_t{w} * h * static_cast<UINT>(comps));
    for (UINT y = 0; y < h; ++y)
        for (UINT x = 0; x < w; ++x)
            for (int c = 0; c < comps; ++c)
                p[(size_t{y} * w + x) * static_cast<UINT>(comps) + static_cast<UINT>(c)] =
                    static_cast<uint8_t>((x * 7 + y * 3 + static_cast<UINT>(c) * 50) & 0xFF);
    return p;
}

// Builds APP1 "Exif" with IFD0 (one entry) and IFD1 pointing at `thumb`, inserted after SOI.
std::vector<uint8_t> withExifThumbnail(const std::vector<uint8_t>& jpeg,
                                       const std::vector<uint8_t>& thumb)
{
    std::vector<uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto u16 = [&](uint16_t v) {
        tiff.push_back(uint8_t(v));
        tiff.push_back(uint8_t(v >> 8));
    };
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            tiff.push_back(uint8_t(v >> (8 * i)));
    };
    // IFD0 at 8: one entry (Orientation = 1), next IFD at 26.
    u16(1);
    u16(0x0112);
    u16(3);
    u32(1);
    u32(1);
    u32(26);
    // IFD1 at 26: JPEGInterchangeFormat (513) and its length (514), no next IFD.
    u16(2);
    u16(513);
    u16(4);
    u32(1);
    u32(26 + 2 + 24 + 4);
    u16(514);
    u16(4);
    u32(1);
    u32(static_cast<uint32_t>(thumb.size()));
    u32(0);
    tiff.insert(tiff.end(), thumb.begin(), thumb.end());
    std::vector<uint8_t> app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), tiff.begin(), tiff.end());
    const size_t len = app1.size() - 2;
    app1[2] = uint8_t(len >> 8);
    app1[3] = uint8_t(len);
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), app1.begin(), app1.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

} // namespace

TEST(JpegDecoder, MatchesLibjpegForColourGreyAndCmyk)
{
    for (int comps : {3, 1, 4}) {
        const auto bytes = encodeJpeg(37, 23, comps, gradient(37, 23, comps));
        ComPtr<IWICBitmapDecoder> decoder;
        ASSERT_EQ(decoderFromBytes(bytes, decoder), S_OK);
        GUID container{};
        EXPECT_EQ(decoder->GetContainerFormat(&container), S_OK);
        EXPECT_EQ(container, GUID_ContainerFormatJpeg);
        UINT count = 0;
        EXPECT_EQ(decoder->GetFrameCount(&count), S_OK);
        EXPECT_EQ(count, 1u);
        ComPtr<IWICBitmapFrameDecode> frame;
        ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
        Pixels ours;
        ASSERT_EQ(copyAll(frame.Get(), ours, 0), S_OK);
        const GUID expected = comps == 1   ? GUID_WICPixelFormat8bppGray
                              : comps == 3 ? GUID_WICPixelFormat24bppBGR
                                           : GUID_WICPixelFormat32bppCMYK;
        EXPECT_EQ(ours.format, expected) << comps;
        EXPECT_EQ(ours.width, 37u);
        EXPECT_EQ(ours.height, 23u);
        EXPECT_EQ(maxDiff(ours, decodeJpegReference(bytes, 1)), 0) << comps;
        Pixels again; // a finished decode starts over
        ASSERT_EQ(copyAll(frame.Get(), again, 0), S_OK);
        EXPECT_EQ(again.data, ours.data);
        ComPtr<IWICBitmapFrameDecode> missing;
        EXPECT_EQ(decoder->GetFrame(1, missing.GetAddressOf()), WINCODEC_ERR_FRAMEMISSING);
    }
}

TEST(JpegDecoder, RowRangesInAnyOrderGiveTheSameRows)
{
    const auto bytes = encodeJpeg(40, 64, 3, gradient(40, 64, 3), 90, true);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    const Pixels ref = decodeJpegReference(bytes, 1);
    // Later rows first, then earlier ones (a restart), with a sub-rectangle and an odd stride.
    for (INT y0 : {50, 3, 20}) {
        const WICRect rc{5, y0, 17, 9};
        const UINT stride = 17 * 3 + 5;
        std::vector<uint8_t> buf(stride * 8 + 17 * 3, 0);
        ASSERT_EQ(frame->CopyPixels(&rc, stride, static_cast<UINT>(buf.size()), buf.data()), S_OK);
        for (INT y = 0; y < rc.Height; ++y)
            ASSERT_EQ(0, std::memcmp(buf.data() + size_t{stride} * static_cast<UINT>(y),
                                     ref.row(static_cast<UINT>(y0 + y)) + 5 * 3, 17 * 3))
                << "row " << y0 + y;
    }
}

TEST(JpegDecoder, CopyPixelsChecksRectangleStrideAndBuffer)
{
    const auto bytes = encodeJpeg(16, 8, 3, gradient(16, 8, 3));
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    std::vector<uint8_t> buf(16 * 3 * 8);
    const WICRect outside{10, 0, 7, 1}, negative{-1, 0, 2, 2}, empty{0, 0, 0, 1};
    EXPECT_EQ(frame->CopyPixels(&outside, 48, 48, buf.data()), E_INVALIDARG);
    EXPECT_EQ(frame->CopyPixels(&negative, 48, 96, buf.data()), E_INVALIDARG);
    EXPECT_EQ(frame->CopyPixels(&empty, 48, 48, buf.data()), E_INVALIDARG);
    EXPECT_EQ(frame->CopyPixels(nullptr, 47, 1000, buf.data()), E_INVALIDARG); // stride below a row
    EXPECT_EQ(frame->CopyPixels(nullptr, 48, 48 * 8 - 1, buf.data()),
              E_INVALIDARG); // one byte short
    EXPECT_EQ(frame->CopyPixels(nullptr, 48, 48 * 8, nullptr), E_INVALIDARG);
    // The last row needs no padding: stride * (h - 1) + row bytes is enough.
    std::vector<uint8_t> tight(50 * 7 + 48);
    EXPECT_EQ(frame->CopyPixels(nullptr, 50, static_cast<UINT>(tight.size()), tight.data()), S_OK);
}

TEST(JpegDecoder, ScalerUsesTheSmallestCoveringDctScale)
{
    // 1/8 of 300 x 200 is 38 x 25, which covers 30 x 20; the scaler's source must be that decode.
    const auto bytes = encodeJpeg(300, 200, 3, gradient(300, 200, 3));
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    auto f = factory();
    struct Case {
        UINT w, h;
        int denom;
    };
    for (const Case c : {Case{30, 20, 8}, Case{40, 20, 4}, Case{100, 60, 2}, Case{151, 10, 1}}) {
        ComPtr<IWICBitmapScaler> scaler;
        ASSERT_EQ(f->CreateBitmapScaler(scaler.GetAddressOf()), S_OK);
        // Same size as the reduced decode: the scaler copies it unchanged, so the pixels show the
        // scale.
        const Pixels ref = decodeJpegReference(bytes, c.denom);
        ASSERT_EQ(
            scaler->Initialize(frame.Get(), ref.width, ref.height, WICBitmapInterpolationModeFant),
            S_OK);
        Pixels ours;
        ASSERT_EQ(copyAll(scaler.Get(), ours, 24), S_OK);
        EXPECT_EQ(maxDiff(ours, ref), 0) << c.w << "x" << c.h;
        // And through a converter in front of the frame.
        ComPtr<IWICFormatConverter> conv;
        ASSERT_EQ(f->CreateFormatConverter(conv.GetAddressOf()), S_OK);
        ASSERT_EQ(conv->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA,
                                   WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom),
                  S_OK);
        PullLog log;
        ComPtr<IWICBitmapScaler> scaler2;
        ASSERT_EQ(f->CreateBitmapScaler(scaler2.GetAddressOf()), S_OK);
        ASSERT_EQ(
            scaler2->Initialize(conv.Get(), ref.width, ref.height, WICBitmapInterpolationModeFant),
            S_OK);
        Pixels bgra;
        ASSERT_EQ(copyAll(scaler2.Get(), bgra, 32), S_OK);
        for (UINT i = 0; i < ref.width * ref.height; ++i)
            ASSERT_EQ(0, std::memcmp(bgra.data.data() + 4 * i, ref.data.data() + 3 * i, 3)) << i;
    }
}

TEST(JpegDecoder, ThumbnailIsTheExifIfd1Picture)
{
    const auto thumb = encodeJpeg(16, 12, 3, gradient(16, 12, 3));
    const auto bytes = withExifThumbnail(encodeJpeg(64, 48, 3, gradient(64, 48, 3)), thumb);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    ComPtr<IWICBitmapSource> source;
    ASSERT_EQ(frame->GetThumbnail(source.GetAddressOf()), S_OK);
    Pixels ours;
    ASSERT_EQ(copyAll(source.Get(), ours, 24), S_OK);
    EXPECT_EQ(ours.width, 16u);
    EXPECT_EQ(ours.height, 12u);
    EXPECT_EQ(maxDiff(ours, decodeJpegReference(thumb, 1)), 0);
    // The main picture is unaffected by the APP1 block.
    Pixels main;
    ASSERT_EQ(copyAll(frame.Get(), main, 24), S_OK);
    EXPECT_EQ(main.width, 64u);

    ComPtr<IWICBitmapFrameDecode> plain;
    ASSERT_EQ(firstFrame(encodeJpeg(8, 8, 3, gradient(8, 8, 3)), plain), S_OK);
    ComPtr<IWICBitmapSource> none;
    EXPECT_EQ(plain->GetThumbnail(none.GetAddressOf()), WINCODEC_ERR_CODECNOTHUMBNAIL);
    EXPECT_EQ(none.Get(), nullptr);
}

TEST(JpegDecoder, ThumbnailPointerPastTheSegmentMeansNoThumbnail)
{
    auto thumb = encodeJpeg(16, 12, 3, gradient(16, 12, 3));
    auto bytes = withExifThumbnail(encodeJpeg(32, 32, 3, gradient(32, 32, 3)), thumb);
    // Patch the IFD1 length (last value of the second entry) to run past the APP1 segment.
    const size_t lengthAt = 2 + 4 + 6 + 26 + 2 + 12 + 8;
    bytes[lengthAt] = 0xFF;
    bytes[lengthAt + 1] = 0xFF;
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    ComPtr<IWICBitmapSource> source;
    EXPECT_EQ(frame->GetThumbnail(source.GetAddressOf()), WINCODEC_ERR_CODECNOTHUMBNAIL);
}

TEST(JpegDecoder, DamagedFilesFailWithCodecErrors)
{
    const auto good = encodeJpeg(64, 64, 3, gradient(64, 64, 3));
    // Cut inside the scan: the header opens, pixels fail.
    std::vector<uint8_t> cut(good.begin(),
                             good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(cut, frame), S_OK);
    Pixels p;
    EXPECT_EQ(copyAll(frame.Get(), p, 24), WINCODEC_ERR_BADSTREAMDATA);
    // Cut inside the header.
    std::vector<uint8_t> head(good.begin(), good.begin() + 40);
    ComPtr<IWICBitmapDecoder> decoder;
    EXPECT_EQ(decoderFromBytes(head, decoder), WINCODEC_ERR_BADHEADER);
    // Not an image at all.
    EXPECT_EQ(decoderFromBytes({'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}, decoder),
              WINCODEC_ERR_COMPONENTNOTFOUND);
    EXPECT_EQ(decoderFromBytes({}, decoder), WINCODEC_ERR_COMPONENTNOTFOUND);
}

TEST(JpegDecoder, CorpusFilesMatchLibjpegAtEveryScale)
{
    const auto dir = support::corpusDir() / "jpeg";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "corpus not available";
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const auto bytes = support::readFile(entry.path());
        ComPtr<IWICBitmapDecoder> decoder;
        if (entry.path().filename() == "monkey12.jpg") {
            // 12-bit samples: the 8-bit library refuses them too.
            EXPECT_EQ(decoderFromBytes(bytes, decoder), WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT);
            continue;
        }
        ASSERT_EQ(decoderFromBytes(bytes, decoder), S_OK) << entry.path();
        ComPtr<IWICBitmapFrameDecode> frame;
        ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
        for (int denom : {1, 8}) {
            ComPtr<IWICBitmapSource> source(frame.Get());
            if (denom > 1) {
                const Pixels ref = decodeJpegReference(bytes, denom);
                ComPtr<IWICBitmapScaler> scaler;
                ASSERT_EQ(factory()->CreateBitmapScaler(scaler.GetAddressOf()), S_OK);
                ASSERT_EQ(scaler->Initialize(frame.Get(), ref.width, ref.height,
                                             WICBitmapInterpolationModeFant),
                          S_OK);
                source = ComPtr<IWICBitmapSource>(scaler.Get());
            }
            const Pixels ref = decodeJpegReference(bytes, denom);
            Pixels ours;
            if (ref.truncatedInput) {
                // The library pads a cut-off scan with grey; we report the damage instead.
                EXPECT_EQ(copyAll(source.Get(), ours, 0), WINCODEC_ERR_BADSTREAMDATA)
                    << entry.path();
                continue;
            }
            ASSERT_EQ(copyAll(source.Get(), ours, 0), S_OK) << entry.path();
            EXPECT_EQ(maxDiff(ours, ref), 0) << entry.path() << " 1/" << denom;
        }
        ++checked;
    }
    EXPECT_GT(checked, 20);
}

TEST(JpegDecoder, CorpusBrokenFilesFailCleanly)
{
    for (const char* name : {"broken/truncated_jpeg.jpg", "broken/Canon_40D_truncated_4000B.jpg"}) {
        const auto path = support::corpusPathOrEmpty(name);
        if (path.empty()) GTEST_SKIP() << "corpus not available";
        ComPtr<IWICBitmapDecoder> decoder;
        const HRESULT hr = decoderFromBytes(support::readFile(path), decoder);
        if (FAILED(hr)) {
            EXPECT_EQ(HRESULT_FACILITY(hr), 0x898) << name;
            continue;
        }
        ComPtr<IWICBitmapFrameDecode> frame;
        ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
        Pixels p;
        EXPECT_EQ(copyAll(frame.Get(), p, 0), WINCODEC_ERR_BADSTREAMDATA) << name;
    }
}

TEST(JpegDecoder, HugeDeclaredProgressiveSizeFailsWithoutAllocatingIt)
{
    // A progressive file buffers every coefficient of the picture: patch the frame header to
    // 30000 x 30000 (about 5 GB of coefficients) and ask for one row.
    auto bytes = encodeJpeg(16, 16, 3, gradient(16, 16, 3), 90, true);
    size_t sof = 0;
    for (size_t i = 2; i + 8 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC2) {
            sof = i;
            break;
        }
    ASSERT_NE(sof, 0u);
    for (size_t at : {sof + 5, sof + 7}) { // height, width (big-endian)
        bytes[at] = 30000 >> 8;
        bytes[at + 1] = 30000 & 0xFF;
    }
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    UINT w = 0, h = 0;
    ASSERT_EQ(frame->GetSize(&w, &h), S_OK);
    EXPECT_EQ(w, 30000u);
    const WICRect rc{0, 0, 1, 1};
    uint8_t px[3];
    EXPECT_EQ(frame->CopyPixels(&rc, 3, 3, px), WINCODEC_ERR_BADSTREAMDATA);
}

TEST(JpegDecoder, CorpusCameraFileThumbnail)
{
    MIO_CORPUS_FILE(path, "jpeg/Canon_40D.jpg");
    ComPtr<IWICBitmapDecoder> decoder;
    ASSERT_EQ(decoderFromFile(path, decoder), S_OK);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    ComPtr<IWICBitmapSource> thumb;
    ASSERT_EQ(frame->GetThumbnail(thumb.GetAddressOf()), S_OK);
    UINT w = 0, h = 0;
    ASSERT_EQ(thumb->GetSize(&w, &h), S_OK);
    EXPECT_EQ(w, 68u); // the file was resized after the camera: so was its thumbnail
    EXPECT_EQ(h, 46u);
    Pixels p;
    EXPECT_EQ(copyAll(thumb.Get(), p, 24), S_OK);
}
