// SPDX-License-Identifier: MIT
// Small fakes of the file libraries, the common library and the camera-raw library, linked
// into engine tests in place of the backends so each case can set exactly what a library says.
#pragma once

#include <contracts/camera_raw_library.h>
#include <contracts/still_image_library.h>
#include <contracts/video_library.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fake {

struct VideoFormat {
    std::string extension;
    std::string name;
    uint32_t code = 0;
    std::vector<std::string> extra;
};

struct ImageFormat {
    std::string list;      // what qfFileGetFormatExt writes; refused when `refuse` is set
    std::string extension; // ImageFormatInfo extension
    std::string name;
    bool refuse = false;
};

struct RawFile {
    int identify = 0; // IdentifyRawData's answer
    std::string make, model;
    double flash = 0, iso = 0, shutter = 0, aperture = 0, focal = 0;
    int64_t timeStamp = 0;
    int flip = -1;
    int embedded = 0;
};

struct State {
    std::vector<VideoFormat> videoFormats;
    int32_t videoInitResult = -1; // -1: the number of videoFormats
    std::vector<ImageFormat> imageFormats;
    std::vector<std::string> calls; // video library start-up calls, in order
    int videoInitCalls = 0;
    int videoExitCalls = 0;
    int freeFileInfoCalls = 0;
    int freeFileDataCalls = 0;
    int checkCalls = 0;
    int32_t checkResult = 1;
    /// qVideoGetFileInfo: fills the record; returns the library's result. Default refuses.
    std::function<int32_t(VideoFileInfo&)> getFileInfo;
    /// qfFileGetFileData: the block for a path, or null. Default refuses.
    std::function<HGLOBAL(const char*)> getFileData;
    std::map<int32_t, std::string> misc; // qVideoGetMiscData bytes by item
    bool isRaw = false;
    RawFile raw;
    int rawHandlesOpen = 0;
};

/// The fakes' state; reset() frees what they allocated and restores the defaults.
State& state();
void reset();

/// A zero-filled ImageFileData block (movable global memory) as the still-image library makes.
HGLOBAL makeImageRecord(int32_t formatId, const std::string& path, int32_t width = 0,
                        int32_t height = 0, int32_t bitCount = 0);

} // namespace fake
