// SPDX-License-Identifier: MIT
// The stand-ins for the C library's file calls that fault_injection.h describes.
#include "fault_injection.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace faults {
namespace {

// Per descriptor: 0 not watched, 1 watched read-only, 2 watched and writable.
constexpr int kMaxFd = 1 << 16;
std::array<std::atomic<unsigned char>, kMaxFd> g_fds{};

std::mutex g_folderLock;
char g_folder[4096] = {}; // with a trailing slash; empty when nothing is watched
size_t g_folderLength = 0;

std::array<std::atomic<int>, kAllOps.size()> g_counts{};
std::atomic<int> g_armedOp{-1};
std::atomic<int> g_armedCall{0};
std::atomic<int> g_armedError{0};
std::atomic<bool> g_fired{false};
std::atomic<bool> g_renamedBeforeFault{false};

bool underWatched(const char* path, int dirfd = AT_FDCWD)
{
    if (!path) return false;
    std::lock_guard guard(g_folderLock);
    if (g_folderLength == 0) return false;
    char full[8192];
    if (path[0] == '/') {
        std::snprintf(full, sizeof full, "%s", path);
    } else {
        char base[4096] = {};
        if (dirfd == AT_FDCWD) {
            if (!getcwd(base, sizeof base)) return false;
        } else {
            char link[64];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
            const ssize_t n = readlink(link, base, sizeof base - 1);
            if (n <= 0) return false;
            base[n] = '\0';
        }
        std::snprintf(full, sizeof full, "%s/%s", base, path);
    }
    return std::strncmp(full, g_folder, g_folderLength) == 0;
}

void track(int fd, bool writable)
{
    if (fd >= 0 && fd < kMaxFd) g_fds[static_cast<size_t>(fd)] = writable ? 2 : 1;
}
unsigned char state(int fd)
{
    return fd >= 0 && fd < kMaxFd ? g_fds[static_cast<size_t>(fd)].load() : 0;
}
bool writableWatched(int fd)
{
    return state(fd) == 2;
}

// Counts a call of `op` on a watched file; true (errno set) when this is the call to fail.
bool shouldFail(Op op)
{
    const int index = static_cast<int>(op);
    const int n = ++g_counts[static_cast<size_t>(index)];
    if (g_armedOp.load() != index || n != g_armedCall.load()) return false;
    g_fired = true;
    g_renamedBeforeFault =
        g_counts[static_cast<size_t>(Op::Rename)].load() > (op == Op::Rename ? 1 : 0);
    errno = g_armedError.load();
    return true;
}

bool opensForWriting(int flags)
{
    return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
}
bool modeWrites(const char* mode)
{
    return mode && (std::strchr(mode, 'w') || std::strchr(mode, 'a') || std::strchr(mode, '+'));
}

template <typename Fn> Fn real(const char* symbol)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
}
#define MIO_REAL(fn)                                                                               \
    static const auto real_##fn = real<decltype(&::fn)>(#fn);                                      \
    (void)0

// Whether a stream writes to a watched file; a null stream never does.
int streamFd(FILE* stream)
{
    return stream ? fileno(stream) : -1;
}
bool watchedStream(FILE* stream)
{
    return writableWatched(streamFd(stream));
}

void markError(FILE* stream)
{
    stream->_flags |= _IO_ERR_SEEN; // as the C library marks a stream whose write failed
}

} // namespace

const char* name(Op op)
{
    switch (op) {
    case Op::Open:
        return "open";
    case Op::Write:
        return "write";
    case Op::Sync:
        return "fsync";
    case Op::Rename:
        return "rename";
    case Op::Close:
        return "close";
    case Op::Truncate:
        return "ftruncate";
    case Op::StdioWrite:
        return "fwrite";
    case Op::StdioFlush:
        return "fflush";
    case Op::StdioClose:
        return "fclose";
    }
    return "?";
}

void watch(const std::string& folder)
{
    std::lock_guard guard(g_folderLock);
    std::string withSlash = folder;
    if (!withSlash.empty() && withSlash.back() != '/') withSlash += '/';
    if (withSlash.size() >= sizeof g_folder) withSlash.clear();
    std::memcpy(g_folder, withSlash.c_str(), withSlash.size() + 1);
    g_folderLength = withSlash.size();
}

void arm(Op op, int nth, int error)
{
    for (auto& count : g_counts)
        count = 0;
    g_fired = false;
    g_renamedBeforeFault = false;
    g_armedError = error;
    g_armedCall = nth;
    g_armedOp = static_cast<int>(op);
}

void disarm()
{
    g_armedOp = -1;
}

int count(Op op)
{
    return g_counts[static_cast<size_t>(op)].load();
}

bool fired()
{
    return g_fired.load();
}

bool renamedBeforeFault()
{
    return g_renamedBeforeFault.load();
}

} // namespace faults

using faults::Op;
using namespace faults;

namespace {

mode_t modeArgument(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(args, unsigned int))
               : 0;
}

template <typename Open> int openCommon(const char* path, int dirfd, int flags, Open&& open)
{
    const bool watched = underWatched(path, dirfd);
    const bool writes = opensForWriting(flags);
    if (watched && writes && shouldFail(Op::Open)) return -1;
    const int fd = open();
    if (watched && fd >= 0) track(fd, writes);
    return fd;
}

template <typename Make> int makeTemp(char* pattern, Make&& make)
{
    const bool watched = underWatched(pattern);
    if (watched && shouldFail(Op::Open)) return -1;
    const int fd = make();
    if (watched && fd >= 0) track(fd, true);
    return fd;
}

} // namespace

// The stand-ins must be visible to every module, whatever the build's default visibility.
#pragma GCC visibility push(default)
extern "C" {

int open(const char* path, int flags, ...)
{
    MIO_REAL(open);
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openCommon(path, AT_FDCWD, flags, [&] { return real_open(path, flags, mode); });
}

int open64(const char* path, int flags, ...)
{
    MIO_REAL(open64);
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openCommon(path, AT_FDCWD, flags, [&] { return real_open64(path, flags, mode); });
}

int __open_2(const char* path, int flags)
{
    MIO_REAL(open);
    return openCommon(path, AT_FDCWD, flags, [&] { return real_open(path, flags); });
}

int __open64_2(const char* path, int flags)
{
    MIO_REAL(open64);
    return openCommon(path, AT_FDCWD, flags, [&] { return real_open64(path, flags); });
}

int openat(int dirfd, const char* path, int flags, ...)
{
    MIO_REAL(openat);
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openCommon(path, dirfd, flags, [&] { return real_openat(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    MIO_REAL(openat64);
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openCommon(path, dirfd, flags, [&] { return real_openat64(dirfd, path, flags, mode); });
}

int creat(const char* path, mode_t mode)
{
    MIO_REAL(creat);
    return openCommon(path, AT_FDCWD, O_CREAT | O_WRONLY | O_TRUNC,
                      [&] { return real_creat(path, mode); });
}

int mkstemp(char* pattern)
{
    MIO_REAL(mkstemp);
    return makeTemp(pattern, [&] { return real_mkstemp(pattern); });
}

int mkostemp(char* pattern, int flags)
{
    MIO_REAL(mkostemp);
    return makeTemp(pattern, [&] { return real_mkostemp(pattern, flags); });
}

int mkstemps(char* pattern, int suffixLength)
{
    MIO_REAL(mkstemps);
    return makeTemp(pattern, [&] { return real_mkstemps(pattern, suffixLength); });
}

int mkostemps(char* pattern, int suffixLength, int flags)
{
    MIO_REAL(mkostemps);
    return makeTemp(pattern, [&] { return real_mkostemps(pattern, suffixLength, flags); });
}

FILE* fopen(const char* path, const char* mode)
{
    MIO_REAL(fopen);
    const bool watched = underWatched(path);
    const bool writes = modeWrites(mode);
    if (watched && writes && shouldFail(Op::Open)) return nullptr;
    FILE* stream = real_fopen(path, mode);
    if (watched && stream) track(fileno(stream), writes);
    return stream;
}

FILE* fopen64(const char* path, const char* mode)
{
    MIO_REAL(fopen64);
    const bool watched = underWatched(path);
    const bool writes = modeWrites(mode);
    if (watched && writes && shouldFail(Op::Open)) return nullptr;
    FILE* stream = real_fopen64(path, mode);
    if (watched && stream) track(fileno(stream), writes);
    return stream;
}

ssize_t write(int fd, const void* data, size_t size)
{
    MIO_REAL(write);
    if (writableWatched(fd) && shouldFail(Op::Write)) return -1;
    return real_write(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset)
{
    MIO_REAL(pwrite);
    if (writableWatched(fd) && shouldFail(Op::Write)) return -1;
    return real_pwrite(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset)
{
    MIO_REAL(pwrite64);
    if (writableWatched(fd) && shouldFail(Op::Write)) return -1;
    return real_pwrite64(fd, data, size, offset);
}

ssize_t writev(int fd, const struct iovec* parts, int count)
{
    MIO_REAL(writev);
    if (writableWatched(fd) && shouldFail(Op::Write)) return -1;
    return real_writev(fd, parts, count);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                        unsigned int flags)
{
    MIO_REAL(copy_file_range);
    if (writableWatched(out) && shouldFail(Op::Write)) return -1;
    return real_copy_file_range(in, inOffset, out, outOffset, size, flags);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t size) __THROW
{
    MIO_REAL(sendfile);
    if (writableWatched(out) && shouldFail(Op::Write)) return -1;
    return real_sendfile(out, in, offset, size);
}

// A duplicate writes to the same file, so it is watched as its original is.
int dup(int fd) __THROW
{
    MIO_REAL(dup);
    const unsigned char was = state(fd);
    const int copy = real_dup(fd);
    if (copy >= 0 && copy < kMaxFd) g_fds[static_cast<size_t>(copy)] = was;
    return copy;
}

int dup2(int fd, int target) __THROW
{
    MIO_REAL(dup2);
    const unsigned char was = state(fd);
    const int copy = real_dup2(fd, target);
    if (copy >= 0 && copy < kMaxFd) g_fds[static_cast<size_t>(copy)] = was;
    return copy;
}

int dup3(int fd, int target, int flags) __THROW
{
    MIO_REAL(dup3);
    const unsigned char was = state(fd);
    const int copy = real_dup3(fd, target, flags);
    if (copy >= 0 && copy < kMaxFd) g_fds[static_cast<size_t>(copy)] = was;
    return copy;
}

int fsync(int fd)
{
    MIO_REAL(fsync);
    if (writableWatched(fd) && shouldFail(Op::Sync)) return -1;
    return real_fsync(fd);
}

int fdatasync(int fd)
{
    MIO_REAL(fdatasync);
    if (writableWatched(fd) && shouldFail(Op::Sync)) return -1;
    return real_fdatasync(fd);
}

int ftruncate(int fd, off_t length) __THROW
{
    MIO_REAL(ftruncate);
    if (writableWatched(fd) && shouldFail(Op::Truncate)) return -1;
    return real_ftruncate(fd, length);
}

int ftruncate64(int fd, off64_t length) __THROW
{
    MIO_REAL(ftruncate64);
    if (writableWatched(fd) && shouldFail(Op::Truncate)) return -1;
    return real_ftruncate64(fd, length);
}

int rename(const char* from, const char* to) __THROW
{
    MIO_REAL(rename);
    if ((underWatched(from) || underWatched(to)) && shouldFail(Op::Rename)) return -1;
    return real_rename(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) __THROW
{
    MIO_REAL(renameat);
    if ((underWatched(from, fromDir) || underWatched(to, toDir)) && shouldFail(Op::Rename))
        return -1;
    return real_renameat(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) __THROW
{
    MIO_REAL(renameat2);
    if ((underWatched(from, fromDir) || underWatched(to, toDir)) && shouldFail(Op::Rename))
        return -1;
    return real_renameat2(fromDir, from, toDir, to, flags);
}

int close(int fd)
{
    MIO_REAL(close);
    const bool counted = writableWatched(fd);
    if (fd >= 0 && fd < kMaxFd) g_fds[static_cast<size_t>(fd)] = 0;
    const int rc = real_close(fd);
    if (counted && rc == 0 && shouldFail(Op::Close)) return -1;
    return rc;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    MIO_REAL(fwrite);
    if (size != 0 && count != 0 && watchedStream(stream) && shouldFail(Op::StdioWrite)) {
        markError(stream);
        return 0;
    }
    return real_fwrite(data, size, count, stream);
}

int fputc(int c, FILE* stream)
{
    MIO_REAL(fputc);
    if (watchedStream(stream) && shouldFail(Op::StdioWrite)) {
        markError(stream);
        return EOF;
    }
    return real_fputc(c, stream);
}

int fputs(const char* text, FILE* stream)
{
    MIO_REAL(fputs);
    if (watchedStream(stream) && shouldFail(Op::StdioWrite)) {
        markError(stream);
        return EOF;
    }
    return real_fputs(text, stream);
}

int fflush(FILE* stream)
{
    MIO_REAL(fflush);
    if (watchedStream(stream) && shouldFail(Op::StdioFlush)) {
        markError(stream);
        return EOF;
    }
    return real_fflush(stream);
}

int fclose(FILE* stream)
{
    MIO_REAL(fclose);
    const int fd = streamFd(stream);
    const bool counted = writableWatched(fd);
    if (fd >= 0 && fd < kMaxFd) g_fds[static_cast<size_t>(fd)] = 0;
    const int rc = real_fclose(stream);
    if (counted && rc == 0 && shouldFail(Op::StdioClose)) return EOF;
    return rc;
}

} // extern "C"
#pragma GCC visibility pop
