// SPDX-License-Identifier: MIT
// The in-memory block tree behind the metadata query readers, and the query-path grammar.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/wincodec.h"

namespace mio::imaging::metadata {

struct Node;

// One entry of a block: a value, or a nested block.
struct Item {
    std::u16string enumName;     // as GetEnumerator lists it: "/{ushort=271}", "/exif"
    std::optional<uint64_t> id;  // numeric key for data expressions ({ushort=271})
    std::u16string friendly;     // friendly name ("exif", "Keywords", "dc:title", "x-default")
    std::string xmpNs, xmpLocal; // XMP properties: namespace URI and local name
    std::u16string xmpLocal16;   // the local name, as queries spell it
    std::shared_ptr<PROPVARIANT> value; // a leaf's value (cleared on destruction)
    std::shared_ptr<Node> child;        // a nested block
};

struct Node {
    GUID format{};
    std::u16string location; // absolute path of the block ("/app1/ifd")
    std::vector<Item> items; // in file order
    // Fills `items` on first use (XMP is parsed only when a query reaches it).
    std::function<HRESULT(Node&)> loader;
    HRESULT loadResult = S_OK;

    HRESULT ensureLoaded();
};

// A PROPVARIANT owned through a shared pointer, cleared when the last owner goes.
std::shared_ptr<PROPVARIANT> makeValue();

// One step of a parsed query path.
struct QueryStep {
    std::optional<uint32_t> index; // [n]; [*] is 0
    std::u16string blockName;      // <xmpbag> and the like, lower-cased
    bool isData = false;           // a {type=value} expression
    bool numeric = false;          // a numeric data expression
    uint64_t number = 0;
    std::u16string text;      // the name, or the value of a string data expression
    std::u16string schemaUri; // {wstr=URI}:Name
};

// Parses "/a/[1]b/{ushort=3}". Fails with WINCODEC_ERR_INVALIDQUERYREQUEST for paths that do not
// start with '/', unbalanced brackets, multi-dimensional indexes or bad data expressions. A
// trailing '/' is allowed and adds no step; "/" gives no steps.
HRESULT parseQuery(std::u16string_view path, std::vector<QueryStep>& steps);

// Whether an item answers a step (case-insensitive names, numeric expressions by value).
bool itemMatches(const Item& item, const QueryStep& step);

// The item a step picks in a block (honouring [n]), or nullptr.
Item* findItem(Node& node, const QueryStep& step);

// Text helpers.
std::u16string toU16(std::string_view utf8);
std::string toUtf8(std::u16string_view text);
bool equalsNoCase(std::u16string_view a, std::u16string_view b);

// XMP prefix <-> namespace, with the well-known prefixes of the platform built in.
std::optional<std::string> namespaceForPrefix(std::string_view prefix);

} // namespace mio::imaging::metadata
