// SPDX-License-Identifier: MIT
// Opens a file as a media object the way the manager does: the library's record is made under
// the library's lock, and the new object takes over that lock with the record.
#pragma once

#include <contracts/still_image_library.h>
#include <contracts/video_library.h>

#include <cstring>
#include <filesystem>

#include "mediaobject/library_lock.h"
#include "mediaobject/media_file_io.h"

namespace mediatest {

inline ComPtr<IMediaFileIO> openImage(const std::filesystem::path& file)
{
    auto hold = mio::LibraryLockHold::enter(mio::imageLibraryLock());
    HGLOBAL block = qfFileGetFileData(file.c_str(), 0);
    if (!block) return {};
    ComPtr<IMediaFileIO> object;
    if (mio::CMediaFileIO::create(object.GetAddressOf()) != S_OK) {
        q32FileFreeFileData(block);
        return {};
    }
    if (object->SetImageData(block) != S_OK) return {};
    static_cast<mio::CMediaFileIO*>(object.Get())->adoptLibraryLock(*hold.release());
    return object;
}

inline ComPtr<IMediaFileIO> openVideo(const std::filesystem::path& file,
                                      int32_t parseMode = kVideoParseQuick)
{
    VideoFileInfo record{};
    record.recordSize = kVideoFileInfoSize;
    record.parseMode = parseMode;
    std::strncpy(record.ansiPath, file.c_str(), sizeof record.ansiPath - 1);
    auto hold = mio::LibraryLockHold::enter(mio::videoLibraryLock());
    if (qVideoGetFileInfo(&record) <= 0) return {};
    ComPtr<IMediaFileIO> object;
    if (mio::CMediaFileIO::create(object.GetAddressOf()) != S_OK) return {};
    if (object->SetVideoData(&record) != S_OK) return {};
    static_cast<mio::CMediaFileIO*>(object.Get())->adoptLibraryLock(*hold.release());
    return object;
}

} // namespace mediatest
