// SPDX-License-Identifier: MIT
// A read-only memory mapping of a whole file, the input of every reader.
#pragma once

#include <string>

#include "codec.h"

namespace mio::stillimage {

class MappedFile {
  public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    /// Maps `path`. > 0 on success; 0 with the last error set ("file not found", ...).
    [[nodiscard]] int open(const char* path);
    Bytes bytes() const { return {static_cast<const uint8_t*>(m_data), m_size}; }
    size_t size() const { return m_size; }

  private:
    void* m_data = nullptr;
    size_t m_size = 0;
};

} // namespace mio::stillimage
