// SPDX-License-Identifier: MIT
// FFmpeg state owners, bounded opening of a file and the library's error reporting.
#pragma once

#include "contracts/video_library.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace mio::video {

struct FormatContextCloser {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsFreer {
    void operator()(SwsContext* ctx) const { sws_freeContext(ctx); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;

/// Silences FFmpeg's log (the engine writes none) and caps its single allocations; safe to
/// call from every entry point, runs once per process.
void prepareFfmpeg();

/// Wall-clock budget of one library call, checked by FFmpeg's interrupt callback so that a
/// stalled or endless input gives up instead of hanging the caller.
class Deadline {
  public:
    explicit Deadline(std::chrono::milliseconds budget)
        : m_end(std::chrono::steady_clock::now() + budget)
    {
    }
    bool passed() const { return std::chrono::steady_clock::now() > m_end; }
    void extend(std::chrono::milliseconds budget)
    {
        m_end = std::chrono::steady_clock::now() + budget;
    }

  private:
    std::chrono::steady_clock::time_point m_end;
};

/// UTF-8 path of a record: the wide path when its flag says so, else the ANSI path converted
/// from the active code page. Empty when the record names no path.
std::string recordPath(const VideoFileInfo& info);
/// UTF-8 form of an ANSI path in the active code page (unchanged when it does not convert).
std::string ansiToUtf8(const char* ansi);
/// Lower-case extension of a path without the dot, or empty.
std::string pathExtension(const std::string& path);

/// Opens a container with bounded probing. The deadline must outlive the context: the
/// context's interrupt callback reads it. On failure returns null with the last error set.
FormatContextPtr openInput(const std::string& path, Deadline* deadline);

/// Runs avformat_find_stream_info with the context's probing limits; false with the last
/// error set when it fails.
bool findStreamInfo(AVFormatContext* ctx);

/// True when the header alone describes every stream well enough to skip stream probing.
bool headerIsComplete(const AVFormatContext* ctx);

/// Index of the main video stream (not an attached picture), preferring streams with a
/// decoder and then the largest picture; -1 when none.
int mainVideoStream(const AVFormatContext* ctx);
/// Index of the main audio stream, or -1.
int mainAudioStream(const AVFormatContext* ctx);
/// Index of the first attached picture, or -1.
int attachedPictureStream(const AVFormatContext* ctx);

/// Clockwise rotation (0, 90, 180 or 270) that turns the stream's pictures upright.
int streamRotation(const AVStream* stream);

/// Opens a decoder for a stream; null with the last error set when none exists or it fails.
/// shrink (>= 1) is how many times smaller the caller wants the picture: decoders that can
/// drop DCT detail (JPEG) then decode at a power-of-two fraction of the size, no smaller.
CodecContextPtr openDecoder(const AVStream* stream, bool singleFrame, int shrink = 1);

/// Records a failure in the common library: the cause in words, with FFmpeg's reason when
/// there is one (errnum < 0).
void setLastError(int code, const std::string& text, int errnum = 0);

} // namespace mio::video
