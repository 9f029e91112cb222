// SPDX-License-Identifier: MIT
// The video library's calls as the engine links them: the format list is answered from the
// static table, everything that touches a file opens the FFmpeg-backed library first.
#include "contracts/common_library.h"
#include "contracts/video_library.h"
#include "lazy_library.h"
#include "video_formats.h"

#include <tavrel/platform/memory.h>

#include <atomic>
#include <cstddef>
#include <iterator>

#ifndef MIO_VIDEO_LIBRARY_FILE
#error "MIO_VIDEO_LIBRARY_FILE must name the video library's shared object"
#endif

namespace {

// The functions that need the real library, in the order of the names below.
struct VideoCalls {
    PFN_qVideoInit init;
    PFN_qVideoExit exit;
    PFN_qVideoGetFileInfo getFileInfo;
    PFN_qVideoFreeFileInfo freeFileInfo;
    PFN_qVideoCheckData checkData;
    PFN_qVideoGetMiscData getMiscData;
    PFN_qVideoGetPreview getPreview;
    PFN_qVideoReadVideoBegin readVideoBegin;
    PFN_qVideoReadVideo readVideo;
    PFN_qVideoReadVideoEnd readVideoEnd;
};

constexpr const char* kNames[] = {"qVideoInit",         "qVideoExit",           "qVideoGetFileInfo",
                                  "qVideoFreeFileInfo", "qVideoCheckData",      "qVideoGetMiscData",
                                  "qVideoGetPreview",   "qVideoReadVideoBegin", "qVideoReadVideo",
                                  "qVideoReadVideoEnd"};
constexpr size_t kCallCount = sizeof(VideoCalls) / sizeof(void*);
static_assert(std::size(kNames) == kCallCount);

mio::loader::LazyLibrary g_library{"video", MIO_VIDEO_LIBRARY_FILE};
VideoCalls g_calls{};
std::atomic<bool> g_ready{false};

template <typename Fn> void bindSlot(Fn& fn, void* slot)
{
    fn = reinterpret_cast<Fn>(slot);
}

// The library, or null with the last error set. The first successful open also checks that
// the library's format list is the one this loader answers from: the engine stores format
// indices, so a library built from another table would misname every file.
const VideoCalls* library()
{
    // Thread-safe static initialisation: one thread opens and checks, the others wait.
    static const bool ready = [] {
        void* slots[kCallCount] = {};
        if (!g_library.load(kNames, slots, kCallCount)) return false;
        VideoCalls calls{};
        bindSlot(calls.init, slots[0]);
        bindSlot(calls.exit, slots[1]);
        bindSlot(calls.getFileInfo, slots[2]);
        bindSlot(calls.freeFileInfo, slots[3]);
        bindSlot(calls.checkData, slots[4]);
        bindSlot(calls.getMiscData, slots[5]);
        bindSlot(calls.getPreview, slots[6]);
        bindSlot(calls.readVideoBegin, slots[7]);
        bindSlot(calls.readVideo, slots[8]);
        bindSlot(calls.readVideoEnd, slots[9]);
        const int32_t count = calls.init();
        calls.exit();
        if (count != static_cast<int32_t>(mio::video::videoFormats().size())) return false;
        g_calls = calls;
        g_ready.store(true, std::memory_order_release);
        return true;
    }();
    if (ready) return &g_calls;
    if (g_library.loaded())
        mioCommonSetLastError(mio::kLibErrUnsupported,
                              "video library not available: its format list does not match");
    else
        g_library.reportFailure();
    return nullptr;
}

} // namespace

// The format calls are pure table lookups in the real library too, so answering them here
// gives the same results without mapping FFmpeg. A missing library shows at the first file.
TAVREL_API int32_t qVideoInit()
{
    return static_cast<int32_t>(mio::video::videoFormats().size());
}

TAVREL_API int32_t qVideoExit()
{
    return 1;
}

TAVREL_API int32_t qVideoGetFormatIndex(uint32_t dwFormatCode)
{
    return mio::video::formatIndexOfCode(dwFormatCode);
}

TAVREL_API int32_t qVideoEscape(int32_t nFormatIndex, int32_t, void*, int32_t, int32_t)
{
    return nFormatIndex >= 0 &&
                   static_cast<size_t>(nFormatIndex) < mio::video::videoFormats().size()
               ? 1
               : 0;
}

TAVREL_API int32_t qVideoGetFormatInfo(int32_t nFormatIndex, VideoFormatInfo* pInfo)
{
    return mio::video::fillFormatInfo(nFormatIndex, pInfo) ? 1 : 0;
}

TAVREL_API int32_t qVideoGetFileInfo(VideoFileInfo* pInfo)
{
    const VideoCalls* calls = library();
    return calls ? calls->getFileInfo(pInfo) : 0;
}

TAVREL_API int32_t qVideoFreeFileInfo(VideoFileInfo* pInfo)
{
    if (!pInfo) return 0;
    if (g_ready.load(std::memory_order_acquire)) return g_calls.freeFileInfo(pInfo);
    // Without the library nothing can be attached to the record; the caller's wide path
    // block is still ours to release, as the library would.
    if (pInfo->widePath) {
        if (HGLOBAL block = GlobalHandle(pInfo->widePath)) {
            GlobalUnlock(block);
            GlobalFree(block);
        }
        pInfo->widePath = nullptr;
    }
    pInfo->libraryAttachment = nullptr;
    return 1;
}

TAVREL_API int32_t qVideoCheckData(VideoCheckRecord* pRecord, int32_t nMode, int32_t nParam1,
                                   int32_t nParam2)
{
    const VideoCalls* calls = library();
    return calls ? calls->checkData(pRecord, nMode, nParam1, nParam2) : 0;
}

TAVREL_API int32_t qVideoGetMiscData(VideoFileInfo* pInfo, int32_t nItem, void* pBuffer,
                                     int32_t nBufSize)
{
    const VideoCalls* calls = library();
    return calls ? calls->getMiscData(pInfo, nItem, pBuffer, nBufSize) : 0;
}

TAVREL_API int32_t qVideoGetPreview(VideoFileInfo* pInfo, BITMAPINFOHEADER** ppDib)
{
    if (ppDib) *ppDib = nullptr;
    const VideoCalls* calls = library();
    return calls ? calls->getPreview(pInfo, ppDib) : 0;
}

TAVREL_API int32_t qVideoReadVideoBegin(VideoFileInfo* pInfo, int32_t nMode, HVIDEOREADER* phReader,
                                        const BITMAPINFOHEADER* pHeader)
{
    if (phReader) *phReader = nullptr;
    const VideoCalls* calls = library();
    return calls ? calls->readVideoBegin(pInfo, nMode, phReader, pHeader) : 0;
}

TAVREL_API int32_t qVideoReadVideo(VideoFileInfo* pInfo, int32_t nFrame, BITMAPINFOHEADER** ppDib,
                                   int32_t nReserved, HVIDEOREADER hReader)
{
    if (ppDib) *ppDib = nullptr;
    const VideoCalls* calls = library();
    return calls ? calls->readVideo(pInfo, nFrame, ppDib, nReserved, hReader) : 0;
}

TAVREL_API int32_t qVideoReadVideoEnd(HVIDEOREADER hReader)
{
    // A reader can only come from the loaded library.
    if (!hReader || !g_ready.load(std::memory_order_acquire)) return 0;
    return g_calls.readVideoEnd(hReader);
}
