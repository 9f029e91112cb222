// SPDX-License-Identifier: MIT
// Helpers for the image object tests: the imaging factory, opening objects, and small image files
// written on the spot with libjpeg and libpng.
#pragma once

#include <contracts/wincodec.h>
#include <tavrelmediaio/MediaFileIO.h>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace objtest {

ComPtr<IWICImagingFactory> factory();

/// A new image object (IMediaFileIO) with OpenMedia already called; hr receives its result.
ComPtr<IMediaFileIO> open(const std::filesystem::path& path, HRESULT& hr,
                          VARIANT_BOOL readOnly = VARIANT_TRUE,
                          VARIANT_BOOL noBuffering = VARIANT_FALSE);
ComPtr<IMediaFile> asMediaFile(const ComPtr<IMediaFileIO>& object);

/// Tightly packed top-down pixels.
struct Image {
    int width = 0;
    int height = 0;
    int channels = 3; // 3 RGB, 4 RGBA
    std::vector<uint8_t> rgb;
    const uint8_t* at(int x, int y) const
    {
        return rgb.data() + (static_cast<size_t>(y) * width + x) * channels;
    }
};

/// A smooth picture with a distinct colour in each quadrant, so a flip or a swap shows.
Image testPicture(int width, int height, int channels = 3);
Image solid(int width, int height, uint8_t r, uint8_t g, uint8_t b);

struct JpegOptions {
    int xDensity = 72;
    int yDensity = 72;
    int quality = 95;
    std::vector<uint8_t> exifThumbnail; // JPEG bytes placed in IFD1 of an APP1 EXIF block
};
std::vector<uint8_t> encodeJpeg(const Image& image, const JpegOptions& options = {});
void writeJpeg(const std::filesystem::path& path, const Image& image,
               const JpegOptions& options = {});
void writePng(const std::filesystem::path& path, const Image& image);
void writeBmp24(const std::filesystem::path& path, const Image& image);

/// A PackedDib's pixel at picture row y (counted from the top): blue, green, red[, alpha].
const uint8_t* dibPixel(const BITMAPINFOHEADER* dib, int x, int y);

/// The source's pixels as tightly packed top-down 24bppBGR rows.
std::vector<uint8_t> bgrPixels(IWICBitmapSource* source, UINT& width, UINT& height);

/// Area-average downscale of tightly packed BGR rows: each output pixel is the mean of the
/// source area it covers (fractional edges weighted).
std::vector<uint8_t> boxDownscale(const std::vector<uint8_t>& bgr, UINT width, UINT height,
                                  UINT outWidth, UINT outHeight);

/// Mean and largest absolute difference between a 24-bit PackedDib and top-down BGR rows.
struct Difference {
    double mean = 0;
    int max = 0;
};
Difference compareDib(const BITMAPINFOHEADER* dib, const std::vector<uint8_t>& bgr);

} // namespace objtest
