// SPDX-License-Identifier: MIT
// IWICImagingFactory: creates decoders by content, encoders by container, the pipeline objects,
// streams and in-memory bitmaps. Metadata writers and encoders come with the metadata work.
#include "factory.h"

#include <array>

#include "bitmap.h"
#include "codec_table.h"
#include "com_object.h"
#include "metadata/jpeg_metadata.h"
#include "palette.h"
#include "stream.h"
#include "tavrel/platform/files.h"

namespace mio::imaging {
namespace {

template <typename T> HRESULT refuse(T** pp, HRESULT hr)
{
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    return hr;
}

class ImagingFactory final : public ComObject<ImagingFactory, IWICComponentFactory> {
  public:
    STDMETHODIMP CreateDecoderFromFilename(LPCWSTR wzFilename, const GUID*, DWORD dwDesiredAccess,
                                           WICDecodeOptions options,
                                           IWICBitmapDecoder** pp) override
    {
        if (!pp || !wzFilename) return E_INVALIDARG;
        *pp = nullptr;
        auto stream = WicStream::make();
        if (!stream) return E_OUTOFMEMORY;
        // A decoder only reads; write access would truncate the file.
        (void)dwDesiredAccess;
        RETURN_IF_FAILED(stream->InitializeFromFilename(wzFilename, GENERIC_READ));
        return createDecoderForStream(stream.Get(), options, pp);
    }
    STDMETHODIMP CreateDecoderFromStream(IStream* pIStream, const GUID*, WICDecodeOptions options,
                                         IWICBitmapDecoder** pp) override
    {
        if (!pp || !pIStream) return E_INVALIDARG;
        *pp = nullptr;
        return createDecoderForStream(pIStream, options, pp);
    }
    STDMETHODIMP CreateDecoderFromFileHandle(ULONG_PTR hFile, const GUID*, WICDecodeOptions options,
                                             IWICBitmapDecoder** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        auto stream = WicStream::make();
        if (!stream) return E_OUTOFMEMORY;
        RETURN_IF_FAILED(stream->initializeFromHandle(reinterpret_cast<HANDLE>(hFile)));
        return createDecoderForStream(stream.Get(), options, pp);
    }
    STDMETHODIMP CreateComponentInfo(REFCLSID, IWICComponentInfo** pp) override
    {
        return refuse(pp, E_NOTIMPL);
    }
    STDMETHODIMP CreateDecoder(REFGUID container, const GUID*, IWICBitmapDecoder** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        const CodecEntry* codec = findCodec(container);
        if (!codec) return WINCODEC_ERR_COMPONENTNOTFOUND;
        return codec->createDecoder(pp);
    }
    STDMETHODIMP CreateEncoder(REFGUID container, const GUID*, IWICBitmapEncoder** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        const CodecEntry* codec = findCodec(container);
        if (!codec || !codec->createEncoder) return WINCODEC_ERR_COMPONENTNOTFOUND;
        return codec->createEncoder(pp);
    }
    STDMETHODIMP CreatePalette(IWICPalette** pp) override
    {
        if (!pp) return E_INVALIDARG;
        return handOut<IWICPalette>(Palette::make(), pp);
    }
    STDMETHODIMP CreateFormatConverter(IWICFormatConverter** pp) override
    {
        if (!pp) return E_INVALIDARG;
        return createFormatConverter(pp);
    }
    STDMETHODIMP CreateBitmapScaler(IWICBitmapScaler** pp) override
    {
        if (!pp) return E_INVALIDARG;
        return createBitmapScaler(pp);
    }
    STDMETHODIMP CreateBitmapClipper(IWICBitmapClipper** pp) override
    {
        if (!pp) return E_INVALIDARG;
        return createBitmapClipper(pp);
    }
    STDMETHODIMP CreateBitmapFlipRotator(IWICBitmapFlipRotator** pp) override
    {
        if (!pp) return E_INVALIDARG;
        return createBitmapFlipRotator(pp);
    }
    STDMETHODIMP CreateStream(IWICStream** pp) override
    {
        if (!pp) return E_INVALIDARG;
        return handOut<IWICStream>(WicStream::make(), pp);
    }
    STDMETHODIMP CreateColorContext(IWICColorContext** pp) override
    {
        return refuse(pp, E_NOTIMPL);
    }
    STDMETHODIMP CreateColorTransformer(IWICColorTransform** pp) override
    {
        return refuse(pp, E_NOTIMPL);
    }
    STDMETHODIMP CreateBitmap(UINT w, UINT h, REFWICPixelFormatGUID format,
                              WICBitmapCreateCacheOption, IWICBitmap** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        auto bitmap = Bitmap::make();
        if (!bitmap) return E_OUTOFMEMORY;
        RETURN_IF_FAILED(bitmap->init(w, h, format));
        return handOut<IWICBitmap>(bitmap, pp);
    }
    STDMETHODIMP CreateBitmapFromSource(IWICBitmapSource* source, WICBitmapCreateCacheOption,
                                        IWICBitmap** pp) override
    {
        if (!pp || !source) return E_INVALIDARG;
        *pp = nullptr;
        auto bitmap = Bitmap::make();
        if (!bitmap) return E_OUTOFMEMORY;
        RETURN_IF_FAILED(bitmap->initFromSource(source, nullptr));
        return handOut<IWICBitmap>(bitmap, pp);
    }
    STDMETHODIMP CreateBitmapFromSourceRect(IWICBitmapSource* source, UINT x, UINT y, UINT width,
                                            UINT height, IWICBitmap** pp) override
    {
        if (!pp || !source) return E_INVALIDARG;
        *pp = nullptr;
        if (x > INT32_MAX || y > INT32_MAX || width > INT32_MAX || height > INT32_MAX)
            return E_INVALIDARG;
        const WICRect rc{static_cast<INT>(x), static_cast<INT>(y), static_cast<INT>(width),
                         static_cast<INT>(height)};
        auto bitmap = Bitmap::make();
        if (!bitmap) return E_OUTOFMEMORY;
        RETURN_IF_FAILED(bitmap->initFromSource(source, &rc));
        return handOut<IWICBitmap>(bitmap, pp);
    }
    STDMETHODIMP CreateBitmapFromMemory(UINT w, UINT h, REFWICPixelFormatGUID format, UINT stride,
                                        UINT size, BYTE* buffer, IWICBitmap** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        auto bitmap = Bitmap::make();
        if (!bitmap) return E_OUTOFMEMORY;
        RETURN_IF_FAILED(bitmap->initFromMemory(w, h, format, stride, size, buffer));
        return handOut<IWICBitmap>(bitmap, pp);
    }
    STDMETHODIMP CreateBitmapFromHBITMAP(HBITMAP, HPALETTE, WICBitmapAlphaChannelOption,
                                         IWICBitmap** pp) override
    {
        return refuse(pp, E_NOTIMPL);
    }
    STDMETHODIMP CreateBitmapFromHICON(HICON, IWICBitmap** pp) override
    {
        return refuse(pp, E_NOTIMPL);
    }
    STDMETHODIMP CreateComponentEnumerator(DWORD, DWORD, IEnumUnknown** pp) override
    {
        return refuse(pp, E_NOTIMPL);
    }
    STDMETHODIMP CreateFastMetadataEncoderFromDecoder(IWICBitmapDecoder* pIDecoder,
                                                      IWICFastMetadataEncoder** pp) override
    {
        if (!pIDecoder || !pp) return refuse(pp, E_INVALIDARG);
        *pp = nullptr;
        ComPtr<IWICBitmapFrameDecode> frame;
        RETURN_IF_FAILED(pIDecoder->GetFrame(0, frame.GetAddressOf()));
        return CreateFastMetadataEncoderFromFrameDecode(frame.Get(), pp);
    }
    STDMETHODIMP CreateFastMetadataEncoderFromFrameDecode(IWICBitmapFrameDecode* pIFrameDecoder,
                                                          IWICFastMetadataEncoder** pp) override
    {
        if (!pIFrameDecoder || !pp) return refuse(pp, E_INVALIDARG);
        *pp = nullptr;
        // Only JPEG frames of this component can be rewritten in place.
        ComPtr<IMioMetadataSource> source;
        if (FAILED(pIFrameDecoder->QueryInterface(IID_IMioMetadataSource,
                                                  reinterpret_cast<void**>(source.GetAddressOf()))))
            return WINCODEC_ERR_UNSUPPORTEDOPERATION;
        ComPtr<IStream> stream;
        GUID container{};
        RETURN_IF_FAILED(source->GetMetadataStream(stream.GetAddressOf(), &container));
        if (container != GUID_ContainerFormatJpeg) return WINCODEC_ERR_UNSUPPORTEDOPERATION;
        return metadata::createJpegFastEncoder(stream.Get(), pp);
    }
    STDMETHODIMP CreateQueryWriter(REFGUID guidMetadataFormat, const GUID*,
                                   IWICMetadataQueryWriter** pp) override
    {
        return metadata::createXmpContainerWriter(guidMetadataFormat, pp);
    }
    STDMETHODIMP CreateQueryWriterFromReader(IWICMetadataQueryReader*, const GUID*,
                                             IWICMetadataQueryWriter** pp) override
    {
        return refuse(pp, WINCODEC_ERR_UNSUPPORTEDOPERATION);
    }
    // IWICComponentFactory
    STDMETHODIMP CreateMetadataReader(REFGUID, const GUID*, DWORD, IStream*,
                                      IWICMetadataReader** pp) override
    {
        return refuse(pp, WINCODEC_ERR_UNSUPPORTEDOPERATION);
    }
    STDMETHODIMP CreateMetadataReaderFromContainer(REFGUID, const GUID*, DWORD, IStream*,
                                                   IWICMetadataReader** pp) override
    {
        return refuse(pp, WINCODEC_ERR_UNSUPPORTEDOPERATION);
    }
    STDMETHODIMP CreateMetadataWriter(REFGUID, const GUID*, DWORD, IWICMetadataWriter** pp) override
    {
        return refuse(pp, WINCODEC_ERR_UNSUPPORTEDOPERATION);
    }
    STDMETHODIMP CreateMetadataWriterFromReader(IWICMetadataReader*, const GUID*,
                                                IWICMetadataWriter** pp) override
    {
        return refuse(pp, WINCODEC_ERR_UNSUPPORTEDOPERATION);
    }
    STDMETHODIMP CreateQueryReaderFromBlockReader(IWICMetadataBlockReader*,
                                                  IWICMetadataQueryReader** pp) override
    {
        return refuse(pp, WINCODEC_ERR_UNSUPPORTEDOPERATION);
    }
    STDMETHODIMP CreateQueryWriterFromBlockWriter(IWICMetadataBlockWriter*,
                                                  IWICMetadataQueryWriter** pp) override
    {
        return refuse(pp, WINCODEC_ERR_UNSUPPORTEDOPERATION);
    }
    STDMETHODIMP CreateEncoderPropertyBag(PROPBAG2*, UINT, IPropertyBag2** pp) override
    {
        return refuse(pp, E_NOTIMPL);
    }
};

class FactoryClass final : public ComObject<FactoryClass, IClassFactory> {
  public:
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter) return CLASS_E_NOAGGREGATION;
        return createImagingFactory(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

HRESULT getClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_WICImagingFactory && rclsid != CLSID_WICImagingFactory2)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto cls = FactoryClass::make();
    if (!cls) return E_OUTOFMEMORY;
    return cls->QueryInterface(riid, ppv);
}

} // namespace

HRESULT createImagingFactory(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto factory = ImagingFactory::make();
    if (!factory) return E_OUTOFMEMORY;
    return factory->QueryInterface(riid, ppv);
}

HRESULT createDecoderForStream(IStream* stream, WICDecodeOptions options, IWICBitmapDecoder** pp)
{
    std::array<uint8_t, kSniffBytes> head{};
    ULONG got = 0;
    RETURN_IF_FAILED(seekTo(stream, 0));
    const HRESULT hr = stream->Read(head.data(), static_cast<ULONG>(head.size()), &got);
    if (FAILED(hr)) return hr;
    const CodecEntry* codec = sniffCodec(std::span<const uint8_t>(head.data(), got));
    if (!codec) return WINCODEC_ERR_COMPONENTNOTFOUND;
    ComPtr<IWICBitmapDecoder> decoder;
    RETURN_IF_FAILED(codec->createDecoder(decoder.GetAddressOf()));
    RETURN_IF_FAILED(decoder->Initialize(stream, options));
    *pp = decoder.Detach();
    return S_OK;
}

} // namespace mio::imaging

HRESULT mioImagingRegister()
{
    RETURN_IF_FAILED(
        TavrelRegisterInprocClass(CLSID_WICImagingFactory, mio::imaging::getClassObject));
    return TavrelRegisterInprocClass(CLSID_WICImagingFactory2, mio::imaging::getClassObject);
}

HRESULT mioImagingCreateFactory(REFIID riid, void** ppv)
{
    return mio::imaging::createImagingFactory(riid, ppv);
}

HRESULT mioImagingUnregister()
{
    const HRESULT a = TavrelRevokeInprocClass(CLSID_WICImagingFactory);
    const HRESULT b = TavrelRevokeInprocClass(CLSID_WICImagingFactory2);
    return FAILED(a) ? a : b;
}
