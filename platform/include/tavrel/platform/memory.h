// SPDX-License-Identifier: MIT
// The global-memory heap: movable blocks known by handle, locked to an address.
#pragma once

#include "tavrel/platform/types.h"

#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GMEM_MODIFY 0x0080u
#define GMEM_DISCARDED 0x4000u
#define GMEM_INVALID_HANDLE 0x8000u
#define GMEM_LOCKCOUNT 0x00FFu
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

/// Allocates at least dwBytes (8-byte aligned). Returns null with the last error set on failure.
/// A movable request of 0 bytes gives a handle to a discarded block that cannot be locked.
TAVREL_API HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
/// Resizes a block; a locked movable block keeps its address only if it fits in place.
TAVREL_API HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags);
/// Increments the lock count of a movable block and returns its address; null when discarded
/// or not a block of this heap (last error ERROR_INVALID_HANDLE).
TAVREL_API LPVOID GlobalLock(HGLOBAL hMem);
/// Nonzero while still locked; 0 with NO_ERROR at count 0, 0 with ERROR_NOT_LOCKED when not locked.
TAVREL_API BOOL GlobalUnlock(HGLOBAL hMem);
/// Maps an address returned by GlobalLock (or a fixed block's pointer) back to its handle.
TAVREL_API HGLOBAL GlobalHandle(LPCVOID pMem);
TAVREL_API SIZE_T GlobalSize(HGLOBAL hMem);
TAVREL_API UINT GlobalFlags(HGLOBAL hMem);
/// Null on success; the handle itself on failure. Frees locked blocks too.
TAVREL_API HGLOBAL GlobalFree(HGLOBAL hMem);

TAVREL_API LPVOID CoTaskMemAlloc(SIZE_T cb);
TAVREL_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
TAVREL_API void CoTaskMemFree(LPVOID pv);
