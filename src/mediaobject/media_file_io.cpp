// SPDX-License-Identifier: MIT
// CMediaFileIO: record hand-over, ParseDetail and the property getters.
#include "mediaobject/media_file_io.h"
#include "server/type_library.h"

#include <dib/image_file_io.h>

#include <contracts/file_format_id_table.h>
#include <contracts/still_image_library.h>
#include <tavrel/platform/files.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/text.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace mio {

namespace {

// Codec names arrive from the library in a zeroed buffer of this size.
constexpr int32_t kCodecNameBytes = 128;

// Format number of "jpg", the one format whose writer takes a quality.
constexpr int32_t kJpegFileFormat = 53;

struct ImageRecordFree {
    void operator()(HGLOBAL record) const { q32FileFreeFileData(record); }
};

std::string_view boundedText(const char* text, size_t capacity)
{
    return {text, strnlen(text, capacity)};
}

// ANSI text (active code page) into the caller's UTF-16 buffer of nBufSize bytes, terminator
// included. A text that does not fit is refused with E_INVALIDARG, so the caller never reads
// a buffer left half-written.
HRESULT copyAnsiOut(std::string_view ansi, WCHAR* out, int32_t nBufSize)
{
    if (!out || nBufSize < static_cast<int32_t>(sizeof(WCHAR))) return E_INVALIDARG;
    const int capacity = nBufSize / static_cast<int32_t>(sizeof(WCHAR));
    if (ansi.empty()) {
        out[0] = u'\0';
        return S_OK;
    }
    const int cch =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    if (cch <= 0) return E_FAIL;
    if (cch >= capacity) return E_INVALIDARG;
    if (MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), out, cch) != cch)
        return E_FAIL;
    out[cch] = u'\0';
    return S_OK;
}

} // namespace

HRESULT CMediaFileIO::create(IMediaFileIO** ppObject)
{
    if (!ppObject) return E_POINTER;
    *ppObject = createNew();
    return *ppObject ? S_OK : E_OUTOFMEMORY;
}

bool CMediaFileIO::queryExtra(REFIID riid, void** ppv)
{
    if (riid == IID_IDispatch) {
        *ppv = static_cast<IDispatch*>(static_cast<IMediaFileIO*>(this));
        return true;
    }
    if (riid == IID_CMediaFileIOImpl) {
        *ppv = this;
        return true;
    }
    return false;
}

void CMediaFileIO::adoptLibraryLock(LibraryLock& lock)
{
    m_libraryLock = LibraryLockHold::adopt(lock);
}

CMediaFileIO::~CMediaFileIO()
{
    // Metadata sources first: they may still refer to the records.
    m_meta.reset();
    m_cameraRaw.reset();
    if (m_videoInfo) freeVideoRecord(true);
    if (m_imageData) freeImageRecord();
}

void CMediaFileIO::freeVideoRecord(bool askLibrary)
{
    if (m_frameReader) {
        qVideoReadVideoEnd(m_frameReader);
        m_frameReader = nullptr;
    }
    // Also after a failed re-read: the record may still point at its wide path block, which
    // only the library's free call releases.
    if (askLibrary || m_videoInfo->widePath) qVideoFreeFileInfo(m_videoInfo.get());
    m_libraryLock.reset();
    m_videoInfo.reset();
}

void CMediaFileIO::freeImageRecord()
{
    q32FileFreeFileData(std::exchange(m_imageData, nullptr));
    m_libraryLock.reset();
}

// ---- IDispatch ----

STDMETHODIMP CMediaFileIO::GetTypeInfoCount(UINT* pctinfo)
{
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo)
{
    return dispatchGetTypeInfo(DualInterface::MediaFileIO, iTInfo, ppTInfo);
}

STDMETHODIMP CMediaFileIO::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                         DISPID* rgDispId)
{
    return dispatchGetIDsOfNames(DualInterface::MediaFileIO, riid, rgszNames, cNames, rgDispId);
}

STDMETHODIMP CMediaFileIO::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                  DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                  EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    return dispatchInvoke(static_cast<IMediaFileIO*>(this), dispIdMember, riid, wFlags, pDispParams,
                          pVarResult, pExcepInfo, puArgErr);
}

// ---- record hand-over ----

STDMETHODIMP CMediaFileIO::SetVideoData(VideoFileInfo* pVData)
{
    if (!pVData) return E_INVALIDARG;
    if (m_videoInfo || m_imageData) return E_FAIL; // one record per object
    auto copy = std::unique_ptr<VideoFileInfo>(new (std::nothrow) VideoFileInfo);
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy.get(), pVData, sizeof(VideoFileInfo));
    m_videoInfo = std::move(copy);
    return S_OK;
}

STDMETHODIMP CMediaFileIO::SetImageData(HGLOBAL hFileData)
{
    if (!hFileData) return E_INVALIDARG;
    if (m_videoInfo || m_imageData) return E_FAIL;
    m_imageData = hFileData;
    tavrel::GlobalLockGuard lock(hFileData);
    auto* data = static_cast<ImageFileData*>(lock.data());
    if (!data) return S_OK;
    char path[sizeof data->path];
    std::memcpy(path, data->path, sizeof path);
    path[sizeof path - 1] = '\0';
    if (!q32FileIsDSCRawDataFile(path)) return S_OK;
    auto source = std::unique_ptr<CCameraRawSource>(new (std::nothrow) CCameraRawSource(hFileData));
    if (!source) return E_OUTOFMEMORY;
    if (source->identified()) {
        m_cameraRaw = std::move(source);
        m_isCameraRaw = true;
        data->cameraRaw = 1;
    }
    return S_OK;
}

STDMETHODIMP CMediaFileIO::SetInitFlags(DWORD dwFlags)
{
    m_initFlags = dwFlags;
    return S_OK;
}

// ---- ParseDetail ----

STDMETHODIMP CMediaFileIO::ParseDetail()
{
    if (!m_videoInfo || !(m_videoInfo->flags & kVideoFlagDetailsLeftOut)) return S_OK;
    // The re-read runs under the library lock this object already holds.
    const VideoFileInfo kept = *m_videoInfo;
    VideoFileInfo& record = *m_videoInfo;
    record.widePath = nullptr; // the block stays ours across the free
    qVideoFreeFileInfo(&record);
    std::memset(&record, 0, sizeof record);
    record.recordSize = kVideoFileInfoSize;
    std::memcpy(record.ansiPath, kept.ansiPath, sizeof record.ansiPath);
    record.widePath = kept.widePath;
    if (record.widePath) record.flags |= kVideoFlagWidePath;
    record.parseMode = kVideoParseFull;
    if (qVideoGetFileInfo(&record) >= 1) return S_OK;
    freeVideoRecord(false);
    return E_FAIL;
}

// ---- property getters ----

STDMETHODIMP CMediaFileIO::GetFrameSize(int32_t* pnWidth, int32_t* pnHeight)
{
    if (m_videoInfo) {
        if (pnWidth) *pnWidth = m_videoInfo->width;
        if (pnHeight) *pnHeight = m_videoInfo->height;
        return S_OK;
    }
    if (!m_imageData) return E_FAIL;
    tavrel::GlobalLockGuard lock(m_imageData);
    const auto* data = static_cast<const ImageFileData*>(lock.data());
    if (!data) return E_FAIL;
    if (pnWidth) *pnWidth = data->main.width;
    if (pnHeight) *pnHeight = data->main.height;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetFrameBitCount(int32_t* pnBitCount)
{
    if (!pnBitCount) return E_INVALIDARG;
    if (m_videoInfo) {
        *pnBitCount = m_videoInfo->bitCount;
        return S_OK;
    }
    if (!m_imageData) return E_FAIL;
    tavrel::GlobalLockGuard lock(m_imageData);
    const auto* data = static_cast<const ImageFileData*>(lock.data());
    if (!data) return E_FAIL;
    *pnBitCount = data->main.bitCount;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetResolution(int32_t* pnResolutionX, int32_t* pnResolutionY)
{
    if (!isImage()) return E_FAIL;
    tavrel::GlobalLockGuard lock(m_imageData);
    const auto* data = static_cast<const ImageFileData*>(lock.data());
    if (!data) return E_FAIL;
    if (pnResolutionX) *pnResolutionX = data->main.xResolution;
    if (pnResolutionY) *pnResolutionY = data->main.yResolution;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetFileSize(uint64_t* pllFileSize)
{
    if (!pllFileSize) return E_INVALIDARG;
    if (m_videoInfo) {
        int64_t size = m_videoInfo->fileSize;
        int64_t size64 = 0;
        if (qVideoGetMiscData(m_videoInfo.get(), kVideoMiscFileSize64, &size64, sizeof size64) > 0)
            size = size64;
        *pllFileSize = static_cast<uint64_t>(size);
        return S_OK;
    }
    if (!m_imageData) return E_FAIL;
    tavrel::GlobalLockGuard lock(m_imageData);
    const auto* data = static_cast<const ImageFileData*>(lock.data());
    if (!data) return E_FAIL;
    *pllFileSize = static_cast<uint64_t>(static_cast<int64_t>(data->fileSize));
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetFrameRate(double* pdFrameRate)
{
    if (!pdFrameRate) return E_INVALIDARG;
    if (!m_videoInfo) return E_FAIL;
    *pdFrameRate = m_videoInfo->frameRate / 1000.0;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetTotalFrames(int32_t* pnTotalFrames)
{
    if (!pnTotalFrames) return E_INVALIDARG;
    if (m_videoInfo) {
        *pnTotalFrames = m_videoInfo->totalFrames;
        return S_OK;
    }
    if (!m_imageData) return E_FAIL;
    *pnTotalFrames = 1;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetDuration(double* pdDuration)
{
    if (!pdDuration) return E_INVALIDARG;
    if (!m_videoInfo) return E_FAIL;
    const VideoFileInfo& v = *m_videoInfo;
    // A zero rate has no duration: fail instead of handing out an infinity or NaN.
    if (v.hasVideo) {
        if (v.frameRate == 0) return E_FAIL;
        *pdDuration = static_cast<uint32_t>(v.totalFrames) / (v.frameRate / 1000.0);
    } else {
        if (v.audioSampleRate == 0) return E_FAIL;
        *pdDuration = static_cast<double>(v.audioSamples) / v.audioSampleRate;
    }
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetFileType(int32_t* pnFileType)
{
    if (!pnFileType) return E_INVALIDARG;
    if (m_videoInfo) {
        *pnFileType = m_videoInfo->hasVideo ? 1 : 2;
        return S_OK;
    }
    if (!m_imageData) return E_FAIL;
    *pnFileType = 3;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetBitRate(double* pdBitRate, double* pdBitRateV, double* pdBitRateA)
{
    if (!m_videoInfo) return E_FAIL;
    uint32_t video = 0;
    uint32_t audio = 0;
    if (m_videoInfo->hasVideo)
        qVideoGetMiscData(m_videoInfo.get(), kVideoMiscVideoBytesPerSec, &video, sizeof video);
    if (m_videoInfo->hasAudio)
        qVideoGetMiscData(m_videoInfo.get(), kVideoMiscAudioBytesPerSec, &audio, sizeof audio);
    const double total = static_cast<double>(video) + audio;
    if (total == 0) return E_FAIL;
    if (pdBitRate) *pdBitRate = total * 8;
    if (pdBitRateV) *pdBitRateV = video * 8.0;
    if (pdBitRateA) *pdBitRateA = audio * 8.0;
    return S_OK;
}

HRESULT CMediaFileIO::formatText(bool wantName, WCHAR* out, int32_t nBufSize)
{
    if (!out) return E_INVALIDARG;
    if (m_videoInfo) {
        VideoFormatInfo info{};
        if (qVideoGetFormatInfo(m_videoInfo->formatIndex, &info) <= 0) return E_FAIL;
        return wantName
                   ? copyAnsiOut(boundedText(info.name, sizeof info.name), out, nBufSize)
                   : copyAnsiOut(boundedText(info.extension, sizeof info.extension), out, nBufSize);
    }
    if (!m_imageData) return E_FAIL;
    int32_t formatId = 0;
    {
        tavrel::GlobalLockGuard lock(m_imageData);
        const auto* data = static_cast<const ImageFileData*>(lock.data());
        if (!data) return E_FAIL;
        formatId = data->formatId;
    }
    HGLOBAL infoBlock = qfFileGetFormatInfo(formatId);
    if (!infoBlock) return E_FAIL;
    tavrel::GlobalLockGuard infoLock(infoBlock);
    const auto* info = static_cast<const ImageFormatInfo*>(infoLock.data());
    if (!info) return E_FAIL;
    return wantName
               ? copyAnsiOut(boundedText(info->name, sizeof info->name), out, nBufSize)
               : copyAnsiOut(boundedText(info->extension, sizeof info->extension), out, nBufSize);
}

STDMETHODIMP CMediaFileIO::GetFileFormatName(WCHAR* pszFormatName, int32_t nBufSize)
{
    return formatText(true, pszFormatName, nBufSize);
}

STDMETHODIMP CMediaFileIO::GetFileFormatExtName(WCHAR* pszExtName, int32_t nBufSize)
{
    return formatText(false, pszExtName, nBufSize);
}

STDMETHODIMP CMediaFileIO::GetFileFormatID(int32_t* pnFormat)
{
    if (!pnFormat) return E_INVALIDARG;
    if (m_videoInfo) {
        VideoFormatInfo info{};
        qVideoGetFormatInfo(m_videoInfo->formatIndex, &info);
        const auto number = FileFormatIdTable::numberOfVideoCode(info.formatCode);
        if (!number) return E_FAIL;
        *pnFormat = *number;
        return S_OK;
    }
    if (!m_imageData) return E_FAIL;
    int32_t formatId = 0;
    {
        tavrel::GlobalLockGuard lock(m_imageData);
        const auto* data = static_cast<const ImageFileData*>(lock.data());
        if (!data) return E_FAIL;
        formatId = data->formatId;
    }
    HGLOBAL infoBlock = qfFileGetFormatInfo(formatId);
    if (!infoBlock) return E_FAIL;
    tavrel::GlobalLockGuard infoLock(infoBlock);
    const auto* info = static_cast<const ImageFormatInfo*>(infoLock.data());
    if (!info) return E_FAIL;
    const auto number =
        FileFormatIdTable::numberOfExtension(boundedText(info->extension, sizeof info->extension));
    if (!number) return E_FAIL;
    *pnFormat = *number;
    return S_OK;
}

HRESULT CMediaFileIO::codecName(int32_t item, WCHAR* out, int32_t nBufSize)
{
    std::array<char, kCodecNameBytes> name{};
    qVideoGetMiscData(m_videoInfo.get(), item, name.data(), kCodecNameBytes);
    name.back() = '\0';
    return copyAnsiOut(boundedText(name.data(), name.size()), out, nBufSize);
}

STDMETHODIMP CMediaFileIO::GetVideoCodecName(WCHAR* pszCodecName, int32_t nBufSize)
{
    if (!m_videoInfo || !m_videoInfo->hasVideo) return E_FAIL;
    return codecName(kVideoMiscVideoCodecName, pszCodecName, nBufSize);
}

STDMETHODIMP CMediaFileIO::GetAudioCodecName(WCHAR* pzCodecName, int32_t nBufSize)
{
    if (!m_videoInfo || !m_videoInfo->hasAudio) return E_FAIL;
    return codecName(kVideoMiscAudioCodecName, pzCodecName, nBufSize);
}

STDMETHODIMP CMediaFileIO::GetAudioAttributes(int32_t* pnSamplesPerSec, int32_t* pnBitsPerSample,
                                              int32_t* pnChannels)
{
    if (!m_videoInfo || !m_videoInfo->hasAudio) return E_FAIL;
    if (pnSamplesPerSec) *pnSamplesPerSec = static_cast<int32_t>(m_videoInfo->audioSampleRate);
    if (pnBitsPerSample) *pnBitsPerSample = m_videoInfo->audioBits;
    if (pnChannels) *pnChannels = m_videoInfo->audioChannels;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetCodecInfo(DWORD* pdwCodecInfo)
{
    if (!pdwCodecInfo) return E_INVALIDARG;
    *pdwCodecInfo = 0;
    if (!m_videoInfo) return E_FAIL;
    uint32_t fourcc = 0;
    qVideoGetMiscData(m_videoInfo.get(), kVideoMiscVideoFourCC, &fourcc, sizeof fourcc);
    *pdwCodecInfo = fourcc;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetAspectRatio(int32_t* pnAspectRatioX, int32_t* pnAspectRatioY)
{
    if (!m_videoInfo || !m_videoInfo->hasVideo) return E_FAIL;
    int32_t x = 1;
    int32_t y = 1;
    if (m_videoInfo->flags & kVideoFlagAspect4x3) {
        x = 4;
        y = 3;
    } else if (m_videoInfo->flags & kVideoFlagAspect16x9) {
        x = 16;
        y = 9;
    }
    if (pnAspectRatioX) *pnAspectRatioX = x;
    if (pnAspectRatioY) *pnAspectRatioY = y;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::GetFileTime(FILETIME* pftCreateTime, FILETIME* pftModifyTime)
{
    std::array<char, 261> ansi{};
    if (m_videoInfo) {
        std::memcpy(ansi.data(), m_videoInfo->ansiPath, sizeof m_videoInfo->ansiPath);
    } else if (m_imageData) {
        tavrel::GlobalLockGuard lock(m_imageData);
        const auto* data = static_cast<const ImageFileData*>(lock.data());
        if (!data) return E_FAIL;
        std::memcpy(ansi.data(), data->path, sizeof data->path);
    } else {
        return E_FAIL;
    }
    std::array<WCHAR, 261> path{};
    const auto len = static_cast<int>(strnlen(ansi.data(), 260));
    if (len > 0 && MultiByteToWideChar(CP_ACP, 0, ansi.data(), len, path.data(), 260) <= 0)
        return HRESULT_FROM_WIN32(GetLastError());
    tavrel::UniqueHandle file(CreateFileW(path.data(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return HRESULT_FROM_WIN32(GetLastError());
    FILETIME created{};
    FILETIME written{};
    if (!::GetFileTime(file.get(), &created, nullptr, &written))
        return HRESULT_FROM_WIN32(GetLastError());
    if (pftCreateTime) *pftCreateTime = created;
    if (pftModifyTime) *pftModifyTime = written;
    return S_OK;
}

STDMETHODIMP CMediaFileIO::EnableBGRA32(VARIANT_BOOL)
{
    return E_FAIL;
}

STDMETHODIMP CMediaFileIO::HasPreviewThumbnail()
{
    return m_cameraRaw ? m_cameraRaw->HasEmbeddedPreview() : S_FALSE;
}

// ---- metadata and text properties: routed to the sources by media_metadata.cpp ----

MetaTarget CMediaFileIO::metaTarget() const
{
    MetaTarget target;
    target.video = m_videoInfo.get();
    target.image = m_videoInfo ? nullptr : m_imageData;
    target.cameraRaw = m_isCameraRaw ? m_cameraRaw.get() : nullptr;
    return target;
}

MediaKind CMediaFileIO::mediaKind() const
{
    return isVideo() ? MediaKind::Video : isImage() ? MediaKind::Image : MediaKind::None;
}

MediaMetadata* CMediaFileIO::metadata()
{
    if (!m_meta) m_meta.reset(new (std::nothrow) MediaMetadata);
    return m_meta.get();
}

STDMETHODIMP CMediaFileIO::GetMetaTags(int32_t nMetaFormat, int32_t* pnTotalTags,
                                       int32_t* pnTagList, int32_t nBufSize)
{
    if (pnTotalTags) *pnTotalTags = 0;
    MediaMetadata* meta = metadata();
    if (!meta) return E_OUTOFMEMORY;
    return meta->GetMetaTags(metaTarget(), nMetaFormat, pnTotalTags, pnTagList, nBufSize);
}
STDMETHODIMP CMediaFileIO::GetMetaData(int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData,
                                       int32_t nBufSize, int32_t* pnDataSize)
{
    MediaMetadata* meta = metadata();
    if (!meta) return E_OUTOFMEMORY;
    return meta->GetMetaData(metaTarget(), nMetaFormat, nMetaTag, pbData, nBufSize, pnDataSize);
}
STDMETHODIMP CMediaFileIO::SetMetaData(int32_t nMetaFormat, int32_t nMetaTag, const BYTE* pbData,
                                       int32_t nDataSize)
{
    MediaMetadata* meta = metadata();
    if (!meta) return E_OUTOFMEMORY;
    return meta->SetMetaData(metaTarget(), nMetaFormat, nMetaTag, pbData, nDataSize);
}
STDMETHODIMP CMediaFileIO::RemoveAllMetaData(int32_t nMetaFormat)
{
    MediaMetadata* meta = metadata();
    if (!meta) return E_OUTOFMEMORY;
    return meta->RemoveAllMetaData(metaTarget(), nMetaFormat);
}
STDMETHODIMP CMediaFileIO::UpdateMetaDataToFile()
{
    return m_meta ? m_meta->UpdateMetaDataToFile(metaTarget()) : S_OK;
}
STDMETHODIMP CMediaFileIO::GetMetaTagName(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszTagName,
                                          int32_t nBufSize)
{
    MediaMetadata* meta = metadata();
    if (!meta) return E_OUTOFMEMORY;
    return meta->GetMetaTagName(metaTarget(), nMetaFormat, nMetaTag, pszTagName, nBufSize);
}
STDMETHODIMP CMediaFileIO::GetMetaDataStr(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszData,
                                          int32_t nBufSize)
{
    MediaMetadata* meta = metadata();
    if (!meta) return E_OUTOFMEMORY;
    return meta->GetMetaDataStr(metaTarget(), nMetaFormat, nMetaTag, pszData, nBufSize);
}
STDMETHODIMP CMediaFileIO::GetMetaDataStr_BSTR(int32_t nMetaFormat, int32_t nMetaTag,
                                               BSTR* ppszData)
{
    return mediaTextAsBstr(ppszData, [&](WCHAR* buffer, int32_t size) {
        return GetMetaDataStr(nMetaFormat, nMetaTag, buffer, size);
    });
}
STDMETHODIMP CMediaFileIO::GetCaption(WCHAR* pszCaption, int32_t nBufSize)
{
    return mediaGetCaption(*this, mediaKind(), pszCaption, nBufSize);
}
STDMETHODIMP CMediaFileIO::GetCaption_BSTR(BSTR* ppszCaption)
{
    return mediaTextAsBstr(ppszCaption,
                           [&](WCHAR* buffer, int32_t size) { return GetCaption(buffer, size); });
}
STDMETHODIMP CMediaFileIO::SetCaption(const WCHAR* pszCaption, int32_t nDataSize)
{
    return mediaSetCaption(*this, mediaKind(), pszCaption, nDataSize);
}
STDMETHODIMP CMediaFileIO::GetRating(WCHAR* pszRating, int32_t nBufSize)
{
    return mediaGetRating(*this, mediaKind(), pszRating, nBufSize);
}
STDMETHODIMP CMediaFileIO::SetRating(const WCHAR* pszRating, int32_t nDataSize)
{
    return mediaSetRating(*this, mediaKind(), pszRating, nDataSize);
}
STDMETHODIMP CMediaFileIO::GetSubjectTags(WCHAR* pszSubjectTags, int32_t nBufSize,
                                          int32_t* pnDataSize)
{
    return mediaGetSubjectTags(*this, mediaKind(), pszSubjectTags, nBufSize, pnDataSize);
}
STDMETHODIMP CMediaFileIO::SetSubjectTags(const WCHAR* pszSubjectTags, int32_t nDataSize)
{
    return mediaSetSubjectTags(*this, mediaKind(), pszSubjectTags, nDataSize);
}
STDMETHODIMP CMediaFileIO::GetArtist(WCHAR* pszArtist, int32_t nBufSize)
{
    return mediaGetArtist(*this, mediaKind(), pszArtist, nBufSize);
}
STDMETHODIMP CMediaFileIO::GetArtist_BSTR(BSTR* ppszArtist)
{
    return mediaTextAsBstr(ppszArtist,
                           [&](WCHAR* buffer, int32_t size) { return GetArtist(buffer, size); });
}
STDMETHODIMP CMediaFileIO::GetAlbum(WCHAR* pszAlbum, int32_t nBufSize)
{
    return mediaGetAlbum(*this, mediaKind(), pszAlbum, nBufSize);
}
STDMETHODIMP CMediaFileIO::GetAlbum_BSTR(BSTR* ppszAlbum)
{
    return mediaTextAsBstr(ppszAlbum,
                           [&](WCHAR* buffer, int32_t size) { return GetAlbum(buffer, size); });
}
// Independent of the object's records; the JPEG quality is the library's shared setting, set
// for this one write and put back afterwards whatever the write's outcome.
STDMETHODIMP CMediaFileIO::WriteImageFile(const WCHAR* szFileName, int32_t nFileFormat,
                                          PackedDib pDib, BOOL bSavePreview,
                                          int32_t nCompresionQuality)
{
    if (!FileFormatIdTable::isStillNumber(nFileFormat)) return E_INVALIDARG;
    if (!szFileName || !pDib) return E_INVALIDARG;
    // A path the code page cannot hold, or one too long for the record, would name another file.
    const auto ansiPath = tavrel::toMultiByte(std::u16string_view(szFileName));
    if (!ansiPath || ansiPath->empty() || ansiPath->size() >= sizeof(ImageFileData::path))
        return E_FAIL;
    const std::string extension(FileFormatIdTable::extensionOf(nFileFormat));
    const int32_t formatId = qfFileGetFormatID(extension.c_str());
    if (formatId <= 0) return E_FAIL;
    const std::unique_ptr<void, ImageRecordFree> record(
        NewImageWriteRecord(ansiPath->c_str(), formatId, pDib));
    if (!record) return E_FAIL;
    std::optional<JpegQualityScope> quality;
    if (nFileFormat == kJpegFileFormat) quality.emplace(nCompresionQuality);
    const int result = DibWriteImageFile(record.get(), pDib, bSavePreview != 0);
    quality.reset();
    return result > 0 ? S_OK : E_FAIL;
}

} // namespace mio
