// SPDX-License-Identifier: MIT
// The bitmaps the library hands out: 24-bit bottom-up packed DIBs in locked movable blocks.
#pragma once

#include "ffmpeg_support.h"

#include <tavrel/platform/memory.h>
#include <tavrel/platform/types.h>

namespace mio::video {

/// Largest side of a delivered bitmap; larger requests are refused, larger pictures shrunk.
inline constexpr int kMaxDibSide = 16384;
/// Largest picture area of a delivered bitmap (an 8K frame is 33 million pixels).
inline constexpr int64_t kMaxDibPixels = 64'000'000;

/// Owns one packed DIB: a movable global block, locked once, holding a BITMAPINFOHEADER and
/// bottom-up 24-bit rows padded to 4 bytes (the engine's PackedDib layout). The block is
/// unlocked and freed when the owner dies, unless released.
class PackedDibBlock {
  public:
    PackedDibBlock() = default;
    ~PackedDibBlock() { reset(); }
    PackedDibBlock(PackedDibBlock&& other) noexcept : m_header(other.m_header)
    {
        other.m_header = nullptr;
    }
    PackedDibBlock& operator=(PackedDibBlock&& other) noexcept;
    PackedDibBlock(const PackedDibBlock&) = delete;
    PackedDibBlock& operator=(const PackedDibBlock&) = delete;

    /// Allocates a zeroed 24-bit bitmap; false (last error set) for a bad size or no memory.
    [[nodiscard]] bool create(int width, int height);
    BITMAPINFOHEADER* header() const { return m_header; }
    int width() const { return m_header ? m_header->biWidth : 0; }
    int height() const { return m_header ? m_header->biHeight : 0; }
    size_t stride() const;
    /// Address of row y counted from the top of the picture.
    uint8_t* rowFromTop(int y) const;
    /// Hands the locked address to the caller, who frees it with freeDib.
    BITMAPINFOHEADER* release();
    void reset();

  private:
    BITMAPINFOHEADER* m_header = nullptr;
};

/// Frees a bitmap made by PackedDibBlock, known by its locked address (null is ignored).
void freeDib(BITMAPINFOHEADER* header);

/// Converts a decoded picture to BGR, scaled to the upright size width x height (an area
/// filter when shrinking) and turned clockwise by rotation degrees, into out. The scaler is
/// cached in scaler across calls. False with the last error set on failure.
[[nodiscard]] bool renderPicture(const AVFrame* frame, int rotation, int width, int height,
                                 SwsPtr& scaler, PackedDibBlock& out);

/// Upright size of a picture of stored size w x h after turning it by rotation degrees.
inline void uprightSize(int w, int h, int rotation, int& outW, int& outH)
{
    bool quarter = rotation == 90 || rotation == 270;
    outW = quarter ? h : w;
    outH = quarter ? w : h;
}

} // namespace mio::video
