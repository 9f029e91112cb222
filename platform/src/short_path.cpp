// SPDX-License-Identifier: MIT
// Short path aliases: symbolic links in a private per-user folder standing in for paths that
// do not fit the libraries' 260-byte ANSI path fields.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "errno_map.h"
#include "files_internal.h"
#include "tavrel/platform/files.h"
#include "tavrel/platform/text.h"
#include "utf.h"

namespace tavrel {

namespace {

constexpr size_t kMaxAnsiPath = 259;   // MAX_PATH less the terminator
constexpr size_t kMaxFolderPath = 160; // leaves room for the alias name within kMaxAnsiPath
constexpr int kMaxCollisions = 16;

bool isAsciiPrintable(const std::string& s)
{
    for (const unsigned char c : s)
        if (c < 0x20 || c >= 0x7F) return false;
    return true;
}

/// Opens the alias folder after making sure it is a real folder (not a link) that only this
/// user can reach, so nobody else can plant or redirect an alias.
UniqueFd openPrivateFolder(const std::string& folder)
{
    if (folder.size() > kMaxFolderPath || !isAsciiPrintable(folder)) return UniqueFd();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return UniqueFd();
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return UniqueFd();
    if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) return UniqueFd();
    return fd;
}

struct AliasFolder {
    std::string path;
    UniqueFd fd;
};

std::optional<AliasFolder> aliasFolder()
{
    std::vector<std::string> candidates;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
        candidates.push_back(std::string(runtime) + "/tavrel-short-paths");
    candidates.push_back("/tmp/tavrel-" + std::to_string(::geteuid()));
    for (auto& folder : candidates) {
        UniqueFd fd = openPrivateFolder(folder);
        if (fd) return AliasFolder{std::move(folder), std::move(fd)};
    }
    return std::nullopt;
}

uint64_t fnv1a(const std::string& text)
{
    uint64_t h = 0xCBF29CE484222325ull;
    for (const unsigned char c : text)
        h = (h ^ c) * 0x100000001B3ull;
    return h;
}

/// A short ASCII extension of the last component (".jpg"), kept so that tools that sniff by
/// extension still see it; empty when there is none that fits.
std::string shortExtension(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    const std::string ext = path.substr(dot);
    if (ext.size() < 2 || ext.size() > 16) return {};
    for (size_t i = 1; i < ext.size(); ++i) {
        const unsigned char c = ext[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return {};
    }
    return ext;
}

bool linkPointsAt(int folderFd, const std::string& name, const std::string& target)
{
    std::vector<char> buffer(target.size() + 2);
    const ssize_t n = ::readlinkat(folderFd, name.c_str(), buffer.data(), buffer.size());
    return n >= 0 && static_cast<size_t>(n) == target.size() &&
           target.compare(0, target.size(), buffer.data(), static_cast<size_t>(n)) == 0;
}

/// Removes aliases whose files are gone, so the folder does not grow with every long path ever
/// opened. Runs when a new alias is made; an alias of an existing file is never touched.
void pruneDeadAliases(int folderFd)
{
    const int scanFd = ::dup(folderFd);
    if (scanFd < 0) return;
    DIR* dir = ::fdopendir(scanFd);
    if (!dir) {
        ::close(scanFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_type != DT_LNK) continue;
        struct stat target {};
        if (::fstatat(folderFd, entry->d_name, &target, 0) != 0 && errno == ENOENT)
            ::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

/// The alias for an absolute path, created if needed; null with the last error set on failure.
std::optional<std::string> aliasFor(const std::string& absolute)
{
    auto folder = aliasFolder();
    if (!folder) {
        SetLastError(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(absolute)));
    const std::string ext = shortExtension(absolute);
    for (int k = 0; k < kMaxCollisions; ++k) {
        const std::string name = std::string(hash) + (k ? "-" + std::to_string(k) : "") + ext;
        if (::symlinkat(absolute.c_str(), folder->fd.get(), name.c_str()) == 0) {
            pruneDeadAliases(folder->fd.get());
            return folder->path + "/" + name;
        }
        if (errno == EEXIST && linkPointsAt(folder->fd.get(), name, absolute))
            return folder->path + "/" + name;
        if (errno != EEXIST) {
            failWithErrno(errno);
            return std::nullopt;
        }
        // A different path with the same hash owns this name: try the next suffix.
    }
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
}

bool representableInAnsi(std::u16string_view path)
{
    if (GetACP() == CP_UTF8) return true;
    BOOL usedDefault = FALSE;
    const int n =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(),
                            static_cast<int>(path.size()), nullptr, 0, nullptr, &usedDefault);
    if (n <= 0) return false;
    std::string ansi(static_cast<size_t>(n), '\0');
    usedDefault = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), static_cast<int>(path.size()),
                        ansi.data(), n, nullptr, &usedDefault);
    return !usedDefault;
}

} // namespace

} // namespace tavrel

using namespace tavrel;

TAVREL_API DWORD GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer)
{
    if (!lpszLongPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto path = fsPath(lpszLongPath);
    if (!path) return 0;
    struct stat st {};
    if (::stat(path->c_str(), &st) != 0) {
        failWithErrnoForPath(errno, *path);
        return 0;
    }
    // Built completely before the output is touched: the two buffers may be the same.
    std::u16string result(lpszLongPath, u16len(lpszLongPath));
    std::u16string_view bare(result);
    const bool prefixed = bare.starts_with(u"\\\\?\\");
    if (prefixed) bare.remove_prefix(4);
    if (path->size() > kMaxAnsiPath || !representableInAnsi(bare)) {
        const auto alias = aliasFor(absolutePath(*path));
        if (!alias) return 0;
        auto wide = utf8ToUtf16(*alias);
        if (!wide) {
            SetLastError(ERROR_INVALID_NAME);
            return 0;
        }
        result = (prefixed ? std::u16string(u"\\\\?\\") : std::u16string()) + *wide;
    }
    return deliverPath(result, lpszShortPath, cchBuffer);
}
