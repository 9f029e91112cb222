// SPDX-License-Identifier: MIT
// The quick header parse and the full packet scan behind qVideoGetFileInfo.
#include "media_probe.h"

#include "contracts/common_library.h"
#include "ffmpeg_support.h"
#include "packed_dib.h"
#include "video_formats.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace mio::video {
namespace {

using namespace std::chrono_literals;

// A scan reads at most this many packets; more than any real file of a day's length holds,
// so only hostile streams stop here (and then keep their estimates).
constexpr int64_t kMaxScanPackets = 20'000'000;
// Frame rates above this are time-base artefacts (ASF reports 1000), not real rates.
constexpr double kMaxPlausibleRate = 480.0;

double seconds(int64_t value, AVRational base)
{
    if (value == AV_NOPTS_VALUE || value <= 0 || base.den == 0) return 0.0;
    return static_cast<double>(value) * av_q2d(base);
}

double plausibleRate(AVRational rate)
{
    if (rate.num <= 0 || rate.den <= 0) return 0.0;
    double fps = av_q2d(rate);
    return fps > 0.0 && fps <= kMaxPlausibleRate ? fps : 0.0;
}

bool printableFourCC(uint32_t tag)
{
    for (int i = 0; i < 4; ++i) {
        unsigned c = (tag >> (8 * i)) & 0xFFu;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

uint32_t fourCCOf(const AVCodecParameters* par)
{
    if (par->codec_tag && printableFourCC(par->codec_tag)) return par->codec_tag;
    const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(),
                                        avformat_get_mov_video_tags(), nullptr};
    return av_codec_get_tag(tables, par->codec_id);
}

struct ScanTotals {
    bool complete = false;
    int64_t videoPackets = 0;
    int64_t videoBytes = 0;
    int64_t audioBytes = 0;
    int64_t videoDurationTs = 0;
    int64_t audioDurationTs = 0;
};

// Reads every packet (no decoding) to count frames and bytes per stream.
ScanTotals scanPackets(AVFormatContext* ctx, Deadline& deadline, int video, int audio)
{
    ScanTotals totals;
    PacketPtr packet(av_packet_alloc());
    if (!packet) return totals;
    deadline.extend(120s);
    for (int64_t n = 0; n < kMaxScanPackets; ++n) {
        int err = av_read_frame(ctx, packet.get());
        if (err == AVERROR_EOF) {
            totals.complete = true;
            break;
        }
        if (err < 0) {
            // A damaged tail ends the scan; what was read still counts as the file's content
            // unless the reader was stopped by its deadline.
            totals.complete = !deadline.passed() && err != AVERROR_EXIT;
            break;
        }
        bool discard = packet->flags & AV_PKT_FLAG_DISCARD;
        if (packet->stream_index == video) {
            totals.videoBytes += packet->size;
            if (!discard) {
                ++totals.videoPackets;
                if (packet->duration > 0) totals.videoDurationTs += packet->duration;
            }
        } else if (packet->stream_index == audio) {
            totals.audioBytes += packet->size;
            if (packet->duration > 0) totals.audioDurationTs += packet->duration;
        }
        av_packet_unref(packet.get());
    }
    return totals;
}

// Rate of a stream whose header has none, from the timestamps of its first packets; 0 when
// fewer than two distinct timestamps turn up. Bounded, so a quick parse stays quick.
double sampledRate(AVFormatContext* ctx, int video)
{
    constexpr int kMaxPackets = 400;
    constexpr size_t kWanted = 60;
    PacketPtr packet(av_packet_alloc());
    if (!packet) return 0.0;
    std::vector<int64_t> stamps;
    for (int n = 0; n < kMaxPackets && stamps.size() < kWanted; ++n) {
        if (av_read_frame(ctx, packet.get()) < 0) break;
        if (packet->stream_index == video) {
            int64_t t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (t != AV_NOPTS_VALUE) stamps.push_back(t);
        }
        av_packet_unref(packet.get());
    }
    std::sort(stamps.begin(), stamps.end());
    stamps.erase(std::unique(stamps.begin(), stamps.end()), stamps.end());
    if (stamps.size() < 2) return 0.0;
    double span = seconds(stamps.back() - stamps.front(), ctx->streams[video]->time_base);
    if (span <= 0.0) return 0.0;
    double fps = static_cast<double>(stamps.size() - 1) / span;
    return fps <= kMaxPlausibleRate ? fps : 0.0;
}

uint16_t clampU16(int64_t v)
{
    return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535));
}
uint32_t clampU32(double v)
{
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(std::llround(v));
}

int audioBits(const AVCodecParameters* par)
{
    if (par->bits_per_raw_sample > 0) return par->bits_per_raw_sample;
    int coded = av_get_bits_per_sample(par->codec_id);
    // PCM keeps its stored depth; lossy and ADPCM codecs decode to 16-bit samples.
    return coded >= 8 ? coded : 16;
}

void clearResults(VideoFileInfo& info)
{
    // Everything after the path except the caller's parse mode, flag 0x100000 and wide path.
    int32_t mode = info.parseMode;
    uint32_t wideFlag = info.flags & kVideoFlagWidePath;
    WCHAR* wide = info.widePath;
    void* attachment = info.libraryAttachment;
    auto* bytes = reinterpret_cast<uint8_t*>(&info);
    size_t from = offsetof(VideoFileInfo, formatIndex);
    std::memset(bytes + from, 0, sizeof info - from);
    info.parseMode = mode;
    info.flags = wideFlag;
    info.widePath = wide;
    info.libraryAttachment = attachment;
}

} // namespace

RecordExtras readExtras(const VideoFileInfo& info)
{
    RecordExtras extras;
    std::memcpy(&extras, info.libraryData, sizeof extras);
    if (extras.magic != kExtrasMagic) return RecordExtras{};
    return extras;
}

void writeExtras(VideoFileInfo& info, const RecordExtras& extras)
{
    std::memcpy(info.libraryData, &extras, sizeof extras);
}

bool probeFile(VideoFileInfo& info)
{
    clearResults(info);
    const std::string path = recordPath(info);
    Deadline deadline(20s);
    FormatContextPtr ctx = openInput(path, &deadline);
    if (!ctx) return false;
    AVFormatContext* fc = ctx.get();
    const bool quick = info.parseMode == kVideoParseQuick;

    // The header alone is enough for most containers in a quick parse; stream probing decodes
    // packets and is what makes parsing slow.
    bool probed = false;
    if (!quick || !headerIsComplete(fc)) {
        if (!findStreamInfo(fc)) return false;
        probed = true;
    }
    int video = mainVideoStream(fc);
    int audio = mainAudioStream(fc);
    if (video < 0 && audio < 0) {
        setLastError(kLibErrFormat, "The file holds no video or audio stream");
        return false;
    }
    if (!probed && video >= 0 && fc->streams[video]->codecpar->width <= 0) {
        if (!findStreamInfo(fc)) return false;
    }

    const std::string extension = pathExtension(path);
    int formatIndex = formatIndexForDemuxer(fc->iformat->name, extension);
    if (formatIndex < 0) {
        setLastError(kLibErrFormat,
                     std::string("The container is not in the library's format list: ") +
                         fc->iformat->name);
        return false;
    }
    const VideoFormat& format = videoFormats()[static_cast<size_t>(formatIndex)];

    RecordExtras extras;
    extras.magic = kExtrasMagic;
    extras.videoStream = video;
    extras.audioStream = audio;
    extras.pictureStream = attachedPictureStream(fc);
    int64_t fileSize = fc->pb ? avio_size(fc->pb) : -1;
    extras.fileSize = fileSize > 0 ? fileSize : 0;

    const double formatDuration = fc->duration != AV_NOPTS_VALUE && fc->duration > 0
                                      ? static_cast<double>(fc->duration) / AV_TIME_BASE
                                      : 0.0;
    const AVStream* vs = video >= 0 ? fc->streams[video] : nullptr;
    const AVStream* as = audio >= 0 ? fc->streams[audio] : nullptr;
    double videoDuration = vs ? seconds(vs->duration, vs->time_base) : 0.0;
    if (videoDuration <= 0.0) videoDuration = formatDuration;
    double audioDuration = as ? seconds(as->duration, as->time_base) : 0.0;
    if (audioDuration <= 0.0) audioDuration = formatDuration;

    double fps = vs ? plausibleRate(vs->avg_frame_rate) : 0.0;
    const bool rateFromHeader = fps > 0.0;
    if (vs && fps <= 0.0 && !(format.traits & kTraitCountInQuickParse))
        fps = plausibleRate(vs->r_frame_rate);

    bool estimated = false;
    const bool scan = !quick || (format.traits & kTraitCountInQuickParse);
    ScanTotals totals;
    if (scan) {
        totals = scanPackets(fc, deadline, video, audio);
    } else if (vs && fps <= 0.0) {
        fps = sampledRate(fc, video);
        estimated = true;
    }

    if (vs) {
        // Sum of the scanned packets' durations: the stream's own timeline.
        const double packetSeconds =
            totals.complete ? seconds(totals.videoDurationTs, vs->time_base) : 0.0;
        if (totals.complete && totals.videoPackets > 0 && !rateFromHeader) {
            if (packetSeconds > 0.0) {
                fps = static_cast<double>(totals.videoPackets) / packetSeconds;
                if (videoDuration <= 0.0) videoDuration = packetSeconds;
            } else if (fps <= 0.0 && videoDuration > 0.0) {
                fps = static_cast<double>(totals.videoPackets) / videoDuration;
            }
        }
        // The packets' timeline is the better clock when the header's is missing or absurd
        // (raw MPEG streams report a duration of a few milliseconds).
        double timeline = videoDuration;
        if (packetSeconds > 0.0 && (timeline <= 0.0 || timeline < 0.5 * packetSeconds))
            timeline = packetSeconds;
        if (fps <= 0.0) {
            // No rate anywhere (a lone GIF picture, a cut stream): assume the GIF default of
            // ten pictures a second, or PAL's 25, and call it an estimate.
            fps = (format.traits & kTraitCountInQuickParse) ? 10.0 : 25.0;
            estimated = true;
        }
        const double expected = timeline * fps;
        int64_t frames = 0;
        bool exact = false;
        if (totals.complete && totals.videoPackets > 0) {
            frames = totals.videoPackets;
            exact = true;
            // Interlaced streams may carry each field in its own packet: trust the timeline.
            const double packetExpected = packetSeconds > 0.0 ? packetSeconds * fps : expected;
            if (packetExpected > 0.0 && static_cast<double>(frames) > 1.5 * packetExpected + 1.0)
                frames = std::llround(packetExpected);
        } else if (vs->nb_frames > 0 &&
                   (expected <= 0.0 || std::fabs(static_cast<double>(vs->nb_frames) - expected) <=
                                           std::max(1.5, 0.02 * expected))) {
            // The container's sample count; an edit list that cuts it shows as disagreement.
            frames = vs->nb_frames;
            exact = true;
        } else {
            frames = std::llround(expected);
        }
        // A variable-rate stream's nominal rate does not fit its length: report the average
        // rate, so that frames / rate gives the real duration.
        if (exact && frames >= 2 && timeline > 0.0 && fps > 0.0 &&
            std::fabs(static_cast<double>(frames) / fps - timeline) > std::max(1.0 / fps, 0.05))
            fps = static_cast<double>(frames) / timeline;
        if (!exact) estimated = true;

        const AVCodecParameters* par = vs->codecpar;
        extras.rotation = streamRotation(vs);
        int uprightW = 0, uprightH = 0;
        uprightSize(par->width, par->height, extras.rotation, uprightW, uprightH);
        info.hasVideo = 1;
        info.totalFrames = static_cast<int32_t>(std::clamp<int64_t>(frames, 0, INT32_MAX));
        info.width = clampU16(uprightW);
        info.height = clampU16(uprightH);
        info.bitCount = 24;
        info.frameRate = clampU32(fps * 1000.0);
        info.checkValue = video + 1;
        extras.videoCodecId = par->codec_id;
        extras.videoFourCC = fourCCOf(par);

        AVRational sar = av_guess_sample_aspect_ratio(fc, const_cast<AVStream*>(vs), nullptr);
        double pixelAspect = sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0;
        if (par->width > 0 && par->height > 0) {
            double dar = par->width * pixelAspect / par->height;
            if (extras.rotation == 90 || extras.rotation == 270) dar = 1.0 / dar;
            if (std::fabs(dar - 4.0 / 3.0) < 0.04) info.flags |= kVideoFlagAspect4x3;
            if (std::fabs(dar - 16.0 / 9.0) < 0.04) info.flags |= kVideoFlagAspect16x9;
        }
        if (totals.complete && videoDuration > 0.0) {
            extras.videoBytesPerSec =
                clampU32(static_cast<double>(totals.videoBytes) / videoDuration);
        } else if (par->bit_rate > 0) {
            extras.videoBytesPerSec = clampU32(static_cast<double>(par->bit_rate) / 8.0);
        } else {
            // Whatever the audio does not take of the file's overall rate.
            double overall = static_cast<double>(fc->bit_rate);
            if (overall <= 0.0 && formatDuration > 0.0)
                overall = static_cast<double>(extras.fileSize) * 8.0 / formatDuration;
            double audioRate = as ? static_cast<double>(as->codecpar->bit_rate) : 0.0;
            if (overall > audioRate)
                extras.videoBytesPerSec = clampU32((overall - audioRate) / 8.0);
            estimated = true;
        }
    }
    if (as) {
        const AVCodecParameters* par = as->codecpar;
        info.hasAudio = 1;
        info.audioChannels = clampU16(par->ch_layout.nb_channels);
        info.audioBits = clampU16(audioBits(par));
        info.audioSampleRate = par->sample_rate > 0 ? static_cast<uint32_t>(par->sample_rate) : 0;
        if (audioDuration <= 0.0 && totals.complete)
            audioDuration = seconds(totals.audioDurationTs, as->time_base);
        if (audioDuration <= 0.0 && totals.complete && par->bit_rate > 0)
            audioDuration =
                static_cast<double>(totals.audioBytes) * 8.0 / static_cast<double>(par->bit_rate);
        info.audioSamples = clampU32(audioDuration * par->sample_rate);
        extras.audioCodecId = par->codec_id;
        if (totals.complete && audioDuration > 0.0 && totals.audioBytes > 0) {
            extras.audioBytesPerSec =
                clampU32(static_cast<double>(totals.audioBytes) / audioDuration);
        } else if (par->bit_rate > 0) {
            extras.audioBytesPerSec = clampU32(static_cast<double>(par->bit_rate) / 8.0);
        } else if (int bits = av_get_bits_per_sample(par->codec_id); bits >= 8) {
            // Uncompressed audio: the rate follows from the layout.
            extras.audioBytesPerSec = clampU32(static_cast<double>(par->sample_rate) *
                                               par->ch_layout.nb_channels * bits / 8.0);
        } else {
            estimated = true;
        }
    }

    if (format.traits & kTraitNeedsCheck) {
        info.formatKind = kVideoKindNeedsCheck;
    } else if (!vs && extras.pictureStream >= 0 &&
               fc->streams[extras.pictureStream]->codecpar->codec_id == AV_CODEC_ID_MJPEG) {
        info.formatKind = kVideoKindTagJpegPreview;
    }
    if (quick && estimated) info.flags |= kVideoFlagDetailsLeftOut;
    info.formatIndex = formatIndex;
    info.fileSize = static_cast<int32_t>(std::min<int64_t>(extras.fileSize, INT32_MAX));
    writeExtras(info, extras);
    return true;
}

} // namespace mio::video
