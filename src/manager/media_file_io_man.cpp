// SPDX-License-Identifier: MIT
// CMediaFileIOMan: Initialize, the ParseFile family and the manager's lifetime.
#include "manager/media_file_io_man.h"

#include <contracts/common_library.h>
#include <contracts/still_image_library.h>
#include <contracts/video_library.h>
#include <tavrel/platform/combase.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/text.h>

#include <cstring>
#include <string_view>

#include "manager/normalize_path.h"
#include "mediaobject/library_lock.h"
#include "mediaobject/media_file_io.h"
#include "server/type_library.h"

namespace mio {

namespace {

constexpr uint32_t kFormatCodeEscapes = 0x80000020; // the format the three escapes configure
constexpr uint32_t kFormatCodeFlagEscape = 2;       // the format the dwFlags bit 1 escape targets
constexpr DWORD kInitNoVideo = 0x1;
constexpr DWORD kInitVideoEscape25 = 0x2;

// Lock order: the caller holds the image-library lock.
bool formatExtensionIs(const ImageFileData& data, const char* ext)
{
    HGLOBAL infoBlock = qfFileGetFormatInfo(data.formatId);
    if (!infoBlock) return false;
    tavrel::GlobalLockGuard lock(infoBlock);
    const auto* info = static_cast<const ImageFormatInfo*>(lock.data());
    if (!info) return false;
    const std::string_view have(info->extension, strnlen(info->extension, sizeof info->extension));
    const std::string_view want(ext);
    if (have.size() != want.size()) return false;
    for (size_t i = 0; i < have.size(); ++i)
        if ((have[i] | 0x20) != want[i]) return false;
    return true;
}

// A still-image record that the library describes but the engine must not serve: an animated
// GIF (the video library plays those) or a PNG of 16 bits per channel.
bool isRefusedStillRecord(HGLOBAL block)
{
    tavrel::GlobalLockGuard lock(block);
    const auto* data = static_cast<const ImageFileData*>(lock.data());
    if (!data) return true;
    if (data->frameCount > 1 && formatExtensionIs(*data, "gif")) return true;
    if (data->main.colorType == QF_COLOR_RGB48 && formatExtensionIs(*data, "png")) return true;
    return false;
}

bool checkVideoData(const VideoFileInfo& record)
{
    VideoCheckRecord check{};
    check.recordSize = kVideoCheckRecordSize;
    check.checkValue = record.checkValue;
    std::memcpy(check.ansiPath, record.ansiPath, sizeof check.ansiPath);
    return qVideoCheckData(&check, kVideoCheckFirstFrame, 0, 0) > 0;
}

// Drops what the libraries attached to a parse record that no object took over.
struct ParseRecord {
    VideoFileInfo info{};
    bool libraryOwnsAttachments = false;
    ~ParseRecord() { release(); }
    // Called while the lock the record was filled under is still held, where there is one.
    void release()
    {
        if (libraryOwnsAttachments || info.widePath) qVideoFreeFileInfo(&info);
        libraryOwnsAttachments = false;
    }
};

} // namespace

HRESULT CMediaFileIOMan::create(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ComPtr<CMediaFileIOMan> manager;
    manager.Attach(createNew());
    if (!manager) return E_OUTOFMEMORY;
    return manager->QueryInterface(riid, ppv);
}

bool CMediaFileIOMan::queryExtra(REFIID riid, void** ppv)
{
    if (riid == IID_IMediaFileIOMan) {
        *ppv = static_cast<IMediaFileIOMan*>(this);
        return true;
    }
    if (riid == IID_IDispatch) {
        *ppv = static_cast<IDispatch*>(this);
        return true;
    }
    return false;
}

CMediaFileIOMan::~CMediaFileIOMan()
{
    if (m_videoFormatCount > 0) qVideoExit();
}

// ---- IDispatch ----

STDMETHODIMP CMediaFileIOMan::GetTypeInfoCount(UINT* pctinfo)
{
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

STDMETHODIMP CMediaFileIOMan::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo)
{
    return dispatchGetTypeInfo(DualInterface::MediaFileIOMan, iTInfo, ppTInfo);
}

STDMETHODIMP CMediaFileIOMan::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                            DISPID* rgDispId)
{
    return dispatchGetIDsOfNames(DualInterface::MediaFileIOMan, riid, rgszNames, cNames, rgDispId);
}

STDMETHODIMP CMediaFileIOMan::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                     EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    return dispatchInvoke(static_cast<IMediaFileIOMan*>(this), dispIdMember, riid, wFlags,
                          pDispParams, pVarResult, pExcepInfo, puArgErr);
}

// ---- Initialize ----

STDMETHODIMP CMediaFileIOMan::Initialize(DWORD dwFlags)
{
    if (m_initialised) return S_OK;
    m_initialised = true;
    m_initFlags = dwFlags;
    if (!(dwFlags & kInitNoVideo)) {
        m_videoFormatCount = qVideoInit();
        if (m_videoFormatCount < 0) m_videoFormatCount = 0;
        if (m_videoFormatCount > 0) {
            const int32_t index = qVideoGetFormatIndex(kFormatCodeEscapes);
            if (index >= 0) {
                char project[] = ".kpj";
                qVideoEscape(index, 20, nullptr, 0, 0);
                qVideoEscape(index, 21, project, 0, 0);
                qVideoEscape(index, 22, nullptr, 0, 0);
            }
        }
        if (m_videoFormatCount > 0 && (dwFlags & kInitVideoEscape25)) {
            const int32_t index = qVideoGetFormatIndex(kFormatCodeFlagEscape);
            if (index >= 0) qVideoEscape(index, 25, nullptr, 0, 0);
        }
    }
    m_imageFormatCount = qfFileGetFileFmtNum();
    if (m_imageFormatCount < 0) m_imageFormatCount = 0;
    m_extensions.build(m_videoFormatCount, m_imageFormatCount);
    return CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IWICImagingFactory,
                            reinterpret_cast<void**>(m_imagingFactory.ReleaseAndGetAddressOf()));
}

// ---- ParseFile family ----

STDMETHODIMP CMediaFileIOMan::ParseFile(const WCHAR* szFileName, IMediaFileIO** ppMediaFileIO)
{
    return ParseFileEx(szFileName, ppMediaFileIO, 0);
}

STDMETHODIMP CMediaFileIOMan::ParseFile_BSTR(BSTR szFileName, IMediaFileIO** ppMediaFileIO)
{
    return ParseFileEx(szFileName, ppMediaFileIO, 0);
}

STDMETHODIMP CMediaFileIOMan::ParseFileEx_BSTR(BSTR szFileName, IMediaFileIO** ppMediaFileIO,
                                               int32_t nNoBuffering)
{
    return ParseFileEx(szFileName, ppMediaFileIO, nNoBuffering);
}

STDMETHODIMP CMediaFileIOMan::ParseFileEx(const WCHAR* szFileName, IMediaFileIO** ppMediaFileIO,
                                          int32_t nNoBuffering)
{
    if (!m_initialised) Initialize(0);
    c32ResetDLLErrInfo();
    if (!ppMediaFileIO) return E_INVALIDARG;
    *ppMediaFileIO = nullptr;
    if (!szFileName) return E_INVALIDARG;

    ParseRecord record;
    record.info.recordSize = kVideoFileInfoSize;
    record.info.parseMode = kVideoParseQuick;
    NormalizePath(szFileName, &record.info, nullptr);

    int32_t kind = 0;
    if (!ClassifyPath(szFileName, &kind, false)) return E_FAIL;

    bool tryVideo = m_videoFormatCount > 0 && kind == kKindVideo;
    if (!tryVideo && m_imageFormatCount > 0 && kind == kKindImage) {
        // The imaging component serves JPEG, PNG, BMP and single-frame GIF itself.
        ComPtr<IMediaFileIO> object;
        ComPtr<IMediaFile> media;
        if (SUCCEEDED(CoCreateInstance(CLSID_ImageFileIO, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IMediaFileIO,
                                       reinterpret_cast<void**>(object.GetAddressOf()))) &&
            SUCCEEDED(object.As(&media))) {
            BSTR path = SysAllocString(szFileName);
            const HRESULT opened =
                path ? media->OpenMedia(path, m_imagingFactory.Get(), VARIANT_TRUE,
                                        static_cast<VARIANT_BOOL>(nNoBuffering))
                     : E_OUTOFMEMORY;
            SysFreeString(path);
            GUID container{};
            if (SUCCEEDED(opened) && SUCCEEDED(media->GetFormat(&container))) {
                int32_t bits = 0;
                object->GetFrameBitCount(&bits);
                if (container == GUID_ContainerFormatJpeg || container == GUID_ContainerFormatPng ||
                    container == GUID_ContainerFormatBmp) {
                    *ppMediaFileIO = object.Detach();
                    return S_OK;
                }
                UINT frames = 0;
                if (container == GUID_ContainerFormatGif &&
                    SUCCEEDED(media->GetFrameCount(&frames))) {
                    if (frames == 1) {
                        *ppMediaFileIO = object.Detach();
                        return S_OK;
                    }
                    tryVideo = true; // animated: the video library plays it
                }
            }
        }
        if (!tryVideo) {
            auto hold = LibraryLockHold::enter(imageLibraryLock());
            HGLOBAL block = qfFileGetFileData(record.info.ansiPath, 0);
            if (block) {
                if (isRefusedStillRecord(block)) {
                    q32FileFreeFileData(block);
                    return E_FAIL;
                }
                IMediaFileIO* created = nullptr;
                if (const HRESULT hr = CMediaFileIO::create(&created); FAILED(hr)) {
                    q32FileFreeFileData(block);
                    return hr;
                }
                created->SetImageData(block);
                created->SetInitFlags(m_initFlags);
                static_cast<CMediaFileIO*>(created)->adoptLibraryLock(*hold.release());
                *ppMediaFileIO = created;
                return S_OK;
            }
        }
    }

    if (tryVideo) {
        auto hold = LibraryLockHold::enter(videoLibraryLock());
        if (qVideoGetFileInfo(&record.info) <= 0) return E_FAIL;
        record.libraryOwnsAttachments = true;
        if (record.info.formatKind == kVideoKindNeedsCheck && !checkVideoData(record.info)) {
            record.release();
            return E_FAIL;
        }
        IMediaFileIO* created = nullptr;
        if (const HRESULT hr = CMediaFileIO::create(&created); FAILED(hr)) {
            record.release();
            return hr;
        }
        if (SUCCEEDED(created->SetVideoData(&record.info))) {
            // The object's copy now owns what the library attached to the record.
            record.libraryOwnsAttachments = false;
            record.info.widePath = nullptr;
        } else {
            record.release(); // handed out without a record; its getters fail
        }
        created->SetInitFlags(m_initFlags);
        static_cast<CMediaFileIO*>(created)->adoptLibraryLock(*hold.release());
        *ppMediaFileIO = created;
        return S_OK;
    }

    // No library took the file; its last error stays for GetErrorString.
    char discarded[256];
    c32GetDLLErrorInfo(discarded, sizeof discarded, 0, 0, 0, 0);
    return E_FAIL;
}

STDMETHODIMP CMediaFileIOMan::DirectSetMetadata(const WCHAR* szFileName,
                                                IMediaFileIO** ppMediaFileIO)
{
    if (!ppMediaFileIO) return E_INVALIDARG;
    *ppMediaFileIO = nullptr;
    ParseRecord record;
    record.info.recordSize = kVideoFileInfoSize;
    NormalizePath(szFileName, &record.info, nullptr);
    IMediaFileIO* created = nullptr;
    if (const HRESULT hr = CMediaFileIO::create(&created); FAILED(hr)) return hr;
    if (SUCCEEDED(created->SetVideoData(&record.info))) record.info.widePath = nullptr;
    *ppMediaFileIO = created;
    return S_OK;
}

// The libraries' last error of this thread. A text that does not fit the caller's buffer is
// refused (E_INVALIDARG, buffer untouched) rather than reported as success with a cut text.
STDMETHODIMP CMediaFileIOMan::GetErrorString(WCHAR* pszError, int32_t nBufSize)
{
    char text[256] = {};
    const int code = c32GetDLLErrorInfo(text, static_cast<int>(sizeof text), 0, 0, 0, 0);
    if (code == kLibErrNone || code == kLibErrNothingToReport || text[0] == '\0') return E_FAIL;
    if (!pszError || nBufSize <= 0) return S_OK; // only asked whether there is a text
    const auto wide = tavrel::toWide(std::string_view(text, strnlen(text, sizeof text)));
    if (!wide) return E_FAIL;
    const size_t capacity = static_cast<size_t>(nBufSize) / sizeof(WCHAR);
    if (wide->size() + 1 > capacity) return E_INVALIDARG;
    std::memcpy(pszError, wide->data(), wide->size() * sizeof(WCHAR));
    pszError[wide->size()] = u'\0';
    return S_OK;
}

// Needs no Initialize: a fresh media object does the writing.
STDMETHODIMP CMediaFileIOMan::WriteImageFile(const WCHAR* szFileName, int32_t nFileFormat,
                                             PackedDib pDib, BOOL bSavePreview,
                                             int32_t nCompresionQuality)
{
    ComPtr<IMediaFileIO> object;
    if (const HRESULT hr = CMediaFileIO::create(object.GetAddressOf()); FAILED(hr)) return hr;
    // Over-long paths go as their short form. One that has none is passed whole, and the object
    // refuses it, rather than cut to 259 characters, which would name another file.
    WCHAR normalized[260] = {};
    const bool shortened = szFileName && NormalizePath(szFileName, nullptr, normalized);
    return object->WriteImageFile(shortened ? normalized : szFileName, nFileFormat, pDib,
                                  bSavePreview, nCompresionQuality);
}

} // namespace mio
