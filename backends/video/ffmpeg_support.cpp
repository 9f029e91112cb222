// SPDX-License-Identifier: MIT
// FFmpeg set-up, bounded container opening, stream choice and last-error reporting.
#include "ffmpeg_support.h"

#include "contracts/common_library.h"
#include "video_formats.h"

#include <tavrel/platform/text.h>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <cmath>
#include <mutex>
#include <vector>

namespace mio::video {
namespace {

// Probing reads at most this much of a file and this much of its timeline before deciding;
// FFmpeg's defaults, stated so that a change upstream cannot make parsing slower or hungrier.
constexpr int64_t kProbeSize = 5'000'000;
constexpr int64_t kAnalyzeMicroseconds = 5'000'000;
// No single FFmpeg allocation may exceed this: a hostile header cannot ask for gigabytes.
constexpr size_t kMaxSingleAllocation = 512u << 20;
// Decoders refuse pictures larger than this many pixels (an 8K frame is 33 million).
constexpr int64_t kMaxPixels = 64'000'000;

int interruptCallback(void* opaque)
{
    auto* deadline = static_cast<const Deadline*>(opaque);
    return deadline && deadline->passed() ? 1 : 0;
}

bool hasDecoder(const AVStream* st)
{
    return avcodec_find_decoder(st->codecpar->codec_id);
}

} // namespace

void prepareFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_max_alloc(kMaxSingleAllocation);
    });
}

std::string ansiToUtf8(const char* ansi)
{
    int wideLength = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    if (wideLength <= 0) return ansi;
    std::u16string wide(static_cast<size_t>(wideLength), u'\0');
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), wideLength) <= 0) return ansi;
    int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return ansi;
    std::string utf8(static_cast<size_t>(length), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, utf8.data(), length, nullptr, nullptr) <=
        0)
        return ansi;
    utf8.resize(static_cast<size_t>(length - 1));
    return utf8;
}

std::string recordPath(const VideoFileInfo& info)
{
    if ((info.flags & kVideoFlagWidePath) && info.widePath) {
        // The block holds at most 260 characters; never read past it.
        const WCHAR* wide = info.widePath;
        int wideLength = 0;
        while (wideLength < 260 && wide[wideLength])
            ++wideLength;
        int length =
            WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, nullptr, 0, nullptr, nullptr);
        if (length > 0) {
            std::string utf8(static_cast<size_t>(length), '\0');
            if (WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, utf8.data(), length, nullptr,
                                    nullptr) == length)
                return utf8;
        }
    }
    char ansi[sizeof info.ansiPath + 1] = {};
    std::memcpy(ansi, info.ansiPath, sizeof info.ansiPath);
    if (!ansi[0]) return {};
    return ansiToUtf8(ansi);
}

std::string pathExtension(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

FormatContextPtr openInput(const std::string& path, Deadline* deadline)
{
    prepareFfmpeg();
    if (path.empty()) {
        setLastError(kLibErrArgument, "The record names no file");
        return nullptr;
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        setLastError(kLibErrMemory, "Out of memory opening the file");
        return nullptr;
    }
    raw->interrupt_callback.callback = interruptCallback;
    raw->interrupt_callback.opaque = deadline;
    raw->probesize = kProbeSize;
    raw->max_analyze_duration = kAnalyzeMicroseconds;
    // Only local files: a path must never make the library open a network or device URL.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    // Only the containers of the format list are probed: playlists, image sequences and the
    // like never get to open further files, and foreign files fail fast.
    const std::string demuxers(claimedDemuxers());
    av_dict_set(&options, "format_whitelist", demuxers.c_str(), 0);
    std::string url = "file:" + path;
    int err = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (err < 0) {
        // avformat_open_input frees the context on failure.
        if (err == AVERROR(ENOENT) || err == AVERROR(EACCES) || err == AVERROR(EISDIR))
            setLastError(kLibErrOpen, "The file cannot be opened", err);
        else
            setLastError(kLibErrFormat, "Not a video or audio file that the library reads", err);
        return nullptr;
    }
    return FormatContextPtr(raw);
}

bool findStreamInfo(AVFormatContext* ctx)
{
    int err = avformat_find_stream_info(ctx, nullptr);
    if (err < 0) {
        setLastError(kLibErrCorrupt, "The file's streams cannot be read", err);
        return false;
    }
    return true;
}

bool headerIsComplete(const AVFormatContext* ctx)
{
    if (ctx->nb_streams == 0) return false;
    if (ctx->iformat->flags & AVFMT_NOFILE) return false;
    bool any = false;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
            // The pixel format may stay unknown: the decoder learns it from the stream.
            if (par->codec_id == AV_CODEC_ID_NONE || par->width <= 0 || par->height <= 0)
                return false;
            if (st->avg_frame_rate.num <= 0 || st->avg_frame_rate.den <= 0) return false;
            any = true;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            if (par->codec_id == AV_CODEC_ID_NONE || par->sample_rate <= 0 ||
                par->ch_layout.nb_channels <= 0)
                return false;
            any = true;
        }
    }
    return any && ctx->duration != AV_NOPTS_VALUE && ctx->duration > 0;
}

int mainVideoStream(const AVFormatContext* ctx)
{
    int best = -1;
    int64_t bestScore = -1;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
        int64_t score = int64_t{st->codecpar->width} * st->codecpar->height;
        if (hasDecoder(st)) score += int64_t{1} << 40;
        if (score > bestScore) {
            bestScore = score;
            best = static_cast<int>(i);
        }
    }
    return best;
}

int mainAudioStream(const AVFormatContext* ctx)
{
    int best = -1;
    int bestScore = -1;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        int score = st->codecpar->ch_layout.nb_channels + (hasDecoder(st) ? 1000 : 0);
        if (score > bestScore) {
            bestScore = score;
            best = static_cast<int>(i);
        }
    }
    return best;
}

int attachedPictureStream(const AVFormatContext* ctx)
{
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        if ((st->disposition & AV_DISPOSITION_ATTACHED_PIC) && st->attached_pic.size > 0)
            return static_cast<int>(i);
    }
    return -1;
}

int streamRotation(const AVStream* stream)
{
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size < 9 * sizeof(int32_t)) return 0;
    double angle = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (std::isnan(angle)) return 0;
    // The matrix gives the counter-clockwise angle of the stored picture; undo it clockwise.
    long quarter = std::lround(-angle / 90.0);
    int turns = static_cast<int>(((quarter % 4) + 4) % 4);
    return turns * 90;
}

CodecContextPtr openDecoder(const AVStream* stream, bool singleFrame, int shrink)
{
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        const char* name = avcodec_get_name(stream->codecpar->codec_id);
        setLastError(kLibErrUnsupported, std::string("No decoder for the codec ") + name);
        return nullptr;
    }
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        setLastError(kLibErrMemory, "Out of memory opening the decoder");
        return nullptr;
    }
    int err = avcodec_parameters_to_context(ctx.get(), stream->codecpar);
    if (err >= 0) {
        ctx->pkt_timebase = stream->time_base;
        ctx->max_pixels = kMaxPixels;
        // Slice threads add no delay; frame threads would hold back the first picture.
        ctx->thread_type = FF_THREAD_SLICE;
        ctx->thread_count = singleFrame ? 1 : 0;
        // Reduced-size decoding only where it is a plain DCT scale-down (Motion JPEG);
        // other codecs' reduced modes predict from reduced references and drift.
        if (stream->codecpar->codec_id == AV_CODEC_ID_MJPEG) {
            int lowres = 0;
            while (lowres < codec->max_lowres && (2 << lowres) <= shrink)
                ++lowres;
            ctx->lowres = lowres;
        }
        err = avcodec_open2(ctx.get(), codec, nullptr);
    }
    if (err < 0) {
        setLastError(kLibErrUnsupported, "The decoder cannot be opened", err);
        return nullptr;
    }
    return ctx;
}

void setLastError(int code, const std::string& text, int errnum)
{
    std::string message = text;
    if (errnum < 0) {
        char reason[AV_ERROR_MAX_STRING_SIZE] = {};
        if (av_strerror(errnum, reason, sizeof reason) == 0 && reason[0]) {
            message += ": ";
            message += reason;
        }
    }
    mioCommonSetLastError(code, message.c_str());
}

} // namespace mio::video
