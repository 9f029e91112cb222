// SPDX-License-Identifier: MIT
// What the tool's end-to-end suites share: running the built tool and the reference programs,
// reading their JSON, and reading pictures back with libpng.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace clitest {

namespace fs = std::filesystem;

struct ToolRun {
    int code = -1;
    std::string out;
    std::string err;
};

std::string shellQuote(const std::string& text);

// Runs a program with arguments (no shell interpretation of them); `env` is prefixed to the
// command line as VAR=value words.
ToolRun runProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::string& env = {});

// The mediaio tool of this build.
ToolRun mediaio(const std::vector<std::string>& args, const std::string& env = {});

// Whether a program can be found on the PATH.
bool havePath(const std::string& program);

std::vector<std::string> lines(const std::string& text);

// A parsed JSON value. Lookups of absent members or items give a null value.
struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    struct Member;
    std::vector<Member> members;

    const Json& operator[](const std::string& key) const;
    const Json& operator[](size_t index) const;
    bool isNull() const { return type == Type::Null; }
    bool has(const std::string& key) const;
    // A number, or a string that holds one (ffprobe writes numbers as strings); NaN otherwise.
    double asNumber() const;
};

struct Json::Member {
    std::string key;
    Json value;
};

// One JSON text; nullopt when it is not well-formed (trailing text included).
std::optional<Json> parseJson(const std::string& text);

struct PngInfo {
    bool ok = false;
    uint32_t width = 0, height = 0;
    int colorType = -1;
    int channels = 0;
    std::vector<std::vector<uint8_t>> rows; // as stored, top row first
    std::vector<std::pair<std::string, std::string>> texts;
};

PngInfo readPng(const fs::path& path);
std::string textOf(const PngInfo& info, const std::string& key);

// The tool's own 320 x 240 sample picture, written into `dir`.
fs::path makeSample(const support::TempDir& dir, const std::string& name = "sample.png");

} // namespace clitest
