// SPDX-License-Identifier: MIT
// Conversion of engine bitmaps to RGBA and the PNG (libpng) and BMP writers.
#include "picture.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

namespace mediaio {

namespace {

// Above this many pixels a thumbnail is not plausible and allocating for it is refused.
constexpr uint64_t kMaxPixels = 64ull * 1024 * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

unsigned shiftOf(uint32_t mask)
{
    unsigned shift = 0;
    while (mask && !(mask & 1u)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

uint8_t scaleChannel(uint32_t pixel, uint32_t mask)
{
    if (!mask) return 0;
    const uint32_t value = (pixel & mask) >> shiftOf(mask);
    const uint32_t max = mask >> shiftOf(mask);
    return static_cast<uint8_t>((value * 255u + max / 2) / max);
}

} // namespace

bool pictureFromDib(const BITMAPINFOHEADER* dib, Picture& out, std::string& error)
{
    out = Picture{};
    if (!dib) {
        error = "the engine returned no bitmap";
        return false;
    }
    // The block's own size bounds every read below.
    const HGLOBAL block = GlobalHandle(dib);
    const uint64_t available = block ? GlobalSize(block) : 0;
    if (available < sizeof(BITMAPINFOHEADER) || dib->biSize < sizeof(BITMAPINFOHEADER) ||
        dib->biSize > available) {
        error = "the engine returned a malformed bitmap header";
        return false;
    }
    const int64_t width = dib->biWidth;
    const int64_t signedHeight = dib->biHeight;
    const unsigned bits = dib->biBitCount;
    const bool topDown = signedHeight < 0;
    const uint64_t height = static_cast<uint64_t>(topDown ? -signedHeight : signedHeight);
    if (width <= 0 || height == 0 || static_cast<uint64_t>(width) * height > kMaxPixels) {
        error = "the engine returned a bitmap of unusable size";
        return false;
    }
    const bool bitfields = dib->biCompression == BI_BITFIELDS && (bits == 16 || bits == 32);
    if (dib->biCompression != BI_RGB && !bitfields) {
        error = "the engine returned a compressed bitmap";
        return false;
    }
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        error = "the engine returned a bitmap of " + std::to_string(bits) + " bits a pixel";
        return false;
    }
    const auto* base = reinterpret_cast<const uint8_t*>(dib);
    uint64_t offset = dib->biSize;
    uint32_t masks[4] = {0, 0, 0, 0};
    if (bits == 16) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
    } else if (bits == 32) {
        masks[0] = 0x00FF0000;
        masks[1] = 0x0000FF00;
        masks[2] = 0x000000FF;
        masks[3] = 0xFF000000;
    }
    if (bitfields) {
        // The three masks follow a plain 40-byte header; larger headers carry them inside.
        if (dib->biSize == sizeof(BITMAPINFOHEADER)) {
            if (offset + 12 > available) {
                error = "the engine returned a truncated bitmap";
                return false;
            }
            std::memcpy(masks, base + offset, 12);
            offset += 12;
        } else if (dib->biSize >= 52) {
            std::memcpy(masks, base + 40, dib->biSize >= 56 ? 16 : 12);
        }
        if (bits == 16) masks[3] = 0;
    }
    std::vector<RGBQUAD> palette;
    if (bits <= 8) {
        const uint32_t colours = dib->biClrUsed ? dib->biClrUsed : (1u << bits);
        if (colours > (1u << bits) || offset + uint64_t{colours} * 4 > available) {
            error = "the engine returned a bitmap with a bad colour table";
            return false;
        }
        palette.resize(colours);
        std::memcpy(palette.data(), base + offset, uint64_t{colours} * 4);
        offset += uint64_t{colours} * 4;
    }
    const uint64_t stride = ((static_cast<uint64_t>(width) * bits + 31) / 32) * 4;
    if (offset + stride * height > available) {
        error = "the engine returned a truncated bitmap";
        return false;
    }
    out.width = static_cast<uint32_t>(width);
    out.height = static_cast<uint32_t>(height);
    out.rgba.assign(static_cast<size_t>(width) * height * 4, 0);
    bool anyAlpha = false;
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* row = base + offset + stride * (topDown ? y : height - 1 - y);
        uint8_t* dst = out.rgba.data() + y * static_cast<uint64_t>(width) * 4;
        for (uint64_t x = 0; x < static_cast<uint64_t>(width); ++x, dst += 4) {
            if (bits <= 8) {
                const uint64_t bitPos = x * bits;
                const unsigned shift = static_cast<unsigned>(8 - bits - bitPos % 8);
                const unsigned index = (row[bitPos / 8] >> shift) & ((1u << bits) - 1);
                const RGBQUAD colour = index < palette.size() ? palette[index] : RGBQUAD{};
                dst[0] = colour.rgbRed;
                dst[1] = colour.rgbGreen;
                dst[2] = colour.rgbBlue;
                dst[3] = 255;
            } else if (bits == 24) {
                const uint8_t* p = row + x * 3;
                dst[0] = p[2];
                dst[1] = p[1];
                dst[2] = p[0];
                dst[3] = 255;
            } else {
                uint32_t pixel = 0;
                if (bits == 16)
                    pixel = static_cast<uint32_t>(row[x * 2] | (row[x * 2 + 1] << 8));
                else
                    std::memcpy(&pixel, row + x * 4, 4);
                dst[0] = scaleChannel(pixel, masks[0]);
                dst[1] = scaleChannel(pixel, masks[1]);
                dst[2] = scaleChannel(pixel, masks[2]);
                dst[3] = masks[3] ? scaleChannel(pixel, masks[3]) : 255;
                if (masks[3] && dst[3] != 0) anyAlpha = true;
            }
        }
    }
    // A 32-bit bitmap whose fourth byte is zero everywhere is plain BGR, not invisible.
    if (masks[3] && bits == 32) {
        if (anyAlpha) {
            out.hasAlpha = true;
        } else {
            for (size_t i = 3; i < out.rgba.size(); i += 4)
                out.rgba[i] = 255;
        }
    }
    return true;
}

namespace {

// Keeps the setjmp frame free of objects with destructors: libpng longjmps on errors.
bool pngEncode(std::FILE* file, const Picture& picture, const TextChunks& texts,
               const uint8_t* const* rows, char* message, size_t messageSize)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        std::snprintf(message, messageSize, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::snprintf(message, messageSize, "PNG encoding failed");
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, picture.width, picture.height, 8,
                 picture.hasAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_text chunks[8];
    const size_t count = std::min<size_t>(texts.size(), 8);
    for (size_t i = 0; i < count; ++i) {
        chunks[i] = png_text{};
        chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
        chunks[i].key = const_cast<char*>(texts[i].first.c_str());
        chunks[i].text = const_cast<char*>(texts[i].second.c_str());
        chunks[i].text_length = texts[i].second.size();
    }
    if (count) png_set_text(png, info, chunks, static_cast<int>(count));
    png_write_info(png, info);
    if (!picture.hasAlpha) png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_image(png, const_cast<png_bytepp>(rows));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::string lowerExtension(const std::string& path)
{
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

void putLe(std::vector<uint8_t>& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace

bool writePng(const std::string& path, const Picture& picture, const TextChunks& texts,
              std::string& error)
{
    UniqueFile file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<const uint8_t*> rows(picture.height);
    for (uint32_t y = 0; y < picture.height; ++y)
        rows[y] = picture.rgba.data() + static_cast<size_t>(y) * picture.width * 4;
    char message[128] = {};
    const bool ok = pngEncode(file.get(), picture, texts, rows.data(), message, sizeof message);
    const bool closed = std::fclose(file.release()) == 0;
    if (!ok || !closed) {
        error = "cannot write " + path + ": " + (ok ? std::string("write error") : message);
        std::remove(path.c_str());
        return false;
    }
    return true;
}

bool writeBmp(const std::string& path, const Picture& picture, std::string& error)
{
    // 32-bit BGRA with a V3-sized header would be read wrongly by many programs; a picture
    // with alpha is written as 32-bit BI_RGB (alpha in the fourth byte), one without as 24-bit.
    const uint32_t bits = picture.hasAlpha ? 32 : 24;
    const uint64_t stride = ((uint64_t{picture.width} * bits + 31) / 32) * 4;
    const uint64_t imageSize = stride * picture.height;
    const uint64_t fileSize = 14 + 40 + imageSize;
    if (fileSize > std::numeric_limits<uint32_t>::max()) {
        error = "picture too large for BMP";
        return false;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(fileSize));
    bytes.push_back('B');
    bytes.push_back('M');
    putLe(bytes, fileSize, 4);
    putLe(bytes, 0, 4);
    putLe(bytes, 54, 4);
    putLe(bytes, 40, 4);
    putLe(bytes, picture.width, 4);
    putLe(bytes, picture.height, 4);
    putLe(bytes, 1, 2);
    putLe(bytes, bits, 2);
    putLe(bytes, BI_RGB, 4);
    putLe(bytes, imageSize, 4);
    putLe(bytes, 2835, 4); // 72 dpi
    putLe(bytes, 2835, 4);
    putLe(bytes, 0, 4);
    putLe(bytes, 0, 4);
    for (uint32_t y = picture.height; y-- > 0;) {
        const uint8_t* src = picture.rgba.data() + static_cast<size_t>(y) * picture.width * 4;
        const size_t rowStart = bytes.size();
        for (uint32_t x = 0; x < picture.width; ++x, src += 4) {
            bytes.push_back(src[2]);
            bytes.push_back(src[1]);
            bytes.push_back(src[0]);
            if (bits == 32) bytes.push_back(src[3]);
        }
        bytes.resize(rowStart + static_cast<size_t>(stride), 0);
    }
    UniqueFile file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
        error = "cannot write " + path;
        std::remove(path.c_str());
        return false;
    }
    return true;
}

bool writePicture(const std::string& path, const Picture& picture, const TextChunks& texts,
                  std::string& error)
{
    const std::string ext = lowerExtension(path);
    if (ext == ".png") return writePng(path, picture, texts, error);
    if (ext == ".bmp") return writeBmp(path, picture, error);
    error = "cannot write " + path + ": the output name must end in .png or .bmp";
    return false;
}

Picture samplePicture(uint32_t width, uint32_t height)
{
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.hasAlpha = true;
    picture.rgba.resize(static_cast<size_t>(width) * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = picture.rgba.data() + (static_cast<size_t>(y) * width + x) * 4;
            p[0] = static_cast<uint8_t>(x * 255 / std::max(1u, width - 1));
            p[1] = static_cast<uint8_t>(y * 255 / std::max(1u, height - 1));
            p[2] = static_cast<uint8_t>(((x / 16 + y / 16) & 1) ? 200 : 40);
            // The top-left quarter fades out, so alpha handling shows in every viewer.
            const bool fading = x < width / 4 && y < height / 4; // width / 4 > 0 here
            p[3] = static_cast<uint8_t>(fading ? x * 255 / (width / 4) : 255u);
        }
    }
    return picture;
}

} // namespace mediaio
