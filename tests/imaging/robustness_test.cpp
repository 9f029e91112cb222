// SPDX-License-Identifier: MIT
// Damaged input of every format: seeded byte mutations and truncations decode or fail with a
// failure code, never crash, hang or succeed with garbage sizes.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <random>

#include "imaging_test_util.h"
#include "support/test_support.h"

using namespace imgtest;

namespace {

// Decodes every frame fully and through a 1/4 thumbnail pipeline; returns the first failure.
HRESULT decodeEverything(const std::vector<uint8_t>& bytes)
{
    ComPtr<IWICBitmapDecoder> decoder;
    HRESULT hr = decoderFromBytes(bytes, decoder);
    if (FAILED(hr)) return hr;
    UINT count = 0;
    if (FAILED(hr = decoder->GetFrameCount(&count))) return hr;
    for (UINT i = 0; i < count && i < 4; ++i) {
        ComPtr<IWICBitmapFrameDecode> frame;
        if (FAILED(hr = decoder->GetFrame(i, frame.GetAddressOf()))) return hr;
        UINT w = 0, h = 0;
        if (FAILED(hr = frame->GetSize(&w, &h))) return hr;
        EXPECT_GT(w, 0u);
        EXPECT_GT(h, 0u);
        if (uint64_t{w} * h > (uint64_t{1} << 26)) continue; // the caller's buffer would be huge
        Pixels p;
        if (FAILED(hr = copyAll(frame.Get(), p, 0))) return hr;
        ComPtr<IWICFormatConverter> conv;
        ComPtr<IWICBitmapScaler> scaler;
        factory()->CreateFormatConverter(conv.GetAddressOf());
        if (FAILED(hr = conv->Initialize(frame.Get(), GUID_WICPixelFormat24bppBGR,
                                         WICBitmapDitherTypeNone, nullptr, 0.0,
                                         WICBitmapPaletteTypeCustom)))
            return hr;
        factory()->CreateBitmapScaler(scaler.GetAddressOf());
        if (FAILED(hr = scaler->Initialize(conv.Get(), std::max(1u, w / 4), std::max(1u, h / 4),
                                           WICBitmapInterpolationModeFant)))
            return hr;
        Pixels small;
        if (FAILED(hr = copyAll(scaler.Get(), small, 24))) return hr;
        ComPtr<IWICBitmapSource> thumb;
        frame->GetThumbnail(thumb.GetAddressOf());
    }
    return S_OK;
}

} // namespace

TEST(Robustness, MutatedAndTruncatedFilesFailCleanly)
{
    const char* files[] = {"jpeg/Canon_40D.jpg",  "jpeg/hopper_gray.jpg", "png/pil123p.png",
                           "png/transparent.png", "gif/hopper.gif",       "bmp/pal4rle.bmp",
                           "bmp/rgb16-565.bmp",   "tiff/hopper_lzw.tif",  "tiff/multipage.tiff",
                           "ico/pillow.ico"};
    std::mt19937 random(1234);
    for (const char* name : files) {
        const auto path = support::corpusPathOrEmpty(name);
        if (path.empty()) GTEST_SKIP() << "corpus not available";
        const auto original = support::readFile(path);
        for (int round = 0; round < 60; ++round) {
            auto bytes = original;
            if (round % 3 == 0) {
                bytes.resize(std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(random));
            } else {
                // A few bytes changed, biased to the headers where sizes and offsets live.
                const int changes = 1 + round % 4;
                for (int k = 0; k < changes; ++k) {
                    const size_t limit =
                        std::min<size_t>(bytes.size(), round % 2 ? 512 : bytes.size());
                    bytes[std::uniform_int_distribution<size_t>(0, limit - 1)(random)] =
                        static_cast<uint8_t>(random());
                }
            }
            const HRESULT hr = decodeEverything(bytes);
            EXPECT_TRUE(hr == S_OK || FAILED(hr)) << name << " round " << round;
        }
    }
}

TEST(Robustness, CorpusBrokenAndOtherFilesNeverCrash)
{
    for (const char* folder : {"broken", "other-images", "raw"}) {
        const auto dir = support::corpusDir() / folder;
        if (!std::filesystem::exists(dir)) GTEST_SKIP() << "corpus not available";
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.file_size() > (8u << 20)) continue;
            const HRESULT hr = decodeEverything(support::readFile(entry.path()));
            EXPECT_TRUE(hr == S_OK || FAILED(hr)) << entry.path();
        }
    }
}

TEST(Robustness, TinyFilesDeclaringHugePicturesCostLittleMemory)
{
    auto peakKb = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_maxrss;
    };
    const long before = peakKb();
    // GIF: one 30000 x 30000 image (900 MB of indices) with a few bytes of data.
    const std::vector<uint8_t> gif = {
        'G',  'I', 'F',  '8',  '9',  'a',  1,    0,    1,    0,    0, 0, 0, // screen 1 x 1
        0x2C, 0,   0,    0,    0,    0x30, 0x75, 0x30, 0x75, 0x00,          // image 30000 x 30000
        8,    2,   0x00, 0x01, 0x00, 0x3B};                                 // LZW data, end
    ComPtr<IWICBitmapDecoder> decoder;
    EXPECT_EQ(decoderFromBytes(gif, decoder), WINCODEC_ERR_BADSTREAMDATA);
    // BMP: 20000 x 20000 at 24 bits (1.2 GB) is over the limit; 16000 x 16000 at 8 bits is not,
    // but its bits are missing.
    std::vector<uint8_t> bmp = {'B', 'M', 0, 0,    0,    0, 0, 0,    0,    0, 54, 0, 0, 0,  40,
                                0,   0,   0, 0x20, 0x4E, 0, 0, 0x20, 0x4E, 0, 0,  1, 0, 24, 0,
                                0,   0,   0, 0,    0,    0, 0, 0,    0,    0, 0,  0, 0, 0,  0,
                                0,   0,   0, 0,    0,    0, 0, 0,    0,    9, 9,  9, 9};
    EXPECT_EQ(decoderFromBytes(bmp, decoder), WINCODEC_ERR_IMAGESIZEOUTOFRANGE);
    bmp[18] = bmp[22] = 0x80;
    bmp[19] = bmp[23] = 0x3E;
    bmp[28] = 8;
    bmp[10] = 54 + 4; // one palette entry, then a few bytes of the 256 MB of bits
    bmp.insert(bmp.end(), {1, 2, 3, 4});
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(firstFrame(bmp, frame), S_OK);
    const WICRect one{0, 0, 1, 1};
    uint8_t px = 0;
    EXPECT_EQ(frame->CopyPixels(&one, 1, 1, &px), WINCODEC_ERR_BADSTREAMDATA);
    EXPECT_LT(peakKb() - before, 100 * 1024);
}
