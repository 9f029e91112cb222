// SPDX-License-Identifier: MIT
// Public interface of the media I/O engine: interfaces in slot order, their identifiers, the class
// identifiers, the packed bitmap layout and the metadata format codes.
//
// A host loads libtavrelmediaio.so (dlopen + DllGetClassObject, or CoCreateInstance after
// registration), creates the manager, calls Initialize once and ParseFile per file. Strings are
// UTF-16; buffer sizes count bytes (a text with its terminator takes 2 * (length + 1)).
#pragma once

#include <tavrel/platform.h>

// ---- identifiers (fixed once chosen: registrations and stored type libraries rely on them) ----

TAVREL_DEFINE_GUID(IID_IMediaFileIO, 0x03D9BECA, 0xE586, 0x45E9, 0x94, 0x6F, 0x22, 0xE9, 0xE2, 0xB1, 0x48,
                   0x29);
TAVREL_DEFINE_GUID(IID_IMediaFileIOMan, 0x03F75517, 0xA288, 0x4CDE, 0x92, 0xD2, 0xA3, 0x67, 0x3C, 0xB5,
                   0x02, 0xB7);
TAVREL_DEFINE_GUID(IID_IMediaFileIOMan2, 0x743ACAAB, 0x3D80, 0x4D7B, 0x9A, 0x66, 0xE8, 0x88, 0xF1, 0x08,
                   0xB9, 0x87);
TAVREL_DEFINE_GUID(IID_IMediaFile, 0x66BE34F5, 0x4F03, 0x44DB, 0x9B, 0xFE, 0xB3, 0xA7, 0x2F, 0xB1, 0xBF,
                   0x92);
TAVREL_DEFINE_GUID(CLSID_ImageFileIO, 0x249B45D9, 0x0D09, 0x4C96, 0x88, 0xC9, 0xB4, 0x2F, 0x1E, 0x9D, 0x12,
                   0x2B);
TAVREL_DEFINE_GUID(CLSID_MediaFileIO, 0x8C23009A, 0x13FA, 0x4B05, 0xA3, 0x5A, 0xCE, 0x64, 0xF8, 0xDC, 0x0D,
                   0x5C);
TAVREL_DEFINE_GUID(CLSID_MediaFileIOMan, 0x591AA5E7, 0x12B2, 0x4AF8, 0xA8, 0x96, 0x19, 0x34, 0x02, 0x7F,
                   0xD2, 0x6A);
TAVREL_DEFINE_GUID(LIBID_TavrelMediaIOLib, 0xAD405D96, 0x826D, 0x47D9, 0xA9, 0xF4, 0xF4, 0xB9, 0x05, 0x11,
                   0x3B, 0x30);
TAVREL_DEFINE_GUID(APPID_TavrelMediaIO, 0x991651F1, 0x3969, 0x44B0, 0x84, 0x41, 0x48, 0xDD, 0x72, 0xA4,
                   0x41, 0xBD);

// ---- shared types ----

/// Metadata families of GetMetaTags / GetMetaData / SetMetaData (nMetaFormat); 0 is none.
enum MetaFormat : int32_t {
    MetaFormatNone = 0,
    MetaFormatExif = 1,
    MetaFormatIptc = 2,
    MetaFormatId3v1 = 3,
    MetaFormatId3v2 = 4,
    MetaFormatVorbisComment = 5,
    MetaFormatAsfAttributes = 6,
    MetaFormatXmp = 7,
};

// A packed bitmap is one locked movable global block: a BITMAPINFOHEADER, a colour table for
// 1, 4 and 8 bits, then bottom-up rows padded to 4 bytes. It is known by its locked address, the
// address of the header; GlobalHandle of that address gives the block.
using PackedDib = BITMAPINFOHEADER*;

// Records exchanged with the file libraries; their layout is in the engine's contracts.
struct VideoFileInfo;

// ---- interfaces ----

/// One media file: properties, thumbnails, metadata and image writing. Both object kinds answer
/// every method; a method that makes no sense for a kind returns E_FAIL. Thumbnails stay owned by
/// the object: valid until the next thumbnail request on it, CloseMedia or the last Release.
struct IMediaFileIO : IDispatch {
    STDMETHOD(SetVideoData)(VideoFileInfo* pVData) PURE;
    STDMETHOD(SetImageData)(HGLOBAL hFileData) PURE;
    STDMETHOD(GetFrameSize)(int32_t* pnWidth, int32_t* pnHeight) PURE;
    STDMETHOD(GetFrameBitCount)(int32_t* pnBitCount) PURE;
    STDMETHOD(GetResolution)(int32_t* pnResolutionX, int32_t* pnResolutionY) PURE;
    STDMETHOD(GetFileSize)(uint64_t* pllFileSize) PURE;
    STDMETHOD(GetFrameRate)(double* pdFrameRate) PURE;
    STDMETHOD(GetTotalFrames)(int32_t* pnTotalFrames) PURE;
    STDMETHOD(GetDuration)(double* pdDuration) PURE;
    STDMETHOD(GetFileType)(int32_t* pnFileType) PURE;
    STDMETHOD(GetBitRate)(double* pdBitRate, double* pdBitRateV, double* pdBitRateA) PURE;
    STDMETHOD(GetFileFormatName)(WCHAR* pszFormatName, int32_t nBufSize) PURE;
    STDMETHOD(GetVideoCodecName)(WCHAR* pszCodecName, int32_t nBufSize) PURE;
    STDMETHOD(GetAudioAttributes)(int32_t* pnSamplesPerSec, int32_t* pnBitsPerSample,
                                  int32_t* pnChannels) PURE;
    STDMETHOD(GetAudioCodecName)(WCHAR* pzCodecName, int32_t nBufSize) PURE;
    STDMETHOD(GetPreviewThumbnail)(PackedDib* ppDib, int32_t nWidthLimit, int32_t nHeightLimit,
                                   BOOL bForceGenerate, BOOL bExactSize) PURE;
    STDMETHOD(GetFrameThumbnail)(PackedDib* ppDib, int32_t nWidthLimit, int32_t nHeightLimit,
                                 int32_t nFrame, BOOL bRough, BOOL bExactSize) PURE;
    STDMETHOD(GetFrameThumbnailByTime)(PackedDib* ppDib, int32_t nWidthLimit,
                                       int32_t nHeightLimit, double dTime, BOOL bRough,
                                       BOOL bExactSize) PURE;
    STDMETHOD(ParseDetail)() PURE;
    /// nBufSize counts 32-bit entries of pnTagList.
    STDMETHOD(GetMetaTags)(int32_t nMetaFormat, int32_t* pnTotalTags, int32_t* pnTagList,
                           int32_t nBufSize) PURE;
    STDMETHOD(GetMetaData)(int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData, int32_t nBufSize,
                           int32_t* pnDataSize) PURE;
    STDMETHOD(SetMetaData)(int32_t nMetaFormat, int32_t nMetaTag, const BYTE* pbData,
                           int32_t nDataSize) PURE;
    STDMETHOD(RemoveAllMetaData)(int32_t nMetaFormat) PURE;
    STDMETHOD(UpdateMetaDataToFile)() PURE;
    STDMETHOD(GetMetaTagName)(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszTagName,
                              int32_t nBufSize) PURE;
    STDMETHOD(GetMetaDataStr)(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszData,
                              int32_t nBufSize) PURE;
    STDMETHOD(GetFileFormatExtName)(WCHAR* pszExtName, int32_t nBufSize) PURE;
    STDMETHOD(GetFileTime)(FILETIME* pftCreateTime, FILETIME* pftModifyTime) PURE;
    STDMETHOD(GetCaption)(WCHAR* pszCaption, int32_t nBufSize) PURE;
    STDMETHOD(GetFileFormatID)(int32_t* pnFormat) PURE;
    STDMETHOD(GetRating)(WCHAR* pszRating, int32_t nBufSize) PURE;
    STDMETHOD(SetRating)(const WCHAR* pszRating, int32_t nDataSize) PURE;
    STDMETHOD(GetSubjectTags)(WCHAR* pszSubjectTags, int32_t nBufSize, int32_t* pnDataSize) PURE;
    STDMETHOD(SetSubjectTags)(const WCHAR* pszSubjectTags, int32_t nDataSize) PURE;
    /// The BSTR belongs to the caller (SysFreeString).
    STDMETHOD(GetMetaDataStr_BSTR)(int32_t nMetaFormat, int32_t nMetaTag, BSTR* ppszData) PURE;
    STDMETHOD(GetCaption_BSTR)(BSTR* ppszCaption) PURE;
    STDMETHOD(GetArtist)(WCHAR* pszArtist, int32_t nBufSize) PURE;
    STDMETHOD(GetArtist_BSTR)(BSTR* ppszArtist) PURE;
    STDMETHOD(GetAlbum)(WCHAR* pszAlbum, int32_t nBufSize) PURE;
    STDMETHOD(GetAlbum_BSTR)(BSTR* ppszAlbum) PURE;
    STDMETHOD(WriteImageFile)(const WCHAR* szFileName, int32_t nFileFormat, PackedDib pDib,
                              BOOL bSavePreview, int32_t nCompresionQuality) PURE;
    STDMETHOD(GetAspectRatio)(int32_t* pnAspectRatioX, int32_t* pnAspectRatioY) PURE;
    STDMETHOD(SetInitFlags)(DWORD dwFlags) PURE;
    STDMETHOD(SetCaption)(const WCHAR* pszCaption, int32_t nDataSize) PURE;
    STDMETHOD(GetCodecInfo)(DWORD* pdwCodecInfo) PURE;
    STDMETHOD(GetFrameThumbnailEx)(PackedDib* ppDib, int32_t nWidthLimit,
                                   int32_t nHeightLimit, int32_t nFrame, BOOL bRough, BOOL bExactSize,
                                   BOOL* pbAbort) PURE;
    STDMETHOD(GetMaskThumbnail)(PackedDib* ppDib, int32_t nWidthLimit,
                                int32_t nHeightLimit) PURE;
    STDMETHOD(SetAlphaBackground)(PackedDib pDib) PURE;
    /// VARIANT_TRUE (-1) or VARIANT_FALSE (0); other values are refused.
    STDMETHOD(EnableBGRA32)(VARIANT_BOOL enable) PURE;
    STDMETHOD(HasPreviewThumbnail)() PURE;
};

/// The manager: Initialize once, then ParseFile per file. The caller owns each returned object.
struct IMediaFileIOMan : IDispatch {
    STDMETHOD(ParseFile)(const WCHAR* szFileName, IMediaFileIO** ppMediaFileIO) PURE;
    STDMETHOD(ParseFile_BSTR)(BSTR szFileName, IMediaFileIO** ppMediaFileIO) PURE;
    STDMETHOD(DirectSetMetadata)(const WCHAR* szFileName, IMediaFileIO** ppMediaFileIO) PURE;
    STDMETHOD(GetErrorString)(WCHAR* pszError, int32_t nBufSize) PURE;
    STDMETHOD(WriteImageFile)(const WCHAR* szFileName, int32_t nFileFormat, PackedDib pDib,
                              BOOL bSavePreview, int32_t nCompresionQuality) PURE;
    STDMETHOD(Initialize)(DWORD dwFlags) PURE;
};

struct IMediaFileIOMan2 : IMediaFileIOMan {
    STDMETHOD(ParseFileEx)(const WCHAR* szFileName, IMediaFileIO** ppMediaFileIO,
                           int32_t nNoBuffering) PURE;
    STDMETHOD(ParseFileEx_BSTR)(BSTR szFileName, IMediaFileIO** ppMediaFileIO,
                                int32_t nNoBuffering) PURE;
};

/// The image object's opening interface. Booleans are VARIANT_TRUE (-1) or VARIANT_FALSE (0).
struct IMediaFile : IUnknown {
    STDMETHOD(OpenMedia)(BSTR pFilePath, IUnknown* pObject, VARIANT_BOOL readOnly,
                         VARIANT_BOOL noBuffering) PURE;
    STDMETHOD(CloseMedia)() PURE;
    STDMETHOD(GetFormat)(GUID* pguidContainerFormat) PURE;
    STDMETHOD(GetFrameCount)(UINT* pCount) PURE;
};

TAVREL_INTERFACE_ID(IMediaFileIO, IID_IMediaFileIO);
TAVREL_INTERFACE_ID(IMediaFileIOMan, IID_IMediaFileIOMan);
TAVREL_INTERFACE_ID(IMediaFileIOMan2, IID_IMediaFileIOMan2);
TAVREL_INTERFACE_ID(IMediaFile, IID_IMediaFile);

// ---- module exports ----

STDAPI DllCanUnloadNow();
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();
STDAPI DllInstall(BOOL bInstall, PCWSTR pszCmdLine);
