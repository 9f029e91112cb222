// SPDX-License-Identifier: MIT
// Palette handles through the platform's GDI palette calls.
#include "palette_handle.h"

#include <vector>

#include "tavrel/platform/gdi.h"

namespace mio::stillimage {

uint32_t createPaletteField(const PaletteColors& colors)
{
    if (colors.count <= 0) return 0;
    // LOGPALETTE holds one entry inline; room for 256 follows it.
    std::vector<uint8_t> storage(sizeof(LOGPALETTE) + 256 * sizeof(PALETTEENTRY));
    auto* log = reinterpret_cast<LOGPALETTE*>(storage.data());
    log->palVersion = 0x300;
    log->palNumEntries = static_cast<WORD>(colors.count);
    for (int i = 0; i < colors.count; ++i) {
        log->palPalEntry[i] = {colors.entries[i].r, colors.entries[i].g, colors.entries[i].b, 0};
    }
    HPALETTE palette = CreatePalette(log);
    if (!palette) return 0;
    const uint32_t field = QfPaletteToField(palette);
    if (QfPaletteFromField(field) != palette) {
        DeleteObject(palette);
        return 0;
    }
    return field;
}

bool readPaletteField(uint32_t field, PaletteColors& colors)
{
    if (field == 0) return false;
    PALETTEENTRY entries[256];
    const UINT n = GetPaletteEntries(QfPaletteFromField(field), 0, 256, entries);
    if (n == 0 || n > 256) return false;
    colors.count = static_cast<int>(n);
    for (UINT i = 0; i < n; ++i)
        colors.entries[i] = {entries[i].peRed, entries[i].peGreen, entries[i].peBlue};
    return true;
}

void deletePaletteField(uint32_t field)
{
    if (field != 0) DeleteObject(QfPaletteFromField(field));
}

} // namespace mio::stillimage
