// SPDX-License-Identifier: MIT
// Byte inversion, CMYK to RGB and the red/blue swap of 3-byte pixels.
#include <cstring>

#include "contracts/pixel_library.h"

extern "C" int mem32ByteInvert(int nReserved, void* pData, DWORD cbCount)
{
    if (nReserved != 0) return 0;
    if (cbCount == 0) return 1;
    if (!pData) return 0;
    auto* p = static_cast<BYTE*>(pData);
    for (DWORD i = 0; i < cbCount; ++i)
        p[i] = static_cast<BYTE>(~p[i]);
    return 1;
}

extern "C" void qfdClrCmykToRgb(const BYTE* pCmyk, BYTE* pRgb)
{
    if (!pCmyk || !pRgb) return;
    // Subtractive model without black generation: each ink removes its share of the light that
    // the black ink lets through.
    const unsigned white = 255u - pCmyk[3];
    for (int i = 0; i < 3; ++i)
        pRgb[i] = static_cast<BYTE>(((255u - pCmyk[i]) * white + 127u) / 255u);
}

extern "C" void RGBToBGR(const BYTE* pSrc, BYTE* pDst, int nPixels)
{
    if (!pSrc || !pDst || nPixels <= 0) return;
    for (int i = 0; i < nPixels; ++i, pSrc += 3, pDst += 3) {
        const BYTE first = pSrc[0];
        const BYTE middle = pSrc[1];
        pDst[0] = pSrc[2];
        pDst[1] = middle;
        pDst[2] = first;
    }
}
