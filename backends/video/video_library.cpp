// SPDX-License-Identifier: MIT
// The video library's exported calls: thin, exception-free shells over the probe, the
// format list and the picture decoders.
#include "contracts/video_library.h"
#include "contracts/common_library.h"
#include "ffmpeg_support.h"
#include "frame_reader.h"
#include "media_probe.h"
#include "video_formats.h"

#include <tavrel/platform/memory.h>

#include <atomic>
#include <cstring>
#include <new>

using namespace mio;
using namespace mio::video;

// The opaque reader handle of the contract is the reader object itself.
struct VideoReader {
    std::unique_ptr<FrameReader> reader;
};

namespace {

std::atomic<int> g_initCount{0};

// Runs fn, turning any exception into a failure with the last error set: nothing may leave
// an exported call.
template <typename Fn> int32_t guarded(Fn fn)
{
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        video::setLastError(kLibErrMemory, "Out of memory");
    } catch (...) {
        video::setLastError(kLibErrGeneric, "Internal error in the video library");
    }
    return 0;
}

const char* knownCodecName(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_H264:
        return "H.264 / AVC";
    case AV_CODEC_ID_HEVC:
        return "H.265 / HEVC";
    case AV_CODEC_ID_MPEG4:
        return "MPEG-4 Part 2";
    case AV_CODEC_ID_MPEG1VIDEO:
        return "MPEG-1 Video";
    case AV_CODEC_ID_MPEG2VIDEO:
        return "MPEG-2 Video";
    case AV_CODEC_ID_VP8:
        return "VP8";
    case AV_CODEC_ID_VP9:
        return "VP9";
    case AV_CODEC_ID_AV1:
        return "AV1";
    case AV_CODEC_ID_MJPEG:
        return "Motion JPEG";
    case AV_CODEC_ID_H263:
        return "H.263";
    case AV_CODEC_ID_MSMPEG4V2:
        return "Microsoft MPEG-4 v2";
    case AV_CODEC_ID_MSMPEG4V3:
        return "Microsoft MPEG-4 v3";
    case AV_CODEC_ID_WMV1:
        return "Windows Media Video 7";
    case AV_CODEC_ID_WMV2:
        return "Windows Media Video 8";
    case AV_CODEC_ID_WMV3:
        return "Windows Media Video 9";
    case AV_CODEC_ID_VC1:
        return "VC-1";
    case AV_CODEC_ID_THEORA:
        return "Theora";
    case AV_CODEC_ID_FLV1:
        return "Sorenson Spark";
    case AV_CODEC_ID_DVVIDEO:
        return "DV Video";
    case AV_CODEC_ID_RV10:
        return "RealVideo 1.0";
    case AV_CODEC_ID_RV40:
        return "RealVideo 4.0";
    case AV_CODEC_ID_PRORES:
        return "Apple ProRes";
    case AV_CODEC_ID_GIF:
        return "GIF";
    case AV_CODEC_ID_AAC:
        return "AAC (Advanced Audio Coding)";
    case AV_CODEC_ID_MP3:
        return "MP3 (MPEG Audio Layer 3)";
    case AV_CODEC_ID_MP2:
        return "MPEG Audio Layer 2";
    case AV_CODEC_ID_AC3:
        return "Dolby Digital (AC-3)";
    case AV_CODEC_ID_EAC3:
        return "Dolby Digital Plus (E-AC-3)";
    case AV_CODEC_ID_DTS:
        return "DTS";
    case AV_CODEC_ID_VORBIS:
        return "Vorbis";
    case AV_CODEC_ID_OPUS:
        return "Opus";
    case AV_CODEC_ID_FLAC:
        return "FLAC (Free Lossless Audio Codec)";
    case AV_CODEC_ID_ALAC:
        return "Apple Lossless (ALAC)";
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
        return "Windows Media Audio";
    case AV_CODEC_ID_WMAPRO:
        return "Windows Media Audio Professional";
    case AV_CODEC_ID_WMALOSSLESS:
        return "Windows Media Audio Lossless";
    case AV_CODEC_ID_AMR_NB:
        return "AMR-NB";
    case AV_CODEC_ID_AMR_WB:
        return "AMR-WB";
    case AV_CODEC_ID_ADPCM_MS:
        return "Microsoft ADPCM";
    case AV_CODEC_ID_WAVPACK:
        return "WavPack";
    case AV_CODEC_ID_APE:
        return "Monkey's Audio";
    default:
        break;
    }
    if (const AVCodecDescriptor* desc = avcodec_descriptor_get(id)) {
        // Every PCM variant is plain PCM to a person.
        if (desc->name && std::strncmp(desc->name, "pcm_", 4) == 0) return "PCM";
        return desc->long_name ? desc->long_name : desc->name;
    }
    return nullptr;
}

int32_t writeBytes(void* buffer, int32_t size, const void* value, size_t valueSize)
{
    if (!buffer || size < 0 || static_cast<size_t>(size) < valueSize) {
        video::setLastError(kLibErrArgument, "The buffer is too small for the item");
        return 0;
    }
    std::memcpy(buffer, value, valueSize);
    return 1;
}

int32_t writeText(void* buffer, int32_t size, const char* text)
{
    if (!text) {
        video::setLastError(kLibErrFormat, "The file has no such stream");
        return 0;
    }
    return writeBytes(buffer, size, text, std::strlen(text) + 1);
}

} // namespace

TAVREL_API int32_t qVideoInit()
{
    prepareFfmpeg();
    g_initCount.fetch_add(1);
    return static_cast<int32_t>(videoFormats().size());
}

TAVREL_API int32_t qVideoExit()
{
    // Nothing global to tear down: readers and records own their state.
    int count = g_initCount.load();
    while (count > 0 && !g_initCount.compare_exchange_weak(count, count - 1)) {
    }
    return 1;
}

TAVREL_API int32_t qVideoGetFormatIndex(uint32_t dwFormatCode)
{
    return formatIndexOfCode(dwFormatCode);
}

TAVREL_API int32_t qVideoEscape(int32_t nFormatIndex, int32_t nCode, void* pData, int32_t nParam1,
                                int32_t nParam2)
{
    (void)nCode;
    (void)pData;
    (void)nParam1;
    (void)nParam2;
    return nFormatIndex >= 0 && static_cast<size_t>(nFormatIndex) < videoFormats().size() ? 1 : 0;
}

TAVREL_API int32_t qVideoGetFormatInfo(int32_t nFormatIndex, VideoFormatInfo* pInfo)
{
    return fillFormatInfo(nFormatIndex, pInfo) ? 1 : 0;
}

TAVREL_API int32_t qVideoGetFileInfo(VideoFileInfo* pInfo)
{
    if (!pInfo || pInfo->recordSize != kVideoFileInfoSize) {
        video::setLastError(kLibErrArgument, "Not a video file record");
        return 0;
    }
    return guarded([&] { return probeFile(*pInfo) ? 1 : 0; });
}

TAVREL_API int32_t qVideoFreeFileInfo(VideoFileInfo* pInfo)
{
    if (!pInfo) return 0;
    if (pInfo->widePath) {
        HGLOBAL block = GlobalHandle(pInfo->widePath);
        if (block) {
            GlobalUnlock(block);
            GlobalFree(block);
        }
        pInfo->widePath = nullptr;
    }
    freeDib(static_cast<BITMAPINFOHEADER*>(pInfo->libraryAttachment));
    pInfo->libraryAttachment = nullptr;
    return 1;
}

TAVREL_API int32_t qVideoCheckData(VideoCheckRecord* pRecord, int32_t nMode, int32_t nParam1,
                                   int32_t nParam2)
{
    (void)nParam1;
    (void)nParam2;
    if (!pRecord || pRecord->recordSize != kVideoCheckRecordSize) {
        video::setLastError(kLibErrArgument, "Not a data-check record");
        return 0;
    }
    if (nMode != kVideoCheckFirstFrame) {
        video::setLastError(kLibErrArgument, "Unknown data-check mode");
        return 0;
    }
    return guarded([&] {
        char ansi[sizeof pRecord->ansiPath + 1] = {};
        std::memcpy(ansi, pRecord->ansiPath, sizeof pRecord->ansiPath);
        return firstFrameDecodes(ansiToUtf8(ansi), pRecord->checkValue) ? 1 : 0;
    });
}

TAVREL_API int32_t qVideoGetMiscData(VideoFileInfo* pInfo, int32_t nItem, void* pBuffer,
                                     int32_t nBufSize)
{
    if (!pInfo) {
        video::setLastError(kLibErrArgument, "No record");
        return 0;
    }
    RecordExtras extras = readExtras(*pInfo);
    if (extras.magic != kExtrasMagic) {
        video::setLastError(kLibErrArgument, "The record has not been filled by the library");
        return 0;
    }
    switch (nItem) {
    case kVideoMiscVideoCodecName:
        return writeText(pBuffer, nBufSize,
                         pInfo->hasVideo
                             ? knownCodecName(static_cast<AVCodecID>(extras.videoCodecId))
                             : nullptr);
    case kVideoMiscAudioCodecName:
        return writeText(pBuffer, nBufSize,
                         pInfo->hasAudio
                             ? knownCodecName(static_cast<AVCodecID>(extras.audioCodecId))
                             : nullptr);
    case kVideoMiscVideoBytesPerSec:
        return writeBytes(pBuffer, nBufSize, &extras.videoBytesPerSec, sizeof(uint32_t));
    case kVideoMiscAudioBytesPerSec:
        return writeBytes(pBuffer, nBufSize, &extras.audioBytesPerSec, sizeof(uint32_t));
    case kVideoMiscFileSize64:
        return writeBytes(pBuffer, nBufSize, &extras.fileSize, sizeof(int64_t));
    case kVideoMiscVideoFourCC:
        if (!pInfo->hasVideo) {
            video::setLastError(kLibErrFormat, "The file has no video stream");
            return 0;
        }
        return writeBytes(pBuffer, nBufSize, &extras.videoFourCC, sizeof(uint32_t));
    default:
        video::setLastError(kLibErrArgument, "Unknown item number");
        return 0;
    }
}

TAVREL_API int32_t qVideoGetPreview(VideoFileInfo* pInfo, BITMAPINFOHEADER** ppDib)
{
    if (ppDib) *ppDib = nullptr;
    if (!pInfo || !ppDib) {
        video::setLastError(kLibErrArgument, "No record or no output");
        return 0;
    }
    return guarded([&] {
        PackedDibBlock picture;
        if (!decodeAttachedPicture(*pInfo, picture)) return 0;
        // The previous preview of this record dies now, as documented.
        freeDib(static_cast<BITMAPINFOHEADER*>(pInfo->libraryAttachment));
        pInfo->libraryAttachment = picture.release();
        *ppDib = static_cast<BITMAPINFOHEADER*>(pInfo->libraryAttachment);
        return 1;
    });
}

TAVREL_API int32_t qVideoReadVideoBegin(VideoFileInfo* pInfo, int32_t nMode, HVIDEOREADER* phReader,
                                        const BITMAPINFOHEADER* pHeader)
{
    if (phReader) *phReader = nullptr;
    if (!pInfo || !phReader) {
        video::setLastError(kLibErrArgument, "No record or no output");
        return 0;
    }
    return guarded([&] {
        auto reader = FrameReader::open(*pInfo, nMode, pHeader);
        if (!reader) return 0;
        auto* handle = new VideoReader{std::move(reader)};
        *phReader = handle;
        return 1;
    });
}

TAVREL_API int32_t qVideoReadVideo(VideoFileInfo* pInfo, int32_t nFrame, BITMAPINFOHEADER** ppDib,
                                   int32_t nReserved, HVIDEOREADER hReader)
{
    (void)pInfo;
    (void)nReserved;
    if (ppDib) *ppDib = nullptr;
    if (!hReader || !hReader->reader || !ppDib) {
        video::setLastError(kLibErrArgument, "No frame reader or no output");
        return 0;
    }
    return guarded([&] {
        BITMAPINFOHEADER* dib = hReader->reader->read(nFrame);
        if (!dib) return 0;
        *ppDib = dib;
        return 1;
    });
}

TAVREL_API int32_t qVideoReadVideoEnd(HVIDEOREADER hReader)
{
    if (!hReader) return 0;
    delete hReader;
    return 1;
}
