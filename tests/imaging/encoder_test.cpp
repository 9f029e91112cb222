// SPDX-License-Identifier: MIT
// JPEG and PNG encoders: the frame state machine, format negotiation, WriteSource through a
// conversion, and round trips through a file stream.
#include <gtest/gtest.h>

#include "imaging_test_util.h"
#include "support/test_support.h"
#include "tavrel/platform/files.h"

using namespace imgtest;

namespace {

struct Encoded {
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
};

Encoded begin(REFGUID container, const std::filesystem::path& path)
{
    Encoded e;
    auto f = factory();
    EXPECT_EQ(f->CreateStream(e.stream.GetAddressOf()), S_OK);
    const std::u16string name = support::u16(path.string());
    EXPECT_EQ(e.stream->InitializeFromFilename(name.c_str(), GENERIC_WRITE), S_OK);
    EXPECT_EQ(f->CreateEncoder(container, nullptr, e.encoder.GetAddressOf()), S_OK);
    EXPECT_EQ(e.encoder->Initialize(e.stream.Get(), WICBitmapEncoderNoCache), S_OK);
    IPropertyBag2* options = reinterpret_cast<IPropertyBag2*>(1);
    EXPECT_EQ(e.encoder->CreateNewFrame(e.frame.GetAddressOf(), &options), S_OK);
    EXPECT_EQ(options, nullptr);
    EXPECT_EQ(e.frame->Initialize(nullptr), S_OK);
    return e;
}

} // namespace

TEST(Encoder, PngRoundTripIsLosslessForBgraAndKeepsResolution)
{
    support::TempDir dir;
    std::vector<uint8_t> bgra(5 * 3 * 4);
    for (size_t i = 0; i < bgra.size(); ++i)
        bgra[i] = static_cast<uint8_t>(i * 13);
    Encoded e = begin(GUID_ContainerFormatPng, dir / "out.png");
    ASSERT_EQ(e.frame->SetSize(5, 3), S_OK);
    ASSERT_EQ(e.frame->SetResolution(300.0, 150.0), S_OK);
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    ASSERT_EQ(e.frame->SetPixelFormat(&format), S_OK);
    EXPECT_EQ(format, GUID_WICPixelFormat32bppBGRA);
    ASSERT_EQ(e.frame->WritePixels(2, 20, 40, bgra.data()), S_OK);
    // Too many rows: only one is left.
    EXPECT_EQ(e.frame->WritePixels(2, 20, 40, bgra.data() + 40),
              WINCODEC_ERR_CODECTOOMANYSCANLINES);
    EXPECT_EQ(e.encoder->Commit(), WINCODEC_ERR_WRONGSTATE); // frame not committed yet
    ASSERT_EQ(e.frame->WritePixels(1, 20, 20, bgra.data() + 40), S_OK);
    ASSERT_EQ(e.frame->Commit(), S_OK);
    e.frame = nullptr; // released before the encoder's commit, as callers do
    ASSERT_EQ(e.encoder->Commit(), S_OK);
    ASSERT_EQ(e.stream->Commit(STGC_DEFAULT), S_OK);
    e = {};

    ComPtr<IWICBitmapDecoder> decoder;
    ASSERT_EQ(decoderFromFile(dir / "out.png", decoder), S_OK);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    Pixels back;
    ASSERT_EQ(copyAll(frame.Get(), back, 32), S_OK);
    EXPECT_EQ(back.format, GUID_WICPixelFormat32bppBGRA);
    EXPECT_EQ(back.data, bgra);
    double dx = 0, dy = 0;
    ASSERT_EQ(frame->GetResolution(&dx, &dy), S_OK);
    EXPECT_NEAR(dx, 300.0, 0.05);
    EXPECT_NEAR(dy, 150.0, 0.05);
}

TEST(Encoder, JpegWriteSourceConvertsAndMatchesLibjpegDecode)
{
    support::TempDir dir;
    // Source in a format the JPEG encoder does not take: it negotiates 24bppBGR and converts.
    std::vector<uint8_t> bgra(64 * 32 * 4);
    for (size_t i = 0; i < bgra.size(); ++i)
        bgra[i] = static_cast<uint8_t>(i % 4 == 3 ? 255 : (i / 4) % 64 * 4);
    auto source = bitmap(64, 32, GUID_WICPixelFormat32bppBGRA, bgra);
    Encoded e = begin(GUID_ContainerFormatJpeg, dir / "out.jpg");
    ASSERT_EQ(e.frame->SetSize(64, 32), S_OK);
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    ASSERT_EQ(e.frame->SetPixelFormat(&format), S_OK);
    EXPECT_EQ(format, GUID_WICPixelFormat24bppBGR);
    ASSERT_EQ(e.frame->WriteSource(source.Get(), nullptr), S_OK);
    ASSERT_EQ(e.frame->Commit(), S_OK);
    ASSERT_EQ(e.encoder->Commit(), S_OK);
    EXPECT_EQ(e.encoder->Commit(), WINCODEC_ERR_WRONGSTATE);
    ComPtr<IWICBitmapFrameEncode> second;
    EXPECT_EQ(e.encoder->CreateNewFrame(second.GetAddressOf(), nullptr), WINCODEC_ERR_WRONGSTATE);
    e = {};

    const auto bytes = support::readFile(dir / "out.jpg");
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bytes, frame), S_OK);
    Pixels ours;
    ASSERT_EQ(copyAll(frame.Get(), ours, 24), S_OK);
    EXPECT_EQ(maxDiff(ours, decodeJpegReference(bytes, 1)), 0);
    // Quality 90 on a smooth ramp stays close to the source.
    int worst = 0;
    for (size_t i = 0; i < 64 * 32; ++i)
        for (int c = 0; c < 3; ++c)
            worst = std::max(worst, std::abs(int(ours.data[i * 3 + c]) - int(bgra[i * 4 + c])));
    EXPECT_LE(worst, 12);
}

TEST(Encoder, FrameStateIsChecked)
{
    support::TempDir dir;
    Encoded e = begin(GUID_ContainerFormatJpeg, dir / "x.jpg");
    std::vector<uint8_t> row(30);
    // No size or format yet.
    EXPECT_EQ(e.frame->WritePixels(1, 30, 30, row.data()), WINCODEC_ERR_WRONGSTATE);
    EXPECT_EQ(e.frame->SetSize(0, 5), E_INVALIDARG);
    ASSERT_EQ(e.frame->SetSize(10, 2), S_OK);
    WICPixelFormatGUID format = GUID_WICPixelFormat8bppGray;
    ASSERT_EQ(e.frame->SetPixelFormat(&format), S_OK);
    EXPECT_EQ(format, GUID_WICPixelFormat8bppGray);
    EXPECT_EQ(e.frame->WritePixels(1, 9, 9, row.data()), E_INVALIDARG); // stride below a row
    ASSERT_EQ(e.frame->WritePixels(1, 10, 10, row.data()), S_OK);
    EXPECT_EQ(e.frame->SetSize(10, 3), WINCODEC_ERR_WRONGSTATE); // rows already written
    EXPECT_EQ(e.frame->Commit(), WINCODEC_ERR_WRONGSTATE);       // one row missing

    ComPtr<IWICBitmapEncoder> unopened;
    ASSERT_EQ(factory()->CreateEncoder(GUID_ContainerFormatPng, nullptr, unopened.GetAddressOf()),
              S_OK);
    ComPtr<IWICBitmapFrameEncode> frame;
    EXPECT_EQ(unopened->CreateNewFrame(frame.GetAddressOf(), nullptr), WINCODEC_ERR_NOTINITIALIZED);
    ComPtr<IWICBitmapEncoder> none;
    EXPECT_EQ(factory()->CreateEncoder(GUID_ContainerFormatGif, nullptr, none.GetAddressOf()),
              WINCODEC_ERR_COMPONENTNOTFOUND);
}
