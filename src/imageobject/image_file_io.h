// SPDX-License-Identifier: MIT
// CImageFileIO: the image object for JPEG, PNG, BMP and single-frame GIF over the imaging
// component.
#pragma once

#include <contracts/wincodec.h>
#include <tavrel/platform/com_object.h>
#include <tavrel/platform/files.h>
#include <tavrel/platform/sync.h>
#include <tavrelmediaio/MediaFileIO.h>

#include "dib/packed_dib.h"

namespace mio {

/// Private identifier through which engine code reaches the object behind an interface it
/// created (QueryInterface hands out the CImageFileIO pointer, with a reference).
TAVREL_DEFINE_GUID(IID_CImageFileIOImpl, 0x7C41D3B2, 0x95E0, 0x4A6F, 0x8B, 0x17, 0x3E, 0x52, 0xC9,
                   0x0D, 0x64, 0xA1);

/// The scaler's interpolation for a thumbnail on the given OS version: linear before 6.1,
/// Fant from 6.1 on.
[[nodiscard]] WICBitmapInterpolationMode thumbnailInterpolation(const OSVERSIONINFOW& version);

/// One image file open through an imaging decoder. Registered for both threading models: every
/// method except reference counting and IDispatch takes the object lock (a re-entrant critical
/// section) for its whole run, and all imaging calls are made under it. The only engine lock
/// entered while it is held is the unbuffered stream's, which the decoder takes when it reads.
class CImageFileIO final : public tavrel::ComObject<CImageFileIO, IMediaFileIO, IMediaFile> {
  public:
    /// A new closed object with one reference for the caller, or E_OUTOFMEMORY.
    static HRESULT create(IMediaFileIO** ppObject);

    bool queryExtra(REFIID riid, void** ppv);

    /// Frame 0, fetched on first need and kept until closing. E_FAIL while closed.
    [[nodiscard]] HRESULT ensureFrame();
    /// Frame 0's metadata query reader, fetched on first need and kept until closing.
    [[nodiscard]] HRESULT ensureQueryReader();
    /// Replaces the OS version record that chooses the thumbnail scaler's interpolation.
    void setOsVersion(DWORD dwMajor, DWORD dwMinor);
    const OSVERSIONINFOW& osVersion() const { return m_osVersion; }

    // IDispatch, from the module's type library
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override;

    // IMediaFile
    STDMETHODIMP OpenMedia(BSTR pFilePath, IUnknown* pObject, VARIANT_BOOL readOnly,
                           VARIANT_BOOL noBuffering) override;
    STDMETHODIMP CloseMedia() override;
    STDMETHODIMP GetFormat(GUID* pguidContainerFormat) override;
    STDMETHODIMP GetFrameCount(UINT* pCount) override;

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
    /// The bitmap stays the object's: valid until its next thumbnail call, CloseMedia, a new
    /// OpenMedia or the last Release. The caller never frees it.
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
    friend class tavrel::ComObject<CImageFileIO, IMediaFileIO, IMediaFile>;
    CImageFileIO();
    ~CImageFileIO() override;

    /// The object lock for one scope.
    tavrel::CriticalSectionLock hold() { return tavrel::CriticalSectionLock(m_lock); }

    HRESULT openSteps(BSTR pFilePath, IUnknown* pObject, VARIANT_BOOL readOnly,
                      VARIANT_BOOL noBuffering);
    void close();
    HRESULT formatText(bool wantName, WCHAR* out, int32_t nBufSize);
    // Metadata (image_file_io_metadata.cpp).
    HRESULT blockReader(ComPtr<IWICMetadataQueryReader>& member, LPCWSTR path);
    HRESULT getBlockReaders(int32_t nMetaFormat, ComPtr<IWICMetadataQueryReader> (&list)[2],
                            int& count);
    HRESULT readTagValue(int32_t nMetaFormat, int32_t nMetaTag, PROPVARIANT* value);
    HRESULT ensureWritable();
    HRESULT rewriteWithXmpPadding(IStream* stream);
    HRESULT replaceFileFromStream(LPCWSTR path, IStream* stream);
    HRESULT ensureQueryWriter();
    HRESULT writeXmpTag(int32_t nMetaTag, const BYTE* pbData, int32_t nDataSize);
    HRESULT readDensity(LPCWSTR query, int32_t* out);
    /// A new bitmap (owned by the caller) from any bitmap source, fitted into the limits.
    HRESULT bitmapSourceToDib(IWICBitmapSource* source, PackedDib* ppDib, int32_t nWidthLimit,
                              int32_t nHeightLimit);

    CRITICAL_SECTION m_lock;
    OSVERSIONINFOW m_osVersion{};
    VARIANT_BOOL m_readOnly = VARIANT_TRUE;
    VARIANT_BOOL m_noBuffering = VARIANT_FALSE;
    bool m_opened = false;
    bool m_metadataModified = false;
    bool m_bgra32 = false;
    tavrel::UniqueBstr m_path;
    tavrel::UniqueHandle m_file;
    GUID m_containerFormat{};
    UniquePackedDib m_preview;
    ComPtr<IWICImagingFactory> m_factory;
    ComPtr<IWICBitmapDecoder> m_decoder;
    ComPtr<IWICBitmapFrameDecode> m_frame;
    ComPtr<IWICMetadataQueryReader> m_frameQueryReader;
    ComPtr<IWICFastMetadataEncoder> m_fastEncoder;
    ComPtr<IWICMetadataQueryWriter> m_queryWriter;
    ComPtr<IWICMetadataQueryReader> m_exifReader; // "/app1/ifd/exif"
    ComPtr<IWICMetadataQueryReader> m_ifdReader;  // "/app1/ifd"
    ComPtr<IWICMetadataQueryReader> m_iptcReader; // "/app13/irb/8bimiptc/iptc"
    ComPtr<IWICMetadataQueryReader> m_xmpReader;  // "/xmp"
};

} // namespace mio
