// SPDX-License-Identifier: MIT
// JPEG: header from the marker segments (no decode), pixels and EXIF thumbnail via libjpeg.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"
#include "write_file.h"

namespace mio::stillimage {
namespace {

struct JpegFrame {
    uint32_t width = 0, height = 0, components = 0, precision = 0;
    bool adobe = false;
    double xDpi = 0, yDpi = 0;
    size_t thumbOffset = 0, thumbLength = 0; // EXIF IFD1 thumbnail, file offsets
};

double rational(const ByteReader& r, size_t at)
{
    uint32_t num = 0, den = 0;
    if (!r.u32(at, num) || !r.u32(at + 4, den) || den == 0) return 0;
    return static_cast<double>(num) / den;
}

// IFD0 resolution and the IFD1 thumbnail of an EXIF block (TIFF structure at `tiff`).
void parseExif(const uint8_t* tiff, size_t size, size_t tiffFileOffset, JpegFrame& f,
               bool takeResolution)
{
    if (size < 8) return;
    ByteReader r(tiff, size, tiff[0] == 'M');
    uint32_t magic = 0, ifd = 0;
    if (!r.u16(2, magic) || magic != 42 || !r.u32(4, ifd)) return;
    double xres = 0, yres = 0;
    uint32_t unit = 2;
    for (int index = 0; index < 2 && ifd != 0; ++index) {
        uint32_t count = 0;
        if (!r.u16(ifd, count) || !r.has(ifd + 2, size_t{count} * 12 + 4)) return;
        uint32_t thumbOff = 0, thumbLen = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const size_t e = ifd + 2 + size_t{i} * 12;
            uint32_t tag = 0, type = 0, value = 0;
            r.u16(e, tag);
            r.u16(e + 2, type);
            if (type == 3)
                r.u16(e + 8, value);
            else
                r.u32(e + 8, value);
            if (index == 0) {
                if (tag == 282 && type == 5) xres = rational(r, value);
                if (tag == 283 && type == 5) yres = rational(r, value);
                if (tag == 296) unit = value;
            } else {
                if (tag == 513) thumbOff = value;
                if (tag == 514) thumbLen = value;
            }
        }
        if (index == 1 && thumbOff && thumbLen && r.has(thumbOff, thumbLen)) {
            f.thumbOffset = tiffFileOffset + thumbOff;
            f.thumbLength = thumbLen;
        }
        uint32_t next = 0;
        if (!r.u32(ifd + 2 + size_t{count} * 12, next) || next <= ifd) break;
        ifd = next;
    }
    if (takeResolution && (unit == 2 || unit == 3)) {
        const double scale = unit == 3 ? 2.54 : 1.0;
        f.xDpi = xres * scale;
        f.yDpi = yres * scale;
    }
}

// Walks the segments up to the first frame header. Returns false when no frame header is
// found inside the data.
bool walkSegments(const uint8_t* data, size_t size, size_t fileOffset, JpegFrame& f, bool withExif)
{
    ByteReader r(data, size, true);
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    size_t at = 2;
    bool jfifUnits = false;
    while (at + 4 <= size) {
        if (data[at] != 0xFF) return false;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {
            ++at; // fill byte
            continue;
        }
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return false; // image data before any frame
        uint32_t len = 0;
        if (!r.u16(at + 2, len) || len < 2 || !r.has(at + 2, len)) return false;
        const uint8_t* seg = data + at + 4;
        const size_t segLen = len - 2;
        const bool sof =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof) {
            if (segLen < 6) return false;
            f.precision = seg[0];
            f.height = uint32_t{seg[1]} << 8 | seg[2];
            f.width = uint32_t{seg[3]} << 8 | seg[4];
            f.components = seg[5];
            return true;
        }
        if (marker == 0xE0 && segLen >= 12 && std::memcmp(seg, "JFIF\0", 5) == 0) {
            const uint8_t units = seg[7];
            const double x = (seg[8] << 8) | seg[9], y = (seg[10] << 8) | seg[11];
            if (units == 1 || units == 2) {
                const double scale = units == 2 ? 2.54 : 1.0;
                f.xDpi = x * scale;
                f.yDpi = y * scale;
                jfifUnits = true;
            }
        } else if (withExif && marker == 0xE1 && segLen > 6 &&
                   std::memcmp(seg, "Exif\0\0", 6) == 0) {
            parseExif(seg + 6, segLen - 6, fileOffset + at + 4 + 6, f, !jfifUnits);
        } else if (marker == 0xEE && segLen >= 12 && std::memcmp(seg, "Adobe", 5) == 0) {
            f.adobe = true;
        }
        at += 2 + len;
    }
    return false;
}

ImageDesc descFor(const JpegFrame& f)
{
    ImageDesc d;
    d.width = static_cast<int32_t>(f.width);
    d.height = static_cast<int32_t>(f.height);
    d.xDpi = f.xDpi;
    d.yDpi = f.yDpi;
    if (f.components == 1) {
        d.bitCount = 8;
        d.colorType = QF_COLOR_GREY8;
    } else if (f.components == 4) {
        d.bitCount = 32;
        d.colorType = QF_COLOR_CMYK32;
    } else {
        d.bitCount = 24;
        d.colorType = QF_COLOR_RGB;
    }
    return d;
}

int parseJpeg(Bytes file, HeaderInfo& info)
{
    JpegFrame f;
    if (!walkSegments(file.data, file.size, 0, f, true))
        return fail(kLibErrCorrupt, "corrupt or truncated data: no JPEG frame header");
    if (f.precision != 8)
        return fail(kLibErrUnsupported,
                    "unsupported JPEG: " + std::to_string(f.precision) + "-bit samples");
    if (f.components != 1 && f.components != 3 && f.components != 4)
        return fail(kLibErrUnsupported,
                    "unsupported JPEG: " + std::to_string(f.components) + " components");
    if (!sizeAcceptable(f.width, f.height)) return fail(kLibErrCorrupt, "image size out of range");
    info.main = descFor(f);
    if (f.thumbLength) {
        JpegFrame t;
        if (walkSegments(file.data + f.thumbOffset, f.thumbLength, f.thumbOffset, t, false) &&
            t.precision == 8 && (t.components == 1 || t.components == 3) &&
            sizeAcceptable(t.width, t.height)) {
            info.hasPreview = true;
            info.preview = descFor(t);
            info.preview.xDpi = f.xDpi;
            info.preview.yDpi = f.yDpi;
        }
    }
    return 1;
}

struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool hitEnd; // libjpeg only warns when the data ends early, and pads with grey
};

void onJpegError(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<JpegError*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    longjmp(err->jump, 1);
}

void onJpegMessage(j_common_ptr cinfo, int level)
{
    auto* err = reinterpret_cast<JpegError*>(cinfo->err);
    if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) err->hitEnd = true;
}

enum DecodeResult { kDecodeOk = 1, kDecodeLibError = 0, kDecodeStopped = -1 };

// libjpeg reports errors by longjmp: every local here is trivially destructible.
DecodeResult decodeRows(const uint8_t* data, size_t size, bool invertCmyk, RowSink& sink,
                        char* message)
{
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    err.mgr.emit_message = onJpegMessage;
    err.message[0] = '\0';
    err.hitEnd = false;
    volatile DecodeResult result = kDecodeOk;
    if (setjmp(err.jump)) {
        std::memcpy(message, err.message, sizeof(err.message));
        jpeg_destroy_decompress(&cinfo);
        return kDecodeLibError;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.num_components == 4)
        cinfo.out_color_space = JCS_CMYK;
    else if (cinfo.num_components == 1)
        cinfo.out_color_space = JCS_GRAYSCALE;
    else
        cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    if (static_cast<int32_t>(cinfo.output_width) != sink.width() ||
        static_cast<int32_t>(cinfo.output_height) != sink.height()) {
        std::strcpy(message, "frame size differs from the header");
        jpeg_destroy_decompress(&cinfo);
        return kDecodeLibError;
    }
    const JDIMENSION stride = cinfo.output_width * static_cast<JDIMENSION>(cinfo.output_components);
    JSAMPARRAY buffer =
        (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, stride, 1);
    while (cinfo.output_scanline < cinfo.output_height) {
        const auto y = static_cast<int32_t>(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, buffer, 1);
        if (invertCmyk) {
            for (JDIMENSION i = 0; i < stride; ++i)
                buffer[0][i] = static_cast<JSAMPLE>(255 - buffer[0][i]);
        }
        if (err.hitEnd) {
            std::strcpy(message, "premature end of data");
            jpeg_destroy_decompress(&cinfo);
            return kDecodeLibError;
        }
        if (!sink.put(y, buffer[0])) {
            result = kDecodeStopped;
            break;
        }
    }
    if (result == kDecodeOk) jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return result;
}

int readJpeg(Bytes file, const HeaderInfo& info, Part part, RowSink& sink)
{
    if (part == Part::Mask) return fail(kLibErrArgument, "JPEG images have no mask");
    const uint8_t* data = file.data;
    size_t size = file.size;
    JpegFrame f;
    walkSegments(file.data, file.size, 0, f, true);
    if (part == Part::Preview) {
        if (!info.hasPreview) return fail(kLibErrArgument, "the file has no preview image");
        data += f.thumbOffset;
        size = f.thumbLength;
    }
    // The library hands over CMYK inverted (255 = no ink), the form Adobe files store.
    const bool invert = info.main.colorType == QF_COLOR_CMYK32 && part == Part::Main && !f.adobe;
    char message[JMSG_LENGTH_MAX] = {};
    switch (decodeRows(data, size, invert, sink, message)) {
    case kDecodeOk:
        return 1;
    case kDecodeStopped:
        return fail(kLibErrGeneric, "reading stopped");
    default:
        return fail(kLibErrCorrupt, std::string("corrupt or truncated data: ") + message);
    }
}

// ---- writing ----

struct RowPull {
    RgbRowReader* rgb;
    RowSource* source;
    bool grey;
};

// Compresses `height` rows pulled from `pull` into `out`, or into malloc'd memory when `out` is
// null. libjpeg reports errors by longjmp: every local here is trivially destructible.
int encodeRows(FILE* out, unsigned char** mem, unsigned long* memSize, RowPull& pull, int32_t width,
               int32_t height, int quality, double dpi, const uint8_t* app1, size_t app1Size,
               uint8_t* row, char* message)
{
    jpeg_compress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    err.message[0] = '\0';
    if (setjmp(err.jump)) {
        std::memcpy(message, err.message, sizeof(err.message));
        jpeg_destroy_compress(&cinfo);
        return 0;
    }
    jpeg_create_compress(&cinfo);
    if (out)
        jpeg_stdio_dest(&cinfo, out);
    else
        jpeg_mem_dest(&cinfo, mem, memSize);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = pull.grey ? 1 : 3;
    cinfo.in_color_space = pull.grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (dpi >= 1 && dpi < 65536) {
        cinfo.density_unit = 1;
        cinfo.X_density = cinfo.Y_density = static_cast<UINT16>(dpi + 0.5);
    }
    jpeg_start_compress(&cinfo, TRUE);
    if (app1Size) jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1, static_cast<unsigned>(app1Size));
    for (int32_t y = 0; y < height; ++y) {
        bool ok;
        if (pull.grey) {
            const uint8_t* in = pull.source->row(y);
            ok = in != nullptr;
            if (ok) std::memcpy(row, in, static_cast<size_t>(width));
        } else {
            ok = pull.rgb->rgb(y, row);
        }
        if (!ok) {
            std::strcpy(message, "the caller supplied no pixel rows");
            jpeg_destroy_compress(&cinfo);
            return 0;
        }
        JSAMPROW rows[1] = {row};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return 1;
}

bool isGreyRamp(const ImageDesc& d)
{
    if (d.bitCount != 8 || d.palette.count != 256) return false;
    for (int i = 0; i < 256; ++i) {
        const Rgb& c = d.palette.entries[i];
        if (c.r != i || c.g != i || c.b != i) return false;
    }
    return true;
}

// Builds the EXIF block that carries a JPEG thumbnail in IFD1.
std::vector<uint8_t> exifWithThumbnail(const std::vector<uint8_t>& thumb)
{
    std::vector<uint8_t> b = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0};
    auto u16 = [&](uint32_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto u32 = [&](uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    auto entry = [&](uint32_t tag, uint32_t type, uint32_t value) {
        u16(tag);
        u16(type);
        u32(1);
        u32(value);
    };
    // IFD0 at 8: orientation only; IFD1 follows at 8 + 2 + 12 + 4 = 26.
    u16(1);
    entry(274, 3, 1);
    u32(26);
    // IFD1: compression 6 (JPEG), offset and length of the thumbnail after the IFD.
    const uint32_t thumbAt = 26 + 2 + 3 * 12 + 4;
    u16(3);
    entry(259, 3, 6);
    entry(513, 4, thumbAt);
    entry(514, 4, static_cast<uint32_t>(thumb.size()));
    u32(0);
    b.insert(b.end(), thumb.begin(), thumb.end());
    return b;
}

int writeJpeg(const WriteJob& job, RowSource& mainRows, RowSource* previewRows)
{
    std::vector<uint8_t> app1;
    char message[JMSG_LENGTH_MAX] = {};
    if (previewRows) {
        RgbRowReader rgb{*previewRows, job.preview};
        RowPull pull{&rgb, previewRows, false};
        std::vector<uint8_t> row(static_cast<size_t>(job.preview.width) * 3);
        unsigned char* mem = nullptr;
        unsigned long memSize = 0;
        const int ok = encodeRows(nullptr, &mem, &memSize, pull, job.preview.width,
                                  job.preview.height, 75, 0, nullptr, 0, row.data(), message);
        std::vector<uint8_t> thumb;
        if (ok && mem) thumb.assign(mem, mem + memSize);
        std::free(mem);
        if (!ok) return fail(kLibErrGeneric, std::string("cannot write the preview: ") + message);
        // A thumbnail must fit one APP1 segment with the EXIF structure around it.
        if (thumb.size() < 65000) app1 = exifWithThumbnail(thumb);
    }
    OutputFile out;
    if (!out.open(job.path)) return 0;
    RgbRowReader rgb{mainRows, job.main};
    RowPull pull{&rgb, &mainRows, isGreyRamp(job.main)};
    std::vector<uint8_t> row(static_cast<size_t>(job.main.width) * 3);
    const int ok =
        encodeRows(out.stream(), nullptr, nullptr, pull, job.main.width, job.main.height,
                   job.jpegQuality, job.main.xDpi, app1.data(), app1.size(), row.data(), message);
    if (!ok) return fail(kLibErrGeneric, std::string("cannot write JPEG: ") + message);
    return out.commit();
}

} // namespace

bool jpegFrameSize(const uint8_t* data, size_t size, int32_t& width, int32_t& height,
                   int32_t& components)
{
    JpegFrame f;
    if (!walkSegments(data, size, 0, f, false) || f.precision != 8) return false;
    width = static_cast<int32_t>(f.width);
    height = static_cast<int32_t>(f.height);
    components = static_cast<int32_t>(f.components);
    return sizeAcceptable(width, height);
}

int decodeJpegRows(const uint8_t* data, size_t size, RowSink& sink)
{
    char message[JMSG_LENGTH_MAX] = {};
    switch (decodeRows(data, size, false, sink, message)) {
    case kDecodeOk:
        return 1;
    case kDecodeStopped:
        return fail(kLibErrGeneric, "reading stopped");
    default:
        return fail(kLibErrCorrupt, std::string("corrupt or truncated data: ") + message);
    }
}

extern const CodecOps kJpegOps = {parseJpeg, readJpeg, writeJpeg};

} // namespace mio::stillimage
