// SPDX-License-Identifier: MIT
// The media object's record hand-over, ParseDetail and property getters over faked libraries.
#include <gtest/gtest.h>
#include <tavrel/platform/files.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>

#include "manager/fake_libraries.h"
#include "mediaobject/media_file_io.h"
#include "support/test_support.h"

namespace {

using mio::CMediaFileIO;

ComPtr<IMediaFileIO> newObject()
{
    ComPtr<IMediaFileIO> object;
    EXPECT_EQ(CMediaFileIO::create(object.GetAddressOf()), S_OK);
    return object;
}

CMediaFileIO* implOf(const ComPtr<IMediaFileIO>& object)
{
    return static_cast<CMediaFileIO*>(object.Get());
}

std::string bytesOf(uint32_t v)
{
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

// Whether another thread could take the file-library lock now.
bool lockIsFree()
{
    return std::async(std::launch::async,
                      [] {
                          mio::LibraryLock& lock = mio::videoLibraryLock();
                          const bool entered = lock.tryEnter();
                          if (entered) lock.leave();
                          return entered;
                      })
        .get();
}

class MediaObjectTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fake::reset();
        fake::state().videoFormats = {{"mp4", "MPEG-4 video", 0x80000020, {}},
                                      {"xx", "Unnumbered", 0x3, {}}};
        fake::state().imageFormats = {
            {"jpg", "jpg", "JPEG"}, {"tif", "TIF", "TIFF"}, {"xyz", "xyz", "Other"}};
        m_video.recordSize = kVideoFileInfoSize;
        std::strcpy(m_video.ansiPath, "/x/clip.mp4");
        m_video.hasVideo = 1;
        m_video.hasAudio = 1;
        m_video.width = 1920;
        m_video.height = 1080;
        m_video.bitCount = 24;
        m_video.totalFrames = 2500;
        m_video.frameRate = 25000;
        m_video.audioSamples = 441000;
        m_video.audioSampleRate = 44100;
        m_video.audioBits = 16;
        m_video.audioChannels = 2;
        m_video.fileSize = 123456;
    }
    void TearDown() override { fake::reset(); }

    ComPtr<IMediaFileIO> videoObject()
    {
        auto object = newObject();
        EXPECT_EQ(object->SetVideoData(&m_video), S_OK);
        return object;
    }
    ComPtr<IMediaFileIO> imageObject(int32_t formatId, const std::string& path = "/x/a.jpg")
    {
        auto object = newObject();
        EXPECT_EQ(object->SetImageData(fake::makeImageRecord(formatId, path, 640, 480, 8)), S_OK);
        return object;
    }

    VideoFileInfo m_video{};
};

TEST_F(MediaObjectTest, VideoTiming)
{
    auto object = videoObject();
    double rate = 0, duration = 0;
    EXPECT_EQ(object->GetFrameRate(&rate), S_OK);
    EXPECT_DOUBLE_EQ(rate, 25.0);
    EXPECT_EQ(object->GetDuration(&duration), S_OK);
    EXPECT_DOUBLE_EQ(duration, 100.0);
    EXPECT_EQ(object->GetResolution(nullptr, nullptr), E_FAIL);
    EXPECT_EQ(object->EnableBGRA32(VARIANT_TRUE), E_FAIL);
}

TEST_F(MediaObjectTest, ImageRecordProperties)
{
    HGLOBAL block = fake::makeImageRecord(1, "/x/a.jpg", 640, 480, 8);
    static_cast<ImageFileData*>(GlobalLock(block))->main.xResolution = 720000;
    GlobalUnlock(block);
    auto object = newObject();
    ASSERT_EQ(object->SetImageData(block), S_OK);
    int32_t x = 0, frames = 0;
    double rate = 0;
    EXPECT_EQ(object->GetResolution(&x, nullptr), S_OK);
    EXPECT_EQ(x, 720000);
    EXPECT_EQ(object->GetTotalFrames(&frames), S_OK);
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(object->GetFrameRate(&rate), E_FAIL);
    EXPECT_EQ(object->ParseDetail(), S_OK);
    object.Reset();
    EXPECT_EQ(fake::state().freeFileDataCalls, 1);
}

TEST_F(MediaObjectTest, AudioOnlyFile)
{
    m_video.hasVideo = 0;
    m_video.frameRate = 0;
    auto object = videoObject();
    int32_t type = 0, rate = 0, bits = 0, channels = 0;
    double duration = 0, frameRate = -1;
    EXPECT_EQ(object->GetFileType(&type), S_OK);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(object->GetDuration(&duration), S_OK);
    EXPECT_DOUBLE_EQ(duration, 10.0);
    EXPECT_EQ(object->GetFrameRate(&frameRate), S_OK);
    EXPECT_EQ(frameRate, 0.0);
    EXPECT_EQ(object->GetAudioAttributes(&rate, &bits, &channels), S_OK);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(channels, 2);
    int32_t x = 0;
    WCHAR name[64];
    EXPECT_EQ(object->GetAspectRatio(&x, &x), E_FAIL);
    EXPECT_EQ(object->GetVideoCodecName(name, sizeof name), E_FAIL);
}

TEST_F(MediaObjectTest, ZeroRatesGiveNoDurationInsteadOfInfinity)
{
    m_video.frameRate = 0;
    double duration = 0;
    EXPECT_EQ(videoObject()->GetDuration(&duration), E_FAIL);
    m_video.hasVideo = 0;
    m_video.audioSampleRate = 0;
    EXPECT_EQ(videoObject()->GetDuration(&duration), E_FAIL);
}

TEST_F(MediaObjectTest, BothAspectFlagsReadAsFourToThree)
{
    int32_t x = 0, y = 0;
    m_video.flags = kVideoFlagAspect4x3 | kVideoFlagAspect16x9;
    EXPECT_EQ(videoObject()->GetAspectRatio(&x, &y), S_OK);
    EXPECT_EQ(x * 10 + y, 43);
}

TEST_F(MediaObjectTest, BitRatesFromTheLibraryInBitsPerSecond)
{
    double total = 0, video = 0, audio = 0;
    EXPECT_EQ(videoObject()->GetBitRate(&total, &video, &audio), E_FAIL); // both 0
    fake::state().misc[kVideoMiscVideoBytesPerSec] = bytesOf(1000);
    fake::state().misc[kVideoMiscAudioBytesPerSec] = bytesOf(500);
    EXPECT_EQ(videoObject()->GetBitRate(&total, &video, &audio), S_OK);
    EXPECT_EQ(total, 12000.0);
    EXPECT_EQ(video, 8000.0);
    EXPECT_EQ(audio, 4000.0);
    m_video.hasAudio = 0; // the audio rate is then not asked for
    EXPECT_EQ(videoObject()->GetBitRate(&total, nullptr, nullptr), S_OK);
    EXPECT_EQ(total, 8000.0);
}

TEST_F(MediaObjectTest, FileSizePrefersTheLibrarys64BitValue)
{
    uint64_t size = 0;
    EXPECT_EQ(videoObject()->GetFileSize(&size), S_OK);
    EXPECT_EQ(size, 123456u);
    const int64_t big = 5'000'000'000;
    fake::state().misc[kVideoMiscFileSize64] = std::string(reinterpret_cast<const char*>(&big), 8);
    EXPECT_EQ(videoObject()->GetFileSize(&size), S_OK);
    EXPECT_EQ(size, 5'000'000'000u);
}

TEST_F(MediaObjectTest, CodecNamesAndCodecInfo)
{
    fake::state().misc[kVideoMiscVideoCodecName] = std::string("h264") + '\0';
    fake::state().misc[kVideoMiscVideoFourCC] = bytesOf(0x34363268);
    auto object = videoObject();
    WCHAR name[5] = {u'?', u'?', u'?', u'?', u'?'};
    EXPECT_EQ(object->GetVideoCodecName(name, 10), S_OK);
    EXPECT_EQ(std::u16string(name), u"h264");
    // One character short: refused, never a cut or unterminated text.
    EXPECT_EQ(object->GetVideoCodecName(name, 8), E_INVALIDARG);
    EXPECT_EQ(object->GetVideoCodecName(nullptr, 10), E_INVALIDARG);
    // Absent from the file: the zeroed buffer gives an empty name.
    EXPECT_EQ(object->GetAudioCodecName(name, 10), S_OK);
    EXPECT_EQ(name[0], u'\0');
    DWORD info = 7;
    EXPECT_EQ(object->GetCodecInfo(&info), S_OK);
    EXPECT_EQ(info, 0x34363268u);
    info = 7;
    EXPECT_EQ(imageObject(1)->GetCodecInfo(&info), E_FAIL);
    EXPECT_EQ(info, 0u);
}

TEST_F(MediaObjectTest, FormatNamesAndIds)
{
    WCHAR text[32];
    int32_t id = -1;
    auto video = videoObject();
    EXPECT_EQ(video->GetFileFormatName(text, sizeof text), S_OK);
    EXPECT_EQ(std::u16string(text), u"MPEG-4 video");
    EXPECT_EQ(video->GetFileFormatExtName(text, sizeof text), S_OK);
    EXPECT_EQ(std::u16string(text), u"mp4");
    EXPECT_EQ(video->GetFileFormatID(&id), S_OK);
    EXPECT_EQ(id, 36);
    m_video.formatIndex = 1; // a code with two bits is in no table row
    EXPECT_EQ(videoObject()->GetFileFormatID(&id), E_FAIL);

    EXPECT_EQ(imageObject(1)->GetFileFormatID(&id), S_OK);
    EXPECT_EQ(id, 53);
    EXPECT_EQ(imageObject(2)->GetFileFormatID(&id), S_OK); // "TIF", compared ignoring case
    EXPECT_EQ(id, 71);
    EXPECT_EQ(imageObject(3)->GetFileFormatID(&id), E_FAIL);
    EXPECT_EQ(imageObject(2)->GetFileFormatName(text, sizeof text), S_OK);
    EXPECT_EQ(std::u16string(text), u"TIFF");
    EXPECT_EQ(imageObject(2)->GetFileFormatName(text, 8), E_INVALIDARG);
}

TEST_F(MediaObjectTest, ParseDetailRereadsFullyKeepingPathAndWideBlock)
{
    m_video.flags = kVideoFlagDetailsLeftOut | kVideoFlagWidePath;
    m_video.parseMode = kVideoParseQuick;
    HGLOBAL wideBlock = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 520);
    m_video.widePath = static_cast<WCHAR*>(GlobalLock(wideBlock));
    VideoFileInfo seen{};
    fake::state().getFileInfo = [&](VideoFileInfo& v) {
        seen = v;
        v.hasVideo = 1;
        v.totalFrames = 2510;
        v.frameRate = 25000;
        return 1;
    };
    auto object = videoObject();
    EXPECT_EQ(object->ParseDetail(), S_OK);
    EXPECT_EQ(seen.recordSize, kVideoFileInfoSize);
    EXPECT_EQ(seen.parseMode, kVideoParseFull);
    EXPECT_STREQ(seen.ansiPath, "/x/clip.mp4");
    EXPECT_EQ(seen.widePath, m_video.widePath);
    EXPECT_EQ(seen.flags, kVideoFlagWidePath);
    EXPECT_EQ(seen.totalFrames, 0); // everything else zeroed before the re-read
    int32_t frames = 0;
    EXPECT_EQ(object->GetTotalFrames(&frames), S_OK);
    EXPECT_EQ(frames, 2510);
    // The first free left the wide block alone; the object's release frees it.
    EXPECT_EQ(fake::state().freeFileInfoCalls, 1);
    object.Reset();
    EXPECT_EQ(fake::state().freeFileInfoCalls, 2);
}

TEST_F(MediaObjectTest, FailedParseDetailDropsRecordAndLeavesLock)
{
    m_video.flags = kVideoFlagDetailsLeftOut;
    auto object = videoObject();
    {
        auto hold = mio::LibraryLockHold::enter(mio::videoLibraryLock());
        implOf(object)->adoptLibraryLock(*hold.release());
    }
    EXPECT_FALSE(lockIsFree());
    EXPECT_EQ(object->ParseDetail(), E_FAIL); // the fake refuses by default
    EXPECT_FALSE(implOf(object)->holdsLibraryLock());
    EXPECT_TRUE(lockIsFree());
    int32_t type = 0;
    EXPECT_EQ(object->GetFileType(&type), E_FAIL);
}

TEST_F(MediaObjectTest, ReleaseFreesRecordThenLeavesLock)
{
    auto object = videoObject();
    {
        auto hold = mio::LibraryLockHold::enter(mio::videoLibraryLock());
        implOf(object)->adoptLibraryLock(*hold.release());
    }
    EXPECT_FALSE(lockIsFree());
    object.Reset();
    EXPECT_EQ(fake::state().freeFileInfoCalls, 1);
    EXPECT_TRUE(lockIsFree());
}

TEST_F(MediaObjectTest, CameraRawFileGetsItsSourceAndMarker)
{
    fake::state().isRaw = true;
    fake::state().raw.embedded = 1;
    HGLOBAL block = fake::makeImageRecord(1, "/x/a.cr2");
    auto object = newObject();
    ASSERT_EQ(object->SetImageData(block), S_OK);
    EXPECT_TRUE(implOf(object)->isCameraRaw());
    EXPECT_EQ(static_cast<ImageFileData*>(GlobalLock(block))->cameraRaw, 1);
    GlobalUnlock(block);
    EXPECT_EQ(object->HasPreviewThumbnail(), S_OK);
    fake::state().raw.embedded = 0;
    EXPECT_EQ(object->HasPreviewThumbnail(), S_FALSE);
    object.Reset();
    EXPECT_EQ(fake::state().rawHandlesOpen, 0);
}

TEST_F(MediaObjectTest, RawFileTheRawLibraryRefusesIsAPlainImage)
{
    fake::state().isRaw = true;
    fake::state().raw.identify = 3;
    HGLOBAL block = fake::makeImageRecord(1, "/x/a.cr2");
    auto object = newObject();
    ASSERT_EQ(object->SetImageData(block), S_OK);
    EXPECT_FALSE(implOf(object)->isCameraRaw());
    EXPECT_EQ(fake::state().rawHandlesOpen, 0);
    EXPECT_EQ(static_cast<ImageFileData*>(GlobalLock(block))->cameraRaw, 0);
    GlobalUnlock(block);
    EXPECT_EQ(object->HasPreviewThumbnail(), S_FALSE);
}

TEST_F(MediaObjectTest, FileTimeOfAVanishedFileCarriesFileNotFound)
{
    support::TempDir dir;
    const auto file = dir / "clip.mp4";
    std::ofstream(file) << "data";
    std::strcpy(m_video.ansiPath, file.c_str());
    auto object = videoObject();
    FILETIME created{}, modified{};
    ASSERT_EQ(object->GetFileTime(&created, &modified), S_OK);
    std::filesystem::remove(file);
    EXPECT_EQ(object->GetFileTime(&created, &modified), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

} // namespace
