// SPDX-License-Identifier: MIT
// Path-level file operations: attributes, copy, move, delete, folders, temp names and volumes.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "errno_map.h"
#include "files_internal.h"
#include "tavrel/platform/files.h"
#include "tavrel/platform/text.h"
#include "utf.h"

namespace tavrel {

std::optional<std::string> fsPath(LPCWSTR path)
{
    if (!path || !*path) {
        SetLastError(path ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    std::u16string_view text(path, u16len(path));
    if (text.starts_with(u"\\\\?\\")) text.remove_prefix(4);
    if (text.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    auto utf8 = utf16ToUtf8(text);
    if (!utf8) SetLastError(ERROR_INVALID_NAME);
    return utf8;
}

std::optional<std::string> fsPathFromAnsi(LPCSTR path)
{
    if (!path || !*path) {
        SetLastError(path ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    if (GetACP() == CP_UTF8) return std::string(path);
    const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::u16string wide(static_cast<size_t>(n), u'\0');
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), n) != n) return std::nullopt;
    return fsPath(wide.c_str());
}

std::string absolutePath(const std::string& path)
{
    std::string joined = path;
    if (path.empty() || path[0] != '/') {
        std::vector<char> cwd(PATH_MAX);
        if (::getcwd(cwd.data(), cwd.size())) joined = std::string(cwd.data()) + "/" + path;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        const std::string part = joined.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const auto& part : parts)
        out += "/" + part;
    if (out.empty()) return "/";
    if (joined.back() == '/') out += '/';
    return out;
}

namespace {

bool plausibleSectorSize(uint64_t v)
{
    return v >= 512 && v <= 65536 && (v & (v - 1)) == 0;
}

// The logical block size the kernel reports for the device (what BLKSSZGET returns), read from
// sysfs so that no device node has to be opened. A partition's own folder has no queue/.
std::optional<uint32_t> logicalBlockSize(unsigned devMajor, unsigned devMinor)
{
    const std::string base =
        "/sys/dev/block/" + std::to_string(devMajor) + ":" + std::to_string(devMinor);
    for (const char* leaf : {"/queue/logical_block_size", "/../queue/logical_block_size"}) {
        std::ifstream in(base + leaf);
        uint64_t v = 0;
        if (in >> v && plausibleSectorSize(v)) return static_cast<uint32_t>(v);
    }
    return std::nullopt;
}

uint32_t sectorSizeFromStatx(const struct statx& sx)
{
    if (auto v = logicalBlockSize(sx.stx_dev_major, sx.stx_dev_minor)) return *v;
    if ((sx.stx_mask & STATX_DIOALIGN) && plausibleSectorSize(sx.stx_dio_offset_align))
        return sx.stx_dio_offset_align;
    if (plausibleSectorSize(sx.stx_blksize)) return sx.stx_blksize;
    return 512;
}

std::optional<uint32_t> sectorSizeOfPath(const std::string& path)
{
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_DIOALIGN, &sx) != 0)
        return std::nullopt;
    return sectorSizeFromStatx(sx);
}

DWORD clampDword(uint64_t v)
{
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(v);
}

std::string parentOf(const std::string& absolute)
{
    const auto slash = absolute.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : absolute.substr(0, slash);
}

/// Copies every byte of in to out; false with errno set on failure.
bool copyContents(int in, int out)
{
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break; // the file systems cannot do it in-kernel: copy by hand from where we are
    }
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += w;
        }
    }
}

void syncFolder(const std::string& folder)
{
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) (void)::fsync(dir.get());
}

/// rename() that refuses to replace an existing target, atomically where the file system can.
int renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (::link(from.c_str(), to.c_str()) == 0) return ::unlink(from.c_str());
    return -1;
}

} // namespace

uint32_t sectorSizeOfFd(int fd)
{
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_DIOALIGN, &sx) != 0) return 512;
    return sectorSizeFromStatx(sx);
}

DWORD deliverPath(const std::u16string& text, LPWSTR buffer, DWORD capacity)
{
    const size_t needed = text.size() + 1;
    if (!buffer || capacity < needed) return clampDword(needed);
    std::memcpy(buffer, text.c_str(), needed * sizeof(char16_t));
    return static_cast<DWORD>(text.size());
}

} // namespace tavrel

using namespace tavrel;

TAVREL_API DWORD GetFileAttributesW(LPCWSTR lpFileName)
{
    const auto path = fsPath(lpFileName);
    if (!path) return INVALID_FILE_ATTRIBUTES;
    struct stat st {};
    if (::stat(path->c_str(), &st) != 0) {
        failWithErrnoForPath(errno, *path);
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!S_ISDIR(st.st_mode) && (st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    const std::string name = path->substr(path->find_last_of('/') + 1);
    if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes;
}

TAVREL_API BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists)
{
    const auto from = fsPath(lpExistingFileName);
    if (!from) return FALSE;
    const auto toPath = fsPath(lpNewFileName);
    if (!toPath) return FALSE;
    const std::string to = absolutePath(*toPath);

    UniqueFd in(::open(from->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in) return failWithErrnoForPath(errno, *from);
    struct stat src {};
    if (::fstat(in.get(), &src) != 0) return failWithErrno(errno);
    if (!S_ISREG(src.st_mode)) return failWith(ERROR_ACCESS_DENIED);

    struct stat dst {};
    if (::stat(to.c_str(), &dst) == 0) {
        if (bFailIfExists) return failWith(ERROR_FILE_EXISTS);
        if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)
            return failWith(ERROR_SHARING_VIOLATION);
        if (S_ISDIR(dst.st_mode) || (dst.st_mode & 0222) == 0) return failWith(ERROR_ACCESS_DENIED);
    }

    // The copy goes to a private sibling and replaces the target by rename once flushed, so a
    // failure part way never leaves a truncated target behind.
    const std::string folder = parentOf(to);
    std::string temp = folder + "/.tavrel-copy-XXXXXX";
    UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (!out) return failWithErrnoForPath(errno, to);
    const auto abandon = [&](int e) {
        out.reset();
        ::unlink(temp.c_str());
        return failWithErrno(e);
    };
    if (!copyContents(in.get(), out.get())) return abandon(errno);
    (void)::fchmod(out.get(), src.st_mode & 07777);
    const struct timespec times[2] = {src.st_atim, src.st_mtim};
    (void)::futimens(out.get(), times);
    if (::fsync(out.get()) != 0) return abandon(errno);
    out.reset();
    const int rc = bFailIfExists ? renameNoReplace(temp, to) : ::rename(temp.c_str(), to.c_str());
    if (rc != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return failWith(e == EEXIST ? ERROR_FILE_EXISTS : win32FromErrno(e));
    }
    syncFolder(folder);
    return TRUE;
}

TAVREL_API BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags)
{
    const auto from = fsPath(lpExistingFileName);
    if (!from) return FALSE;
    if (!lpNewFileName) return failWith(ERROR_INVALID_PARAMETER); // delayed deletes: no reboot
    const auto to = fsPath(lpNewFileName);
    if (!to) return FALSE;
    const bool replace = dwFlags & MOVEFILE_REPLACE_EXISTING;
    const int rc = replace ? ::rename(from->c_str(), to->c_str()) : renameNoReplace(*from, *to);
    if (rc == 0) {
        if (dwFlags & MOVEFILE_WRITE_THROUGH) syncFolder(parentOf(absolutePath(*to)));
        return TRUE;
    }
    const int e = errno;
    if (e == EXDEV && (dwFlags & MOVEFILE_COPY_ALLOWED)) {
        if (!CopyFileW(lpExistingFileName, lpNewFileName, replace ? FALSE : TRUE)) return FALSE;
        if (::unlink(from->c_str()) != 0) return failWithErrno(errno);
        return TRUE;
    }
    if (e == EEXIST) return failWith(ERROR_ALREADY_EXISTS);
    if (e == ENOENT && ::access(from->c_str(), F_OK) != 0)
        return failWithErrnoForPath(ENOENT, *from);
    return failWithErrnoForPath(e, *to);
}

TAVREL_API BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName)
{
    return MoveFileExW(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

TAVREL_API BOOL DeleteFileW(LPCWSTR lpFileName)
{
    const auto path = fsPath(lpFileName);
    if (!path) return FALSE;
    if (::unlink(path->c_str()) != 0) return failWithErrnoForPath(errno, *path);
    return TRUE;
}

TAVREL_API BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    const auto path = fsPath(lpPathName);
    if (!path) return FALSE;
    if (::mkdir(path->c_str(), 0777) != 0) {
        const int e = errno;
        if (e == EEXIST) return failWith(ERROR_ALREADY_EXISTS);
        if (e == ENOENT) return failWith(ERROR_PATH_NOT_FOUND);
        return failWithErrno(e);
    }
    return TRUE;
}

TAVREL_API BOOL RemoveDirectoryW(LPCWSTR lpPathName)
{
    const auto path = fsPath(lpPathName);
    if (!path) return FALSE;
    if (::rmdir(path->c_str()) != 0) {
        const int e = errno;
        return failWith(e == ENOTDIR ? ERROR_DIRECTORY : win32FromErrnoForPath(e, *path));
    }
    return TRUE;
}

TAVREL_API DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer)
{
    std::string folder = "/tmp";
    if (const char* env = std::getenv("TMPDIR"); env && env[0] == '/') {
        struct stat st {};
        if (::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) folder = env;
    }
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder != "/") folder += '/';
    auto wide = utf8ToUtf16(folder);
    if (!wide) wide = u"/tmp/";
    return deliverPath(*wide, lpBuffer, nBufferLength);
}

TAVREL_API UINT GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique,
                                 LPWSTR lpTempFileName)
{
    if (!lpTempFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto folder = fsPath(lpPathName);
    if (!folder) return 0;
    std::u16string prefix(lpPrefixString ? lpPrefixString : u"");
    if (prefix.size() > 3) prefix.resize(3);
    std::u16string base = lpPathName;
    if (std::u16string_view(base).starts_with(u"\\\\?\\")) base.erase(0, 4);
    if (base.back() != u'/') base += u'/';
    base += prefix;

    const auto nameFor = [&](UINT number) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X.tmp", number);
        std::u16string name = base;
        for (const char* p = hex; *p; ++p)
            name += static_cast<char16_t>(*p);
        return name;
    };
    const auto deliver = [&](const std::u16string& name, UINT number) -> UINT {
        if (name.size() + 1 > MAX_PATH) {
            SetLastError(ERROR_BUFFER_OVERFLOW);
            return 0;
        }
        std::memcpy(lpTempFileName, name.c_str(), (name.size() + 1) * sizeof(char16_t));
        return number;
    };
    if (uUnique != 0) return deliver(nameFor(uUnique & 0xFFFF), uUnique);

    if (nameFor(0xFFFF).size() + 1 > MAX_PATH) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    // Start somewhere unpredictable so that concurrent processes rarely collide, then probe.
    static std::atomic<UINT> calls{0};
    const UINT start = static_cast<UINT>(::getpid()) ^ static_cast<UINT>(::time(nullptr)) ^
                       (calls.fetch_add(1) * 7919u);
    for (UINT i = 0; i < 0x10000; ++i) {
        const UINT number = ((start + i) & 0xFFFF) ? ((start + i) & 0xFFFF) : 1;
        const std::u16string name = nameFor(number);
        const auto utf8 = fsPath(name.c_str());
        if (!utf8) return 0;
        const int fd = ::open(utf8->c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return deliver(name, number);
        }
        if (errno != EEXIST) {
            failWithErrnoForPath(errno, *utf8);
            return 0;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

TAVREL_API BOOL GetDiskFreeSpaceW(LPCWSTR lpRootPathName, LPDWORD lpSectorsPerCluster,
                                  LPDWORD lpBytesPerSector, LPDWORD lpNumberOfFreeClusters,
                                  LPDWORD lpTotalNumberOfClusters)
{
    std::string path = ".";
    if (lpRootPathName) {
        auto given = fsPath(lpRootPathName);
        if (!given) return FALSE;
        path = *given;
    }
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) {
        const int e = errno;
        return failWith(e == ENOENT ? ERROR_PATH_NOT_FOUND : win32FromErrno(e));
    }
    const auto sector = sectorSizeOfPath(path);
    if (!sector) return failWithErrnoForPath(errno, path);
    const uint64_t blockSize = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    const uint64_t perCluster = blockSize > *sector ? blockSize / *sector : 1;
    const uint64_t clusterBytes = perCluster * *sector;
    if (lpSectorsPerCluster) *lpSectorsPerCluster = clampDword(perCluster);
    if (lpBytesPerSector) *lpBytesPerSector = *sector;
    if (lpNumberOfFreeClusters)
        *lpNumberOfFreeClusters = clampDword(vfs.f_bavail * blockSize / clusterBytes);
    if (lpTotalNumberOfClusters)
        *lpTotalNumberOfClusters = clampDword(vfs.f_blocks * blockSize / clusterBytes);
    return TRUE;
}

TAVREL_API DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                                  LPWSTR* lpFilePart)
{
    if (lpFilePart) *lpFilePart = nullptr;
    const auto path = fsPath(lpFileName);
    if (!path) return 0;
    const auto wide = utf8ToUtf16(absolutePath(*path));
    if (!wide) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    const DWORD result = deliverPath(*wide, lpBuffer, nBufferLength);
    if (result == wide->size() && lpFilePart && wide->back() != u'/')
        *lpFilePart = lpBuffer + wide->find_last_of(u'/') + 1;
    return result;
}
