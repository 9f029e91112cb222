// SPDX-License-Identifier: MIT
// System services: version, clocks, ids, sleeping, and modules over dlopen with checked handles.
#include "tavrel/platform/system.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "files_internal.h"
#include "utf.h"

namespace tavrel {
namespace {

constexpr DWORD kMajor = 10, kMinor = 0, kBuild = 19045;
constexpr int64_t kPerformanceFrequency = 10'000'000; // 100 ns counts

uint64_t nanosecondsOf(clockid_t clock)
{
    struct timespec t {};
    ::clock_gettime(clock, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(t.tv_nsec);
}

// Which module handles are ours to use: dlopen handles from LoadLibraryW (with their count) and
// from GetModuleHandleW. A handle outside these is never passed to dlclose or dlinfo, which
// would crash on a foreign pointer.
struct Modules {
    std::mutex mutex;
    std::unordered_map<void*, unsigned> loaded;
    std::unordered_set<void*> known;
};

Modules& modules()
{
    static Modules m;
    return m;
}

bool isDlopenHandle(void* h)
{
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    return m.loaded.count(h) || m.known.count(h);
}

std::string executablePath()
{
    std::vector<char> buffer(PATH_MAX);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

/// The file of a module, or empty when the handle names none.
std::string moduleFile(HMODULE module)
{
    if (!module) return executablePath();
    if (isDlopenHandle(module)) {
        struct link_map* map = nullptr;
        if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map) return {};
        // The program's own entry has an empty name.
        return map->l_name && *map->l_name ? std::string(map->l_name) : executablePath();
    }
    // Any address inside a loaded module; the program's own entry has an empty name (dladdr
    // would give argv[0], which may be relative).
    Dl_info info{};
    struct link_map* map = nullptr;
    if (!::dladdr1(module, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !map)
        return {};
    return map->l_name && *map->l_name ? std::string(map->l_name) : executablePath();
}

} // namespace
} // namespace tavrel

using namespace tavrel;

TAVREL_API BOOL GetVersionExW(OSVERSIONINFOW* lpVersionInformation)
{
    if (!lpVersionInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // Only the members the caller's record has are written.
    std::memset(reinterpret_cast<BYTE*>(lpVersionInformation) + sizeof(DWORD), 0,
                size - sizeof(DWORD));
    lpVersionInformation->dwMajorVersion = kMajor;
    lpVersionInformation->dwMinorVersion = kMinor;
    lpVersionInformation->dwBuildNumber = kBuild;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    if (size == sizeof(OSVERSIONINFOEXW))
        reinterpret_cast<OSVERSIONINFOEXW*>(lpVersionInformation)->wProductType =
            VER_NT_WORKSTATION;
    return TRUE;
}

TAVREL_API ULONGLONG GetTickCount64()
{
    return nanosecondsOf(CLOCK_BOOTTIME) / 1'000'000u;
}

TAVREL_API DWORD GetTickCount()
{
    return static_cast<DWORD>(GetTickCount64() & 0xFFFFFFFFu);
}

TAVREL_API BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount)
{
    if (!lpPerformanceCount) return FALSE;
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(nanosecondsOf(CLOCK_MONOTONIC) / 100u);
    return TRUE;
}

TAVREL_API BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency)
{
    if (!lpFrequency) return FALSE;
    lpFrequency->QuadPart = kPerformanceFrequency;
    return TRUE;
}

TAVREL_API DWORD GetCurrentThreadId()
{
    return static_cast<DWORD>(::gettid());
}

TAVREL_API DWORD GetCurrentProcessId()
{
    return static_cast<DWORD>(::getpid());
}

TAVREL_API void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        ::sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            ::pause();
    }
    struct timespec left {
        static_cast<time_t>(dwMilliseconds / 1000),
            static_cast<long>(dwMilliseconds % 1000) * 1'000'000
    };
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

TAVREL_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName)
{
    const auto name = fsPath(lpLibFileName);
    if (!name) return nullptr;
    void* handle = ::dlopen(name->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        // A file that is there but will not load is a bad image, not a missing one.
        struct stat st {};
        const bool exists = name->find('/') != std::string::npos && ::stat(name->c_str(), &st) == 0;
        SetLastError(exists ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    ++m.loaded[handle];
    return handle;
}

TAVREL_API BOOL FreeLibrary(HMODULE hLibModule)
{
    auto& m = modules();
    {
        std::lock_guard lock(m.mutex);
        const auto it = m.loaded.find(hLibModule);
        if (it == m.loaded.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // The last reference takes the handle out of the table; a later dlopen may give the
        // same value again, and then it is valid again.
        if (--it->second == 0) m.loaded.erase(it);
    }
    ::dlclose(hLibModule);
    return TRUE;
}

TAVREL_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (!lpProcName || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND); // ordinals have no meaning for ELF
        return nullptr;
    }
    void* handle = hModule;
    void* opened = nullptr;
    if (!hModule || !isDlopenHandle(hModule)) {
        // The program, or a module known by an address inside it: find its dlopen handle.
        const std::string file = hModule ? moduleFile(hModule) : std::string();
        if (hModule && file.empty()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        opened = ::dlopen(hModule ? file.c_str() : nullptr, RTLD_LAZY | RTLD_NOLOAD);
        if (!opened) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        handle = opened;
    }
    void* symbol = ::dlsym(handle, lpProcName);
    if (opened) ::dlclose(opened);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

TAVREL_API HMODULE GetModuleHandleW(LPCWSTR lpModuleName)
{
    std::optional<std::string> name;
    if (lpModuleName) {
        name = fsPath(lpModuleName);
        if (!name) return nullptr;
    }
    void* handle = ::dlopen(name ? name->c_str() : nullptr, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Not counted, as the platform's: the module stays loaded by whoever loaded it.
    ::dlclose(handle);
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    m.known.insert(handle);
    return handle;
}

TAVREL_API BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule)
{
    if (!phModule) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) {
        *phModule = GetModuleHandleW(lpModuleName);
        return *phModule ? TRUE : FALSE;
    }
    Dl_info info{};
    if (!::dladdr(lpModuleName, &info) || !info.dli_fbase) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    *phModule = info.dli_fbase;
    return TRUE;
}

TAVREL_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    if (!lpFilename || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const std::string file = moduleFile(hModule);
    if (file.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const auto wide = utf8ToUtf16(file);
    if (!wide) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    if (wide->size() >= nSize) {
        std::memcpy(lpFilename, wide->data(), (nSize - 1) * sizeof(char16_t));
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, wide->c_str(), (wide->size() + 1) * sizeof(char16_t));
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(wide->size());
}
