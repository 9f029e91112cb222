// SPDX-License-Identifier: MIT
// mediaio: the engine from the command line. Loads libtavrelmediaio.so as any host does and
// dispatches to the commands.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"

namespace mediaio {

std::vector<std::string> expandInputs(const std::vector<std::string>& inputs, bool recurse,
                                      int& failures)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (const auto& input : inputs) {
        std::error_code ec;
        if (!fs::is_directory(input, ec)) {
            files.push_back(input); // a missing file fails in the engine, with its text
            continue;
        }
        if (!recurse) {
            reportError(nullptr, input, "is a folder (use -r to read folders)");
            ++failures;
            continue;
        }
        std::vector<std::string> found;
        // Unreadable subfolders are skipped rather than ending the walk.
        fs::recursive_directory_iterator it(input, fs::directory_options::skip_permission_denied,
                                            ec);
        if (ec) {
            reportError(nullptr, input, ec.message());
            ++failures;
            continue;
        }
        for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (ec) break;
            std::error_code typeEc;
            if (it->is_regular_file(typeEc)) found.push_back(it->path().string());
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

Progress::Progress(size_t total) : m_total(total), m_enabled(total > 1 && isatty(2)) {}

Progress::~Progress()
{
    clear();
}

void Progress::step(size_t index, const std::string& file)
{
    if (!m_enabled) return;
    constexpr size_t kBar = 24;
    const size_t filled = m_total ? index * kBar / m_total : 0;
    std::string name = std::filesystem::path(file).filename().string();
    if (name.size() > 40) name = name.substr(0, 37) + "...";
    std::fprintf(stderr, "\r\033[K[%s%s] %zu/%zu %s", std::string(filled, '#').c_str(),
                 std::string(kBar - filled, '.').c_str(), index + 1, m_total, name.c_str());
    std::fflush(stderr);
    m_shown = true;
}

void Progress::clear()
{
    if (!m_shown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_shown = false;
}

void reportError(Progress* progress, const std::string& file, const std::string& message)
{
    if (progress) progress->clear();
    std::fprintf(stderr, "mediaio: %s: %s\n", file.c_str(), message.c_str());
}

} // namespace mediaio

namespace {

constexpr const char* kUsage =
    "usage: mediaio [--library PATH] COMMAND [ARGS]\n"
    "commands:\n"
    "  info FILE... [--json] [-r]         properties and metadata of files\n"
    "  thumbnail FILE -o OUT [-s WxH] [--exact] [--frame N | --time S]\n"
    "                                     write a thumbnail as PNG or BMP\n"
    "  -s SIZE INPUT OUTPUT               thumbnailer form for file managers\n"
    "  meta list FILE... [--block B] [-r] metadata tags with names and texts\n"
    "  meta get FILE --block B --tag N|NAME\n"
    "                                     one tag's text\n"
    "  sample OUT.png|OUT.bmp             write the tool's own test picture\n"
    "  help [COMMAND]                     this text or a command's\n"
    "options:\n"
    "  --library PATH   the engine library; else $MEDIAIO_LIBRARY, then ../lib beside the\n"
    "                   executable, then the build tree the tool was built in\n"
    "exit codes: 0 every file succeeded, 1 some failed, 2 usage error\n";

} // namespace

int main(int argc, char** argv)
{
    using namespace mediaio;
    std::vector<std::string> args(argv + 1, argv + argc);
    GlobalOptions global;
    while (!args.empty() && args[0].rfind("--library", 0) == 0) {
        if (args[0] == "--library" && args.size() > 1) {
            global.library = args[1];
            args.erase(args.begin(), args.begin() + 2);
        } else if (args[0].rfind("--library=", 0) == 0) {
            global.library = args[0].substr(10);
            args.erase(args.begin());
        } else {
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = args[0];
    if (command == "-s") return runThumbnailer(global, args);
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "-h" || command == "--help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "help") {
        if (rest.empty()) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        args = {rest[0], "--help"};
        rest = {"--help"};
        if (args[0] == "info") return runInfo(global, rest);
        if (args[0] == "thumbnail") return runThumbnail(global, rest);
        if (args[0] == "sample") return runSample(rest);
        if (args[0] == "meta") return runMeta(global, rest);
        std::fprintf(stderr, "mediaio: unknown command %s\n%s", args[0].c_str(), kUsage);
        return kExitUsage;
    }
    if (command == "info") return runInfo(global, rest);
    if (command == "thumbnail") return runThumbnail(global, rest);
    if (command == "sample") return runSample(rest);
    if (command == "meta") return runMeta(global, rest);
    std::fprintf(stderr, "mediaio: unknown command %s\n%s", command.c_str(), kUsage);
    return kExitUsage;
}
