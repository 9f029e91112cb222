// SPDX-License-Identifier: MIT
// Image object thumbnails: source choice, fitting, the cached preview, depth, frame forms, scaler.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "dib/packed_dib.h"
#include "image_object_test_support.h"
#include "imageobject/image_file_io.h"
#include "support/test_support.h"

using namespace objtest;

namespace {

constexpr uint8_t kMain[3] = {20, 40, 200};  // RGB of the full picture
constexpr uint8_t kThumb[3] = {200, 30, 30}; // RGB of the embedded thumbnail

class ImageThumbnails : public ::testing::Test {
  protected:
    void SetUp() override
    {
        JpegOptions withThumb;
        withThumb.exifThumbnail = encodeJpeg(solid(160, 120, kThumb[0], kThumb[1], kThumb[2]));
        writeJpeg(dir / "exif.jpg", solid(640, 480, kMain[0], kMain[1], kMain[2]), withThumb);
        JpegOptions smallThumb;
        smallThumb.exifThumbnail = encodeJpeg(solid(80, 60, kThumb[0], kThumb[1], kThumb[2]));
        writeJpeg(dir / "small_thumb.jpg", solid(640, 480, kMain[0], kMain[1], kMain[2]),
                  smallThumb);
        picture = testPicture(300, 200);
        writePng(dir / "plain.png", picture);
        alpha = testPicture(40, 30, 4);
        writePng(dir / "alpha.png", alpha);
        writeBmp24(dir / "plain.bmp", testPicture(64, 48));
    }
    ComPtr<IMediaFileIO> openOk(const char* name)
    {
        HRESULT hr = E_FAIL;
        auto object = open(dir / name, hr);
        EXPECT_EQ(hr, S_OK) << name;
        return object;
    }
    support::TempDir dir;
    Image picture, alpha;
};

// Colour of a bitmap's centre as RGB, within JPEG's tolerance of an expected solid colour.
bool centreIs(const BITMAPINFOHEADER* dib, const uint8_t rgb[3])
{
    const uint8_t* p = dibPixel(dib, dib->biWidth / 2, dib->biHeight / 2);
    return std::abs(p[2] - rgb[0]) <= 6 && std::abs(p[1] - rgb[1]) <= 6 &&
           std::abs(p[0] - rgb[2]) <= 6;
}

void expectShape(const BITMAPINFOHEADER* dib, int width, int height, int bits)
{
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(dib->biSize, 40u);
    EXPECT_EQ(dib->biWidth, width);
    EXPECT_EQ(dib->biHeight, height);
    EXPECT_EQ(dib->biBitCount, bits);
    EXPECT_EQ(dib->biPlanes, 1);
    EXPECT_EQ(dib->biCompression, BI_RGB);
    // One locked global block big enough for header and rows.
    HGLOBAL block = GlobalHandle(dib);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(GlobalSize(block), mio::DibTotalSize(dib));
}

/// The pipeline the object should build, run directly: 24bppBGR, scaled with `mode`, top-down.
std::vector<uint8_t> directScaled(const std::filesystem::path& path, UINT width, UINT height,
                                  WICBitmapInterpolationMode mode)
{
    auto f = factory();
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;
    ComPtr<IWICBitmapScaler> scaler;
    EXPECT_EQ(f->CreateDecoderFromFilename(support::u16(path.string()).c_str(), nullptr,
                                           GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                           decoder.GetAddressOf()),
              S_OK);
    EXPECT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    EXPECT_EQ(f->CreateFormatConverter(converter.GetAddressOf()), S_OK);
    EXPECT_EQ(converter->Initialize(frame.Get(), GUID_WICPixelFormat24bppBGR,
                                    WICBitmapDitherTypeNone, nullptr, 0.0,
                                    WICBitmapPaletteTypeCustom),
              S_OK);
    EXPECT_EQ(f->CreateBitmapScaler(scaler.GetAddressOf()), S_OK);
    EXPECT_EQ(scaler->Initialize(converter.Get(), width, height, mode), S_OK);
    std::vector<uint8_t> bgr(size_t{width} * height * 3);
    const WICRect all{0, 0, static_cast<INT>(width), static_cast<INT>(height)};
    EXPECT_EQ(scaler->CopyPixels(&all, width * 3, static_cast<UINT>(bgr.size()), bgr.data()), S_OK);
    return bgr;
}

} // namespace

TEST_F(ImageThumbnails, EmbeddedThumbnailServesWhenItReachesALimit)
{
    auto object = openOk("exif.jpg");
    EXPECT_EQ(object->HasPreviewThumbnail(), S_OK);
    PackedDib dib = nullptr;
    ASSERT_EQ(object->GetPreviewThumbnail(&dib, 160, 160, FALSE, FALSE), S_OK);
    expectShape(dib, 160, 120, 24);
    EXPECT_TRUE(centreIs(dib, kThumb));

    // Too small in both directions: frame 0 is decoded and scaled, whatever bForceGenerate says.
    auto small = openOk("small_thumb.jpg");
    ASSERT_EQ(small->GetPreviewThumbnail(&dib, 160, 160, FALSE, FALSE), S_OK);
    expectShape(dib, 160, 120, 24);
    EXPECT_TRUE(centreIs(dib, kMain));
    // Reaching one limit is enough: 80 wide against a limit of 80.
    auto reaches = openOk("small_thumb.jpg");
    ASSERT_EQ(reaches->GetPreviewThumbnail(&dib, 80, 400, FALSE, FALSE), S_OK);
    expectShape(dib, 80, 60, 24);
    EXPECT_TRUE(centreIs(dib, kThumb));
}

TEST_F(ImageThumbnails, SmallerRequestsShrinkTheCachedPreviewWithoutDecoding)
{
    auto object = openOk("exif.jpg");
    PackedDib large = nullptr, shrunk = nullptr, again = nullptr;
    ASSERT_EQ(object->GetPreviewThumbnail(&large, 320, 320, TRUE, FALSE), S_OK);
    expectShape(large, 320, 240, 24);
    EXPECT_TRUE(centreIs(large, kMain));

    // Served from the cache: the full picture's colour, although the embedded thumbnail would
    // have served a fresh request of this size.
    ASSERT_EQ(object->GetPreviewThumbnail(&shrunk, 160, 160, FALSE, FALSE), S_OK);
    expectShape(shrunk, 160, 120, 24);
    EXPECT_TRUE(centreIs(shrunk, kMain));
    EXPECT_NE(shrunk, large);

    // Limits equal to the cache: nothing to shrink, the cached bitmap itself.
    ASSERT_EQ(object->GetPreviewThumbnail(&again, 160, 120, FALSE, FALSE), S_OK);
    EXPECT_EQ(again, shrunk);

    // Larger than the cache in one direction: back to the imaging component (the thumbnail).
    ASSERT_EQ(object->GetPreviewThumbnail(&again, 160, 121, FALSE, FALSE), S_OK);
    EXPECT_TRUE(centreIs(again, kThumb));

    // CloseMedia drops the cache; a new request on a closed object fails cleanly.
    EXPECT_EQ(asMediaFile(object)->CloseMedia(), S_OK);
    EXPECT_EQ(object->GetPreviewThumbnail(&again, 10, 10, TRUE, FALSE), E_FAIL);
}

TEST_F(ImageThumbnails, FittedSidesAreCutToMultiplesOfFour)
{
    auto object = openOk("plain.png");
    PackedDib dib = nullptr;
    // 300 x 200 into 100 x 100 fits to 100 x 66, cut to 100 x 64.
    ASSERT_EQ(object->GetPreviewThumbnail(&dib, 100, 100, TRUE, FALSE), S_OK);
    expectShape(dib, 100, 64, 24);
    UINT w = 0, h = 0;
    std::vector<uint8_t> bgr(picture.rgb.size());
    for (size_t i = 0; i < bgr.size(); i += 3) {
        bgr[i] = picture.rgb[i + 2];
        bgr[i + 1] = picture.rgb[i + 1];
        bgr[i + 2] = picture.rgb[i];
    }
    w = 300;
    h = 200;
    const auto d = compareDib(dib, boxDownscale(bgr, w, h, 100, 64));
    EXPECT_LE(d.mean, 2.0);

    // A fitted side under 4 pixels becomes 0, and the scaler's refusal is the answer.
    auto f = factory();
    ComPtr<IWICBitmapScaler> scaler;
    ASSERT_EQ(f->CreateBitmapScaler(scaler.GetAddressOf()), S_OK);
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(f->CreateDecoderFromFilename(support::u16((dir / "plain.png").string()).c_str(),
                                           nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                           decoder.GetAddressOf()),
              S_OK);
    ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    const HRESULT refusal = scaler->Initialize(frame.Get(), 0, 0, WICBitmapInterpolationModeFant);
    ASSERT_TRUE(FAILED(refusal));
    auto fresh = openOk("plain.png");
    dib = reinterpret_cast<PackedDib>(0x8);
    EXPECT_EQ(fresh->GetPreviewThumbnail(&dib, 3, 3, TRUE, FALSE), refusal);
    EXPECT_EQ(dib, nullptr);
}

TEST_F(ImageThumbnails, ZeroLimitsGiveTheWholePictureExactly)
{
    auto object = openOk("plain.png");
    EXPECT_EQ(object->HasPreviewThumbnail(), S_FALSE);
    PackedDib none = nullptr;
    EXPECT_EQ(object->GetPreviewThumbnail(&none, 0, 0, FALSE, FALSE), E_FAIL);
    EXPECT_EQ(none, nullptr);

    PackedDib dib = nullptr, again = nullptr;
    ASSERT_EQ(object->GetPreviewThumbnail(&dib, 0, 0, TRUE, FALSE), S_OK);
    expectShape(dib, 300, 200, 24);
    for (int y = 0; y < 200; y += 7) {
        for (int x = 0; x < 300; x += 5) {
            const uint8_t* p = dibPixel(dib, x, y);
            const uint8_t* q = picture.at(x, y);
            ASSERT_TRUE(p[0] == q[2] && p[1] == q[1] && p[2] == q[0]) << x << "," << y;
        }
    }
    ASSERT_EQ(object->GetPreviewThumbnail(&again, 0, 0, TRUE, FALSE), S_OK);
    EXPECT_EQ(again, dib);
    // From the cache, bForceGenerate 0 succeeds although there is no embedded thumbnail.
    ASSERT_EQ(object->GetPreviewThumbnail(&again, 0, 0, FALSE, FALSE), S_OK);
    EXPECT_EQ(again, dib);
}

TEST_F(ImageThumbnails, RefusesBadArgumentsAndClosedObjects)
{
    ComPtr<IMediaFileIO> closed;
    ASSERT_EQ(mio::CImageFileIO::create(closed.GetAddressOf()), S_OK);
    PackedDib dib = nullptr;
    EXPECT_EQ(closed->HasPreviewThumbnail(), E_FAIL);
    EXPECT_EQ(closed->GetPreviewThumbnail(&dib, 10, 10, TRUE, FALSE), E_FAIL);

    auto object = openOk("plain.bmp");
    EXPECT_EQ(object->HasPreviewThumbnail(), S_FALSE);
    EXPECT_EQ(object->GetPreviewThumbnail(nullptr, 10, 10, TRUE, FALSE), E_INVALIDARG);
    EXPECT_EQ(object->GetPreviewThumbnail(&dib, 10, 10, TRUE, 1), E_INVALIDARG);
    EXPECT_EQ(object->GetPreviewThumbnail(&dib, -1, 10, TRUE, FALSE), E_INVALIDARG);
    EXPECT_EQ(
        object->GetPreviewThumbnail(&dib, 10, std::numeric_limits<int32_t>::min(), TRUE, FALSE),
        E_INVALIDARG);
    EXPECT_EQ(dib, nullptr);
    // Any other bExactSize is accepted and ignored: no padding to an exact size.
    ASSERT_EQ(object->GetPreviewThumbnail(&dib, 32, 32, TRUE, -1), S_OK);
    expectShape(dib, 32, 24, 24);
}

TEST_F(ImageThumbnails, FrameFormsAreThePreviewOfFrameZeroAtTimeZero)
{
    auto a = openOk("plain.png");
    auto b = openOk("plain.png");
    auto c = openOk("plain.png");
    PackedDib fromPreview = nullptr, fromFrame = nullptr, fromTime = nullptr;
    EXPECT_EQ(b->GetFrameThumbnail(&fromFrame, 64, 64, 1, FALSE, FALSE), E_INVALIDARG);
    EXPECT_EQ(b->GetFrameThumbnailEx(&fromFrame, 64, 64, 2, FALSE, FALSE, nullptr), E_INVALIDARG);
    EXPECT_EQ(c->GetFrameThumbnailByTime(&fromTime, 64, 64, 0.5, FALSE, FALSE), E_INVALIDARG);
    EXPECT_EQ(c->GetFrameThumbnailByTime(&fromTime, 64, 64, std::nan(""), FALSE, FALSE),
              E_INVALIDARG);
    EXPECT_EQ(b->GetFrameThumbnailEx(nullptr, 64, 64, 0, FALSE, FALSE, nullptr), E_INVALIDARG);

    ASSERT_EQ(a->GetPreviewThumbnail(&fromPreview, 64, 64, TRUE, FALSE), S_OK);
    // bRough and bExactSize are not looked at by the frame forms, 1 included.
    ASSERT_EQ(b->GetFrameThumbnail(&fromFrame, 64, 64, 0, TRUE, 1), S_OK);
    ASSERT_EQ(c->GetFrameThumbnailByTime(&fromTime, 64, 64, -0.0, FALSE, TRUE), S_OK);
    const size_t size = mio::DibTotalSize(fromPreview);
    ASSERT_EQ(size, mio::DibTotalSize(fromFrame));
    EXPECT_EQ(0, std::memcmp(fromPreview, fromFrame, size));
    EXPECT_EQ(0, std::memcmp(fromPreview, fromTime, size));
}

TEST_F(ImageThumbnails, AlphaIsKeptOnlyWhenBgra32IsEnabledAfterOpening)
{
    auto plain = openOk("alpha.png");
    PackedDib dib = nullptr;
    ASSERT_EQ(plain->GetPreviewThumbnail(&dib, 0, 0, TRUE, FALSE), S_OK);
    expectShape(dib, 40, 30, 24);
    // The cache keeps its depth even when the flag changes afterwards.
    EXPECT_EQ(plain->EnableBGRA32(VARIANT_TRUE), S_OK);
    ASSERT_EQ(plain->GetPreviewThumbnail(&dib, 20, 20, TRUE, FALSE), S_OK);
    EXPECT_EQ(dib->biBitCount, 24);

    // Enabled before OpenMedia: opening clears the flag.
    ComPtr<IMediaFileIO> early;
    ASSERT_EQ(mio::CImageFileIO::create(early.GetAddressOf()), S_OK);
    EXPECT_EQ(early->EnableBGRA32(VARIANT_TRUE), S_OK);
    tavrel::UniqueBstr path(SysAllocString(support::u16((dir / "alpha.png").string()).c_str()));
    ASSERT_EQ(
        asMediaFile(early)->OpenMedia(path.get(), factory().Get(), VARIANT_TRUE, VARIANT_FALSE),
        S_OK);
    ASSERT_EQ(early->GetPreviewThumbnail(&dib, 0, 0, TRUE, FALSE), S_OK);
    EXPECT_EQ(dib->biBitCount, 24);

    auto withAlpha = openOk("alpha.png");
    EXPECT_EQ(withAlpha->EnableBGRA32(1), S_OK); // only -1 enables
    ASSERT_EQ(withAlpha->GetPreviewThumbnail(&dib, 0, 0, TRUE, FALSE), S_OK);
    EXPECT_EQ(dib->biBitCount, 24);
    withAlpha = openOk("alpha.png");
    EXPECT_EQ(withAlpha->EnableBGRA32(VARIANT_TRUE), S_OK);
    ASSERT_EQ(withAlpha->GetPreviewThumbnail(&dib, 0, 0, TRUE, FALSE), S_OK);
    expectShape(dib, 40, 30, 32);
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 40; ++x) {
            const uint8_t* p = dibPixel(dib, x, y);
            const uint8_t* q = alpha.at(x, y);
            // Straight, not premultiplied.
            ASSERT_TRUE(p[0] == q[2] && p[1] == q[1] && p[2] == q[0] && p[3] == q[3])
                << x << "," << y;
        }
    }

    // A 24-bit BGR source stays 24-bit with the flag set.
    auto bmp = openOk("plain.bmp");
    EXPECT_EQ(bmp->EnableBGRA32(VARIANT_TRUE), S_OK);
    ASSERT_EQ(bmp->GetPreviewThumbnail(&dib, 0, 0, TRUE, FALSE), S_OK);
    EXPECT_EQ(dib->biBitCount, 24);
}

TEST_F(ImageThumbnails, OsVersionChoosesTheScalerInterpolation)
{
    OSVERSIONINFOW v{};
    v.dwMajorVersion = 6;
    v.dwMinorVersion = 0;
    EXPECT_EQ(mio::thumbnailInterpolation(v), WICBitmapInterpolationModeLinear);
    v.dwMajorVersion = 5;
    v.dwMinorVersion = 2;
    EXPECT_EQ(mio::thumbnailInterpolation(v), WICBitmapInterpolationModeLinear);
    v.dwMajorVersion = 6;
    v.dwMinorVersion = 1;
    EXPECT_EQ(mio::thumbnailInterpolation(v), WICBitmapInterpolationModeFant);

    // Fine detail, where averaging a whole area and interpolating between two taps differ.
    Image noise = testPicture(300, 200);
    for (size_t i = 0; i < noise.rgb.size(); ++i)
        noise.rgb[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    writePng(dir / "noise.png", noise);
    const auto fant = directScaled(dir / "noise.png", 100, 64, WICBitmapInterpolationModeFant);
    const auto linear = directScaled(dir / "noise.png", 100, 64, WICBitmapInterpolationModeLinear);
    ASSERT_NE(fant, linear);

    // The platform's version record selects Fant.
    auto current = openOk("noise.png");
    PackedDib dib = nullptr;
    ASSERT_EQ(current->GetPreviewThumbnail(&dib, 100, 100, TRUE, FALSE), S_OK);
    EXPECT_EQ(compareDib(dib, fant).max, 0);

    auto old = openOk("noise.png");
    mio::CImageFileIO* object = nullptr;
    ASSERT_EQ(old->QueryInterface(mio::IID_CImageFileIOImpl, reinterpret_cast<void**>(&object)),
              S_OK);
    EXPECT_GE(object->osVersion().dwMajorVersion, 6u);
    object->setOsVersion(6, 0);
    ASSERT_EQ(old->GetPreviewThumbnail(&dib, 100, 100, TRUE, FALSE), S_OK);
    EXPECT_EQ(compareDib(dib, linear).max, 0);
    object->Release();
}
