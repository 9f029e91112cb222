// SPDX-License-Identifier: MIT
// The pixel-format table and the CopyPixels argument checks shared by every source.
#include "pixel_format.h"

#include <array>

namespace mio::imaging {
namespace {

constexpr std::array kFormats{
    PixelFormatInfo{&GUID_WICPixelFormat1bppIndexed, 1, PixelKind::Indexed, 1},
    PixelFormatInfo{&GUID_WICPixelFormat2bppIndexed, 2, PixelKind::Indexed, 1},
    PixelFormatInfo{&GUID_WICPixelFormat4bppIndexed, 4, PixelKind::Indexed, 1},
    PixelFormatInfo{&GUID_WICPixelFormat8bppIndexed, 8, PixelKind::Indexed, 1},
    PixelFormatInfo{&GUID_WICPixelFormatBlackWhite, 1, PixelKind::Gray, 1},
    PixelFormatInfo{&GUID_WICPixelFormat2bppGray, 2, PixelKind::Gray, 1},
    PixelFormatInfo{&GUID_WICPixelFormat4bppGray, 4, PixelKind::Gray, 1},
    PixelFormatInfo{&GUID_WICPixelFormat8bppGray, 8, PixelKind::Gray, 1},
    PixelFormatInfo{&GUID_WICPixelFormat16bppGray, 16, PixelKind::Gray, 1},
    PixelFormatInfo{&GUID_WICPixelFormat16bppBGR555, 16, PixelKind::Packed16, 3},
    PixelFormatInfo{&GUID_WICPixelFormat16bppBGR565, 16, PixelKind::Packed16, 3},
    PixelFormatInfo{&GUID_WICPixelFormat24bppBGR, 24, PixelKind::Bytes, 3},
    PixelFormatInfo{&GUID_WICPixelFormat24bppRGB, 24, PixelKind::Bytes, 3},
    PixelFormatInfo{&GUID_WICPixelFormat32bppBGR, 32, PixelKind::Bytes, 4},
    PixelFormatInfo{&GUID_WICPixelFormat32bppBGRA, 32, PixelKind::Bytes, 4},
    PixelFormatInfo{&GUID_WICPixelFormat32bppPBGRA, 32, PixelKind::Bytes, 4},
    PixelFormatInfo{&GUID_WICPixelFormat32bppCMYK, 32, PixelKind::Bytes, 4},
    PixelFormatInfo{&GUID_WICPixelFormat48bppRGB, 48, PixelKind::Words, 3},
    PixelFormatInfo{&GUID_WICPixelFormat64bppRGBA, 64, PixelKind::Words, 4},
};

} // namespace

std::optional<PixelFormatInfo> pixelFormatInfo(REFGUID format)
{
    for (const auto& f : kFormats)
        if (*f.guid == format) return f;
    return std::nullopt;
}

UINT rowBytes(UINT width, UINT bitsPerPixel)
{
    const uint64_t bytes = (uint64_t{width} * bitsPerPixel + 7) / 8;
    return bytes > UINT32_MAX ? 0 : static_cast<UINT>(bytes);
}

HRESULT checkCopyRequest(const WICRect* prc, UINT cbStride, UINT cbBufferSize, const BYTE* pbBuffer,
                         UINT width, UINT height, UINT bitsPerPixel, WICRect& out)
{
    if (!pbBuffer) return E_INVALIDARG;
    if (prc) {
        if (prc->X < 0 || prc->Y < 0 || prc->Width <= 0 || prc->Height <= 0) return E_INVALIDARG;
        if (uint64_t{static_cast<UINT>(prc->X)} + static_cast<UINT>(prc->Width) > width ||
            uint64_t{static_cast<UINT>(prc->Y)} + static_cast<UINT>(prc->Height) > height)
            return E_INVALIDARG;
        out = *prc;
    } else {
        if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX)
            return E_INVALIDARG;
        out = {0, 0, static_cast<INT>(width), static_cast<INT>(height)};
    }
    const UINT row = rowBytes(static_cast<UINT>(out.Width), bitsPerPixel);
    if (row == 0 || cbStride < row) return E_INVALIDARG;
    const uint64_t needed = uint64_t{cbStride} * static_cast<UINT>(out.Height - 1) + row;
    if (needed > cbBufferSize) return E_INVALIDARG;
    return S_OK;
}

} // namespace mio::imaging
