// SPDX-License-Identifier: MIT
// Set-up shared by the media object thumbnail suites: the libraries they load, videos opened
// fully parsed, corpus folders and the thumbnail box check.
#pragma once

#include <contracts/video_library.h>
#include <contracts/wincodec.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <vector>

#include "media_object_open.h"
#include "metadata/tag_editor_source.h"
#include "support/test_support.h"

namespace mediatest {

class ThumbnailEnvironment : public ::testing::Environment {
    void SetUp() override
    {
        mio::libraryLocksInit();
        mio::tagEditorLockInit();
        qVideoInit();
        mioImagingRegister();
    }
    void TearDown() override
    {
        mioImagingUnregister();
        qVideoExit();
        mio::tagEditorLockFini();
        mio::libraryLocksFini();
    }
};

inline ComPtr<IMediaFileIO> openFullVideo(const std::filesystem::path& file)
{
    return openVideo(file, kVideoParseFull);
}

// Regular files of the given corpus folders, sorted; none when the corpus is absent.
inline std::vector<std::filesystem::path> corpusFiles(std::initializer_list<const char*> folders)
{
    std::vector<std::filesystem::path> files;
    for (const char* folder : folders) {
        const auto dir = support::corpusDir() / folder;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

inline void expectWithin(const BITMAPINFOHEADER* dib, int wl, int hl)
{
    ASSERT_NE(dib, nullptr);
    EXPECT_GT(dib->biWidth, 0);
    EXPECT_GT(dib->biHeight, 0);
    EXPECT_LE(dib->biWidth, wl);
    EXPECT_LE(dib->biHeight, hl);
    EXPECT_TRUE(dib->biBitCount == 24 || dib->biBitCount == 32) << dib->biBitCount;
}

} // namespace mediatest
