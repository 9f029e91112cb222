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

// Files named on the command line, folders expanded when `recurse` is set (sorted, so output
// is stable). A folder without `recurse` is reported and counted as a failure.
std::vector<std::string> expandInputs(const std::vector<std::string>& inputs, bool recurse,
                                      int& failures);

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
