// SPDX-License-Identifier: MIT
// CImageFileIO thumbnails: embedded or decoded frame 0 through one imaging pipeline, and the cache.
#include <limits>

#include "dib/thumbnail_fit.h"
#include "imageobject/image_file_io.h"
#include "imageobject/result_macros.h"

namespace mio {

STDMETHODIMP CImageFileIO::GetPreviewThumbnail(PackedDib* ppDib, int32_t nWidthLimit,
                                               int32_t nHeightLimit, BOOL bForceGenerate,
                                               BOOL bExactSize)
{
    auto lock = hold();
    // The object never pads to an exact size; only the value 1 asks for it and is refused.
    RETURN_HR_IF(E_INVALIDARG, !ppDib || bExactSize == 1);
    // A negative limit has no meaning and would reach the scaler as a huge unsigned size.
    RETURN_HR_IF(E_INVALIDARG, nWidthLimit < 0 || nHeightLimit < 0);
    RETURN_HR_IF(E_FAIL, !m_opened);
    const HRESULT frameResult = ensureFrame();
    RETURN_IF_FAILED(frameResult);
    *ppDib = nullptr;

    // A request no larger than the cached bitmap shrinks it without decoding.
    if (m_preview && nWidthLimit <= m_preview->biWidth && nHeightLimit <= m_preview->biHeight) {
        PackedDib fitted = nullptr;
        if (DibFitThumbnail(m_preview.get(), &fitted, nWidthLimit, nHeightLimit, false) > 0 &&
            fitted)
            m_preview.reset(fitted);
        *ppDib = m_preview.get();
        return frameResult;
    }

    // The embedded thumbnail serves when it reaches at least one of the limits.
    ComPtr<IWICBitmapSource> thumbnail;
    ComPtr<IWICBitmapSource> source;
    if (FAILED(m_frame->GetThumbnail(thumbnail.GetAddressOf()))) {
        RETURN_HR_IF(E_FAIL, !bForceGenerate);
    } else {
        UINT width = 0, height = 0;
        RETURN_IF_FAILED(thumbnail->GetSize(&width, &height));
        const bool tooSmall =
            static_cast<UINT>(nWidthLimit) > width && static_cast<UINT>(nHeightLimit) > height;
        if (!tooSmall) source = thumbnail;
    }
    if (!source) RETURN_IF_FAILED(m_frame.As(&source));

    PackedDib made = nullptr;
    const HRESULT hr = bitmapSourceToDib(source.Get(), &made, nWidthLimit, nHeightLimit);
    RETURN_IF_FAILED(hr);
    m_preview.reset(made);
    *ppDib = made;
    return hr;
}

HRESULT CImageFileIO::bitmapSourceToDib(IWICBitmapSource* source, PackedDib* ppDib,
                                        int32_t nWidthLimit, int32_t nHeightLimit)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !ppDib);
    *ppDib = nullptr;

    ComPtr<IWICBitmapSource> current(source);
    GUID format{};
    RETURN_IF_FAILED(current->GetPixelFormat(&format));

    // 24-bit BGR passes straight through; with BGRA32 on, so does 32-bit BGRA; everything else
    // is converted to the chosen output.
    const bool direct = format == GUID_WICPixelFormat24bppBGR ||
                        (m_bgra32 && format == GUID_WICPixelFormat32bppBGRA);
    if (!direct) {
        const GUID& target = m_bgra32 ? GUID_WICPixelFormat32bppBGRA : GUID_WICPixelFormat24bppBGR;
        ComPtr<IWICFormatConverter> converter;
        RETURN_IF_FAILED(m_factory->CreateFormatConverter(converter.GetAddressOf()));
        RETURN_IF_FAILED(converter->Initialize(current.Get(), target, WICBitmapDitherTypeNone,
                                               nullptr, 0.0, WICBitmapPaletteTypeCustom));
        current = ComPtr<IWICBitmapSource>(converter.Get());
        format = target;
    }

    UINT sourceWidth = 0, sourceHeight = 0;
    RETURN_IF_FAILED(current->GetSize(&sourceWidth, &sourceHeight));
    constexpr UINT kIntMax = std::numeric_limits<int32_t>::max();
    RETURN_HR_IF(WINCODEC_ERR_IMAGESIZEOUTOFRANGE, sourceWidth > kIntMax || sourceHeight > kIntMax);
    int outWidth = static_cast<int>(sourceWidth);
    int outHeight = static_cast<int>(sourceHeight);

    int fittedWidth = 0, fittedHeight = 0;
    if (nWidthLimit != 0 && nHeightLimit != 0 &&
        DibFitSize(outWidth, outHeight, nWidthLimit, nHeightLimit, &fittedWidth, &fittedHeight)) {
        // Multiples of 4 keep the rows free of padding; a side under 4 becomes 0, which the
        // scaler refuses.
        outWidth = fittedWidth / 4 * 4;
        outHeight = fittedHeight / 4 * 4;
        ComPtr<IWICBitmapScaler> scaler;
        RETURN_IF_FAILED(m_factory->CreateBitmapScaler(scaler.GetAddressOf()));
        RETURN_IF_FAILED(scaler->Initialize(current.Get(), static_cast<UINT>(outWidth),
                                            static_cast<UINT>(outHeight),
                                            thumbnailInterpolation(m_osVersion)));
        current = ComPtr<IWICBitmapSource>(scaler.Get());
    }

    // Rows arrive bottom-up, as a PackedDib stores them.
    ComPtr<IWICBitmapFlipRotator> flipper;
    RETURN_IF_FAILED(m_factory->CreateBitmapFlipRotator(flipper.GetAddressOf()));
    RETURN_IF_FAILED(flipper->Initialize(current.Get(), WICBitmapTransformFlipVertical));

    int bytesPerPixel = 0;
    if (format == GUID_WICPixelFormat24bppBGR)
        bytesPerPixel = 3;
    else if (format == GUID_WICPixelFormat32bppBGRA)
        bytesPerPixel = 4;
    else
        return E_FAIL;

    UniquePackedDib dib(DibAlloc(outWidth, outHeight, 8 * bytesPerPixel));
    RETURN_HR_IF(E_OUTOFMEMORY, !dib);
    // DibAlloc caps the image well below 4 GiB, so stride and size fit the 32-bit arguments.
    const auto stride = static_cast<UINT>(DibStride(dib.get()));
    const auto size = static_cast<UINT>(DibImageSize(dib.get()));
    const WICRect all{0, 0, outWidth, outHeight};
    const HRESULT hr = flipper->CopyPixels(&all, stride, size, DibBits(dib.get()));
    RETURN_IF_FAILED(hr);
    *ppDib = dib.release();
    return hr;
}

STDMETHODIMP CImageFileIO::GetFrameThumbnailEx(PackedDib* ppDib, int32_t nWidthLimit,
                                               int32_t nHeightLimit, int32_t nFrame, BOOL, BOOL,
                                               BOOL*)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, nFrame != 0);
    return GetPreviewThumbnail(ppDib, nWidthLimit, nHeightLimit, TRUE, FALSE);
}

STDMETHODIMP CImageFileIO::GetFrameThumbnail(PackedDib* ppDib, int32_t nWidthLimit,
                                             int32_t nHeightLimit, int32_t nFrame, BOOL bRough,
                                             BOOL bExactSize)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, nFrame != 0);
    return GetFrameThumbnailEx(ppDib, nWidthLimit, nHeightLimit, 0, bRough, bExactSize, nullptr);
}

STDMETHODIMP CImageFileIO::GetFrameThumbnailByTime(PackedDib* ppDib, int32_t nWidthLimit,
                                                   int32_t nHeightLimit, double dTime, BOOL bRough,
                                                   BOOL bExactSize)
{
    auto lock = hold();
    // An image is one frame at time 0; anything else (NaN included) is refused.
    RETURN_HR_IF(E_INVALIDARG, !(dTime == 0.0));
    return GetFrameThumbnail(ppDib, nWidthLimit, nHeightLimit, 0, bRough, bExactSize);
}

STDMETHODIMP CImageFileIO::HasPreviewThumbnail()
{
    auto lock = hold();
    RETURN_IF_FAILED(ensureFrame());
    ComPtr<IWICBitmapSource> thumbnail;
    return SUCCEEDED(m_frame->GetThumbnail(thumbnail.GetAddressOf())) ? S_OK : S_FALSE;
}

} // namespace mio
