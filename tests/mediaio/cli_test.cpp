// SPDX-License-Identifier: MIT
// The mediaio tool run as a user runs it: exit codes, error lines, help texts, JSON checked
// against values measured with ffprobe and ExifTool, thumbnails read back with libpng.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cli_support.h"

namespace {

using namespace clitest;

// The raw JSON text of one key in a one-line object ("" when absent).
std::string field(const std::string& json, const std::string& key)
{
    const std::regex pattern("\"" + key + "\": (\"([^\"\\\\]|\\\\.)*\"|[^,}]+)");
    std::smatch match;
    return std::regex_search(json, match, pattern) ? match[1].str() : std::string();
}

double number(const std::string& json, const std::string& key)
{
    const std::string text = field(json, key);
    return text.empty() ? -1.0 : std::stod(text);
}

TEST(MediaioCli, UsageErrorsExitTwoAndHelpIsComplete)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"info"},
             {"info", "--bogus", "x.jpg"},
             {"thumbnail", "x.jpg"},
             {"thumbnail", "x.jpg", "-o", "y.gif"},
             {"thumbnail", "x.jpg", "-o", "y.png", "-s", "0x10"},
             {"thumbnail", "x.jpg", "-o", "y.png", "-s", "99999"},
             {"thumbnail", "x.jpg", "-o", "y.png", "--frame", "1", "--time", "2"},
             {"thumbnail", "x.jpg", "-o", "y.png", "--time", "-1"},
             {"-s", "abc", "x.jpg", "y.png"},
             {"-s", "128", "x.jpg"},
             {"sample"},
             {"meta"},
             {"meta", "show", "x.jpg"},
             {"meta", "get", "x.jpg", "--tag", "1"},
             {"meta", "get", "x.jpg", "--block", "exif2", "--tag", "1"},
             {"meta", "list", "x.jpg", "--tag", "1"}}) {
        const ToolRun run = mediaio(args);
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(run.code, 2) << joined;
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << joined << run.err;
        EXPECT_TRUE(run.out.empty()) << joined;
    }
    const ToolRun top = mediaio({"--help"});
    EXPECT_EQ(top.code, 0);
    for (const char* word : {"info", "thumbnail", "-s SIZE INPUT OUTPUT", "sample", "--library",
                             "MEDIAIO_LIBRARY", "exit codes"})
        EXPECT_NE(top.out.find(word), std::string::npos) << word;
    const ToolRun info = mediaio({"help", "info"});
    EXPECT_EQ(info.code, 0);
    for (const char* word : {"--json", "-r"})
        EXPECT_NE(info.out.find(word), std::string::npos);
    const ToolRun thumb = mediaio({"thumbnail", "--help"});
    EXPECT_EQ(thumb.code, 0);
    for (const char* word :
         {"-o", "-s WxH", "--exact", "--frame", "--time", "Thumb::URI", "Thumb::MTime"})
        EXPECT_NE(thumb.out.find(word), std::string::npos) << word;
}

TEST(MediaioCli, FailuresNameTheFileAndExitOne)
{
    support::TempDir dir;
    const fs::path sample = makeSample(dir);
    const std::string missing = (dir / "no-such-file.jpg").string();
    support::writeFile(dir / "garbage.jpg", std::vector<uint8_t>(64, 0x5A));

    const ToolRun mixed =
        mediaio({"info", "--json", sample.string(), missing, (dir / "garbage.jpg").string()});
    EXPECT_EQ(mixed.code, 1);
    const auto out = lines(mixed.out);
    ASSERT_EQ(out.size(), 3u) << mixed.out;
    EXPECT_EQ(field(out[0], "width"), "320");
    EXPECT_EQ(field(out[1], "file"), "\"" + missing + "\"");
    EXPECT_EQ(field(out[1], "hresult").size(), 12u) << out[1];
    EXPECT_NE(field(out[2], "error"), "");
    // Every failure line carries a reason: the engine's text, or the system's for a missing file.
    EXPECT_TRUE(std::regex_search(
        mixed.err,
        std::regex(
            ": cannot open \\(0x[0-9A-F]{8}\\): .+\\n.*: cannot open \\(0x[0-9A-F]{8}\\): .+")))
        << mixed.err;
    EXPECT_NE(mixed.err.find("mediaio: " + missing + ": cannot open"), std::string::npos)
        << mixed.err;
    EXPECT_NE(mixed.err.find("3 file(s), 2 failed"), std::string::npos) << mixed.err;

    // A folder needs -r; with it every file inside is read, in name order.
    makeSample(dir, "b.png");
    fs::create_directory(dir / "sub");
    makeSample(dir, "sub/a.png");
    fs::remove(dir / "garbage.jpg");
    const ToolRun flat = mediaio({"info", dir.path().string()});
    EXPECT_EQ(flat.code, 1);
    EXPECT_NE(flat.err.find("use -r"), std::string::npos) << flat.err;
    const ToolRun deep = mediaio({"info", "--json", "-r", dir.path().string()});
    EXPECT_EQ(deep.code, 0) << deep.err;
    const auto found = lines(deep.out);
    ASSERT_EQ(found.size(), 3u) << deep.out;
    EXPECT_NE(found[0].find("b.png"), std::string::npos);
    EXPECT_NE(found[2].find("sub/a.png"), std::string::npos);

    const ToolRun badLibrary =
        mediaio({"--library", (dir / "nothing.so").string(), "info", sample.string()});
    EXPECT_EQ(badLibrary.code, 1);
    EXPECT_NE(badLibrary.err.find("cannot load the engine library"), std::string::npos);
    // The environment names the module too; an explicit --library wins over it.
    const ToolRun viaEnv =
        mediaio({"info", sample.string()}, "MEDIAIO_LIBRARY=" + shellQuote(MIO_SERVER_MODULE));
    EXPECT_EQ(viaEnv.code, 0) << viaEnv.err;
    EXPECT_NE(viaEnv.out.find("320"), std::string::npos);
}

TEST(MediaioCli, JsonMatchesMeasuredValues)
{
    // Values measured with ExifTool 12.57 and ffprobe 5.1 on these corpus files.
    MIO_CORPUS_FILE(jpeg, "jpeg/Canon_40D.jpg");
    MIO_CORPUS_FILE(png, "png/hopper.png");
    MIO_CORPUS_FILE(mkv, "video/fixture.mkv");
    MIO_CORPUS_FILE(webm, "video/echo-hereweare.webm");
    MIO_CORPUS_FILE(wma, "audio/issue_29.wma");
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s-v1.mp3");
    const ToolRun run = mediaio({"info", "--json", jpeg.string(), png.string(), mkv.string(),
                                 webm.string(), wma.string(), mp3.string()});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 6u) << run.out;

    EXPECT_EQ(field(out[0], "kind"), "\"image\"");
    EXPECT_EQ(number(out[0], "width"), 100);
    EXPECT_EQ(number(out[0], "height"), 68);
    EXPECT_EQ(number(out[0], "file_size"), 7958);
    EXPECT_EQ(number(out[0], "bit_count"), 24);
    EXPECT_EQ(number(out[1], "width"), 128);
    EXPECT_EQ(number(out[1], "height"), 128);
    EXPECT_EQ(number(out[1], "file_size"), 30605);

    EXPECT_EQ(field(out[2], "kind"), "\"video\"");
    EXPECT_EQ(number(out[2], "width"), 640);
    EXPECT_EQ(number(out[2], "height"), 356);
    EXPECT_EQ(number(out[2], "sample_rate"), 44100);
    EXPECT_EQ(number(out[2], "channels"), 2);
    EXPECT_NE(field(out[2], "video_codec"), "");
    EXPECT_EQ(number(out[3], "width"), 480);
    EXPECT_EQ(number(out[3], "height"), 270);
    EXPECT_NEAR(number(out[3], "duration"), 44.652, 0.05);
    EXPECT_NEAR(number(out[3], "frame_rate"), 30.0, 0.01);

    EXPECT_EQ(field(out[4], "kind"), "\"audio\"");
    EXPECT_NEAR(number(out[4], "duration"), 1.662, 0.01);
    EXPECT_EQ(number(out[4], "sample_rate"), 44100);
    EXPECT_EQ(number(out[4], "channels"), 2);
    EXPECT_EQ(field(out[4], "width"), "0"); // an audio file has no picture
    EXPECT_NEAR(number(out[5], "duration"), 3.768, 0.01);
    EXPECT_EQ(number(out[5], "bit_rate"), 32000);
    for (const auto& line : out) {
        // ISO 8601 UTC times; every object closes with its metadata map.
        EXPECT_TRUE(std::regex_search(
            line, std::regex("\"modified\": \"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\"")))
            << line;
        EXPECT_NE(line.find("\"metadata\": {"), std::string::npos);
    }
}

TEST(MediaioCli, MetadataMatchesExifTool)
{
    // ExifTool: Make=Canon, Model=Canon EOS 40D, DateTimeOriginal=2008:05:30 15:56:01, FNumber 7.1.
    MIO_CORPUS_FILE(jpeg, "jpeg/Canon_40D.jpg");
    const ToolRun list = mediaio({"meta", "list", jpeg.string(), "--block", "exif"});
    ASSERT_EQ(list.code, 0) << list.err;
    if (list.out.empty()) GTEST_SKIP() << "engine lists no EXIF tags yet";
    EXPECT_NE(list.out.find("\tMake\tCanon\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\tModel\tCanon EOS 40D\n"), std::string::npos);
    EXPECT_NE(list.out.find("\t2008:05:30 15:56:01\n"), std::string::npos);

    // By name and by number the same tag gives the same text; a missing one fails with exit 1.
    const ToolRun byName =
        mediaio({"meta", "get", jpeg.string(), "--block", "exif", "--tag", "Model"});
    EXPECT_EQ(byName.code, 0) << byName.err;
    EXPECT_EQ(byName.out, "Canon EOS 40D\n");
    const ToolRun fNumber =
        mediaio({"meta", "get", jpeg.string(), "--block", "exif", "--tag", "F number"});
    ASSERT_EQ(fNumber.code, 0) << fNumber.err;
    const auto slash = fNumber.out.find('/');
    ASSERT_NE(slash, std::string::npos) << fNumber.out;
    EXPECT_NEAR(std::stod(fNumber.out) / std::stod(fNumber.out.substr(slash + 1)), 7.1, 1e-9);
    const ToolRun missing =
        mediaio({"meta", "get", jpeg.string(), "--block", "exif", "--tag", "No such tag"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find(jpeg.string() + ": no tag No such tag"), std::string::npos)
        << missing.err;

    // info --json carries the same tags under "metadata"."exif".
    const ToolRun info = mediaio({"info", "--json", jpeg.string()});
    ASSERT_EQ(info.code, 0);
    EXPECT_NE(info.out.find("\"metadata\": {\"exif\": [{\"tag\": "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("\"name\": \"Make\", \"value\": \"Canon\"}"), std::string::npos);
}

// Thumbnails need the engine's thumbnail methods; until a file's object offers them the tool
// must fail cleanly (exit 1, the file named, no output left behind).
bool thumbnailUnavailable(const ToolRun& run, const fs::path& input, const fs::path& output)
{
    if (run.code == 0) return false;
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find(input.string() + ": no thumbnail"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(output));
    return true;
}

TEST(MediaioCli, ThumbnailFitsTheRequestedSize)
{
    support::TempDir dir;
    const fs::path sample = makeSample(dir); // 320 x 240
    const PngInfo original = readPng(sample);
    ASSERT_TRUE(original.ok);
    EXPECT_EQ(original.width, 320u);
    EXPECT_EQ(original.height, 240u);

    const fs::path fitted = dir / "fit.png";
    const ToolRun fit =
        mediaio({"thumbnail", sample.string(), "-o", fitted.string(), "-s", "100x100"});
    if (thumbnailUnavailable(fit, sample, fitted)) GTEST_SKIP() << "engine offers no thumbnail yet";
    const PngInfo small = readPng(fitted);
    ASSERT_TRUE(small.ok);
    // The image object truncates fitted sides to multiples of 4 (75 -> 72); others keep 75.
    EXPECT_EQ(small.width, 100u);
    EXPECT_GE(small.height, 72u);
    EXPECT_LE(small.height, 75u);

    const fs::path exact = dir / "exact.bmp";
    const ToolRun ex =
        mediaio({"thumbnail", sample.string(), "-o", exact.string(), "-s", "90x90", "--exact"});
    ASSERT_EQ(ex.code, 0) << ex.err;
    const auto bmp = support::readFile(exact);
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp[18] | bmp[19] << 8, 90);
    EXPECT_EQ(bmp[22] | bmp[23] << 8, 90);
}

TEST(MediaioCli, VideoFramesByIndexAndTime)
{
    MIO_CORPUS_FILE(webm, "video/echo-hereweare.webm"); // 480 x 270, 44.65 s (ffprobe)
    MIO_CORPUS_FILE(gif, "gif/chi.gif");                // 31 frames (ExifTool)
    support::TempDir dir;
    const ToolRun atTime = mediaio({"thumbnail", webm.string(), "-o", (dir / "t.png").string(),
                                    "--time", "10", "-s", "320x240"});
    if (thumbnailUnavailable(atTime, webm, dir / "t.png"))
        GTEST_SKIP() << "no video thumbnails yet";
    const PngInfo frame = readPng(dir / "t.png");
    EXPECT_EQ(frame.width, 320u);
    EXPECT_EQ(frame.height, 180u);

    const ToolRun fifth =
        mediaio({"thumbnail", gif.string(), "-o", (dir / "g.png").string(), "--frame", "5"});
    EXPECT_EQ(fifth.code, 0) << fifth.err;
    EXPECT_TRUE(readPng(dir / "g.png").ok);
    // Past the last frame: a failure that names the file, and no picture.
    const ToolRun past =
        mediaio({"thumbnail", gif.string(), "-o", (dir / "p.png").string(), "--frame", "99"});
    EXPECT_EQ(past.code, 1);
    EXPECT_NE(past.err.find(gif.string() + ": no thumbnail"), std::string::npos) << past.err;
    EXPECT_FALSE(fs::exists(dir / "p.png"));
}

TEST(MediaioCli, ThumbnailerWritesACacheEntry)
{
    support::TempDir dir;
    const fs::path sample = makeSample(dir, "my picture.png");
    const fs::path output = dir / "cache-entry"; // the cache names its temp files freely
    struct stat st {};
    ASSERT_EQ(stat(sample.c_str(), &st), 0);

    // A URI input that is not local is refused without touching the engine.
    const ToolRun remote = mediaio({"-s", "128", "http://example.org/a.png", output.string()});
    EXPECT_EQ(remote.code, 1);
    EXPECT_NE(remote.err.find("http://example.org/a.png"), std::string::npos);

    const std::string uri = "file://" + dir.path().string() + "/my%20picture.png";
    const ToolRun run = mediaio({"-s", "128", uri, output.string()});
    if (thumbnailUnavailable(run, sample, output)) GTEST_SKIP() << "engine offers no thumbnail yet";
    const PngInfo entry = readPng(output);
    ASSERT_TRUE(entry.ok);
    EXPECT_EQ(entry.width, 128u);
    EXPECT_EQ(entry.height, 96u);
    EXPECT_EQ(textOf(entry, "Thumb::URI"), uri);
    EXPECT_EQ(textOf(entry, "Thumb::MTime"), std::to_string(st.st_mtime));

    // A plain path becomes the same URI.
    const ToolRun byPath = mediaio({"-s", "128", sample.string(), output.string()});
    ASSERT_EQ(byPath.code, 0) << byPath.err;
    EXPECT_EQ(textOf(readPng(output), "Thumb::URI"), uri);
}

TEST(MediaioCli, SampleIsAValidPictureInBothFormats)
{
    support::TempDir dir;
    const PngInfo png = readPng(makeSample(dir, "s.png"));
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, 320u);
    const auto bmp = support::readFile(makeSample(dir, "s.bmp"));
    // 32-bit rows because the sample has a transparent corner.
    EXPECT_EQ(bmp.size(), 54u + 320u * 240u * 4u);
    EXPECT_EQ(mediaio({"sample", (dir / "s.gif").string()}).code, 1);
}

} // namespace
