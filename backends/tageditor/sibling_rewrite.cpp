// SPDX-License-Identifier: MIT
// The copy, edit, flush and rename steps of a safe rewrite, each checked.
#include "sibling_rewrite.h"

#include <tavrel/platform/files.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace mio::tageditor {
namespace {

class TempFileGuard {
  public:
    explicit TempFileGuard(std::string path) : m_path(std::move(path)) {}
    ~TempFileGuard()
    {
        if (!m_path.empty()) unlink(m_path.c_str());
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    void keep() { m_path.clear(); }

  private:
    std::string m_path;
};

// 0 or the errno of the failed read or write.
int copyContents(int from, int to)
{
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(to, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return w < 0 ? errno : ENOSPC;
            done += w;
        }
    }
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace

HRESULT hresultFromErrno(int error)
{
    return HRESULT_FROM_WIN32(TavrelWin32ErrorFromErrno(error));
}

HRESULT rewriteThroughSibling(const std::string& path,
                              const std::function<HRESULT(CheckedStream&)>& edit)
{
    const int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) return hresultFromErrno(errno);
    struct stat info {};
    if (fstat(source, &info) != 0) {
        const int error = errno;
        close(source);
        return hresultFromErrno(error);
    }

    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = folderOf(path) + "/." + name + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC); // O_EXCL: never an existing file
    if (fd < 0) {
        const int error = errno;
        close(source);
        return hresultFromErrno(error);
    }
    TempFileGuard guard(temp);
    CheckedStream stream(fd, temp, true);

    int error = copyContents(source, fd);
    close(source);
    if (error == 0 && fchmod(fd, info.st_mode & 07777) != 0) error = errno;
    // Keep the owner where we may (only a privileged process can give the file away).
    if (error == 0 && (info.st_uid != geteuid() || info.st_gid != getegid()))
        (void)!fchown(fd, info.st_uid, info.st_gid);
    if (error != 0) return hresultFromErrno(error);

    const HRESULT hr = edit(stream);
    if (FAILED(hr)) return hr;
    if (stream.error() != 0) return hresultFromErrno(stream.error());
    if (fsync(fd) != 0) return hresultFromErrno(errno);
    if (rename(temp.c_str(), path.c_str()) != 0) return hresultFromErrno(errno);
    guard.keep();

    // The rename is durable once the folder is flushed; the data already is.
    const int folder = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return S_OK;
}

} // namespace mio::tageditor
