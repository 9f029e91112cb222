// SPDX-License-Identifier: MIT
// `mediaio info --json` against the reference programs run on the same corpus files now:
// ffprobe for videos and audio, ExifTool for JPEG photographs.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "cli_support.h"

namespace {

using namespace clitest;

// The engine names codecs in words; ffprobe by short identifiers. The same codec, both ways.
const std::map<std::string, std::string> kCodecNames = {
    {"mpeg2video", "MPEG-2 Video"},
    {"mp2", "MPEG Audio Layer 2"},
    {"mp3", "MP3 (MPEG Audio Layer 3)"},
    {"h264", "H.264 / AVC"},
    {"hevc", "H.265 / HEVC"},
    {"h263", "H.263"},
    {"aac", "AAC (Advanced Audio Coding)"},
    {"vp8", "VP8"},
    {"vorbis", "Vorbis"},
    {"theora", "Theora"},
    {"mjpeg", "Motion JPEG"},
    {"pcm_u8", "PCM"},
    {"pcm_s16le", "PCM"},
    {"pcm_s16be", "PCM"},
    {"ac3", "Dolby Digital (AC-3)"},
    {"amr_nb", "AMR-NB"},
    {"msmpeg4v2", "Microsoft MPEG-4 v2"},
    {"adpcm_ms", "Microsoft ADPCM"},
    {"alac", "Apple Lossless (ALAC)"},
    {"opus", "Opus"},
    {"wmav2", "Windows Media Audio"},
    {"wmalossless", "Windows Media Audio Lossless"},
    {"flac", "FLAC (Free Lossless Audio Codec)"},
};

// Durations agree within 50 ms; bit rates within 0.5 % (or 16 bit/s for tiny ones), since the
// two read container fields and round differently.
constexpr double kDurationTolerance = 0.05;
double rateTolerance(double rate)
{
    return std::max(16.0, rate * 0.005);
}

// The first stream of a type that is not an attached picture.
const Json* firstStream(const Json& probe, const std::string& type)
{
    for (const auto& stream : probe["streams"].items)
        if (stream["codec_type"].text == type && stream["disposition"]["attached_pic"].number == 0)
            return &stream;
    return nullptr;
}

double frameRate(const Json& stream)
{
    const std::string& text = stream["avg_frame_rate"].text;
    const auto slash = text.find('/');
    if (slash == std::string::npos) return 0;
    const double den = std::stod(text.substr(slash + 1));
    return den == 0 ? 0 : std::stod(text.substr(0, slash)) / den;
}

void compareWithProbe(const std::string& file)
{
    SCOPED_TRACE(file);
    const ToolRun probeRun = runProgram(
        "ffprobe", {"-v", "error", "-print_format", "json", "-show_format", "-show_streams", file});
    ASSERT_EQ(probeRun.code, 0) << probeRun.err;
    const auto probe = parseJson(probeRun.out);
    ASSERT_TRUE(probe);
    const ToolRun infoRun = mediaio({"info", "--json", file});
    ASSERT_EQ(infoRun.code, 0) << infoRun.err;
    const auto info = parseJson(infoRun.out);
    ASSERT_TRUE(info) << "not one JSON object: " << infoRun.out;
    EXPECT_EQ((*info)["file"].text, file);

    const Json* video = firstStream(*probe, "video");
    const Json* audio = firstStream(*probe, "audio");
    EXPECT_EQ((*info)["kind"].text, video ? "video" : "audio");
    if (video) {
        EXPECT_EQ((*info)["width"].number, (*video)["width"].number);
        EXPECT_EQ((*info)["height"].number, (*video)["height"].number);
        const auto codec = kCodecNames.find((*video)["codec_name"].text);
        ASSERT_NE(codec, kCodecNames.end()) << "no name for " << (*video)["codec_name"].text;
        EXPECT_EQ((*info)["video_codec"].text, codec->second);
        if (const double rate = frameRate(*video); rate > 0) {
            EXPECT_NEAR((*info)["frame_rate"].number, rate, 0.01);
        }
        if (const double rate = (*video)["bit_rate"].asNumber(); !std::isnan(rate)) {
            EXPECT_NEAR((*info)["video_bit_rate"].number, rate, rateTolerance(rate));
        }
    } else {
        EXPECT_EQ((*info)["width"].number, 0);
        EXPECT_EQ((*info)["height"].number, 0);
    }
    if (audio) {
        EXPECT_EQ((*info)["sample_rate"].number, (*audio)["sample_rate"].asNumber());
        EXPECT_EQ((*info)["channels"].number, (*audio)["channels"].number);
        const auto codec = kCodecNames.find((*audio)["codec_name"].text);
        ASSERT_NE(codec, kCodecNames.end()) << "no name for " << (*audio)["codec_name"].text;
        EXPECT_EQ((*info)["audio_codec"].text, codec->second);
        if (const double rate = (*audio)["bit_rate"].asNumber(); !std::isnan(rate)) {
            EXPECT_NEAR((*info)["audio_bit_rate"].number, rate, rateTolerance(rate));
        }
    }
    if (const double duration = (*probe)["format"]["duration"].asNumber(); !std::isnan(duration)) {
        EXPECT_NEAR((*info)["duration"].number, duration, kDurationTolerance);
    }
    // Without rates per stream, the overall rate is the container's.
    const bool streamRates = (video && !std::isnan((*video)["bit_rate"].asNumber())) ||
                             (audio && !std::isnan((*audio)["bit_rate"].asNumber()));
    if (!streamRates) {
        const double rate = (*probe)["format"]["bit_rate"].asNumber();
        ASSERT_FALSE(std::isnan(rate));
        EXPECT_NEAR((*info)["bit_rate"].number, rate, rateTolerance(rate));
    }
    EXPECT_EQ((*info)["file_size"].number, (*probe)["format"]["size"].asNumber());
}

TEST(MediaioReference, VideoAndAudioAgreeWithFfprobe)
{
    if (!havePath("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
    // The files on which both read the same container fields. Left out, and why: a rotated
    // HEVC clip (the engine reports the displayed 720 x 1280), a WMV and a RealMedia file
    // whose durations the two take from different headers (more than 50 ms apart), and FLAC,
    // Opus and APE files, for which the engine reports no bit rate at all.
    const char* const files[] = {"video/Turning_Lime.mpg",
                                 "video/blank_video.m4v",
                                 "video/echo-hereweare.webm",
                                 "video/fixture-imovie.mp4",
                                 "video/fixture-mjpeg.mov",
                                 "video/fixture-raw.mts",
                                 "video/fixture.3gp",
                                 "video/fixture.avi",
                                 "video/fixture.mkv",
                                 "video/fixture.webm",
                                 "video/optimized.mkv",
                                 "video/sample.ogv",
                                 "video/small_video_hevc.mp4",
                                 "video/no-tags.3g2",
                                 "audio/alac.m4a",
                                 "audio/ape-id3v1.mp3",
                                 "audio/fixture-adts-mpeg4.aac",
                                 "audio/fixture.mp2",
                                 "audio/issue_29.wma",
                                 "audio/lossless.wma",
                                 "audio/multipage-setup.ogg",

                                 "audio/silence-44-s-v1.mp3",
                                 "audio/silence-44-s.ac3",
                                 "audio/silence-1.wma",
                                 "audio/silence-2s-PCM-44100-16-ID3v23.wav",
                                 "audio/with-id3.aif",
                                 "audio/fixture.amr"};
    int compared = 0;
    for (const char* relative : files) {
        const auto path = support::corpusPathOrEmpty(relative);
        if (path.empty()) continue;
        compareWithProbe(path.string());
        ++compared;
    }
    if (compared == 0) GTEST_SKIP() << "corpus not available";
}

// The EXIF tag of a given number in info's metadata, trimmed as ExifTool trims it.
std::string exifTag(const Json& info, int tag)
{
    for (const auto& entry : info["metadata"]["exif"].items) {
        if (entry["tag"].number != tag) continue;
        std::string value = entry["value"].text;
        while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
            value.pop_back();
        return value;
    }
    return "<absent>";
}

TEST(MediaioReference, PhotographsAgreeWithExifTool)
{
    if (!havePath("exiftool")) GTEST_SKIP() << "exiftool is not installed";
    struct Case {
        const char* file;
        bool resolution; // whether both read the same resolution field (JFIF density)
    };
    const Case cases[] = {
        {"jpeg/Canon_40D.jpg", true},     {"jpeg/Nikon_D70.jpg", true},
        {"jpeg/Pentax_K10D.jpg", true},   {"jpeg/Fujifilm_FinePix_E500.jpg", true},
        {"jpeg/DSCN0010_gps.jpg", false}, {"jpeg/landscape_3.jpg", true},
        {"jpeg/landscape_6.jpg", true},   {"jpeg/portrait_5.jpg", true},
        {"jpeg/hopper_gray.jpg", true},   {"jpeg/long_description.jpg", true}};
    int compared = 0;
    for (const auto& c : cases) {
        const auto path = support::corpusPathOrEmpty(c.file);
        if (path.empty()) continue;
        SCOPED_TRACE(c.file);
        const ToolRun tool =
            runProgram("exiftool", {"-j", "-n", "-ImageWidth", "-ImageHeight", "-FileSize", "-Make",
                                    "-Model", "-DateTimeOriginal", "-Orientation", "-XResolution",
                                    "-YResolution", "-ImageDescription", "-FNumber",
                                    "-BitsPerSample", "-ColorComponents", path.string()});
        ASSERT_EQ(tool.code, 0) << tool.err;
        const auto list = parseJson(tool.out);
        ASSERT_TRUE(list);
        const Json& ref = (*list)[0];
        const ToolRun run = mediaio({"info", "--json", path.string()});
        ASSERT_EQ(run.code, 0) << run.err;
        const auto info = parseJson(run.out);
        ASSERT_TRUE(info) << run.out;

        EXPECT_EQ((*info)["kind"].text, "image");
        EXPECT_EQ((*info)["object"].text, "image");
        EXPECT_EQ((*info)["width"].number, ref["ImageWidth"].number);
        EXPECT_EQ((*info)["height"].number, ref["ImageHeight"].number);
        EXPECT_EQ((*info)["file_size"].number, ref["FileSize"].number);
        EXPECT_EQ((*info)["bit_count"].number,
                  ref["BitsPerSample"].number * ref["ColorComponents"].number);
        if (c.resolution) {
            EXPECT_EQ((*info)["resolution_x"].number, ref["XResolution"].number);
            EXPECT_EQ((*info)["resolution_y"].number, ref["YResolution"].number);
        }
        // EXIF tags: 100 Make, 101 Model, 10 DateTimeOriginal, 103 Orientation, 104 description.
        const std::pair<int, const char*> tags[] = {
            {100, "Make"}, {101, "Model"}, {10, "DateTimeOriginal"}, {104, "ImageDescription"}};
        for (const auto& [tag, name] : tags) {
            std::string expected = ref.has(name) ? ref[name].text : "<absent>";
            while (!expected.empty() && expected.back() == ' ')
                expected.pop_back();
            if (ref.has(name) && expected.empty()) continue; // all blanks: nothing to compare
            EXPECT_EQ(exifTag(*info, tag), expected) << name;
        }
        if (ref.has("Orientation")) {
            EXPECT_EQ(exifTag(*info, 103),
                      std::to_string(static_cast<int>(ref["Orientation"].number)));
        } else {
            EXPECT_EQ(exifTag(*info, 103), "<absent>");
        }
        if (ref.has("FNumber")) {
            // A rational "num / den".
            const std::string f = exifTag(*info, 16);
            const auto slash = f.find('/');
            ASSERT_NE(slash, std::string::npos) << f;
            EXPECT_NEAR(std::stod(f) / std::stod(f.substr(slash + 1)), ref["FNumber"].number, 1e-6);
        }
        ++compared;
    }
    if (compared == 0) GTEST_SKIP() << "corpus not available";
}

TEST(MediaioReference, JsonOutputIsWellFormedForEveryCorpusFolder)
{
    // Every object info prints parses as JSON and names its file, success or failure; the
    // stable keys hold the types scripts rely on.
    const auto dir = support::corpusDir();
    if (dir.empty() || !fs::is_directory(dir)) GTEST_SKIP() << "corpus not available";
    const ToolRun run = mediaio({"info", "--json", "-r", dir.string()});
    EXPECT_TRUE(run.code == 0 || run.code == 1) << run.err;
    const auto objects = lines(run.out);
    ASSERT_GT(objects.size(), 100u);
    size_t failed = 0;
    for (const auto& line : objects) {
        const auto json = parseJson(line);
        ASSERT_TRUE(json) << line;
        ASSERT_EQ(json->type, Json::Type::Object) << line;
        EXPECT_EQ((*json)["file"].type, Json::Type::String) << line;
        if (json->has("error")) {
            ++failed;
            EXPECT_EQ((*json)["hresult"].text.size(), 10u) << line;
            continue;
        }
        EXPECT_EQ((*json)["metadata"].type, Json::Type::Object) << line;
        EXPECT_EQ((*json)["width"].type, Json::Type::Number) << line;
        for (const auto& [block, tags] : (*json)["metadata"].members) {
            EXPECT_EQ(tags.type, Json::Type::Array) << block;
            for (const auto& tag : tags.items)
                EXPECT_EQ(tag["tag"].type, Json::Type::Number) << line;
        }
    }
    // The summary line counts what the objects show.
    EXPECT_NE(run.err.find(std::to_string(objects.size()) + " file(s), " + std::to_string(failed) +
                           " failed"),
              std::string::npos)
        << run.err.substr(run.err.size() > 300 ? run.err.size() - 300 : 0);
}

} // namespace
