// SPDX-License-Identifier: MIT
// One camera raw file opened through LibRaw: identification, shooting data, embedded preview.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mio {

class RawDecoder;

// Shooting data read from the raw file's IFD0 and EXIF sub-IFD while LibRaw parses it. The
// EXIF values win over LibRaw's own, which are normalised (maker names) or derived from maker
// notes and can differ from what the file states.
struct RawExifCapture {
    std::optional<std::string> make, model;
    std::optional<int> orientation;
    std::optional<double> exposureTime, fNumber, focalLength, iso, flash;
};

// A decoded-enough preview: JPEG bytes as stored, or a packed 24-bit BGR DIB.
struct RawPreview {
    enum class Kind { Jpeg, PackedDib } kind = Kind::Jpeg;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bytes;
};

struct RawShootingData {
    std::string make, model;
    double flash = 0, iso = 0, shutter = 0, aperture = 0, focalLength = 0;
    int64_t timestamp = 0;
    int flip = -1;
};

// Not safe for concurrent use; instances share nothing (each parse uses its own LibRaw object),
// so different instances may be used on different threads. Between calls no file is held open.
class RawFile {
  public:
    explicit RawFile(std::string fileName);
    ~RawFile();
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;

    // 0 when identified, else a common-library error code (also recorded as last error).
    [[nodiscard]] int identify();
    bool identified() const { return m_identified; }
    const RawShootingData& data() const { return m_data; }

    // The embedded preview, unpacked and checked on first use; null when there is none that
    // can be delivered. Owned by this object.
    const RawPreview* preview();

  private:
    [[nodiscard]] int fail(int code, const char* text);
    void takeShootingData(const RawDecoder& raw, const RawExifCapture& exif);
    void takeCiffShootingData();
    std::optional<RawPreview> unpackPreview();

    std::string m_fileName; // file-system (UTF-8) name
    bool m_identified = false;
    bool m_pixelDataReadable = false;
    uint64_t m_fileSize = 0;
    RawShootingData m_data;
    bool m_previewChecked = false;
    std::optional<RawPreview> m_preview;
};

// Flip code for an EXIF orientation 1..8 (the codes GetTiffFlip reports); nothing otherwise.
std::optional<int> flipFromOrientation(int orientation);

// True when the first bytes of a file are those of a raw container (TIFF-based raws, CRW, CR3,
// RAF, MRW, ORF, RW2, X3F) rather than of an ordinary image format such as JPEG.
bool looksLikeRawContainer(const uint8_t* head, size_t size);

} // namespace mio
