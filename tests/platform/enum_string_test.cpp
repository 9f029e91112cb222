// SPDX-License-Identifier: MIT
// String enumerator: Next's S_OK/S_FALSE rule, Skip, Reset and Clone.
#include <gtest/gtest.h>

#include "tavrel/platform/objidl.h"

namespace {

ComPtr<IEnumString> makeEnum()
{
    const LPCOLESTR items[] = {u"/app1", u"/xmp", u"/com"};
    ComPtr<IEnumString> e;
    EXPECT_EQ(TavrelCreateEnumString(items, 3, e.GetAddressOf()), S_OK);
    return e;
}

TEST(EnumString, NextReturnsSOkOnlyForAFullBatch)
{
    ComPtr<IEnumString> e = makeEnum();
    LPOLESTR got[4] = {};
    ULONG n = 99;
    ASSERT_EQ(e->Next(2, got, &n), S_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::u16string(got[0]), u"/app1");
    EXPECT_EQ(std::u16string(got[1]), u"/xmp");
    CoTaskMemFree(got[0]);
    CoTaskMemFree(got[1]);
    ASSERT_EQ(e->Next(4, got, &n), S_FALSE);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(std::u16string(got[0]), u"/com");
    CoTaskMemFree(got[0]);
    EXPECT_EQ(e->Next(1, got, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(e->Next(1, got, nullptr), S_FALSE); // a null count is fine for one item
    EXPECT_EQ(e->Next(2, got, nullptr), E_INVALIDARG);
}

TEST(EnumString, SkipResetAndCloneKeepPositions)
{
    ComPtr<IEnumString> e = makeEnum();
    EXPECT_EQ(e->Skip(1), S_OK);
    ComPtr<IEnumString> c;
    ASSERT_EQ(e->Clone(c.GetAddressOf()), S_OK);
    EXPECT_EQ(e->Skip(5), S_FALSE);
    LPOLESTR s = nullptr;
    ASSERT_EQ(c->Next(1, &s, nullptr), S_OK);
    EXPECT_EQ(std::u16string(s), u"/xmp");
    CoTaskMemFree(s);
    EXPECT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Next(1, &s, nullptr), S_OK);
    EXPECT_EQ(std::u16string(s), u"/app1");
    CoTaskMemFree(s);
}

TEST(EnumString, EmptyAndInvalidInput)
{
    ComPtr<IEnumString> e;
    ASSERT_EQ(TavrelCreateEnumString(nullptr, 0, e.GetAddressOf()), S_OK);
    LPOLESTR s = nullptr;
    EXPECT_EQ(e->Next(1, &s, nullptr), S_FALSE);
    EXPECT_EQ(TavrelCreateEnumString(nullptr, 2, e.ReleaseAndGetAddressOf()), E_INVALIDARG);
    const LPCOLESTR withNull[] = {u"a", nullptr};
    EXPECT_EQ(TavrelCreateEnumString(withNull, 2, e.ReleaseAndGetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(TavrelCreateEnumString(withNull, 1, nullptr), E_INVALIDARG);
}

} // namespace
