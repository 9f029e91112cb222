// SPDX-License-Identifier: MIT
// The video library over files made on the spot with the ffmpeg tool: parsing, misc items,
// the data check, attached pictures, the frame reader and bad input.
#include "support/test_support.h"
#include "video_formats.h"
#include "video_test_support.h"

#include <tavrel/platform/memory.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

using namespace videotest;
namespace fs = std::filesystem;

namespace {

bool haveFfmpegTool()
{
    return std::system("command -v ffmpeg > /dev/null 2>&1") == 0;
}

bool runFfmpeg(const std::string& arguments)
{
    std::string command = "ffmpeg -nostdin -v error -y " + arguments + " > /dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

int indexOfExtension(std::string_view ext)
{
    auto formats = mio::video::videoFormats();
    for (size_t i = 0; i < formats.size(); ++i)
        if (mio::video::formatHasExtension(formats[i], ext)) return static_cast<int>(i);
    return -1;
}

// Media made with the ffmpeg tool on first use in a folder shared by the suite's tests.
class GeneratedMedia : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        if (haveFfmpegTool()) s_dir = new support::TempDir();
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override
    {
        if (!s_dir) GTEST_SKIP() << "the ffmpeg tool is not installed";
        c32ResetDLLErrInfo();
    }

    // Path of a generated file, made now when missing; a failure to make it fails the test.
    static fs::path file(const std::string& name)
    {
        fs::path path = s_dir->path() / name;
        if (!fs::exists(path)) {
            std::string arguments = recipe(name);
            EXPECT_FALSE(arguments.empty()) << "no recipe for " << name;
            EXPECT_TRUE(runFfmpeg(arguments + " " + path.string())) << "cannot make " << name;
        }
        return path;
    }

    static std::string recipe(const std::string& name)
    {
        // 30 frames at 10 per second; frame n is grey level 8 n.
        const std::string ramp =
            "-f lavfi -i \"color=black:s=64x48:r=10:d=3,format=gray,geq=lum='8*N'\" "
            "-sc_threshold 1000000000 -q:v 2 -pix_fmt yuv420p ";
        const std::string tone = "-f lavfi -i \"sine=f=440:d=1:r=8000\" ";
        // A key frame every 10.
        if (name == "ramp.mp4") return ramp + "-c:v mpeg4 -g 10 -bf 0";
        // With B-frames in a transport stream, where seeks go by timestamp and land between
        // key frames.
        if (name == "ramp.ts") return ramp + "-c:v mpeg2video -g 10 -bf 2 -f mpegts";
        // Every frame a JPEG picture: decoded at a reduced size when delivered small.
        if (name == "ramp.avi") return ramp + "-c:v mjpeg";
        // ASF stores no frame rate: a quick parse has to find it.
        if (name == "ramp.wmv") return ramp + "-c:v wmv2 -g 10";
        // Left half white, right half black; then stored with a display rotation.
        if (name == "flat.mp4")
            return "-f lavfi -i \"color=white:s=32x48:r=10:d=1[a];"
                   "color=black:s=32x48:r=10:d=1[b];[a][b]hstack\" -c:v mpeg4";
        if (name == "rotated.mp4")
            return "-i " + file("flat.mp4").string() + " -c copy -metadata:s:v:0 rotate=90";
        if (name == "tone.wav") return tone + "-c:a pcm_s16le";
        if (name == "cover.jpg") return "-f lavfi -i color=red:s=40x30:d=1 -frames:v 1";
        if (name == "cover.flac")
            return tone + "-i " + file("cover.jpg").string() +
                   " -map 0 -map 1 -c:a flac -c:v copy -disposition:v attached_pic";
        return {};
    }

    static support::TempDir* s_dir;
};
support::TempDir* GeneratedMedia::s_dir = nullptr;

std::vector<uint8_t> toBytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

// Grey level of ramp frame n after the round trip through 4:2:0 and RGB.
constexpr int rampGrey(int n)
{
    return 8 * n;
}

} // namespace

TEST(VideoLibrary, EntryPointsDescribeTheFormatList)
{
    int32_t count = qVideoInit();
    EXPECT_EQ(count, static_cast<int32_t>(mio::video::videoFormats().size()));
    int32_t avchd = qVideoGetFormatIndex(0x80000020u);
    ASSERT_GE(avchd, 0);
    EXPECT_GE(qVideoGetFormatIndex(2), 0);
    EXPECT_EQ(qVideoGetFormatIndex(0x40000000u), -1); // number 30, unused
    char kpj[] = ".kpj";
    EXPECT_EQ(qVideoEscape(avchd, 21, kpj, 0, 0), 1);
    EXPECT_EQ(qVideoEscape(count, 20, nullptr, 0, 0), 0);
    for (int32_t i = 0; i < count; ++i) {
        VideoFormatInfo info{};
        ASSERT_GT(qVideoGetFormatInfo(i, &info), 0) << i;
        EXPECT_NE(info.extension[0], '\0');
    }
    VideoFormatInfo info{};
    EXPECT_EQ(qVideoGetFormatInfo(count, &info), 0);
    EXPECT_EQ(qVideoExit(), 1);
}

TEST_F(GeneratedMedia, QuickAndFullParseFillTheRecord)
{
    for (int32_t mode : {kVideoParseQuick, kVideoParseFull}) {
        Record r(file("ramp.mp4"), mode);
        ASSERT_EQ(r.parse(), 1) << lastErrorText();
        const VideoFileInfo& i = r.info;
        EXPECT_EQ(i.recordSize, 424);
        EXPECT_EQ(i.parseMode, mode);
        EXPECT_EQ(i.formatIndex, indexOfExtension("mp4"));
        EXPECT_EQ(i.formatKind, 0);
        EXPECT_EQ(i.hasVideo, 1);
        EXPECT_EQ(i.hasAudio, 0);
        EXPECT_EQ(i.totalFrames, 30);
        EXPECT_EQ(i.width, 64);
        EXPECT_EQ(i.height, 48);
        EXPECT_EQ(i.bitCount, 24);
        EXPECT_EQ(i.frameRate, 10000u);
        EXPECT_EQ(i.flags, kVideoFlagAspect4x3); // the header knows everything here
        EXPECT_EQ(i.checkValue, 1);
        EXPECT_EQ(i.audioSampleRate, 0u);
        EXPECT_EQ(i.fileSize, static_cast<int32_t>(fs::file_size(file("ramp.mp4"))));
    }
}

TEST_F(GeneratedMedia, RatelessContainerIsSampledQuicklyAndCountedFully)
{
    Record quick(file("ramp.wmv"), kVideoParseQuick);
    ASSERT_EQ(quick.parse(), 1);
    EXPECT_EQ(quick.info.formatIndex, indexOfExtension("wmv"));
    EXPECT_EQ(quick.info.frameRate, 10000u);
    EXPECT_EQ(quick.info.totalFrames, 30);
    EXPECT_EQ(quick.info.flags & kVideoFlagDetailsLeftOut, kVideoFlagDetailsLeftOut);
    Record full(file("ramp.wmv"), kVideoParseFull);
    ASSERT_EQ(full.parse(), 1);
    EXPECT_EQ(full.info.frameRate, 10000u);
    EXPECT_EQ(full.info.totalFrames, 30);
    EXPECT_EQ(full.info.flags & kVideoFlagDetailsLeftOut, 0u);
}

TEST_F(GeneratedMedia, MiscItemsAnswerFromTheRecord)
{
    Record r(file("ramp.mp4"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    char name[128] = {};
    EXPECT_GT(qVideoGetMiscData(&r.info, kVideoMiscVideoCodecName, name, sizeof name), 0);
    EXPECT_STREQ(name, "MPEG-4 Part 2");
    char audio[128] = {};
    EXPECT_EQ(qVideoGetMiscData(&r.info, kVideoMiscAudioCodecName, audio, sizeof audio), 0);
    EXPECT_STREQ(audio, "");
    char tiny[4] = {};
    EXPECT_EQ(qVideoGetMiscData(&r.info, kVideoMiscVideoCodecName, tiny, sizeof tiny), 0);
    int64_t size = 0;
    ASSERT_GT(qVideoGetMiscData(&r.info, kVideoMiscFileSize64, &size, sizeof size), 0);
    EXPECT_EQ(size, static_cast<int64_t>(fs::file_size(file("ramp.mp4"))));
    uint32_t fourcc = 0;
    ASSERT_GT(qVideoGetMiscData(&r.info, kVideoMiscVideoFourCC, &fourcc, sizeof fourcc), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&fourcc), 4), "mp4v");
    uint32_t videoRate = 0;
    EXPECT_GT(qVideoGetMiscData(&r.info, kVideoMiscVideoBytesPerSec, &videoRate, 4), 0);
    EXPECT_GT(videoRate, 0u);
    EXPECT_EQ(qVideoGetMiscData(&r.info, 150, &videoRate, 4), 0);

    // A copy of the record answers on its own after the original is released.
    VideoFileInfo copy;
    std::memcpy(&copy, &r.info, sizeof copy);
    qVideoFreeFileInfo(&r.info);
    int64_t copySize = 0;
    EXPECT_GT(qVideoGetMiscData(&copy, kVideoMiscFileSize64, &copySize, 8), 0);
    EXPECT_EQ(copySize, size);
    VideoFileInfo blank{};
    EXPECT_EQ(qVideoGetMiscData(&blank, kVideoMiscFileSize64, &copySize, 8), 0);
}

TEST_F(GeneratedMedia, AudioFileHasSamplesAndNoPictures)
{
    Record r(file("tone.wav"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    EXPECT_EQ(r.info.formatIndex, indexOfExtension("wav"));
    EXPECT_EQ(r.info.hasVideo, 0);
    EXPECT_EQ(r.info.hasAudio, 1);
    EXPECT_EQ(r.info.totalFrames, 0);
    EXPECT_EQ(r.info.audioSamples, 8000u);
    EXPECT_EQ(r.info.audioChannels, 1);
    EXPECT_EQ(r.info.audioBits, 16);
    EXPECT_EQ(r.info.audioSampleRate, 8000u);
    char name[128] = {};
    EXPECT_GT(qVideoGetMiscData(&r.info, kVideoMiscAudioCodecName, name, sizeof name), 0);
    EXPECT_STREQ(name, "PCM");
    uint32_t rate = 0;
    EXPECT_GT(qVideoGetMiscData(&r.info, kVideoMiscAudioBytesPerSec, &rate, 4), 0);
    EXPECT_EQ(rate, 16000u);
    EXPECT_EQ(qVideoGetMiscData(&r.info, kVideoMiscVideoFourCC, &rate, 4), 0);

    BITMAPINFOHEADER* dib = reinterpret_cast<BITMAPINFOHEADER*>(1);
    EXPECT_EQ(qVideoGetPreview(&r.info, &dib), 0);
    EXPECT_EQ(dib, nullptr);
    Reader reader;
    EXPECT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadExact, &reader.handle, nullptr), 0);
    EXPECT_EQ(reader.handle, nullptr);
    EXPECT_FALSE(lastErrorText().empty());
}

TEST_F(GeneratedMedia, AttachedJpegIsThePreviewAndMarksTheKind)
{
    Record r(file("cover.flac"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    EXPECT_EQ(r.info.formatKind, kVideoKindTagJpegPreview);
    EXPECT_EQ(r.info.hasVideo, 0);
    BITMAPINFOHEADER* dib = nullptr;
    ASSERT_EQ(qVideoGetPreview(&r.info, &dib), 1) << lastErrorText();
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(dib->biWidth, 40);
    EXPECT_EQ(dib->biHeight, 30);
    EXPECT_EQ(dib->biBitCount, 24);
    EXPECT_EQ(dib->biSizeImage, 120u * 30u);
    const uint8_t* p = dibPixel(dib, 20, 15);
    EXPECT_LE(p[0], 12);  // blue
    EXPECT_LE(p[1], 12);  // green
    EXPECT_GE(p[2], 240); // red
    // The library keeps one preview per record and frees it with the record.
    EXPECT_EQ(GlobalHandle(dib) != nullptr, true);
    BITMAPINFOHEADER* again = nullptr;
    ASSERT_EQ(qVideoGetPreview(&r.info, &again), 1);
    EXPECT_EQ(r.info.libraryAttachment, again);
    qVideoFreeFileInfo(&r.info);
    EXPECT_EQ(r.info.libraryAttachment, nullptr);
}

TEST_F(GeneratedMedia, DataCheckDecodesTheFirstFrame)
{
    Record r(file("ramp.mp4"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    VideoCheckRecord check{};
    check.recordSize = kVideoCheckRecordSize;
    check.checkValue = r.info.checkValue;
    std::memcpy(check.ansiPath, r.info.ansiPath, sizeof check.ansiPath);
    EXPECT_EQ(qVideoCheckData(&check, kVideoCheckFirstFrame, 0, 0), 1);
    EXPECT_EQ(qVideoCheckData(&check, 3, 0, 0), 0);
    check.recordSize = 424;
    EXPECT_EQ(qVideoCheckData(&check, kVideoCheckFirstFrame, 0, 0), 0);

    // An MPEG stream whose pictures are garbage opens but fails the check.
    std::vector<uint8_t> bytes = {0x00, 0x00, 0x01, 0xB3, 0x0A, 0x00, 0x78, 0x13,
                                  0xFF, 0xFF, 0xE0, 0x18, 0x00, 0x00, 0x01, 0x00};
    bytes.resize(64 * 1024, 0xA5);
    support::writeFile(s_dir->path() / "noise.mpg", bytes);
    VideoCheckRecord noise{};
    noise.recordSize = kVideoCheckRecordSize;
    std::strncpy(noise.ansiPath, (s_dir->path() / "noise.mpg").c_str(), 259);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qVideoCheckData(&noise, kVideoCheckFirstFrame, 0, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(lastErrorText().empty());
}

TEST_F(GeneratedMedia, ExactReaderDeliversTheRequestedFrame)
{
    Record r(file("ramp.mp4"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    Reader reader;
    ASSERT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadExact, &reader.handle, nullptr), 1);
    // Forward within a group, back across groups, the last frame and the first.
    for (int n : {15, 16, 19, 3, 29, 0, 20}) {
        BITMAPINFOHEADER* dib = nullptr;
        ASSERT_EQ(qVideoReadVideo(&r.info, n, &dib, 0, reader.handle), 1) << n;
        ASSERT_NE(dib, nullptr);
        EXPECT_EQ(dib->biWidth, 64);
        EXPECT_EQ(dib->biHeight, 48);
        EXPECT_EQ(dib->biBitCount, 24);
        EXPECT_NEAR(centreGrey(dib), rampGrey(n), 6) << "frame " << n;
    }
    BITMAPINFOHEADER* dib = reinterpret_cast<BITMAPINFOHEADER*>(1);
    EXPECT_EQ(qVideoReadVideo(&r.info, 100, &dib, 0, reader.handle), 0);
    EXPECT_EQ(dib, nullptr);
    EXPECT_FALSE(lastErrorText().empty());
    EXPECT_EQ(qVideoReadVideo(&r.info, -1, &dib, 0, reader.handle), 0);
    EXPECT_EQ(qVideoReadVideo(&r.info, 0, &dib, 0, nullptr), 0);
    EXPECT_EQ(qVideoReadVideoEnd(nullptr), 0);
}

TEST_F(GeneratedMedia, RoughReaderDeliversTheKeyFrameAtOrBefore)
{
    Record r(file("ramp.mp4"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    Reader reader;
    ASSERT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadRough, &reader.handle, nullptr), 1);
    for (auto [n, key] : {std::pair{15, 10}, {9, 0}, {29, 20}, {10, 10}}) {
        BITMAPINFOHEADER* dib = nullptr;
        ASSERT_EQ(qVideoReadVideo(&r.info, n, &dib, 0, reader.handle), 1) << n;
        EXPECT_NEAR(centreGrey(dib), rampGrey(key), 6) << "frame " << n;
    }
    Reader bad;
    EXPECT_EQ(qVideoReadVideoBegin(&r.info, 22, &bad.handle, nullptr), 0);
    EXPECT_EQ(bad.handle, nullptr);
}

TEST_F(GeneratedMedia, TransportStreamFramesAreFoundFromTheKeyFrameBefore)
{
    Record r(file("ramp.ts"), kVideoParseFull);
    ASSERT_EQ(r.parse(), 1) << lastErrorText();
    EXPECT_EQ(r.info.formatIndex, indexOfExtension("ts"));
    EXPECT_EQ(r.info.formatKind, kVideoKindNeedsCheck);
    EXPECT_EQ(r.info.totalFrames, 30);
    EXPECT_EQ(r.info.frameRate, 10000u);
    // With B-frames the encoder puts its key frames at 0, 12, 21 and 29.
    using Reads = std::vector<std::pair<int, int>>; // frame asked, frame shown
    for (auto [mode, reads] :
         {std::pair{kVideoReadExact, Reads{{15, 15}, {27, 27}, {4, 4}, {29, 29}, {0, 0}}},
          std::pair{kVideoReadRough, Reads{{15, 12}, {27, 21}, {4, 0}, {11, 0}}}}) {
        Reader reader;
        ASSERT_EQ(qVideoReadVideoBegin(&r.info, mode, &reader.handle, nullptr), 1);
        for (auto [n, shown] : reads) {
            BITMAPINFOHEADER* dib = nullptr;
            ASSERT_EQ(qVideoReadVideo(&r.info, n, &dib, 0, reader.handle), 1)
                << "mode " << mode << " frame " << n << ": " << lastErrorText();
            EXPECT_NEAR(centreGrey(dib), rampGrey(shown), 6) << "mode " << mode << " frame " << n;
        }
    }
}

TEST_F(GeneratedMedia, HeaderSetsTheDeliveredSize)
{
    Record r(file("ramp.mp4"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = 31; // odd: rows of 93 bytes padded to 96
    header.biHeight = 20;
    header.biPlanes = 1;
    header.biBitCount = 24;
    Reader reader;
    ASSERT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadExact, &reader.handle, &header), 1);
    BITMAPINFOHEADER* dib = nullptr;
    ASSERT_EQ(qVideoReadVideo(&r.info, 12, &dib, 0, reader.handle), 1);
    EXPECT_EQ(dib->biWidth, 31);
    EXPECT_EQ(dib->biHeight, 20);
    EXPECT_EQ(dib->biSizeImage, 96u * 20u);
    EXPECT_NEAR(centreGrey(dib), rampGrey(12), 6);
    const uint8_t* row = dibPixel(dib, 0, 5);
    EXPECT_EQ(row[93] | row[94] | row[95], 0) << "row padding must stay zero";

    // Sizes beyond the bitmap limits are refused up front, not attempted.
    for (auto [w, h] : {std::pair{100000, 20}, {16000, 16000}}) {
        header.biWidth = w;
        header.biHeight = h;
        Reader huge;
        EXPECT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadExact, &huge.handle, &header), 0);
        EXPECT_EQ(huge.handle, nullptr);
    }
}

TEST_F(GeneratedMedia, MotionJpegDeliversSmallFramesFromReducedDecoding)
{
    Record r(file("ramp.avi"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1) << lastErrorText();
    EXPECT_EQ(r.info.formatIndex, indexOfExtension("avi"));
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biPlanes = 1;
    header.biBitCount = 24;
    // A quarter, an odd fraction and the full size of the 64 x 48 frames.
    for (auto [w, h] : {std::pair{16, 12}, {21, 17}, {64, 48}}) {
        header.biWidth = w;
        header.biHeight = h;
        Reader reader;
        ASSERT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadExact, &reader.handle, &header), 1);
        for (int n : {15, 29}) {
            BITMAPINFOHEADER* dib = nullptr;
            ASSERT_EQ(qVideoReadVideo(&r.info, n, &dib, 0, reader.handle), 1);
            EXPECT_EQ(dib->biWidth, w);
            EXPECT_EQ(dib->biHeight, h);
            EXPECT_NEAR(centreGrey(dib), rampGrey(n), 6) << w << "x" << h << " frame " << n;
        }
    }
    // AVI's time base is one frame: forward steps must still land on the frame itself. One
    // past the end (an estimated count's overshoot) shows the last frame; two past fail.
    Reader reader;
    ASSERT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadExact, &reader.handle, nullptr), 1);
    for (auto [n, shown] : {std::pair{0, 0}, {20, 20}, {21, 21}, {30, 29}}) {
        BITMAPINFOHEADER* dib = nullptr;
        ASSERT_EQ(qVideoReadVideo(&r.info, n, &dib, 0, reader.handle), 1) << n;
        EXPECT_NEAR(centreGrey(dib), rampGrey(shown), 6) << "frame " << n;
    }
    BITMAPINFOHEADER* dib = nullptr;
    EXPECT_EQ(qVideoReadVideo(&r.info, 31, &dib, 0, reader.handle), 0);
}

TEST_F(GeneratedMedia, RotatedStreamIsDeliveredUpright)
{
    Record r(file("rotated.mp4"), kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    EXPECT_EQ(r.info.width, 48);
    EXPECT_EQ(r.info.height, 64);
    EXPECT_EQ(r.info.flags & (kVideoFlagAspect4x3 | kVideoFlagAspect16x9), 0u);
    Reader reader;
    ASSERT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadRough, &reader.handle, nullptr), 1);
    BITMAPINFOHEADER* dib = nullptr;
    ASSERT_EQ(qVideoReadVideo(&r.info, 0, &dib, 0, reader.handle), 1);
    ASSERT_EQ(dib->biWidth, 48);
    ASSERT_EQ(dib->biHeight, 64);
    // The stored left (white) half ends at the bottom once turned a quarter anticlockwise.
    EXPECT_LT(dibPixel(dib, 24, 4)[1], 30);
    EXPECT_GT(dibPixel(dib, 24, 59)[1], 225);
}

TEST_F(GeneratedMedia, WidePathOpensFilesOutsideTheCodePage)
{
    fs::path wideName = s_dir->path() / fs::u8path(u8"vidéo 日本.mp4");
    fs::copy_file(file("ramp.mp4"), wideName, fs::copy_options::overwrite_existing);
    Record r("not-the-file.mp4", kVideoParseQuick);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 520);
    ASSERT_NE(block, nullptr);
    auto* wide = static_cast<WCHAR*>(GlobalLock(block));
    ASSERT_NE(wide, nullptr);
    std::u16string path = support::u16(wideName.string());
    ASSERT_LT(path.size(), 260u);
    std::memcpy(wide, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    r.info.widePath = wide;
    r.info.flags = kVideoFlagWidePath;
    ASSERT_EQ(r.parse(), 1) << lastErrorText();
    EXPECT_EQ(r.info.totalFrames, 30);
    EXPECT_EQ(r.info.flags & kVideoFlagWidePath, kVideoFlagWidePath);
    EXPECT_EQ(r.info.widePath, wide);
    qVideoFreeFileInfo(&r.info);
    EXPECT_EQ(r.info.widePath, nullptr);

    // Without the flag the ANSI path is used, and it names nothing.
    Record ansiOnly("not-the-file.mp4", kVideoParseQuick);
    EXPECT_EQ(ansiOnly.parse(), 0);
}

TEST_F(GeneratedMedia, BadInputFailsCleanlyAndQuickly)
{
    std::vector<uint8_t> ramp = support::readFile(file("ramp.mp4"));
    std::vector<uint8_t> pack = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                                 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    std::vector<uint8_t> packs;
    for (int i = 0; i < 50000; ++i)
        packs.insert(packs.end(), pack.begin(), pack.end());
    std::vector<uint8_t> noise(100000);
    uint32_t seed = 12345;
    for (uint8_t& b : noise) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"empty.mp4", {}},
        {"truncated.mp4", std::vector<uint8_t>(ramp.begin(), ramp.begin() + 600)},
        {"noise.mkv", noise},
        {"packs-only.mpg", packs}, // pack headers and never a stream
        // Playlists must not make the library open other files.
        {"playlist.mp4", toBytes("#EXTM3U\n#EXT-X-TARGETDURATION:3\n#EXTINF:3,\nramp.mp4\n"
                                 "#EXT-X-ENDLIST\n")},
        {"list.mkv", toBytes("ffconcat version 1.0\nfile ramp.mp4\n")},
    };
    for (const Case& c : cases) {
        fs::path path = s_dir->path() / c.name;
        support::writeFile(path, c.bytes);
        for (int32_t mode : {kVideoParseQuick, kVideoParseFull}) {
            c32ResetDLLErrInfo();
            Record r(path, mode);
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(r.parse(), 0) << c.name;
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.name;
            EXPECT_EQ(r.info.totalFrames, 0);
            EXPECT_EQ(r.info.hasVideo, 0);
            EXPECT_FALSE(lastErrorText().empty()) << c.name;
        }
        // The check opens files by itself; it must refuse them just the same.
        VideoCheckRecord check{};
        check.recordSize = kVideoCheckRecordSize;
        std::strncpy(check.ansiPath, path.c_str(), sizeof check.ansiPath - 1);
        EXPECT_EQ(qVideoCheckData(&check, kVideoCheckFirstFrame, 0, 0), 0) << c.name;
    }
    Record missing(s_dir->path() / "missing.mp4", kVideoParseQuick);
    EXPECT_EQ(missing.parse(), 0);
    EXPECT_NE(lastErrorText().find("cannot be opened"), std::string::npos);
    VideoFileInfo wrongSize{};
    wrongSize.recordSize = 400;
    EXPECT_EQ(qVideoGetFileInfo(&wrongSize), 0);
    EXPECT_EQ(qVideoGetFileInfo(nullptr), 0);
}

TEST_F(GeneratedMedia, DamagedCopiesNeverCrashOrHang)
{
    // Bytes flipped at pseudo-random places and cuts at several lengths: every call must
    // return a clean result, and whatever is delivered must have the promised shape.
    const std::vector<uint8_t> original = support::readFile(file("ramp.mp4"));
    uint32_t seed = 2024;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int round = 0; round < 40; ++round) {
        std::vector<uint8_t> bytes = original;
        if (round % 4 == 3) {
            bytes.resize(next() % bytes.size());
        } else {
            for (int flips = 0; flips < 1 + round % 5; ++flips)
                bytes[next() % bytes.size()] = static_cast<uint8_t>(next());
        }
        fs::path path = s_dir->path() / ("damaged" + std::to_string(round) + ".mp4");
        support::writeFile(path, bytes);
        SCOPED_TRACE(path.filename().string());
        auto start = std::chrono::steady_clock::now();
        Record r(path, round % 2 ? kVideoParseFull : kVideoParseQuick);
        if (r.parse() != 1) continue;
        Reader reader;
        if (qVideoReadVideoBegin(&r.info, round % 3 ? kVideoReadExact : kVideoReadRough,
                                 &reader.handle, nullptr) == 1) {
            for (int n : {0, 15, r.info.totalFrames - 1}) {
                BITMAPINFOHEADER* dib = nullptr;
                if (qVideoReadVideo(&r.info, n, &dib, 0, reader.handle) == 1) {
                    ASSERT_NE(dib, nullptr);
                    EXPECT_EQ(dib->biBitCount, 24);
                    EXPECT_GT(dib->biWidth, 0);
                    EXPECT_GT(dib->biHeight, 0);
                } else {
                    EXPECT_EQ(dib, nullptr);
                }
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    }
}

TEST_F(GeneratedMedia, SeparateRecordsWorkOnSeparateThreads)
{
    // The engine serialises one library lock, but nothing in the library may depend on it:
    // two threads with their own records and readers must not disturb each other.
    const fs::path mp4 = file("ramp.mp4");
    const fs::path ts = file("ramp.ts");
    auto walk = [](fs::path path, int* mismatches) {
        Record r(path, kVideoParseQuick);
        if (r.parse() != 1) {
            *mismatches = -1;
            return;
        }
        Reader reader;
        if (qVideoReadVideoBegin(&r.info, kVideoReadExact, &reader.handle, nullptr) != 1) {
            *mismatches = -1;
            return;
        }
        for (int round = 0; round < 3; ++round) {
            for (int n = 0; n < 30; n += 1 + round) {
                BITMAPINFOHEADER* dib = nullptr;
                if (qVideoReadVideo(&r.info, n, &dib, 0, reader.handle) != 1 ||
                    std::abs(centreGrey(dib) - rampGrey(n)) > 6)
                    ++*mismatches;
            }
        }
    };
    int first = 0, second = 0;
    std::thread a(walk, mp4, &first);
    std::thread b(walk, ts, &second);
    a.join();
    b.join();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
}
