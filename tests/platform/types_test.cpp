// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <thread>

#include "tavrel/platform/types.h"
#include "tavrel/platform/unknwn.h"

TEST(HResult, FromWin32FollowsTheStandardRule)
{
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), TAVREL_HR(0x80070002));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION), TAVREL_HR(0x80070459));
    // A value that is already an HRESULT passes through unchanged.
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<uint32_t>(E_FAIL)), E_FAIL);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_OUTOFMEMORY), E_OUTOFMEMORY);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), E_INVALIDARG);
}

TEST(LastError, IsKeptPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD other = 1234;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

namespace {
struct Counted : IUnknown {
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid != IID_IUnknown) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};
} // namespace

TEST(ComPtr, BalancesReferencesAcrossCopyMoveAndDetach)
{
    Counted obj;
    {
        ComPtr<IUnknown> a(&obj);
        EXPECT_EQ(obj.refs, 2u);
        ComPtr<IUnknown> b = a;
        EXPECT_EQ(obj.refs, 3u);
        ComPtr<IUnknown> c = std::move(b);
        EXPECT_EQ(obj.refs, 3u);
        EXPECT_FALSE(b);
        ComPtr<IUnknown> d;
        ASSERT_EQ(a.As(&d), S_OK);
        EXPECT_EQ(obj.refs, 4u);
        IUnknown* raw = d.Detach();
        EXPECT_EQ(obj.refs, 4u);
        raw->Release();
    }
    EXPECT_EQ(obj.refs, 1u);
}
