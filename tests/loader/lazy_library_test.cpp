// SPDX-License-Identifier: MIT
// Opening a backend on first use: the failure text a caller reads, that a failure is
// remembered, and that every name must resolve.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "contracts/common_library.h"
#include "lazy_library.h"

namespace {

using mio::loader::LazyLibrary;

std::string lastErrorText(int* code = nullptr)
{
    char text[512] = {};
    const int value = c32GetDLLErrorInfo(text, sizeof text, 0, 0, 0, 0);
    if (code) *code = value;
    return text;
}

TEST(LazyLibrary, MissingObjectFailsWithTheLoaderErrorOnEveryCallAndThread)
{
    LazyLibrary library("sample", "libmio_no_such_backend.so.0");
    const char* const names[] = {"anything"};
    void* slot = reinterpret_cast<void*>(&lastErrorText);

    c32ResetDLLErrInfo();
    EXPECT_FALSE(library.load(names, &slot, 1));
    EXPECT_FALSE(library.loaded());
    int code = 0;
    const std::string text = lastErrorText(&code);
    EXPECT_EQ(code, mio::kLibErrUnsupported);
    EXPECT_EQ(text.rfind("sample library not available: ", 0), 0u) << text;
    EXPECT_NE(text.find("libmio_no_such_backend.so.0"), std::string::npos) << text;
    EXPECT_EQ(text, library.failure());

    // Later calls do not retry, but each still reports, also on a thread that never tried.
    std::string otherThread;
    std::thread([&] {
        c32ResetDLLErrInfo();
        EXPECT_FALSE(library.load(names, &slot, 1));
        otherThread = lastErrorText();
    }).join();
    EXPECT_EQ(otherThread, text);
}

TEST(LazyLibrary, ResolvesEveryNameOrNone)
{
    LazyLibrary good("common", MIO_COMMON_LIBRARY);
    const char* const names[] = {"c32ResetDLLErrInfo", "mioCommonSetLastError"};
    void* slots[2] = {};
    ASSERT_TRUE(good.load(names, slots, 2)) << good.failure();
    EXPECT_TRUE(good.loaded());
    // The object is the one this process already uses: same functions, same last error.
    EXPECT_EQ(slots[1], reinterpret_cast<void*>(&mioCommonSetLastError));
    EXPECT_TRUE(good.failure().empty());

    LazyLibrary partial("common", MIO_COMMON_LIBRARY);
    const char* const some[] = {"c32ResetDLLErrInfo", "mioNoSuchFunction"};
    void* partialSlots[2] = {};
    c32ResetDLLErrInfo();
    EXPECT_FALSE(partial.load(some, partialSlots, 2));
    EXPECT_EQ(partialSlots[0], nullptr);
    EXPECT_EQ(partialSlots[1], nullptr);
    const std::string text = lastErrorText();
    EXPECT_EQ(text.rfind("common library not available: ", 0), 0u) << text;
    EXPECT_NE(text.find("mioNoSuchFunction"), std::string::npos) << text;
}

} // namespace
