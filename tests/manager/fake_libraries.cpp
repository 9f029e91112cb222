// SPDX-License-Identifier: MIT
// The fakes behind fake_libraries.h: the library calls the engine makes, answering from State.
#include "manager/fake_libraries.h"

#include <contracts/common_library.h>
#include <contracts/exif_library.h>
#include <tavrel/platform/memory.h>

#include <algorithm>
#include <cstring>

namespace fake {

namespace {
State g_state;
std::map<int32_t, HGLOBAL> g_formatInfos;
} // namespace

State& state()
{
    return g_state;
}

void reset()
{
    for (auto& [id, block] : g_formatInfos)
        GlobalFree(block);
    g_formatInfos.clear();
    g_state = State{};
}

HGLOBAL makeImageRecord(int32_t formatId, const std::string& path, int32_t width, int32_t height,
                        int32_t bitCount)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData));
    auto* data = static_cast<ImageFileData*>(GlobalLock(block));
    data->formatId = formatId;
    std::strncpy(data->path, path.c_str(), sizeof data->path - 1);
    data->main.width = width;
    data->main.height = height;
    data->main.bitCount = bitCount;
    GlobalUnlock(block);
    return block;
}

} // namespace fake

using fake::g_state;

// ---- video library ----

TAVREL_API int32_t qVideoInit()
{
    ++g_state.videoInitCalls;
    g_state.calls.push_back("init");
    return g_state.videoInitResult >= 0 ? g_state.videoInitResult
                                        : static_cast<int32_t>(g_state.videoFormats.size());
}

TAVREL_API int32_t qVideoExit()
{
    ++g_state.videoExitCalls;
    return 1;
}

TAVREL_API int32_t qVideoGetFormatIndex(uint32_t code)
{
    for (size_t i = 0; i < g_state.videoFormats.size(); ++i)
        if (g_state.videoFormats[i].code == code) return static_cast<int32_t>(i);
    return -1;
}

TAVREL_API int32_t qVideoEscape(int32_t index, int32_t code, void* data, int32_t p1, int32_t p2)
{
    std::string call = "escape " + std::to_string(index) + " " + std::to_string(code);
    if (data) call += std::string(" ") + static_cast<const char*>(data);
    call += " " + std::to_string(p1) + " " + std::to_string(p2);
    g_state.calls.push_back(call);
    return 1;
}

TAVREL_API int32_t qVideoGetFormatInfo(int32_t index, VideoFormatInfo* info)
{
    if (!info || index < 0 || static_cast<size_t>(index) >= g_state.videoFormats.size()) return 0;
    const fake::VideoFormat& f = g_state.videoFormats[static_cast<size_t>(index)];
    std::strncpy(info->extension, f.extension.c_str(), sizeof info->extension - 1);
    std::strncpy(info->name, f.name.c_str(), sizeof info->name - 1);
    info->formatCode = f.code;
    info->extraExtensionCount = static_cast<int32_t>(f.extra.size());
    size_t offset = 0;
    for (const std::string& e : f.extra) {
        if (offset + e.size() + 1 > sizeof info->extraExtensions) break;
        std::memcpy(info->extraExtensions + offset, e.c_str(), e.size() + 1);
        offset += e.size() + 1;
    }
    return 1;
}

TAVREL_API int32_t qVideoGetFileInfo(VideoFileInfo* info)
{
    return g_state.getFileInfo ? g_state.getFileInfo(*info) : 0;
}

TAVREL_API int32_t qVideoFreeFileInfo(VideoFileInfo* info)
{
    ++g_state.freeFileInfoCalls;
    if (info && info->widePath) {
        HGLOBAL block = GlobalHandle(info->widePath);
        GlobalUnlock(block);
        GlobalFree(block);
        info->widePath = nullptr;
    }
    return 1;
}

TAVREL_API int32_t qVideoCheckData(VideoCheckRecord*, int32_t, int32_t, int32_t)
{
    ++g_state.checkCalls;
    return g_state.checkResult;
}

TAVREL_API int32_t qVideoGetMiscData(VideoFileInfo*, int32_t item, void* buffer, int32_t size)
{
    const auto it = g_state.misc.find(item);
    if (it == g_state.misc.end() || !buffer || size < static_cast<int32_t>(it->second.size()))
        return 0;
    std::memcpy(buffer, it->second.data(), it->second.size());
    return 1;
}

TAVREL_API int32_t qVideoReadVideoEnd(HVIDEOREADER)
{
    return 1;
}

// Pictures are out of scope of these fakes: no preview, no frame reader.
TAVREL_API int32_t qVideoGetPreview(VideoFileInfo*, BITMAPINFOHEADER** dib)
{
    *dib = nullptr;
    return 0;
}

TAVREL_API int32_t qVideoReadVideoBegin(VideoFileInfo*, int32_t, HVIDEOREADER* reader,
                                        const BITMAPINFOHEADER*)
{
    *reader = nullptr;
    return 0;
}

TAVREL_API int32_t qVideoReadVideo(VideoFileInfo*, int32_t, BITMAPINFOHEADER** dib, int32_t,
                                   HVIDEOREADER)
{
    *dib = nullptr;
    return 0;
}

// ---- still-image library ----

TAVREL_API int32_t qfFileGetFileFmtNum()
{
    return static_cast<int32_t>(g_state.imageFormats.size());
}

TAVREL_API int32_t qfFileGetFormatExt(int32_t id, char* area, int32_t)
{
    if (id < 1 || static_cast<size_t>(id) > g_state.imageFormats.size() || !area) return 0;
    const fake::ImageFormat& f = g_state.imageFormats[static_cast<size_t>(id - 1)];
    if (f.refuse) return 0;
    // Exactly what a library filling the whole area would leave: no terminator when full.
    std::memset(area, 0, QF_FORMAT_EXT_AREA);
    std::memcpy(area, f.list.data(), std::min<size_t>(f.list.size(), QF_FORMAT_EXT_AREA));
    return 1;
}

TAVREL_API HGLOBAL qfFileGetFormatInfo(int32_t id)
{
    if (id < 1 || static_cast<size_t>(id) > g_state.imageFormats.size()) return nullptr;
    HGLOBAL& block = fake::g_formatInfos[id];
    if (!block) {
        block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFormatInfo));
        auto* info = static_cast<ImageFormatInfo*>(GlobalLock(block));
        const fake::ImageFormat& f = g_state.imageFormats[static_cast<size_t>(id - 1)];
        info->formatId = id;
        std::strncpy(info->extension, f.extension.c_str(), sizeof info->extension - 1);
        std::strncpy(info->name, f.name.c_str(), sizeof info->name - 1);
        GlobalUnlock(block);
    }
    return block;
}

TAVREL_API HGLOBAL qfFileGetFileData(const char* path, int32_t)
{
    return g_state.getFileData ? g_state.getFileData(path) : nullptr;
}

TAVREL_API int32_t q32FileFreeFileData(HGLOBAL block)
{
    ++g_state.freeFileDataCalls;
    return GlobalFree(block) == nullptr;
}

TAVREL_API int32_t q32FileIsDSCRawDataFile(const char*)
{
    return g_state.isRaw ? 1 : 0;
}

// Pixels are not faked: reading and writing fail as a library without decoders would.
TAVREL_API int32_t qfFileGetFormatID(const char*)
{
    return 0;
}

TAVREL_API int32_t qfFileRead(HGLOBAL, QfTransferBlock*, QfReadRowsProc)
{
    return 0;
}

TAVREL_API int32_t qfFileReadMerged(HGLOBAL, QfTransferBlock*, QfReadRowsProc)
{
    return 0;
}

TAVREL_API int32_t qfFileWrite(HGLOBAL, QfTransferBlock*, QfWriteRowsProc)
{
    return 0;
}

// ---- common library ----

TAVREL_API void c32ResetDLLErrInfo() {}

TAVREL_API int c32GetDLLErrorInfo(LPSTR text, int size, int, int, int, int)
{
    if (text && size > 0) text[0] = '\0';
    return 0;
}

TAVREL_API int q32GetKelvraIniFileName(LPSTR path, int size)
{
    if (path && size > 0) path[0] = '\0';
    return 0;
}

// ---- camera-raw library: one file at a time, described by State::raw ----

struct CameraRawState {
    int identified = 0;
};

TAVREL_API HDCRAW InitDCRaw(LPCSTR path)
{
    if (!path) return nullptr;
    ++g_state.rawHandlesOpen;
    return new CameraRawState;
}

TAVREL_API int IdentifyRawData(HDCRAW raw)
{
    raw->identified = g_state.raw.identify == 0;
    return g_state.raw.identify;
}

TAVREL_API void ClearDCRaw(HDCRAW raw)
{
    if (!raw) return;
    --g_state.rawHandlesOpen;
    delete raw;
}

namespace {
int copyName(const std::string& text, LPSTR buffer, int* length)
{
    if (!length) return 0;
    if (buffer) {
        const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(std::max(*length, 0)));
        std::memcpy(buffer, text.data(), n);
        if (n < static_cast<size_t>(*length)) buffer[n] = '\0';
    }
    *length = static_cast<int>(text.size());
    return *length;
}
} // namespace

TAVREL_API int GetMake(HDCRAW, LPSTR buffer, int* length)
{
    return copyName(g_state.raw.make, buffer, length);
}
TAVREL_API int GetModel(HDCRAW, LPSTR buffer, int* length)
{
    return copyName(g_state.raw.model, buffer, length);
}
TAVREL_API double GetFlashUsed(HDCRAW)
{
    return g_state.raw.flash;
}
TAVREL_API double GetIsoSpeed(HDCRAW)
{
    return g_state.raw.iso;
}
TAVREL_API double GetShutter(HDCRAW)
{
    return g_state.raw.shutter;
}
TAVREL_API double GetAperture(HDCRAW)
{
    return g_state.raw.aperture;
}
TAVREL_API double GetFocalLenr(HDCRAW)
{
    return g_state.raw.focal;
}
TAVREL_API int64_t GetTimeStamp(HDCRAW)
{
    return g_state.raw.timeStamp;
}
TAVREL_API int GetTiffFlip(HDCRAW)
{
    return g_state.raw.flip;
}
TAVREL_API int EmbeddedThumbnail(HDCRAW)
{
    return g_state.raw.embedded;
}

// The fakes carry no metadata: no EXIF reader for any file and no property block.
TAVREL_API HEXIFREADER qExifLoadFile(LPCSTR)
{
    return nullptr;
}
TAVREL_API int qExifIsExifExist(HEXIFREADER)
{
    return 0;
}
TAVREL_API int qExifGetTag(HEXIFREADER, int, ExifTagValue* pValue, int)
{
    if (pValue) pValue->pData = nullptr;
    return 1;
}
TAVREL_API void qExifDestroy(HEXIFREADER) {}
TAVREL_API int32_t qfFileGetProperty(HGLOBAL, HGLOBAL* phProperty)
{
    if (phProperty) *phProperty = nullptr;
    return 0;
}
TAVREL_API int32_t qfFileFreeProperty(HGLOBAL, HGLOBAL)
{
    return 0;
}
