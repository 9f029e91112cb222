// SPDX-License-Identifier: MIT
// Codec rows, most common first. Metadata columns stay None until the query readers exist.
#include "codec_table.h"

#include <array>

#include "codecs/bmp/bmp_decoder.h"
#include "codecs/gif/gif_decoder.h"
#include "codecs/ico/ico_decoder.h"
#include "codecs/jpeg/jpeg_decoder.h"
#include "codecs/jpeg/jpeg_encoder.h"
#include "codecs/png/png_decoder.h"
#include "codecs/png/png_encoder.h"
#include "codecs/tiff/tiff_decoder.h"

namespace mio::imaging {
namespace {

constexpr const char* kJpegExt[] = {".jpg", ".jpeg", ".jpe", ".jfif"};
constexpr const char* kPngExt[] = {".png"};
constexpr const char* kGifExt[] = {".gif"};
constexpr const char* kBmpExt[] = {".bmp", ".dib"};
constexpr const char* kTiffExt[] = {".tif", ".tiff"};
constexpr const char* kIcoExt[] = {".ico"};

constexpr auto N = MetadataAccess::None;

constexpr std::array kCodecs{
    CodecEntry{&GUID_ContainerFormatJpeg, kJpegExt, sniffJpeg, createJpegDecoder, createJpegEncoder,
               N, N, N},
    CodecEntry{&GUID_ContainerFormatPng, kPngExt, sniffPng, createPngDecoder, createPngEncoder, N,
               N, N},
    CodecEntry{&GUID_ContainerFormatGif, kGifExt, sniffGif, createGifDecoder, nullptr, N, N, N},
    CodecEntry{&GUID_ContainerFormatBmp, kBmpExt, sniffBmp, createBmpDecoder, nullptr, N, N, N},
    CodecEntry{&GUID_ContainerFormatTiff, kTiffExt, sniffTiff, createTiffDecoder, nullptr, N, N, N},
    CodecEntry{&GUID_ContainerFormatIco, kIcoExt, sniffIco, createIcoDecoder, nullptr, N, N, N},
};

} // namespace

std::span<const CodecEntry> codecTable()
{
    return kCodecs;
}

const CodecEntry* findCodec(REFGUID containerFormat)
{
    for (const auto& c : kCodecs)
        if (*c.containerFormat == containerFormat) return &c;
    return nullptr;
}

const CodecEntry* sniffCodec(std::span<const uint8_t> head)
{
    for (const auto& c : kCodecs)
        if (c.sniff(head)) return &c;
    return nullptr;
}

} // namespace mio::imaging
