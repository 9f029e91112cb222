// SPDX-License-Identifier: MIT
// The image object: opening and closing, properties, the methods it does not offer, its lock.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "image_object_test_support.h"
#include "imageobject/image_file_io.h"
#include "support/test_support.h"

using namespace objtest;

namespace {

class ImageFileIO : public ::testing::Test {
  protected:
    void SetUp() override
    {
        writeJpeg(dir / "photo.jpg", testPicture(64, 48), {300, 300, 95, {}});
        writeJpeg(dir / "mixed.jpg", testPicture(16, 16), {72, 96, 95, {}});
        writePng(dir / "rgb.png", testPicture(20, 10));
        writeBmp24(dir / "plain.bmp", testPicture(7, 5));
        support::writeFile(dir / "text.jpg", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a'});
    }
    ComPtr<IMediaFileIO> openOk(const char* name, VARIANT_BOOL noBuffering = VARIANT_FALSE)
    {
        HRESULT hr = E_FAIL;
        auto object = open(dir / name, hr, VARIANT_TRUE, noBuffering);
        EXPECT_EQ(hr, S_OK) << name;
        return object;
    }
    static bool isOpen(const ComPtr<IMediaFileIO>& object)
    {
        GUID format{};
        return asMediaFile(object)->GetFormat(&format) == S_OK;
    }
    support::TempDir dir;
};

tavrel::UniqueBstr bstrOf(const std::filesystem::path& path)
{
    return tavrel::UniqueBstr(SysAllocString(support::u16(path.string()).c_str()));
}

} // namespace

TEST_F(ImageFileIO, JpegReportsContainerNamesAndIdentifier)
{
    for (VARIANT_BOOL unbuffered : {VARIANT_FALSE, VARIANT_TRUE}) {
        auto object = openOk("photo.jpg", unbuffered);
        GUID format{};
        EXPECT_EQ(asMediaFile(object)->GetFormat(&format), S_OK);
        EXPECT_EQ(format, GUID_ContainerFormatJpeg);
        UINT frames = 0;
        EXPECT_EQ(asMediaFile(object)->GetFrameCount(&frames), S_OK);
        EXPECT_EQ(frames, 1u);

        WCHAR name[64] = {};
        EXPECT_EQ(object->GetFileFormatName(name, 57), E_INVALIDARG);
        EXPECT_EQ(name[0], u'\0'); // a short buffer is left untouched
        EXPECT_EQ(object->GetFileFormatName(name, 58), S_OK);
        EXPECT_EQ(std::u16string(name), u"JPEG file interchange format");
        EXPECT_EQ(object->GetFileFormatExtName(name, 9), E_INVALIDARG);
        EXPECT_EQ(object->GetFileFormatExtName(name, 10), S_OK);
        EXPECT_EQ(std::u16string(name), u".jpg");
        int32_t id = 0, type = 0, width = 0, height = 0, bits = 0;
        EXPECT_EQ(object->GetFileFormatID(&id), S_OK);
        EXPECT_EQ(id, 53);
        EXPECT_EQ(object->GetFileType(&type), S_OK);
        EXPECT_EQ(type, 3);
        EXPECT_EQ(object->GetFrameSize(&width, &height), S_OK);
        EXPECT_EQ(width, 64);
        EXPECT_EQ(height, 48);
        EXPECT_EQ(object->GetFrameBitCount(&bits), S_OK);
        EXPECT_EQ(bits, 24);
        EXPECT_EQ(object->ParseDetail(), S_OK);
    }
}

TEST_F(ImageFileIO, ResolutionComesFromTheJfifDensities)
{
    auto png = openOk("rgb.png");
    // A PNG has no JFIF header: the failure is the imaging component's, unchanged.
    HRESULT expected = S_OK;
    {
        ComPtr<IWICBitmapDecoder> decoder;
        ComPtr<IWICBitmapFrameDecode> frame;
        ComPtr<IWICMetadataQueryReader> reader;
        ASSERT_EQ(factory()->CreateDecoderFromFilename(
                      support::u16((dir / "rgb.png").string()).c_str(), nullptr, GENERIC_READ,
                      WICDecodeMetadataCacheOnDemand, decoder.GetAddressOf()),
                  S_OK);
        ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
        expected = frame->GetMetadataQueryReader(reader.GetAddressOf());
        if (SUCCEEDED(expected)) {
            tavrel::PropVariant value;
            expected = reader->GetMetadataByName(u"/app0/{ushort=2}", &value);
        }
    }
    int32_t x = -1, y = -1;
    EXPECT_EQ(png->GetResolution(&x, &y), expected);
    ASSERT_TRUE(FAILED(expected));
    EXPECT_EQ(x, -1);

    auto jpeg = openOk("photo.jpg");
    EXPECT_EQ(jpeg->GetResolution(nullptr, &y), E_INVALIDARG);
    const HRESULT hr = jpeg->GetResolution(&x, &y);
    if (hr == WINCODEC_ERR_UNSUPPORTEDOPERATION)
        GTEST_SKIP() << "the imaging component offers no metadata query reader yet";
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(x, 300);
    EXPECT_EQ(y, 300);
    auto mixed = openOk("mixed.jpg");
    EXPECT_EQ(mixed->GetResolution(&x, &y), S_OK);
    EXPECT_EQ(x, 72);
    EXPECT_EQ(y, 96);
}

TEST_F(ImageFileIO, ClosedObjectAnswersOnlyWhatNeedsNoFile)
{
    ComPtr<IMediaFileIO> object;
    ASSERT_EQ(mio::CImageFileIO::create(object.GetAddressOf()), S_OK);
    int32_t type = 0, width = 0, height = 0, bits = 0, id = 0, x = 0, y = 0;
    EXPECT_EQ(object->GetFileType(&type), S_OK);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(object->GetFileType(nullptr), E_INVALIDARG);
    EXPECT_EQ(object->ParseDetail(), S_OK);
    EXPECT_EQ(object->EnableBGRA32(VARIANT_TRUE), S_OK);
    EXPECT_EQ(object->GetFrameSize(&width, &height), E_FAIL);
    EXPECT_EQ(object->GetFrameSize(nullptr, &height), E_INVALIDARG); // outputs before state
    EXPECT_EQ(object->GetFrameBitCount(&bits), E_FAIL);
    EXPECT_EQ(object->GetResolution(&x, &y), E_FAIL);
    EXPECT_EQ(object->GetFileFormatID(&id), E_FAIL);
    WCHAR text[64];
    EXPECT_EQ(object->GetFileFormatName(text, sizeof text), E_FAIL);
    uint64_t size = 0;
    EXPECT_EQ(object->GetFileSize(&size), E_FAIL);
    UINT frames = 0;
    GUID format{};
    EXPECT_EQ(asMediaFile(object)->GetFrameCount(&frames), E_FAIL);
    EXPECT_EQ(asMediaFile(object)->GetFrameCount(nullptr), E_INVALIDARG);
    EXPECT_EQ(asMediaFile(object)->GetFormat(&format), E_FAIL);
    EXPECT_EQ(asMediaFile(object)->CloseMedia(), S_OK);
}

TEST_F(ImageFileIO, FailedOpenLeavesTheObjectClosed)
{
    auto object = openOk("photo.jpg");
    ASSERT_TRUE(isOpen(object));
    auto file = asMediaFile(object);
    auto path = bstrOf(dir / "photo.jpg");
    auto f = factory();

    EXPECT_EQ(file->OpenMedia(nullptr, f.Get(), VARIANT_TRUE, VARIANT_FALSE), E_INVALIDARG);
    EXPECT_TRUE(isOpen(object)); // refused before anything was touched

    // Unbuffered opening is for reading only; the earlier open is gone all the same.
    EXPECT_EQ(file->OpenMedia(path.get(), f.Get(), VARIANT_FALSE, VARIANT_TRUE), E_INVALIDARG);
    EXPECT_FALSE(isOpen(object));

    ASSERT_EQ(file->OpenMedia(path.get(), f.Get(), VARIANT_TRUE, VARIANT_FALSE), S_OK);
    ComPtr<IStream> notAFactory;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, notAFactory.GetAddressOf()), S_OK);
    EXPECT_EQ(file->OpenMedia(path.get(), notAFactory.Get(), VARIANT_TRUE, VARIANT_FALSE),
              E_INVALIDARG);
    EXPECT_FALSE(isOpen(object));

    auto missing = bstrOf(dir / "missing.jpg");
    EXPECT_EQ(file->OpenMedia(missing.get(), f.Get(), VARIANT_TRUE, VARIANT_FALSE),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(file->OpenMedia(missing.get(), f.Get(), VARIANT_TRUE, VARIANT_TRUE),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(isOpen(object));

    auto text = bstrOf(dir / "text.jpg");
    for (VARIANT_BOOL unbuffered : {VARIANT_FALSE, VARIANT_TRUE}) {
        EXPECT_TRUE(FAILED(file->OpenMedia(text.get(), f.Get(), VARIANT_TRUE, unbuffered)));
        EXPECT_FALSE(isOpen(object));
    }
}

TEST_F(ImageFileIO, ClosingLetsGoOfTheFileInBothModes)
{
    const auto path = support::u16((dir / "photo.jpg").string());
    const auto writable = [&] {
        // Share modes are enforced between this process's handles: a writer is refused while
        // the object (or its decoder's stream) still holds the file for reading.
        return tavrel::UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                nullptr))
            .
            operator bool();
    };
    for (VARIANT_BOOL unbuffered : {VARIANT_FALSE, VARIANT_TRUE}) {
        auto object = openOk("photo.jpg", unbuffered);
        PackedDib dib = nullptr;
        ASSERT_EQ(object->GetPreviewThumbnail(&dib, 16, 16, TRUE, FALSE), S_OK);
        EXPECT_FALSE(writable()) << "unbuffered " << unbuffered;
        EXPECT_EQ(asMediaFile(object)->CloseMedia(), S_OK);
        EXPECT_TRUE(writable()) << "unbuffered " << unbuffered;
    }
}

TEST_F(ImageFileIO, ReadWriteOpeningEitherHoldsAnEncoderOrFailsClosed)
{
    support::ScopedCopy copy(dir / "photo.jpg");
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr, VARIANT_FALSE, VARIANT_FALSE);
    if (FAILED(hr)) {
        // Without an in-place metadata encoder for the file, the open fails and lets go of it.
        EXPECT_FALSE(isOpen(object));
        tavrel::UniqueHandle again(CreateFileW(support::u16(copy.path().string()).c_str(),
                                               GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(again) << "the failed open kept the file";
    } else {
        EXPECT_TRUE(isOpen(object));
    }
}

TEST_F(ImageFileIO, AnswersItsInterfacesAndDispatch)
{
    auto object = openOk("plain.bmp");
    ComPtr<IDispatch> dispatch;
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(object.As(&dispatch), S_OK);
    ASSERT_EQ(object.As(&a), S_OK);
    ASSERT_EQ(asMediaFile(object).As(&b), S_OK);
    EXPECT_EQ(a.Get(), b.Get()); // one identity

    LPOLESTR name = const_cast<LPOLESTR>(u"GetFileFormatID");
    DISPID id = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    LONG formatId = 0;
    VARIANTARG arg{};
    arg.vt = VT_BYREF | VT_I4;
    arg.plVal = &formatId;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    ASSERT_EQ(
        dispatch->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(formatId, 41); // through the object's own method
}

TEST_F(ImageFileIO, TwoThreadsHammeringOneObjectStayConsistent)
{
    auto object = openOk("photo.jpg");
    auto file = asMediaFile(object);
    auto path = bstrOf(dir / "photo.jpg");
    auto f = factory();
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};

    // One thread re-opens and closes; the other asks for properties and thumbnails. Every
    // answer must be a complete one: the right size or a clean "not open".
    std::thread opener([&] {
        for (int i = 0; i < 300; ++i) {
            const VARIANT_BOOL unbuffered = (i % 3 == 0) ? VARIANT_TRUE : VARIANT_FALSE;
            if (file->OpenMedia(path.get(), f.Get(), VARIANT_TRUE, unbuffered) != S_OK) ++failures;
            if (i % 7 == 0) file->CloseMedia();
        }
        stop = true;
    });
    std::thread reader([&] {
        int round = 0;
        while (!stop) {
            int32_t width = 0, height = 0;
            const HRESULT size = object->GetFrameSize(&width, &height);
            if (!(size == E_FAIL || (size == S_OK && width == 64 && height == 48))) ++failures;
            PackedDib dib = nullptr;
            const int32_t limit = 8 + 8 * (round++ % 6);
            const HRESULT thumb = object->GetPreviewThumbnail(&dib, limit, limit, TRUE, FALSE);
            if (!(thumb == E_FAIL || (thumb == S_OK && dib))) ++failures;
            WCHAR text[64];
            const HRESULT name = object->GetFileFormatName(text, sizeof text);
            if (!(name == E_FAIL || (name == S_OK && std::u16string(text) == u".jpg") ||
                  (name == S_OK && std::u16string(text) == u"JPEG file interchange format")))
                ++failures;
        }
    });
    opener.join();
    reader.join();
    EXPECT_EQ(failures.load(), 0);
}
