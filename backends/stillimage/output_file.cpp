// SPDX-License-Identifier: MIT
// New files landed atomically, and the JPEG quality setting.
#include "write_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contracts/common_library.h"
#include "tavrel/platform/memory.h"
#include "tavrel/platform/profile.h"

namespace mio::stillimage {

OutputFile::~OutputFile()
{
    if (m_file) std::fclose(m_file);
    if (!m_tempPath.empty()) ::unlink(m_tempPath.c_str());
}

namespace {

// A path may be a link (the platform's short-path aliases are): replacing the link would leave
// the real file untouched, so write beside the file it points to.
std::string resolveTarget(const std::string& path)
{
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string resolved(real);
    std::free(real);
    return resolved;
}

// An existing file keeps its permissions; a new one gets what the umask allows a document.
mode_t modeFor(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

int OutputFile::open(const std::string& requestedPath)
{
    const std::string finalPath = resolveTarget(requestedPath);
    m_finalPath = finalPath;
    m_mode = modeFor(finalPath);
    const size_t slash = finalPath.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : finalPath.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    std::string pattern = dir + "/." + leaf + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        return fail(kLibErrOpen, (err == ENOENT ? "folder not found: " : "cannot create file: ") +
                                     finalPath + ": " + std::strerror(err));
    }
    m_tempPath = pattern;
    m_file = ::fdopen(fd, "wb");
    if (!m_file) {
        ::close(fd);
        return fail(kLibErrMemory, "out of memory");
    }
    return 1;
}

int OutputFile::commit()
{
    if (!m_file) return 0;
    // mkstemp makes the file 0600; give it the mode of the file it replaces.
    const bool flushed = std::fflush(m_file) == 0 && !std::ferror(m_file) &&
                         ::fchmod(::fileno(m_file), m_mode) == 0 && ::fsync(::fileno(m_file)) == 0;
    const int closed = std::fclose(m_file);
    m_file = nullptr;
    if (!flushed || closed != 0) return fail(kLibErrOpen, "cannot write file: " + m_finalPath);
    if (::rename(m_tempPath.c_str(), m_finalPath.c_str()) != 0)
        return fail(kLibErrOpen,
                    "cannot replace file: " + m_finalPath + ": " + std::strerror(errno));
    m_tempPath.clear();
    return 1;
}

int jpegQualitySetting()
{
    char ini[260] = {};
    if (q32GetKelvraIniFileName(ini, sizeof(ini)) <= 0) return 85;
    const int q = static_cast<int>(GetPrivateProfileIntA("QF_IJPG", "Quality", 85, ini));
    return std::clamp(q, 1, 100);
}

} // namespace mio::stillimage
