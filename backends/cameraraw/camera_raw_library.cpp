// SPDX-License-Identifier: MIT
// The camera-raw library's exported functions over RawFile; nothing thrown gets past them.
#include "contracts/camera_raw_library.h"

#include "contracts/common_library.h"
#include "raw_file.h"

#include <tavrel/platform/text.h>

#include <cstring>
#include <new>
#include <string>

struct CameraRawState {
    mio::RawFile file;
};

namespace {

// The library takes ANSI paths; the file system wants UTF-8, which differs only when the
// active code page is not UTF-8.
bool fileSystemName(LPCSTR ansi, std::string& out)
{
    if (GetACP() == CP_UTF8) {
        out = ansi;
        return true;
    }
    const int wide = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    if (wide <= 0) return false;
    std::u16string text(static_cast<size_t>(wide), u'\0');
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, text.data(), wide) != wide) return false;
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    out.assign(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), -1, out.data(), bytes, nullptr, nullptr) !=
        bytes)
        return false;
    out.resize(static_cast<size_t>(bytes - 1));
    return true;
}

const mio::RawShootingData* shootingData(HDCRAW hRaw)
{
    return hRaw && hRaw->file.identified() ? &hRaw->file.data() : nullptr;
}

int copyText(const std::string& text, LPSTR pszBuffer, int* pnLength)
{
    if (!pnLength) return 0;
    const int length = static_cast<int>(text.size());
    if (pszBuffer && *pnLength > 0) {
        const size_t room = static_cast<size_t>(*pnLength);
        std::memcpy(pszBuffer, text.data(), std::min(room, text.size()));
        if (room > text.size()) pszBuffer[text.size()] = '\0';
    }
    *pnLength = length;
    return length;
}

} // namespace

TAVREL_API HDCRAW InitDCRaw(LPCSTR pszFileName)
{
    if (!pszFileName) return nullptr;
    try {
        std::string name;
        if (!fileSystemName(pszFileName, name)) {
            mioCommonSetLastError(mio::kLibErrArgument, "Camera raw: the path is not valid text");
            return nullptr;
        }
        return new CameraRawState{mio::RawFile(std::move(name))};
    } catch (const std::bad_alloc&) {
        mioCommonSetLastError(mio::kLibErrMemory, "Camera raw: out of memory");
    } catch (...) {
        mioCommonSetLastError(mio::kLibErrGeneric, "Camera raw: internal failure");
    }
    return nullptr;
}

TAVREL_API int IdentifyRawData(HDCRAW hRaw)
{
    if (!hRaw) {
        mioCommonSetLastError(mio::kLibErrArgument, "Camera raw: no handle");
        return mio::kLibErrArgument;
    }
    try {
        return hRaw->file.identify();
    } catch (const std::bad_alloc&) {
        mioCommonSetLastError(mio::kLibErrMemory, "Camera raw: out of memory");
        return mio::kLibErrMemory;
    } catch (...) {
        mioCommonSetLastError(mio::kLibErrGeneric, "Camera raw: internal failure");
        return mio::kLibErrGeneric;
    }
}

TAVREL_API void ClearDCRaw(HDCRAW hRaw)
{
    delete hRaw;
}

TAVREL_API int GetMake(HDCRAW hRaw, LPSTR pszBuffer, int* pnLength)
{
    const auto* data = shootingData(hRaw);
    return copyText(data ? data->make : std::string(), pszBuffer, pnLength);
}

TAVREL_API int GetModel(HDCRAW hRaw, LPSTR pszBuffer, int* pnLength)
{
    const auto* data = shootingData(hRaw);
    return copyText(data ? data->model : std::string(), pszBuffer, pnLength);
}

TAVREL_API double GetFlashUsed(HDCRAW hRaw)
{
    const auto* data = shootingData(hRaw);
    return data ? data->flash : 0.0;
}

TAVREL_API double GetIsoSpeed(HDCRAW hRaw)
{
    const auto* data = shootingData(hRaw);
    return data ? data->iso : 0.0;
}

TAVREL_API double GetShutter(HDCRAW hRaw)
{
    const auto* data = shootingData(hRaw);
    return data ? data->shutter : 0.0;
}

TAVREL_API double GetAperture(HDCRAW hRaw)
{
    const auto* data = shootingData(hRaw);
    return data ? data->aperture : 0.0;
}

TAVREL_API double GetFocalLenr(HDCRAW hRaw)
{
    const auto* data = shootingData(hRaw);
    return data ? data->focalLength : 0.0;
}

TAVREL_API int64_t GetTimeStamp(HDCRAW hRaw)
{
    const auto* data = shootingData(hRaw);
    return data ? data->timestamp : 0;
}

TAVREL_API int GetTiffFlip(HDCRAW hRaw)
{
    const auto* data = shootingData(hRaw);
    return data ? data->flip : -1;
}

TAVREL_API int EmbeddedThumbnail(HDCRAW hRaw)
{
    MioRawThumbnail thumbnail{};
    return mioRawGetEmbeddedThumbnail(hRaw, &thumbnail);
}

TAVREL_API int mioRawGetEmbeddedThumbnail(HDCRAW hRaw, MioRawThumbnail* pThumbnail)
{
    if (!pThumbnail) return 0;
    *pThumbnail = MioRawThumbnail{};
    if (!hRaw) return 0;
    try {
        const mio::RawPreview* preview = hRaw->file.preview();
        if (!preview) return 0;
        pThumbnail->nFormat = preview->kind == mio::RawPreview::Kind::Jpeg
                                  ? MioRawThumbnailJpeg
                                  : MioRawThumbnailPackedDib;
        pThumbnail->nWidth = preview->width;
        pThumbnail->nHeight = preview->height;
        pThumbnail->cbData = static_cast<uint32_t>(preview->bytes.size());
        pThumbnail->pData = preview->bytes.data();
        return 1;
    } catch (...) {
        // bad_alloc while unpacking: report no preview; the handle stays usable.
        return 0;
    }
}
