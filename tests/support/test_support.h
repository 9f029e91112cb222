// SPDX-License-Identifier: MIT
// Helpers shared by the test suites: corpus lookup, scratch folders and file copies.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace support {

// Path of a corpus file, or empty when the corpus or the file is missing. Use the
// MIO_CORPUS_FILE macro in a test body: it skips the test with a message instead.
std::filesystem::path corpusPathOrEmpty(const std::string& relative);
std::filesystem::path corpusDir();

#define MIO_CORPUS_FILE(var, relative)                                               \
    const std::filesystem::path var = ::support::corpusPathOrEmpty(relative);        \
    if (var.empty()) GTEST_SKIP() << "corpus file not available: " << (relative)

// A fresh folder for one test, removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// A copy of a file in a private temp folder, so tests never write to the corpus.
class ScopedCopy {
public:
    explicit ScopedCopy(const std::filesystem::path& source, const std::string& name = {});
    const std::filesystem::path& path() const { return m_path; }

private:
    TempDir m_dir;
    std::filesystem::path m_path;
};

std::vector<uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Standard output of a shell command run with no input and standard error discarded, as the
// reference tools (ffmpeg, exiftool, vips) are run; empty when the command cannot start.
std::vector<uint8_t> commandOutput(const std::string& command);

// UTF-16 form of a UTF-8 string, for interfaces that take WCHAR text.
std::u16string u16(const std::string& utf8);
std::string u8(const std::u16string& utf16);

} // namespace support
