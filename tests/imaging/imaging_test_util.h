// SPDX-License-Identifier: MIT
// Helpers for the imaging tests: a factory, decoding to vectors, in-memory sources and reference
// encoders/decoders built directly on the libraries.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "contracts/wincodec.h"

namespace imgtest {

ComPtr<IWICImagingFactory> factory();

// A decoder over an in-memory copy of `bytes` (through an IWICStream).
HRESULT decoderFromBytes(const std::vector<uint8_t>& bytes, ComPtr<IWICBitmapDecoder>& decoder);
HRESULT decoderFromFile(const std::filesystem::path& path, ComPtr<IWICBitmapDecoder>& decoder);
HRESULT firstFrame(const std::vector<uint8_t>& bytes, ComPtr<IWICBitmapFrameDecode>& frame);

struct Pixels {
    UINT width = 0;
    UINT height = 0;
    GUID format{};
    UINT stride = 0;
    std::vector<uint8_t> data;
    bool truncatedInput = false; // reference decodes only: the library padded a cut-off file
    const uint8_t* row(UINT y) const { return data.data() + size_t{stride} * y; }
};

// The whole source, tightly packed rows.
HRESULT copyAll(IWICBitmapSource* source, Pixels& out, UINT bitsPerPixel);
UINT bitsOf(REFGUID format);

// An in-memory source of known pixels (through CreateBitmapFromMemory).
ComPtr<IWICBitmap> bitmap(UINT width, UINT height, REFGUID format,
                          const std::vector<uint8_t>& rows);

// A source wrapper that records the rectangles asked of it.
class CountingSource;
struct PullLog {
    std::vector<WICRect> requests;
    uint64_t rowsPulled = 0;
    UINT maxRowsInOneCall = 0;
};
ComPtr<IWICBitmapSource> counting(IWICBitmapSource* inner, PullLog& log);

// Reference codecs, straight on the libraries.
std::vector<uint8_t> encodeJpeg(UINT width, UINT height, int components,
                                const std::vector<uint8_t>& pixels, int quality = 95,
                                bool progressive = false);
// Decodes with libjpeg at 1/denom into BGR (3 components), grey, or CMYK as stored.
Pixels decodeJpegReference(const std::vector<uint8_t>& bytes, int denom);

// Largest absolute difference between two equally shaped byte buffers.
int maxDiff(const Pixels& a, const Pixels& b);

} // namespace imgtest
