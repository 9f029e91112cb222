// SPDX-License-Identifier: MIT
// The registry over two REGEDIT4 text files: the machine hive (HKLM, HKU) and the user hive
// (HKCU), with HKCR merged from both hives' Software\Classes.
//
// Each call re-reads a hive whose file changed on disk (so processes see each other's
// registrations), works on the in-memory tree, and writes changed hives back atomically
// (O_EXCL temporary file, fsync, rename) under an flock on a lock file beside the hive, so two
// processes never overwrite each other's changes.
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "errno_map.h"
#include "registry_internal.h"
#include "tavrel/platform/registry.h"
#include "utf.h"

namespace {

using U16 = std::u16string;
using Path = std::vector<U16>;

constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr size_t kMaxValueData = 64u << 20;
constexpr off_t kMaxHiveFile = 64 << 20; // hives hold kilobytes; beyond this is not ours

// Case folding for names: ASCII, Latin-1, Greek and Cyrillic, which covers the names a
// registration uses; other characters compare exactly.
char16_t foldChar(char16_t c)
{
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c < 0x80) return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 32);
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 32);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
    return c;
}

U16 fold(std::u16string_view s)
{
    U16 out(s);
    for (auto& c : out)
        c = foldChar(c);
    return out;
}

struct Value {
    U16 name;
    U16 folded;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    U16 name;
    U16 folded;
    std::vector<Key> children; // sorted by folded name
    std::vector<Value> values; // in the order first written

    Key* child(std::u16string_view name)
    {
        const U16 f = fold(name);
        auto it = std::lower_bound(children.begin(), children.end(), f,
                                   [](const Key& k, const U16& n) { return k.folded < n; });
        return it != children.end() && it->folded == f ? &*it : nullptr;
    }
    Key& childOrAdd(std::u16string_view name, bool* created = nullptr)
    {
        const U16 f = fold(name);
        auto it = std::lower_bound(children.begin(), children.end(), f,
                                   [](const Key& k, const U16& n) { return k.folded < n; });
        if (it != children.end() && it->folded == f) return *it;
        if (created) *created = true;
        Key k;
        k.name = U16(name);
        k.folded = f;
        return *children.insert(it, std::move(k));
    }
    bool removeChild(std::u16string_view name)
    {
        const U16 f = fold(name);
        auto it = std::find_if(children.begin(), children.end(),
                               [&](const Key& k) { return k.folded == f; });
        if (it == children.end()) return false;
        children.erase(it);
        return true;
    }
    Value* value(std::u16string_view name)
    {
        const U16 f = fold(name);
        for (auto& v : values)
            if (v.folded == f) return &v;
        return nullptr;
    }
    void setValue(std::u16string_view name, DWORD type, std::vector<BYTE> data)
    {
        Value* v = value(name);
        if (!v) {
            values.push_back({U16(name), fold(name), type, {}});
            v = &values.back();
        }
        v->type = type;
        v->data = std::move(data);
    }
    bool removeValue(std::u16string_view name)
    {
        const U16 f = fold(name);
        auto it = std::find_if(values.begin(), values.end(),
                               [&](const Value& v) { return v.folded == f; });
        if (it == values.end()) return false;
        values.erase(it);
        return true;
    }
};

// ---------------------------------------------------------------------------------------------
// Hive files

constexpr std::u16string_view kHklm = u"HKEY_LOCAL_MACHINE";
constexpr std::u16string_view kHkcu = u"HKEY_CURRENT_USER";
constexpr std::u16string_view kHku = u"HKEY_USERS";

struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    mode_t mode = 0;
    bool operator==(const Stamp& o) const
    {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

struct Hive {
    bool isMachine = false;
    std::string path;                // the .reg file
    Key root;                        // children are the predefined roots stored in this file
    std::optional<Stamp> loadedFrom; // null: never loaded, or dropped to force a re-read
    bool dirty = false;
    // The file exists but could not be read whole: it is never written over, or what could
    // not be read would be lost.
    bool unreadable = false;
    int lockFd = -1;
};

std::string dirOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// "[HKCR\..." and friends map to where this hive stores them; null for roots it does not hold.
std::optional<Path> canonicalRoot(std::u16string_view name, bool machine)
{
    const U16 f = fold(name);
    if (f == u"HKEY_LOCAL_MACHINE" || f == u"HKLM") return Path{U16(kHklm)};
    if (f == u"HKEY_USERS" || f == u"HKU") return Path{U16(kHku)};
    if (f == u"HKEY_CURRENT_USER" || f == u"HKCU") return Path{U16(kHkcu)};
    if (f == u"HKEY_CLASSES_ROOT" || f == u"HKCR")
        return Path{U16(machine ? kHklm : kHkcu), u"Software", u"Classes"};
    return std::nullopt;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<BYTE>> parseHexList(std::string_view s)
{
    std::vector<BYTE> out;
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
    };
    skipSpace();
    while (i < s.size()) {
        if (i + 1 >= s.size()) return std::nullopt;
        const int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<BYTE>(hi << 4 | lo));
        i += 2;
        skipSpace();
        if (i < s.size()) {
            if (s[i] != ',') return std::nullopt;
            ++i;
            skipSpace();
        }
    }
    return out;
}

std::vector<BYTE> bytesOf(const U16& text)
{
    std::vector<BYTE> out(text.size() * 2);
    std::memcpy(out.data(), text.data(), out.size());
    return out;
}

bool isStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Parses `"name"` or `@` at the start of line; returns the position after it.
std::optional<size_t> parseValueName(std::string_view line, std::string* name)
{
    if (line.empty()) return std::nullopt;
    if (line[0] == '@') {
        name->clear();
        return 1;
    }
    if (line[0] != '"') return std::nullopt;
    std::string out;
    for (size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            out.push_back(line[++i]);
        } else if (line[i] == '"') {
            *name = out;
            return i + 1;
        } else {
            out.push_back(line[i]);
        }
    }
    return std::nullopt;
}

// Loads text in the .reg format into hive.root. Lines that cannot be understood are skipped:
// a damaged hive still yields everything readable in it.
void parseHive(std::string text, Hive& hive)
{
    hive.root = Key{};
    bool unicodeFile = false;
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
        static_cast<unsigned char>(text[1]) == 0xFE) {
        U16 wide((text.size() - 2) / 2, u'\0');
        std::memcpy(wide.data(), text.data() + 2, wide.size() * 2);
        auto narrow = tavrel::utf16ToUtf8(wide);
        if (!narrow) return;
        text = std::move(*narrow);
        unicodeFile = true;
    } else if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
        text.erase(0, 3);
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    Key* current = nullptr;
    for (size_t li = 0; li < lines.size(); ++li) {
        std::string line = lines[li];
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';') continue;
        line.erase(0, first);
        if (line[0] == '[') {
            current = nullptr;
            const size_t close = line.rfind(']');
            if (close == std::string::npos) continue;
            bool remove = line.size() > 1 && line[1] == '-';
            auto wide = tavrel::utf8ToUtf16(line.substr(remove ? 2 : 1, close - (remove ? 2 : 1)));
            if (!wide || wide->empty()) continue;
            Path parts;
            size_t p = 0;
            while (p <= wide->size()) {
                size_t q = wide->find(u'\\', p);
                if (q == U16::npos) q = wide->size();
                if (q > p) parts.push_back(wide->substr(p, q - p));
                p = q + 1;
            }
            auto rootPath = canonicalRoot(parts[0], hive.isMachine);
            if (!rootPath) continue;
            Path full = *rootPath;
            full.insert(full.end(), parts.begin() + 1, parts.end());
            if (remove) {
                Key* parent = &hive.root;
                for (size_t i = 0; parent && i + 1 < full.size(); ++i)
                    parent = parent->child(full[i]);
                if (parent) parent->removeChild(full.back());
                continue;
            }
            current = &hive.root;
            for (const auto& part : full)
                current = &current->childOrAdd(part);
            continue;
        }
        if (!current) continue;
        std::string name;
        auto pos = parseValueName(line, &name);
        if (!pos) continue;
        std::string rest = line.substr(*pos);
        const size_t eq = rest.find_first_not_of(" \t");
        if (eq == std::string::npos || rest[eq] != '=') continue;
        rest.erase(0, eq + 1);
        rest.erase(0, std::min(rest.size(), rest.find_first_not_of(" \t")));
        auto wideName = tavrel::utf8ToUtf16(name);
        if (!wideName) continue;
        if (rest == "-") {
            current->removeValue(*wideName);
            continue;
        }
        if (!rest.empty() && rest[0] == '"') {
            const size_t close = rest.rfind('"');
            if (close == 0) continue;
            std::string raw;
            for (size_t i = 1; i < close; ++i) {
                if (rest[i] == '\\' && i + 1 < close) ++i;
                raw.push_back(rest[i]);
            }
            auto wide = tavrel::utf8ToUtf16(raw);
            if (!wide) continue;
            wide->push_back(u'\0');
            current->setValue(*wideName, REG_SZ, bytesOf(*wide));
            continue;
        }
        if (rest.rfind("dword:", 0) == 0) {
            const std::string digits = rest.substr(6);
            if (digits.size() != 8) continue;
            DWORD v = 0;
            bool ok = true;
            for (char c : digits) {
                const int d = hexDigit(c);
                ok = ok && d >= 0;
                v = v << 4 | static_cast<DWORD>(d < 0 ? 0 : d);
            }
            if (!ok) continue;
            std::vector<BYTE> data(4);
            std::memcpy(data.data(), &v, 4);
            current->setValue(*wideName, REG_DWORD, std::move(data));
            continue;
        }
        if (rest.rfind("hex", 0) != 0) continue;
        DWORD type = REG_BINARY;
        size_t colon = rest.find(':');
        if (colon == std::string::npos) continue;
        if (rest[3] == '(') {
            const size_t close = rest.find(')');
            if (close == std::string::npos || close + 1 != colon || close == 4) continue;
            type = 0;
            bool ok = true;
            for (size_t i = 4; i < close; ++i) {
                const int d = hexDigit(rest[i]);
                ok = ok && d >= 0 && i < 12;
                type = type << 4 | static_cast<DWORD>(d < 0 ? 0 : d);
            }
            if (!ok) continue;
        } else if (colon != 3) {
            continue;
        }
        std::string list = rest.substr(colon + 1);
        // A trailing backslash continues the list on the next line.
        while (!list.empty() && list.back() == '\\' && li + 1 < lines.size()) {
            list.pop_back();
            std::string next = lines[++li];
            if (!next.empty() && next.back() == '\r') next.pop_back();
            list += next;
        }
        auto bytes = parseHexList(list);
        if (!bytes) continue;
        if (isStringType(type) && !unicodeFile) {
            // REGEDIT4 keeps string bytes in the file's 8-bit encoding, UTF-8 here.
            auto wide = tavrel::utf8ToUtf16(
                std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
            if (!wide) continue;
            *bytes = bytesOf(*wide);
        }
        current->setValue(*wideName, type, std::move(*bytes));
    }
}

void appendHex(std::string& out, const std::vector<BYTE>& data, size_t prefixLen)
{
    static const char kHex[] = "0123456789abcdef";
    size_t column = prefixLen;
    for (size_t i = 0; i < data.size(); ++i) {
        out.push_back(kHex[data[i] >> 4]);
        out.push_back(kHex[data[i] & 15]);
        column += 2;
        if (i + 1 < data.size()) {
            out.push_back(',');
            ++column;
            if (column > 76) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
}

std::string quote(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// The "text" form is used only when it reads back to exactly the same bytes.
std::optional<std::string> asQuotedText(const Value& v)
{
    if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2) return std::nullopt;
    U16 wide(v.data.size() / 2, u'\0');
    std::memcpy(wide.data(), v.data.data(), v.data.size());
    if (wide.back() != u'\0') return std::nullopt;
    wide.pop_back();
    for (char16_t c : wide)
        if (c == u'\0' || c == u'\r' || c == u'\n') return std::nullopt;
    auto narrow = tavrel::utf16ToUtf8(wide);
    if (!narrow) return std::nullopt;
    return quote(*narrow);
}

void writeKey(std::string& out, const Key& key, std::string& pathText, bool top)
{
    const size_t saved = pathText.size();
    auto narrow = tavrel::utf16ToUtf8(key.name);
    if (!top) {
        if (!pathText.empty()) pathText += '\\';
        pathText += narrow.value_or("?");
        // A predefined root's own line is written only when it holds values.
        const bool rootName = pathText.find('\\') == std::string::npos;
        if (!(rootName && key.values.empty())) {
            out += "[" + pathText + "]\r\n";
            for (const auto& v : key.values) {
                std::string line = v.name.empty() ? "@" : quote(*tavrel::utf16ToUtf8(v.name));
                line += '=';
                if (auto text = asQuotedText(v)) {
                    line += *text;
                } else if (v.type == REG_DWORD && v.data.size() == 4) {
                    DWORD d;
                    std::memcpy(&d, v.data.data(), 4);
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "dword:%08x", d);
                    line += buf;
                } else {
                    std::vector<BYTE> bytes = v.data;
                    if (isStringType(v.type)) {
                        U16 wide(v.data.size() / 2, u'\0');
                        std::memcpy(wide.data(), v.data.data(), wide.size() * 2);
                        const std::string u8 = tavrel::utf16ToUtf8(wide).value_or("");
                        bytes.assign(u8.begin(), u8.end());
                    }
                    if (v.type == REG_BINARY) {
                        line += "hex:";
                    } else {
                        char buf[24];
                        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
                        line += buf;
                    }
                    appendHex(line, bytes, line.size());
                }
                out += line + "\r\n";
            }
            out += "\r\n";
        }
    }
    for (const auto& child : key.children)
        writeKey(out, child, pathText, false);
    pathText.resize(saved);
}

std::string serialise(const Hive& hive)
{
    std::string out = "REGEDIT4\r\n\r\n";
    std::string path;
    writeKey(out, hive.root, path, true);
    return out;
}

std::optional<Stamp> stampOf(const std::string& path, int* err)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *err = errno;
        return std::nullopt;
    }
    *err = 0;
    return Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_mode};
}

bool makeDirs(const std::string& dir)
{
    if (dir.empty()) return false;
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!makeDirs(dirOf(dir))) return false;
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Re-reads the hive when its file changed (or vanished) since it was loaded. Pending changes
// of the current batch are never replaced.
void refresh(Hive& hive)
{
    if (hive.dirty) return;
    int err = 0;
    auto stamp = stampOf(hive.path, &err);
    if (!stamp) {
        hive.root = Key{};
        hive.loadedFrom = Stamp{};
        hive.unreadable = err != ENOENT && err != ENOTDIR;
        return;
    }
    if (hive.loadedFrom && *hive.loadedFrom == *stamp) return;
    std::string text;
    bool complete = false;
    if (S_ISREG(stamp->mode) && stamp->size <= kMaxHiveFile) {
        if (int fd = ::open(hive.path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
            char buf[65536];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
                if (n > 0) text.append(buf, static_cast<size_t>(n));
            complete = n == 0;
            ::close(fd);
        }
    }
    if (!complete) text.clear();
    parseHive(std::move(text), hive);
    hive.unreadable = !complete;
    hive.loadedFrom = stamp;
}

DWORD saveHive(Hive& hive)
{
    if (hive.unreadable) return ERROR_REGISTRY_IO_FAILED;
    const std::string dir = dirOf(hive.path);
    if (!makeDirs(dir)) return tavrel::win32FromErrno(errno);
    const std::string text = serialise(hive);
    std::string tmp = hive.path + ".XXXXXX";
    int fd = ::mkstemp(tmp.data()); // O_EXCL: never reuses someone else's file
    if (fd < 0) return tavrel::win32FromErrno(errno);
    ::fchmod(fd, hive.isMachine ? 0644 : 0600);
    size_t done = 0;
    int err = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(tmp.c_str(), hive.path.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(tmp.c_str());
        return tavrel::win32FromErrno(err);
    }
    if (int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    int serr = 0;
    hive.loadedFrom = stampOf(hive.path, &serr);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Default locations

std::string userDataHome()
{
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && x[0] == '/') return x;
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] == '/' ? home : "";
    if (h.empty()) {
        if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) h = pw->pw_dir;
    }
    if (h.empty()) h = "/tmp";
    return h + "/.local/share";
}

bool writableOrCreatable(std::string dir)
{
    while (!dir.empty() && dir != "/") {
        if (::access(dir.c_str(), F_OK) == 0) return ::access(dir.c_str(), W_OK) == 0;
        dir = dirOf(dir);
    }
    return false;
}

std::string defaultMachineDir()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&TavrelSetRegistryRoot), &info) && info.dli_fname &&
        info.dli_fname[0] == '/') {
        std::string lib = dirOf(info.dli_fname);
        // <prefix>/lib, <prefix>/lib64 or <prefix>/lib/<multiarch>
        std::string prefix = dirOf(lib);
        if (size_t at = lib.rfind("/lib/"); at != std::string::npos) prefix = lib.substr(0, at);
        const std::string dir = prefix + "/share/tavrel/registry";
        if (::geteuid() == 0 || writableOrCreatable(dir)) return dir;
    }
    return userDataHome() + "/tavrel/registry";
}

std::string defaultUserDir()
{
    return userDataHome() + "/tavrel/registry";
}

// ---------------------------------------------------------------------------------------------
// Keys and handles

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users };

constexpr uint64_t kKeyCookie = 0x74617672726b6579ull;

struct OpenKey {
    uint64_t cookie = kKeyCookie;
    Root root;
    Path path;
};

// Lock order: the registry lock is taken before the heap lock and never inside any other
// platform lock; the hive file locks are taken inside it, machine hive first.
struct Registry {
    std::recursive_mutex mutex;
    Hive machine;
    Hive user;
    bool located = false;
    std::unordered_set<OpenKey*> handles;
    int batchDepth = 0;
    bool fileLocksHeld = false;
};

Registry& registry()
{
    static Registry* r = new Registry; // outlives every static destructor that may use it
    return *r;
}

void locate(Registry& r)
{
    if (r.located) return;
    r.machine.isMachine = true;
    r.machine.path = defaultMachineDir() + "/machine.reg";
    r.user.path = defaultUserDir() + "/user.reg";
    r.located = true;
}

std::optional<Root> predefined(HKEY h)
{
    if (h == HKEY_CLASSES_ROOT) return Root::ClassesRoot;
    if (h == HKEY_CURRENT_USER) return Root::CurrentUser;
    if (h == HKEY_LOCAL_MACHINE) return Root::LocalMachine;
    if (h == HKEY_USERS) return Root::Users;
    return std::nullopt;
}

struct Logical {
    Root root;
    Path path;
};

std::optional<Logical> logicalOf(Registry& r, HKEY h)
{
    if (auto root = predefined(h)) return Logical{*root, {}};
    auto* key = reinterpret_cast<OpenKey*>(h);
    if (!r.handles.count(key) || key->cookie != kKeyCookie) return std::nullopt;
    return Logical{key->root, key->path};
}

struct Physical {
    Hive* hive;
    Path path;
};

// Where a logical key lives, in lookup order.
std::vector<Physical> physicalOf(Registry& r, const Logical& l)
{
    auto with = [&](Hive& h, Path prefix) {
        prefix.insert(prefix.end(), l.path.begin(), l.path.end());
        return Physical{&h, std::move(prefix)};
    };
    switch (l.root) {
    case Root::LocalMachine:
        return {with(r.machine, {U16(kHklm)})};
    case Root::Users:
        return {with(r.machine, {U16(kHku)})};
    case Root::CurrentUser:
        return {with(r.user, {U16(kHkcu)})};
    case Root::ClassesRoot:
        return {with(r.user, {U16(kHkcu), u"Software", u"Classes"}),
                with(r.machine, {U16(kHklm), u"Software", u"Classes"})};
    }
    return {};
}

Key* find(const Physical& p)
{
    Key* k = &p.hive->root;
    for (const auto& part : p.path) {
        k = k->child(part);
        if (!k) return nullptr;
    }
    return k;
}

// The predefined roots always exist, even in an empty hive.
bool exists(Registry& r, const Logical& l)
{
    if (l.path.empty()) return true;
    for (auto& p : physicalOf(r, l))
        if (find(p)) return true;
    return false;
}

Key* firstHolder(Registry& r, const Logical& l, Physical* which = nullptr)
{
    for (auto& p : physicalOf(r, l)) {
        if (Key* k = find(p)) {
            if (which) *which = p;
            return k;
        }
    }
    return nullptr;
}

void acquireFileLock(Hive& h)
{
    if (h.lockFd >= 0) return;
    const std::string lockPath = h.path + ".lock";
    makeDirs(dirOf(h.path));
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, h.isMachine ? 0644 : 0600);
    if (fd < 0) fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return; // a hive we cannot lock is one we cannot write either
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    h.lockFd = fd;
}

void releaseFileLock(Hive& h)
{
    if (h.lockFd < 0) return;
    ::flock(h.lockFd, LOCK_UN);
    ::close(h.lockFd);
    h.lockFd = -1;
}

// Before the first change in a batch: lock both hive files (machine first, always, so two
// processes cannot deadlock) and re-read them under the lock.
void beginChange(Registry& r)
{
    if (r.fileLocksHeld) return;
    acquireFileLock(r.machine);
    acquireFileLock(r.user);
    r.fileLocksHeld = true;
    refresh(r.machine);
    refresh(r.user);
}

// Where a value written through a logical key goes: the first location that holds the key
// (for HKCR the user hive when the key exists there), else the last one (the machine hive).
Physical writeTarget(Registry& r, const Logical& l)
{
    auto places = physicalOf(r, l);
    for (auto& p : places)
        if (find(p)) return p;
    return places.back();
}

// New keys always go to the last location: through HKCR, the machine hive.
Physical createTarget(Registry& r, const Logical& l)
{
    return physicalOf(r, l).back();
}

Key& materialise(const Physical& p)
{
    Key* k = &p.hive->root;
    for (const auto& part : p.path)
        k = &k->childOrAdd(part);
    return *k;
}

void markDirty(Hive& h)
{
    h.dirty = true;
}

// Splits "a\b\c"; a trailing backslash is tolerated, other empty parts are not.
DWORD splitPath(LPCWSTR sub, Path* out)
{
    out->clear();
    if (!sub || !*sub) return ERROR_SUCCESS;
    std::u16string_view s(sub);
    if (s.back() == u'\\') s.remove_suffix(1);
    size_t p = 0;
    while (p <= s.size()) {
        size_t q = s.find(u'\\', p);
        if (q == std::u16string_view::npos) q = s.size();
        if (q == p) return ERROR_BAD_PATHNAME;
        auto part = s.substr(p, q - p);
        if (part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
        for (char16_t c : part)
            if (c < 0x20) return ERROR_INVALID_NAME;
        out->emplace_back(part);
        p = q + 1;
    }
    return ERROR_SUCCESS;
}

bool validValueName(std::u16string_view name)
{
    if (name.size() > kMaxValueName) return false;
    for (char16_t c : name)
        if (c < 0x20) return false;
    return true;
}

HKEY newHandle(Registry& r, Logical l)
{
    auto* key = new OpenKey{kKeyCookie, l.root, std::move(l.path)};
    r.handles.insert(key);
    return reinterpret_cast<HKEY>(key);
}

// Runs one public call: registry lock, fresh hives, and a batch that commits the change.
template <typename F> LSTATUS run(F&& body)
{
    try {
        tavrel::RegistryBatch batch;
        Registry& r = registry();
        refresh(r.machine);
        refresh(r.user);
        const LSTATUS status = body(r);
        if (status != ERROR_SUCCESS) return status;
        return static_cast<LSTATUS>(batch.commit());
    } catch (const std::bad_alloc&) {
        return static_cast<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY);
    }
}

std::u16string_view nameOf(LPCWSTR p)
{
    return p ? std::u16string_view(p) : std::u16string_view();
}

} // namespace

namespace tavrel {

RegistryBatch::RegistryBatch()
{
    Registry& r = registry();
    r.mutex.lock();
    locate(r);
    ++r.batchDepth;
}

DWORD RegistryBatch::commit()
{
    Registry& r = registry();
    if (m_done) return ERROR_SUCCESS;
    m_done = true;
    DWORD status = ERROR_SUCCESS;
    if (r.batchDepth == 1) {
        for (Hive* h : {&r.machine, &r.user}) {
            if (!h->dirty) continue;
            const DWORD s = saveHive(*h);
            h->dirty = false;
            if (s != ERROR_SUCCESS) {
                h->loadedFrom.reset(); // drop the unsaved change: re-read what is on disk
                if (status == ERROR_SUCCESS) status = s;
            }
        }
    }
    return status;
}

RegistryBatch::~RegistryBatch()
{
    Registry& r = registry();
    if (--r.batchDepth == 0) {
        if (!m_done) {
            for (Hive* h : {&r.machine, &r.user}) {
                if (h->dirty) {
                    h->dirty = false;
                    h->loadedFrom.reset();
                }
            }
        }
        if (r.fileLocksHeld) {
            releaseFileLock(r.user);
            releaseFileLock(r.machine);
            r.fileLocksHeld = false;
        }
    } else if (!m_done) {
        // An inner batch that failed leaves the decision to the outer one, which will not
        // commit either when its caller reports the failure.
    }
    r.mutex.unlock();
}

} // namespace tavrel

TAVREL_API void TavrelSetRegistryRoot(const char* machineHiveDir, const char* userHiveDir)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    locate(r);
    r.machine.path =
        (machineHiveDir && *machineHiveDir ? std::string(machineHiveDir) : defaultMachineDir()) +
        "/machine.reg";
    r.user.path =
        (userHiveDir && *userHiveDir ? std::string(userHiveDir) : defaultUserDir()) + "/user.reg";
    for (Hive* h : {&r.machine, &r.user}) {
        h->root = Key{};
        h->loadedFrom.reset();
        h->dirty = false;
        h->unreadable = false;
    }
}

TAVREL_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                                   const SECURITY_ATTRIBUTES*, PHKEY phkResult,
                                   LPDWORD lpdwDisposition)
{
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Logical target{};
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    const LSTATUS status = run([&](Registry& r) -> LSTATUS {
        auto base = logicalOf(r, hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        if (!exists(r, *base)) return ERROR_KEY_DELETED;
        Path sub;
        if (DWORD e = splitPath(lpSubKey, &sub)) return static_cast<LSTATUS>(e);
        target = *base;
        target.path.insert(target.path.end(), sub.begin(), sub.end());
        if (!exists(r, target)) {
            beginChange(r);
            if (!exists(r, target)) {
                Physical where = createTarget(r, target);
                materialise(where);
                markDirty(*where.hive);
                disposition = REG_CREATED_NEW_KEY;
            }
        }
        return ERROR_SUCCESS;
    });
    // The handle is made only once the new key is safely in the hive file.
    if (status != ERROR_SUCCESS) return status;
    try {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        *phkResult = newHandle(r, std::move(target));
    } catch (const std::bad_alloc&) {
        return static_cast<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

TAVREL_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return run([&](Registry& r) -> LSTATUS {
        auto base = logicalOf(r, hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        Path sub;
        if (DWORD e = splitPath(lpSubKey, &sub)) return static_cast<LSTATUS>(e);
        Logical target = *base;
        target.path.insert(target.path.end(), sub.begin(), sub.end());
        if (!exists(r, target)) return ERROR_FILE_NOT_FOUND;
        *phkResult = newHandle(r, std::move(target));
        return ERROR_SUCCESS;
    });
}

TAVREL_API LSTATUS RegCloseKey(HKEY hKey)
{
    if (predefined(hKey)) return ERROR_SUCCESS;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto* key = reinterpret_cast<OpenKey*>(hKey);
    if (!r.handles.erase(key)) return ERROR_INVALID_HANDLE;
    key->cookie = 0;
    delete key;
    return ERROR_SUCCESS;
}

TAVREL_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                                  const BYTE* lpData, DWORD cbData)
{
    if (cbData && !lpData) return ERROR_INVALID_PARAMETER;
    if (cbData > kMaxValueData) return ERROR_INVALID_PARAMETER;
    const auto name = nameOf(lpValueName);
    if (!validValueName(name)) return ERROR_INVALID_PARAMETER;
    if (isStringType(dwType)) {
        if (cbData % 2) return ERROR_INVALID_DATA;
        U16 wide(cbData / 2, u'\0');
        if (cbData) std::memcpy(wide.data(), lpData, cbData);
        if (!tavrel::utf16ToUtf8(wide)) return ERROR_INVALID_DATA;
    }
    return run([&](Registry& r) -> LSTATUS {
        auto key = logicalOf(r, hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!exists(r, *key)) return ERROR_KEY_DELETED;
        beginChange(r);
        if (!exists(r, *key)) return ERROR_KEY_DELETED;
        Physical where = writeTarget(r, *key);
        materialise(where).setValue(name, dwType, std::vector<BYTE>(lpData, lpData + cbData));
        markDirty(*where.hive);
        return ERROR_SUCCESS;
    });
}

TAVREL_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    return run([&](Registry& r) -> LSTATUS {
        auto key = logicalOf(r, hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!exists(r, *key)) return ERROR_KEY_DELETED;
        for (auto& p : physicalOf(r, *key)) {
            Key* k = find(p);
            Value* v = k ? k->value(nameOf(lpValueName)) : nullptr;
            if (!v) continue;
            if (lpType) *lpType = v->type;
            const auto size = static_cast<DWORD>(v->data.size());
            if (!lpcbData) return ERROR_SUCCESS;
            if (lpData) {
                if (*lpcbData < size) {
                    *lpcbData = size;
                    return ERROR_MORE_DATA;
                }
                if (size) std::memcpy(lpData, v->data.data(), size);
            }
            *lpcbData = size;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

TAVREL_API LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    return run([&](Registry& r) -> LSTATUS {
        auto key = logicalOf(r, hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!exists(r, *key)) return ERROR_KEY_DELETED;
        beginChange(r);
        for (auto& p : physicalOf(r, *key)) {
            Key* k = find(p);
            if (k && k->removeValue(nameOf(lpValueName))) {
                markDirty(*p.hive);
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

namespace {

LSTATUS deleteKey(HKEY hKey, LPCWSTR lpSubKey, bool tree)
{
    return run([&](Registry& r) -> LSTATUS {
        auto base = logicalOf(r, hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        if (!exists(r, *base)) return ERROR_KEY_DELETED;
        Path sub;
        if (DWORD e = splitPath(lpSubKey, &sub)) return static_cast<LSTATUS>(e);
        Logical target = *base;
        target.path.insert(target.path.end(), sub.begin(), sub.end());
        beginChange(r);
        Physical where{};
        Key* k = firstHolder(r, target, &where);
        if (sub.empty()) {
            if (!tree) return ERROR_INVALID_PARAMETER;
            // RegDeleteTreeW without a subkey empties the key and keeps it.
            if (!k) return target.path.empty() ? ERROR_SUCCESS : ERROR_KEY_DELETED;
            k->children.clear();
            k->values.clear();
            markDirty(*where.hive);
            return ERROR_SUCCESS;
        }
        if (!k) return ERROR_FILE_NOT_FOUND;
        if (!tree && !k->children.empty()) return ERROR_ACCESS_DENIED;
        Physical parent{where.hive, Path(where.path.begin(), where.path.end() - 1)};
        find(parent)->removeChild(where.path.back());
        markDirty(*where.hive);
        return ERROR_SUCCESS;
    });
}

} // namespace

TAVREL_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return deleteKey(hKey, lpSubKey, false);
}

TAVREL_API LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey)
{
    return deleteKey(hKey, lpSubKey, true);
}

TAVREL_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                 LPDWORD, LPWSTR lpClass, LPDWORD lpcchClass,
                                 FILETIME* lpftLastWriteTime)
{
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    return run([&](Registry& r) -> LSTATUS {
        auto key = logicalOf(r, hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!exists(r, *key)) return ERROR_KEY_DELETED;
        // Merged view: each name once (the first location's spelling), in folded order.
        std::vector<const Key*> names;
        for (auto& p : physicalOf(r, *key)) {
            if (Key* k = find(p)) {
                for (const auto& c : k->children) {
                    auto same = [&](const Key* n) { return n->folded == c.folded; };
                    if (std::none_of(names.begin(), names.end(), same)) names.push_back(&c);
                }
            }
        }
        std::sort(names.begin(), names.end(),
                  [](const Key* a, const Key* b) { return a->folded < b->folded; });
        if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
        const U16& name = names[dwIndex]->name;
        if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
        std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = u'\0';
        if (lpcchClass) *lpcchClass = 0;
        if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
        return ERROR_SUCCESS;
    });
}

TAVREL_API LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                 LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                 LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    return run([&](Registry& r) -> LSTATUS {
        auto key = logicalOf(r, hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!exists(r, *key)) return ERROR_KEY_DELETED;
        std::vector<const Value*> values;
        for (auto& p : physicalOf(r, *key)) {
            if (Key* k = find(p)) {
                for (const auto& v : k->values) {
                    auto same = [&](const Value* n) { return n->folded == v.folded; };
                    if (std::none_of(values.begin(), values.end(), same)) values.push_back(&v);
                }
            }
        }
        if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
        const Value& v = *values[dwIndex];
        if (v.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
        std::memcpy(lpValueName, v.name.c_str(), (v.name.size() + 1) * sizeof(WCHAR));
        *lpcchValueName = static_cast<DWORD>(v.name.size());
        if (lpType) *lpType = v.type;
        const auto size = static_cast<DWORD>(v.data.size());
        if (lpcbData) {
            if (lpData) {
                if (*lpcbData < size) {
                    *lpcbData = size;
                    return ERROR_MORE_DATA;
                }
                if (size) std::memcpy(lpData, v.data.data(), size);
            }
            *lpcbData = size;
        }
        return ERROR_SUCCESS;
    });
}
