// SPDX-License-Identifier: MIT
// The static tag catalogue: tag numbers, display names and imaging query paths per MetaFormat code,
// the XMP names of the metadata file rewriter, and the star-to-percent rating table.
#pragma once

#include <tavrelmediaio/MediaFileIO.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace mio {

/// One known tag of a MetaFormat code. Rows of a catalogue are in ascending tag order.
struct TagCatalogueRow {
    int32_t tag;                 ///< the nMetaTag value
    std::u16string_view path;    ///< query path relative to the tag's block; may be empty
    std::u16string_view display; ///< what GetMetaTagName returns, exactly as stored
};

/// The rows of one code; empty for codes without a catalogue (0, 3..6) and codes outside 0..7.
std::span<const TagCatalogueRow> tagCatalogue(int32_t nMetaFormat);

/// The row's query path or display name; nothing when the code has no such tag. The views point
/// into static NUL-terminated literals (data() may be passed as an LPCWSTR) that live as long as
/// the process.
std::optional<std::u16string_view> GetTagPath(int32_t nMetaFormat, int32_t nMetaTag);
std::optional<std::u16string_view> GetTagDisplayName(int32_t nMetaFormat, int32_t nMetaTag);

/// The tag whose query path equals `name` (as the imaging component enumerates it inside a
/// block, such as "/{ushort=271}"), ignoring ASCII case; -1 when none does.
int32_t FindTagByPath(int32_t nMetaFormat, std::u16string_view name);

/// Star count 0..5 to the percent rating written beside it ("MicrosoftPhoto:Rating").
inline constexpr std::array<int32_t, 6> RatingPercent = {0, 1, 25, 50, 75, 99};

/// XMP tag numbers shared by the image object and the rewriter.
inline constexpr int32_t kXmpTagRating = 0;
inline constexpr int32_t kXmpTagSubject = 1;
inline constexpr int32_t kXmpTagRatingPercent = 2;
inline constexpr int32_t kXmpTagLastKeyword = 3;
inline constexpr int32_t kXmpTagTitle = 4;
inline constexpr int32_t kXmpRewriterNameCount = 5;

/// The rewriter's 8-bit name of XMP tag 0..4 ("xmp:Rating", "dc:subject", ...); empty outside.
/// The view is a NUL-terminated literal.
std::string_view xmpRewriterName(int32_t index);

/// The index of the rewriter name that `path` names after its leading "/" (case as stored);
/// -1 when `path` does not start with "/" or names none of them.
int32_t findXmpRewriterIndex(std::string_view path);

} // namespace mio
