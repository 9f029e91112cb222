// SPDX-License-Identifier: MIT
// Code-page conversion: buffer rules, malformed input, Windows-1252 and the active code page.
#include <gtest/gtest.h>

#include <string>

#include "tavrel/platform/text.h"

namespace {

// Restores the default active code page however a test ends.
struct ActiveCodePage {
    explicit ActiveCodePage(UINT cp) { EXPECT_TRUE(TavrelSetActiveCodePage(cp)); }
    ~ActiveCodePage() { TavrelSetActiveCodePage(CP_UTF8); }
};

} // namespace

TEST(MultiByteToWideChar, CountsTheTerminatorForMinusOneAndQueriesSizeWithZeroOutput)
{
    const char* text = "a\xC3\xA9\xF0\x9F\x98\x80"; // a, é, U+1F600 (a surrogate pair)
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 5);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 3, nullptr, 0), 2);

    char16_t out[5] = {1, 1, 1, 1, 1};
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, out, 5), 5);
    EXPECT_EQ(std::u16string(out, 5), std::u16string(u"a\u00E9\U0001F600", 4) + u'\0');
}

TEST(MultiByteToWideChar, FailsIntoATooSmallBuffer)
{
    char16_t out[4];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", -1, out, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    // Without the terminator the same text fits exactly.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", 4, out, 4), 4);
}

TEST(MultiByteToWideChar, RefusesBadArguments)
{
    char16_t out[8];
    const struct {
        UINT cp;
        DWORD flags;
        const char* in;
        int cb;
        char16_t* out;
        int cch;
        DWORD error;
    } cases[] = {
        {CP_UTF8, 0, nullptr, -1, out, 8, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, "x", 0, out, 8, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, "x", -2, out, 8, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, "x", 1, nullptr, 8, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, "x", 1, out, -1, ERROR_INVALID_PARAMETER},
        {437, 0, "x", 1, out, 8, ERROR_INVALID_PARAMETER},
        {CP_UTF8, MB_PRECOMPOSED, "x", 1, out, 8, ERROR_INVALID_FLAGS},
        {1252, MB_PRECOMPOSED | MB_COMPOSITE, "x", 1, out, 8, ERROR_INVALID_FLAGS},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(c.cp, c.flags, c.in, c.cb, c.out, c.cch), 0);
        EXPECT_EQ(GetLastError(), c.error) << "code page " << c.cp << ", cb " << c.cb;
    }
}

TEST(MultiByteToWideChar, MalformedUtf8FailsStrictlyOrBecomesOneReplacementPerSequence)
{
    const std::string broken[] = {
        "a\x80",             // stray continuation byte
        "a\xC0\xAF",         // overlong slash
        "a\xED\xA0\x80",     // encoded surrogate
        "a\xF4\x90\x80\x80", // above U+10FFFF
        "a\xE2\x82",         // truncated euro sign
    };
    char16_t out[16];
    for (const auto& s : broken) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(),
                                      static_cast<int>(s.size()), out, 16),
                  0);
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    }
    // Lenient: a truncated sequence is one U+FFFD, bytes that can never start a sequence are
    // one each.
    int n = MultiByteToWideChar(CP_UTF8, 0, "a\xE2\x82z", 4, out, 16);
    EXPECT_EQ(std::u16string(out, static_cast<size_t>(n)), u"a\uFFFDz");
    n = MultiByteToWideChar(CP_UTF8, 0, "\xC0\xAF", 2, out, 16);
    EXPECT_EQ(std::u16string(out, static_cast<size_t>(n)), u"\uFFFD\uFFFD");
}

TEST(WideCharToMultiByte, Utf8SizesBuffersAndSurrogates)
{
    const char16_t* text = u"\u00E9\u20AC\U0001F600";
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 10);
    char out[10];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 10, nullptr, nullptr), 10);
    EXPECT_STREQ(out, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 9, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    SetLastError(0);
    EXPECT_EQ(
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, out, 10, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, -1, out, 10, nullptr, nullptr), 6);
    EXPECT_STREQ(out, "a\xEF\xBF\xBD"
                      "b");

    // UTF-8 loses nothing, so the default-character arguments are refused.
    BOOL used = FALSE;
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 10, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CodePage1252, MapsTheHighControlRangeBothWays)
{
    // Every byte 0x01-0xFF decodes and encodes back to itself.
    char all[256];
    for (int i = 1; i < 256; ++i)
        all[i - 1] = static_cast<char>(i);
    all[255] = 0;
    char16_t wide[256];
    ASSERT_EQ(MultiByteToWideChar(1252, MB_ERR_INVALID_CHARS, all, -1, wide, 256), 256);
    EXPECT_EQ(wide[0x80 - 1], 0x20AC);
    EXPECT_EQ(wide[0x8A - 1], 0x0160);
    EXPECT_EQ(wide[0x81 - 1], 0x0081);
    EXPECT_EQ(wide[0x9F - 1], 0x0178);
    EXPECT_EQ(wide[0xE9 - 1], 0x00E9);
    char back[256];
    BOOL used = TRUE;
    ASSERT_EQ(WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, wide, -1, back, 256, nullptr, &used),
              256);
    EXPECT_EQ(std::string(back), std::string(all));
    EXPECT_FALSE(used);
}

TEST(CodePage1252, UnrepresentableCharactersUseTheDefaultOrABestFit)
{
    const char16_t* text = u"A\u0101\u4E2D\U0001F600"; // A, ā, 中, an emoji
    char out[16];
    BOOL used = FALSE;
    int n = WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, text, -1, out, 16, nullptr, &used);
    ASSERT_EQ(n, 5);
    EXPECT_STREQ(out, "A???");
    EXPECT_TRUE(used);

    // Best fit maps ā to a without counting as a default character.
    used = TRUE;
    n = WideCharToMultiByte(1252, 0, u"A\u0101", -1, out, 16, nullptr, &used);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(out, "Aa");
    EXPECT_FALSE(used);

    const char star = '*';
    n = WideCharToMultiByte(1252, 0, u"\u4E2D!", -1, out, 16, &star, &used);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(out, "*!");
    EXPECT_TRUE(used);

    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, text, -1, out, 16, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST(ActiveCodePage, IsUtf8ByDefaultAndSwitchesTo1252)
{
    EXPECT_EQ(GetACP(), CP_UTF8);
    char out[8];
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00E9", -1, out, 8, nullptr, nullptr), 3);
    EXPECT_STREQ(out, "\xC3\xA9");
    {
        ActiveCodePage ansi(1252);
        EXPECT_EQ(GetACP(), 1252u);
        ASSERT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, u"\u00E9", -1, out, 8, nullptr, nullptr),
                  2);
        EXPECT_STREQ(out, "\xE9");
        // The round trip a caller uses to detect a path the code page cannot hold.
        const char16_t* path = u"/photos/\u65E5\u672C.jpg";
        char ansiPath[64];
        ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, path, -1, ansiPath, 64, nullptr, nullptr), 0);
        char16_t back[64];
        ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, ansiPath, -1, back, 64), 0);
        EXPECT_NE(std::u16string(back), std::u16string(path));
    }
    EXPECT_EQ(GetACP(), CP_UTF8);
    SetLastError(0);
    EXPECT_FALSE(TavrelSetActiveCodePage(437));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetACP(), CP_UTF8);
}

TEST(StringHelpers, LengthCopyAndCaseInsensitiveCompare)
{
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenW(u"abc"), 3);
    char16_t buf[4];
    lstrcpynW(buf, u"abcdef", 4);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(lstrcmpiW(u"Photo.JPG", u"photo.jpg"), 0);
    EXPECT_EQ(lstrcmpiW(u"\u00C9T\u00C9", u"\u00E9t\u00E9"), 0);
    EXPECT_EQ(lstrcmpiW(u"\u0416", u"\u0436"), 0); // Cyrillic Zhe
    EXPECT_LT(lstrcmpiW(u"abc", u"ABD"), 0);
    EXPECT_GT(lstrcmpiW(u"abcd", u"ABC"), 0);
}

TEST(ConversionHelpers, NeverLoseCharactersSilently)
{
    EXPECT_EQ(tavrel::toWide("caf\xC3\xA9"), std::u16string(u"caf\u00E9"));
    EXPECT_EQ(tavrel::toWide("bad\xC3"), std::nullopt);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(tavrel::toMultiByte(u"\u65E5"), std::string("\xE6\x97\xA5"));

    ActiveCodePage ansi(1252);
    EXPECT_EQ(tavrel::toMultiByte(u"caf\u00E9"), std::string("caf\xE9"));
    EXPECT_EQ(tavrel::toMultiByte(u"\u0101"), std::nullopt); // no best fit behind the caller's back
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    bool used = false;
    EXPECT_EQ(tavrel::toMultiByte(u"a\u65E5", CP_ACP, &used), std::string("a?"));
    EXPECT_TRUE(used);
    EXPECT_EQ(tavrel::toWide("\x80"), std::u16string(u"\u20AC"));
}
