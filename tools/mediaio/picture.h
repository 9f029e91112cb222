// SPDX-License-Identifier: MIT
// Pictures the tool writes: an engine bitmap turned into straight RGBA rows, saved as PNG or BMP.
#pragma once

#include <tavrelmediaio/MediaFileIO.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mediaio {

struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    bool hasAlpha = false;
    std::vector<uint8_t> rgba; // top-down, 4 bytes a pixel
};

// Reads a packed bitmap (header, colour table, bottom-up rows padded to 4 bytes). Every size
// is checked against the global block that holds it, so a malformed bitmap fails cleanly.
bool pictureFromDib(const BITMAPINFOHEADER* dib, Picture& out, std::string& error);

using TextChunks = std::vector<std::pair<std::string, std::string>>;

bool writePng(const std::string& path, const Picture& picture, const TextChunks& texts,
              std::string& error);
bool writeBmp(const std::string& path, const Picture& picture, std::string& error);

// PNG or BMP by the name's extension (case-insensitive); anything else is refused.
bool writePicture(const std::string& path, const Picture& picture, const TextChunks& texts,
                  std::string& error);

// The tool's own test picture: colour ramps with a transparent corner.
Picture samplePicture(uint32_t width, uint32_t height);

} // namespace mediaio
