// SPDX-License-Identifier: MIT
// The single translation of POSIX errno values into the platform's Win32 error codes.
#include "errno_map.h"

#include <cerrno>
#include <sys/stat.h>

#include "tavrel/platform/files.h"

namespace tavrel {

namespace {

struct ErrnoRow {
    int errnoValue;
    DWORD win32;
};

// EEXIST maps to the file-creation code; callers creating folders use ERROR_ALREADY_EXISTS.
// EISDIR is ERROR_ACCESS_DENIED because opening a folder as a file fails that way.
constexpr ErrnoRow kTable[] = {
    {0, ERROR_SUCCESS},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_WRITE_PROTECT},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EIO, ERROR_GEN_FAILURE},
    {ESPIPE, ERROR_SEEK},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EEXIST, ERROR_FILE_EXISTS},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
    {EFBIG, ERROR_FILE_TOO_LARGE},
    {EPIPE, ERROR_BROKEN_PIPE},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EAGAIN, ERROR_LOCK_VIOLATION},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {EILSEQ, ERROR_NO_UNICODE_TRANSLATION},
    {EOVERFLOW, ERROR_FILE_TOO_LARGE},
};

} // namespace

DWORD win32FromErrno(int e)
{
    for (const auto& row : kTable)
        if (row.errnoValue == e) return row.win32;
    return ERROR_GEN_FAILURE;
}

DWORD win32FromErrnoForPath(int e, const std::string& path)
{
    if (e != ENOENT) return win32FromErrno(e);
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
    struct stat st {};
    const std::string parent = path.substr(0, slash);
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

BOOL failWithErrno(int e)
{
    return failWith(win32FromErrno(e));
}

BOOL failWithErrnoForPath(int e, const std::string& path)
{
    return failWith(win32FromErrnoForPath(e, path));
}

BOOL failWith(DWORD win32Error)
{
    SetLastError(win32Error);
    return FALSE;
}

} // namespace tavrel

TAVREL_API DWORD TavrelWin32ErrorFromErrno(int errnoValue)
{
    return tavrel::win32FromErrno(errnoValue);
}
