// SPDX-License-Identifier: MIT
// The video/audio file library: its records, byte for byte, and the calls the engine makes on it.
#pragma once

#include <tavrel/platform/types.h>

#include <cstddef>
#include <cstdint>

/// One open video or audio file, 424 bytes. The caller zero-fills it and sets recordSize,
/// ansiPath, parseMode and, for a path outside the ANSI code page, widePath with flag
/// kVideoFlagWidePath; qVideoGetFileInfo fills the rest. Fields marked "library" belong to the
/// library: the engine copies them with the record and never interprets them.
struct VideoFileInfo {
    int32_t recordSize;       ///< always 424
    char ansiPath[260];       ///< path in the active ANSI code page, NUL-terminated
    int32_t formatIndex;      ///< index in the library's format list (qVideoGetFormatInfo)
    int32_t formatKind;       ///< kVideoKindNeedsCheck, kVideoKindTagJpegPreview or 0
    int32_t fileSize;         ///< file size in bytes, cut to 32 bits (see misc item 191)
    uint16_t hasVideo;        ///< non-zero when the file has a video stream
    uint16_t hasAudio;        ///< non-zero when the file has an audio stream
    int32_t totalFrames;      ///< number of video frames
    uint16_t width;           ///< frame width in pixels, upright
    uint16_t height;          ///< frame height in pixels, upright
    uint16_t bitCount;        ///< bits per pixel of delivered frames (24)
    uint16_t reserved290;     ///< library
    uint32_t frameRate;       ///< frames per second times 1000
    int32_t checkValue;       ///< library value that the data-check record carries
    int32_t reserved300;      ///< library
    uint32_t audioSamples;    ///< audio length in samples (per channel)
    uint16_t audioChannels;   ///< audio channels
    uint16_t audioBits;       ///< audio bits per sample
    uint32_t audioSampleRate; ///< audio samples per second
    uint32_t reserved316;     ///< library
    uint32_t flags;           ///< kVideoFlag... bits
    uint8_t libraryData[48];  ///< library
    int32_t parseMode;        ///< kVideoParseQuick (13) or kVideoParseFull (0)
    uint8_t libraryData2[32]; ///< library
    WCHAR* widePath;          ///< locked address of a 520-byte movable block holding the
                              ///< UTF-16 path, or null; released by qVideoFreeFileInfo
    void* libraryAttachment;  ///< library; released by qVideoFreeFileInfo
};

static_assert(sizeof(VideoFileInfo) == 424);
static_assert(offsetof(VideoFileInfo, recordSize) == 0);
static_assert(offsetof(VideoFileInfo, ansiPath) == 4);
static_assert(offsetof(VideoFileInfo, formatIndex) == 264);
static_assert(offsetof(VideoFileInfo, formatKind) == 268);
static_assert(offsetof(VideoFileInfo, fileSize) == 272);
static_assert(offsetof(VideoFileInfo, hasVideo) == 276);
static_assert(offsetof(VideoFileInfo, hasAudio) == 278);
static_assert(offsetof(VideoFileInfo, totalFrames) == 280);
static_assert(offsetof(VideoFileInfo, width) == 284);
static_assert(offsetof(VideoFileInfo, height) == 286);
static_assert(offsetof(VideoFileInfo, bitCount) == 288);
static_assert(offsetof(VideoFileInfo, frameRate) == 292);
static_assert(offsetof(VideoFileInfo, checkValue) == 296);
static_assert(offsetof(VideoFileInfo, audioSamples) == 304);
static_assert(offsetof(VideoFileInfo, audioChannels) == 308);
static_assert(offsetof(VideoFileInfo, audioBits) == 310);
static_assert(offsetof(VideoFileInfo, audioSampleRate) == 312);
static_assert(offsetof(VideoFileInfo, flags) == 320);
static_assert(offsetof(VideoFileInfo, parseMode) == 372);
static_assert(offsetof(VideoFileInfo, widePath) == 408);

inline constexpr int32_t kVideoFileInfoSize = 424;

/// parseMode values.
inline constexpr int32_t kVideoParseFull = 0;
inline constexpr int32_t kVideoParseQuick = 13;

/// formatKind values.
inline constexpr int32_t kVideoKindNeedsCheck = 1;           ///< check the data at parse time
inline constexpr int32_t kVideoKindTagJpegPreview = 0x80000; ///< picture is a JPEG in the tags

/// flags bits.
inline constexpr uint32_t kVideoFlagAspect4x3 = 0x200;
inline constexpr uint32_t kVideoFlagAspect16x9 = 0x400;
inline constexpr uint32_t kVideoFlagDetailsLeftOut = 0x80000; ///< quick parse estimated
inline constexpr uint32_t kVideoFlagWidePath = 0x100000;      ///< widePath is valid

/// Description of one library format, 388 bytes. The caller zero-fills it.
struct VideoFormatInfo {
    int32_t zero;                ///< zero on input
    uint8_t reserved4[12];       ///< library
    char extension[10];          ///< primary extension, no dot, NUL-terminated
    char name[54];               ///< format name, NUL-terminated
    uint32_t formatCode;         ///< one-bit code (FileFormatIdTable numbers 0..40)
    int32_t extraExtensionCount; ///< number of strings in extraExtensions
    char extraExtensions[300];   ///< further extensions, each NUL-terminated, back to back
};

static_assert(sizeof(VideoFormatInfo) == 388);
static_assert(offsetof(VideoFormatInfo, extension) == 16);
static_assert(offsetof(VideoFormatInfo, name) == 26);
static_assert(offsetof(VideoFormatInfo, formatCode) == 80);
static_assert(offsetof(VideoFormatInfo, extraExtensionCount) == 84);
static_assert(offsetof(VideoFormatInfo, extraExtensions) == 88);

/// The data-check record, 444 bytes, built by the engine from a VideoFileInfo; every other
/// byte is zero.
struct VideoCheckRecord {
    int32_t recordSize; ///< 444
    uint8_t reserved4[44];
    int32_t checkValue; ///< VideoFileInfo::checkValue
    uint8_t reserved52[24];
    char ansiPath[260]; ///< VideoFileInfo::ansiPath
    uint8_t reserved336[108];
};

static_assert(sizeof(VideoCheckRecord) == 444);
static_assert(offsetof(VideoCheckRecord, checkValue) == 48);
static_assert(offsetof(VideoCheckRecord, ansiPath) == 76);

inline constexpr int32_t kVideoCheckRecordSize = 444;
inline constexpr int32_t kVideoCheckFirstFrame = 2; ///< qVideoCheckData mode

/// qVideoGetMiscData items.
inline constexpr int32_t kVideoMiscVideoCodecName = 103;   ///< ANSI text, NUL-terminated
inline constexpr int32_t kVideoMiscAudioCodecName = 104;   ///< ANSI text, NUL-terminated
inline constexpr int32_t kVideoMiscVideoBytesPerSec = 118; ///< uint32
inline constexpr int32_t kVideoMiscAudioBytesPerSec = 119; ///< uint32
inline constexpr int32_t kVideoMiscFileSize64 = 191;       ///< int64
inline constexpr int32_t kVideoMiscVideoFourCC = 199;      ///< uint32, first character lowest

/// Frame-reader modes of qVideoReadVideoBegin.
inline constexpr int32_t kVideoReadExact = 21; ///< exactly the frame asked for
inline constexpr int32_t kVideoReadRough = 53; ///< nearest key frame at or before it

/// An open frame reader; closed with qVideoReadVideoEnd.
struct VideoReader;
using HVIDEOREADER = VideoReader*;

/// Starts the library. Returns the number of formats (> 0), or 0 when it cannot run.
/// Balanced by one qVideoExit per successful call.
TAVREL_API int32_t qVideoInit();

/// Shuts down one qVideoInit. Returns 1.
TAVREL_API int32_t qVideoExit();

/// Index of the format with the one-bit code dwFormatCode, or -1 when the list has none.
TAVREL_API int32_t qVideoGetFormatIndex(uint32_t dwFormatCode);

/// Configuration call on a format (codes 20, 21 with an ANSI text, 22, 25). The library has no
/// settings behind these codes: a valid index returns 1 and changes nothing, an invalid one 0.
TAVREL_API int32_t qVideoEscape(int32_t nFormatIndex, int32_t nCode, void* pData, int32_t nParam1,
                                int32_t nParam2);

/// Fills a zeroed description of format nFormatIndex. > 0 on success, 0 for a bad index or
/// a null info.
TAVREL_API int32_t qVideoGetFormatInfo(int32_t nFormatIndex, VideoFormatInfo* pInfo);

/// Opens the file named by pInfo (the wide path when kVideoFlagWidePath is set, else the ANSI
/// path) and fills the record. parseMode 13 reads the container header only and sets
/// kVideoFlagDetailsLeftOut when the frame count or bit rates are estimates; mode 0 scans the
/// packets for exact values. Returns 1 on success; 0 on failure with the common library's
/// last error set and the record's filled fields left zero.
TAVREL_API int32_t qVideoGetFileInfo(VideoFileInfo* pInfo);

/// Releases what the library attached to the record: the wide path block when widePath is
/// still set (the field is then cleared) and the last preview bitmap. Returns 1.
TAVREL_API int32_t qVideoFreeFileInfo(VideoFileInfo* pInfo);

/// Checks a file's data. Mode 2: the first video frame of the stream that checkValue names
/// decodes. > 0 when acceptable; 0 with the last error set otherwise.
TAVREL_API int32_t qVideoCheckData(VideoCheckRecord* pRecord, int32_t nMode, int32_t nParam1,
                                   int32_t nParam2);

/// Writes item nItem (kVideoMisc...) for the file into pBuffer of nBufSize bytes. Returns > 0
/// on success; 0 when the item is unknown, absent from the file or does not fit.
TAVREL_API int32_t qVideoGetMiscData(VideoFileInfo* pInfo, int32_t nItem, void* pBuffer,
                                     int32_t nBufSize);

/// The file's attached picture (cover art) as a 24-bit bottom-up PackedDib, known by its
/// locked address. The bitmap is the library's: valid until the next qVideoGetPreview or
/// qVideoFreeFileInfo on the same record; never free it. Returns > 0 with *ppDib set, else 0
/// with *ppDib null.
TAVREL_API int32_t qVideoGetPreview(VideoFileInfo* pInfo, BITMAPINFOHEADER** ppDib);

/// Opens a frame reader in mode kVideoReadExact or kVideoReadRough. pHeader (optional) gives
/// the size of the delivered frames; without it frames come at their own upright size.
/// Returns > 0 with *phReader set, else 0 with *phReader null.
TAVREL_API int32_t qVideoReadVideoBegin(VideoFileInfo* pInfo, int32_t nMode, HVIDEOREADER* phReader,
                                        const BITMAPINFOHEADER* pHeader);

/// Decodes frame nFrame (0-based) as a 24-bit bottom-up PackedDib, upright, at the reader's
/// size. The bitmap is the library's: valid until the next read or qVideoReadVideoEnd on the
/// reader. Returns > 0 with *ppDib set, else 0 with *ppDib null and the last error set.
TAVREL_API int32_t qVideoReadVideo(VideoFileInfo* pInfo, int32_t nFrame, BITMAPINFOHEADER** ppDib,
                                   int32_t nReserved, HVIDEOREADER hReader);

/// Closes a frame reader and frees its last bitmap. Returns 1 (0 for a null reader).
TAVREL_API int32_t qVideoReadVideoEnd(HVIDEOREADER hReader);

// Function types for a caller that loads the library with dlopen.
using PFN_qVideoInit = decltype(&qVideoInit);
using PFN_qVideoExit = decltype(&qVideoExit);
using PFN_qVideoGetFormatIndex = decltype(&qVideoGetFormatIndex);
using PFN_qVideoEscape = decltype(&qVideoEscape);
using PFN_qVideoGetFormatInfo = decltype(&qVideoGetFormatInfo);
using PFN_qVideoGetFileInfo = decltype(&qVideoGetFileInfo);
using PFN_qVideoFreeFileInfo = decltype(&qVideoFreeFileInfo);
using PFN_qVideoCheckData = decltype(&qVideoCheckData);
using PFN_qVideoGetMiscData = decltype(&qVideoGetMiscData);
using PFN_qVideoGetPreview = decltype(&qVideoGetPreview);
using PFN_qVideoReadVideoBegin = decltype(&qVideoReadVideoBegin);
using PFN_qVideoReadVideo = decltype(&qVideoReadVideo);
using PFN_qVideoReadVideoEnd = decltype(&qVideoReadVideoEnd);
