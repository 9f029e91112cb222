// SPDX-License-Identifier: MIT
// Finds the TIFF structure that holds a still image's EXIF data inside its container.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace mio::exif {

enum class Container : uint8_t { Unknown, Jpeg, Tiff, Png, WebP, Heif };

struct ExifLocation {
    Container container = Container::Unknown;
    // The TIFF header and everything after it that the IFDs may point into; empty when the
    // file is of a known container but carries no EXIF block.
    std::span<const uint8_t> tiff;
};

// Classifies the file bytes and locates the EXIF TIFF block within them (no copy).
ExifLocation locateExif(std::span<const uint8_t> file);

} // namespace mio::exif
