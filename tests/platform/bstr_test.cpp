// SPDX-License-Identifier: MIT
// BSTR layout and allocation: byte-length prefix, terminator, embedded NULs, NULL handling.
#include <gtest/gtest.h>

#include "tavrel/platform/oleauto.h"

namespace {

uint32_t prefixOf(BSTR b)
{
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(b) - 4, 4);
    return v;
}

TEST(Bstr, PrefixCountsBytesWithoutTerminator)
{
    BSTR b = SysAllocString(u"Hello");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(prefixOf(b), 10u);
    EXPECT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(SysStringByteLen(b), 10u);
    EXPECT_EQ(b[5], u'\0');
    EXPECT_EQ(std::u16string(b), u"Hello");
    SysFreeString(b);
}

TEST(Bstr, LengthVariantsKeepEmbeddedNulsAndOddByteCounts)
{
    const char16_t text[] = {u'a', 0, u'b'};
    BSTR b = SysAllocStringLen(text, 3);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(b[2], u'b');
    EXPECT_EQ(b[3], 0);
    SysFreeString(b);

    BSTR bytes = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(bytes), 3u);
    EXPECT_EQ(SysStringLen(bytes), 1u);
    EXPECT_EQ(std::memcmp(bytes, "abc\0\0", 5), 0);
    SysFreeString(bytes);

    BSTR blank = SysAllocStringLen(nullptr, 4); // room for 4 characters plus terminator
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(blank[4], 0);
    SysFreeString(blank);
}

TEST(Bstr, NullIsAValidEmptyString)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
}

TEST(Bstr, ReAllocCopesWithSourceInsideOldString)
{
    BSTR b = SysAllocString(u"first string");
    ASSERT_EQ(SysReAllocString(&b, b + 6), TRUE);
    EXPECT_EQ(std::u16string(b), u"string");
    EXPECT_EQ(SysStringLen(b), 6u);
    EXPECT_EQ(SysReAllocString(nullptr, u"x"), FALSE);
    SysFreeString(b);
}

TEST(Bstr, AbsurdLengthsAreRefused)
{
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, UniqueBstrFreesAndReleases)
{
    tavrel::UniqueBstr s(SysAllocString(u"abc"));
    EXPECT_EQ(s.length(), 3u);
    *s.put() = SysAllocString(u"de");
    EXPECT_EQ(s.length(), 2u);
    BSTR raw = s.release();
    EXPECT_EQ(s.get(), nullptr);
    SysFreeString(raw);
}

} // namespace
