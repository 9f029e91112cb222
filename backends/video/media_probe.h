// SPDX-License-Identifier: MIT
// Filling a VideoFileInfo from a file: the quick header parse and the full packet scan.
#pragma once

#include "contracts/video_library.h"

#include <cstdint>

namespace mio::video {

/// What the library keeps in the record's library area (offset 324, 48 bytes), so that misc
/// items need no second opening of the file and copies of the record stay self-contained.
struct RecordExtras {
    int64_t fileSize = 0;
    uint32_t videoBytesPerSec = 0;
    uint32_t audioBytesPerSec = 0;
    uint32_t videoFourCC = 0;
    int32_t videoCodecId = 0; ///< AVCodecID
    int32_t audioCodecId = 0; ///< AVCodecID
    int32_t rotation = 0;     ///< clockwise degrees that make the picture upright
    int32_t videoStream = -1;
    int32_t audioStream = -1;
    int32_t pictureStream = -1; ///< attached picture
    uint32_t magic = 0;         ///< kExtrasMagic once filled
};
static_assert(sizeof(RecordExtras) == sizeof(VideoFileInfo::libraryData));
inline constexpr uint32_t kExtrasMagic = 0x4D564931; // "MVI1"

RecordExtras readExtras(const VideoFileInfo& info);
void writeExtras(VideoFileInfo& info, const RecordExtras& extras);

/// Parses the file named by the record in its parseMode and fills the record. False with
/// the last error set; the record's result fields are then left zero.
[[nodiscard]] bool probeFile(VideoFileInfo& info);

} // namespace mio::video
