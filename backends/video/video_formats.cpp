// SPDX-License-Identifier: MIT
// The video library's format list and its lookups; no FFmpeg here, only names.
#include "video_formats.h"

#include "contracts/file_format_id_table.h"

#include <array>
#include <cstring>

namespace mio::video {
namespace {

// Index order is the library's format index and `number` the FileFormatIdTable number; both
// are published through records and stay as they are. New rows go at the end with an unused
// number. MPEG (number 1, code 2) and AVCHD (number 36, code 0x80000020) are the two formats
// the engine sends its configuration calls to.
constexpr std::array kFormats = {
    VideoFormat{0, "avi", "AVI video", "divx", "avi", kTraitNone},
    VideoFormat{1, "mpg", "MPEG video", "mpeg;mpe;m1v;m2v;mpv;vob;dat", "mpeg,mpegvideo",
                kTraitNeedsCheck},
    VideoFormat{2, "mov", "QuickTime movie", "qt", "mov", kTraitNone},
    VideoFormat{3, "mp4", "MPEG-4 video", "m4v", "mp4", kTraitNone},
    VideoFormat{4, "wmv", "Windows Media", "wma;asf", "asf", kTraitNone},
    VideoFormat{5, "ts", "MPEG transport stream", "tp;trp;m2t", "mpegts", kTraitNeedsCheck},
    VideoFormat{6, "3gp", "3GPP multimedia", "3g2;3gpp;3gp2", "3gp,3g2", kTraitNone},
    VideoFormat{7, "mkv", "Matroska", "mka;mk3d", "matroska", kTraitNone},
    VideoFormat{8, "webm", "WebM", "", "webm", kTraitNone},
    VideoFormat{9, "flv", "Flash video", "", "flv,live_flv", kTraitNone},
    VideoFormat{10, "ogg", "Ogg", "ogv;oga;ogx;opus;spx", "ogg", kTraitNone},
    VideoFormat{11, "dv", "DV video", "dif", "dv", kTraitNeedsCheck},
    VideoFormat{12, "rm", "RealMedia", "rmvb;ra", "rm", kTraitNone},
    VideoFormat{13, "gif", "Animated GIF", "", "gif", kTraitCountInQuickParse},
    VideoFormat{14, "wav", "WAV audio", "wave;w64", "wav,w64", kTraitAudio},
    VideoFormat{15, "mp3", "MP3 audio", "mp2;mpa;mp1", "mp3", kTraitAudio},
    VideoFormat{16, "aac", "AAC audio", "adts", "aac", kTraitAudio},
    VideoFormat{17, "m4a", "MPEG-4 audio", "m4b;m4r", "m4a", kTraitAudio},
    VideoFormat{18, "flac", "FLAC audio", "", "flac", kTraitAudio},
    VideoFormat{19, "ac3", "Dolby Digital audio", "eac3", "ac3,eac3", kTraitAudio},
    VideoFormat{20, "aif", "AIFF audio", "aiff;aifc", "aiff", kTraitAudio},
    VideoFormat{21, "amr", "AMR audio", "awb", "amr,amrnb,amrwb", kTraitAudio},
    VideoFormat{22, "wv", "WavPack audio", "", "wv", kTraitAudio},
    VideoFormat{23, "ape", "Monkey's Audio", "", "ape", kTraitAudio},
    VideoFormat{24, "mxf", "MXF video", "", "mxf", kTraitNone},
    VideoFormat{25, "caf", "Core Audio Format", "", "caf", kTraitAudio},
    VideoFormat{26, "au", "Sun AU audio", "snd", "au", kTraitAudio},
    VideoFormat{27, "mpc", "Musepack audio", "", "mpc,mpc8", kTraitAudio},
    VideoFormat{28, "dts", "DTS audio", "", "dts", kTraitAudio},
    VideoFormat{36, "mts", "AVCHD video", "m2ts", "mpegts", kTraitNeedsCheck},
};

constexpr bool numbersAreValidAndUnique()
{
    for (size_t i = 0; i < kFormats.size(); ++i) {
        if (!FileFormatIdTable::isVideoNumber(kFormats[i].number)) return false;
        for (size_t j = 0; j < i; ++j)
            if (kFormats[j].number == kFormats[i].number) return false;
    }
    return true;
}
static_assert(kFormats.size() <= FileFormatIdTable::kVideoCount);
static_assert(numbersAreValidAndUnique());

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// Calls fn(item) for each item of a separated list, stopping when fn returns true.
template <typename Fn> bool anyItem(std::string_view list, char separator, Fn fn)
{
    while (!list.empty()) {
        size_t end = list.find(separator);
        std::string_view item = list.substr(0, end);
        if (!item.empty() && fn(item)) return true;
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
    return false;
}

} // namespace

std::span<const VideoFormat> videoFormats()
{
    return kFormats;
}

uint32_t formatCode(const VideoFormat& format)
{
    return FileFormatIdTable::videoCodeOf(format.number).value_or(0);
}

int formatIndexOfCode(uint32_t code)
{
    for (size_t i = 0; i < kFormats.size(); ++i)
        if (code != 0 && formatCode(kFormats[i]) == code) return static_cast<int>(i);
    return -1;
}

bool formatHasExtension(const VideoFormat& format, std::string_view extension)
{
    if (equalsIgnoringCase(format.extension, extension)) return true;
    return anyItem(format.moreExtensions, ';',
                   [&](std::string_view e) { return equalsIgnoringCase(e, extension); });
}

int formatIndexForDemuxer(std::string_view demuxerNames, std::string_view extension)
{
    int first = -1;
    for (size_t i = 0; i < kFormats.size(); ++i) {
        bool claims = anyItem(kFormats[i].demuxers, ',', [&](std::string_view mine) {
            return anyItem(demuxerNames, ',',
                           [&](std::string_view theirs) { return mine == theirs; });
        });
        if (!claims) continue;
        if (formatHasExtension(kFormats[i], extension)) return static_cast<int>(i);
        if (first < 0) first = static_cast<int>(i);
    }
    return first;
}

std::string_view claimedDemuxers()
{
    static constexpr auto kJoined = [] {
        std::array<char, 512> text{};
        size_t used = 0;
        for (const VideoFormat& format : kFormats) {
            if (used) text[used++] = ',';
            for (char c : format.demuxers)
                text[used++] = c;
        }
        return std::pair{text, used};
    }();
    return {kJoined.first.data(), kJoined.second};
}

bool fillFormatInfo(int index, VideoFormatInfo* info)
{
    if (!info || index < 0 || static_cast<size_t>(index) >= kFormats.size()) return false;
    const VideoFormat& format = kFormats[static_cast<size_t>(index)];
    // The fields are zeroed by the caller; copy with room for the terminator regardless.
    auto copyText = [](char* dest, size_t room, std::string_view text) {
        size_t n = text.size() < room ? text.size() : room - 1;
        std::memcpy(dest, text.data(), n);
        dest[n] = '\0';
    };
    copyText(info->extension, sizeof info->extension, format.extension);
    copyText(info->name, sizeof info->name, format.name);
    info->formatCode = formatCode(format);
    info->extraExtensionCount = 0;
    size_t used = 0;
    anyItem(format.moreExtensions, ';', [&](std::string_view e) {
        if (used + e.size() + 1 > sizeof info->extraExtensions) return true;
        std::memcpy(info->extraExtensions + used, e.data(), e.size());
        info->extraExtensions[used + e.size()] = '\0';
        used += e.size() + 1;
        ++info->extraExtensionCount;
        return false;
    });
    return true;
}

} // namespace mio::video
