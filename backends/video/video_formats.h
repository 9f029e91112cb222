// SPDX-License-Identifier: MIT
// The video library's format list: static data that classification reads without FFmpeg.
#pragma once

#include "contracts/video_library.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace mio::video {

/// What a format row asks of the library beyond opening the container.
enum FormatTraits : uint32_t {
    kTraitNone = 0,
    /// The container accepts almost any bytes (headerless streams): check that a frame decodes
    /// before the engine keeps the file.
    kTraitNeedsCheck = 1u << 0,
    /// Audio format: a JPEG attached picture marks the file's preview as a tag picture.
    kTraitAudio = 1u << 1,
    /// The header never holds a frame count but files are small: count packets even in a
    /// quick parse.
    kTraitCountInQuickParse = 1u << 2,
};

/// One row of the format list. The list order is the library's format index; `number` is the
/// FileFormatIdTable number (0..40) that gives the one-bit format code. Both stay stable once
/// published: callers store them.
struct VideoFormat {
    int number;
    std::string_view extension; ///< primary, lower case, no dot
    std::string_view name;
    std::string_view moreExtensions; ///< ';'-separated, may be empty
    std::string_view demuxers;       ///< ','-separated FFmpeg demuxer names this row claims
    uint32_t traits;
};

/// The whole list, index order.
std::span<const VideoFormat> videoFormats();

/// One-bit code of a row (from its number).
uint32_t formatCode(const VideoFormat& format);

/// Index of the row with this code, or -1.
int formatIndexOfCode(uint32_t code);

/// Row that a demuxer's file belongs to: among the rows claiming one of the demuxer's names
/// (FFmpeg reports a family such as "mov,mp4,m4a,3gp,3g2,mj2"), the one listing the file's
/// extension, else the first of them. -1 when no row claims the demuxer.
int formatIndexForDemuxer(std::string_view demuxerNames, std::string_view extension);

/// True when the row lists the extension (primary or further), ignoring ASCII case.
bool formatHasExtension(const VideoFormat& format, std::string_view extension);

/// Every demuxer name the list claims, ','-separated: the only containers worth probing.
std::string_view claimedDemuxers();

/// Fills a VideoFormatInfo for row index; false for a bad index or null info. Extensions that
/// would not fit the record's area are left out.
bool fillFormatInfo(int index, VideoFormatInfo* info);

} // namespace mio::video
