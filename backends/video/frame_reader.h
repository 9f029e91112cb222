// SPDX-License-Identifier: MIT
// Decoding pictures: the frame reader behind qVideoReadVideo, the attached picture and the
// data check.
#pragma once

#include "ffmpeg_support.h"
#include "packed_dib.h"

#include <memory>
#include <string>

namespace mio::video {

/// An open file with a decoder for its main video stream, delivering frames by index.
class FrameReader {
  public:
    /// Opens the record's file. mode is kVideoReadExact or kVideoReadRough; header (optional)
    /// sets the size of delivered frames. Null with the last error set on failure.
    static std::unique_ptr<FrameReader> open(const VideoFileInfo& info, int mode,
                                             const BITMAPINFOHEADER* header);

    /// Decodes frame index (exact mode) or the key frame at or before it (rough mode). The
    /// bitmap stays the reader's until the next read or the reader's end; null with the last
    /// error set on failure.
    BITMAPINFOHEADER* read(int index);

    int width() const { return m_width; }
    int height() const { return m_height; }

  private:
    FrameReader() : m_deadline(std::chrono::seconds(20)) {}
    bool openFile();
    bool seekTo(int64_t target);
    /// Feeds packets until the decoder gives a frame; false at the end of the stream or on a
    /// hard error (last error set when it is an error).
    bool nextFrame(bool& endOfStream);
    bool deliver();
    enum class Outcome { Found, Error, BeyondEnd, NothingDecoded, Overshot, NoTimestamps };
    /// Decodes until the frame at target (within half a frame) and renders it.
    Outcome decodeToward(int64_t target, double ticksPerFrame, bool afterSeek, bool withinCount);
    /// True when the demuxer's index holds a key frame after `from` and at or before
    /// `target` (stream ticks).
    bool keyFrameAfter(int64_t from, int64_t target) const;
    BITMAPINFOHEADER* readByTimestamp(int index);
    BITMAPINFOHEADER* readByCounting(int index);
    BITMAPINFOHEADER* readByCountingFromOpen(int index);

    std::string m_path;
    Deadline m_deadline;
    FormatContextPtr m_format;
    CodecContextPtr m_decoder;
    PacketPtr m_packet;
    FramePtr m_frame;
    FramePtr m_held; // the last picture before the target, kept in case the stream ends
    SwsPtr m_scaler;
    PackedDibBlock m_dib;
    int m_stream = -1;
    AVRational m_timeBase{0, 1};
    double m_fps = 0.0;
    int m_frameCount = 0; // the record's frame count
    int64_t m_startPts = 0;
    int m_rotation = 0;
    int m_width = 0;
    int m_height = 0;
    bool m_rough = false;
    int m_shrink = 1; // stored size / delivered size, for decoders that decode reduced
    bool m_draining = false;
    bool m_needKey = false; // set by a seek: decoding resumes at the next key frame
    // Where the decoder stands after the last read: lets the next exact read of a later
    // frame continue without seeking.
    int64_t m_lastPts = AV_NOPTS_VALUE;
};

/// Decodes the record's attached picture at its own size (shrunk to the bitmap limit).
/// False with the last error set when the file has none or it does not decode.
[[nodiscard]] bool decodeAttachedPicture(const VideoFileInfo& info, PackedDibBlock& out);

/// True when the first frame of stream (streamPlusOne - 1, or the main video stream when 0)
/// decodes; false with the last error set otherwise.
[[nodiscard]] bool firstFrameDecodes(const std::string& path, int streamPlusOne);

} // namespace mio::video
