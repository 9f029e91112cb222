// SPDX-License-Identifier: MIT
// A read-only XMP packet reader of our own: the property listing of XmpPacket::properties()
// without the toolkit, for the query readers that only enumerate and look values up.
#pragma once

#include "mio/formats/xmp_packet.h"

#include <string_view>
#include <vector>

namespace mio::formats {

// Lists the nodes of a serialised packet (with or without the xpacket wrapper) as
// XmpPacket::properties() does: schemas in order of first appearance, the properties of each in
// file order, array items and struct fields right after their container, qualifiers left out
// and xml:lang folded into `lang`. It applies the toolkit's normalisations a reader can see:
// Dublin Core arrays, language alternatives (x-default first, tags lower-cased), the standard
// aliases moved to their base property, and repaired alt-text for exif:UserComment and
// xmpRights:UsageTerms.
// Malformed for XML or RDF errors and for what this reader does not handle (DOCTYPE,
// parseType="Literal", typed nodes); TooMany beyond kMaxXmpNesting levels. Callers that need
// the toolkit's verdict fall back to XmpPacket::parse on failure.
Result<std::vector<XmpProperty>> readXmpProperties(std::string_view packet);

// Merges the properties of an extended packet into the main listing: a top-level property of
// the extension replaces the main one of the same name (with everything below it), new ones
// join the end of their schema, new schemas come last.
void mergeXmpProperties(std::vector<XmpProperty>& main, const std::vector<XmpProperty>& extension);

} // namespace mio::formats
