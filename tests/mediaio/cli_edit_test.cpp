// SPDX-License-Identifier: MIT
// The tool's writing commands end to end: metadata set and removed on copies of corpus files
// and read back by ExifTool, refused changes that leave files byte for byte as they were,
// conversions read back with libpng, registration into private registry folders, batches over
// folders, the progress line, and every command's help against the options it takes.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli_support.h"

namespace {

using namespace clitest;

// ExifTool's values of a file, keyed by family-1 group and name ("ID3v1:Artist").
Json exiftool(const fs::path& file, const std::vector<std::string>& tags)
{
    std::vector<std::string> args = {"-j", "-n", "-G1", "-a"};
    for (const auto& tag : tags)
        args.push_back("-" + tag);
    args.push_back(file.string());
    const ToolRun run = runProgram("exiftool", args);
    EXPECT_EQ(run.code, 0) << run.err;
    auto list = parseJson(run.out);
    EXPECT_TRUE(list) << run.out;
    return list ? (*list)[0] : Json{};
}

bool needExifTool()
{
    return havePath("exiftool");
}

TEST(MediaioMetaWrite, JpegXmpShortcutsReadBackByExifTool)
{
    MIO_CORPUS_FILE(source, "jpeg/Canon_40D.jpg");
    if (!needExifTool()) GTEST_SKIP() << "exiftool is not installed";
    support::ScopedCopy copy(source);
    const std::string file = copy.path().string();

    const ToolRun set = mediaio({"meta", "set", file, "--rating", "4", "--caption",
                                 "Über den Wolken", "--keywords", " alpha, beta ,,gamma "});
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_TRUE(set.out.empty());
    Json xmp = exiftool(
        copy.path(), {"XMP:Rating", "XMP:RatingPercent", "XMP:Title", "XMP:Subject", "EXIF:Make"});
    EXPECT_EQ(xmp["XMP-xmp:Rating"].number, 4);
    EXPECT_EQ(xmp["XMP-microsoft:RatingPercent"].number, 75);
    EXPECT_EQ(xmp["XMP-dc:Title"].text, "Über den Wolken");
    const Json& subject = xmp["XMP-dc:Subject"];
    ASSERT_EQ(subject.items.size(), 3u);
    EXPECT_EQ(subject[0].text, "alpha");
    EXPECT_EQ(subject[1].text, "beta");
    EXPECT_EQ(subject[2].text, "gamma");
    EXPECT_EQ(xmp["IFD0:Make"].text, "Canon"); // the rest of the file survives

    // The engine reads back what it wrote, by shortcut and by tag name.
    const auto info = parseJson(mediaio({"info", "--json", file}).out);
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["rating"].text, "4");
    EXPECT_EQ((*info)["caption"].text, "Über den Wolken");
    EXPECT_EQ((*info)["keywords"].items.size(), 3u);
    const ToolRun byName =
        mediaio({"meta", "get", file, "--block", "xmp", "--tag", "MicrosoftPhoto:Rating"});
    EXPECT_EQ(byName.code, 0) << byName.err;
    EXPECT_EQ(byName.out, "75\n");

    // One tag by name, then the whole block removed.
    ASSERT_EQ(
        mediaio({"meta", "set", file, "--block", "xmp", "--tag", "dc:title", "--value", "Second"})
            .code,
        0);
    EXPECT_EQ(exiftool(copy.path(), {"XMP:Title"})["XMP-dc:Title"].text, "Second");
    const ToolRun removed = mediaio({"meta", "remove", file, "--block", "xmp"});
    ASSERT_EQ(removed.code, 0) << removed.err;
    xmp = exiftool(copy.path(), {"XMP:Rating", "XMP:Title", "EXIF:Model"});
    EXPECT_FALSE(xmp.has("XMP-xmp:Rating"));
    EXPECT_FALSE(xmp.has("XMP-dc:Title"));
    EXPECT_EQ(xmp["IFD0:Model"].text, "Canon EOS 40D");
}

TEST(MediaioMetaWrite, AudioTagsInEveryFamilyTheFileHas)
{
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s.mp3"); // ID3v1 and ID3v2.3
    MIO_CORPUS_FILE(flac, "audio/silence-44-s.flac");
    if (!needExifTool()) GTEST_SKIP() << "exiftool is not installed";
    support::ScopedCopy mp3Copy(mp3);
    support::ScopedCopy flacCopy(flac);

    ToolRun run =
        mediaio({"meta", "set", mp3Copy.path().string(), flacCopy.path().string(), "--artist",
                 "Zoë Keating", "--album", "Into the Trees", "--caption", "Escape Artist"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("2 file(s), 0 failed"), std::string::npos) << run.err;
    // Both ID3 versions of the MP3 carry the change (ID3v1 in its 8-bit text).
    Json tags = exiftool(mp3Copy.path(), {"ID3:Artist", "ID3:Album", "ID3:Title"});
    for (const char* group : {"ID3v2_3:", "ID3v1:"}) {
        EXPECT_EQ(tags[group + std::string("Artist")].text, "Zoë Keating") << group;
        EXPECT_EQ(tags[group + std::string("Album")].text, "Into the Trees") << group;
        EXPECT_EQ(tags[group + std::string("Title")].text, "Escape Artist") << group;
    }
    tags = exiftool(flacCopy.path(), {"Vorbis:Artist", "Vorbis:Album", "Vorbis:Title"});
    EXPECT_EQ(tags["Vorbis:Artist"].text, "Zoë Keating");
    EXPECT_EQ(tags["Vorbis:Album"].text, "Into the Trees");
    EXPECT_EQ(tags["Vorbis:Title"].text, "Escape Artist");

    // get over several files: FILE, a tab and the text; a file without the tag fails alone.
    const ToolRun both = mediaio({"meta", "get", mp3Copy.path().string(), flacCopy.path().string(),
                                  "--block", "vorbis", "--tag", "Artist"});
    EXPECT_EQ(both.code, 1);
    EXPECT_EQ(both.out, flacCopy.path().string() + "\tZoë Keating\n");
    EXPECT_NE(both.err.find(mp3Copy.path().string() + ": no tag Artist in its vorbis metadata"),
              std::string::npos)
        << both.err;

    // A tag by its catalogue name, then cleared by number; the ID3v1 block removed whole.
    run = mediaio({"meta", "set", mp3Copy.path().string(), "--block", "id3v2", "--tag", "Composer",
                   "--value", "Arvo Pärt"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(exiftool(mp3Copy.path(), {"ID3:Composer"})["ID3v2_3:Composer"].text, "Arvo Pärt");
    const ToolRun get =
        mediaio({"meta", "get", mp3Copy.path().string(), "--block", "id3v2", "--tag", "composer"});
    EXPECT_EQ(get.out, "Arvo Pärt\n") << get.err;
    run = mediaio({"meta", "remove", mp3Copy.path().string(), "--block", "id3v2", "--tag", "3"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_FALSE(exiftool(mp3Copy.path(), {"ID3:Composer"}).has("ID3v2_3:Composer"));
    run = mediaio({"meta", "remove", mp3Copy.path().string(), "--block", "id3v1"});
    ASSERT_EQ(run.code, 0) << run.err;
    tags = exiftool(mp3Copy.path(), {"ID3:Artist"});
    EXPECT_FALSE(tags.has("ID3v1:Artist")) << "ID3v1 still there";
    EXPECT_EQ(tags["ID3v2_3:Artist"].text, "Zoë Keating");
    run = mediaio(
        {"meta", "remove", flacCopy.path().string(), "--block", "vorbis", "--tag", "Album"});
    ASSERT_EQ(run.code, 0) << run.err;
    tags = exiftool(flacCopy.path(), {"Vorbis:all"});
    EXPECT_FALSE(tags.has("Vorbis:Album"));
    EXPECT_EQ(tags["Vorbis:Artist"].text, "Zoë Keating");
}

TEST(MediaioMetaWrite, RefusedChangesLeaveFilesAsTheyWere)
{
    MIO_CORPUS_FILE(jpeg, "jpeg/Canon_40D.jpg"); // no XMP: the engine pads it on a first write
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s-v1.mp3");
    support::ScopedCopy jpegCopy(jpeg);
    support::ScopedCopy mp3Copy(mp3);
    const auto jpegBefore = support::readFile(jpegCopy.path());
    const auto mp3Before = support::readFile(mp3Copy.path());

    struct Refusal {
        std::vector<std::string> args;
        const char* says;
    };
    const std::string j = jpegCopy.path().string(), m = mp3Copy.path().string();
    const Refusal refusals[] = {
        {{"meta", "set", j, "--block", "exif", "--tag", "Make", "--value", "X"},
         "cannot set exif tag Make (0x80004001, not supported for this file)"},
        {{"meta", "set", j, "--block", "xmp", "--tag", "99", "--value", "X"},
         "cannot set xmp tag 99 (0x80004005"},
        {{"meta", "set", j, "--rating", "5", "--artist", "Nobody"}, "cannot set the artist ("},
        {{"meta", "remove", m, "--block", "id3v1", "--tag", "Nope"},
         "no tag Nope in the id3v1 catalogue"},
        {{"meta", "set", m, "--keywords", "a,b"}, "cannot set the keywords (0x80004005"},
        {{"meta", "set", m, "--block", "id3v1", "--tag", "No such tag", "--value", "x"},
         "no tag No such tag in the id3v1 catalogue"}};
    for (const auto& refusal : refusals) {
        const ToolRun run = mediaio(refusal.args);
        SCOPED_TRACE(refusal.args[2] + " " + refusal.args[3]);
        EXPECT_EQ(run.code, 1) << run.err;
        EXPECT_NE(run.err.find("mediaio: " + refusal.args[2] + ": " + refusal.says),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(support::readFile(jpegCopy.path()), jpegBefore);
        EXPECT_EQ(support::readFile(mp3Copy.path()), mp3Before);
    }
    // A caption too long for the padding the engine adds to a JPEG without XMP: the file was
    // re-encoded before the commit failed, and the tool puts the old bytes back and says so.
    const ToolRun padded = mediaio({"meta", "set", j, "--caption", std::string(6000, 'x')});
    EXPECT_EQ(padded.code, 1) << padded.err;
    EXPECT_NE(padded.err.find("; the file was put back as it was"), std::string::npos)
        << padded.err;
    EXPECT_EQ(support::readFile(jpegCopy.path()), jpegBefore);

    // Nothing is left beside the files either.
    EXPECT_EQ(std::distance(fs::directory_iterator(jpegCopy.path().parent_path()),
                            fs::directory_iterator()),
              1);

    // A value the file already holds needs no write: success, file untouched (the engine
    // would refuse to commit nothing).
    const ToolRun same = mediaio({"meta", "set", m, "--artist", "piman"});
    EXPECT_EQ(same.code, 0) << same.err;
    EXPECT_EQ(support::readFile(mp3Copy.path()), mp3Before);

    // In a batch the refused file counts as failed and the other is written.
    const ToolRun batch = mediaio({"meta", "set", m, j, "--artist", "Both"});
    EXPECT_EQ(batch.code, 1);
    EXPECT_NE(batch.err.find("mediaio: " + j + ": cannot set the artist ("), std::string::npos)
        << batch.err;
    EXPECT_NE(batch.err.find("2 file(s), 1 failed"), std::string::npos) << batch.err;
    EXPECT_EQ(mediaio({"meta", "get", m, "--block", "id3v1", "--tag", "Artist"}).out, "Both\n");
    EXPECT_EQ(support::readFile(jpegCopy.path()), jpegBefore);
}

TEST(MediaioMetaWrite, UsageErrorsWriteNothing)
{
    support::TempDir dir;
    const fs::path sample = makeSample(dir);
    const auto before = support::readFile(sample);
    const std::string s = sample.string();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"meta", "set", s},
             {"meta", "set", s, "--value", "x"},
             {"meta", "set", s, "--block", "xmp", "--tag", "0"},
             {"meta", "set", s, "--block", "xmp", "--value", "x"},
             {"meta", "set", s, "--caption", "\xff\xfe"},
             {"meta", "set", s, "--rating", ""},
             {"meta", "set", s, "--album"},
             {"meta", "remove", s},
             {"meta", "remove", s, "--rating", "3", "--block", "xmp"},
             {"meta", "list", s, "--caption", "x"},
             {"meta", "get", s, "--block", "xmp", "--tag", "0", "--value", "1"},
             {"meta", "set", "--caption", "x"}}) {
        const ToolRun run = mediaio(args);
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(run.code, 2) << joined << run.err;
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << joined;
    }
    EXPECT_EQ(support::readFile(sample), before);
}

TEST(MediaioConvert, RoundTripsAndFormats)
{
    MIO_CORPUS_FILE(png, "png/hopper.png"); // 128 x 128 RGB
    MIO_CORPUS_FILE(jpeg, "jpeg/Canon_40D.jpg");
    MIO_CORPUS_FILE(webm, "video/echo-hereweare.webm");
    MIO_CORPUS_FILE(flac, "audio/silence-44-s.flac"); // a 1 x 1 PNG cover
    support::TempDir dir;

    // PNG to BMP to PNG is lossless: the pixels come back unchanged.
    ToolRun run = mediaio({"convert", png.string(), (dir / "a.bmp").string()});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto bmp = support::readFile(dir / "a.bmp");
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[18] | bmp[19] << 8, 128);
    run = mediaio({"convert", (dir / "a.bmp").string(), (dir / "b.png").string()});
    ASSERT_EQ(run.code, 0) << run.err;
    const PngInfo original = readPng(png);
    const PngInfo back = readPng(dir / "b.png");
    ASSERT_TRUE(original.ok && back.ok);
    EXPECT_EQ(back.width, 128u);
    EXPECT_EQ(back.channels, original.channels);
    EXPECT_EQ(back.rows, original.rows);

    // JPEG quality reaches the writer; the extension's other spellings are understood.
    ASSERT_EQ(
        mediaio({"convert", png.string(), (dir / "q20.jpeg").string(), "--quality", "20"}).code, 0);
    ASSERT_EQ(
        mediaio({"convert", png.string(), (dir / "q95.JPG").string(), "--quality", "95"}).code, 0);
    EXPECT_LT(fs::file_size(dir / "q20.jpeg") * 2, fs::file_size(dir / "q95.JPG"));

    // A video gives its first frame, an audio file its cover, at their own sizes; --preview
    // the embedded EXIF thumbnail (68 x 46, as ExifTool extracts it).
    const std::pair<fs::path, std::pair<uint32_t, uint32_t>> sizes[] = {
        {webm, {480, 270}}, {flac, {1, 1}}, {jpeg, {100, 68}}};
    for (const auto& [input, size] : sizes) {
        run = mediaio({"convert", input.string(), (dir / "f.png").string()});
        ASSERT_EQ(run.code, 0) << input << run.err;
        const PngInfo frame = readPng(dir / "f.png");
        EXPECT_EQ(frame.width, size.first) << input;
        EXPECT_EQ(frame.height, size.second) << input;
    }
    run = mediaio({"convert", jpeg.string(), (dir / "p.png").string(), "--preview"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(readPng(dir / "p.png").width, 68u);
    EXPECT_EQ(readPng(dir / "p.png").height, 46u);

    // Failures: no preview, a format the writer refuses, no output either time.
    run = mediaio({"convert", png.string(), (dir / "none.png").string(), "--preview"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find(png.string() + ": no embedded preview (0x"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir / "none.png"));
    run = mediaio({"convert", png.string(), (dir / "x.psd").string()});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("cannot write " + (dir / "x.psd").string() + " as psd"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir / "x.psd"));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"convert", png.string()},
             {"convert", png.string(), (dir / "x.webp").string()},
             {"convert", png.string(), (dir / "x.png").string(), "--quality", "0"},
             {"convert", png.string(), (dir / "x.png").string(), "--quality", "101"},
             {"convert", png.string(), jpeg.string(), (dir / "out").string()},
             {"convert", png.string(), dir.path().string()},
             {"convert", png.string(), (dir / "x.png").string(), "--to", "zip"}}) {
        run = mediaio(args);
        EXPECT_EQ(run.code, 2) << args.back() << run.err;
    }
}

TEST(MediaioBatch, FoldersKeepTheirLayoutAndCollisionsFail)
{
    support::TempDir in, out;
    fs::create_directories(in / "sub");
    makeSample(in, "one.png");
    makeSample(in, "sub/two.png");
    makeSample(in, "sub/two.bmp"); // lands on the same output name as two.png
    support::writeFile(in / "broken.png", std::vector<uint8_t>(40, 0x11));

    ToolRun run = mediaio({"convert", "-r", in.path().string(), (out / "jpg").string(), "--to",
                           ".jpg", "--quality", "80"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(fs::exists(out / "jpg/one.jpg"));
    EXPECT_TRUE(fs::exists(out / "jpg/sub/two.jpg"));
    EXPECT_NE(run.err.find("sub/two.png: its output " + (out / "jpg/sub/two.jpg").string() +
                           " was already written from " + (in / "sub/two.bmp").string()),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find((in / "broken.png").string() + ": cannot open (0x"), std::string::npos);
    EXPECT_NE(run.err.find("4 file(s), 2 failed"), std::string::npos) << run.err;
    // Standard error is no terminal here: no progress line.
    EXPECT_EQ(run.err.find('\r'), std::string::npos);

    fs::remove(in / "broken.png");
    fs::remove(in / "sub/two.bmp");
    run = mediaio(
        {"thumbnail", in.path().string(), "-r", "-o", (out / "thumbs").string(), "-s", "64"});
    ASSERT_EQ(run.code, 0) << run.err;
    for (const char* name : {"thumbs/one.png", "thumbs/sub/two.png"}) {
        const PngInfo thumb = readPng(out / name);
        ASSERT_TRUE(thumb.ok) << name;
        EXPECT_EQ(thumb.width, 64u);
        EXPECT_EQ(thumb.height, 48u);
    }
    // Without -r a folder is refused, and so is an output file for several inputs.
    run = mediaio({"thumbnail", in.path().string(), "-o", (out / "flat").string()});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("use -r"), std::string::npos);
    run = mediaio({"thumbnail", (in / "one.png").string(), (in / "sub/two.png").string(), "-o",
                   (out / "thumbs/one.png").string()});
    EXPECT_EQ(run.code, 2);

    // An output that is the input itself is refused, not written over it.
    const auto original = support::readFile(in / "one.png");
    run = mediaio({"thumbnail", (in / "one.png").string(), "-o", (in / "one.png").string()});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("is the input itself"), std::string::npos) << run.err;
    run = mediaio({"convert", in.path().string(), "-r", in.path().string(), "--to", "png"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("2 file(s), 2 failed"), std::string::npos) << run.err;
    EXPECT_EQ(support::readFile(in / "one.png"), original);

    // --preview wants an embedded one (a sample has none); --force decodes the picture.
    run = mediaio(
        {"thumbnail", (in / "one.png").string(), "-o", (out / "p.png").string(), "--preview"});
    EXPECT_EQ(run.code, 1);
    EXPECT_FALSE(fs::exists(out / "p.png"));
    run = mediaio({"thumbnail", (in / "one.png").string(), "-o", (out / "f.png").string(),
                   "--force", "-s", "32x32"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(readPng(out / "f.png").width, 32u);

    // On a terminal the progress line is drawn on standard error.
    if (!havePath("script")) return;
    run = runProgram("script", {"-qec",
                                shellQuote(MIO_MEDIAIO_EXE) + " info " +
                                    shellQuote((in / "one.png").string()) + " " +
                                    shellQuote((in / "sub/two.png").string()) + " >/dev/null",
                                "/dev/null"});
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("\r\033[K[............"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("] 2/2 two.png"), std::string::npos) << run.out;
}

TEST(MediaioRegister, MachineAndUserRegistrationsInPrivateFolders)
{
    support::TempDir dir;
    const std::string reg = (dir / "reg").string();
    const std::string manager = "{591AA5E7-12B2-4AF8-A896-1934027FD26A}";
    auto hive = [&](const char* name) {
        if (!fs::exists(dir / "reg" / name)) return std::string();
        const auto bytes = support::readFile(dir / "reg" / name);
        return std::string(bytes.begin(), bytes.end());
    };
    ToolRun run = mediaio({"register", "--registry", reg});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("for the machine"), std::string::npos);
    std::string machine = hive("machine.reg");
    EXPECT_NE(machine.find("[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\" + manager +
                           "\\InprocServer32]\r\n@=\""),
              std::string::npos)
        << machine;
    // The path the module was loaded by, without ../ detours.
    EXPECT_EQ(machine.find("/../"), std::string::npos);
    EXPECT_NE(machine.find("TavrelMediaIO.MediaFileIOMan.1"), std::string::npos);
    EXPECT_EQ(hive("user.reg").find(manager), std::string::npos);
    run = mediaio({"unregister", "--registry", reg});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(hive("machine.reg").find(manager), std::string::npos);

    // --user without --registry: the user's data folder.
    const std::string xdg = (dir / "xdg").string();
    run = mediaio({"register", "--user"}, "XDG_DATA_HOME=" + shellQuote(xdg));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("for the current user"), std::string::npos);
    auto bytes = support::readFile(dir / "xdg/tavrel/registry/user.reg");
    std::string user(bytes.begin(), bytes.end());
    EXPECT_NE(user.find("[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\" + manager + "]"),
              std::string::npos);
    run = mediaio({"unregister", "--user"}, "XDG_DATA_HOME=" + shellQuote(xdg));
    ASSERT_EQ(run.code, 0) << run.err;
    bytes = support::readFile(dir / "xdg/tavrel/registry/user.reg");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find(manager), std::string::npos);

    // A registry folder that cannot be made fails with the reason; files are not taken.
    support::writeFile(dir / "plain", {1});
    run = mediaio({"register", "--registry", (dir / "plain/reg").string()});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find((dir / "plain/reg").string()), std::string::npos);
    EXPECT_EQ(mediaio({"register", "extra"}).code, 2);
    EXPECT_EQ(mediaio({"unregister", "--machine"}).code, 2);
}

// Options named in a help text: -x and --word tokens.
std::set<std::string> optionsIn(const std::string& help)
{
    std::set<std::string> out;
    const std::regex option("(^|[\\s\\[(|,])(--?[a-z][a-z0-9-]*)");
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it)
        out.insert((*it)[2].str());
    return out;
}

TEST(MediaioHelp, EveryCommandTakesExactlyTheOptionsItsHelpNames)
{
    support::TempDir dir;
    const std::string scratch = (dir / "x").string();
    struct Command {
        std::vector<std::string> prefix;
        std::set<std::string> expected; // the options the issue asks each command for
    };
    const std::pair<std::string, Command> commands[] = {
        {"info", {{"info"}, {"--json", "-r"}}},
        {"thumbnail",
         {{"thumbnail"},
          {"-o", "-s", "--exact", "--frame", "--time", "--preview", "--force", "-r"}}},
        {"meta",
         {{"meta", "set"},
          {"--block", "--tag", "--value", "--rating", "--caption", "--keywords", "--artist",
           "--album", "-r"}}},
        {"convert", {{"convert"}, {"--quality", "--preview", "-r", "--to"}}},
        {"register", {{"register"}, {"--user", "--registry"}}},
        {"unregister", {{"unregister"}, {"--user", "--registry"}}}};
    // Options any command might plausibly take; each one a command accepts must be in its help.
    std::set<std::string> candidates = {
        "--verbose", "-v",       "--quiet", "-q",          "--format", "--all",     "--force-write",
        "--dry-run", "--output", "--size",  "--recursive", "-n",       "--machine", "--width"};
    for (const auto& [name, command] : commands)
        candidates.insert(command.expected.begin(), command.expected.end());

    const ToolRun top = mediaio({"--help"});
    for (const auto& [name, command] : commands) {
        SCOPED_TRACE(name);
        const ToolRun help = mediaio({"help", name});
        ASSERT_EQ(help.code, 0);
        const ToolRun same = mediaio({name, "--help"});
        EXPECT_EQ(same.out, help.out);
        const auto documented = optionsIn(help.out);
        for (const auto& option : command.expected)
            EXPECT_TRUE(documented.count(option)) << option << " missing from the help";
        EXPECT_NE(top.out.find("  " + name), std::string::npos) << "not in mediaio --help";
        for (const auto& option : candidates) {
            if (option == "-h" || option == "--help") continue;
            std::vector<std::string> args = command.prefix;
            args.push_back(option);
            args.push_back(scratch);
            if (name == "register" || name == "unregister") {
                args.push_back("--registry");
                args.push_back((dir / "reg").string());
            }
            const ToolRun run = mediaio(args);
            const bool accepted = run.err.find("unknown option " + option) == std::string::npos;
            EXPECT_EQ(accepted, documented.count(option) == 1)
                << option
                << (accepted ? " accepted but not in the help" : " documented but refused") << "\n"
                << run.err;
            if (!accepted) {
                EXPECT_EQ(run.code, 2) << option;
            }
        }
    }
}

} // namespace

namespace {

TEST(MediaioThumbnail, CorpusFilesAtTheRequestedSizeInLibpng)
{
    // Fitted sizes keep the aspect ratio and never enlarge: a 480 x 270 video into 160 x 120
    // gives 160 x 90, the 100 x 68 photograph stays as it is, a 1224 x 816 raw gives 160 x 106.
    struct Case {
        const char* file;
        uint32_t width, height;
    };
    const Case cases[] = {{"video/echo-hereweare.webm", 160, 90},
                          {"jpeg/Canon_40D.jpg", 100, 68},
                          {"raw/canon_eos_6d.dng", 160, 106},
                          {"audio/fixture-bad-offset.mp3", 120, 120}, // its 500 x 500 cover
                          {"png/transparent.png", 160, 120}};
    support::TempDir dir;
    int done = 0;
    for (const auto& c : cases) {
        const auto input = support::corpusPathOrEmpty(c.file);
        if (input.empty()) continue;
        SCOPED_TRACE(c.file);
        ToolRun run = mediaio(
            {"thumbnail", input.string(), "-o", (dir / "fit.png").string(), "-s", "160x120"});
        ASSERT_EQ(run.code, 0) << run.err;
        const PngInfo fit = readPng(dir / "fit.png");
        ASSERT_TRUE(fit.ok);
        EXPECT_EQ(fit.width, c.width);
        EXPECT_EQ(fit.height, c.height);

        // --exact: the same picture centred on a transparent 160 x 120 canvas.
        run = mediaio({"thumbnail", input.string(), "-o", (dir / "exact.png").string(), "-s",
                       "160x120", "--exact"});
        ASSERT_EQ(run.code, 0) << run.err;
        const PngInfo exact = readPng(dir / "exact.png");
        ASSERT_TRUE(exact.ok);
        ASSERT_EQ(exact.width, 160u);
        ASSERT_EQ(exact.height, 120u);
        ASSERT_EQ(exact.channels, 4);
        const uint32_t top = (120 - c.height) / 2, left = (160 - c.width) / 2;
        ++done;
        if (top > 0) {
            EXPECT_EQ(exact.rows[top - 1][4 * 80 + 3], 0) << "above the picture";
        }
        if (left > 0) {
            EXPECT_EQ(exact.rows[60][4 * (left - 1) + 3], 0) << "left of it";
        }
        if (c.width == 160 && c.height == 120) continue; // fills the canvas; alpha is its own
        EXPECT_EQ(exact.rows[60][4 * 80 + 3], 255) << "the picture itself is opaque";
    }
    if (done == 0) GTEST_SKIP() << "corpus not available";
}

} // namespace
