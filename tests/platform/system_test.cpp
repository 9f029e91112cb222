// SPDX-License-Identifier: MIT
// Version record, clocks, ids and modules loaded through dlopen.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "support/test_support.h"
#include "tavrel/platform/system.h"

TEST(Version, ReportsWindows10InEitherRecordSize)
{
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.szCSDVersion[0] = u'x';
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
    EXPECT_EQ(info.dwPlatformId, 2u);
    EXPECT_EQ(info.szCSDVersion[0], u'\0');

    OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&ex)));
    EXPECT_EQ(ex.dwMajorVersion, 10u);
    EXPECT_EQ(ex.wProductType, VER_NT_WORKSTATION);

    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExW(&info));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(Clock, TicksAndSleepAgree)
{
    const ULONGLONG before = GetTickCount64();
    LARGE_INTEGER c0{}, c1{}, f{};
    ASSERT_TRUE(QueryPerformanceFrequency(&f));
    ASSERT_TRUE(QueryPerformanceCounter(&c0));
    Sleep(30);
    ASSERT_TRUE(QueryPerformanceCounter(&c1));
    const ULONGLONG elapsed = GetTickCount64() - before;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_GE((c1.QuadPart - c0.QuadPart) * 1000 / f.QuadPart, 29);
    EXPECT_EQ(GetTickCount(), static_cast<DWORD>(GetTickCount64()));
}

TEST(Modules, LoadFindCallAndFreeALibrary)
{
    // The platform library itself, found by an address inside it.
    HMODULE base = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCWSTR>(&GetTickCount64), &base));
    char16_t path[4096];
    const DWORD n = GetModuleFileNameW(base, path, 4096);
    ASSERT_GT(n, 0u);
    const std::string file = support::u8(std::u16string(path, n));
    EXPECT_NE(file.find("libtavrelplatform.so"), std::string::npos) << file;
    EXPECT_TRUE(std::filesystem::path(file).is_absolute());
    EXPECT_EQ(GetProcAddress(base, "GetTickCount64"), reinterpret_cast<FARPROC>(&GetTickCount64));

    const HMODULE lib = LoadLibraryW(path);
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(GetProcAddress(lib, "GetCurrentProcessId"),
              reinterpret_cast<FARPROC>(&GetCurrentProcessId));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(lib, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetModuleFileNameW(lib, path, 4096), n);
    EXPECT_TRUE(FreeLibrary(lib));
    EXPECT_FALSE(FreeLibrary(lib)); // the one reference is gone
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // The program: null handle, and an address in the test binary.
    const DWORD m = GetModuleFileNameW(nullptr, path, 4096);
    ASSERT_GT(m, 0u);
    const std::string exe = support::u8(std::u16string(path, m));
    EXPECT_EQ(std::filesystem::canonical("/proc/self/exe").string(), exe);
    static int inProgram = 0;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCWSTR>(&inProgram), &base));
    EXPECT_EQ(GetModuleFileNameW(base, path, 4096), m);

    // Truncation: a terminated prefix, nSize and ERROR_INSUFFICIENT_BUFFER.
    char16_t small[5];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small[4], u'\0');
    EXPECT_EQ(std::u16string(small), support::u16(exe.substr(0, 4)));
}

TEST(Modules, FailuresAreReportedNotCrashed)
{
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"libtavrel-does-not-exist.so"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    support::TempDir dir;
    support::writeFile(dir / "fake.so", {'n', 'o', 't', ' ', 'E', 'L', 'F'});
    EXPECT_EQ(LoadLibraryW(support::u16((dir / "fake.so").string()).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);

    int local = 0;
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&local)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    char16_t path[64];
    // A stack address belongs to no module.
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(&local), path, 64), 0u);
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&local), "x"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(5))),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
}
