// SPDX-License-Identifier: MIT
// Profile files: lookups, defaults, lists, truncation and atomic, structure-keeping updates.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "tavrel/platform/profile.h"

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& p)
{
    const auto bytes = support::readFile(p);
    return std::string(bytes.begin(), bytes.end());
}

void writeText(const fs::path& p, const std::string& text)
{
    support::writeFile(p, std::vector<uint8_t>(text.begin(), text.end()));
}

class Profile : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ini = (dir / "settings.ini").string();
        writeText(ini, "; maker settings\r\n"
                       "[QF_IJPG]\r\n"
                       "Quality = 92\r\n"
                       "Name=\"  quoted  \"\r\n"
                       "Hex=0x1F\r\n"
                       "Neg=-5\r\n"
                       "\r\n"
                       "[Other]\r\n"
                       "quality=3\r\n");
    }
    std::string get(const char* section, const char* key, const char* def = "dflt")
    {
        char buf[256];
        const DWORD n = GetPrivateProfileStringA(section, key, def, buf, sizeof buf, ini.c_str());
        EXPECT_EQ(n, std::strlen(buf));
        return buf;
    }
    support::TempDir dir;
    std::string ini;
};

} // namespace

TEST_F(Profile, ReadsValuesCaseInsensitivelyWithDefaults)
{
    EXPECT_EQ(GetPrivateProfileIntA("QF_IJPG", "Quality", 85, ini.c_str()), 92u);
    EXPECT_EQ(GetPrivateProfileIntA("qf_ijpg", "QUALITY", 85, ini.c_str()), 92u);
    EXPECT_EQ(GetPrivateProfileIntA("Other", "Quality", 85, ini.c_str()), 3u);
    EXPECT_EQ(GetPrivateProfileIntA("QF_IJPG", "Hex", 85, ini.c_str()), 31u);
    EXPECT_EQ(GetPrivateProfileIntA("QF_IJPG", "Neg", 85, ini.c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileIntA("QF_IJPG", "Missing", 85, ini.c_str()), 85u);
    EXPECT_EQ(GetPrivateProfileIntA("QF_IJPG", "Quality", 85, (dir / "none.ini").c_str()), 85u);

    EXPECT_EQ(get("QF_IJPG", "Name"), "  quoted  ");
    EXPECT_EQ(get("QF_IJPG", "Quality"), "92");
    EXPECT_EQ(get("QF_IJPG", "nothing", "  fallback  "), "fallback");
    EXPECT_EQ(get("Missing", "Quality", nullptr), "");
    // A comment line is not a key.
    EXPECT_EQ(get("QF_IJPG", "; maker settings"), "dflt");
}

TEST_F(Profile, ListsAndTruncationFollowThePlatform)
{
    char buf[64];
    DWORD n = GetPrivateProfileStringA(nullptr, nullptr, "", buf, sizeof buf, ini.c_str());
    EXPECT_EQ(std::string(buf, n + 1), std::string("QF_IJPG\0Other\0\0", 15));
    n = GetPrivateProfileStringA("QF_IJPG", nullptr, "", buf, sizeof buf, ini.c_str());
    EXPECT_EQ(std::string(buf, n + 1), std::string("Quality\0Name\0Hex\0Neg\0", 22));

    // Short buffers: a value is cut and terminated; a list ends with two NULs.
    n = GetPrivateProfileStringA("QF_IJPG", "Name", "", buf, 5, ini.c_str());
    EXPECT_EQ(n, 4u);
    EXPECT_STREQ(buf, "  qu");
    n = GetPrivateProfileStringA("QF_IJPG", nullptr, "", buf, 11, ini.c_str());
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(std::string(buf, 11), std::string("Quality\0N\0\0", 11));
}

TEST_F(Profile, WritesKeepTheRestOfTheFile)
{
    ASSERT_TRUE(WritePrivateProfileStringA("qf_ijpg", "QUALITY", "70", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("QF_IJPG", "Added", "1", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("New", "Key", "v", ini.c_str()));
    EXPECT_EQ(readText(ini), "; maker settings\r\n"
                             "[QF_IJPG]\r\n"
                             "QUALITY=70\r\n"
                             "Name=\"  quoted  \"\r\n"
                             "Hex=0x1F\r\n"
                             "Neg=-5\r\n"
                             "Added=1\r\n"
                             "\r\n"
                             "[Other]\r\n"
                             "quality=3\r\n"
                             "[New]\r\n"
                             "Key=v\r\n");
    EXPECT_EQ(GetPrivateProfileIntA("QF_IJPG", "Quality", 85, ini.c_str()), 70u);

    // Null value deletes a key; null key deletes the section.
    ASSERT_TRUE(WritePrivateProfileStringA("QF_IJPG", "hex", nullptr, ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("other", nullptr, nullptr, ini.c_str()));
    EXPECT_EQ(get("QF_IJPG", "Hex"), "dflt");
    EXPECT_EQ(GetPrivateProfileIntA("Other", "quality", 85, ini.c_str()), 85u);
    EXPECT_EQ(get("New", "Key"), "v");
    // Only the file remains: the temporary sibling was renamed, not left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST_F(Profile, CreatesAFileAndRefusesForgedLines)
{
    const std::string fresh = (dir / "fresh.ini").string();
    ASSERT_TRUE(WritePrivateProfileStringA("QF_IJPG", "Quality", "85", fresh.c_str()));
    EXPECT_EQ(readText(fresh), "[QF_IJPG]\nQuality=85\n");

    const std::string before = readText(ini);
    SetLastError(0);
    EXPECT_FALSE(
        WritePrivateProfileStringA("QF_IJPG", "Quality", "1\r\n[Evil]\r\nx=1", ini.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(readText(ini), before);

    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", (dir / "no" / "x.ini").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Profile, ALinkedProfileIsUpdatedThroughTheLink)
{
    const fs::path link = dir / "link.ini";
    fs::create_symlink(ini, link);
    ::chmod(ini.c_str(), 0640);
    ASSERT_TRUE(WritePrivateProfileStringA("QF_IJPG", "Quality", "50", link.c_str()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(GetPrivateProfileIntA("QF_IJPG", "Quality", 85, ini.c_str()), 50u);
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // permissions survive the replacement
}

TEST_F(Profile, ConcurrentWritersLoseNoUpdate)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int k = 0; k < 10; ++k) {
                const std::string key = "k" + std::to_string(t) + "_" + std::to_string(k);
                EXPECT_TRUE(WritePrivateProfileStringA("Many", key.c_str(), "1", ini.c_str()));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    char buf[1024];
    const DWORD n = GetPrivateProfileStringA("Many", nullptr, "", buf, sizeof buf, ini.c_str());
    int keys = 0;
    for (DWORD i = 0; i < n; ++i)
        keys += buf[i] == 0;
    EXPECT_EQ(keys, 40);
}
