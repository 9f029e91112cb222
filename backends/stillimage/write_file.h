// SPDX-License-Identifier: MIT
// qfFileWrite: turns a write record into a write job and lands the file atomically.
#pragma once

#include <cstdio>
#include <string>

#include "codec.h"

#include <sys/types.h>

namespace mio::stillimage {

/// A new file written beside its final name under a unique temporary name, renamed into
/// place only by commit(); dropped otherwise, so a failed write leaves nothing behind.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    [[nodiscard]] int open(const std::string& finalPath);
    FILE* stream() const { return m_file; }
    /// Flushes, syncs and renames. > 0 on success, else 0 with the last error set.
    [[nodiscard]] int commit();

  private:
    FILE* m_file = nullptr;
    std::string m_tempPath;
    std::string m_finalPath;
    mode_t m_mode = 0644;
};

/// JPEG quality from the settings file (section "QF_IJPG", key "Quality"), 85 when absent,
/// clamped to 1..100.
int jpegQualitySetting();

} // namespace mio::stillimage

int32_t writeRecord(HGLOBAL hFileData, QfTransferBlock* block, QfWriteRowsProc proc);
