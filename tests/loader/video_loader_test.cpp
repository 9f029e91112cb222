// SPDX-License-Identifier: MIT
// The video and camera-raw loaders linked on their own: format calls answer exactly as the
// FFmpeg-backed library does, and calls that need a missing library fail cleanly.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <tavrel/platform/memory.h>

#include <cstring>
#include <string>

#include "contracts/camera_raw_library.h"
#include "contracts/common_library.h"
#include "contracts/video_library.h"

namespace {

std::string lastErrorText()
{
    char text[512] = {};
    c32GetDLLErrorInfo(text, sizeof text, 0, 0, 0, 0);
    return text;
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

template <typename F> F bind(void* handle, const char* name)
{
    return reinterpret_cast<F>(dlsym(handle, name));
}

TEST(VideoLoader, FormatCallsMatchTheRealLibrary)
{
    void* real = dlopen(MIO_VIDEO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(real, nullptr) << dlerror();
    auto init = bind<PFN_qVideoInit>(real, "qVideoInit");
    auto exit = bind<PFN_qVideoExit>(real, "qVideoExit");
    auto formatInfo = bind<PFN_qVideoGetFormatInfo>(real, "qVideoGetFormatInfo");
    auto formatIndex = bind<PFN_qVideoGetFormatIndex>(real, "qVideoGetFormatIndex");
    auto escape = bind<PFN_qVideoEscape>(real, "qVideoEscape");
    ASSERT_TRUE(init && exit && formatInfo && formatIndex && escape);
    ASSERT_NE(reinterpret_cast<void*>(formatInfo), reinterpret_cast<void*>(&qVideoGetFormatInfo));

    const int32_t count = init();
    ASSERT_GT(count, 0);
    EXPECT_EQ(qVideoInit(), count);
    for (int32_t i = -1; i <= count; ++i) {
        VideoFormatInfo mine{};
        VideoFormatInfo theirs{};
        EXPECT_EQ(qVideoGetFormatInfo(i, &mine), formatInfo(i, &theirs)) << i;
        EXPECT_EQ(std::memcmp(&mine, &theirs, sizeof mine), 0) << "format " << i;
        for (int32_t code : {20, 21, 22, 25})
            EXPECT_EQ(qVideoEscape(i, code, nullptr, 0, 0), escape(i, code, nullptr, 0, 0)) << i;
    }
    EXPECT_EQ(qVideoGetFormatInfo(0, nullptr), formatInfo(0, nullptr));
    EXPECT_EQ(qVideoGetFormatIndex(0), formatIndex(0));
    for (int bit = 0; bit < 32; ++bit)
        EXPECT_EQ(qVideoGetFormatIndex(1u << bit), formatIndex(1u << bit)) << bit;
    EXPECT_EQ(qVideoExit(), exit());
    // The real object stays open: unloading FFmpeg mid-process is not something hosts do.
}

TEST(VideoLoader, FileCallsWithoutTheLibraryFailAndLeaveTheRecordAlone)
{
    VideoFileInfo info{};
    info.recordSize = kVideoFileInfoSize;
    std::strcpy(info.ansiPath, "/nonexistent/clip.mp4");
    info.parseMode = kVideoParseQuick;

    c32ResetDLLErrInfo();
    EXPECT_EQ(qVideoGetFileInfo(&info), 0);
    const std::string text = lastErrorText();
    EXPECT_TRUE(startsWith(text, "video library not available: ")) << text;
    EXPECT_EQ(info.formatIndex, 0);
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.libraryAttachment, nullptr);

    // Each failing call reports again: the engine clears the last error before every parse.
    c32ResetDLLErrInfo();
    auto* dib = reinterpret_cast<BITMAPINFOHEADER*>(&info);
    EXPECT_EQ(qVideoGetPreview(&info, &dib), 0);
    EXPECT_EQ(dib, nullptr);
    EXPECT_EQ(lastErrorText(), text);

    auto reader = reinterpret_cast<HVIDEOREADER>(&info);
    EXPECT_EQ(qVideoReadVideoBegin(&info, kVideoReadRough, &reader, nullptr), 0);
    EXPECT_EQ(reader, nullptr);
    dib = reinterpret_cast<BITMAPINFOHEADER*>(&info);
    EXPECT_EQ(qVideoReadVideo(&info, 0, &dib, 0, reinterpret_cast<HVIDEOREADER>(&info)), 0);
    EXPECT_EQ(dib, nullptr);
    // A handle the library never made is not followed.
    EXPECT_EQ(qVideoReadVideoEnd(reinterpret_cast<HVIDEOREADER>(&info)), 0);
    EXPECT_EQ(qVideoReadVideoEnd(nullptr), 0);

    VideoCheckRecord check{};
    check.recordSize = kVideoCheckRecordSize;
    EXPECT_EQ(qVideoCheckData(&check, kVideoCheckFirstFrame, 0, 0), 0);
    char name[64] = "unchanged";
    EXPECT_EQ(qVideoGetMiscData(&info, kVideoMiscVideoCodecName, name, sizeof name), 0);
    EXPECT_STREQ(name, "unchanged");
}

TEST(VideoLoader, FreeingARecordReleasesTheWidePathWithoutTheLibrary)
{
    VideoFileInfo info{};
    info.recordSize = kVideoFileInfoSize;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 520);
    ASSERT_NE(block, nullptr);
    info.widePath = static_cast<WCHAR*>(GlobalLock(block));
    ASSERT_NE(info.widePath, nullptr);
    info.flags = kVideoFlagWidePath;

    EXPECT_EQ(qVideoFreeFileInfo(&info), 1);
    EXPECT_EQ(info.widePath, nullptr);
    EXPECT_EQ(qVideoFreeFileInfo(&info), 1); // nothing left to release
    EXPECT_EQ(qVideoFreeFileInfo(nullptr), 0);
}

TEST(CameraRawLoader, WithoutTheLibraryHandlesAreNeverMadeAndGettersSayNone)
{
    c32ResetDLLErrInfo();
    EXPECT_EQ(InitDCRaw("/nonexistent/shot.cr2"), nullptr);
    const std::string text = lastErrorText();
    EXPECT_TRUE(startsWith(text, "camera raw library not available: ")) << text;
    EXPECT_EQ(InitDCRaw(nullptr), nullptr);

    EXPECT_EQ(IdentifyRawData(nullptr), mio::kLibErrArgument);
    int length = 99;
    EXPECT_EQ(GetMake(nullptr, nullptr, &length), 0);
    EXPECT_EQ(length, 0);
    length = 99;
    EXPECT_EQ(GetModel(nullptr, nullptr, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(GetIsoSpeed(nullptr), 0.0);
    EXPECT_EQ(GetTimeStamp(nullptr), 0);
    EXPECT_EQ(GetTiffFlip(nullptr), -1);
    EXPECT_EQ(EmbeddedThumbnail(nullptr), 0);
    MioRawThumbnail thumbnail{MioRawThumbnailJpeg, 1, 1, 1, nullptr};
    EXPECT_EQ(mioRawGetEmbeddedThumbnail(nullptr, &thumbnail), 0);
    EXPECT_EQ(thumbnail.nFormat, MioRawThumbnailNone);
    EXPECT_EQ(thumbnail.cbData, 0u);
    ClearDCRaw(nullptr);
}

} // namespace
