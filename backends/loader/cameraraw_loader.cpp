// SPDX-License-Identifier: MIT
// The camera-raw library's calls as the engine links them: the LibRaw-backed library is opened
// when the first raw file is met.
#include "contracts/camera_raw_library.h"
#include "contracts/common_library.h"
#include "lazy_library.h"

#include <atomic>
#include <cstddef>
#include <iterator>

#ifndef MIO_CAMERARAW_LIBRARY_FILE
#error "MIO_CAMERARAW_LIBRARY_FILE must name the camera-raw library's shared object"
#endif

namespace {

struct RawCalls {
    decltype(&InitDCRaw) init;
    decltype(&IdentifyRawData) identify;
    decltype(&ClearDCRaw) clear;
    decltype(&GetMake) make;
    decltype(&GetModel) model;
    decltype(&GetFlashUsed) flash;
    decltype(&GetIsoSpeed) iso;
    decltype(&GetShutter) shutter;
    decltype(&GetAperture) aperture;
    decltype(&GetFocalLenr) focalLength;
    decltype(&GetTimeStamp) timestamp;
    decltype(&GetTiffFlip) flip;
    decltype(&EmbeddedThumbnail) hasThumbnail;
    decltype(&mioRawGetEmbeddedThumbnail) thumbnail;
};

constexpr const char* kNames[] = {"InitDCRaw",         "IdentifyRawData",
                                  "ClearDCRaw",        "GetMake",
                                  "GetModel",          "GetFlashUsed",
                                  "GetIsoSpeed",       "GetShutter",
                                  "GetAperture",       "GetFocalLenr",
                                  "GetTimeStamp",      "GetTiffFlip",
                                  "EmbeddedThumbnail", "mioRawGetEmbeddedThumbnail"};
constexpr size_t kCallCount = std::size(kNames);

mio::loader::LazyLibrary g_library{"camera raw", MIO_CAMERARAW_LIBRARY_FILE};
RawCalls g_calls{};
std::atomic<bool> g_ready{false};

template <typename Fn> void bindSlot(Fn& fn, void* slot)
{
    fn = reinterpret_cast<Fn>(slot);
}

const RawCalls* library()
{
    static const bool ready = [] {
        void* s[kCallCount] = {};
        if (!g_library.load(kNames, s, kCallCount)) return false;
        RawCalls calls{};
        bindSlot(calls.init, s[0]);
        bindSlot(calls.identify, s[1]);
        bindSlot(calls.clear, s[2]);
        bindSlot(calls.make, s[3]);
        bindSlot(calls.model, s[4]);
        bindSlot(calls.flash, s[5]);
        bindSlot(calls.iso, s[6]);
        bindSlot(calls.shutter, s[7]);
        bindSlot(calls.aperture, s[8]);
        bindSlot(calls.focalLength, s[9]);
        bindSlot(calls.timestamp, s[10]);
        bindSlot(calls.flip, s[11]);
        bindSlot(calls.hasThumbnail, s[12]);
        bindSlot(calls.thumbnail, s[13]);
        g_calls = calls;
        g_ready.store(true, std::memory_order_release);
        return true;
    }();
    if (ready) return &g_calls;
    g_library.reportFailure();
    return nullptr;
}

// A handle can only come from the loaded library, so calls on a handle never open it: before
// the first InitDCRaw they answer as for a null handle.
const RawCalls* loadedLibrary()
{
    return g_ready.load(std::memory_order_acquire) ? &g_calls : nullptr;
}

} // namespace

TAVREL_API HDCRAW InitDCRaw(LPCSTR pszFileName)
{
    if (!pszFileName) return nullptr;
    const RawCalls* calls = library();
    return calls ? calls->init(pszFileName) : nullptr;
}

TAVREL_API int IdentifyRawData(HDCRAW hRaw)
{
    if (const RawCalls* calls = loadedLibrary()) return calls->identify(hRaw);
    mioCommonSetLastError(mio::kLibErrArgument, "Camera raw: no handle");
    return mio::kLibErrArgument;
}

TAVREL_API void ClearDCRaw(HDCRAW hRaw)
{
    if (const RawCalls* calls = loadedLibrary()) calls->clear(hRaw);
}

TAVREL_API int GetMake(HDCRAW hRaw, LPSTR pszBuffer, int* pnLength)
{
    if (const RawCalls* calls = loadedLibrary()) return calls->make(hRaw, pszBuffer, pnLength);
    if (pnLength) *pnLength = 0;
    return 0;
}

TAVREL_API int GetModel(HDCRAW hRaw, LPSTR pszBuffer, int* pnLength)
{
    if (const RawCalls* calls = loadedLibrary()) return calls->model(hRaw, pszBuffer, pnLength);
    if (pnLength) *pnLength = 0;
    return 0;
}

TAVREL_API double GetFlashUsed(HDCRAW hRaw)
{
    const RawCalls* calls = loadedLibrary();
    return calls ? calls->flash(hRaw) : 0.0;
}

TAVREL_API double GetIsoSpeed(HDCRAW hRaw)
{
    const RawCalls* calls = loadedLibrary();
    return calls ? calls->iso(hRaw) : 0.0;
}

TAVREL_API double GetShutter(HDCRAW hRaw)
{
    const RawCalls* calls = loadedLibrary();
    return calls ? calls->shutter(hRaw) : 0.0;
}

TAVREL_API double GetAperture(HDCRAW hRaw)
{
    const RawCalls* calls = loadedLibrary();
    return calls ? calls->aperture(hRaw) : 0.0;
}

TAVREL_API double GetFocalLenr(HDCRAW hRaw)
{
    const RawCalls* calls = loadedLibrary();
    return calls ? calls->focalLength(hRaw) : 0.0;
}

TAVREL_API int64_t GetTimeStamp(HDCRAW hRaw)
{
    const RawCalls* calls = loadedLibrary();
    return calls ? calls->timestamp(hRaw) : 0;
}

TAVREL_API int GetTiffFlip(HDCRAW hRaw)
{
    const RawCalls* calls = loadedLibrary();
    return calls ? calls->flip(hRaw) : -1;
}

TAVREL_API int EmbeddedThumbnail(HDCRAW hRaw)
{
    const RawCalls* calls = loadedLibrary();
    return calls ? calls->hasThumbnail(hRaw) : 0;
}

TAVREL_API int mioRawGetEmbeddedThumbnail(HDCRAW hRaw, MioRawThumbnail* pThumbnail)
{
    if (const RawCalls* calls = loadedLibrary()) return calls->thumbnail(hRaw, pThumbnail);
    if (pThumbnail) *pThumbnail = MioRawThumbnail{};
    return 0;
}
