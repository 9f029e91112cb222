// SPDX-License-Identifier: MIT
// XMP packets through the XMP toolkit (Exempi): parse, enumerate, edit and serialise with padding.
#pragma once

#include "mio/formats/common.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mio::formats {

inline constexpr std::string_view kNsMicrosoftPhoto = "http://ns.microsoft.com/photo/1.0/";
inline constexpr std::string_view kNsMicrosoftPhoto12 = "http://ns.microsoft.com/photo/1.2/";
inline constexpr std::string_view kNsDublinCore = "http://purl.org/dc/elements/1.1/";
inline constexpr std::string_view kNsXmp = "http://ns.adobe.com/xap/1.0/";

// Deepest element nesting a packet may have; deeper ones are refused before parsing.
inline constexpr size_t kMaxXmpNesting = 256;

enum class XmpKind : uint8_t {
    Simple,
    Struct,
    Bag,
    Seq,
    Alt,
    AltText, // a language alternative: its items carry xml:lang
};

struct XmpProperty {
    std::string ns;     // namespace URI of the last path step
    std::string prefix; // the prefix registered for that namespace, without the colon
    std::string path;   // full toolkit path: "dc:title", "dc:subject[2]", "exif:Flash/exif:Fired"
    std::string value;  // simple values and array items; empty for containers
    std::string lang;   // xml:lang qualifier, set on the items of language alternatives
    XmpKind kind = XmpKind::Simple;
    uint32_t depth = 0; // 0 for a top-level property, +1 per array item or struct field step
};

struct XmpSerializeOptions {
    uint32_t padding = 2048;   // bytes of whitespace padding inside the packet wrapper
    bool packetWrapper = true; // <?xpacket begin ...?> and <?xpacket end ...?>
    bool readOnly = false;     // end="r" instead of end="w"
    // Simple properties as attributes and no indentation: the smallest packet, for rewriting
    // another writer's packet into the room it left.
    bool compact = false;
    // When set, the whole packet is exactly this many bytes, padding taking up the slack;
    // TooLarge when the content alone does not fit. Needs a writeable packet wrapper.
    std::optional<uint32_t> exactSize;
};

// One XMP data model. Every toolkit call is serialised by a process-wide lock and every
// failure becomes an Error; nothing is thrown out of this class.
class XmpPacket {
  public:
    // Parses a serialised packet (with or without the xpacket wrapper). XmpFailure for
    // malformed XML or RDF (a DOCTYPE included); TooMany for elements nested deeper than
    // kMaxXmpNesting.
    static Result<XmpPacket> parse(std::string_view packet);
    static Result<XmpPacket> createEmpty();

    XmpPacket(XmpPacket&&) noexcept;
    XmpPacket& operator=(XmpPacket&&) noexcept;
    ~XmpPacket();

    // All nodes in document order: properties, then array items and struct fields after
    // their container. Qualifiers are not listed; xml:lang is folded into `lang`.
    Result<std::vector<XmpProperty>> properties() const;

    bool has(std::string_view ns, std::string_view path) const;
    // Value of a simple property (or of an item path such as "dc:subject[1]").
    std::optional<std::string> get(std::string_view ns, std::string_view path) const;
    // The kind of the node at a path; nullopt when absent.
    std::optional<XmpKind> propertyKind(std::string_view ns, std::string_view path) const;
    Error set(std::string_view ns, std::string_view path, std::string_view value);
    // Removes a property with everything below it; NotFound when absent.
    Error remove(std::string_view ns, std::string_view path);

    // Items of an array property; NotFound when absent.
    Result<std::vector<std::string>> arrayItems(std::string_view ns, std::string_view name) const;
    // Replaces the array with these items (kind Bag, Seq or Alt).
    Error setArray(std::string_view ns, std::string_view name, XmpKind kind,
                   std::span<const std::string> items);
    Error appendArrayItem(std::string_view ns, std::string_view name, XmpKind kind,
                          std::string_view value);

    std::optional<std::string> localizedText(std::string_view ns, std::string_view name,
                                             std::string_view lang = "x-default") const;
    Error setLocalizedText(std::string_view ns, std::string_view name, std::string_view value,
                           std::string_view lang = "x-default");

    Result<std::string> serialize(const XmpSerializeOptions& options = {}) const;

  private:
    void restoreLanguageItems(std::string_view packet);
    struct Impl;
    explicit XmpPacket(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

// Namespace registry of the toolkit (shared by the process). The MicrosoftPhoto namespaces
// are registered on first use as "MicrosoftPhoto" (1.0) and "MP" (1.2).
std::optional<std::string> xmpNamespaceForPrefix(std::string_view prefix);
std::optional<std::string> xmpPrefixForNamespace(std::string_view uri);
Error registerXmpNamespace(std::string_view uri, std::string_view prefix);

} // namespace mio::formats
