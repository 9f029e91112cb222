// SPDX-License-Identifier: MIT
// Tests of the common library: per-thread last error and the settings-file path.
#include "contracts/common_library.h"

#include <tavrel/platform/text.h>

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace {

// Sets an environment variable for one test and restores the old value afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_old)
            setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

  private:
    std::string m_name;
    std::optional<std::string> m_old;
};

struct ErrorRead {
    int code;
    std::string text;
};

ErrorRead readError(int bufSize = 256)
{
    std::string buffer(static_cast<size_t>(bufSize), '\x7f');
    const int code = c32GetDLLErrorInfo(buffer.data(), bufSize, 0, 0, 0, 0);
    return {code, buffer.c_str()};
}

} // namespace

TEST(LastError, ReportsLatestFailureUntilReset)
{
    c32ResetDLLErrInfo();
    mioCommonSetLastError(mio::kLibErrOpen, "cannot open file");
    mioCommonSetLastError(mio::kLibErrFormat, "not a TIFF file");
    ErrorRead error = readError();
    EXPECT_EQ(error.code, mio::kLibErrFormat);
    EXPECT_EQ(error.text, "not a TIFF file");
    // Reading does not consume the error.
    error = readError();
    EXPECT_EQ(error.code, mio::kLibErrFormat);
    EXPECT_EQ(error.text, "not a TIFF file");
    mioCommonSetLastError(mio::kLibErrGeneric, nullptr);
    error = readError();
    EXPECT_EQ(error.code, mio::kLibErrGeneric);
    EXPECT_EQ(error.text, "");
    mioCommonSetLastError(mio::kLibErrCorrupt, "JPEG data is truncated");
    c32ResetDLLErrInfo();
    error = readError();
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.text, "");
}

TEST(LastError, NullOrEmptyBufferOnlyReturnsCode)
{
    mioCommonSetLastError(mio::kLibErrCorrupt, "bad data");
    EXPECT_EQ(c32GetDLLErrorInfo(nullptr, 256, 0, 0, 0, 0), mio::kLibErrCorrupt);
    char untouched[4] = {'x', 'y', 'z', '\0'};
    EXPECT_EQ(c32GetDLLErrorInfo(untouched, 0, 0, 0, 0, 0), mio::kLibErrCorrupt);
    EXPECT_EQ(c32GetDLLErrorInfo(untouched, -5, 0, 0, 0, 0), mio::kLibErrCorrupt);
    EXPECT_STREQ(untouched, "xyz");
}

TEST(LastError, LongTextIsCutAtWholeCharacterAndTerminated)
{
    // "ab" then U+00E9 (two bytes) then "cd": a 4-byte buffer holds "ab" and the terminator,
    // never half of the two-byte character.
    mioCommonSetLastError(mio::kLibErrOpen, "ab\xC3\xA9"
                                            "cd");
    char small[4] = {1, 1, 1, 1};
    EXPECT_EQ(c32GetDLLErrorInfo(small, 4, 0, 0, 0, 0), mio::kLibErrOpen);
    EXPECT_STREQ(small, "ab");
    char exact[5] = {1, 1, 1, 1, 1};
    c32GetDLLErrorInfo(exact, 5, 0, 0, 0, 0);
    EXPECT_STREQ(exact, "ab\xC3\xA9");
    char one[1] = {1};
    c32GetDLLErrorInfo(one, 1, 0, 0, 0, 0);
    EXPECT_EQ(one[0], '\0');

    const std::string longText(1000, 'e');
    mioCommonSetLastError(mio::kLibErrCorrupt, longText.c_str());
    const ErrorRead error = readError(256);
    EXPECT_EQ(error.text, std::string(255, 'e'));
}

TEST(LastError, SingleByteCodePageTextIsCutAtAnyByte)
{
    // In Windows-1252 0xA9 is a whole character, not the tail of a UTF-8 sequence.
    ASSERT_TRUE(TavrelSetActiveCodePage(1252));
    mioCommonSetLastError(mio::kLibErrOpen, "abc\xA9"
                                            "def");
    char buffer[5] = {};
    c32GetDLLErrorInfo(buffer, 5, 0, 0, 0, 0);
    TavrelSetActiveCodePage(CP_UTF8);
    EXPECT_STREQ(buffer, "abc\xA9");
}

TEST(LastError, IsKeptPerThread)
{
    c32ResetDLLErrInfo();
    mioCommonSetLastError(mio::kLibErrOpen, "main thread failure");
    ErrorRead seenByOther{-1, {}};
    std::thread other([&] {
        seenByOther = readError();
        mioCommonSetLastError(mio::kLibErrCorrupt, "other thread failure");
    });
    other.join();
    EXPECT_EQ(seenByOther.code, 0);
    EXPECT_EQ(seenByOther.text, "");
    const ErrorRead mine = readError();
    EXPECT_EQ(mine.code, mio::kLibErrOpen);
    EXPECT_EQ(mine.text, "main thread failure");
}

TEST(SettingsFile, LivesUnderXdgConfigHomeAndFolderIsCreated)
{
    support::TempDir dir;
    const std::string config = (dir.path() / "conf").string();
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    char path[260];
    const int length = q32GetKelvraIniFileName(path, 260);
    const std::string expected = config + "/tavrel/mediaio.ini";
    EXPECT_EQ(length, static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(path), expected);
    struct stat info {};
    ASSERT_EQ(stat((config + "/tavrel").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(SettingsFile, FallsBackToHomeConfigWhenXdgUnsetOrRelative)
{
    support::TempDir dir;
    const std::string home = dir.path().string();
    ScopedEnv homeEnv("HOME", home.c_str());
    for (const char* xdg : {static_cast<const char*>(nullptr), "relative/conf", ""}) {
        ScopedEnv xdgEnv("XDG_CONFIG_HOME", xdg);
        char path[260];
        ASSERT_GT(q32GetKelvraIniFileName(path, 260), 0);
        EXPECT_EQ(std::string(path), home + "/.config/tavrel/mediaio.ini");
    }
}

TEST(SettingsFile, TooSmallBufferFailsWithEmptyString)
{
    support::TempDir dir;
    const std::string config = (dir.path() / "c").string();
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    const std::string expected = config + "/tavrel/mediaio.ini";
    const int needed = static_cast<int>(expected.size()) + 1;
    std::string buffer(static_cast<size_t>(needed), 'x');

    EXPECT_EQ(q32GetKelvraIniFileName(buffer.data(), needed - 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(q32GetKelvraIniFileName(buffer.data(), needed), needed - 1);
    EXPECT_EQ(std::string(buffer.c_str()), expected);
    EXPECT_EQ(q32GetKelvraIniFileName(nullptr, 260), 0);
    EXPECT_EQ(q32GetKelvraIniFileName(buffer.data(), 0), 0);
}

TEST(SettingsFile, FailsWhenFolderCannotBeCreated)
{
    support::TempDir dir;
    // A plain file where the configuration folder should be.
    const std::string blocker = (dir.path() / "file").string();
    support::writeFile(blocker, {1, 2, 3});
    ScopedEnv xdg("XDG_CONFIG_HOME", blocker.c_str());
    char path[260] = "unchanged";
    EXPECT_EQ(q32GetKelvraIniFileName(path, 260), 0);
    EXPECT_EQ(path[0], '\0');
}
