// SPDX-License-Identifier: MIT
// The tool's commands. Each returns the process exit code: 0 all files ok, 1 some failed,
// 2 a usage error.
#pragma once

#include <string>
#include <vector>

namespace mediaio {

enum ExitCode : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

struct GlobalOptions {
    std::string library; // --library PATH
};

int runInfo(const GlobalOptions& global, const std::vector<std::string>& args);
int runThumbnail(const GlobalOptions& global, const std::vector<std::string>& args);
int runThumbnailer(const GlobalOptions& global, const std::vector<std::string>& args);
int runMeta(const GlobalOptions& global, const std::vector<std::string>& args);
int runSample(const std::vector<std::string>& args);
int runConvert(const GlobalOptions& global, const std::vector<std::string>& args);
int runRegister(const GlobalOptions& global, const std::vector<std::string>& args,
                bool registering);

// Files named on the command line, folders expanded when `recurse` is set (sorted, so output
// is stable). A folder without `recurse` is reported and counted as a failure.
std::vector<std::string> expandInputs(const std::vector<std::string>& inputs, bool recurse,
                                      int& failures);

// Whether any input names a folder: the commands that write one output per input then take
// OUT as a folder.
bool anyFolder(const std::vector<std::string>& inputs);

// Output paths of a run over several files: each input's path below the folder it was found in
// (or its bare name when it was named itself) under `outDir`, with its extension replaced by
// `extension` (".png"). Two inputs that would land on one output are caught, so a run never
// overwrites what it wrote itself.
class OutputNames {
  public:
    OutputNames(std::string outDir, std::vector<std::string> roots, std::string extension);
    // The output of `input`; empty with `error` set when another input already took it.
    std::string outputFor(const std::string& input, std::string& error);

  private:
    std::string m_outDir;
    std::vector<std::string> m_roots;
    std::string m_extension;
    std::vector<std::pair<std::string, std::string>> m_taken; // output, input
};

// Whether two names reach the same existing file: an output that is its own input is refused
// rather than overwritten.
bool sameFile(const std::string& a, const std::string& b);

// "mediaio: N file(s), M failed" on standard error when several files were named or any
// failed.
void printSummary(size_t files, int failures);

// A progress line on standard error while several files are processed on a terminal.
class Progress {
  public:
    explicit Progress(size_t total);
    ~Progress();
    void step(size_t index, const std::string& file);
    void clear();

  private:
    size_t m_total;
    bool m_enabled;
    bool m_shown = false;
};

// "FILE: message" on standard error, clearing any progress line first.
void reportError(Progress* progress, const std::string& file, const std::string& message);

} // namespace mediaio
