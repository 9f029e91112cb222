// SPDX-License-Identifier: MIT
// Short path aliases for long and non-ANSI paths, and the platform's buffer rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"
#include "tavrel/platform/files.h"
#include "tavrel/platform/text.h"

namespace fs = std::filesystem;

namespace {

std::u16string w(const fs::path& p)
{
    return support::u16(p.string());
}

std::u16string shortPath(const std::u16string& path)
{
    const DWORD need = GetShortPathNameW(path.c_str(), nullptr, 0);
    EXPECT_GT(need, 0u);
    std::u16string out(need, u'\0');
    EXPECT_EQ(GetShortPathNameW(path.c_str(), out.data(), need), need - 1);
    out.resize(need - 1);
    return out;
}

std::vector<uint8_t> readThroughPlatform(const std::u16string& path)
{
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::vector<uint8_t> bytes(4096);
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, bytes.data(), 4096, &n, nullptr));
    bytes.resize(n);
    CloseHandle(h);
    return bytes;
}

// A file under a chain of non-ASCII folders whose UTF-8 path is well over 259 bytes.
class LongPath : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fs::path folder = dir.path();
        for (int i = 0; i < 8; ++i)
            folder /= "\xE6\x97\xA5\xE6\x9C\xAC-photos-\xC3\xA9t\xC3\xA9-" + std::to_string(i);
        fs::create_directories(folder);
        file = folder / "\xE5\x86\x99\xE7\x9C\x9F.JPG";
        support::writeFile(file, content);
        ASSERT_GT(file.string().size(), 259u);
    }
    support::TempDir dir;
    fs::path file;
    const std::vector<uint8_t> content{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3};
};

} // namespace

TEST(ShortPath, ShortPathsComeBackUnchangedWithThePlatformBufferRules)
{
    support::TempDir dir;
    support::writeFile(dir / "a.jpg", {1});
    const std::u16string path = w(dir / "a.jpg");
    EXPECT_EQ(shortPath(path), path);
    // Too small: the size needed with the NUL, nothing written.
    char16_t small[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(GetShortPathNameW(path.c_str(), small, 4), path.size() + 1);
    EXPECT_EQ(small[0], u'x');
    EXPECT_EQ(GetShortPathNameW(path.c_str(), nullptr, 0), path.size() + 1);

    SetLastError(0);
    EXPECT_EQ(GetShortPathNameW(w(dir / "missing.jpg").c_str(), nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetShortPathNameW(w(dir / "no" / "missing.jpg").c_str(), nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetShortPathNameW(nullptr, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(LongPath, AliasFitsInAnAnsiPathFieldAndOpensTheSameFile)
{
    const std::u16string alias = shortPath(w(file));
    const std::string alias8 = support::u8(alias);
    EXPECT_LE(alias8.size(), 259u);
    for (const unsigned char c : alias8)
        EXPECT_LT(c, 0x80) << alias8;
    EXPECT_EQ(fs::path(alias8).extension(), ".JPG");
    EXPECT_EQ(readThroughPlatform(alias), content);
    EXPECT_EQ(readThroughPlatform(w(file)), content);
    // Asking again gives the same alias.
    EXPECT_EQ(shortPath(w(file)), alias);

    // The alias folder is private to this user and not a symbolic link.
    struct stat st {};
    ASSERT_EQ(::lstat(fs::path(alias8).parent_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
}

TEST_F(LongPath, ExtendedPrefixIsKeptAndInPlaceConversionWorks)
{
    // As a caller does it: "\\?\" + path in a buffer, converted in place with a 260 limit.
    std::u16string buffer = u"\\\\?\\" + w(file);
    buffer.resize(buffer.size() + 10, u'\0');
    const DWORD n = GetShortPathNameW(buffer.data(), buffer.data(), MAX_PATH);
    ASSERT_GT(n, 4u);
    ASSERT_LT(n, static_cast<DWORD>(MAX_PATH));
    const std::u16string result(buffer.data(), n);
    EXPECT_EQ(result.substr(0, 4), u"\\\\?\\");
    EXPECT_EQ(readThroughPlatform(result.substr(4)), content);
    EXPECT_EQ(readThroughPlatform(result), content);
}

TEST_F(LongPath, AHashCollisionNeverRedirectsToTheWrongFile)
{
    const std::string alias = support::u8(shortPath(w(file)));
    // Someone else's path took the name first.
    support::writeFile(dir / "other.JPG", {0x42});
    ASSERT_EQ(::unlink(alias.c_str()), 0);
    ASSERT_EQ(::symlink((dir / "other.JPG").c_str(), alias.c_str()), 0);
    const std::u16string second = shortPath(w(file));
    EXPECT_NE(support::u8(second), alias);
    EXPECT_EQ(readThroughPlatform(second), content);
    ::unlink(alias.c_str());
    ::unlink(support::u8(second).c_str());
}

TEST(ShortPath, PathsTheAnsiCodePageCannotHoldGetAnAliasUnder1252)
{
    support::TempDir dir;
    const fs::path file = dir / "\xE6\x97\xA5\xE6\x9C\xAC.png"; // 日本.png
    support::writeFile(file, {7, 8, 9});
    const fs::path latin = dir / "caf\xC3\xA9.png"; // café.png fits in 1252
    support::writeFile(latin, {1});
    EXPECT_EQ(shortPath(w(file)), w(file)); // UTF-8 holds everything
    ASSERT_TRUE(TavrelSetActiveCodePage(1252));
    const std::u16string alias = shortPath(w(file));
    const std::u16string latinShort = shortPath(w(latin));
    TavrelSetActiveCodePage(CP_UTF8);
    EXPECT_NE(alias, w(file));
    EXPECT_EQ(fs::path(support::u8(alias)).extension(), ".png");
    EXPECT_EQ(readThroughPlatform(alias), (std::vector<uint8_t>{7, 8, 9}));
    EXPECT_EQ(latinShort, w(latin));
}

TEST_F(LongPath, AliasesOfVanishedFilesAreRemovedWhenANewAliasIsMade)
{
    const std::string alias = support::u8(shortPath(w(file)));
    const fs::path folder = fs::path(alias).parent_path();
    const fs::path dead = folder / "tavrel-test-dead-alias.jpg";
    fs::remove(dead);
    fs::create_symlink(dir / "never-existed.jpg", dead);

    // A second long path needs a new alias; making it sweeps the dead one, not the live one.
    const fs::path second = file.parent_path() / "second-file-with-a-long-name.png";
    support::writeFile(second, {1});
    const std::string secondAlias = support::u8(shortPath(w(second)));
    EXPECT_FALSE(fs::is_symlink(dead));
    EXPECT_TRUE(fs::is_symlink(alias));
    EXPECT_EQ(fs::read_symlink(secondAlias), second);
}
