// SPDX-License-Identifier: MIT
// A TagLib stream over a POSIX file descriptor that remembers the first failed read, write or
// resize, because TagLib's own file stream drops write errors and reports a save as done.
#pragma once

#include <taglib/tiostream.h>

#include <string>

namespace mio::tageditor {

class CheckedStream final : public TagLib::IOStream {
  public:
    // Takes ownership of fd. `writable` says whether the descriptor was opened for writing.
    CheckedStream(int fd, std::string name, bool writable);
    ~CheckedStream() override;
    CheckedStream(const CheckedStream&) = delete;
    CheckedStream& operator=(const CheckedStream&) = delete;

    TagLib::FileName name() const override;
    TagLib::ByteVector readBlock(unsigned long length) override;
    void writeBlock(const TagLib::ByteVector& data) override;
    void insert(const TagLib::ByteVector& data, unsigned long start = 0,
                unsigned long replace = 0) override;
    void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
    bool readOnly() const override { return !m_writable; }
    bool isOpen() const override { return m_fd >= 0; }
    void seek(long offset, Position p = Beginning) override;
    void clear() override {}
    long tell() const override { return m_position; }
    long length() override;
    void truncate(long length) override;

    // The errno of the first failure, or 0.
    int error() const { return m_error; }
    int fd() const { return m_fd; }

  private:
    bool writeAt(long offset, const char* data, size_t size);
    bool readAt(long offset, char* data, size_t size);
    // Moves the bytes from `from` to the end of the file so that they start at `to`.
    bool moveTail(long from, long to);
    void fail(int error);

    int m_fd;
    std::string m_name;
    bool m_writable;
    long m_position = 0;
    int m_error = 0;
};

} // namespace mio::tageditor
