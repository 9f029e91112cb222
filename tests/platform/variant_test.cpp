// SPDX-License-Identifier: MIT
// VARIANT copy and coercion: ranges, rounding, text forms and failure codes.
#include <gtest/gtest.h>

#include "tavrel/platform/oleauto.h"

namespace {

VARIANT i4(LONG v)
{
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = v;
    return x;
}

VARIANT r8(double v)
{
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_R8;
    x.dblVal = v;
    return x;
}

std::u16string textOf(const VARIANT& v)
{
    return std::u16string(v.bstrVal, SysStringLen(v.bstrVal));
}

TEST(Variant, NumbersConvertWithinRangeAndOverflowOutside)
{
    tavrel::Variant out;
    VARIANT src = i4(300);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I2), S_OK);
    EXPECT_EQ(out.vt, VT_I2);
    EXPECT_EQ(out.iVal, 300);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_UI1), DISP_E_OVERFLOW);
    EXPECT_EQ(out.vt, VT_I2); // untouched on failure
    src = i4(-1);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_UI4), DISP_E_OVERFLOW);
    src = r8(4294967295.0);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_UI4), S_OK);
    EXPECT_EQ(out.ulVal, 0xFFFFFFFFu);
    src = r8(4294967296.0);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_UI4), DISP_E_OVERFLOW);
    src = r8(1e39);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_R4), DISP_E_OVERFLOW);
}

TEST(Variant, RealsRoundHalfToEven)
{
    tavrel::Variant out;
    const std::pair<double, LONG> cases[] = {
        {2.5, 2}, {3.5, 4}, {-2.5, -2}, {2.4999, 2}, {-0.6, -1}};
    for (auto [in, expected] : cases) {
        VARIANT src = r8(in);
        ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_I4), S_OK) << in;
        EXPECT_EQ(out.lVal, expected) << in;
    }
}

TEST(Variant, BooleansUseMinusOneAndZero)
{
    tavrel::Variant out;
    VARIANT src = i4(7);
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    VARIANT b;
    VariantInit(&b);
    b.vt = VT_BOOL;
    b.boolVal = VARIANT_TRUE;
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, -1);
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_UI1), S_OK);
    EXPECT_EQ(out.bVal, 0xFF);
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_BSTR), S_OK);
    EXPECT_EQ(textOf(out), u"-1");
    ASSERT_EQ(VariantChangeType(&out, &b, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
    EXPECT_EQ(textOf(out), u"True");
}

TEST(Variant, TextParsesAndFormats)
{
    tavrel::Variant text, out;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u" 42 ");
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 42);
    text.reset();
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"-1.5e2");
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_R8), S_OK);
    EXPECT_EQ(out.dblVal, -150.0);
    text.reset();
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"18446744073709551615");
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_UI8), S_OK);
    EXPECT_EQ(out.ullVal, UINT64_MAX);
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I8), DISP_E_OVERFLOW);
    for (const char16_t* bad : {u"", u"12abc", u"\u0664\u0662", u"1,5"}) {
        text.reset();
        text.vt = VT_BSTR;
        text.bstrVal = SysAllocString(bad);
        EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);
    }
    text.reset();
    text.vt = VT_BSTR; // a null BSTR is the empty string
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I2), DISP_E_TYPEMISMATCH);

    VARIANT d = r8(0.1);
    ASSERT_EQ(VariantChangeType(&out, &d, 0, VT_BSTR), S_OK);
    EXPECT_EQ(textOf(out), u"0.1");
    d = r8(1e20);
    ASSERT_EQ(VariantChangeType(&out, &d, 0, VT_BSTR), S_OK);
    EXPECT_EQ(textOf(out), u"1E+20");
    VARIANT n = i4(-123);
    ASSERT_EQ(VariantChangeType(&out, &n, 0, VT_BSTR), S_OK);
    EXPECT_EQ(textOf(out), u"-123");
}

TEST(Variant, ConvertsInPlaceAndRejectsNull)
{
    tavrel::Variant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"17");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_UI2), S_OK);
    EXPECT_EQ(v.vt, VT_UI2);
    EXPECT_EQ(v.uiVal, 17);

    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&v, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);
    VARIANT empty;
    VariantInit(&empty);
    ASSERT_EQ(VariantChangeType(&v, &empty, 0, VT_I4), S_OK);
    EXPECT_EQ(v.lVal, 0);
    EXPECT_EQ(VariantChangeType(&v, &empty, 0, VT_I4 | VT_BYREF), DISP_E_BADVARTYPE);
}

TEST(Variant, ByRefSourceConvertsThePointedValue)
{
    LONG target = 99;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_I4 | VT_BYREF;
    ref.plVal = &target;
    tavrel::Variant out;
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(textOf(out), u"99");
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 99);
}

TEST(Variant, CopyDuplicatesBstrAndClearsDestination)
{
    tavrel::Variant src, dst;
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(u"abc");
    dst.vt = VT_BSTR;
    dst.bstrVal = SysAllocString(u"old"); // freed by the copy (ASan would report a leak)
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_NE(dst.bstrVal, src.bstrVal);
    EXPECT_EQ(textOf(dst), u"abc");
    VARIANT bad;
    VariantInit(&bad);
    bad.vt = VT_LPWSTR; // a PROPVARIANT-only type
    EXPECT_EQ(VariantCopy(&dst, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
}

} // namespace
