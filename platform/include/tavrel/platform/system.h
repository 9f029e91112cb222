// SPDX-License-Identifier: MIT
// System information, clocks, thread and process ids, and modules loaded with dlopen.
#pragma once

#include <utility>

#include "tavrel/platform/types.h"

using FARPROC = void (*)();

#define INFINITE 0xFFFFFFFFu
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;

struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOW) == 276);
static_assert(sizeof(OSVERSIONINFOEXW) == 284);
#define VER_NT_WORKSTATION 1

/// Reports 10.0, build 19045, VER_PLATFORM_WIN32_NT, no service pack. dwOSVersionInfoSize must be
/// the size of OSVERSIONINFOW or OSVERSIONINFOEXW, else FALSE with ERROR_INSUFFICIENT_BUFFER.
TAVREL_API BOOL GetVersionExW(OSVERSIONINFOW* lpVersionInformation);

/// Milliseconds since boot (wraps after 49.7 days); the 64-bit form does not wrap.
TAVREL_API DWORD GetTickCount();
TAVREL_API ULONGLONG GetTickCount64();
TAVREL_API BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
/// Counts per second of QueryPerformanceCounter (10 MHz, the platform's usual value).
TAVREL_API BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
TAVREL_API DWORD GetCurrentThreadId();
TAVREL_API DWORD GetCurrentProcessId();
/// Sleep(0) yields; INFINITE never returns.
TAVREL_API void Sleep(DWORD dwMilliseconds);

/// dlopen (RTLD_NOW | RTLD_LOCAL). Null with ERROR_MOD_NOT_FOUND when nothing is found, or
/// ERROR_BAD_EXE_FORMAT when the file exists but cannot be loaded. Each successful call must be
/// paired with FreeLibrary.
TAVREL_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
/// FALSE with ERROR_INVALID_HANDLE for anything LoadLibraryW did not return (or already freed).
TAVREL_API BOOL FreeLibrary(HMODULE hLibModule);
/// Null with ERROR_PROC_NOT_FOUND when the symbol is missing; ordinals are not supported.
TAVREL_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
/// A loaded module by file name (null: the program), without loading or counting it.
TAVREL_API HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
/// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, lpModuleName is an address inside the module and
/// the handle is the module's base address (what a module's own HINSTANCE is).
TAVREL_API BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
/// The file of a module: null for the program, a handle from LoadLibraryW/GetModuleHandleW(Ex),
/// or any address inside a loaded module. Returns the length without the NUL; when the buffer is
/// too small, a truncated, terminated copy, the result nSize and ERROR_INSUFFICIENT_BUFFER.
TAVREL_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

namespace tavrel {

/// Owns one LoadLibraryW reference: FreeLibrary in the destructor.
class UniqueModule {
  public:
    UniqueModule() = default;
    explicit UniqueModule(HMODULE h) : m_module(h) {}
    UniqueModule(UniqueModule&& other) noexcept : m_module(std::exchange(other.m_module, nullptr))
    {
    }
    UniqueModule& operator=(UniqueModule&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.m_module, nullptr));
        return *this;
    }
    UniqueModule(const UniqueModule&) = delete;
    UniqueModule& operator=(const UniqueModule&) = delete;
    ~UniqueModule() { reset(); }

    HMODULE get() const { return m_module; }
    explicit operator bool() const { return m_module != nullptr; }
    HMODULE release() { return std::exchange(m_module, nullptr); }
    void reset(HMODULE h = nullptr)
    {
        if (HMODULE old = std::exchange(m_module, h)) FreeLibrary(old);
    }

  private:
    HMODULE m_module = nullptr;
};

} // namespace tavrel
