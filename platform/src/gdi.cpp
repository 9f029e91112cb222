// SPDX-License-Identifier: MIT
// GDI objects: palettes kept in a checked table, and the absent display device.
#include "tavrel/platform/gdi.h"

#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

constexpr WORD kPaletteVersion = 0x300;
constexpr UINT kMaxPaletteEntries = 1024;
// GDI handle values live apart from kernel handle values, so one is never taken for the other.
constexpr uintptr_t kFirstGdiHandle = 0x40000000;

class GdiTable {
  public:
    HPALETTE add(std::vector<PALETTEENTRY> entries)
    {
        std::lock_guard lock(m_mutex);
        const uintptr_t value = m_next;
        m_objects.emplace(value, std::move(entries));
        m_next += 4;
        return reinterpret_cast<HPALETTE>(value);
    }

    /// Runs fn on the palette's entries under the table lock; false for an unknown handle.
    template <typename Fn> bool with(HGDIOBJ handle, Fn&& fn)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == m_objects.end()) return false;
        fn(it->second);
        return true;
    }

    bool remove(HGDIOBJ handle)
    {
        std::lock_guard lock(m_mutex);
        return m_objects.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
    }

  private:
    std::mutex m_mutex;
    uintptr_t m_next = kFirstGdiHandle;
    std::unordered_map<uintptr_t, std::vector<PALETTEENTRY>> m_objects;
};

GdiTable& gdiTable()
{
    static GdiTable table;
    return table;
}

HDC noDevice()
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

} // namespace

TAVREL_API HPALETTE CreatePalette(const LOGPALETTE* lplgpl)
{
    if (!lplgpl || lplgpl->palVersion != kPaletteVersion || lplgpl->palNumEntries == 0 ||
        lplgpl->palNumEntries > kMaxPaletteEntries) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        // palPalEntry is declared with one element; the caller's block holds palNumEntries.
        const PALETTEENTRY* first = lplgpl->palPalEntry;
        return gdiTable().add(std::vector<PALETTEENTRY>(first, first + lplgpl->palNumEntries));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

TAVREL_API UINT GetPaletteEntries(HPALETTE hpal, UINT iStartIndex, UINT nEntries,
                                  LPPALETTEENTRY lppe)
{
    UINT copied = 0;
    const bool found = gdiTable().with(hpal, [&](std::vector<PALETTEENTRY>& entries) {
        const auto size = static_cast<UINT>(entries.size());
        if (!lppe) {
            copied = size;
            return;
        }
        if (iStartIndex >= size) return;
        copied = nEntries < size - iStartIndex ? nEntries : size - iStartIndex;
        std::memcpy(lppe, entries.data() + iStartIndex, copied * sizeof(PALETTEENTRY));
    });
    if (!found) SetLastError(ERROR_INVALID_HANDLE);
    return copied;
}

TAVREL_API UINT SetPaletteEntries(HPALETTE hpal, UINT iStart, UINT cEntries,
                                  const PALETTEENTRY* pPalEntries)
{
    UINT copied = 0;
    const bool found = gdiTable().with(hpal, [&](std::vector<PALETTEENTRY>& entries) {
        const auto size = static_cast<UINT>(entries.size());
        if (!pPalEntries || iStart >= size) return;
        copied = cEntries < size - iStart ? cEntries : size - iStart;
        std::memcpy(entries.data() + iStart, pPalEntries, copied * sizeof(PALETTEENTRY));
    });
    if (!found) SetLastError(ERROR_INVALID_HANDLE);
    return copied;
}

TAVREL_API BOOL DeleteObject(HGDIOBJ ho)
{
    if (gdiTable().remove(ho)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

TAVREL_API HDC CreateICA(LPCSTR, LPCSTR, LPCSTR, const DEVMODEA*)
{
    return noDevice();
}
TAVREL_API HDC CreateICW(LPCWSTR, LPCWSTR, LPCWSTR, const DEVMODEW*)
{
    return noDevice();
}
TAVREL_API HDC CreateDCA(LPCSTR, LPCSTR, LPCSTR, const DEVMODEA*)
{
    return noDevice();
}
TAVREL_API HDC CreateDCW(LPCWSTR, LPCWSTR, LPCWSTR, const DEVMODEW*)
{
    return noDevice();
}

TAVREL_API int GetDeviceCaps(HDC, int)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

TAVREL_API BOOL DeleteDC(HDC)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
