// SPDX-License-Identifier: MIT
// NormalizePath over the real platform: the 259-character limit, short aliases and the wide
// path block for paths the ANSI code page cannot hold.
#include <gtest/gtest.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/text.h>

#include <cstring>
#include <fstream>

#include "manager/fake_libraries.h"
#include "manager/normalize_path.h"
#include "support/test_support.h"

namespace {

// A file whose full path is exactly `length` UTF-16 characters, in nested folders of `dir`.
std::filesystem::path fileWithPathLength(const std::filesystem::path& dir, size_t length)
{
    std::filesystem::path folder = dir;
    while (folder.u16string().size() + 1 + 60 < length)
        folder /= std::string(50, 'd');
    std::filesystem::create_directories(folder);
    const size_t nameLength = length - folder.u16string().size() - 1;
    std::filesystem::path file = folder / (std::string(nameLength - 4, 'f') + ".mp4");
    std::ofstream(file) << "x";
    EXPECT_EQ(file.u16string().size(), length);
    return file;
}

VideoFileInfo freshRecord()
{
    VideoFileInfo record{};
    record.recordSize = kVideoFileInfoSize;
    return record;
}

class NormalizePathTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        TavrelSetActiveCodePage(CP_UTF8);
        fake::reset();
    }
    support::TempDir m_dir;
};

TEST_F(NormalizePathTest, PathOf259CharactersIsKept)
{
    const auto file = fileWithPathLength(m_dir.path(), 259);
    const std::u16string path = file.u16string();
    VideoFileInfo record = freshRecord();
    WCHAR out[260] = {};
    EXPECT_FALSE(mio::NormalizePath(path.c_str(), &record, out));
    EXPECT_EQ(std::u16string(out), path);
    EXPECT_EQ(std::string(record.ansiPath), file.string());
    EXPECT_EQ(record.widePath, nullptr);
    EXPECT_EQ(record.flags, 0u);
}

TEST_F(NormalizePathTest, PathOf260CharactersIsReplacedByItsShortForm)
{
    const auto file = fileWithPathLength(m_dir.path(), 260);
    const std::u16string path = file.u16string();
    VideoFileInfo record = freshRecord();
    WCHAR out[260] = {};
    EXPECT_TRUE(mio::NormalizePath(path.c_str(), &record, out));
    const std::u16string shortPath(out);
    EXPECT_LE(shortPath.size(), 259u);
    EXPECT_NE(shortPath, path);
    EXPECT_EQ(std::u16string(shortPath.begin(), shortPath.end()),
              support::u16(std::string(record.ansiPath)));
    // The alias opens the same file.
    EXPECT_TRUE(std::filesystem::equivalent(support::u8(shortPath), file));
    EXPECT_EQ(record.widePath, nullptr);
}

TEST_F(NormalizePathTest, PathOutsideTheCodePageGetsWideBlockAndAnsiShortForm)
{
    const auto file = m_dir.path() / std::filesystem::path(u8"\u65e5\u672c.mp4");
    std::ofstream(file) << "x";
    ASSERT_TRUE(TavrelSetActiveCodePage(1252));
    const std::u16string path = file.u16string();
    VideoFileInfo record = freshRecord();
    EXPECT_FALSE(mio::NormalizePath(path.c_str(), &record, nullptr));
    EXPECT_EQ(record.flags & kVideoFlagWidePath, kVideoFlagWidePath);
    ASSERT_NE(record.widePath, nullptr);
    EXPECT_EQ(std::u16string(record.widePath), path);
    EXPECT_EQ(GlobalSize(GlobalHandle(record.widePath)), 520u);
    const std::string ansi(record.ansiPath);
    ASSERT_FALSE(ansi.empty());
    for (char c : ansi)
        ASSERT_GT(static_cast<unsigned char>(c), 0) << ansi; // plain ASCII alias
    EXPECT_TRUE(std::filesystem::equivalent(ansi, file));
    qVideoFreeFileInfo(&record); // the fake frees the block as the library does
}

TEST_F(NormalizePathTest, OverLongPathWithoutShortFormGivesNoPathRatherThanACutOne)
{
    // The file does not exist, so the platform has no alias for it.
    const std::u16string path = m_dir.path().u16string() + u"/" + std::u16string(300, u'n');
    VideoFileInfo record = freshRecord();
    EXPECT_FALSE(mio::NormalizePath(path.c_str(), &record, nullptr));
    EXPECT_EQ(record.ansiPath[0], '\0');
    EXPECT_EQ(record.widePath, nullptr);
}

} // namespace
