// SPDX-License-Identifier: MIT
// Frame reader, attached-picture decoder and data check over libavformat/libavcodec.
#include "frame_reader.h"

#include "contracts/common_library.h"
#include "media_probe.h"

#include <cmath>
#include <cstdlib>

namespace mio::video {
namespace {

using namespace std::chrono_literals;

// Packets read for one frame before giving up: a GOP of ten seconds at 60 frames per second
// with audio interleaved fits well inside; a stream that never yields a frame stops here.
constexpr int kMaxPacketsPerFrame = 8000;
// An exact read of a frame this few frames ahead decodes forward instead of seeking.
constexpr int64_t kForwardWindowFrames = 90;
// How far before a frame successive seeks aim, in seconds, before reading from the start.
constexpr double kSeekBackoffSeconds[] = {0.0, 1.0, 4.0, 16.0};

double streamRate(const AVStream* st)
{
    for (AVRational r : {st->avg_frame_rate, st->r_frame_rate})
        if (r.num > 0 && r.den > 0 && av_q2d(r) <= 480.0) return av_q2d(r);
    return 0.0;
}

// Fits w x h into the bitmap limits (side and area) keeping its shape.
void limitSize(int& w, int& h)
{
    double scale = 1.0;
    if (w > kMaxDibSide || h > kMaxDibSide)
        scale = static_cast<double>(kMaxDibSide) / std::max(w, h);
    double area = static_cast<double>(w) * h * scale * scale;
    if (area > static_cast<double>(kMaxDibPixels))
        scale *= std::sqrt(static_cast<double>(kMaxDibPixels) / area);
    if (scale >= 1.0) return;
    w = std::max(1, static_cast<int>(w * scale));
    h = std::max(1, static_cast<int>(h * scale));
}

} // namespace

std::unique_ptr<FrameReader> FrameReader::open(const VideoFileInfo& info, int mode,
                                               const BITMAPINFOHEADER* header)
{
    if (mode != kVideoReadExact && mode != kVideoReadRough) {
        setLastError(kLibErrArgument, "Unknown frame reader mode");
        return nullptr;
    }
    std::unique_ptr<FrameReader> reader(new (std::nothrow) FrameReader());
    if (!reader) {
        setLastError(kLibErrMemory, "Out of memory for the frame reader");
        return nullptr;
    }
    reader->m_path = recordPath(info);
    reader->m_rough = mode == kVideoReadRough;
    if (!reader->openFile()) return nullptr;

    const AVStream* st = reader->m_format->streams[reader->m_stream];
    reader->m_fps = info.frameRate > 0 ? info.frameRate / 1000.0 : streamRate(st);
    reader->m_frameCount = info.totalFrames;
    int naturalW = 0, naturalH = 0;
    uprightSize(st->codecpar->width, st->codecpar->height, reader->m_rotation, naturalW, naturalH);
    if (header && header->biWidth > 0 && header->biHeight != 0) {
        int w = header->biWidth;
        int h = std::abs(header->biHeight);
        if (w > kMaxDibSide || h > kMaxDibSide || int64_t{w} * h > kMaxDibPixels) {
            setLastError(kLibErrArgument, "Requested frame size out of range");
            return nullptr;
        }
        reader->m_width = w;
        reader->m_height = h;
    } else {
        limitSize(naturalW, naturalH);
        reader->m_width = naturalW;
        reader->m_height = naturalH;
    }
    // How much smaller than the stored picture the frames are delivered (in the stored
    // orientation); a decoder that can decode reduced is opened again to do so.
    int storedW = 0, storedH = 0;
    uprightSize(reader->m_width, reader->m_height, reader->m_rotation, storedW, storedH);
    if (storedW > 0 && storedH > 0)
        reader->m_shrink =
            std::max(1, std::min(st->codecpar->width / storedW, st->codecpar->height / storedH));
    if (reader->m_shrink > 1) {
        reader->m_decoder = openDecoder(st, reader->m_rough, reader->m_shrink);
        if (!reader->m_decoder) return nullptr;
    }
    return reader;
}

bool FrameReader::openFile()
{
    m_decoder.reset();
    m_format.reset();
    m_deadline.extend(20s);
    m_format = openInput(m_path, &m_deadline);
    if (!m_format) return false;
    if (!headerIsComplete(m_format.get()) && !findStreamInfo(m_format.get())) return false;
    m_stream = mainVideoStream(m_format.get());
    if (m_stream < 0) {
        setLastError(kLibErrFormat, "The file holds no video stream");
        return false;
    }
    AVStream* st = m_format->streams[m_stream];
    // Only the chosen stream is demuxed; the others are skipped cheaply.
    for (unsigned i = 0; i < m_format->nb_streams; ++i)
        m_format->streams[i]->discard =
            static_cast<int>(i) == m_stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    m_timeBase = st->time_base;
    m_startPts = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    m_rotation = streamRotation(st);
    m_decoder = openDecoder(st, m_rough, m_shrink);
    if (!m_decoder) return false;
    if (!m_packet) m_packet.reset(av_packet_alloc());
    if (!m_frame) m_frame.reset(av_frame_alloc());
    if (!m_held) m_held.reset(av_frame_alloc());
    if (!m_packet || !m_frame || !m_held) {
        setLastError(kLibErrMemory, "Out of memory for the frame reader");
        return false;
    }
    m_draining = false;
    m_needKey = false;
    m_lastPts = AV_NOPTS_VALUE;
    return true;
}

bool FrameReader::seekTo(int64_t target)
{
    m_lastPts = AV_NOPTS_VALUE;
    m_draining = false;
    if (av_seek_frame(m_format.get(), m_stream, target, AVSEEK_FLAG_BACKWARD) >= 0) {
        avcodec_flush_buffers(m_decoder.get());
        m_needKey = true;
        return true;
    }
    // Formats without seeking start again from the beginning.
    return openFile();
}

bool FrameReader::nextFrame(bool& endOfStream)
{
    endOfStream = false;
    for (int packets = 0; packets < kMaxPacketsPerFrame; ++packets) {
        int err = avcodec_receive_frame(m_decoder.get(), m_frame.get());
        if (err == 0) return true;
        if (err == AVERROR_EOF) {
            endOfStream = true;
            return false;
        }
        if (err != AVERROR(EAGAIN)) {
            setLastError(kLibErrCorrupt, "The video frame cannot be decoded", err);
            return false;
        }
        if (m_deadline.passed()) {
            setLastError(kLibErrCorrupt, "Decoding the video frame took too long");
            return false;
        }
        err = av_read_frame(m_format.get(), m_packet.get());
        if (err < 0) {
            // End of the file or a damaged tail: let the decoder give what it still holds.
            m_draining = true;
            avcodec_send_packet(m_decoder.get(), nullptr);
            continue;
        }
        // After a seek, pictures before the next key frame would decode against missing
        // references (timestamp seeks in transport streams land anywhere): skip them.
        bool usable = m_packet->stream_index == m_stream &&
                      (!m_needKey || (m_packet->flags & AV_PKT_FLAG_KEY));
        if (usable) {
            m_needKey = false;
            err = avcodec_send_packet(m_decoder.get(), m_packet.get());
            // A damaged packet is skipped; the decoder recovers at a later one.
            (void)err;
        }
        av_packet_unref(m_packet.get());
    }
    setLastError(kLibErrCorrupt, "No video frame found within the packet limit");
    return false;
}

bool FrameReader::deliver()
{
    bool ok = renderPicture(m_frame.get(), m_rotation, m_width, m_height, m_scaler, m_dib);
    av_frame_unref(m_frame.get());
    return ok;
}

BITMAPINFOHEADER* FrameReader::read(int index)
{
    if (index < 0) {
        setLastError(kLibErrArgument, "Negative frame index");
        return nullptr;
    }
    m_deadline.extend(20s);
    m_dib.reset();
    if (m_fps <= 0.0 || m_timeBase.num <= 0 || m_timeBase.den <= 0) return readByCounting(index);
    return readByTimestamp(index);
}

FrameReader::Outcome FrameReader::decodeToward(int64_t target, double ticksPerFrame, bool afterSeek,
                                               bool withinCount)
{
    bool held = false;
    for (bool first = true;; first = false) {
        bool endOfStream = false;
        if (!nextFrame(endOfStream)) {
            if (!endOfStream) return Outcome::Error;
            if (!held) return Outcome::NothingDecoded;
            // Past the last picture: it stands in for a frame the record counts (a nominal
            // rate can place the last frames after it) or for one frame past an estimated
            // count; anything further is an error.
            if (withinCount || static_cast<double>(target - m_lastPts) < 1.5 * ticksPerFrame) {
                av_frame_move_ref(m_frame.get(), m_held.get());
                return deliver() ? Outcome::Found : Outcome::Error;
            }
            return Outcome::BeyondEnd;
        }
        int64_t pts = m_frame->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) {
            av_frame_unref(m_frame.get());
            return Outcome::NoTimestamps;
        }
        // Half a frame either way, compared exactly: with a time base of one frame a tick
        // of tolerance would already be the neighbouring frame.
        const double offset = static_cast<double>(pts - target);
        if (first && afterSeek && offset > ticksPerFrame / 2.0) {
            // The seek landed after the frame (a sparse or coarse index).
            av_frame_unref(m_frame.get());
            return Outcome::Overshot;
        }
        m_lastPts = pts;
        if (m_rough || offset >= -ticksPerFrame / 2.0)
            return deliver() ? Outcome::Found : Outcome::Error;
        // Keep this picture in case the stream ends before the target.
        av_frame_unref(m_held.get());
        av_frame_move_ref(m_held.get(), m_frame.get());
        held = true;
    }
}

bool FrameReader::keyFrameAfter(int64_t from, int64_t target) const
{
    AVStream* st = m_format->streams[m_stream];
    const int i = av_index_search_timestamp(st, target, AVSEEK_FLAG_BACKWARD);
    if (i < 0) return false;
    const AVIndexEntry* entry = avformat_index_get_entry(st, i);
    // Index times are decoding times, at or before the key picture's own: later than the
    // current picture means the key frame comes after it.
    return entry && entry->timestamp > from;
}

BITMAPINFOHEADER* FrameReader::readByTimestamp(int index)
{
    const double ticksPerFrame = 1.0 / (m_fps * av_q2d(m_timeBase));
    const int64_t target = m_startPts + std::llround(index * ticksPerFrame);
    const bool withinCount = index < m_frameCount;

    auto finish = [&](Outcome outcome) -> BITMAPINFOHEADER* {
        if (outcome == Outcome::Found) return m_dib.header();
        if (outcome == Outcome::BeyondEnd)
            setLastError(kLibErrArgument, "The frame lies beyond the end of the video");
        return nullptr;
    };
    // Decode forward from where the decoder stands, unless a key frame lies on the way: then a
    // seek to it skips the pictures before it.
    bool forward =
        !m_rough && !m_draining && m_lastPts != AV_NOPTS_VALUE && target > m_lastPts &&
        static_cast<double>(target - m_lastPts) <= kForwardWindowFrames * ticksPerFrame &&
        !keyFrameAfter(m_lastPts, target);
    if (forward) {
        Outcome outcome = decodeToward(target, ticksPerFrame, false, withinCount);
        if (outcome == Outcome::NoTimestamps) return readByCounting(index);
        if (outcome != Outcome::NothingDecoded) return finish(outcome);
    }
    // Seek a little before the frame, then further back when the demuxer's index lands
    // after it or on a picture that cannot start decoding; finally start from the beginning.
    for (double back : kSeekBackoffSeconds) {
        int64_t seekTarget = target - std::llround(back / av_q2d(m_timeBase));
        if (!seekTo(seekTarget)) return nullptr;
        Outcome outcome = decodeToward(target, ticksPerFrame, true, withinCount);
        if (outcome == Outcome::NoTimestamps) return readByCounting(index);
        if (outcome == Outcome::Overshot || outcome == Outcome::NothingDecoded) continue;
        return finish(outcome);
    }
    if (!openFile()) return nullptr;
    Outcome outcome = decodeToward(target, ticksPerFrame, false, withinCount);
    if (outcome == Outcome::NoTimestamps) return readByCounting(index);
    if (outcome == Outcome::NothingDecoded) {
        setLastError(kLibErrCorrupt, "No video frame of the file decodes");
        return nullptr;
    }
    return finish(outcome == Outcome::Overshot ? Outcome::BeyondEnd : outcome);
}

BITMAPINFOHEADER* FrameReader::readByCounting(int index)
{
    if (!openFile()) return nullptr;
    return readByCountingFromOpen(index);
}

BITMAPINFOHEADER* FrameReader::readByCountingFromOpen(int index)
{
    for (int n = 0;; ++n) {
        bool endOfStream = false;
        if (!nextFrame(endOfStream)) {
            if (endOfStream)
                setLastError(kLibErrArgument, n == 0
                                                  ? "No video frame of the file decodes"
                                                  : "The frame lies beyond the end of the video");
            return nullptr;
        }
        // Rough mode wants only a picture near the frame; the first key picture serves
        // when frames cannot be found by time.
        if (n >= index || (m_rough && n == 0 && index == 0)) {
            m_lastPts = AV_NOPTS_VALUE;
            m_draining = true; // the position is unknown to timestamp reads: seek next time
            return deliver() ? m_dib.header() : nullptr;
        }
        av_frame_unref(m_frame.get());
    }
}

bool decodeAttachedPicture(const VideoFileInfo& info, PackedDibBlock& out)
{
    RecordExtras extras = readExtras(info);
    if (extras.magic == kExtrasMagic && extras.pictureStream < 0) {
        setLastError(kLibErrFormat, "The file has no attached picture");
        return false;
    }
    Deadline deadline(20s);
    FormatContextPtr format = openInput(recordPath(info), &deadline);
    if (!format) return false;
    int index = attachedPictureStream(format.get());
    if (index < 0) {
        setLastError(kLibErrFormat, "The file has no attached picture");
        return false;
    }
    const AVStream* st = format->streams[index];
    CodecContextPtr decoder = openDecoder(st, true);
    if (!decoder) return false;
    FramePtr frame(av_frame_alloc());
    if (!frame) {
        setLastError(kLibErrMemory, "Out of memory decoding the picture");
        return false;
    }
    int err = avcodec_send_packet(decoder.get(), &st->attached_pic);
    if (err >= 0) err = avcodec_send_packet(decoder.get(), nullptr);
    if (err >= 0) err = avcodec_receive_frame(decoder.get(), frame.get());
    if (err < 0) {
        setLastError(kLibErrCorrupt, "The attached picture cannot be decoded", err);
        return false;
    }
    int w = frame->width, h = frame->height;
    limitSize(w, h);
    SwsPtr scaler;
    return renderPicture(frame.get(), 0, w, h, scaler, out);
}

bool firstFrameDecodes(const std::string& path, int streamPlusOne)
{
    Deadline deadline(20s);
    FormatContextPtr format = openInput(path, &deadline);
    if (!format) return false;
    if (!headerIsComplete(format.get()) && !findStreamInfo(format.get())) return false;
    int index = streamPlusOne - 1;
    if (index < 0 || static_cast<unsigned>(index) >= format->nb_streams)
        index = mainVideoStream(format.get());
    if (index < 0) index = mainAudioStream(format.get());
    if (index < 0) {
        setLastError(kLibErrFormat, "The file holds no stream to check");
        return false;
    }
    const AVStream* st = format->streams[index];
    CodecContextPtr decoder = openDecoder(st, true);
    if (!decoder) return false;
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        setLastError(kLibErrMemory, "Out of memory checking the file");
        return false;
    }
    for (int n = 0; n < kMaxPacketsPerFrame && !deadline.passed(); ++n) {
        int err = av_read_frame(format.get(), packet.get());
        if (err < 0) {
            avcodec_send_packet(decoder.get(), nullptr);
            if (avcodec_receive_frame(decoder.get(), frame.get()) == 0) return true;
            setLastError(kLibErrCorrupt, "No frame of the file decodes", err);
            return false;
        }
        if (packet->stream_index == index) avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (avcodec_receive_frame(decoder.get(), frame.get()) == 0) return true;
    }
    setLastError(kLibErrCorrupt, "No frame of the file decodes within the packet limit");
    return false;
}

} // namespace mio::video
