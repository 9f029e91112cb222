// SPDX-License-Identifier: MIT
// Per-thread last error of the file libraries and the location of the settings file.
#include "contracts/common_library.h"

#include <tavrel/platform/text.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

struct LastError {
    int code = 0;
    std::string text;
};

// Each thread sees only the failures of the library calls it made itself, as the manager
// resets and reads the error on the thread that parses.
thread_local LastError t_lastError;

constexpr const char* kSettingsFolder = "tavrel";
constexpr const char* kSettingsFile = "mediaio.ini";

// Number of bytes of text that fit in `room` bytes without splitting a character: under the
// UTF-8 code page a cut never lands inside a sequence; single-byte code pages cut anywhere.
size_t fittingLength(const std::string& text, size_t room)
{
    if (text.size() <= room) return text.size();
    size_t cut = room;
    if (GetACP() != CP_UTF8) return cut;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u)
        --cut;
    return cut;
}

std::string homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384u);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

// $XDG_CONFIG_HOME when it is an absolute path (relative values are invalid and ignored),
// else ~/.config.
std::string configFolder()
{
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
    std::string home = homeFolder();
    if (home.empty()) return {};
    return home + "/.config";
}

bool makeFolders(const std::string& path)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

TAVREL_API void c32ResetDLLErrInfo()
{
    t_lastError.code = 0;
    t_lastError.text.clear();
}

TAVREL_API int c32GetDLLErrorInfo(LPSTR pszErrorText, int nBufSize, int, int, int, int)
{
    if (pszErrorText && nBufSize > 0) {
        const size_t length = fittingLength(t_lastError.text, static_cast<size_t>(nBufSize) - 1);
        std::memcpy(pszErrorText, t_lastError.text.data(), length);
        pszErrorText[length] = '\0';
    }
    return t_lastError.code;
}

TAVREL_API int q32GetKelvraIniFileName(LPSTR pszFileName, int nBufSize)
{
    if (!pszFileName || nBufSize <= 0) return 0;
    pszFileName[0] = '\0';
    try {
        std::string folder = configFolder();
        if (folder.empty()) return 0;
        folder += '/';
        folder += kSettingsFolder;
        const std::string path = folder + '/' + kSettingsFile;
        if (path.size() >= static_cast<size_t>(nBufSize)) return 0;
        if (!makeFolders(folder)) return 0;
        std::memcpy(pszFileName, path.c_str(), path.size() + 1);
        return static_cast<int>(path.size());
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

TAVREL_API void mioCommonSetLastError(int code, LPCSTR pszAnsiText)
{
    t_lastError.code = code;
    try {
        t_lastError.text.assign(pszAnsiText ? pszAnsiText : "");
    } catch (const std::bad_alloc&) {
        t_lastError.text.clear();
    }
}
