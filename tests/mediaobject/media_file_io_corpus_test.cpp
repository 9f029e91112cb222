// SPDX-License-Identifier: MIT
// Media objects built from the real libraries' records for every video, audio and still image
// of the corpus, against what ffprobe and ExifTool read from the same files.
#include <contracts/file_format_id_table.h>
#include <contracts/still_image_library.h>
#include <contracts/video_library.h>
#include <gtest/gtest.h>
#include <tavrel/platform/files.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mediaobject/media_file_io.h"
#include "support/test_support.h"

namespace {

std::string run(const std::string& command)
{
    std::string out;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    char chunk[1024];
    while (std::fgets(chunk, sizeof chunk, pipe))
        out += chunk;
    pclose(pipe);
    return out;
}

bool haveTool(const char* name)
{
    return !run(std::string("command -v ") + name).empty();
}

struct Probe {
    bool video = false, audio = false;
    int width = 0, height = 0, rotation = 0, sampleRate = 0, channels = 0;
    double duration = NAN;
};

std::map<std::string, std::string> fieldsOf(const std::string& line)
{
    std::map<std::string, std::string> fields;
    std::stringstream in(line);
    std::string item;
    while (std::getline(in, item, '|'))
        if (const auto eq = item.find('='); eq != std::string::npos)
            fields[item.substr(0, eq)] = item.substr(eq + 1);
    return fields;
}

int number(const std::map<std::string, std::string>& f, const char* key)
{
    const auto it = f.find(key);
    return it == f.end() || it->second == "N/A" ? 0 : std::atoi(it->second.c_str());
}

// The first real video stream (not cover art) and the first audio stream, per ffprobe.
Probe ffprobe(const std::filesystem::path& file)
{
    Probe p;
    std::stringstream out(run("ffprobe -v error -show_entries stream=codec_type,width,height,"
                              "sample_rate,channels:stream_disposition=attached_pic:"
                              "stream_side_data=rotation:format=duration -of compact '" +
                              file.string() + "'"));
    std::string line;
    while (std::getline(out, line)) {
        const auto f = fieldsOf(line);
        if (line.starts_with("format|")) {
            if (f.count("duration") && f.at("duration") != "N/A")
                p.duration = std::stod(f.at("duration"));
            continue;
        }
        const auto type = f.find("codec_type");
        if (type == f.end()) continue;
        if (type->second == "video" && !p.video && number(f, "disposition:attached_pic") == 0) {
            p.video = true;
            p.width = number(f, "width");
            p.height = number(f, "height");
            p.rotation = number(f, "rotation");
        } else if (type->second == "audio" && !p.audio) {
            p.audio = true;
            p.sampleRate = number(f, "sample_rate");
            p.channels = number(f, "channels");
        }
    }
    return p;
}

std::vector<std::filesystem::path> corpusFiles(std::initializer_list<const char*> folders)
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

// Modification time of the file in whole seconds since 1970, as the object reports it.
void expectFileTimes(IMediaFileIO* object, const std::filesystem::path& file)
{
    FILETIME created{}, modified{};
    ASSERT_EQ(object->GetFileTime(&created, &modified), S_OK);
    LONGLONG seconds = 0;
    TavrelFileTimeToUnixTime(&modified, &seconds, nullptr);
    const auto mtime = std::chrono::duration_cast<std::chrono::seconds>(
        std::filesystem::last_write_time(file).time_since_epoch() -
        std::chrono::file_clock::now().time_since_epoch() +
        std::chrono::system_clock::now().time_since_epoch());
    EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(mtime.count()), 2.0);
}

class Environment : public ::testing::Environment {
    void SetUp() override
    {
        mio::libraryLocksInit();
        qVideoInit();
    }
    void TearDown() override
    {
        qVideoExit();
        mio::libraryLocksFini();
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

TEST(MediaObjectCorpus, VideoAndAudioFilesMatchFfprobe)
{
    if (support::corpusDir().empty() || !haveTool("ffprobe"))
        GTEST_SKIP() << "no corpus or ffprobe";
    int checked = 0;
    for (const auto& file : corpusFiles({"video", "audio"})) {
        SCOPED_TRACE(file.string());
        const Probe probe = ffprobe(file);
        VideoFileInfo record{};
        record.recordSize = kVideoFileInfoSize;
        record.parseMode = kVideoParseQuick;
        std::strncpy(record.ansiPath, file.c_str(), sizeof record.ansiPath - 1);
        auto hold = mio::LibraryLockHold::enter(mio::videoLibraryLock());
        if (qVideoGetFileInfo(&record) <= 0) {
            // Only files ffprobe cannot read either may be refused.
            EXPECT_FALSE(probe.video || probe.audio);
            continue;
        }
        ComPtr<IMediaFileIO> object;
        ASSERT_EQ(mio::CMediaFileIO::create(object.GetAddressOf()), S_OK);
        ASSERT_EQ(object->SetVideoData(&record), S_OK);
        static_cast<mio::CMediaFileIO*>(object.Get())->adoptLibraryLock(*hold.release());
        ++checked;

        int32_t type = 0;
        ASSERT_EQ(object->GetFileType(&type), S_OK);
        EXPECT_EQ(type, probe.video ? 1 : 2);
        if (probe.video) {
            int32_t w = 0, h = 0, aspectX = 0, aspectY = 0;
            ASSERT_EQ(object->GetFrameSize(&w, &h), S_OK);
            const bool turned = std::abs(probe.rotation) == 90 || std::abs(probe.rotation) == 270;
            EXPECT_EQ(w, turned ? probe.height : probe.width);
            EXPECT_EQ(h, turned ? probe.width : probe.height);
            int32_t bits = 0;
            EXPECT_EQ(object->GetFrameBitCount(&bits), S_OK);
            EXPECT_EQ(bits, 24);
            EXPECT_EQ(object->GetAspectRatio(&aspectX, &aspectY), S_OK);
            WCHAR codec[64];
            EXPECT_EQ(object->GetVideoCodecName(codec, sizeof codec), S_OK);
        }
        if (probe.audio) {
            int32_t rate = 0, bits = 0, channels = 0;
            ASSERT_EQ(object->GetAudioAttributes(&rate, &bits, &channels), S_OK);
            EXPECT_EQ(rate, probe.sampleRate);
            EXPECT_EQ(channels, probe.channels);
            WCHAR codec[64];
            EXPECT_EQ(object->GetAudioCodecName(codec, sizeof codec), S_OK);
        } else {
            EXPECT_EQ(object->GetAudioAttributes(nullptr, nullptr, nullptr), E_FAIL);
        }
        double duration = 0;
        const HRESULT durationResult = object->GetDuration(&duration);
        if (durationResult == S_OK) {
            EXPECT_TRUE(std::isfinite(duration));
            if (!std::isnan(probe.duration) && !probe.video) {
                EXPECT_NEAR(duration, probe.duration, std::max(0.1, probe.duration * 0.05));
            }
        } else {
            EXPECT_EQ(durationResult, E_FAIL);
        }
        double total = 0, video = 0, audio = 0;
        if (object->GetBitRate(&total, &video, &audio) == S_OK) {
            EXPECT_EQ(total, video + audio);
            EXPECT_GT(total, 0);
        }
        uint64_t size = 0;
        ASSERT_EQ(object->GetFileSize(&size), S_OK);
        EXPECT_EQ(size, std::filesystem::file_size(file));
        int32_t id = -1;
        ASSERT_EQ(object->GetFileFormatID(&id), S_OK);
        EXPECT_TRUE(FileFormatIdTable::isVideoNumber(id));
        WCHAR name[64], ext[16];
        EXPECT_EQ(object->GetFileFormatName(name, sizeof name), S_OK);
        EXPECT_EQ(object->GetFileFormatExtName(ext, sizeof ext), S_OK);
        EXPECT_GT(std::u16string(name).size(), 0u);
        expectFileTimes(object.Get(), file);
        EXPECT_EQ(object->ParseDetail(), S_OK);
    }
    EXPECT_GE(checked, 40);
}

// Width and height ExifTool reads, by file path, for a whole list of files in one run.
std::map<std::string, std::pair<std::string, std::string>>
exiftoolSizes(const std::vector<std::filesystem::path>& files)
{
    std::string command = "exiftool -n -T -Directory -FileName -ImageWidth -ImageHeight";
    for (const auto& file : files)
        command += " '" + file.string() + "'";
    std::map<std::string, std::pair<std::string, std::string>> sizes;
    std::stringstream out(run(command));
    std::string line;
    while (std::getline(out, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string v; std::getline(fields, v, '\t');)
            f.push_back(v);
        if (f.size() == 4) sizes[f[0] + "/" + f[1]] = {f[2], f[3]};
    }
    return sizes;
}

TEST(MediaObjectCorpus, StillImagesMatchExifTool)
{
    if (support::corpusDir().empty() || !haveTool("exiftool"))
        GTEST_SKIP() << "no corpus or exiftool";
    int checked = 0;
    const auto files =
        corpusFiles({"jpeg", "png", "gif", "bmp", "tiff", "ico", "other-images", "raw"});
    const auto sizes = exiftoolSizes(files);
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        auto hold = mio::LibraryLockHold::enter(mio::imageLibraryLock());
        HGLOBAL block = qfFileGetFileData(file.c_str(), 0);
        if (!block) continue; // formats without a decoder are refused by the library
        ComPtr<IMediaFileIO> object;
        ASSERT_EQ(mio::CMediaFileIO::create(object.GetAddressOf()), S_OK);
        ASSERT_EQ(object->SetImageData(block), S_OK);
        static_cast<mio::CMediaFileIO*>(object.Get())->adoptLibraryLock(*hold.release());
        ++checked;

        int32_t w = 0, h = 0, type = 0, frames = 0, bits = 0;
        ASSERT_EQ(object->GetFrameSize(&w, &h), S_OK);
        // Icons hold several sizes, raw files a sensor size and EPS files a bounding box in
        // points: ExifTool names another size than the picture the library reads.
        const auto folder = file.parent_path().filename();
        const auto size = sizes.find(file.string());
        if (size != sizes.end() && size->second.first != "-" && folder != "raw" &&
            folder != "ico" && file.extension() != ".eps") {
            EXPECT_EQ(std::to_string(w), size->second.first);
            EXPECT_EQ(std::to_string(h), size->second.second);
        }
        EXPECT_EQ(object->GetFileType(&type), S_OK);
        EXPECT_EQ(type, 3);
        EXPECT_EQ(object->GetTotalFrames(&frames), S_OK);
        EXPECT_EQ(frames, 1);
        EXPECT_EQ(object->GetFrameBitCount(&bits), S_OK);
        EXPECT_GT(bits, 0);
        uint64_t bytes = 0;
        ASSERT_EQ(object->GetFileSize(&bytes), S_OK);
        EXPECT_EQ(bytes, std::filesystem::file_size(file));
        WCHAR ext[16];
        ASSERT_EQ(object->GetFileFormatExtName(ext, sizeof ext), S_OK);
        int32_t id = -1;
        const auto number = FileFormatIdTable::numberOfExtension(support::u8(ext));
        EXPECT_EQ(object->GetFileFormatID(&id), number ? S_OK : E_FAIL);
        if (number) {
            EXPECT_EQ(id, *number);
        }
        double rate = 0;
        EXPECT_EQ(object->GetFrameRate(&rate), E_FAIL);
        expectFileTimes(object.Get(), file);
    }
    EXPECT_GE(checked, 30);
}

} // namespace
