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

bool anyFolder(const std::vector<std::string>& inputs)
{
    for (const auto& input : inputs) {
        std::error_code ec;
        if (std::filesystem::is_directory(input, ec)) return true;
    }
    return false;
}

OutputNames::OutputNames(std::string outDir, std::vector<std::string> roots, std::string extension)
    : m_outDir(std::move(outDir)), m_roots(std::move(roots)), m_extension(std::move(extension))
{
}

std::string OutputNames::outputFor(const std::string& input, std::string& error)
{
    namespace fs = std::filesystem;
    const fs::path in = fs::path(input).lexically_normal();
    // Below the longest named folder that holds the input; else the input's own name.
    fs::path relative = in.filename();
    size_t bestLength = 0;
    for (const auto& root : m_roots) {
        const fs::path base = fs::path(root).lexically_normal();
        const fs::path below = in.lexically_relative(base);
        if (below.empty() || *below.begin() == ".." || below == ".") continue;
        if (base.native().size() >= bestLength) {
            bestLength = base.native().size();
            relative = below;
        }
    }
    fs::path out = fs::path(m_outDir) / relative;
    out.replace_extension(m_extension);
    const std::string name = out.lexically_normal().string();
    for (const auto& [taken, from] : m_taken) {
        if (taken == name) {
            error = "its output " + name + " was already written from " + from;
            return {};
        }
    }
    m_taken.emplace_back(name, input);
    std::error_code ec;
    fs::create_directories(out.parent_path(), ec);
    return name;
}

bool sameFile(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

void printSummary(size_t files, int failures)
{
    if (files > 1 || failures > 0)
        std::fprintf(stderr, "mediaio: %zu file(s), %d failed\n", files, failures);
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
    "  thumbnail FILE... -o OUT [-s WxH] [--exact] [--frame N | --time S | --preview |\n"
    "            --force] [-r]\n"
    "                                     write thumbnails as PNG or BMP\n"
    "  -s SIZE INPUT OUTPUT               thumbnailer form for file managers\n"
    "  meta list FILE... [--block B] [-r] metadata tags with names and texts\n"
    "  meta get FILE... --block B --tag N|NAME [-r]\n"
    "                                     one tag's text\n"
    "  meta set FILE... (--block B --tag N|NAME --value TEXT | --rating R | --caption TEXT |\n"
    "           --keywords A,B | --artist TEXT | --album TEXT)... [-r]\n"
    "                                     change metadata and write it to the files\n"
    "  meta remove FILE... --block B [--tag N|NAME] [-r]\n"
    "                                     remove a block or clear one tag\n"
    "  convert IN OUT [--quality Q] [--preview]\n"
    "  convert IN... OUTDIR --to EXT [--quality Q] [--preview] [-r]\n"
    "                                     write files as pictures, format by extension\n"
    "  register [--user] [--registry DIR] register the engine's classes\n"
    "  unregister [--user] [--registry DIR]\n"
    "                                     remove that registration\n"
    "  sample OUT.png|OUT.bmp             write the tool's own test picture\n"
    "  help [COMMAND]                     this text or a command's\n"
    "options:\n"
    "  --library PATH   the engine library; else $MEDIAIO_LIBRARY, then ../lib beside the\n"
    "                   executable, then the build tree the tool was built in\n"
    "exit codes: 0 every file succeeded, 1 some failed, 2 usage error\n";

using Runner = int (*)(const mediaio::GlobalOptions&, const std::vector<std::string>&);

int runSampleCommand(const mediaio::GlobalOptions&, const std::vector<std::string>& args)
{
    return mediaio::runSample(args);
}

int runRegisterCommand(const mediaio::GlobalOptions& global, const std::vector<std::string>& args)
{
    return mediaio::runRegister(global, args, true);
}

int runUnregisterCommand(const mediaio::GlobalOptions& global, const std::vector<std::string>& args)
{
    return mediaio::runRegister(global, args, false);
}

constexpr struct {
    const char* name;
    Runner run;
} kCommands[] = {{"info", mediaio::runInfo},       {"thumbnail", mediaio::runThumbnail},
                 {"meta", mediaio::runMeta},       {"convert", mediaio::runConvert},
                 {"register", runRegisterCommand}, {"unregister", runUnregisterCommand},
                 {"sample", runSampleCommand}};

Runner findCommand(const std::string& name)
{
    for (const auto& command : kCommands)
        if (name == command.name) return command.run;
    return nullptr;
}

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
        if (Runner run = findCommand(rest[0])) return run(global, {"--help"});
        std::fprintf(stderr, "mediaio: unknown command %s\n%s", rest[0].c_str(), kUsage);
        return kExitUsage;
    }
    if (Runner run = findCommand(command)) return run(global, rest);
    std::fprintf(stderr, "mediaio: unknown command %s\n%s", command.c_str(), kUsage);
    return kExitUsage;
}
