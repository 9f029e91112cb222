// SPDX-License-Identifier: MIT
// The video library on the real files of the shared corpus, against the values ffprobe
// reports for them (MANIFEST.md): durations, frame counts, rates, sizes and audio layout.
#include "support/test_support.h"
#include "video_test_support.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

using namespace videotest;

namespace {

struct Expected;
void PrintTo(const Expected& e, std::ostream* os);

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

struct Expected {
    const char* file;
    int frames;        // ffprobe's decoded frame count; 0 for audio
    int width, height; // upright
    double fps;        // kNone where ffprobe has no usable rate
    double duration;   // of the video stream when there is one; kNone where ffprobe has none
    int sampleRate, channels;
};

// Values measured by ffprobe. Where the library deliberately differs the row says why.
const Expected kFiles[] = {
    {"video/blank_video.m4v", 29, 640, 360, 29.97, 0.95, 44100, 2},
    // Variable rate: 836 frames over 44.65 s. ffprobe's nominal 30/1 would give 27.9 s,
    // so the library reports the average rate and the real length.
    {"video/echo-hereweare.webm", 836, 480, 270, kNone, 44.652, 44100, 2},
    {"video/exiftool_DV.dv", 1, 720, 576, 25.0, kNone, 32000, 2},
    {"video/fixture-imovie.mp4", 1, 640, 356, 15.003, 0.0667, 48000, 2},
    {"video/fixture-mjpeg.mov", 15, 640, 480, 10.0, 1.5, 8000, 1},
    {"video/fixture-raw.mts", 31, 1920, 1080, 29.97, 1.034, 48000, 2},
    {"video/fixture-realmedia-video.rm", 166, 352, 288, 30.0, 5.533, 32000, 1},
    {"video/fixture.3gp", 166, 352, 288, 30.0, 5.533, 8000, 1},
    {"video/fixture.avi", 1, 640, 356, 23.81, 0.042, 44100, 2},
    {"video/fixture.flv", 25, 268, 156, kNone, 0.717, 0, 0}, // nominal 60/1, real 34.9
    {"video/fixture.m4v", 1, 640, 356, 23.81, 0.042, 44100, 2},
    {"video/fixture.mkv", 1, 640, 356, 23.81, 0.092, 44100, 2},
    {"video/fixture.mov", 5, 268, 156, 34.884, 0.099, 0, 0},
    // The raw MPEG-1 stream's header duration (0.003 s) is bogus; 19 frames at 15/s.
    {"video/fixture.mpg", 19, 160, 120, 15.0, kNone, 0, 0},
    {"video/fixture.webm", 1, 640, 356, 23.81, 0.072, 44100, 2},
    {"video/fixture.wmv", 1, 640, 356, kNone, 0.092, 44100, 2},
    {"video/optimized.mkv", 3, 176, 144, 25.0, 0.12, 0, 0},
    // Stored 1280x720 with a quarter-turn display matrix: delivered upright.
    {"video/quicktime-hvc1.mov", 35, 720, 1280, 29.957, 1.1667, 44100, 1},
    {"video/sample.ogv", 56, 300, 200, 10.0, 5.6, 0, 0},
    {"video/small_video_hevc.mp4", 20, 216, 384, 30.0, 0.6667, 44100, 2},
    {"video/Turning_Lime.mpg", 28, 640, 480, 25.0, 1.12, 44100, 2},
    {"video/taglibsharp_sample_drm.m4v", 7722, 632, 472, 23.976, 322.072, 44100, 2},
    {"video/no-tags.3g2", 0, 0, 0, kNone, 16.347, 22050, 1},
    {"audio/alac.m4a", 0, 0, 0, kNone, 3.685, 44100, 2},
    {"audio/ape-id3v1.mp3", 0, 0, 0, kNone, 2.105, 44100, 2},
    {"audio/duplicate_id3v2.mp3", 0, 0, 0, kNone, 0.131, 44100, 2},
    {"audio/example.opus", 0, 0, 0, kNone, 12.720, 48000, 1},
    {"audio/fixture-adts-mpeg4.aac", 0, 0, 0, kNone, 14.486, 16000, 1},
    {"audio/fixture-bad-offset.mp3", 0, 0, 0, kNone, 0.522, 44100, 2},
    {"audio/fixture-monkeysaudio.ape", 0, 0, 0, kNone, 1.213, 44100, 2},
    {"audio/fixture.amr", 0, 0, 0, kNone, 0.867, 8000, 1},
    {"audio/fixture.mp2", 0, 0, 0, kNone, 1.024, 44100, 2},
    {"audio/has-tags.m4a", 0, 0, 0, kNone, 3.708, 44100, 2},
    {"audio/id3v1v2-combined.mp3", 0, 0, 0, kNone, 0.151, 44100, 2},
    {"audio/id3v22-test.mp3", 0, 0, 0, kNone, 0.145, 44100, 2},
    {"audio/issue_29.wma", 0, 0, 0, kNone, 1.662, 44100, 2},
    {"audio/itunes10.mp3", 0, 0, 0, kNone, 0.052, 44100, 2},
    {"audio/lossless.wma", 0, 0, 0, kNone, 3.549, 44100, 2},
    {"audio/multipage-setup.ogg", 0, 0, 0, kNone, 4.129, 44100, 2},
    {"audio/multiple-vc.flac", 0, 0, 0, kNone, 3.685, 44100, 2},
    {"audio/real_example.wma", 0, 0, 0, kNone, kNone, 44100, 2},
    {"audio/silence-1.wma", 0, 0, 0, kNone, 3.712, 48000, 2},
    {"audio/silence-2s-PCM-44100-16-ID3v23.wav", 0, 0, 0, kNone, 2.0, 44100, 2},
    {"audio/silence-44-s-v1.mp3", 0, 0, 0, kNone, 3.768, 44100, 2},
    {"audio/silence-44-s.ac3", 0, 0, 0, kNone, 3.692, 44100, 2},
    {"audio/silence-44-s.flac", 0, 0, 0, kNone, 3.685, 44100, 2},
    {"audio/silence-44-s.mp3", 0, 0, 0, kNone, 3.768, 44100, 2},
    {"audio/silence-44-s.wv", 0, 0, 0, kNone, 3.685, 44100, 2},
    {"audio/taglibsharp_sample.wma", 0, 0, 0, kNone, 4.153, 44100, 2},
    // Truncated upstream: the header's length is what ffprobe and the library report.
    {"audio/variable-block.flac", 0, 0, 0, kNone, 261.68, 44100, 2},
    {"audio/vbri.mp3", 0, 0, 0, kNone, 222.198, 44100, 2},
    {"audio/with-id3.aif", 0, 0, 0, kNone, 1.0, 8000, 1},
    {"audio/xing.mp3", 0, 0, 0, kNone, 2.052, 44100, 2},
};

void PrintTo(const Expected& e, std::ostream* os)
{
    *os << e.file;
}

// Duration as the engine computes it from the record.
double recordDuration(const VideoFileInfo& i)
{
    if (i.hasVideo) return i.totalFrames / (i.frameRate / 1000.0);
    return static_cast<double>(i.audioSamples) / i.audioSampleRate;
}

// Rows with a decodable video stream (the DRM file's track is encrypted).
std::vector<Expected> decodableVideos()
{
    std::vector<Expected> rows;
    for (const Expected& e : kFiles)
        if (e.frames > 0 && std::string(e.file).find("drm") == std::string::npos) rows.push_back(e);
    return rows;
}

class CorpusFile : public ::testing::TestWithParam<Expected> {};
class CorpusVideo : public ::testing::TestWithParam<Expected> {};

std::string rowName(const ::testing::TestParamInfo<Expected>& info)
{
    std::string name = info.param.file;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

} // namespace

TEST_P(CorpusFile, FullParseMatchesFfprobe)
{
    const Expected& e = GetParam();
    MIO_CORPUS_FILE(path, e.file);
    Record r(path, kVideoParseFull);
    ASSERT_EQ(r.parse(), 1) << lastErrorText();
    const VideoFileInfo& i = r.info;
    EXPECT_EQ(i.hasVideo != 0, e.frames > 0);
    EXPECT_EQ(i.hasAudio != 0, e.sampleRate > 0);
    EXPECT_EQ(i.flags & kVideoFlagDetailsLeftOut, 0u);
    if (e.frames > 0) {
        EXPECT_NEAR(i.totalFrames, e.frames, 1);
        EXPECT_EQ(i.width, e.width);
        EXPECT_EQ(i.height, e.height);
        EXPECT_EQ(i.bitCount, 24);
        if (!std::isnan(e.fps)) {
            EXPECT_NEAR(i.frameRate / 1000.0, e.fps, 0.01);
        }
    }
    // ffprobe's container durations include the last frame's or the audio's tail.
    if (!std::isnan(e.duration)) {
        EXPECT_NEAR(recordDuration(i), e.duration, 0.051);
    }
    if (e.sampleRate > 0) {
        EXPECT_EQ(i.audioSampleRate, static_cast<uint32_t>(e.sampleRate));
        EXPECT_EQ(i.audioChannels, e.channels);
        EXPECT_GT(i.audioBits, 0);
    }
    int64_t size = 0;
    ASSERT_GT(qVideoGetMiscData(&r.info, kVideoMiscFileSize64, &size, 8), 0);
    EXPECT_EQ(size, static_cast<int64_t>(std::filesystem::file_size(path)));
}

TEST_P(CorpusFile, QuickParseAgreesOrSaysItEstimated)
{
    const Expected& e = GetParam();
    MIO_CORPUS_FILE(path, e.file);
    Record quick(path, kVideoParseQuick);
    Record full(path, kVideoParseFull);
    ASSERT_EQ(quick.parse(), 1);
    ASSERT_EQ(full.parse(), 1);
    EXPECT_EQ(quick.info.formatIndex, full.info.formatIndex);
    EXPECT_EQ(quick.info.width, full.info.width);
    EXPECT_EQ(quick.info.height, full.info.height);
    EXPECT_EQ(quick.info.audioSampleRate, full.info.audioSampleRate);
    EXPECT_EQ(quick.info.audioChannels, full.info.audioChannels);
    if (!(quick.info.flags & kVideoFlagDetailsLeftOut)) {
        EXPECT_EQ(quick.info.totalFrames, full.info.totalFrames);
        EXPECT_EQ(quick.info.frameRate, full.info.frameRate);
    }
}

TEST_P(CorpusVideo, FirstMiddleAndLastFramesDecodeInBothModes)
{
    const Expected& e = GetParam();
    MIO_CORPUS_FILE(path, e.file);
    Record r(path, kVideoParseFull);
    ASSERT_EQ(r.parse(), 1);
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = 160;
    header.biHeight = 120;
    header.biPlanes = 1;
    header.biBitCount = 24;
    for (int32_t mode : {kVideoReadExact, kVideoReadRough}) {
        Reader reader;
        ASSERT_EQ(qVideoReadVideoBegin(&r.info, mode, &reader.handle, &header), 1)
            << lastErrorText();
        int last = r.info.totalFrames - 1;
        for (int n : {0, last / 2, last}) {
            BITMAPINFOHEADER* dib = nullptr;
            ASSERT_EQ(qVideoReadVideo(&r.info, n, &dib, 0, reader.handle), 1)
                << "mode " << mode << " frame " << n << ": " << lastErrorText();
            EXPECT_EQ(dib->biWidth, 160);
            EXPECT_EQ(dib->biHeight, 120);
            EXPECT_EQ(dib->biBitCount, 24);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusFile, ::testing::ValuesIn(kFiles), rowName);
INSTANTIATE_TEST_SUITE_P(Corpus, CorpusVideo, ::testing::ValuesIn(decodableVideos()), rowName);

TEST(CorpusPictures, AttachedPicturesComeAsBitmaps)
{
    struct Case {
        const char* file;
        int width, height;
        int32_t kind;
    };
    const Case cases[] = {
        {"audio/fixture-bad-offset.mp3", 500, 500, kVideoKindTagJpegPreview},
        {"audio/itunes10.mp3", 48, 48, 0}, // PNG picture: not a tag JPEG
        {"audio/silence-44-s.flac", 1, 1, 0},
        {"audio/has-tags.m4a", 2, 2, 0},
        {"video/taglibsharp_sample_drm.m4v", 667, 1000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::filesystem::path path = support::corpusPathOrEmpty(c.file);
        if (path.empty()) continue;
        Record r(path, kVideoParseQuick);
        ASSERT_EQ(r.parse(), 1);
        EXPECT_EQ(r.info.formatKind, c.kind);
        BITMAPINFOHEADER* dib = nullptr;
        ASSERT_EQ(qVideoGetPreview(&r.info, &dib), 1) << lastErrorText();
        EXPECT_EQ(dib->biWidth, c.width);
        EXPECT_EQ(dib->biHeight, c.height);
    }
    MIO_CORPUS_FILE(plain, "video/fixture.mkv");
    Record r(plain, kVideoParseQuick);
    ASSERT_EQ(r.parse(), 1);
    BITMAPINFOHEADER* dib = nullptr;
    EXPECT_EQ(qVideoGetPreview(&r.info, &dib), 0);
    EXPECT_EQ(dib, nullptr);
}

TEST(CorpusBroken, DamagedFilesFailCleanly)
{
    for (const char* file :
         {"broken/emptyfile.mp3", "broken/fixture-corrupt.mkv",
          "broken/silence-1_zeroed_header.wma", "broken/id3v1v2-combined_truncated_half.mp3",
          "audio/lowercase-fields.ogg", "video/exiftool_Real.rm"}) {
        SCOPED_TRACE(file);
        std::filesystem::path path = support::corpusPathOrEmpty(file);
        if (path.empty()) continue;
        for (int32_t mode : {kVideoParseQuick, kVideoParseFull}) {
            c32ResetDLLErrInfo();
            Record r(path, mode);
            EXPECT_EQ(r.parse(), 0);
            EXPECT_FALSE(lastErrorText().empty());
        }
    }
    // Half of an MP4 keeps its header but lost the picture data: parsing works, decoding
    // fails with a reason instead of a picture.
    MIO_CORPUS_FILE(half, "broken/fixture-imovie_truncated_half.mp4");
    Record r(half, kVideoParseFull);
    ASSERT_EQ(r.parse(), 1);
    Reader reader;
    ASSERT_EQ(qVideoReadVideoBegin(&r.info, kVideoReadExact, &reader.handle, nullptr), 1);
    BITMAPINFOHEADER* dib = nullptr;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qVideoReadVideo(&r.info, 0, &dib, 0, reader.handle), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(dib, nullptr);
    EXPECT_FALSE(lastErrorText().empty());
}

TEST(CorpusCheck, FormatsThatNeedTheCheckPassIt)
{
    for (const char* file : {"video/fixture.mpg", "video/Turning_Lime.mpg", "video/fixture-raw.mts",
                             "video/exiftool_DV.dv"}) {
        SCOPED_TRACE(file);
        std::filesystem::path path = support::corpusPathOrEmpty(file);
        if (path.empty()) continue;
        Record r(path, kVideoParseQuick);
        ASSERT_EQ(r.parse(), 1);
        EXPECT_EQ(r.info.formatKind, kVideoKindNeedsCheck);
        VideoCheckRecord check{};
        check.recordSize = kVideoCheckRecordSize;
        check.checkValue = r.info.checkValue;
        std::memcpy(check.ansiPath, r.info.ansiPath, sizeof check.ansiPath);
        EXPECT_EQ(qVideoCheckData(&check, kVideoCheckFirstFrame, 0, 0), 1);
    }
}
