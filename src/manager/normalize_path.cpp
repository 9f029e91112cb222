// SPDX-License-Identifier: MIT
// NormalizePath: ANSI and short forms of a caller's path for the file libraries.
#include "manager/normalize_path.h"

#include <tavrel/platform/files.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/text.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace mio {

namespace {

constexpr size_t kPathChars = 260;
constexpr size_t kLongestPlainPath = 259;
constexpr std::u16string_view kLongPrefix = u"\\\\?\\";

using PathBuffer = std::array<WCHAR, kPathChars>;

// Short form of `path` into `out` (terminated, within 260 characters, prefix removed);
// false when the platform cannot give one that fits.
bool shortFormOf(std::u16string_view path, bool prefixed, PathBuffer& out)
{
    std::u16string request;
    if (prefixed) request = kLongPrefix;
    request += path;
    // The platform converts in place; the buffer must hold the request and the answer.
    request.resize(std::max(request.size() + 10, kPathChars), u'\0');
    const DWORD length = GetShortPathNameW(request.c_str(), request.data(), kPathChars);
    if (length == 0 || length >= kPathChars) return false;
    std::u16string_view result(request.c_str(), length);
    if (result.starts_with(kLongPrefix)) result.remove_prefix(kLongPrefix.size());
    if (result.size() > kLongestPlainPath) return false;
    out.fill(u'\0');
    std::memcpy(out.data(), result.data(), result.size() * sizeof(WCHAR));
    return true;
}

// ANSI form of `path` into the 260-byte field; false (field zeroed) when it does not fit or
// holds characters outside the code page.
bool toAnsiField(std::u16string_view path, char (&field)[kPathChars])
{
    std::memset(field, 0, sizeof field);
    const auto ansi = tavrel::toMultiByte(path);
    if (!ansi || ansi->size() >= sizeof field) return false;
    std::memcpy(field, ansi->data(), ansi->size());
    return true;
}

// Step 2 of NormalizePath: the record's ANSI path and, where ANSI cannot carry the path, the
// wide path block.
void fillRecordPaths(std::u16string_view caller, std::u16string_view current, bool replaced,
                     VideoFileInfo& record)
{
    std::memset(record.ansiPath, 0, sizeof record.ansiPath);
    // Still too long (no short form could be had): cutting it could name another file, so
    // the libraries get no path at all and refuse the file.
    if (current.size() > kLongestPlainPath) return;
    const bool fits = toAnsiField(current, record.ansiPath);
    const auto back =
        fits ? tavrel::toWide(std::string_view(record.ansiPath)) : std::optional<std::u16string>();
    if (back && *back == current) return;

    tavrel::GlobalBlock block(
        GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kPathChars * sizeof(WCHAR)));
    auto* wide = block ? static_cast<WCHAR*>(GlobalLock(block.get())) : nullptr;
    if (!wide) return; // the record keeps its ANSI path, without the wide one
    std::memcpy(wide, current.data(), current.size() * sizeof(WCHAR));
    record.widePath = wide;
    record.flags |= kVideoFlagWidePath;
    block.release(); // the record owns the block now, locked
    if (!replaced) {
        PathBuffer alias{};
        if (shortFormOf(caller, false, alias))
            toAnsiField(alias.data(), record.ansiPath);
        else
            std::memset(record.ansiPath, 0, sizeof record.ansiPath);
    }
}

} // namespace

bool NormalizePath(const WCHAR* path, VideoFileInfo* record, WCHAR* out)
{
    if (!path) path = u"";
    const std::u16string_view caller(path);
    PathBuffer shortened{};
    std::u16string_view current = caller;
    bool replaced = false;
    if (caller.size() > kLongestPlainPath && shortFormOf(caller, true, shortened)) {
        current = shortened.data();
        replaced = true;
    }

    if (record) fillRecordPaths(caller, current, replaced, *record);

    if (out) {
        const size_t n = std::min(current.size(), kPathChars - 1);
        std::memcpy(out, current.data(), n * sizeof(WCHAR));
        out[n] = u'\0';
    }
    return replaced;
}

} // namespace mio
