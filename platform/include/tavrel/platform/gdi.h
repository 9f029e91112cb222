// SPDX-License-Identifier: MIT
// The GDI subset: palettes as checked objects, and device contexts that a headless system lacks.
#pragma once

#include "tavrel/platform/types.h"

using LPPALETTEENTRY = PALETTEENTRY*;
using LPLOGPALETTE = LOGPALETTE*;
struct DEVMODEA;
struct DEVMODEW;

#define PC_RESERVED 0x01
#define PC_EXPLICIT 0x02
#define PC_NOCOLLAPSE 0x04

// GetDeviceCaps indexes
#define DRIVERVERSION 0
#define TECHNOLOGY 2
#define HORZSIZE 4
#define VERTSIZE 6
#define HORZRES 8
#define VERTRES 10
#define BITSPIXEL 12
#define PLANES 14
#define NUMCOLORS 24
#define RASTERCAPS 38
#define LOGPIXELSX 88
#define LOGPIXELSY 90
#define SIZEPALETTE 104

/// A palette of lplgpl->palNumEntries (1 to 1024) entries; palVersion must be 0x300. Null with
/// ERROR_INVALID_PARAMETER otherwise. The caller owns it and frees it with DeleteObject.
TAVREL_API HPALETTE CreatePalette(const LOGPALETTE* lplgpl);
/// Copies up to cEntries entries from iStartIndex and returns how many; with a null lppe returns
/// the palette's size. 0 for a bad handle or a start beyond the end.
TAVREL_API UINT GetPaletteEntries(HPALETTE hpal, UINT iStartIndex, UINT nEntries,
                                  LPPALETTEENTRY lppe);
TAVREL_API UINT SetPaletteEntries(HPALETTE hpal, UINT iStart, UINT cEntries,
                                  const PALETTEENTRY* pPalEntries);
/// FALSE for null, deleted or foreign objects; never touches memory it does not own.
TAVREL_API BOOL DeleteObject(HGDIOBJ ho);

/// There is no display or printer: these return null (ERROR_NOT_SUPPORTED) so that callers take
/// their no-device path (for example 72 dpi instead of the screen resolution).
TAVREL_API HDC CreateICA(LPCSTR pszDriver, LPCSTR pszDevice, LPCSTR pszPort, const DEVMODEA* pdm);
TAVREL_API HDC CreateICW(LPCWSTR pszDriver, LPCWSTR pszDevice, LPCWSTR pszPort,
                         const DEVMODEW* pdm);
TAVREL_API HDC CreateDCA(LPCSTR pszDriver, LPCSTR pszDevice, LPCSTR pszPort, const DEVMODEA* pdm);
TAVREL_API HDC CreateDCW(LPCWSTR pszDriver, LPCWSTR pszDevice, LPCWSTR pszPort,
                         const DEVMODEW* pdm);
/// 0 for every index, as no device context can exist.
TAVREL_API int GetDeviceCaps(HDC hdc, int index);
TAVREL_API BOOL DeleteDC(HDC hdc);
