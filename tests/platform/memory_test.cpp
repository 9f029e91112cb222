// SPDX-License-Identifier: MIT
// Global memory heap and task allocator: handles, locks, resizing and misuse detection.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tavrel/platform/memory.h"

namespace {

TEST(GlobalMemory, MovableBlockLocksCountsAndMapsBackToItsHandle)
{
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 100);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GlobalSize(h), 100u);
    EXPECT_EQ(GlobalFlags(h), 0u);

    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    EXPECT_NE(static_cast<void*>(p), h); // a movable handle is not the address
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    EXPECT_EQ(GlobalLock(h), p);
    EXPECT_EQ(GlobalFlags(h), 2u);
    EXPECT_EQ(GlobalHandle(p), h);
    // Only the exact start of the block maps back; an inner address is not a block.
    EXPECT_EQ(GlobalHandle(p + 1), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_NE(GlobalUnlock(h), FALSE);
    SetLastError(1234);
    EXPECT_EQ(GlobalUnlock(h), FALSE);
    EXPECT_EQ(GetLastError(), NO_ERROR);
    EXPECT_EQ(GlobalUnlock(h), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, FixedBlockIsItsOwnHandleWithoutLockCount)
{
    HGLOBAL h = GlobalAlloc(GPTR, 33);
    ASSERT_NE(h, nullptr);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    EXPECT_EQ(static_cast<void*>(p), h);
    EXPECT_EQ(GlobalFlags(h), 0u);
    EXPECT_EQ(GlobalHandle(p), h);
    for (int i = 0; i < 33; ++i)
        ASSERT_EQ(p[i], 0) << i; // GPTR zero-fills
    EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, ZeroByteMovableBlockIsDiscardedAndRevivedByReAlloc)
{
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GlobalFlags(h), GMEM_DISCARDED);
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_EQ(GlobalLock(h), nullptr);

    EXPECT_EQ(GlobalReAlloc(h, 16, GMEM_MOVEABLE | GMEM_ZEROINIT), h);
    EXPECT_EQ(GlobalFlags(h), 0u);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[15], 0);
    GlobalUnlock(h);
    // Shrinking to zero discards again, but not while locked.
    GlobalLock(h);
    EXPECT_EQ(GlobalReAlloc(h, 0, GMEM_MOVEABLE), nullptr);
    GlobalUnlock(h);
    EXPECT_EQ(GlobalReAlloc(h, 0, GMEM_MOVEABLE), h);
    EXPECT_EQ(GlobalFlags(h), GMEM_DISCARDED);
    EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, ReAllocKeepsDataAndZeroFillsGrowth)
{
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    std::memcpy(p, "abcd", 4);
    GlobalUnlock(h);
    // Grow well beyond the allocation so the data must move; the handle stays the same.
    ASSERT_EQ(GlobalReAlloc(h, 100000, GMEM_MOVEABLE | GMEM_ZEROINIT), h);
    EXPECT_EQ(GlobalSize(h), 100000u);
    p = static_cast<unsigned char*>(GlobalLock(h));
    EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
    EXPECT_EQ(p[4], 0);
    EXPECT_EQ(p[99999], 0);
    EXPECT_EQ(GlobalHandle(p), h);
    GlobalUnlock(h);
    ASSERT_EQ(GlobalReAlloc(h, 2, 0), h);
    EXPECT_EQ(GlobalSize(h), 2u);
    EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, FixedBlockMovesOnlyWhenAllowed)
{
    HGLOBAL h = GlobalAlloc(GMEM_FIXED, 8);
    std::memcpy(h, "12345678", 8);
    EXPECT_EQ(GlobalReAlloc(h, 1 << 20, 0), nullptr);
    EXPECT_EQ(GlobalSize(h), 8u); // unchanged after the refusal
    HGLOBAL moved = GlobalReAlloc(h, 1 << 20, GMEM_MOVEABLE);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(std::memcmp(moved, "12345678", 8), 0);
    if (moved != h) {
        EXPECT_EQ(GlobalSize(h), 0u); // the old address is no longer a block
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(GlobalHandle(moved), moved);
    EXPECT_EQ(GlobalFree(moved), nullptr);
}

TEST(GlobalMemory, FreedAndForeignHandlesAreReportedNotTouched)
{
    HGLOBAL h = GlobalAlloc(GHND, 10);
    void* p = GlobalLock(h);
    EXPECT_EQ(GlobalFree(h), nullptr); // frees even a locked block

    EXPECT_EQ(GlobalFree(h), h);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GlobalUnlock(h), FALSE);
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_EQ(GlobalFlags(h), GMEM_INVALID_HANDLE);
    EXPECT_EQ(GlobalHandle(p), nullptr);
    EXPECT_EQ(GlobalReAlloc(h, 5, GMEM_MOVEABLE), nullptr);

    int local = 0;
    std::vector<char> heapBytes(64);
    for (void* foreign : {static_cast<void*>(&local), static_cast<void*>(heapBytes.data() + 32),
                          reinterpret_cast<void*>(uintptr_t{0x10})}) {
        SetLastError(0);
        EXPECT_EQ(GlobalLock(foreign), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(GlobalHandle(foreign), nullptr);
        EXPECT_EQ(GlobalFree(foreign), foreign);
    }
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

TEST(GlobalMemory, ModifyTurnsFixedBlockMovable)
{
    HGLOBAL h = GlobalAlloc(GMEM_FIXED, 4);
    void* data = h;
    HGLOBAL m = GlobalReAlloc(h, 0, GMEM_MODIFY | GMEM_MOVEABLE);
    ASSERT_NE(m, nullptr);
    EXPECT_NE(m, data);
    EXPECT_EQ(GlobalLock(m), data);
    EXPECT_EQ(GlobalFlags(m), 1u);
    EXPECT_EQ(GlobalHandle(data), m);
    GlobalUnlock(m);
    EXPECT_EQ(GlobalFree(m), nullptr);
}

TEST(GlobalMemory, HugeRequestFailsCleanly)
{
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, SIZE_MAX - 8), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(GlobalMemory, ConcurrentAllocLockFreeKeepsTableConsistent)
{
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 2000; ++i) {
                HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(i % 64 + 1));
                auto* p = static_cast<unsigned char*>(GlobalLock(h));
                if (!p) {
                    ++failures;
                    continue;
                }
                p[0] = static_cast<unsigned char>(t);
                if (GlobalHandle(p) != h || p[0] != t) ++failures;
                GlobalUnlock(h);
                if (GlobalFree(h) != nullptr) ++failures;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(GlobalMemory, OwnerTypesUnlockAndFree)
{
    HGLOBAL raw;
    {
        tavrel::GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE, 8));
        raw = block.get();
        {
            tavrel::GlobalLockGuard guard(block.get());
            ASSERT_NE(guard.data(), nullptr);
            EXPECT_EQ(GlobalFlags(raw), 1u);
        }
        EXPECT_EQ(GlobalFlags(raw), 0u);
    }
    EXPECT_EQ(GlobalFlags(raw), GMEM_INVALID_HANDLE);
}

TEST(TaskMemory, ZeroBytesAndReallocFollowTheAllocatorContract)
{
    void* p = CoTaskMemAlloc(0);
    EXPECT_NE(p, nullptr);
    p = CoTaskMemRealloc(p, 64);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xAB, 64);
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr); // frees
    void* q = CoTaskMemRealloc(nullptr, 4);
    EXPECT_NE(q, nullptr);
    CoTaskMemFree(q);
    CoTaskMemFree(nullptr);
}

} // namespace
