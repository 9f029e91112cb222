// SPDX-License-Identifier: MIT
// Positioned reads and writes with every failure recorded; tails are moved in bounded chunks so
// inserting a larger tag in front of a long video never loads the whole file.
#include "checked_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace mio::tageditor {
namespace {
constexpr size_t kChunk = 1 << 20;
} // namespace

CheckedStream::CheckedStream(int fd, std::string name, bool writable)
    : m_fd(fd), m_name(std::move(name)), m_writable(writable)
{
}

CheckedStream::~CheckedStream()
{
    if (m_fd >= 0) close(m_fd);
}

TagLib::FileName CheckedStream::name() const
{
    return m_name.c_str();
}

void CheckedStream::fail(int error)
{
    if (m_error == 0) m_error = error != 0 ? error : EIO;
}

bool CheckedStream::readAt(long offset, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = pread(m_fd, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fail(errno);
            return false;
        }
        if (n == 0) {
            fail(EIO); // the file shrank under us
            return false;
        }
        data += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool CheckedStream::writeAt(long offset, const char* data, size_t size)
{
    if (!m_writable) {
        fail(EBADF);
        return false;
    }
    while (size > 0) {
        const ssize_t n = pwrite(m_fd, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fail(n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

TagLib::ByteVector CheckedStream::readBlock(unsigned long length)
{
    const long size = this->length();
    if (m_position >= size || length == 0) return {};
    const auto count = static_cast<unsigned int>(std::min<unsigned long>(
        {length, static_cast<unsigned long>(size - m_position), 0x7FFFFFFFul}));
    TagLib::ByteVector data(count, 0);
    if (!readAt(m_position, data.data(), count)) return {};
    m_position += count;
    return data;
}

void CheckedStream::writeBlock(const TagLib::ByteVector& data)
{
    if (writeAt(m_position, data.data(), data.size())) m_position += data.size();
}

bool CheckedStream::moveTail(long from, long to)
{
    const long end = length();
    if (from >= end || from == to) return m_error == 0;
    std::vector<char> buffer(kChunk);
    if (to > from) {
        // Growing: copy from the end backwards so nothing is overwritten before it is read.
        long remaining = end - from;
        while (remaining > 0) {
            const auto n = static_cast<long>(std::min<long>(remaining, static_cast<long>(kChunk)));
            const long at = from + remaining - n;
            if (!readAt(at, buffer.data(), static_cast<size_t>(n)) ||
                !writeAt(at + (to - from), buffer.data(), static_cast<size_t>(n)))
                return false;
            remaining -= n;
        }
    } else {
        for (long at = from; at < end;) {
            const auto n = static_cast<long>(std::min<long>(end - at, static_cast<long>(kChunk)));
            if (!readAt(at, buffer.data(), static_cast<size_t>(n)) ||
                !writeAt(at - (from - to), buffer.data(), static_cast<size_t>(n)))
                return false;
            at += n;
        }
    }
    return true;
}

void CheckedStream::insert(const TagLib::ByteVector& data, unsigned long start,
                           unsigned long replace)
{
    const long at = static_cast<long>(start);
    const long oldEnd = at + static_cast<long>(replace);
    const long newEnd = at + static_cast<long>(data.size());
    if (newEnd != oldEnd) {
        const long size = length();
        if (!moveTail(oldEnd, newEnd)) return;
        if (newEnd < oldEnd) truncate(size - (oldEnd - newEnd));
    }
    if (writeAt(at, data.data(), data.size())) m_position = newEnd;
}

void CheckedStream::removeBlock(unsigned long start, unsigned long length)
{
    const long size = this->length();
    const long from = static_cast<long>(start + length);
    if (!moveTail(from, static_cast<long>(start))) return;
    truncate(size - std::min(static_cast<long>(length), size - static_cast<long>(start)));
}

void CheckedStream::seek(long offset, Position p)
{
    long base = 0;
    if (p == Current) base = m_position;
    if (p == End) base = length();
    m_position = std::max(0L, base + offset);
}

long CheckedStream::length()
{
    struct stat info {};
    if (fstat(m_fd, &info) != 0) {
        fail(errno);
        return 0;
    }
    return static_cast<long>(info.st_size);
}

void CheckedStream::truncate(long length)
{
    if (!m_writable) {
        fail(EBADF);
        return;
    }
    if (ftruncate(m_fd, length) != 0) fail(errno);
}

} // namespace mio::tageditor
