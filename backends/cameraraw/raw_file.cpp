// SPDX-License-Identifier: MIT
// LibRaw-backed identification and shooting data of one camera raw file.
#include "raw_file.h"

#include "ciff_reader.h"

#include "contracts/common_library.h"

#include <libraw.h>
#include <turbojpeg.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace mio {

// LibRaw with a look at how it would unpack the embedded preview. Only the plain loaders are
// trusted with file-derived sizes: the layered, 16-bit and maker-specific ones read more
// than they allocate on crafted input (seen under AddressSanitizer with LibRaw 0.20).
class RawDecoder : public LibRaw {
  public:
    using LibRaw::LibRaw;

    enum class PreviewLoader { Unsupported, Jpeg, Rgb8 };

    PreviewLoader previewLoader() const
    {
        if (thumb_load_raw) return PreviewLoader::Unsupported;
        if (write_thumb == &RawDecoder::jpeg_thumb) return PreviewLoader::Jpeg;
        if (write_thumb == &RawDecoder::ppm_thumb) return PreviewLoader::Rgb8;
        return PreviewLoader::Unsupported;
    }
    int64_t previewOffset() const
    {
        return static_cast<int64_t>(libraw_internal_data.internal_data.toffset);
    }
};

namespace {

// LibRaw's own error printing to stderr is switched off; failures become our codes.
std::unique_ptr<RawDecoder> newDecoder()
{
    return std::make_unique<RawDecoder>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                        LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
}

// Previews beyond this are refused rather than allocated; real ones are a few MB at most.
constexpr uint64_t kMaxPreviewBytes = 64u << 20;
constexpr size_t kMaxExifText = 256;

enum class IfdKind { Ifd0, ExifSubIfd, Other };

// LibRaw reports IFD0 entries of TIFF structures with (ifd index + 1) << 20 added to the tag,
// Panasonic RW2 IFD0 entries with 0x30000, and entries of the EXIF sub-IFD as the bare tag.
IfdKind ifdOf(int fullTag)
{
    const unsigned tag = static_cast<unsigned>(fullTag);
    if (tag < 0x10000u) return IfdKind::ExifSubIfd;
    if ((tag >> 20) == 1u || (tag >> 16) == 3u) return IfdKind::Ifd0;
    return IfdKind::Other;
}

struct StreamReader {
    LibRaw_abstract_datastream* stream;
    bool bigEndian;

    bool read(void* out, size_t bytes)
    {
        return stream->read(out, 1, static_cast<int>(bytes)) == static_cast<int>(bytes);
    }
    std::optional<uint32_t> u32()
    {
        uint8_t b[4];
        if (!read(b, 4)) return std::nullopt;
        return bigEndian
                   ? (uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3])
                   : (uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 | b[0]);
    }
    std::optional<uint32_t> u16()
    {
        uint8_t b[2];
        if (!read(b, 2)) return std::nullopt;
        return bigEndian ? (uint32_t{b[0]} << 8 | b[1]) : (uint32_t{b[1]} << 8 | b[0]);
    }
    // SHORT or LONG, the first value.
    std::optional<double> integer(int type)
    {
        if (type == 3) return u16();
        if (type == 4) return u32();
        return std::nullopt;
    }
    // RATIONAL, the first value; a zero denominator is no value.
    std::optional<double> rational(int type)
    {
        if (type != 5) return std::nullopt;
        const auto num = u32();
        const auto den = u32();
        if (!num || !den || *den == 0) return std::nullopt;
        return static_cast<double>(*num) / static_cast<double>(*den);
    }
    std::optional<std::string> text(int type, int count)
    {
        if (type != 2 || count <= 0) return std::nullopt;
        std::string value(std::min(static_cast<size_t>(count), kMaxExifText), '\0');
        if (!read(value.data(), value.size())) return std::nullopt;
        value.resize(std::strlen(value.c_str()));
        while (!value.empty() && (value.back() == ' '))
            value.pop_back();
        return value;
    }
};

template <typename T> void keepFirst(std::optional<T>& slot, std::optional<T> value)
{
    if (!slot && value) slot = std::move(value);
}

// Called by LibRaw for every TIFF entry it parses, with the stream at the entry's value.
void captureExifEntry(void* context, int fullTag, int type, int count, unsigned int order,
                      void* stream, INT64 /*base*/)
{
    auto* capture = static_cast<RawExifCapture*>(context);
    auto* data = static_cast<LibRaw_abstract_datastream*>(stream);
    const IfdKind ifd = ifdOf(fullTag);
    if (!data || ifd == IfdKind::Other || count <= 0) return;
    const INT64 position = data->tell();
    StreamReader reader{data, order == 0x4D4D};
    try {
        switch (fullTag & 0xFFFF) {
        case 0x010F:
            if (ifd == IfdKind::Ifd0) keepFirst(capture->make, reader.text(type, count));
            break;
        case 0x0110:
            if (ifd == IfdKind::Ifd0) keepFirst(capture->model, reader.text(type, count));
            break;
        case 0x0112:
            if (ifd == IfdKind::Ifd0) {
                const auto value = reader.integer(type);
                if (value) keepFirst(capture->orientation, std::optional<int>(int(*value)));
            }
            break;
        // Exposure data: the EXIF sub-IFD is authoritative; a few containers (Kodak) keep
        // these in IFD0 only, which is taken when the sub-IFD has none.
        case 0x829A:
            if (ifd == IfdKind::ExifSubIfd)
                capture->exposureTime = reader.rational(type);
            else
                keepFirst(capture->exposureTime, reader.rational(type));
            break;
        case 0x829D:
            if (ifd == IfdKind::ExifSubIfd)
                capture->fNumber = reader.rational(type);
            else
                keepFirst(capture->fNumber, reader.rational(type));
            break;
        case 0x920A:
            if (ifd == IfdKind::ExifSubIfd)
                capture->focalLength = reader.rational(type);
            else
                keepFirst(capture->focalLength, reader.rational(type));
            break;
        case 0x8827:
            if (ifd == IfdKind::ExifSubIfd)
                capture->iso = reader.integer(type);
            else
                keepFirst(capture->iso, reader.integer(type));
            break;
        case 0x9209:
            if (ifd == IfdKind::ExifSubIfd)
                capture->flash = reader.integer(type);
            else
                keepFirst(capture->flash, reader.integer(type));
            break;
        default:
            break;
        }
    } catch (...) {
        // A failed read only loses this entry; LibRaw's own value stays in use.
    }
    data->seek(position, SEEK_SET);
}

struct TjHandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};

// Width and height from a JPEG header, or nothing when the bytes are not a decodable JPEG.
std::optional<std::pair<int, int>> jpegSize(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return std::nullopt;
    std::unique_ptr<void, TjHandleDeleter> tj(tjInitDecompress());
    if (!tj) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(tj.get(), bytes.data(), static_cast<unsigned long>(bytes.size()),
                            &width, &height, &subsampling, &colorspace) != 0)
        return std::nullopt;
    if (width <= 0 || height <= 0) return std::nullopt;
    return std::make_pair(width, height);
}

// A packed DIB (24-bit BGR, bottom-up, rows padded to 4) from top-down RGB or grey pixels.
std::optional<RawPreview> packedDibFrom(const uint8_t* pixels, uint64_t available, int width,
                                        int height, int colors)
{
    if (width <= 0 || height <= 0 || (colors != 1 && colors != 3)) return std::nullopt;
    const uint64_t w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    if (w * h * static_cast<uint64_t>(colors) > available) return std::nullopt;
    const uint64_t stride = (w * 3 + 3) & ~uint64_t{3};
    const uint64_t total = sizeof(BITMAPINFOHEADER) + stride * h;
    if (w > 0xFFFFu || h > 0xFFFFu || total > kMaxPreviewBytes) return std::nullopt;

    RawPreview preview;
    preview.kind = RawPreview::Kind::PackedDib;
    preview.width = width;
    preview.height = height;
    preview.bytes.assign(static_cast<size_t>(total), 0);
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(stride * h);
    std::memcpy(preview.bytes.data(), &header, sizeof header);
    uint8_t* rows = preview.bytes.data() + sizeof header;
    for (uint64_t y = 0; y < h; ++y) {
        const uint8_t* src = pixels + y * w * static_cast<uint64_t>(colors);
        uint8_t* dst = rows + (h - 1 - y) * stride;
        for (uint64_t x = 0; x < w; ++x, src += colors, dst += 3) {
            dst[0] = src[colors == 3 ? 2 : 0];
            dst[1] = src[colors == 3 ? 1 : 0];
            dst[2] = src[0];
        }
    }
    return preview;
}

bool startsWith(const uint8_t* head, size_t size, size_t offset, const char* magic)
{
    const size_t length = std::strlen(magic);
    return size >= offset + length && std::memcmp(head + offset, magic, length) == 0;
}

} // namespace

std::optional<int> flipFromOrientation(int orientation)
{
    static constexpr int kFlips[] = {0, 1, 3, 2, 4, 6, 7, 5};
    if (orientation < 1 || orientation > 8) return std::nullopt;
    return kFlips[orientation - 1];
}

bool looksLikeRawContainer(const uint8_t* head, size_t size)
{
    static const uint8_t kTiffLittle[] = {'I', 'I', 0x2A, 0x00};
    static const uint8_t kTiffBig[] = {'M', 'M', 0x00, 0x2A};
    static const uint8_t kRw2[] = {'I', 'I', 'U', 0x00};
    static const uint8_t kMrw[] = {0x00, 'M', 'R', 'M'};
    if (size >= 4 &&
        (std::memcmp(head, kTiffLittle, 4) == 0 || std::memcmp(head, kTiffBig, 4) == 0 ||
         std::memcmp(head, kRw2, 4) == 0 || std::memcmp(head, kMrw, 4) == 0))
        return true;
    return startsWith(head, size, 0, "IIRO") || startsWith(head, size, 0, "IIRS") ||
           startsWith(head, size, 0, "MMOR") || startsWith(head, size, 6, "HEAPCCDR") ||
           startsWith(head, size, 4, "ftypcrx ") || startsWith(head, size, 0, "FUJIFILM") ||
           startsWith(head, size, 0, "FOVb");
}

RawFile::RawFile(std::string fileName) : m_fileName(std::move(fileName)) {}
RawFile::~RawFile() = default;

int RawFile::fail(int code, const char* text)
{
    mioCommonSetLastError(code, text);
    return code;
}

int RawFile::identify()
{
    m_identified = false;
    m_pixelDataReadable = false;
    m_data = {};
    m_previewChecked = false;
    m_preview.reset();

    struct stat info {};
    if (stat(m_fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return fail(kLibErrOpen, "Camera raw: the file cannot be opened");
    m_fileSize = static_cast<uint64_t>(info.st_size);

    uint8_t head[16] = {};
    size_t headSize = 0;
    if (FILE* file = std::fopen(m_fileName.c_str(), "rb")) {
        headSize = std::fread(head, 1, sizeof head, file);
        std::fclose(file);
    } else {
        return fail(kLibErrOpen, "Camera raw: the file cannot be opened");
    }

    // The decoder (about 750 KB, and the open file) lives only for this call: the preview, the
    // only thing asked later, is rare enough to pay for a second parse.
    std::unique_ptr<RawDecoder> raw = newDecoder();
    RawExifCapture exif;
    raw->set_exifparser_handler(captureExifEntry, &exif);
    const int result = raw->open_file(m_fileName.c_str());
    raw->set_exifparser_handler(nullptr, nullptr);

    if (result == LIBRAW_SUCCESS) {
        m_pixelDataReadable = true;
    } else if (result == LIBRAW_FILE_UNSUPPORTED || result == LIBRAW_IO_ERROR) {
        // Raw files whose pixel data is stripped or cut off still carry their shooting data;
        // ordinary images that LibRaw also parses (camera JPEGs) are told apart by container.
        if (raw->imgdata.idata.make[0] == '\0' || !looksLikeRawContainer(head, headSize))
            return fail(kLibErrFormat, "Camera raw: not a camera raw file");
    } else if (result == LIBRAW_UNSUFFICIENT_MEMORY) {
        return fail(kLibErrMemory, "Camera raw: out of memory");
    } else {
        return fail(kLibErrCorrupt, "Camera raw: the file's data is damaged");
    }

    takeShootingData(*raw, exif);
    if (startsWith(head, headSize, 6, "HEAPCCDR")) takeCiffShootingData();
    m_identified = true;
    return 0;
}

// CIFF (CRW) has no EXIF block: LibRaw names the camera by its own model table and derives
// exposure from the camera's target values, so the file's own records are read instead.
void RawFile::takeCiffShootingData()
{
    if (const auto ciff = readCiffShootingData(m_fileName)) {
        if (ciff->make && !ciff->make->empty()) m_data.make = *ciff->make;
        if (ciff->model && !ciff->model->empty()) m_data.model = *ciff->model;
        if (ciff->fNumber) m_data.aperture = *ciff->fNumber;
        if (ciff->exposureTime) m_data.shutter = *ciff->exposureTime;
    }
    // The capture time is the camera's wall-clock time stored as if it were UTC seconds;
    // re-express it so that a local-time conversion gives that wall-clock time back.
    if (m_data.timestamp != 0) {
        const time_t stored = static_cast<time_t>(m_data.timestamp);
        tm wallClock{};
        if (gmtime_r(&stored, &wallClock)) {
            wallClock.tm_isdst = -1;
            const time_t local = mktime(&wallClock);
            if (local != static_cast<time_t>(-1)) m_data.timestamp = static_cast<int64_t>(local);
        }
    }
}

void RawFile::takeShootingData(const RawDecoder& raw, const RawExifCapture& exif)
{
    const libraw_data_t& d = raw.imgdata;
    m_data.make = exif.make ? *exif.make : std::string(d.idata.make);
    m_data.model = exif.model ? *exif.model : std::string(d.idata.model);
    m_data.flash = exif.flash ? *exif.flash : static_cast<double>(d.color.flash_used);
    m_data.iso = exif.iso ? *exif.iso : static_cast<double>(d.other.iso_speed);
    m_data.shutter = exif.exposureTime ? *exif.exposureTime : static_cast<double>(d.other.shutter);
    m_data.aperture = exif.fNumber ? *exif.fNumber : static_cast<double>(d.other.aperture);
    m_data.focalLength =
        exif.focalLength ? *exif.focalLength : static_cast<double>(d.other.focal_len);
    m_data.timestamp = static_cast<int64_t>(d.other.timestamp);
    const std::optional<int> flip =
        exif.orientation ? flipFromOrientation(*exif.orientation) : std::nullopt;
    m_data.flip = flip ? *flip : d.sizes.flip;
    if (m_data.flip < -1 || m_data.flip > 7) m_data.flip = -1;
}

const RawPreview* RawFile::preview()
{
    if (!m_identified) return nullptr;
    if (!m_previewChecked) {
        m_previewChecked = true;
        m_preview = unpackPreview();
    }
    return m_preview ? &*m_preview : nullptr;
}

std::optional<RawPreview> RawFile::unpackPreview()
{
    // After a failed open LibRaw must not be asked for the preview (its stream is gone).
    if (!m_pixelDataReadable) return std::nullopt;
    struct stat info {};
    if (stat(m_fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    m_fileSize = static_cast<uint64_t>(info.st_size);
    std::unique_ptr<RawDecoder> raw = newDecoder();
    if (raw->open_file(m_fileName.c_str()) != LIBRAW_SUCCESS) return std::nullopt;
    const libraw_thumbnail_t& thumb = raw->imgdata.thumbnail;
    // The stated length comes from the file: refuse what the file cannot hold before LibRaw
    // allocates it.
    if (thumb.tlength == 0 || thumb.tlength > m_fileSize || thumb.tlength > kMaxPreviewBytes)
        return std::nullopt;
    const uint64_t pixels = static_cast<uint64_t>(thumb.twidth) * thumb.theight;
    if (pixels * 3 > kMaxPreviewBytes) return std::nullopt;
    const RawDecoder::PreviewLoader loader = raw->previewLoader();
    const uint64_t needed =
        loader == RawDecoder::PreviewLoader::Rgb8 ? pixels * 3 : uint64_t{thumb.tlength};
    const int64_t offset = raw->previewOffset();
    if (loader == RawDecoder::PreviewLoader::Unsupported || needed == 0 || offset <= 0 ||
        static_cast<uint64_t>(offset) > m_fileSize || needed > m_fileSize - uint64_t(offset))
        return std::nullopt;
    if (raw->unpack_thumb() != LIBRAW_SUCCESS || !thumb.thumb) return std::nullopt;

    if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG) {
        RawPreview preview;
        preview.bytes.assign(thumb.thumb, thumb.thumb + thumb.tlength);
        const auto size = jpegSize(preview.bytes);
        if (!size) return std::nullopt;
        preview.width = size->first;
        preview.height = size->second;
        return preview;
    }
    if (thumb.tformat == LIBRAW_THUMBNAIL_BITMAP)
        return packedDibFrom(reinterpret_cast<const uint8_t*>(thumb.thumb), thumb.tlength,
                             thumb.twidth, thumb.theight, thumb.tcolors);
    return std::nullopt;
}

} // namespace mio
