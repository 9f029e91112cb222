// SPDX-License-Identifier: MIT
// Files, folders, volumes and file times over POSIX, with the platform's handles and error codes.
#pragma once

#include <utility>

#include "tavrel/platform/types.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_READ_ATTRIBUTES 0x0080u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

inline constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

/// Only Offset/OffsetHigh are used: I/O is synchronous, at that file offset.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

// ---- handles and I/O ----

/// Opens or creates a file. Paths are UTF-16 and may carry the "\\?\" prefix. Returns
/// INVALID_HANDLE_VALUE with the last error set on failure; a directory fails with
/// ERROR_ACCESS_DENIED unless FILE_FLAG_BACKUP_SEMANTICS is given, devices and FIFOs always. On
/// success the last error is ERROR_ALREADY_EXISTS when CREATE_ALWAYS/OPEN_ALWAYS found the file,
/// else 0. Share modes are enforced between the handles of this process. FILE_FLAG_NO_BUFFERING
/// bypasses the page cache (O_DIRECT); where the file system refuses that, the file is opened
/// cached, the cache is dropped after every read, and offsets and lengths must still be sector
/// multiples. The caller owns the handle and closes it with CloseHandle.
TAVREL_API HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                              DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                              HANDLE hTemplateFile);
/// Reading at or past the end succeeds with 0 bytes read.
TAVREL_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
TAVREL_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
/// A resulting position below 0 fails with ERROR_NEGATIVE_SEEK and leaves the position alone.
TAVREL_API BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                 PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
TAVREL_API DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh,
                                DWORD dwMoveMethod);
TAVREL_API BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
/// Low 32 bits; the high part goes to *lpFileSizeHigh when given. INVALID_FILE_SIZE on failure
/// (and on success for such a size: check GetLastError).
TAVREL_API DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
/// Creation time is the birth time where the file system records one, else the last write time.
TAVREL_API BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                            LPFILETIME lpLastWriteTime);
TAVREL_API BOOL SetEndOfFile(HANDLE hFile);
TAVREL_API BOOL FlushFileBuffers(HANDLE hFile);
/// Closes a handle of this library. Null, INVALID_HANDLE_VALUE, a closed or a foreign handle
/// gives FALSE with ERROR_INVALID_HANDLE. I/O in progress on another thread finishes first.
TAVREL_API BOOL CloseHandle(HANDLE hObject);

// ---- names and folders ----

TAVREL_API DWORD GetFileAttributesW(LPCWSTR lpFileName);
/// Replaces an existing target atomically (a flushed temporary sibling renamed over it), so a
/// failed copy never leaves a half-written target. Keeps the source's permissions and last
/// write time.
TAVREL_API BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists);
TAVREL_API BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);
TAVREL_API BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName);
TAVREL_API BOOL DeleteFileW(LPCWSTR lpFileName);
TAVREL_API BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
TAVREL_API BOOL RemoveDirectoryW(LPCWSTR lpPathName);

/// $TMPDIR when it names a folder, else "/tmp/", always with a trailing '/'. Returns the length
/// without the NUL, or the size needed with the NUL when nBufferLength is too small.
TAVREL_API DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);
/// "<path>/<up to 3 prefix chars><hex>.tmp". With uUnique 0 creates the file (O_EXCL) under a new
/// number and returns that number; otherwise only builds the name. lpTempFileName holds MAX_PATH.
TAVREL_API UINT GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique,
                                 LPWSTR lpTempFileName);
/// Any existing file or folder names its volume (a null path means the current folder).
/// Bytes per sector is the device's logical block size (sysfs), else the direct-I/O offset
/// alignment statx reports, else st_blksize; it is what FILE_FLAG_NO_BUFFERING handles on that
/// volume must align to. Counts above 0xFFFFFFFF are clamped.
TAVREL_API BOOL GetDiskFreeSpaceW(LPCWSTR lpRootPathName, LPDWORD lpSectorsPerCluster,
                                  LPDWORD lpBytesPerSector, LPDWORD lpNumberOfFreeClusters,
                                  LPDWORD lpTotalNumberOfClusters);
/// Absolute, with "." and ".." resolved lexically. Returns the length without the NUL, or the
/// size needed with the NUL when nBufferLength is too small; *lpFilePart points at the last
/// component in lpBuffer (null when the path ends with '/').
TAVREL_API DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                                  LPWSTR* lpFilePart);
/// The path itself when its UTF-8 form fits in 259 bytes and the active ANSI code page can hold
/// it; otherwise a short ASCII alias (a symbolic link in a private per-user folder, named by a hash
/// of the full path and keeping a short ASCII extension) that opens the same file. A "\\?\"
/// prefix is kept on the result. Input and output may be the same buffer. Returns the length
/// without the NUL, the size needed with the NUL when cchBuffer is too small, or 0 with
/// ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND for a missing file.
TAVREL_API DWORD GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer);

// ---- time ----

/// Unix time (seconds, nanoseconds) to FILETIME; times before 1601 give FALSE.
TAVREL_API BOOL TavrelUnixTimeToFileTime(LONGLONG seconds, DWORD nanoseconds,
                                         LPFILETIME lpFileTime);
/// FILETIME to Unix time, rounded down to the second (nanoseconds optional).
TAVREL_API void TavrelFileTimeToUnixTime(const FILETIME* lpFileTime, LONGLONG* seconds,
                                         DWORD* nanoseconds);
/// FALSE with ERROR_INVALID_PARAMETER for times with the top bit set.
TAVREL_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
/// FALSE with ERROR_INVALID_PARAMETER for fields out of range (wDayOfWeek is ignored).
TAVREL_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
/// Applies the local time zone's offset in effect at that instant.
TAVREL_API BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
TAVREL_API void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
TAVREL_API void GetSystemTime(LPSYSTEMTIME lpSystemTime);
TAVREL_API void GetLocalTime(LPSYSTEMTIME lpSystemTime);
TAVREL_API LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2);

// ---- host and test control ----

/// The Win32 error code for an errno value (the one mapping table all platform calls use).
TAVREL_API DWORD TavrelWin32ErrorFromErrno(int errnoValue);

#define TAVREL_BUFFERING_CACHED 0u
#define TAVREL_BUFFERING_DIRECT 1u
#define TAVREL_BUFFERING_FALLBACK 2u
/// How a file handle reaches the disk: TAVREL_BUFFERING_CACHED (normal), _DIRECT (O_DIRECT in
/// effect) or _FALLBACK (no-buffering asked, file system refused O_DIRECT, cache dropped after
/// reads). INVALID_FILE_SIZE with ERROR_INVALID_HANDLE for a bad handle.
TAVREL_API DWORD TavrelGetFileBufferingMode(HANDLE hFile);
/// Test control: makes later no-buffering opens behave as on a file system that refuses O_DIRECT.
TAVREL_API void TavrelSetDirectIoRefused(BOOL bRefused);

namespace tavrel {

/// Owns a file handle: CloseHandle in the destructor. INVALID_HANDLE_VALUE (what CreateFileW
/// returns on failure) and null both mean "none".
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : m_handle(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, INVALID_HANDLE_VALUE))
    {
    }
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.m_handle, INVALID_HANDLE_VALUE));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != INVALID_HANDLE_VALUE && m_handle; }
    /// Hands the handle to the caller, who closes it.
    HANDLE release() { return std::exchange(m_handle, INVALID_HANDLE_VALUE); }
    void reset(HANDLE h = INVALID_HANDLE_VALUE)
    {
        const HANDLE old = std::exchange(m_handle, h);
        if (old != INVALID_HANDLE_VALUE && old) CloseHandle(old);
    }

  private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

} // namespace tavrel
