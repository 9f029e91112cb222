// SPDX-License-Identifier: MIT
// File signatures: which codec's format the first bytes of a file show.
#pragma once

#include "codec.h"

namespace mio::stillimage {

/// True when the bytes carry the signature of the codec's format.
bool sniffCodec(Codec codec, Bytes file);
/// False for formats without a signature (chosen by extension only).
bool hasSignature(Codec codec);
/// True when the bytes look like a camera raw container (TIFF-based or a maker format).
bool sniffRaw(Bytes file);
/// Among rows sharing a codec, the one the content names (cursor vs icon, AVIF vs HEIF,
/// JP2 box vs bare codestream); `chosen` otherwise.
const FormatRow* refineRow(Codec codec, Bytes file, const FormatRow* chosen);

} // namespace mio::stillimage
