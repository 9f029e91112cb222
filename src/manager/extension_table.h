// SPDX-License-Identifier: MIT
// The manager's extension table: which extensions each library format accepts, and the
// classification of a path by its extension.
#pragma once

#include <tavrel/platform/types.h>

#include <cstdint>
#include <memory>
#include <string_view>

namespace mio {

/// Kinds ClassifyPath reports; the same numbers GetFileType gives for these files.
inline constexpr int32_t kKindVideo = 1;
inline constexpr int32_t kKindImage = 3;

/// One library format's extensions, without dot, each NUL-terminated, back to back.
struct ExtensionEntry {
    int32_t count;
    char extensions[124];
};
static_assert(sizeof(ExtensionEntry) == 128);

/// videoCount entries for the video library's formats (by its index), then imageCount
/// entries for the still-image formats (by id - 1). Built once by the manager.
class ExtensionTable {
  public:
    /// Asks both libraries for their extension lists, each call under its library lock.
    /// Returns the number of extensions stored; 0 leaves the table empty.
    int32_t build(int32_t videoCount, int32_t imageCount);

    /// Kind of the path's extension (kKindVideo or kKindImage), first match in table order;
    /// false for an unknown extension, none, or a lone dot. imagesOnly skips video entries.
    bool classify(const WCHAR* path, int32_t* kind, bool imagesOnly) const;

    bool empty() const { return !m_entries || m_videoCount + m_imageCount == 0; }
    int32_t videoCount() const { return m_videoCount; }
    int32_t imageCount() const { return m_imageCount; }
    const ExtensionEntry* entry(int32_t index) const;

    /// Fills an entry from a video format's primary and additional extensions; extensions that
    /// would not fit the 124 bytes are dropped whole. Returns the count stored.
    static int32_t fillFromVideoFormat(ExtensionEntry& entry, std::string_view primary,
                                       const char* extra, size_t extraBytes, int32_t extraCount);
    /// Splits a ';'-separated list (already in the entry's area) in place. A trailing ';' adds
    /// nothing; a list that fills the area without a terminator is cut at its last whole
    /// extension.
    static int32_t splitImageList(ExtensionEntry& entry);

  private:
    std::unique_ptr<ExtensionEntry[]> m_entries;
    int32_t m_videoCount = 0;
    int32_t m_imageCount = 0;
};

} // namespace mio
