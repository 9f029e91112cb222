// SPDX-License-Identifier: MIT
// Helpers for the image object tests: factory, opening, file writers and pixel comparison.
#include "image_object_test_support.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "imageobject/image_file_io.h"
#include "support/test_support.h"

namespace objtest {

ComPtr<IWICImagingFactory> factory()
{
    ComPtr<IWICImagingFactory> f;
    EXPECT_EQ(
        mioImagingCreateFactory(IID_IWICImagingFactory, reinterpret_cast<void**>(f.GetAddressOf())),
        S_OK);
    return f;
}

ComPtr<IMediaFileIO> open(const std::filesystem::path& path, HRESULT& hr, VARIANT_BOOL readOnly,
                          VARIANT_BOOL noBuffering)
{
    ComPtr<IMediaFileIO> object;
    hr = mio::CImageFileIO::create(object.GetAddressOf());
    if (FAILED(hr)) return object;
    tavrel::UniqueBstr bstr(SysAllocString(support::u16(path.string()).c_str()));
    auto f = factory();
    hr = asMediaFile(object)->OpenMedia(bstr.get(), f.Get(), readOnly, noBuffering);
    return object;
}

ComPtr<IMediaFile> asMediaFile(const ComPtr<IMediaFileIO>& object)
{
    ComPtr<IMediaFile> file;
    EXPECT_EQ(object.As(&file), S_OK);
    return file;
}

Image testPicture(int width, int height, int channels)
{
    Image image{width, height, channels, {}};
    image.rgb.resize(static_cast<size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = image.rgb.data() + (static_cast<size_t>(y) * width + x) * channels;
            const bool right = x >= width / 2, bottom = y >= height / 2;
            p[0] = static_cast<uint8_t>(right ? 220 : 30 + (x * 40) / width);
            p[1] = static_cast<uint8_t>(bottom ? 200 : 40 + (y * 40) / height);
            p[2] = static_cast<uint8_t>(right && bottom ? 60 : 160);
            if (channels == 4) p[3] = static_cast<uint8_t>((x * 255) / std::max(1, width - 1));
        }
    }
    return image;
}

Image solid(int width, int height, uint8_t r, uint8_t g, uint8_t b)
{
    Image image{width, height, 3, {}};
    for (int i = 0; i < width * height; ++i)
        image.rgb.insert(image.rgb.end(), {r, g, b});
    return image;
}

namespace {

void put16(std::vector<uint8_t>& v, unsigned x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, unsigned x)
{
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// "Exif\0\0", a little-endian TIFF header, an IFD0 with one entry, and an IFD1 that points at
// the thumbnail bytes that follow it.
std::vector<uint8_t> exifWithThumbnail(const std::vector<uint8_t>& thumbnail)
{
    std::vector<uint8_t> app1 = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
    put32(app1, 8);                   // IFD0 at 8
    put16(app1, 1);                   // one entry
    put16(app1, 0x0112);              // Orientation
    put16(app1, 3);                   // SHORT
    put32(app1, 1);                   // count
    put32(app1, 1);                   // value
    put32(app1, 26);                  // IFD1 at 8 + 2 + 12 + 4
    put16(app1, 2);                   // two entries
    put16(app1, 0x0201);              // JPEGInterchangeFormat
    put16(app1, 4);                   // LONG
    put32(app1, 1);                   //
    put32(app1, 26 + 2 + 2 * 12 + 4); // thumbnail right after IFD1
    put16(app1, 0x0202);              // JPEGInterchangeFormatLength
    put16(app1, 4);                   // LONG
    put32(app1, 1);                   //
    put32(app1, static_cast<unsigned>(thumbnail.size()));
    put32(app1, 0); // no further IFD
    app1.insert(app1.end(), thumbnail.begin(), thumbnail.end());
    return app1;
}

} // namespace

std::vector<uint8_t> encodeJpeg(const Image& image, const JpegOptions& options)
{
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(image.width);
    cinfo.image_height = static_cast<JDIMENSION>(image.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    cinfo.write_JFIF_header = TRUE;
    cinfo.density_unit = 1; // per inch
    cinfo.X_density = static_cast<UINT16>(options.xDensity);
    cinfo.Y_density = static_cast<UINT16>(options.yDensity);
    jpeg_start_compress(&cinfo, TRUE);
    if (!options.exifThumbnail.empty()) {
        const auto app1 = exifWithThumbnail(options.exifThumbnail);
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1.data(), static_cast<unsigned>(app1.size()));
    }
    std::vector<uint8_t> row(static_cast<size_t>(image.width) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < image.width; ++x)
            std::memcpy(&row[static_cast<size_t>(x) * 3],
                        image.at(x, static_cast<int>(cinfo.next_scanline)), 3);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> bytes(out, out + outSize);
    std::free(out);
    return bytes;
}

void writeJpeg(const std::filesystem::path& path, const Image& image, const JpegOptions& options)
{
    support::writeFile(path, encodeJpeg(image, options));
}

void writePng(const std::filesystem::path& path, const Image& image)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = image.channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&png, path.c_str(), 0, image.rgb.data(), 0, nullptr));
}

void writeBmp24(const std::filesystem::path& path, const Image& image)
{
    const unsigned stride = (static_cast<unsigned>(image.width) * 3 + 3) & ~3u;
    const unsigned pixels = stride * static_cast<unsigned>(image.height);
    std::vector<uint8_t> b = {'B', 'M'};
    put32(b, 54 + pixels); // file size
    put32(b, 0);           // reserved
    put32(b, 54);          // pixel offset
    put32(b, 40);          // BITMAPINFOHEADER
    put32(b, static_cast<unsigned>(image.width));
    put32(b, static_cast<unsigned>(image.height)); // bottom-up
    put16(b, 1);                                   // planes
    put16(b, 24);                                  // bits
    put32(b, 0);                                   // BI_RGB
    put32(b, pixels);
    put32(b, 2835); // 72 dpi
    put32(b, 2835);
    put32(b, 0);
    put32(b, 0);
    for (int y = image.height - 1; y >= 0; --y) {
        for (int x = 0; x < image.width; ++x) {
            const uint8_t* p = image.at(x, y);
            b.insert(b.end(), {p[2], p[1], p[0]});
        }
        b.resize(b.size() + (stride - static_cast<unsigned>(image.width) * 3));
    }
    support::writeFile(path, b);
}

const uint8_t* dibPixel(const BITMAPINFOHEADER* dib, int x, int y)
{
    const size_t bytes = dib->biBitCount / 8u;
    const size_t stride = (bytes * static_cast<size_t>(dib->biWidth) + 3) & ~size_t{3};
    const auto* bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize;
    return bits + stride * static_cast<size_t>(dib->biHeight - 1 - y) + bytes * x;
}

std::vector<uint8_t> bgrPixels(IWICBitmapSource* source, UINT& width, UINT& height)
{
    auto f = factory();
    ComPtr<IWICFormatConverter> converter;
    EXPECT_EQ(f->CreateFormatConverter(converter.GetAddressOf()), S_OK);
    EXPECT_EQ(converter->Initialize(source, GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                    nullptr, 0.0, WICBitmapPaletteTypeCustom),
              S_OK);
    EXPECT_EQ(converter->GetSize(&width, &height), S_OK);
    std::vector<uint8_t> bgr(size_t{width} * height * 3);
    const WICRect all{0, 0, static_cast<INT>(width), static_cast<INT>(height)};
    EXPECT_EQ(converter->CopyPixels(&all, width * 3, static_cast<UINT>(bgr.size()), bgr.data()),
              S_OK);
    return bgr;
}

std::vector<uint8_t> boxDownscale(const std::vector<uint8_t>& bgr, UINT width, UINT height,
                                  UINT outWidth, UINT outHeight)
{
    std::vector<uint8_t> out(size_t{outWidth} * outHeight * 3);
    const double sx = double(width) / outWidth, sy = double(height) / outHeight;
    for (UINT oy = 0; oy < outHeight; ++oy) {
        const double y0 = oy * sy, y1 = y0 + sy;
        for (UINT ox = 0; ox < outWidth; ++ox) {
            const double x0 = ox * sx, x1 = x0 + sx;
            double sum[3] = {0, 0, 0}, total = 0;
            for (auto y = static_cast<UINT>(y0); y < height && y < y1; ++y) {
                const double wy = std::min<double>(y + 1, y1) - std::max<double>(y, y0);
                for (auto x = static_cast<UINT>(x0); x < width && x < x1; ++x) {
                    const double w = wy * (std::min<double>(x + 1, x1) - std::max<double>(x, x0));
                    const uint8_t* p = &bgr[(size_t{y} * width + x) * 3];
                    for (int c = 0; c < 3; ++c)
                        sum[c] += w * p[c];
                    total += w;
                }
            }
            for (int c = 0; c < 3; ++c)
                out[(size_t{oy} * outWidth + ox) * 3 + c] =
                    static_cast<uint8_t>(std::lround(sum[c] / total));
        }
    }
    return out;
}

Difference compareDib(const BITMAPINFOHEADER* dib, const std::vector<uint8_t>& bgr)
{
    Difference d;
    double sum = 0;
    for (int y = 0; y < dib->biHeight; ++y) {
        for (int x = 0; x < dib->biWidth; ++x) {
            const uint8_t* p = dibPixel(dib, x, y);
            const uint8_t* q = &bgr[(static_cast<size_t>(y) * dib->biWidth + x) * 3];
            for (int c = 0; c < 3; ++c) {
                const int diff = std::abs(p[c] - q[c]);
                sum += diff;
                d.max = std::max(d.max, diff);
            }
        }
    }
    d.mean = sum / (3.0 * dib->biWidth * dib->biHeight);
    return d;
}

} // namespace objtest
