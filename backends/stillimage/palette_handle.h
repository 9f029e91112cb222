// SPDX-License-Identifier: MIT
// Palette handles of the records: colour tables handed to and taken from the platform's GDI.
#pragma once

#include <cstdint>

#include "codec.h"

namespace mio::stillimage {

/// A new platform palette holding `colors`, as the record's 32-bit field; 0 when the platform
/// cannot make one or its handle does not fit the field (GDI handles are 32-bit values).
uint32_t createPaletteField(const PaletteColors& colors);
/// Reads the colours of a palette field. False when the field is 0 or unreadable.
bool readPaletteField(uint32_t field, PaletteColors& colors);
void deletePaletteField(uint32_t field);

} // namespace mio::stillimage
