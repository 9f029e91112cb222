// SPDX-License-Identifier: MIT
// File handles and file I/O over POSIX: a checked handle table, share modes and unbuffered I/O.
#include "tavrel/platform/files.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "errno_map.h"
#include "files_internal.h"
#include "utf.h"

namespace tavrel {

namespace {

// Handle values start high and step by 4 like the platform's, and are never reused.
constexpr uintptr_t kFirstHandle = 0x10000;

class HandleTable {
  public:
    using Conflict = std::function<bool(const HandleObject&)>;

    HANDLE add(std::shared_ptr<HandleObject> object, const Conflict& conflicts = {})
    {
        std::lock_guard lock(m_mutex);
        if (conflicts) {
            for (const auto& [value, existing] : m_objects) {
                if (conflicts(*existing)) {
                    SetLastError(ERROR_SHARING_VIOLATION);
                    return nullptr;
                }
            }
        }
        const uintptr_t value = m_next;
        m_next += 4;
        try {
            m_objects.emplace(value, std::move(object));
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return reinterpret_cast<HANDLE>(value);
    }

    std::shared_ptr<HandleObject> find(HANDLE handle)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : it->second;
    }

    /// Removes the entry; the caller's reference destroys the object outside the lock.
    std::shared_ptr<HandleObject> take(HANDLE handle)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == m_objects.end()) return nullptr;
        auto object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

  private:
    std::mutex m_mutex;
    uintptr_t m_next = kFirstHandle;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> m_objects;
};

HandleTable& handleTable()
{
    static HandleTable table;
    return table;
}

std::atomic<bool> g_directIoRefused{false};

struct FileObject final : HandleObject {
    UniqueFd fd;
    bool canRead = false;
    bool canWrite = false;
    bool wantsDelete = false; // asked for delete access (FILE_FLAG_DELETE_ON_CLOSE)
    DWORD share = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    DWORD buffering = TAVREL_BUFFERING_CACHED;
    uint32_t sectorSize = 512;
    bool deleteOnClose = false;
    std::string path;

    ~FileObject() override
    {
        if (deleteOnClose) ::unlink(path.c_str());
    }

    /// Two opens of one file are compatible when each grants the other's access.
    bool conflictsWith(const FileObject& other) const
    {
        if (other.dev != dev || other.ino != ino) return false;
        const auto denies = [](const FileObject& holder, const FileObject& asker) {
            return (asker.canRead && !(holder.share & FILE_SHARE_READ)) ||
                   (asker.canWrite && !(holder.share & FILE_SHARE_WRITE)) ||
                   (asker.wantsDelete && !(holder.share & FILE_SHARE_DELETE));
        };
        return denies(other, *this) || denies(*this, other);
    }
};

std::shared_ptr<FileObject> fileFromHandle(HANDLE handle)
{
    auto object = std::dynamic_pointer_cast<FileObject>(handleTable().find(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

/// Unbuffered handles take only sector-aligned offsets and lengths. Checked here rather than
/// left to the kernel so that the rule is the same on every file system, including those that
/// take O_DIRECT without alignment (tmpfs) and those that refuse it (the cached fallback).
bool alignedForNoBuffering(const FileObject& file, int64_t offset, DWORD length)
{
    if (file.buffering == TAVREL_BUFFERING_CACHED) return true;
    return offset % file.sectorSize == 0 && length % file.sectorSize == 0;
}

/// Drops the pages a transfer touched, widened to whole pages: the kernel keeps pages that a
/// range covers only in part. Read-ahead is off for these handles, so nothing lies beyond.
void dropCachedRange(int fd, int64_t offset, DWORD length)
{
    static const int64_t page = ::sysconf(_SC_PAGESIZE);
    const int64_t start = offset / page * page;
    const int64_t end = (offset + length + page - 1) / page * page;
    (void)::posix_fadvise(fd, start, end - start, POSIX_FADV_DONTNEED);
}

int64_t currentOffset(int fd)
{
    return ::lseek(fd, 0, SEEK_CUR);
}

/// Opens with O_NONBLOCK so that a FIFO cannot block the caller; regular files ignore it.
int openPath(const std::string& path, int flags, bool* created)
{
    *created = false;
    const int base = flags | O_CLOEXEC | O_NONBLOCK;
    if (!(flags & O_CREAT)) return ::open(path.c_str(), base);
    // Learn whether the file existed, without a window in which it could appear twice.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(path.c_str(), base | O_EXCL, 0666);
        if (fd >= 0) {
            *created = true;
            return fd;
        }
        if (errno != EEXIST || (flags & O_EXCL)) return -1;
        fd = ::open(path.c_str(), base & ~O_CREAT);
        if (fd >= 0 || errno != ENOENT) return fd;
    }
    return -1;
}

} // namespace

HANDLE registerHandle(std::shared_ptr<HandleObject> object)
{
    return handleTable().add(std::move(object));
}

std::shared_ptr<HandleObject> lookupHandle(HANDLE handle)
{
    return handleTable().find(handle);
}

} // namespace tavrel

using namespace tavrel;

TAVREL_API HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE)
{
    const auto path = fsPath(lpFileName);
    if (!path) return INVALID_HANDLE_VALUE;

    const bool read = dwDesiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    const bool write =
        dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    int flags = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    bool truncate = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT;
        truncate = true;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        if (!write) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        truncate = true;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;

    std::shared_ptr<FileObject> file;
    try {
        file = std::make_shared<FileObject>();
        file->path = *path;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    bool created = false;
    file->fd.reset(openPath(*path, flags, &created));
    if (!file->fd) {
        const int e = errno;
        failWithErrnoForPath(e, *path);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st {};
    if (::fstat(file->fd.get(), &st) != 0) {
        failWithErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    const bool isDir = S_ISDIR(st.st_mode);
    // Only files (and folders on request): a device or FIFO could block a reader or never end.
    if ((isDir && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) ||
        (!isDir && !S_ISREG(st.st_mode))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    int statusFlags = ::fcntl(file->fd.get(), F_GETFL) & ~O_NONBLOCK;
    if ((dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING) && !isDir) {
        file->sectorSize = sectorSizeOfFd(file->fd.get());
        // Asking after the open (rather than open(O_DIRECT)) keeps a refusal from leaving a file
        // that O_EXCL would then trip over on a retry.
        if (!g_directIoRefused.load() &&
            ::fcntl(file->fd.get(), F_SETFL, statusFlags | O_DIRECT) == 0) {
            file->buffering = TAVREL_BUFFERING_DIRECT;
        } else {
            file->buffering = TAVREL_BUFFERING_FALLBACK;
        }
    }
    if (file->buffering != TAVREL_BUFFERING_DIRECT)
        (void)::fcntl(file->fd.get(), F_SETFL, statusFlags);

    file->canRead = read;
    file->canWrite = write;
    file->deleteOnClose = dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE;
    file->wantsDelete = file->deleteOnClose;
    file->share = dwShareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    file->dev = st.st_dev;
    file->ino = st.st_ino;

    const HANDLE handle = handleTable().add(file, [&](const HandleObject& existing) {
        const auto* other = dynamic_cast<const FileObject*>(&existing);
        return other && file->conflictsWith(*other);
    });
    if (!handle) {
        // A file this call created cannot be shared by anyone yet, so nothing to undo there.
        return INVALID_HANDLE_VALUE;
    }
    // Truncate only once the share check has passed, so a refused open destroys nothing.
    if (truncate && !created && st.st_size != 0 && ::ftruncate(file->fd.get(), 0) != 0) {
        const int e = errno;
        handleTable().take(handle);
        failWithErrno(e);
        return INVALID_HANDLE_VALUE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
        (void)::posix_fadvise(file->fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    if (dwFlagsAndAttributes & FILE_FLAG_RANDOM_ACCESS)
        (void)::posix_fadvise(file->fd.get(), 0, 0, POSIX_FADV_RANDOM);
    if (file->buffering == TAVREL_BUFFERING_FALLBACK) {
        // No read-ahead (it would fill the cache beyond each read), and nothing cached to start.
        (void)::posix_fadvise(file->fd.get(), 0, 0, POSIX_FADV_RANDOM);
        (void)::posix_fadvise(file->fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    }

    const bool existed = !created && (flags & O_CREAT);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

TAVREL_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    const auto file = fileFromHandle(hFile);
    if (!file) return FALSE;
    if ((!lpNumberOfBytesRead && !lpOverlapped) || (!lpBuffer && nNumberOfBytesToRead))
        return failWith(ERROR_INVALID_PARAMETER);
    if (!file->canRead) return failWith(ERROR_ACCESS_DENIED);

    const int fd = file->fd.get();
    int64_t offset =
        lpOverlapped ? (static_cast<int64_t>(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset
                     : currentOffset(fd);
    if (offset < 0) return failWithErrno(errno);
    if (!alignedForNoBuffering(*file, offset, nNumberOfBytesToRead))
        return failWith(ERROR_INVALID_PARAMETER);

    auto* out = static_cast<unsigned char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToRead) {
        const ssize_t n = ::pread(fd, out + done, nNumberOfBytesToRead - done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            return failWithErrno(e);
        }
        if (n == 0) break; // end of file: a synchronous read succeeds with what it has
        done += static_cast<DWORD>(n);
        // O_DIRECT stops short only at the end of the file; asking again would be unaligned.
        if (file->buffering != TAVREL_BUFFERING_CACHED && done % file->sectorSize != 0) break;
    }
    (void)::lseek(fd, offset + done, SEEK_SET);
    if (file->buffering == TAVREL_BUFFERING_FALLBACK && done) dropCachedRange(fd, offset, done);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    if (lpOverlapped) lpOverlapped->InternalHigh = done;
    return TRUE;
}

TAVREL_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    const auto file = fileFromHandle(hFile);
    if (!file) return FALSE;
    if ((!lpNumberOfBytesWritten && !lpOverlapped) || (!lpBuffer && nNumberOfBytesToWrite))
        return failWith(ERROR_INVALID_PARAMETER);
    if (!file->canWrite) return failWith(ERROR_ACCESS_DENIED);

    const int fd = file->fd.get();
    int64_t offset =
        lpOverlapped ? (static_cast<int64_t>(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset
                     : currentOffset(fd);
    if (offset < 0) return failWithErrno(errno);
    if (!alignedForNoBuffering(*file, offset, nNumberOfBytesToWrite))
        return failWith(ERROR_INVALID_PARAMETER);

    const auto* in = static_cast<const unsigned char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        const ssize_t n = ::pwrite(fd, in + done, nNumberOfBytesToWrite - done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            (void)::lseek(fd, offset + done, SEEK_SET);
            if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
            return failWithErrno(e);
        }
        done += static_cast<DWORD>(n);
    }
    (void)::lseek(fd, offset + done, SEEK_SET);
    if (file->buffering == TAVREL_BUFFERING_FALLBACK && done) {
        // Written pages can be dropped only once they are on disk.
        (void)::fdatasync(fd);
        dropCachedRange(fd, offset, done);
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    if (lpOverlapped) lpOverlapped->InternalHigh = done;
    return TRUE;
}

TAVREL_API BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                 PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod)
{
    const auto file = fileFromHandle(hFile);
    if (!file) return FALSE;
    const int fd = file->fd.get();
    int64_t base = 0;
    switch (dwMoveMethod) {
    case FILE_BEGIN:
        break;
    case FILE_CURRENT:
        base = currentOffset(fd);
        break;
    case FILE_END: {
        struct stat st {};
        base = ::fstat(fd, &st) == 0 ? st.st_size : -1;
        break;
    }
    default:
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (base < 0) return failWithErrno(errno);
    int64_t target = 0;
    if (__builtin_add_overflow(base, liDistanceToMove.QuadPart, &target))
        return failWith(ERROR_INVALID_PARAMETER);
    if (target < 0) return failWith(ERROR_NEGATIVE_SEEK);
    if (::lseek(fd, target, SEEK_SET) < 0) return failWithErrno(errno);
    if (lpNewFilePointer) lpNewFilePointer->QuadPart = target;
    return TRUE;
}

TAVREL_API DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh,
                                DWORD dwMoveMethod)
{
    LARGE_INTEGER move{};
    move.QuadPart =
        lpDistanceToMoveHigh
            ? static_cast<int64_t>(
                  (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                  static_cast<uint32_t>(lDistanceToMove))
            : lDistanceToMove;
    LARGE_INTEGER now{};
    if (!SetFilePointerEx(hFile, move, &now, dwMoveMethod)) return INVALID_SET_FILE_POINTER;
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(now.QuadPart >> 32);
    SetLastError(ERROR_SUCCESS); // callers tell a real 0xFFFFFFFF from failure this way
    return static_cast<DWORD>(now.QuadPart & 0xFFFFFFFF);
}

TAVREL_API BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    const auto file = fileFromHandle(hFile);
    if (!file) return FALSE;
    if (!lpFileSize) return failWith(ERROR_INVALID_PARAMETER);
    struct stat st {};
    if (::fstat(file->fd.get(), &st) != 0) return failWithErrno(errno);
    lpFileSize->QuadPart = st.st_size;
    return TRUE;
}

TAVREL_API DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size.QuadPart & 0xFFFFFFFF);
}

TAVREL_API BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                            LPFILETIME lpLastWriteTime)
{
    const auto file = fileFromHandle(hFile);
    if (!file) return FALSE;
    struct statx sx {};
    if (::statx(file->fd.get(), "", AT_EMPTY_PATH, STATX_BTIME | STATX_ATIME | STATX_MTIME, &sx) !=
        0)
        return failWithErrno(errno);
    const auto convert = [](const struct statx_timestamp& t, LPFILETIME out) {
        if (out && !TavrelUnixTimeToFileTime(t.tv_sec, t.tv_nsec, out)) *out = FILETIME{0, 0};
    };
    convert((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime, lpCreationTime);
    convert(sx.stx_atime, lpLastAccessTime);
    convert(sx.stx_mtime, lpLastWriteTime);
    return TRUE;
}

TAVREL_API BOOL SetEndOfFile(HANDLE hFile)
{
    const auto file = fileFromHandle(hFile);
    if (!file) return FALSE;
    if (!file->canWrite) return failWith(ERROR_ACCESS_DENIED);
    const int64_t at = currentOffset(file->fd.get());
    if (at < 0 || ::ftruncate(file->fd.get(), at) != 0) return failWithErrno(errno);
    return TRUE;
}

TAVREL_API BOOL FlushFileBuffers(HANDLE hFile)
{
    const auto file = fileFromHandle(hFile);
    if (!file) return FALSE;
    if (!file->canWrite) return failWith(ERROR_ACCESS_DENIED);
    if (::fsync(file->fd.get()) != 0) return failWithErrno(errno);
    return TRUE;
}

TAVREL_API BOOL CloseHandle(HANDLE hObject)
{
    auto object = handleTable().take(hObject);
    if (!object) return failWith(ERROR_INVALID_HANDLE);
    object.reset();
    return TRUE;
}

TAVREL_API DWORD TavrelGetFileBufferingMode(HANDLE hFile)
{
    const auto file = fileFromHandle(hFile);
    return file ? file->buffering : INVALID_FILE_SIZE;
}

TAVREL_API void TavrelSetDirectIoRefused(BOOL bRefused)
{
    g_directIoRefused.store(bRefused != 0);
}
