// SPDX-License-Identifier: MIT
// Query-path parsing and item matching over the block tree.
#include "metadata/query_model.h"

#include <array>
#include <charconv>
#include <utility>

#include "mio/formats/xmp_packet.h"

namespace mio::imaging::metadata {

HRESULT Node::ensureLoaded()
{
    if (loader) {
        auto load = std::move(loader);
        loader = nullptr;
        try {
            loadResult = load(*this);
        } catch (const std::bad_alloc&) {
            loadResult = E_OUTOFMEMORY;
        } catch (...) {
            loadResult = E_FAIL;
        }
        if (FAILED(loadResult)) items.clear();
    }
    return loadResult;
}

std::shared_ptr<PROPVARIANT> makeValue()
{
    auto* pv = new PROPVARIANT;
    PropVariantInit(pv);
    return std::shared_ptr<PROPVARIANT>(pv, [](PROPVARIANT* p) {
        PropVariantClear(p);
        delete p;
    });
}

namespace {

char16_t lower(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

std::u16string lowerCopy(std::u16string_view s)
{
    std::u16string out(s);
    for (auto& c : out)
        c = lower(c);
    return out;
}

bool parseNumber(std::u16string_view text, uint64_t& out)
{
    if (text.empty() || text.size() > 20) return false;
    std::string ascii;
    for (char16_t c : text) {
        if (c > 0x7F) return false;
        ascii.push_back(static_cast<char>(c));
    }
    int base = 10;
    std::string_view digits = ascii;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    bool negative = false;
    if (!digits.empty() && digits[0] == '-') {
        negative = true;
        digits.remove_prefix(1);
    }
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
    if (ec != std::errc() || end != digits.data() + digits.size()) return false;
    out = negative ? static_cast<uint64_t>(-static_cast<int64_t>(v)) : v;
    return true;
}

constexpr std::array<std::u16string_view, 12> kNumericTypes = {
    u"char", u"uchar", u"short",    u"ushort",    u"long", u"ulong",
    u"int",  u"uint",  u"longlong", u"ulonglong", u"bool", u"float"};

// Parses "{type=value}" (the braces included) into the step.
bool parseData(std::u16string_view expr, QueryStep& step)
{
    if (expr.size() < 4 || expr.front() != u'{' || expr.back() != u'}') return false;
    const std::u16string_view body = expr.substr(1, expr.size() - 2);
    const size_t eq = body.find(u'=');
    if (eq == std::u16string_view::npos) return false;
    const std::u16string type = lowerCopy(body.substr(0, eq));
    const std::u16string_view value = body.substr(eq + 1);
    step.isData = true;
    if (type == u"str" || type == u"wstr") {
        step.text = std::u16string(value);
        return true;
    }
    for (auto t : kNumericTypes) {
        if (type == t) {
            step.numeric = true;
            return parseNumber(value, step.number);
        }
    }
    return false; // guid, double...: not used by any block here
}

} // namespace

HRESULT parseQuery(std::u16string_view path, std::vector<QueryStep>& steps)
{
    steps.clear();
    if (path.empty() || path.front() != u'/') return WINCODEC_ERR_INVALIDQUERYREQUEST;
    size_t i = 1;
    while (i < path.size()) {
        QueryStep step;
        if (path[i] == u'[') {
            const size_t close = path.find(u']', i);
            if (close == std::u16string_view::npos) return WINCODEC_ERR_INVALIDQUERYREQUEST;
            const std::u16string_view idx = path.substr(i + 1, close - i - 1);
            uint64_t n = 0;
            if (idx == u"*") {
                n = 0;
            } else if (!parseNumber(idx, n) || n > 0xFFFFFFFFu) {
                return WINCODEC_ERR_INVALIDQUERYREQUEST;
            }
            step.index = static_cast<uint32_t>(n);
            i = close + 1;
            if (i < path.size() && path[i] == u'[') return WINCODEC_ERR_INVALIDQUERYREQUEST;
        }
        if (i < path.size() && path[i] == u'<') {
            const size_t close = path.find(u'>', i);
            if (close == std::u16string_view::npos) return WINCODEC_ERR_INVALIDQUERYREQUEST;
            step.blockName = lowerCopy(path.substr(i + 1, close - i - 1));
            i = close + 1;
        }
        // The item runs to the next '/' outside braces; a backslash takes the next character.
        std::u16string item;
        int depth = 0;
        for (; i < path.size(); ++i) {
            const char16_t c = path[i];
            if (c == u'\\' && i + 1 < path.size()) {
                item.push_back(path[++i]);
                continue;
            }
            if (c == u'{') ++depth;
            if (c == u'}') --depth;
            if (depth < 0) return WINCODEC_ERR_INVALIDQUERYREQUEST;
            if (c == u'/' && depth == 0) break;
            item.push_back(c);
        }
        if (depth != 0) return WINCODEC_ERR_INVALIDQUERYREQUEST;
        if (i < path.size()) ++i; // the '/'
        if (item.empty()) {
            if (step.index || !step.blockName.empty()) return WINCODEC_ERR_INVALIDQUERYREQUEST;
            if (i < path.size()) return WINCODEC_ERR_INVALIDQUERYREQUEST; // "//"
            break;
        }
        if (item.front() == u'{') {
            const size_t close = item.find(u'}');
            if (close + 1 < item.size()) {
                // {wstr=URI}:Name names an XMP property by its namespace.
                QueryStep schema;
                if (!parseData(item.substr(0, close + 1), schema) || schema.numeric ||
                    item[close + 1] != u':')
                    return WINCODEC_ERR_INVALIDQUERYREQUEST;
                step.schemaUri = schema.text;
                step.text = item.substr(close + 2);
            } else if (!parseData(item, step)) {
                return WINCODEC_ERR_INVALIDQUERYREQUEST;
            }
        } else {
            step.text = std::move(item);
        }
        steps.push_back(std::move(step));
    }
    return S_OK;
}

bool equalsNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

namespace {
bool asciiEqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        const char y = (b[i] >= 'A' && b[i] <= 'Z') ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return true;
}
} // namespace

std::optional<std::string> namespaceForPrefix(std::string_view prefix)
{
    static constexpr std::pair<std::string_view, std::string_view> kKnown[] = {
        {"rdf", "http://www.w3.org/1999/02/22-rdf-syntax-ns#"},
        {"dc", "http://purl.org/dc/elements/1.1/"},
        {"xmp", "http://ns.adobe.com/xap/1.0/"},
        {"xmpRights", "http://ns.adobe.com/xap/1.0/rights/"},
        {"xmpMM", "http://ns.adobe.com/xap/1.0/mm/"},
        {"photoshop", "http://ns.adobe.com/photoshop/1.0/"},
        {"tiff", "http://ns.adobe.com/tiff/1.0/"},
        {"exif", "http://ns.adobe.com/exif/1.0/"},
        {"aux", "http://ns.adobe.com/exif/1.0/aux/"},
        {"Iptc4xmpCore", "http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/"},
        {"MicrosoftPhoto", "http://ns.microsoft.com/photo/1.0/"},
        {"MP", "http://ns.microsoft.com/photo/1.2/"},
    };
    for (const auto& [k, v] : kKnown)
        if (asciiEqualNoCase(k, prefix)) return std::string(v);
    return formats::xmpNamespaceForPrefix(prefix);
}

bool itemMatches(const Item& item, const QueryStep& step)
{
    if (step.isData) {
        if (step.numeric) return item.id && *item.id == step.number;
        return equalsNoCase(item.friendly, step.text);
    }
    if (!step.schemaUri.empty())
        return !item.xmpNs.empty() && equalsNoCase(item.xmpLocal16, step.text) &&
               toUtf8(step.schemaUri) == item.xmpNs;
    if (!item.xmpNs.empty()) {
        const size_t colon = step.text.find(u':');
        if (colon == std::u16string::npos) return equalsNoCase(item.xmpLocal16, step.text);
        // The cheap local-name test first: most items of a block fail it.
        if (!equalsNoCase(item.xmpLocal16, std::u16string_view(step.text).substr(colon + 1)))
            return false;
        const auto ns = namespaceForPrefix(toUtf8(step.text.substr(0, colon)));
        return ns ? *ns == item.xmpNs : equalsNoCase(item.friendly, step.text);
    }
    return equalsNoCase(item.friendly, step.text);
}

Item* findItem(Node& node, const QueryStep& step)
{
    uint32_t wanted = step.index.value_or(0);
    for (Item& item : node.items) {
        if (!itemMatches(item, step)) continue;
        if (wanted == 0) return &item;
        --wanted;
    }
    return nullptr;
}

std::u16string toU16(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t n = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b >> 5) == 6 && i + 1 < s.size()) {
            cp = (b & 0x1Fu) << 6 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            n = 2;
        } else if ((b >> 4) == 14 && i + 2 < s.size()) {
            cp = (b & 0x0Fu) << 12 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6 |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            n = 3;
        } else if ((b >> 3) == 30 && i + 3 < s.size()) {
            cp = (b & 0x07u) << 18 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12 |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6 |
                 (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
            n = 4;
        }
        i += n;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp));
        }
    }
    return out;
}

std::string toUtf8(std::u16string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace mio::imaging::metadata
