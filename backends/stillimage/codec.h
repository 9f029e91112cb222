// SPDX-License-Identifier: MIT
// What every still-image codec provides, and the pieces they share: input bytes, image
// descriptions, row delivery, row supply for writers and error reporting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "contracts/still_image_library.h"
#include "format_table.h"

namespace mio::stillimage {

/// The whole file as bytes (a read-only mapping; pages load on first touch, so a header parse
/// reads only what it looks at).
struct Bytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

/// Largest picture any reader accepts: 2^28 pixels (a 16384 × 16384 image). Larger
/// declarations are refused before anything is allocated.
inline constexpr uint64_t kMaxPixels = uint64_t{1} << 28;

struct Rgb {
    uint8_t r, g, b;
};

struct PaletteColors {
    std::array<Rgb, 256> entries{};
    int count = 0;
};

/// One picture of a file as the record describes it.
struct ImageDesc {
    int32_t bitCount = 0;
    int32_t width = 0;
    int32_t height = 0;
    double xDpi = 0; ///< 0 when the file gives none
    double yDpi = 0;
    int32_t colorType = 0;
    PaletteColors palette; ///< for QF_COLOR_PALETTE4/8
};

struct HeaderInfo {
    ImageDesc main;
    bool hasPreview = false;
    ImageDesc preview;
    int32_t maskCount = 0;
    uint32_t frameCount = 1;
};

enum class Part { Main, Preview, Mask };

/// Hands decoded rows (top-down) to the engine's read callback.
class RowSink {
  public:
    RowSink(QfTransferBlock* block, QfReadRowsProc proc, int32_t width, int32_t height)
        : m_block(block), m_proc(proc), m_width(width), m_height(height)
    {
    }
    /// Delivers row `y`. False when the callback stopped the read (abort) or y is out of range.
    [[nodiscard]] bool put(int32_t y, const uint8_t* row);
    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }

  private:
    QfTransferBlock* m_block;
    QfReadRowsProc m_proc;
    int32_t m_width;
    int32_t m_height;
};

/// What a writer is asked to write.
struct WriteJob {
    std::string path;
    const FormatRow* format = nullptr;
    ImageDesc main;           ///< bitCount 8, 16, 24 or 32; palette filled for 8 bits
    bool withPreview = false; ///< the record asks for a preview and it has a size
    ImageDesc preview;
    int jpegQuality = 85;
};

/// Pulls source rows from the engine's write callback in the engine's layout: 8-bit
/// indices, 16-bit 5-5-5, 24-bit red-green-blue, 32-bit blue-green-red-x.
class RowSource {
  public:
    RowSource(QfTransferBlock* block, QfWriteRowsProc proc, bool preview, int32_t height)
        : m_block(block), m_proc(proc), m_preview(preview), m_height(height)
    {
    }
    /// Row `y` from the top, or null when the callback gives none.
    const uint8_t* row(int32_t y);

  private:
    QfTransferBlock* m_block;
    QfWriteRowsProc m_proc;
    bool m_preview;
    int32_t m_height;
    int32_t m_first = 0;
    int32_t m_count = 0;
    BYTE** m_rows = nullptr;
};

/// Rows of a write job converted to 8-bit RGB (or kept as indices for palette output).
struct RgbRowReader {
    RowSource& source;
    const ImageDesc& desc;
    /// Converts row y into out (width × 3 bytes, red-green-blue). False when missing.
    bool rgb(int32_t y, uint8_t* out);
};

struct CodecOps {
    /// Header only: fills `info`. > 0 on success, else 0 with the last error set.
    int (*parse)(Bytes file, HeaderInfo& info);
    /// Decodes one part of the file into `sink`. > 0 on success, else 0 with the last error.
    int (*read)(Bytes file, const HeaderInfo& info, Part part, RowSink& sink);
    /// Writes a file; null when the codec cannot write. > 0 on success.
    int (*write)(const WriteJob& job, RowSource& mainRows, RowSource* previewRows);
};

/// The codec functions behind a table row's codec id; null when the codec is not built or
/// its module cannot be loaded.
const CodecOps* codecOps(Codec codec);

/// Records the failure for the engine and returns 0.
int fail(int code, const std::string& text);

/// width × height within kMaxPixels and both positive.
bool sizeAcceptable(int64_t width, int64_t height);

/// Resolution field value (dots per inch × 10000) of a dpi figure; 0 when unknown.
int32_t resolutionField(double dpi);

/// Bytes of a row of `width` pixels at `bitCount` bits, rounded up to whole bytes.
size_t rowBytes(int32_t width, int32_t bitCount);

/// Size and component count of a JPEG held in memory, from its frame header.
bool jpegFrameSize(const uint8_t* data, size_t size, int32_t& width, int32_t& height,
                   int32_t& components);
/// Decodes a JPEG held in memory into `sink` (grey or red-green-blue rows).
int decodeJpegRows(const uint8_t* data, size_t size, RowSink& sink);

/// Standard descriptors by kind.
ImageDesc rgbDesc(int32_t width, int32_t height);
ImageDesc greyDesc(int32_t width, int32_t height);

} // namespace mio::stillimage
