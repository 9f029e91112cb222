// SPDX-License-Identifier: MIT
// The video library's format list: codes, lookups and the records it fills.
#include "contracts/file_format_id_table.h"
#include "video_formats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

using namespace mio::video;

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

int indexOfExtension(std::string_view ext)
{
    auto formats = videoFormats();
    for (size_t i = 0; i < formats.size(); ++i)
        if (formatHasExtension(formats[i], ext)) return static_cast<int>(i);
    return -1;
}

} // namespace

TEST(VideoFormatTable, CodesFollowTheNumberingAndIncludeTheConfiguredFormats)
{
    auto formats = videoFormats();
    ASSERT_LE(formats.size(), 41u);
    for (size_t i = 0; i < formats.size(); ++i) {
        uint32_t code = formatCode(formats[i]);
        EXPECT_EQ(FileFormatIdTable::numberOfVideoCode(code), formats[i].number);
        EXPECT_EQ(formatIndexOfCode(code), static_cast<int>(i));
    }
    // The manager sends its configuration calls to these two codes.
    EXPECT_GE(formatIndexOfCode(2), 0);
    EXPECT_GE(formatIndexOfCode(0x80000020u), 0);
    EXPECT_EQ(formatIndexOfCode(0), -1);
    EXPECT_EQ(formatIndexOfCode(3), -1);           // two bits
    EXPECT_EQ(formatIndexOfCode(0x80000400u), -1); // beyond number 40
}

TEST(VideoFormatTable, ExtensionsAreUniqueAndNeverClaimStillImages)
{
    std::set<std::string> seen;
    for (const VideoFormat& format : videoFormats()) {
        std::string all = std::string(format.extension) + ";" + std::string(format.moreExtensions);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find(';', start);
            if (end == std::string::npos) end = all.size();
            std::string ext = all.substr(start, end - start);
            start = end + 1;
            if (ext.empty()) continue;
            EXPECT_EQ(ext, lower(ext)) << format.name;
            EXPECT_TRUE(seen.insert(ext).second) << "listed twice: " << ext;
            // A shared extension classifies as video, so only GIF (decided by frame count)
            // may appear in both tables.
            if (ext != "gif") {
                EXPECT_FALSE(FileFormatIdTable::numberOfExtension(ext)) << ext;
            }
        }
    }
    for (const char* ext :
         {"avi", "mpg",  "vob", "dat", "ts",  "mts",  "m2ts", "mp4",  "m4v", "mov", "3gp",
          "mkv", "webm", "wmv", "wma", "asf", "flv",  "ogg",  "opus", "dv",  "rm",  "gif",
          "wav", "mp3",  "mp2", "aac", "m4a", "flac", "ac3",  "aif",  "amr"})
        EXPECT_GE(indexOfExtension(ext), 0) << ext;
    EXPECT_GE(indexOfExtension("MP4"), 0);
}

TEST(VideoFormatTable, DemuxerFamiliesAreSplitByExtension)
{
    const char* mov = "mov,mp4,m4a,3gp,3g2,mj2";
    EXPECT_EQ(formatIndexForDemuxer(mov, "m4a"), indexOfExtension("m4a"));
    EXPECT_EQ(formatIndexForDemuxer(mov, "3g2"), indexOfExtension("3gp"));
    EXPECT_EQ(formatIndexForDemuxer(mov, "mp4"), indexOfExtension("mp4"));
    EXPECT_EQ(formatIndexForDemuxer(mov, "MOV"), indexOfExtension("mov"));
    // A misnamed file still lands in the family, on its first row.
    EXPECT_EQ(formatIndexForDemuxer(mov, "avi"), indexOfExtension("mov"));
    EXPECT_EQ(formatIndexForDemuxer("matroska,webm", "webm"), indexOfExtension("webm"));
    EXPECT_EQ(formatIndexForDemuxer("matroska,webm", ""), indexOfExtension("mkv"));
    EXPECT_EQ(formatIndexForDemuxer("mpegts", "m2ts"), indexOfExtension("mts"));
    EXPECT_EQ(formatIndexForDemuxer("mpegts", "ts"), indexOfExtension("ts"));
    EXPECT_EQ(formatIndexForDemuxer("mpegvideo", "mpg"), indexOfExtension("mpg"));
    EXPECT_EQ(formatIndexForDemuxer("image2", "jpg"), -1);
    EXPECT_EQ(formatIndexForDemuxer("", "mp4"), -1);
}

TEST(VideoFormatTable, FillsFormatInfoWithExtensionsBackToBack)
{
    int mpeg = formatIndexOfCode(2);
    ASSERT_GE(mpeg, 0);
    VideoFormatInfo info{};
    ASSERT_TRUE(fillFormatInfo(mpeg, &info));
    EXPECT_EQ(info.zero, 0);
    EXPECT_STREQ(info.extension, "mpg");
    EXPECT_STREQ(info.name, "MPEG video");
    EXPECT_EQ(info.formatCode, 2u);
    ASSERT_EQ(info.extraExtensionCount, 7);
    const char* expected[] = {"mpeg", "mpe", "m1v", "m2v", "mpv", "vob", "dat"};
    const char* p = info.extraExtensions;
    for (const char* ext : expected) {
        EXPECT_STREQ(p, ext);
        p += std::strlen(p) + 1;
    }
    EXPECT_EQ(*p, '\0');

    VideoFormatInfo webm{};
    ASSERT_TRUE(fillFormatInfo(formatIndexOfCode(0x80000020u), &webm));
    EXPECT_STREQ(webm.extension, "mts");
    EXPECT_EQ(webm.formatCode, 0x80000020u);

    EXPECT_FALSE(fillFormatInfo(-1, &info));
    EXPECT_FALSE(fillFormatInfo(static_cast<int>(videoFormats().size()), &info));
    EXPECT_FALSE(fillFormatInfo(0, nullptr));
}
