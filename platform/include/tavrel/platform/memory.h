// SPDX-License-Identifier: MIT
// The global-memory heap: movable blocks known by handle, locked to an address.
#pragma once

#include <utility>

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

inline constexpr DWORD ERROR_DISCARDED = 157;

/// Allocates at least dwBytes (8-byte aligned). Returns null with the last error set on failure.
/// A movable request of 0 bytes gives a handle to a discarded block that cannot be locked.
TAVREL_API HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
/// Resizes a block; a locked movable block keeps its address only if it fits in place. A
/// movable block may always move (its handle stays); a fixed block moves only with
/// GMEM_MOVEABLE in uFlags (its handle is its address, so the result is the new handle).
/// Size 0 discards an unlocked movable block. GMEM_ZEROINIT zero-fills the growth.
/// GMEM_MODIFY with GMEM_MOVEABLE turns a fixed block movable and returns its new handle.
TAVREL_API HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags);
/// Increments the lock count of a movable block and returns its address; null when discarded
/// (ERROR_DISCARDED) or not a live block of this heap (ERROR_INVALID_HANDLE). Freed and foreign
/// handles are looked up, never dereferenced. The count saturates at 255, where a further lock
/// fails instead of wrapping.
TAVREL_API LPVOID GlobalLock(HGLOBAL hMem);
/// Nonzero while still locked; 0 with NO_ERROR at count 0, 0 with ERROR_NOT_LOCKED when not locked.
TAVREL_API BOOL GlobalUnlock(HGLOBAL hMem);
/// Maps an address returned by GlobalLock (or a fixed block's pointer) back to its handle.
TAVREL_API HGLOBAL GlobalHandle(LPCVOID pMem);
/// The size asked for (0 for a discarded block, and 0 with ERROR_INVALID_HANDLE for a bad one).
TAVREL_API SIZE_T GlobalSize(HGLOBAL hMem);
/// Lock count in the low byte, GMEM_DISCARDED for a discarded block, GMEM_INVALID_HANDLE for a
/// bad handle.
TAVREL_API UINT GlobalFlags(HGLOBAL hMem);
/// Null on success; the handle itself on failure. Frees locked blocks too.
TAVREL_API HGLOBAL GlobalFree(HGLOBAL hMem);

/// The task allocator: every string, blob and vector inside a PROPVARIANT, every string an
/// IEnumString hands out. A request of 0 bytes still returns a distinct pointer.
TAVREL_API LPVOID CoTaskMemAlloc(SIZE_T cb);
/// Null pv allocates; cb 0 frees pv and returns null.
TAVREL_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
TAVREL_API void CoTaskMemFree(LPVOID pv);

namespace tavrel {

/// Owns one global block: GlobalFree in the destructor.
class GlobalBlock {
  public:
    GlobalBlock() = default;
    explicit GlobalBlock(HGLOBAL h) : m_handle(h) {}
    GlobalBlock(GlobalBlock&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    GlobalBlock& operator=(GlobalBlock&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;
    ~GlobalBlock() { reset(); }

    HGLOBAL get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    /// Hands the block to the caller, who frees it.
    HGLOBAL release() { return std::exchange(m_handle, nullptr); }
    void reset(HGLOBAL h = nullptr)
    {
        if (HGLOBAL old = std::exchange(m_handle, h)) GlobalFree(old);
    }

  private:
    HGLOBAL m_handle = nullptr;
};

/// Holds one lock on a global block for its lifetime; data() is null when the lock failed.
class GlobalLockGuard {
  public:
    explicit GlobalLockGuard(HGLOBAL h) : m_handle(h), m_data(GlobalLock(h)) {}
    GlobalLockGuard(const GlobalLockGuard&) = delete;
    GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
    ~GlobalLockGuard()
    {
        if (m_data) GlobalUnlock(m_handle);
    }
    void* data() const { return m_data; }

  private:
    HGLOBAL m_handle;
    void* m_data;
};

} // namespace tavrel
