// SPDX-License-Identifier: MIT
// Profile (INI) files: reading values and section lists, and atomic read-modify-write updates.
#include "tavrel/platform/profile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "errno_map.h"
#include "files_internal.h"

namespace tavrel {

namespace {

// Profile files are small settings files; anything bigger is not one, and is not read whole.
constexpr off_t kMaxProfileBytes = 16 << 20;

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

struct Line {
    enum Kind { Other, Section, Entry } kind = Other;
    std::string text;      // the line as stored, without its line break
    std::string_view name; // section name or key, into text
    std::string_view value;
};

struct Profile {
    std::vector<Line> lines;
    bool crlf = false;
};

void classify(Line& line)
{
    const std::string_view t = trim(line.text);
    if (t.empty() || t[0] == ';' || t[0] == '#') return;
    if (t[0] == '[') {
        const auto close = t.find(']');
        line.kind = Line::Section;
        line.name = trim(t.substr(1, close == std::string_view::npos ? t.size() - 1 : close - 1));
        return;
    }
    const auto eq = t.find('=');
    if (eq == std::string_view::npos) return;
    line.kind = Line::Entry;
    line.name = trim(t.substr(0, eq));
    line.value = trim(t.substr(eq + 1));
}

Profile parse(std::string text)
{
    Profile profile;
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    profile.crlf = text.find("\r\n") != std::string::npos;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(start, end - start);
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        profile.lines.push_back(Line{Line::Other, std::move(raw), {}, {}});
        start = end + 1;
    }
    // Classify once the vector stops moving: the views point into each line's own string.
    for (auto& line : profile.lines)
        classify(line);
    return profile;
}

/// Reads the file; an absent file is an empty profile. Null with the last error set otherwise.
std::optional<Profile> load(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return Profile{};
        failWithErrnoForPath(errno, path);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxProfileBytes) {
        SetLastError(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    return parse(std::move(text));
}

/// [first line after the header, end) of a section; npos when absent.
std::pair<size_t, size_t> findSection(const Profile& p, std::string_view name)
{
    for (size_t i = 0; i < p.lines.size(); ++i) {
        if (p.lines[i].kind != Line::Section || !equalsIgnoreCase(p.lines[i].name, name)) continue;
        size_t end = i + 1;
        while (end < p.lines.size() && p.lines[end].kind != Line::Section)
            ++end;
        return {i + 1, end};
    }
    return {std::string::npos, std::string::npos};
}

std::optional<std::string_view> findValue(const Profile& p, std::string_view section,
                                          std::string_view key)
{
    const auto [begin, end] = findSection(p, section);
    if (begin == std::string::npos) return std::nullopt;
    for (size_t i = begin; i < end; ++i)
        if (p.lines[i].kind == Line::Entry && equalsIgnoreCase(p.lines[i].name, key))
            return p.lines[i].value;
    return std::nullopt;
}

std::string serialize(const Profile& p)
{
    std::string out;
    const char* eol = p.crlf ? "\r\n" : "\n";
    for (const auto& line : p.lines)
        out += line.text + eol;
    return out;
}

bool hasLineBreak(const char* s)
{
    return s && std::strpbrk(s, "\r\n") != nullptr;
}

/// Copies a list of NUL-terminated names with a final NUL, truncating as the platform does.
DWORD copyList(const std::vector<std::string_view>& names, LPSTR out, DWORD size)
{
    if (size == 0) return 0;
    if (size == 1) {
        out[0] = 0;
        return 0;
    }
    size_t at = 0;
    for (const auto& name : names) {
        if (at + name.size() + 2 > size) {
            // Truncate this name and end the list with two NULs.
            const size_t room = size - 2 - at;
            std::memcpy(out + at, name.data(), room);
            out[size - 2] = 0;
            out[size - 1] = 0;
            return size - 2;
        }
        std::memcpy(out + at, name.data(), name.size());
        at += name.size();
        out[at++] = 0;
    }
    out[at] = 0;
    return static_cast<DWORD>(at);
}

DWORD copyString(std::string_view text, LPSTR out, DWORD size)
{
    if (size == 0) return 0;
    const size_t n = text.size() < size ? text.size() : size - 1;
    std::memcpy(out, text.data(), n);
    out[n] = 0;
    return static_cast<DWORD>(n);
}

std::string_view unquote(std::string_view v)
{
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

/// Writes the new content to an O_EXCL sibling, flushes it and renames it over the file.
BOOL replaceAtomically(const std::string& path, const std::string& content, mode_t mode)
{
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    std::string temp = folder + "/.tavrel-profile-XXXXXX";
    UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (!out) return failWithErrnoForPath(errno, path);
    const auto abandon = [&](int e) {
        out.reset();
        ::unlink(temp.c_str());
        return failWithErrno(e);
    };
    for (size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(out.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return abandon(errno);
        done += static_cast<size_t>(n);
    }
    if (::fchmod(out.get(), mode) != 0 || ::fsync(out.get()) != 0) return abandon(errno);
    out.reset();
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return failWithErrno(e);
    }
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) (void)::fsync(dir.get());
    return TRUE;
}

/// The file a profile name stands for: absolute, with a symbolic link followed so that the
/// rename replaces the link's target rather than the link.
std::string resolveProfilePath(const std::string& given)
{
    std::string path = absolutePath(given);
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    return path;
}

} // namespace

} // namespace tavrel

using namespace tavrel;

TAVREL_API DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                          LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName)
{
    if (!lpReturnedString || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    lpReturnedString[0] = 0;
    const auto path = fsPathFromAnsi(lpFileName);
    std::optional<Profile> profile = path ? load(*path) : std::nullopt;
    if (!profile) profile = Profile{};

    if (!lpAppName) {
        std::vector<std::string_view> names;
        for (const auto& line : profile->lines)
            if (line.kind == Line::Section) names.push_back(line.name);
        return copyList(names, lpReturnedString, nSize);
    }
    if (!lpKeyName) {
        std::vector<std::string_view> keys;
        const auto [begin, end] = findSection(*profile, lpAppName);
        for (size_t i = begin; begin != std::string::npos && i < end; ++i)
            if (profile->lines[i].kind == Line::Entry) keys.push_back(profile->lines[i].name);
        return copyList(keys, lpReturnedString, nSize);
    }
    if (const auto value = findValue(*profile, lpAppName, lpKeyName)) {
        SetLastError(ERROR_SUCCESS);
        return copyString(unquote(*value), lpReturnedString, nSize);
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return copyString(trim(lpDefault ? lpDefault : ""), lpReturnedString, nSize);
}

TAVREL_API UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                      LPCSTR lpFileName)
{
    if (!lpAppName || !lpKeyName) return static_cast<UINT>(nDefault);
    const auto path = fsPathFromAnsi(lpFileName);
    const auto profile = path ? load(*path) : std::nullopt;
    if (!profile) return static_cast<UINT>(nDefault);
    const auto value = findValue(*profile, lpAppName, lpKeyName);
    if (!value) return static_cast<UINT>(nDefault);
    const std::string text(unquote(*value));
    if (text.empty() || text[0] == '-') return 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, hex ? 16 : 10);
    return n > UINT_MAX ? UINT_MAX : static_cast<UINT>(n);
}

TAVREL_API BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                           LPCSTR lpFileName)
{
    if (!lpAppName) {
        // All null flushes the platform's cache; there is none here.
        if (!lpKeyName && !lpString) return TRUE;
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (hasLineBreak(lpAppName) || hasLineBreak(lpKeyName) || hasLineBreak(lpString))
        return failWith(ERROR_INVALID_PARAMETER);
    const auto given = fsPathFromAnsi(lpFileName);
    if (!given) return FALSE;
    const std::string path = resolveProfilePath(*given);
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);

    // Threads of this process, then other processes (a lock on the folder, which survives the
    // rename that replaces the file).
    static std::mutex s_writers;
    std::lock_guard threadLock(s_writers);
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return failWith(errno == ENOENT ? ERROR_PATH_NOT_FOUND : win32FromErrno(errno));
    while (::flock(dir.get(), LOCK_EX) != 0)
        if (errno != EINTR) return failWithErrno(errno);

    auto profile = load(path);
    if (!profile) return FALSE;
    const std::string before = serialize(*profile);
    struct stat st {};
    const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;

    auto& lines = profile->lines;
    auto [begin, end] = findSection(*profile, lpAppName);
    if (!lpKeyName) {
        if (begin != std::string::npos)
            lines.erase(lines.begin() + static_cast<ptrdiff_t>(begin - 1),
                        lines.begin() + static_cast<ptrdiff_t>(end));
    } else if (!lpString) {
        for (size_t i = begin; begin != std::string::npos && i < end; ++i) {
            if (lines[i].kind == Line::Entry && equalsIgnoreCase(lines[i].name, lpKeyName)) {
                lines.erase(lines.begin() + static_cast<ptrdiff_t>(i));
                break;
            }
        }
    } else {
        const std::string entry = std::string(lpKeyName) + "=" + lpString;
        bool done = false;
        for (size_t i = begin; begin != std::string::npos && i < end && !done; ++i) {
            if (lines[i].kind == Line::Entry && equalsIgnoreCase(lines[i].name, lpKeyName)) {
                lines[i].text = entry;
                done = true;
            }
        }
        if (!done && begin != std::string::npos) {
            // After the section's last non-blank line, so blank separators stay between sections.
            size_t at = end;
            while (at > begin && trim(lines[at - 1].text).empty())
                --at;
            lines.insert(lines.begin() + static_cast<ptrdiff_t>(at),
                         Line{Line::Entry, entry, {}, {}});
        } else if (!done) {
            lines.push_back(Line{Line::Section, "[" + std::string(lpAppName) + "]", {}, {}});
            lines.push_back(Line{Line::Entry, entry, {}, {}});
        }
    }
    const std::string after = serialize(*profile);
    if (after == before) return TRUE;
    return replaceAtomically(path, after, mode);
}
