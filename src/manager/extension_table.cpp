// SPDX-License-Identifier: MIT
// ExtensionTable: built from both libraries' format lists; classifies paths by extension.
#include "manager/extension_table.h"

#include <contracts/still_image_library.h>
#include <contracts/video_library.h>
#include <tavrel/platform/text.h>

#include <cstring>
#include <new>
#include <string>

#include "mediaobject/library_lock.h"

namespace mio {

namespace {

constexpr size_t kAreaBytes = sizeof(ExtensionEntry::extensions);
constexpr size_t kMaxExtensionChars = 256;

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

// The extension of the path's last element, from its last dot (dot included).
std::u16string_view extensionOf(std::u16string_view path)
{
    const size_t slash = path.find_last_of(u"/\\");
    const std::u16string_view name = slash == path.npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind(u'.');
    return dot == name.npos ? std::u16string_view() : name.substr(dot);
}

} // namespace

const ExtensionEntry* ExtensionTable::entry(int32_t index) const
{
    if (!m_entries || index < 0 || index >= m_videoCount + m_imageCount) return nullptr;
    return &m_entries[static_cast<size_t>(index)];
}

int32_t ExtensionTable::fillFromVideoFormat(ExtensionEntry& entry, std::string_view primary,
                                            const char* extra, size_t extraBytes,
                                            int32_t extraCount)
{
    size_t used = 0;
    int32_t count = 0;
    auto append = [&](std::string_view ext) {
        if (used + ext.size() + 1 > kAreaBytes) return false;
        std::memcpy(entry.extensions + used, ext.data(), ext.size());
        entry.extensions[used + ext.size()] = '\0';
        used += ext.size() + 1;
        ++count;
        return true;
    };
    if (!append(primary)) return entry.count = 0;
    // The additional extensions are walked only within their field, whatever count the
    // library claims.
    size_t offset = 0;
    for (int32_t i = 0; i < extraCount && offset < extraBytes; ++i) {
        const std::string_view ext(extra + offset, strnlen(extra + offset, extraBytes - offset));
        offset += ext.size() + 1;
        if (!append(ext)) break;
    }
    return entry.count = count;
}

int32_t ExtensionTable::splitImageList(ExtensionEntry& entry)
{
    char* area = entry.extensions;
    size_t length = strnlen(area, kAreaBytes);
    if (length == kAreaBytes) {
        // No terminator inside the area: keep the extensions before the last separator.
        const size_t last = std::string_view(area, kAreaBytes).rfind(';');
        length = last == std::string_view::npos ? 0 : last;
        std::memset(area + length, 0, kAreaBytes - length);
        if (length == 0) return entry.count = 0;
    }
    int32_t count = 1;
    for (size_t i = 0; i < length; ++i) {
        if (area[i] != ';') continue;
        area[i] = '\0';
        if (i + 1 < length) ++count;
    }
    return entry.count = count;
}

int32_t ExtensionTable::build(int32_t videoCount, int32_t imageCount)
{
    m_entries.reset();
    m_videoCount = videoCount > 0 ? videoCount : 0;
    m_imageCount = imageCount > 0 ? imageCount : 0;
    const size_t total = static_cast<size_t>(m_videoCount) + static_cast<size_t>(m_imageCount);
    if (total == 0) return 0;
    m_entries.reset(new (std::nothrow) ExtensionEntry[total]());
    if (!m_entries) return 0;

    int32_t stored = 0;
    for (int32_t i = 0; i < m_videoCount; ++i) {
        ExtensionEntry& e = m_entries[static_cast<size_t>(i)];
        auto hold = LibraryLockHold::enter(videoLibraryLock());
        VideoFormatInfo info{};
        if (qVideoGetFormatInfo(i, &info) <= 0) continue;
        stored += fillFromVideoFormat(
            e, std::string_view(info.extension, strnlen(info.extension, sizeof info.extension)),
            info.extraExtensions, sizeof info.extraExtensions, info.extraExtensionCount);
    }
    for (int32_t id = 1; id <= m_imageCount; ++id) {
        ExtensionEntry& e = m_entries[static_cast<size_t>(m_videoCount + id - 1)];
        auto hold = LibraryLockHold::enter(imageLibraryLock());
        if (qfFileGetFormatExt(id, e.extensions, 4) == 0 ||
            equalsIgnoringCase(std::string_view(e.extensions, strnlen(e.extensions, 3)), "img")) {
            std::memset(e.extensions, 0, kAreaBytes);
            e.count = 0;
            continue;
        }
        stored += splitImageList(e);
    }
    return stored;
}

bool ExtensionTable::classify(const WCHAR* path, int32_t* kind, bool imagesOnly) const
{
    if (!path || !kind || empty()) return false;
    const std::u16string_view ext = extensionOf(path);
    if (ext.size() <= 1 || ext.size() > kMaxExtensionChars) return false;
    const auto ansi = tavrel::toMultiByte(ext.substr(1));
    if (!ansi) return false;
    const bool isGif = equalsIgnoringCase(*ansi, "gif");

    const int32_t total = m_videoCount + m_imageCount;
    for (int32_t index = imagesOnly ? m_videoCount : 0; index < total; ++index) {
        const ExtensionEntry& e = m_entries[static_cast<size_t>(index)];
        if (e.count <= 0) continue;
        // A GIF is an image even where a video format lists "gif".
        if (isGif) {
            *kind = kKindImage;
            return true;
        }
        size_t offset = 0;
        for (int32_t n = 0; n < e.count && offset < kAreaBytes; ++n) {
            const std::string_view stored(e.extensions + offset,
                                          strnlen(e.extensions + offset, kAreaBytes - offset));
            offset += stored.size() + 1;
            if (equalsIgnoringCase(*ansi, stored)) {
                *kind = index < m_videoCount ? kKindVideo : kKindImage;
                return true;
            }
        }
    }
    return false;
}

} // namespace mio
