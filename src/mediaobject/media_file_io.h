// SPDX-License-Identifier: MIT
// CMediaFileIO: the media object over the still-image and video libraries' file records.
#pragma once

#include <contracts/video_library.h>
#include <tavrel/platform/com_object.h>
#include <tavrelmediaio/MediaFileIO.h>

#include <memory>
#include <vector>

#include "mediaobject/library_lock.h"
#include "mediaobject/media_thumbnails.h"
#include "mediaobject/media_metadata.h"
#include "metadata/camera_raw_source.h"

namespace mio {

/// Private identifier through which the manager reaches the object behind an IMediaFileIO
/// it created (QueryInterface hands out the CMediaFileIO pointer, with a reference).
TAVREL_DEFINE_GUID(IID_CMediaFileIOImpl, 0x5B0E4C21, 0x7A3D, 0x4E8F, 0x9C, 0x61, 0x2D, 0x84, 0x0B,
                   0x3F, 0x95, 0xA7);

/// One video, audio or still-image file known through a library record. Apartment-threaded:
/// one thread uses an object, and the library lock its record came with is entered on that
/// thread and left when the record is freed.
class CMediaFileIO final : public tavrel::ComObject<CMediaFileIO, IMediaFileIO> {
  public:
    /// A new object with one reference for the caller, or E_OUTOFMEMORY.
    static HRESULT create(IMediaFileIO** ppObject);

    bool queryExtra(REFIID riid, void** ppv);

    /// Makes the object the owner of one entry of `lock`, already made by the caller on this
    /// thread for the record it is about to hand over (or just handed over). The entry is
    /// left when the object frees that record.
    void adoptLibraryLock(LibraryLock& lock);
    bool holdsLibraryLock() const { return static_cast<bool>(m_libraryLock); }
    bool isCameraRaw() const { return m_isCameraRaw; }
    /// The camera-raw source when the file is camera raw; owned by the object.
    CCameraRawSource* cameraRawSource() const { return m_cameraRaw.get(); }
    DWORD initFlags() const { return m_initFlags; }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override;

    // IMediaFileIO
    STDMETHODIMP SetVideoData(VideoFileInfo* pVData) override;
    STDMETHODIMP SetImageData(HGLOBAL hFileData) override;
    STDMETHODIMP GetFrameSize(int32_t* pnWidth, int32_t* pnHeight) override;
    STDMETHODIMP GetFrameBitCount(int32_t* pnBitCount) override;
    STDMETHODIMP GetResolution(int32_t* pnResolutionX, int32_t* pnResolutionY) override;
    STDMETHODIMP GetFileSize(uint64_t* pllFileSize) override;
    STDMETHODIMP GetFrameRate(double* pdFrameRate) override;
    STDMETHODIMP GetTotalFrames(int32_t* pnTotalFrames) override;
    STDMETHODIMP GetDuration(double* pdDuration) override;
    STDMETHODIMP GetFileType(int32_t* pnFileType) override;
    STDMETHODIMP GetBitRate(double* pdBitRate, double* pdBitRateV, double* pdBitRateA) override;
    STDMETHODIMP GetFileFormatName(WCHAR* pszFormatName, int32_t nBufSize) override;
    STDMETHODIMP GetVideoCodecName(WCHAR* pszCodecName, int32_t nBufSize) override;
    STDMETHODIMP GetAudioAttributes(int32_t* pnSamplesPerSec, int32_t* pnBitsPerSample,
                                    int32_t* pnChannels) override;
    STDMETHODIMP GetAudioCodecName(WCHAR* pzCodecName, int32_t nBufSize) override;
    STDMETHODIMP GetPreviewThumbnail(PackedDib* ppDib, int32_t nWidthLimit, int32_t nHeightLimit,
                                     BOOL bForceGenerate, BOOL bExactSize) override;
    STDMETHODIMP GetFrameThumbnail(PackedDib* ppDib, int32_t nWidthLimit, int32_t nHeightLimit,
                                   int32_t nFrame, BOOL bRough, BOOL bExactSize) override;
    STDMETHODIMP GetFrameThumbnailByTime(PackedDib* ppDib, int32_t nWidthLimit,
                                         int32_t nHeightLimit, double dTime, BOOL bRough,
                                         BOOL bExactSize) override;
    STDMETHODIMP ParseDetail() override;
    STDMETHODIMP GetMetaTags(int32_t nMetaFormat, int32_t* pnTotalTags, int32_t* pnTagList,
                             int32_t nBufSize) override;
    STDMETHODIMP GetMetaData(int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData, int32_t nBufSize,
                             int32_t* pnDataSize) override;
    STDMETHODIMP SetMetaData(int32_t nMetaFormat, int32_t nMetaTag, const BYTE* pbData,
                             int32_t nDataSize) override;
    STDMETHODIMP RemoveAllMetaData(int32_t nMetaFormat) override;
    STDMETHODIMP UpdateMetaDataToFile() override;
    STDMETHODIMP GetMetaTagName(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszTagName,
                                int32_t nBufSize) override;
    STDMETHODIMP GetMetaDataStr(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszData,
                                int32_t nBufSize) override;
    STDMETHODIMP GetFileFormatExtName(WCHAR* pszExtName, int32_t nBufSize) override;
    STDMETHODIMP GetFileTime(FILETIME* pftCreateTime, FILETIME* pftModifyTime) override;
    STDMETHODIMP GetCaption(WCHAR* pszCaption, int32_t nBufSize) override;
    STDMETHODIMP GetFileFormatID(int32_t* pnFormat) override;
    STDMETHODIMP GetRating(WCHAR* pszRating, int32_t nBufSize) override;
    STDMETHODIMP SetRating(const WCHAR* pszRating, int32_t nDataSize) override;
    STDMETHODIMP GetSubjectTags(WCHAR* pszSubjectTags, int32_t nBufSize,
                                int32_t* pnDataSize) override;
    STDMETHODIMP SetSubjectTags(const WCHAR* pszSubjectTags, int32_t nDataSize) override;
    STDMETHODIMP GetMetaDataStr_BSTR(int32_t nMetaFormat, int32_t nMetaTag,
                                     BSTR* ppszData) override;
    STDMETHODIMP GetCaption_BSTR(BSTR* ppszCaption) override;
    STDMETHODIMP GetArtist(WCHAR* pszArtist, int32_t nBufSize) override;
    STDMETHODIMP GetArtist_BSTR(BSTR* ppszArtist) override;
    STDMETHODIMP GetAlbum(WCHAR* pszAlbum, int32_t nBufSize) override;
    STDMETHODIMP GetAlbum_BSTR(BSTR* ppszAlbum) override;
    STDMETHODIMP WriteImageFile(const WCHAR* szFileName, int32_t nFileFormat, PackedDib pDib,
                                BOOL bSavePreview, int32_t nCompresionQuality) override;
    STDMETHODIMP GetAspectRatio(int32_t* pnAspectRatioX, int32_t* pnAspectRatioY) override;
    STDMETHODIMP SetInitFlags(DWORD dwFlags) override;
    STDMETHODIMP SetCaption(const WCHAR* pszCaption, int32_t nDataSize) override;
    STDMETHODIMP GetCodecInfo(DWORD* pdwCodecInfo) override;
    STDMETHODIMP GetFrameThumbnailEx(PackedDib* ppDib, int32_t nWidthLimit, int32_t nHeightLimit,
                                     int32_t nFrame, BOOL bRough, BOOL bExactSize,
                                     BOOL* pbAbort) override;
    STDMETHODIMP GetMaskThumbnail(PackedDib* ppDib, int32_t nWidthLimit,
                                  int32_t nHeightLimit) override;
    STDMETHODIMP SetAlphaBackground(PackedDib pDib) override;
    STDMETHODIMP EnableBGRA32(VARIANT_BOOL enable) override;
    STDMETHODIMP HasPreviewThumbnail() override;

  private:
    friend class tavrel::ComObject<CMediaFileIO, IMediaFileIO>;
    CMediaFileIO() = default;
    ~CMediaFileIO() override;

    bool isVideo() const { return m_videoInfo != nullptr; }
    bool isImage() const { return !m_videoInfo && m_imageData; }
    void freeVideoRecord(bool askLibrary);
    void freeImageRecord();
    HRESULT formatText(bool wantName, WCHAR* out, int32_t nBufSize);
    HRESULT codecName(int32_t item, WCHAR* out, int32_t nBufSize);
    // Thumbnails (media_thumbnails.cpp).
    void resetThumbnailCache();
    HRESULT finishThumbnail(PackedDib source, bool libraryOwned, int32_t nWidthLimit,
                            int32_t nHeightLimit, bool frameThumb, int32_t nFrame, BOOL bExactSize,
                            PackedDib* ppDib);
    HRESULT readAttachedPicture(std::vector<BYTE>& value);
    HRESULT readEmbeddedJpegPreview(PackedDib* ppDib);
    bool rawPreviewCovers(int32_t nWidthLimit, int32_t nHeightLimit) const;
    HRESULT readVideoFrame(int32_t nWidthLimit, int32_t nHeightLimit, int32_t nFrame, BOOL bRough,
                           PackedDib* ppSource, bool* pLibraryOwned);
    HRESULT readImageFrame(int32_t nWidthLimit, int32_t nHeightLimit, BOOL* pbAbort,
                           PackedDib* ppSource);

    // Metadata (media_metadata.cpp holds the routing).
    MetaTarget metaTarget() const;
    MediaKind mediaKind() const;
    MediaMetadata* metadata();

    std::unique_ptr<VideoFileInfo> m_videoInfo;
    HGLOBAL m_imageData = nullptr;
    PackedDib m_alphaBackground = nullptr;
    HVIDEOREADER m_frameReader = nullptr;
    ThumbnailState m_thumbs;
    std::unique_ptr<CCameraRawSource> m_cameraRaw;
    bool m_isCameraRaw = false;
    DWORD m_initFlags = 0;
    std::unique_ptr<MediaMetadata> m_meta; // metadata source slots, made on first use
    LibraryLockHold m_libraryLock;
};

} // namespace mio
