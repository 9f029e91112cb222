// SPDX-License-Identifier: MIT
// Internal helpers shared by the file, short-path and profile code: path text and volume facts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include "tavrel/platform/types.h"

namespace tavrel {

/// Owns a POSIX file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

  private:
    int m_fd = -1;
};

/// Anything a HANDLE can stand for. The table keeps a shared reference, so an object lives until
/// CloseHandle and until the last call that looked it up returns.
class HandleObject {
  public:
    virtual ~HandleObject() = default;
};

/// Registers an object and returns its new handle (values are never reused, so a stale handle
/// is always detected). Null when out of memory.
HANDLE registerHandle(std::shared_ptr<HandleObject> object);
/// The object behind a handle, or null for a closed, foreign or null handle.
std::shared_ptr<HandleObject> lookupHandle(HANDLE handle);

/// The UTF-8 file-system form of a UTF-16 path, without a leading "\\?\" prefix. Null (with
/// ERROR_INVALID_PARAMETER or ERROR_INVALID_NAME set) for a null, empty or unpaired-surrogate path.
std::optional<std::string> fsPath(LPCWSTR path);

/// The UTF-8 form of a path given as ANSI text in the active code page.
std::optional<std::string> fsPathFromAnsi(LPCSTR path);

/// Absolute form with "." and ".." resolved lexically (relative paths join the current folder).
std::string absolutePath(const std::string& path);

/// Bytes per sector of the volume holding an open file or a path (see GetDiskFreeSpaceW).
uint32_t sectorSizeOfFd(int fd);

/// Copies text with its NUL into a caller's buffer by the platform's rule: the length without
/// the NUL on success, the size needed with the NUL when the buffer is too small.
DWORD deliverPath(const std::u16string& text, LPWSTR buffer, DWORD capacity);

} // namespace tavrel
