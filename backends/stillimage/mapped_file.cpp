// SPDX-License-Identifier: MIT
// Read-only file mappings with a specific failure text for each way opening can fail.
#include "mapped_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contracts/common_library.h"

namespace mio::stillimage {
namespace {

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0) ::close(fd);
    }
};

int openFailure(int err, const char* path)
{
    const std::string name(path);
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return fail(kLibErrOpen, "file not found: " + name);
    case EACCES:
    case EPERM:
        return fail(kLibErrOpen, "access denied: " + name);
    case EISDIR:
        return fail(kLibErrOpen, "not a file: " + name);
    default:
        return fail(kLibErrOpen, "cannot open file: " + name + ": " + std::strerror(err));
    }
}

} // namespace

MappedFile::~MappedFile()
{
    if (m_data) ::munmap(m_data, m_size);
}

int MappedFile::open(const char* path)
{
    if (!path || !*path) return fail(kLibErrArgument, "no file path given");
    FdCloser fd{::open(path, O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) return openFailure(errno, path);
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0) return openFailure(errno, path);
    if (!S_ISREG(st.st_mode)) return openFailure(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path);
    if (st.st_size == 0) return fail(kLibErrCorrupt, "empty file: " + std::string(path));
    const size_t size = static_cast<size_t>(st.st_size);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.fd, 0);
    if (data == MAP_FAILED) return openFailure(errno, path);
    m_data = data;
    m_size = size;
    return 1;
}

} // namespace mio::stillimage
