// SPDX-License-Identifier: MIT
// PROPVARIANT clearing and copying for every type the engine hands across interfaces.
#include <gtest/gtest.h>

#include "tavrel/platform/com_object.h"

namespace {

// Counts live instances so a missed or doubled Release shows.
class Probe final : public tavrel::ComObject<Probe, IStream> {
  public:
    static inline int alive = 0;
    Probe() { ++alive; }
    ~Probe() override { --alive; }
    HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }
};

LPWSTR taskString(const char16_t* s)
{
    const size_t bytes = (std::char_traits<char16_t>::length(s) + 1) * 2;
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(p, s, bytes);
    return p;
}

LPSTR taskAnsi(const char* s)
{
    auto* p = static_cast<LPSTR>(CoTaskMemAlloc(std::strlen(s) + 1));
    std::strcpy(p, s);
    return p;
}

void expectEmpty(const PROPVARIANT& pv)
{
    PROPVARIANT zero;
    PropVariantInit(&zero);
    EXPECT_EQ(std::memcmp(&pv, &zero, sizeof zero), 0);
}

TEST(PropVariant, ClearFreesEveryOwningTypeAndLeavesEmpty)
{
    // Each value owns memory of a different shape; under ASan a miss is a leak report and a
    // wrong free a crash.
    std::vector<tavrel::PropVariant> values(9);
    values[0].vt = VT_LPWSTR;
    values[0].pwszVal = taskString(u"title");
    values[1].vt = VT_LPSTR;
    values[1].pszVal = taskAnsi("caption");
    values[2].vt = VT_BSTR;
    values[2].bstrVal = SysAllocString(u"bstr");
    values[3].vt = VT_BLOB;
    values[3].blob.cbSize = 3;
    values[3].blob.pBlobData = static_cast<BYTE*>(CoTaskMemAlloc(3));
    values[4].vt = VT_CLSID;
    values[4].puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
    values[5].vt = VT_VECTOR | VT_LPSTR;
    values[5].calpstr.cElems = 2;
    values[5].calpstr.pElems = static_cast<LPSTR*>(CoTaskMemAlloc(2 * sizeof(LPSTR)));
    values[5].calpstr.pElems[0] = taskAnsi("one");
    values[5].calpstr.pElems[1] = taskAnsi("two");
    values[6].vt = VT_VECTOR | VT_UI2;
    values[6].caui.cElems = 3;
    values[6].caui.pElems = static_cast<USHORT*>(CoTaskMemAlloc(6));
    values[7].vt = VT_VECTOR | VT_VARIANT;
    values[7].capropvar.cElems = 2;
    values[7].capropvar.pElems = static_cast<PROPVARIANT*>(CoTaskMemAlloc(2 * sizeof(PROPVARIANT)));
    PropVariantInit(&values[7].capropvar.pElems[0]);
    PropVariantInit(&values[7].capropvar.pElems[1]);
    values[7].capropvar.pElems[0].vt = VT_LPWSTR;
    values[7].capropvar.pElems[0].pwszVal = taskString(u"nested");
    values[7].capropvar.pElems[1].vt = VT_UI4;
    values[8].vt = VT_VECTOR | VT_LPWSTR;
    values[8].calpwstr.cElems = 1;
    values[8].calpwstr.pElems = static_cast<LPWSTR*>(CoTaskMemAlloc(sizeof(LPWSTR)));
    values[8].calpwstr.pElems[0] = taskString(u"kw");
    for (auto& v : values) {
        EXPECT_EQ(PropVariantClear(&v), S_OK) << v.vt;
        expectEmpty(v);
    }
}

TEST(PropVariant, ClearReleasesInterfacesOnce)
{
    auto* probe = Probe::createNew();
    ASSERT_EQ(Probe::alive, 1);
    PROPVARIANT pv;
    PropVariantInit(&pv);
    pv.vt = VT_UNKNOWN;
    pv.punkVal = probe->identity();
    EXPECT_EQ(PropVariantClear(&pv), S_OK);
    EXPECT_EQ(Probe::alive, 0);
    EXPECT_EQ(pv.vt, VT_EMPTY);
    EXPECT_EQ(PropVariantClear(&pv), S_OK); // clearing twice is harmless
}

TEST(PropVariant, UnknownTypeIsRefusedAndLeftAlone)
{
    PROPVARIANT pv;
    PropVariantInit(&pv);
    pv.vt = 0x7FF; // not a type
    pv.ulVal = 42;
    EXPECT_EQ(PropVariantClear(&pv), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(pv.vt, 0x7FF);
    pv.vt = VT_VECTOR | VT_UNKNOWN; // vectors of interfaces do not exist
    EXPECT_EQ(PropVariantClear(&pv), STG_E_INVALIDPARAMETER);
    PROPVARIANT copy;
    EXPECT_EQ(PropVariantCopy(&copy, &pv), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(PropVariantClear(nullptr), S_OK);
}

TEST(PropVariant, CopyIsDeepAndIndependent)
{
    tavrel::PropVariant src;
    src.vt = VT_VECTOR | VT_LPWSTR;
    src.calpwstr.cElems = 2;
    src.calpwstr.pElems = static_cast<LPWSTR*>(CoTaskMemAlloc(2 * sizeof(LPWSTR)));
    src.calpwstr.pElems[0] = taskString(u"alpha");
    src.calpwstr.pElems[1] = taskString(u"beta");
    tavrel::PropVariant copy;
    ASSERT_EQ(PropVariantCopy(&copy, &src), S_OK);
    ASSERT_EQ(copy.vt, VT_VECTOR | VT_LPWSTR);
    ASSERT_EQ(copy.calpwstr.cElems, 2u);
    EXPECT_NE(copy.calpwstr.pElems, src.calpwstr.pElems);
    EXPECT_NE(copy.calpwstr.pElems[1], src.calpwstr.pElems[1]);
    src.calpwstr.pElems[1][0] = u'X';
    EXPECT_EQ(std::u16string(copy.calpwstr.pElems[1]), u"beta");

    tavrel::PropVariant bstr, bstrCopy;
    bstr.vt = VT_BSTR;
    bstr.bstrVal = SysAllocStringByteLen("a\0b", 3);
    ASSERT_EQ(PropVariantCopy(&bstrCopy, &bstr), S_OK);
    EXPECT_EQ(SysStringByteLen(bstrCopy.bstrVal), 3u);
    EXPECT_EQ(std::memcmp(bstrCopy.bstrVal, "a\0b", 3), 0);

    tavrel::PropVariant blob, blobCopy;
    blob.vt = VT_BLOB;
    blob.blob.cbSize = 2;
    blob.blob.pBlobData = static_cast<BYTE*>(CoTaskMemAlloc(2));
    blob.blob.pBlobData[0] = 7;
    blob.blob.pBlobData[1] = 9;
    ASSERT_EQ(PropVariantCopy(&blobCopy, &blob), S_OK);
    EXPECT_NE(blobCopy.blob.pBlobData, blob.blob.pBlobData);
    EXPECT_EQ(blobCopy.blob.pBlobData[1], 9);

    tavrel::PropVariant nested, nestedCopy;
    nested.vt = VT_VECTOR | VT_VARIANT;
    nested.capropvar.cElems = 1;
    nested.capropvar.pElems = static_cast<PROPVARIANT*>(CoTaskMemAlloc(sizeof(PROPVARIANT)));
    PropVariantInit(nested.capropvar.pElems);
    nested.capropvar.pElems[0].vt = VT_LPSTR;
    nested.capropvar.pElems[0].pszVal = taskAnsi("inner");
    ASSERT_EQ(PropVariantCopy(&nestedCopy, &nested), S_OK);
    EXPECT_NE(nestedCopy.capropvar.pElems[0].pszVal, nested.capropvar.pElems[0].pszVal);
    EXPECT_STREQ(nestedCopy.capropvar.pElems[0].pszVal, "inner");
}

TEST(PropVariant, CopyAddRefsInterfaces)
{
    auto* probe = Probe::createNew();
    {
        tavrel::PropVariant a, b;
        a.vt = VT_UNKNOWN;
        a.punkVal = probe->identity();
        ASSERT_EQ(PropVariantCopy(&b, &a), S_OK);
        EXPECT_EQ(b.punkVal, a.punkVal);
        EXPECT_EQ(Probe::alive, 1);
    }
    EXPECT_EQ(Probe::alive, 0);
}

TEST(PropVariant, CopyRefusesBlobWithoutData)
{
    PROPVARIANT bad, copy;
    PropVariantInit(&bad);
    bad.vt = VT_BLOB;
    bad.blob.cbSize = 10;
    EXPECT_EQ(PropVariantCopy(&copy, &bad), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(copy.vt, VT_EMPTY);
}

} // namespace
