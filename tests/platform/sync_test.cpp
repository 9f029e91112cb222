// SPDX-License-Identifier: MIT
// Critical sections across threads and the Interlocked family's return values.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tavrel/platform/sync.h"

namespace {

TEST(CriticalSection, IsRecursiveForTheOwnerAndExclusiveForOthers)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_NE(TryEnterCriticalSection(&cs), FALSE); // owner re-enters
    BOOL otherGotIt = TRUE;
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&cs); }).join();
    EXPECT_EQ(otherGotIt, FALSE);

    LeaveCriticalSection(&cs);
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&cs); }).join();
    EXPECT_EQ(otherGotIt, FALSE); // still held once

    // A Leave from a thread that does not own it must not release the owner's hold.
    std::thread([&] { LeaveCriticalSection(&cs); }).join();
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&cs); }).join();
    EXPECT_EQ(otherGotIt, FALSE);

    LeaveCriticalSection(&cs);
    std::thread([&] {
        otherGotIt = TryEnterCriticalSection(&cs);
        if (otherGotIt) LeaveCriticalSection(&cs);
    }).join();
    EXPECT_NE(otherGotIt, FALSE);
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, SerialisesConcurrentUpdates)
{
    CRITICAL_SECTION cs;
    ASSERT_EQ(InitializeCriticalSectionAndSpinCount(&cs, 4000), TRUE);
    long counter = 0; // deliberately not atomic
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                tavrel::CriticalSectionLock outer(cs);
                tavrel::CriticalSectionLock inner(cs);
                counter = counter + 1;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counter, 80000);
    DeleteCriticalSection(&cs);
}

TEST(Interlocked, ReturnValuesMatchThePlatform)
{
    LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 10), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 10);
    EXPECT_EQ(v, 13);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 99), 13); // no match: unchanged
    EXPECT_EQ(v, 13);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 13), 13);
    EXPECT_EQ(v, 1);
    LONG m = INT32_MAX;
    EXPECT_EQ(InterlockedIncrement(&m), INT32_MIN); // wraps as two's complement
    EXPECT_EQ(InterlockedDecrement(&m), INT32_MAX);

    LONG shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i)
                InterlockedIncrement(&shared);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(shared, 200000);
}

} // namespace
