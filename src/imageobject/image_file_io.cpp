// SPDX-License-Identifier: MIT
// CImageFileIO: opening, closing, properties and the methods the image object does not offer.
#include "imageobject/image_file_io.h"

#include <tavrel/platform/system.h>

#include <cstring>
#include <string_view>

#include "imageobject/no_buffering_stream.h"
#include "imageobject/result_macros.h"
#include "server/type_library.h"

namespace mio {

namespace {

constexpr int32_t kStillImageFileType = 3;

struct FormatRow {
    const GUID* container;
    std::u16string_view name;
    std::u16string_view extension;
    int32_t id; // the engine's format identifier, as FileFormatIdTable numbers it
};

constexpr FormatRow kFormats[] = {
    {&GUID_ContainerFormatJpeg, u"JPEG file interchange format", u".jpg", 53},
    {&GUID_ContainerFormatPng, u"Portable Network Graphics", u".png", 60},
    {&GUID_ContainerFormatGif, u"Graphics Interchange Format", u".gif", 48},
    {&GUID_ContainerFormatBmp, u"Windows Bitmap", u".bmp", 41},
    {&GUID_ContainerFormatTiff, u"Tagged Image File Format", u".tif", 71},
    {&GUID_ContainerFormatIco, u"ICO file format", u".ico", 49},
};

const FormatRow* findFormat(REFGUID container)
{
    for (const FormatRow& row : kFormats)
        if (*row.container == container) return &row;
    return nullptr;
}

struct BitCountRow {
    const GUID* format;
    int32_t bits;
};

constexpr BitCountRow kBitCounts[] = {
    {&GUID_WICPixelFormat1bppIndexed, 1},     {&GUID_WICPixelFormatBlackWhite, 1},
    {&GUID_WICPixelFormat2bppIndexed, 2},     {&GUID_WICPixelFormat2bppGray, 2},
    {&GUID_WICPixelFormat4bppIndexed, 4},     {&GUID_WICPixelFormat4bppGray, 4},
    {&GUID_WICPixelFormat8bppIndexed, 8},     {&GUID_WICPixelFormat8bppGray, 8},
    {&GUID_WICPixelFormat16bppBGR555, 16},    {&GUID_WICPixelFormat16bppBGR565, 16},
    {&GUID_WICPixelFormat16bppGray, 16},      {&GUID_WICPixelFormat16bppGrayFixedPoint, 16},
    {&GUID_WICPixelFormat16bppGrayHalf, 16},  {&GUID_WICPixelFormat24bppBGR, 24},
    {&GUID_WICPixelFormat24bppRGB, 24},       {&GUID_WICPixelFormat24bpp3Channels, 24},
    {&GUID_WICPixelFormat32bppBGR, 32},       {&GUID_WICPixelFormat32bppBGRA, 32},
    {&GUID_WICPixelFormat32bppPBGRA, 32},     {&GUID_WICPixelFormat32bppGrayFloat, 32},
    {&GUID_WICPixelFormat32bppBGR101010, 32}, {&GUID_WICPixelFormat32bppCMYK, 32},
    {&GUID_WICPixelFormat32bppRGBE, 32},      {&GUID_WICPixelFormat32bppGrayFixedPoint, 32},
    {&GUID_WICPixelFormat32bpp4Channels, 32}, {&GUID_WICPixelFormat32bpp3ChannelsAlpha, 32},
};

} // namespace

WICBitmapInterpolationMode thumbnailInterpolation(const OSVERSIONINFOW& version)
{
    const bool beforeSixOne =
        version.dwMajorVersion < 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion == 0);
    return beforeSixOne ? WICBitmapInterpolationModeLinear : WICBitmapInterpolationModeFant;
}

HRESULT CImageFileIO::create(IMediaFileIO** ppObject)
{
    if (!ppObject) return E_POINTER;
    *ppObject = createNew();
    return *ppObject ? S_OK : E_OUTOFMEMORY;
}

bool CImageFileIO::queryExtra(REFIID riid, void** ppv)
{
    if (riid == IID_IDispatch) {
        *ppv = static_cast<IDispatch*>(static_cast<IMediaFileIO*>(this));
        return true;
    }
    if (riid == IID_CImageFileIOImpl) {
        *ppv = this;
        return true;
    }
    return false;
}

CImageFileIO::CImageFileIO()
{
    InitializeCriticalSection(&m_lock);
    m_osVersion.dwOSVersionInfoSize = sizeof m_osVersion;
    // The platform reports 10.0, which selects the Fant scaler; a failure leaves 0.0 (linear).
    if (!GetVersionExW(&m_osVersion)) {
        m_osVersion = {};
        m_osVersion.dwOSVersionInfoSize = sizeof m_osVersion;
    }
}

CImageFileIO::~CImageFileIO()
{
    {
        auto lock = hold();
        close();
    }
    DeleteCriticalSection(&m_lock);
}

void CImageFileIO::setOsVersion(DWORD dwMajor, DWORD dwMinor)
{
    auto lock = hold();
    m_osVersion.dwMajorVersion = dwMajor;
    m_osVersion.dwMinorVersion = dwMinor;
}

// ---- state ----

void CImageFileIO::close()
{
    // Encoder first: it refers to the frame. An unbuffered stream's last reference is the
    // decoder's, so that file closes with the decoder.
    m_queryWriter = nullptr;
    m_fastEncoder = nullptr;
    m_exifReader = nullptr;
    m_ifdReader = nullptr;
    m_iptcReader = nullptr;
    m_xmpReader = nullptr;
    m_frameQueryReader = nullptr;
    m_frame = nullptr;
    m_decoder = nullptr;
    m_factory = nullptr;
    m_containerFormat = GUID{};
    m_path.reset();
    m_readOnly = VARIANT_TRUE;
    m_noBuffering = VARIANT_FALSE;
    m_opened = false;
    m_metadataModified = false;
    m_bgra32 = false;
    m_file.reset();
    m_preview.reset();
}

HRESULT CImageFileIO::ensureFrame()
{
    auto lock = hold();
    RETURN_HR_IF(E_FAIL, !m_opened);
    if (m_frame) return S_OK;
    return m_decoder->GetFrame(0, m_frame.GetAddressOf());
}

HRESULT CImageFileIO::ensureQueryReader()
{
    auto lock = hold();
    RETURN_IF_FAILED(ensureFrame());
    if (m_frameQueryReader) return S_OK;
    return m_frame->GetMetadataQueryReader(m_frameQueryReader.GetAddressOf());
}

// ---- IMediaFile ----

STDMETHODIMP CImageFileIO::OpenMedia(BSTR pFilePath, IUnknown* pObject, VARIANT_BOOL readOnly,
                                     VARIANT_BOOL noBuffering)
{
    auto lock = hold();
    if (!pFilePath || !pObject) return E_INVALIDARG;
    close();
    const HRESULT hr = openSteps(pFilePath, pObject, readOnly, noBuffering);
    if (FAILED(hr)) close();
    return hr;
}

HRESULT CImageFileIO::openSteps(BSTR pFilePath, IUnknown* pObject, VARIANT_BOOL readOnly,
                                VARIANT_BOOL noBuffering)
{
    // Unbuffered opening is for reading only: the stream refuses every write, and read-write
    // opening makes an encoder that writes into the file.
    if (readOnly == VARIANT_FALSE && noBuffering == VARIANT_TRUE) return E_INVALIDARG;
    m_readOnly = readOnly;
    m_noBuffering = noBuffering;

    // SysAllocString stops at the first NUL, so a plain string passed as a BSTR is copied
    // correctly too.
    m_path.reset(SysAllocString(pFilePath));
    if (!m_path.get()) return E_OUTOFMEMORY;

    if (FAILED(pObject->QueryInterface(IID_IWICImagingFactory,
                                       reinterpret_cast<void**>(m_factory.GetAddressOf()))))
        return E_INVALIDARG;

    HRESULT hr = S_OK;
    if (noBuffering != VARIANT_FALSE) {
        ComPtr<IStream> stream;
        RETURN_IF_FAILED(CNoBufferingStream::OpenFile(m_path.get(), stream.GetAddressOf(), 0));
        // The decoder keeps its own reference to the stream, and with it the file.
        hr = m_factory->CreateDecoderFromStream(
            stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand, m_decoder.GetAddressOf());
        RETURN_IF_FAILED(hr);
    } else {
        const DWORD access =
            readOnly == VARIANT_TRUE ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
        m_file.reset(CreateFileW(m_path.get(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!m_file) return lastErrorResult();
        hr = m_factory->CreateDecoderFromFileHandle(reinterpret_cast<ULONG_PTR>(m_file.get()),
                                                    nullptr, WICDecodeMetadataCacheOnDemand,
                                                    m_decoder.GetAddressOf());
        RETURN_IF_FAILED(hr);
    }

    hr = m_decoder->GetContainerFormat(&m_containerFormat);
    RETURN_IF_FAILED(hr);

    if (readOnly == VARIANT_FALSE) {
        hr = m_decoder->GetFrame(0, m_frame.GetAddressOf());
        RETURN_IF_FAILED(hr);
        hr = m_factory->CreateFastMetadataEncoderFromFrameDecode(m_frame.Get(),
                                                                 m_fastEncoder.GetAddressOf());
        RETURN_IF_FAILED(hr);
    }
    m_opened = true;
    return hr;
}

STDMETHODIMP CImageFileIO::CloseMedia()
{
    auto lock = hold();
    close();
    return S_OK;
}

STDMETHODIMP CImageFileIO::GetFormat(GUID* pguidContainerFormat)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pguidContainerFormat);
    RETURN_HR_IF(E_FAIL, !m_opened);
    *pguidContainerFormat = m_containerFormat;
    return S_OK;
}

STDMETHODIMP CImageFileIO::GetFrameCount(UINT* pCount)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pCount);
    RETURN_HR_IF(E_FAIL, !m_opened);
    return m_decoder->GetFrameCount(pCount);
}

// ---- IDispatch ----

STDMETHODIMP CImageFileIO::GetTypeInfoCount(UINT* pctinfo)
{
    return dispatchGetTypeInfoCount(pctinfo);
}

STDMETHODIMP CImageFileIO::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo)
{
    return dispatchGetTypeInfo(DualInterface::MediaFileIO, iTInfo, ppTInfo);
}

STDMETHODIMP CImageFileIO::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                         DISPID* rgDispId)
{
    return dispatchGetIDsOfNames(DualInterface::MediaFileIO, riid, rgszNames, cNames, rgDispId);
}

STDMETHODIMP CImageFileIO::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                  DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                  EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    // Not under the object lock: the member it calls takes it.
    return dispatchInvoke(static_cast<IMediaFileIO*>(this), dispIdMember, riid, wFlags, pDispParams,
                          pVarResult, pExcepInfo, puArgErr);
}

// ---- properties ----

STDMETHODIMP CImageFileIO::GetFrameSize(int32_t* pnWidth, int32_t* pnHeight)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pnWidth || !pnHeight);
    RETURN_HR_IF(E_FAIL, !m_opened);
    RETURN_IF_FAILED(ensureFrame());
    UINT width = 0, height = 0;
    const HRESULT hr = m_frame->GetSize(&width, &height);
    if (SUCCEEDED(hr)) {
        *pnWidth = static_cast<int32_t>(width);
        *pnHeight = static_cast<int32_t>(height);
    }
    return hr;
}

STDMETHODIMP CImageFileIO::GetFrameBitCount(int32_t* pnBitCount)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pnBitCount);
    RETURN_HR_IF(E_FAIL, !m_opened);
    RETURN_IF_FAILED(ensureFrame());
    GUID format{};
    const HRESULT hr = m_frame->GetPixelFormat(&format);
    RETURN_IF_FAILED(hr);
    for (const BitCountRow& row : kBitCounts) {
        if (*row.format == format) {
            *pnBitCount = row.bits;
            return hr;
        }
    }
    return E_FAIL;
}

HRESULT CImageFileIO::readDensity(LPCWSTR query, int32_t* out)
{
    tavrel::PropVariant value;
    const HRESULT hr = m_frameQueryReader->GetMetadataByName(query, &value);
    RETURN_IF_FAILED(hr);
    RETURN_HR_IF(E_FAIL, value.vt != VT_UI2);
    *out = value.uiVal;
    return hr;
}

STDMETHODIMP CImageFileIO::GetResolution(int32_t* pnResolutionX, int32_t* pnResolutionY)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pnResolutionX || !pnResolutionY);
    RETURN_HR_IF(E_FAIL, !m_opened);
    // The JFIF densities as stored; the unit field is not consulted.
    RETURN_IF_FAILED(ensureQueryReader());
    RETURN_IF_FAILED(readDensity(u"/app0/{ushort=2}", pnResolutionX));
    return readDensity(u"/app0/{ushort=3}", pnResolutionY);
}

STDMETHODIMP CImageFileIO::GetFileSize(uint64_t* pllFileSize)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pllFileSize);
    // An object opened unbuffered has no handle of its own.
    RETURN_HR_IF(E_FAIL, !m_file);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(m_file.get(), &size)) return lastErrorResult();
    *pllFileSize = static_cast<uint64_t>(size.QuadPart);
    return S_OK;
}

STDMETHODIMP CImageFileIO::GetFileTime(FILETIME* pftCreateTime, FILETIME* pftModifyTime)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pftCreateTime || !pftModifyTime);
    RETURN_HR_IF(E_FAIL, !m_file);
    FILETIME created{}, written{};
    if (!::GetFileTime(m_file.get(), &created, nullptr, &written)) return lastErrorResult();
    *pftCreateTime = created;
    *pftModifyTime = written;
    return S_OK;
}

STDMETHODIMP CImageFileIO::GetFileType(int32_t* pnFileType)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pnFileType);
    *pnFileType = kStillImageFileType;
    return S_OK;
}

HRESULT CImageFileIO::formatText(bool wantName, WCHAR* out, int32_t nBufSize)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !out);
    RETURN_HR_IF(E_FAIL, !m_opened);
    const FormatRow* row = findFormat(m_containerFormat);
    RETURN_HR_IF(E_NOTIMPL, !row);
    const std::u16string_view text = wantName ? row->name : row->extension;
    const int64_t needed = 2 * (static_cast<int64_t>(text.size()) + 1);
    RETURN_HR_IF(E_INVALIDARG, nBufSize < needed);
    std::memcpy(out, text.data(), 2 * text.size());
    out[text.size()] = u'\0';
    return S_OK;
}

STDMETHODIMP CImageFileIO::GetFileFormatName(WCHAR* pszFormatName, int32_t nBufSize)
{
    return formatText(true, pszFormatName, nBufSize);
}

STDMETHODIMP CImageFileIO::GetFileFormatExtName(WCHAR* pszExtName, int32_t nBufSize)
{
    return formatText(false, pszExtName, nBufSize);
}

STDMETHODIMP CImageFileIO::GetFileFormatID(int32_t* pnFormat)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pnFormat);
    RETURN_HR_IF(E_FAIL, !m_opened);
    const FormatRow* row = findFormat(m_containerFormat);
    RETURN_HR_IF(E_NOTIMPL, !row);
    *pnFormat = row->id;
    return S_OK;
}

STDMETHODIMP CImageFileIO::ParseDetail()
{
    auto lock = hold();
    return S_OK; // everything is read on demand
}

STDMETHODIMP CImageFileIO::EnableBGRA32(VARIANT_BOOL enable)
{
    auto lock = hold();
    m_bgra32 = enable == VARIANT_TRUE;
    return S_OK;
}

// ---- methods an image object does not offer: E_FAIL, nothing looked at or written ----

#define MIO_NOT_OFFERED(signature)                                                                 \
    STDMETHODIMP CImageFileIO::signature                                                           \
    {                                                                                              \
        auto lock = hold();                                                                        \
        return E_FAIL;                                                                             \
    }

MIO_NOT_OFFERED(SetVideoData(VideoFileInfo*))
MIO_NOT_OFFERED(SetImageData(HGLOBAL))
MIO_NOT_OFFERED(GetFrameRate(double*))
MIO_NOT_OFFERED(GetTotalFrames(int32_t*))
MIO_NOT_OFFERED(GetDuration(double*))
MIO_NOT_OFFERED(GetBitRate(double*, double*, double*))
MIO_NOT_OFFERED(GetVideoCodecName(WCHAR*, int32_t))
MIO_NOT_OFFERED(GetAudioAttributes(int32_t*, int32_t*, int32_t*))
MIO_NOT_OFFERED(GetAudioCodecName(WCHAR*, int32_t))
MIO_NOT_OFFERED(GetArtist(WCHAR*, int32_t))
MIO_NOT_OFFERED(GetAlbum(WCHAR*, int32_t))
MIO_NOT_OFFERED(WriteImageFile(const WCHAR*, int32_t, PackedDib, BOOL, int32_t))
MIO_NOT_OFFERED(GetAspectRatio(int32_t*, int32_t*))
MIO_NOT_OFFERED(SetInitFlags(DWORD))
MIO_NOT_OFFERED(GetCodecInfo(DWORD*))
MIO_NOT_OFFERED(GetMaskThumbnail(PackedDib*, int32_t, int32_t))
MIO_NOT_OFFERED(SetAlphaBackground(PackedDib))
#undef MIO_NOT_OFFERED

// The metadata methods live in image_file_io_metadata.cpp.

} // namespace mio
