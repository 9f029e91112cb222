// SPDX-License-Identifier: MIT
// Streams over global memory: growth, seeking, clones sharing data and the block's lifetime.
#include <gtest/gtest.h>

#include <vector>

#include "tavrel/platform/com_object.h"

namespace {

ComPtr<IStream> newStream(HGLOBAL h = nullptr, BOOL deleteOnRelease = TRUE)
{
    ComPtr<IStream> s;
    EXPECT_EQ(CreateStreamOnHGlobal(h, deleteOnRelease, s.GetAddressOf()), S_OK);
    return s;
}

uint64_t seek(IStream* s, int64_t move, DWORD origin)
{
    LARGE_INTEGER li;
    li.QuadPart = move;
    ULARGE_INTEGER pos{};
    EXPECT_EQ(s->Seek(li, origin, &pos), S_OK);
    return pos.QuadPart;
}

TEST(HGlobalStream, WritesGrowTheBlockAndReadsStopAtTheEnd)
{
    ComPtr<IStream> s = newStream();
    ULONG n = 0;
    ASSERT_EQ(s->Write("hello world", 11, &n), S_OK);
    EXPECT_EQ(n, 11u);
    HGLOBAL h = nullptr;
    ASSERT_EQ(GetHGlobalFromStream(s.Get(), &h), S_OK);
    EXPECT_EQ(GlobalSize(h), 11u);

    EXPECT_EQ(seek(s.Get(), 6, STREAM_SEEK_SET), 6u);
    char buf[16] = {};
    ASSERT_EQ(s->Read(buf, sizeof buf, &n), S_OK); // short read is still S_OK
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_EQ(s->Read(buf, 4, &n), S_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(s->Read(nullptr, 4, &n), STG_E_INVALIDPOINTER);
}

TEST(HGlobalStream, WritingPastTheEndZeroFillsTheGap)
{
    ComPtr<IStream> s = newStream();
    ASSERT_EQ(s->Write("ab", 2, nullptr), S_OK);
    EXPECT_EQ(seek(s.Get(), 3, STREAM_SEEK_END), 5u); // seeking beyond the end is allowed
    ASSERT_EQ(s->Write("Z", 1, nullptr), S_OK);
    seek(s.Get(), 0, STREAM_SEEK_SET);
    char buf[6];
    ULONG n = 0;
    ASSERT_EQ(s->Read(buf, 6, &n), S_OK);
    ASSERT_EQ(n, 6u);
    EXPECT_EQ(std::memcmp(buf, "ab\0\0\0Z", 6), 0);
}

TEST(HGlobalStream, SeekChecksOriginAndNegativePositions)
{
    ComPtr<IStream> s = newStream();
    s->Write("0123456789", 10, nullptr);
    EXPECT_EQ(seek(s.Get(), -4, STREAM_SEEK_END), 6u);
    EXPECT_EQ(seek(s.Get(), -2, STREAM_SEEK_CUR), 4u);
    LARGE_INTEGER li;
    li.QuadPart = -5;
    ULARGE_INTEGER pos{};
    EXPECT_EQ(s->Seek(li, STREAM_SEEK_CUR, &pos), STG_E_INVALIDFUNCTION);
    li.QuadPart = 0;
    EXPECT_EQ(s->Seek(li, 3, &pos), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(s->Seek(li, STREAM_SEEK_CUR, nullptr), S_OK); // position unchanged by the failures
    EXPECT_EQ(seek(s.Get(), 0, STREAM_SEEK_CUR), 4u);
}

TEST(HGlobalStream, OpensOverExistingBlockAndLeavesItWhenAsked)
{
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
    std::memcpy(GlobalLock(h), "data", 4);
    GlobalUnlock(h);
    {
        ComPtr<IStream> s = newStream(h, FALSE);
        STATSTG st;
        ASSERT_EQ(s->Stat(&st, STATFLAG_DEFAULT), S_OK);
        EXPECT_EQ(st.type, static_cast<DWORD>(STGTY_STREAM));
        EXPECT_EQ(st.cbSize.QuadPart, 4u);
        EXPECT_EQ(st.pwcsName, nullptr);
        char buf[4];
        ULONG n = 0;
        s->Read(buf, 4, &n);
        EXPECT_EQ(std::memcmp(buf, "data", 4), 0);
        ULARGE_INTEGER size;
        size.QuadPart = 2;
        ASSERT_EQ(s->SetSize(size), S_OK);
        size.QuadPart = 0x100000000ull;
        EXPECT_EQ(s->SetSize(size), STG_E_INVALIDFUNCTION);
    }
    // Not deleted on release: still a valid block, trimmed to 2 bytes.
    EXPECT_EQ(GlobalSize(h), 2u);
    EXPECT_EQ(GlobalFree(h), nullptr);

    HGLOBAL owned = GlobalAlloc(GMEM_MOVEABLE, 8);
    newStream(owned, TRUE); // released at once
    EXPECT_EQ(GlobalFlags(owned), GMEM_INVALID_HANDLE);
}

TEST(HGlobalStream, CloneSharesDataWithOwnPositionAndKeepsBlockAlive)
{
    ComPtr<IStream> s = newStream();
    s->Write("abcdef", 6, nullptr);
    seek(s.Get(), 2, STREAM_SEEK_SET);
    ComPtr<IStream> c;
    ASSERT_EQ(s->Clone(c.GetAddressOf()), S_OK);
    EXPECT_EQ(seek(c.Get(), 0, STREAM_SEEK_CUR), 2u);
    seek(c.Get(), 0, STREAM_SEEK_SET);
    c->Write("XY", 2, nullptr);
    char buf[2];
    ULONG n;
    s->Read(buf, 2, &n); // reads at its own position 2
    EXPECT_EQ(std::memcmp(buf, "cd", 2), 0);
    HGLOBAL h;
    GetHGlobalFromStream(s.Get(), &h);
    s.Reset();
    EXPECT_NE(GlobalFlags(h), GMEM_INVALID_HANDLE); // the clone still holds the block
    seek(c.Get(), 0, STREAM_SEEK_SET);
    c->Read(buf, 2, &n);
    EXPECT_EQ(std::memcmp(buf, "XY", 2), 0);
    c.Reset();
    EXPECT_EQ(GlobalFlags(h), GMEM_INVALID_HANDLE);
}

TEST(HGlobalStream, CopyToMovesBytesAndCounts)
{
    std::vector<unsigned char> big(100000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7);
    ComPtr<IStream> src = newStream();
    ASSERT_EQ(src->Write(big.data(), static_cast<ULONG>(big.size()), nullptr), S_OK);
    seek(src.Get(), 10, STREAM_SEEK_SET);
    ComPtr<IStream> dst = newStream();
    ULARGE_INTEGER cb, read, written;
    cb.QuadPart = 1ull << 40;
    ASSERT_EQ(src->CopyTo(dst.Get(), cb, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, big.size() - 10);
    EXPECT_EQ(written.QuadPart, big.size() - 10);
    HGLOBAL h;
    GetHGlobalFromStream(dst.Get(), &h);
    tavrel::GlobalLockGuard data(h);
    EXPECT_EQ(std::memcmp(data.data(), big.data() + 10, big.size() - 10), 0);
}

TEST(HGlobalStream, UnsupportedAndInvalidCalls)
{
    ComPtr<IStream> s = newStream();
    ULARGE_INTEGER a{}, b{};
    EXPECT_EQ(s->LockRegion(a, b, 0), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(s->UnlockRegion(a, b, 0), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(s->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(s->Revert(), S_OK);
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, nullptr), E_INVALIDARG);
    int local;
    IStream* out = nullptr;
    EXPECT_EQ(CreateStreamOnHGlobal(&local, TRUE, &out), E_INVALIDARG);
    HGLOBAL h;
    EXPECT_EQ(GetHGlobalFromStream(nullptr, &h), E_INVALIDARG);
    ComPtr<ISequentialStream> seq;
    ASSERT_EQ(s.As(&seq), S_OK); // base interface answered
    ComPtr<IUnknown> u1, u2;
    s.As(&u1);
    seq.As(&u2);
    EXPECT_EQ(u1.Get(), u2.Get()); // one identity
}

} // namespace
