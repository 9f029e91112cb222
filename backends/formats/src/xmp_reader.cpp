// SPDX-License-Identifier: MIT
// Read-only XMP: a small non-validating XML reader with namespaces, the RDF forms XMP uses, and
// the toolkit's reader-visible normalisations, so listing a packet needs no toolkit round trip.
#include "mio/formats/xmp_reader.h"

#include <algorithm>
#include <array>
#include <deque>
#include <new>

namespace mio::formats {
namespace {

#define RETURN_ERR(x)                                                                              \
    do {                                                                                           \
        if (const Error e_ = (x); e_ != Error::None) return e_;                                    \
    } while (0)

constexpr std::string_view kNsRdf = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
constexpr std::string_view kNsXml = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kNsXmpRights = "http://ns.adobe.com/xap/1.0/rights/";
constexpr std::string_view kNsExif = "http://ns.adobe.com/exif/1.0/";
constexpr std::string_view kNsPdf = "http://ns.adobe.com/pdf/1.3/";
constexpr std::string_view kNsPhotoshop = "http://ns.adobe.com/photoshop/1.0/";
constexpr std::string_view kNsTiff = "http://ns.adobe.com/tiff/1.0/";
constexpr std::string_view kNsPng = "http://ns.adobe.com/png/1.0/";

// Packets are a few kilobytes; anything near this is hostile.
constexpr size_t kMaxElements = 1u << 20;

// ---- XML ----

struct Attr {
    std::string_view ns, prefix, local;
    std::string value;
};

struct Elem {
    std::string_view ns, prefix, local;
    std::vector<Attr> attrs;
    std::string text; // character data directly inside, decoded
    std::vector<uint32_t> kids;

    bool is(std::string_view n, std::string_view l) const { return ns == n && local == l; }
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool allSpace(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), isSpace);
}

void appendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8Length(std::string_view s, size_t i)
{
    const auto b = static_cast<uint8_t>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF)
        n = 2, cp = b & 0x1Fu;
    else if (b >= 0xE0 && b <= 0xEF)
        n = 3, cp = b & 0x0Fu;
    else if (b >= 0xF0 && b <= 0xF4)
        n = 4, cp = b & 0x07u;
    else
        return 0;
    if (s.size() - i < n) return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<uint8_t>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (c & 0x3Fu);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// The toolkit reads bytes that are not UTF-8 as Windows-1252 and turns control characters into
// spaces; the copy is only made when the packet needs it.
bool needsRepair(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<uint8_t>(s[i]);
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') return true;
        const size_t n = utf8Length(s, i);
        if (!n) return true;
        i += n;
    }
    return false;
}

std::string repaired(std::string_view s)
{
    static constexpr std::array<uint16_t, 32> kCp1252 = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<uint8_t>(s[i]);
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') {
            out += ' ';
            ++i;
            continue;
        }
        const size_t n = utf8Length(s, i);
        if (n) {
            out.append(s.substr(i, n));
            i += n;
            continue;
        }
        appendUtf8(out, b < 0xA0 ? kCp1252[b - 0x80u] : b);
        ++i;
    }
    return out;
}

// A packet in UTF-16: +1 big-endian, -1 little-endian, 0 not UTF-16. XMP allows it, with or
// without a byte-order mark; the first character of a packet is ASCII ('<' or a space).
int utf16Order(std::string_view s)
{
    if (s.size() < 4 || s.size() % 2) return 0;
    const auto b0 = static_cast<uint8_t>(s[0]), b1 = static_cast<uint8_t>(s[1]);
    const auto b2 = static_cast<uint8_t>(s[2]), b3 = static_cast<uint8_t>(s[3]);
    if (b0 == 0xFE && b1 == 0xFF) return 1;
    if (b0 == 0xFF && b1 == 0xFE && !(b2 == 0 && b3 == 0)) return -1;
    if (b0 == 0 && b1 != 0 && b2 == 0 && b3 != 0) return 1;
    if (b0 != 0 && b1 == 0 && b2 != 0 && b3 == 0) return -1;
    return 0;
}

bool fromUtf16(std::string_view s, bool bigEndian, std::string& out)
{
    out.clear();
    out.reserve(s.size() / 2 + 16);
    auto unit = [&](size_t i) -> uint32_t {
        const auto a = static_cast<uint8_t>(s[i]), b = static_cast<uint8_t>(s[i + 1]);
        return bigEndian ? (uint32_t{a} << 8 | b) : (uint32_t{b} << 8 | a);
    };
    size_t i = 0;
    if (unit(0) == 0xFEFF) i = 2;
    for (; i + 1 < s.size(); i += 2) {
        uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 3 >= s.size()) return false;
            const uint32_t lo = unit(i + 2);
            if (lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
        }
        appendUtf8(out, cp);
    }
    return true;
}

class XmlReader {
  public:
    explicit XmlReader(std::string_view text) : m_s(text) {}

    Error parse()
    {
        std::vector<uint32_t> open;
        std::vector<size_t> bindingMarks;
        while (m_i < m_s.size()) {
            if (m_s[m_i] != '<') {
                const size_t end = std::min(m_s.find('<', m_i), m_s.size());
                // Text outside the root (padding, stray bytes around a packet) is not ours
                // to judge.
                if (!open.empty() &&
                    !decode(m_s.substr(m_i, end - m_i), m_elems[open.back()].text, false))
                    return Error::Malformed;
                m_i = end;
                continue;
            }
            const std::string_view rest = m_s.substr(m_i);
            if (rest.starts_with("<?")) {
                if (!skipPast("?>")) return Error::Malformed;
            } else if (rest.starts_with("<!--")) {
                if (!skipPast("-->")) return Error::Malformed;
            } else if (rest.starts_with("<![CDATA[")) {
                const size_t end = m_s.find("]]>", m_i + 9);
                if (end == std::string_view::npos || open.empty()) return Error::Malformed;
                m_elems[open.back()].text.append(m_s.substr(m_i + 9, end - m_i - 9));
                m_i = end + 3;
            } else if (rest.starts_with("<!")) {
                return Error::Malformed; // DOCTYPE and entity declarations are refused
            } else if (rest.starts_with("</")) {
                if (open.empty()) return Error::Malformed;
                size_t j = m_i + 2;
                while (j < m_s.size() && m_s[j] != '>' && !isSpace(m_s[j]))
                    ++j;
                const std::string_view name = m_s.substr(m_i + 2, j - m_i - 2);
                while (j < m_s.size() && isSpace(m_s[j]))
                    ++j;
                if (j >= m_s.size() || m_s[j] != '>') return Error::Malformed;
                if (name != m_qnames[open.back()]) return Error::Malformed;
                m_i = j + 1;
                open.pop_back();
                m_bindings.resize(bindingMarks.back());
                bindingMarks.pop_back();
                if (open.empty()) m_rootDone = true;
            } else {
                if (open.size() >= kMaxXmpNesting) return Error::TooMany;
                if (m_elems.size() >= kMaxElements) return Error::TooMany;
                if (open.empty() && m_rootDone) return Error::Malformed; // a second root
                bindingMarks.push_back(m_bindings.size());
                bool selfClosing = false;
                const Error e = startTag(selfClosing);
                if (e != Error::None) return e;
                const auto index = static_cast<uint32_t>(m_elems.size() - 1);
                if (!open.empty()) m_elems[open.back()].kids.push_back(index);
                if (selfClosing) {
                    m_bindings.resize(bindingMarks.back());
                    bindingMarks.pop_back();
                    if (open.empty()) m_rootDone = true;
                } else {
                    open.push_back(index);
                }
            }
        }
        if (!open.empty() || m_elems.empty()) return Error::Malformed;
        return Error::None;
    }

    const std::vector<Elem>& elems() const { return m_elems; }

  private:
    bool skipPast(std::string_view end)
    {
        const size_t at = m_s.find(end, m_i);
        if (at == std::string_view::npos) return false;
        m_i = at + end.size();
        return true;
    }

    // Appends the decoded text; attribute values also have their line breaks and tabs
    // turned into spaces, as XML asks.
    static bool decode(std::string_view raw, std::string& out, bool attribute)
    {
        out.reserve(out.size() + raw.size());
        for (size_t i = 0; i < raw.size(); ++i) {
            const char c = raw[i];
            if (c == '\r') {
                out += attribute ? ' ' : '\n';
                if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
                continue;
            }
            if (attribute && (c == '\n' || c == '\t')) {
                out += ' ';
                continue;
            }
            if (c != '&') {
                out += c;
                continue;
            }
            const size_t semi = raw.find(';', i);
            if (semi == std::string_view::npos || semi - i > 12) return false;
            const std::string_view ent = raw.substr(i + 1, semi - i - 1);
            if (ent == "lt")
                out += '<';
            else if (ent == "gt")
                out += '>';
            else if (ent == "amp")
                out += '&';
            else if (ent == "quot")
                out += '"';
            else if (ent == "apos")
                out += '\'';
            else if (ent.size() > 1 && ent[0] == '#') {
                const bool hex = ent[1] == 'x';
                const std::string_view digits = ent.substr(hex ? 2 : 1);
                if (digits.empty()) return false;
                uint32_t cp = 0;
                for (char d : digits) {
                    uint32_t v;
                    if (d >= '0' && d <= '9')
                        v = static_cast<uint32_t>(d - '0');
                    else if (hex && d >= 'a' && d <= 'f')
                        v = static_cast<uint32_t>(d - 'a' + 10);
                    else if (hex && d >= 'A' && d <= 'F')
                        v = static_cast<uint32_t>(d - 'A' + 10);
                    else
                        return false;
                    cp = cp * (hex ? 16 : 10) + v;
                    if (cp > 0x10FFFF) return false;
                }
                if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
                appendUtf8(out, cp);
            } else {
                return false;
            }
            i = semi;
        }
        return true;
    }

    std::string_view lookup(std::string_view prefix) const
    {
        if (prefix == "xml") return kNsXml;
        for (auto it = m_bindings.rbegin(); it != m_bindings.rend(); ++it)
            if (it->first == prefix) return it->second;
        return {};
    }

    Error startTag(bool& selfClosing)
    {
        size_t j = m_i + 1;
        auto nameEnd = [&] {
            while (j < m_s.size() && !isSpace(m_s[j]) && m_s[j] != '>' && m_s[j] != '/' &&
                   m_s[j] != '=')
                ++j;
        };
        nameEnd();
        const std::string_view qname = m_s.substr(m_i + 1, j - m_i - 1);
        if (qname.empty()) return Error::Malformed;
        struct RawAttr {
            std::string_view qname;
            std::string value;
        };
        std::vector<RawAttr> raw;
        for (;;) {
            while (j < m_s.size() && isSpace(m_s[j]))
                ++j;
            if (j >= m_s.size()) return Error::Malformed;
            if (m_s[j] == '>') {
                ++j;
                break;
            }
            if (m_s[j] == '/') {
                if (j + 1 >= m_s.size() || m_s[j + 1] != '>') return Error::Malformed;
                selfClosing = true;
                j += 2;
                break;
            }
            const size_t start = j;
            nameEnd();
            const std::string_view an = m_s.substr(start, j - start);
            while (j < m_s.size() && isSpace(m_s[j]))
                ++j;
            if (an.empty() || j >= m_s.size() || m_s[j] != '=') return Error::Malformed;
            ++j;
            while (j < m_s.size() && isSpace(m_s[j]))
                ++j;
            if (j >= m_s.size() || (m_s[j] != '"' && m_s[j] != '\'')) return Error::Malformed;
            const char quote = m_s[j++];
            const size_t close = m_s.find(quote, j);
            if (close == std::string_view::npos) return Error::Malformed;
            const std::string_view value = m_s.substr(j, close - j);
            if (value.find('<') != std::string_view::npos) return Error::Malformed;
            RawAttr a{an, {}};
            if (!decode(value, a.value, true)) return Error::Malformed;
            for (const RawAttr& other : raw)
                if (other.qname == an) return Error::Malformed;
            raw.push_back(std::move(a));
            j = close + 1;
        }
        m_i = j;
        for (const RawAttr& a : raw) {
            if (a.qname == "xmlns") {
                m_bindings.emplace_back(std::string_view{}, own(a.value));
            } else if (a.qname.starts_with("xmlns:")) {
                if (a.qname.size() == 6 || a.value.empty()) return Error::Malformed;
                m_bindings.emplace_back(a.qname.substr(6), own(a.value));
            }
        }
        Elem e;
        const size_t colon = qname.find(':');
        e.prefix = colon == std::string_view::npos ? std::string_view{} : qname.substr(0, colon);
        e.local = colon == std::string_view::npos ? qname : qname.substr(colon + 1);
        e.ns = lookup(e.prefix);
        if (e.local.empty() || (!e.prefix.empty() && e.ns.empty())) return Error::Malformed;
        for (RawAttr& a : raw) {
            if (a.qname == "xmlns" || a.qname.starts_with("xmlns:")) continue;
            Attr attr;
            const size_t c = a.qname.find(':');
            if (c != std::string_view::npos) {
                attr.prefix = a.qname.substr(0, c);
                attr.local = a.qname.substr(c + 1);
                attr.ns = lookup(attr.prefix);
                if (attr.ns.empty() || attr.local.empty()) return Error::Malformed;
            } else {
                attr.local = a.qname;
            }
            attr.value = std::move(a.value);
            e.attrs.push_back(std::move(attr));
        }
        m_elems.push_back(std::move(e));
        m_qnames.push_back(qname);
        return Error::None;
    }

    // Namespace URIs outlive the tag that declared them: the element keeps a view.
    std::string_view own(const std::string& s)
    {
        m_owned.push_back(s);
        return m_owned.back();
    }

    std::string_view m_s;
    size_t m_i = 0;
    bool m_rootDone = false;
    std::vector<Elem> m_elems;
    std::vector<std::string_view> m_qnames;
    std::vector<std::pair<std::string_view, std::string_view>> m_bindings;
    std::deque<std::string> m_owned;
};

// ---- RDF ----

struct PNode {
    std::string_view ns, local, filePrefix;
    XmpKind kind = XmpKind::Simple;
    std::string value, lang;
    std::vector<PNode> kids; // array items, or struct fields
};

struct Schema {
    std::string_view ns, filePrefix;
    std::vector<PNode> props;
};

class RdfReader {
  public:
    explicit RdfReader(const std::vector<Elem>& elems) : m_e(elems) {}

    Error read()
    {
        const Elem* rdf = nullptr;
        for (const Elem& e : m_e)
            if (e.is(kNsRdf, "RDF")) {
                rdf = &e;
                break;
            }
        if (!rdf) return Error::None; // no RDF: an empty packet
        for (uint32_t k : rdf->kids) {
            const Elem& d = m_e[k];
            if (!d.is(kNsRdf, "Description")) return Error::Malformed;
            for (const Attr& a : d.attrs)
                if (m_about.empty() && (a.ns == kNsRdf || a.ns.empty()) && a.local == "about")
                    m_about = a.value;
            for (const Attr& a : d.attrs) {
                if (skipAttr(a)) continue;
                if (a.ns.empty()) return Error::Malformed;
                PNode n{a.ns, a.local, a.prefix, XmpKind::Simple, a.value, {}, {}};
                RETURN_ERR(addTop(std::move(n)));
            }
            for (uint32_t p : d.kids) {
                const Elem& pe = m_e[p];
                if (pe.ns.empty() || pe.ns == kNsRdf) return Error::Malformed;
                PNode n{pe.ns, pe.local, pe.prefix, XmpKind::Simple, {}, {}, {}};
                RETURN_ERR(property(pe, n, 0));
                RETURN_ERR(addTop(std::move(n)));
            }
        }
        return Error::None;
    }

    std::vector<Schema>& schemas() { return m_schemas; }
    const std::string& about() const { return m_about; }

  private:
    // Attributes that are syntax rather than properties.
    static bool skipAttr(const Attr& a)
    {
        if (a.ns == kNsRdf || a.ns == kNsXml) return true;
        return a.ns.empty() && (a.local == "about" || a.local == "ID");
    }

    Schema& schemaFor(std::string_view ns, std::string_view prefix)
    {
        for (Schema& s : m_schemas)
            if (s.ns == ns) return s;
        m_schemas.push_back({ns, prefix, {}});
        return m_schemas.back();
    }

    Error addTop(PNode n)
    {
        Schema& s = schemaFor(n.ns, n.filePrefix);
        for (const PNode& p : s.props)
            if (p.local == n.local) return Error::Malformed; // the toolkit refuses duplicates
        s.props.push_back(std::move(n));
        return Error::None;
    }

    static Error addField(PNode& parent, PNode n)
    {
        for (const PNode& f : parent.kids)
            if (f.ns == n.ns && f.local == n.local) return Error::Malformed;
        parent.kids.push_back(std::move(n));
        return Error::None;
    }

    // Language tags as the toolkit keeps them: lower case, but a two-letter second subtag (a
    // region) in upper case: "en-US", "x-default", "zh-hant".
    static std::string lower(std::string s)
    {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const size_t dash = s.find('-');
        if (dash != std::string::npos) {
            const size_t end = std::min(s.find('-', dash + 1), s.size());
            if (end - dash == 3)
                for (size_t i = dash + 1; i < end; ++i)
                    if (s[i] >= 'a' && s[i] <= 'z') s[i] = static_cast<char>(s[i] - 'a' + 'A');
        }
        return s;
    }

    // Fields of a struct from the attributes and children of `e`; an rdf:value among them makes
    // `out` a simple value whose other fields are qualifiers.
    Error structFrom(const Elem& e, PNode& out, size_t depth)
    {
        out.kind = XmpKind::Struct;
        const std::string* rdfValue = nullptr;
        for (const Attr& a : e.attrs) {
            if (a.ns == kNsRdf && a.local == "value") rdfValue = &a.value;
            if (skipAttr(a)) continue;
            if (a.ns.empty()) return Error::Malformed;
            RETURN_ERR(
                addField(out, PNode{a.ns, a.local, a.prefix, XmpKind::Simple, a.value, {}, {}}));
        }
        std::optional<PNode> valueNode;
        for (uint32_t k : e.kids) {
            const Elem& f = m_e[k];
            if (f.ns.empty()) return Error::Malformed;
            PNode n{f.ns, f.local, f.prefix, XmpKind::Simple, {}, {}, {}};
            RETURN_ERR(property(f, n, depth + 1));
            if (f.is(kNsRdf, "value")) {
                valueNode = std::move(n);
                continue;
            }
            if (f.ns == kNsRdf) return Error::Malformed;
            RETURN_ERR(addField(out, std::move(n)));
        }
        if (rdfValue || valueNode) {
            std::string lang = std::move(out.lang);
            if (valueNode) {
                PNode& v = *valueNode;
                out.kind = v.kind;
                out.value = std::move(v.value);
                out.kids = std::move(v.kids);
                if (!v.lang.empty()) lang = std::move(v.lang);
            } else {
                out.kind = XmpKind::Simple;
                out.value = *rdfValue;
                out.kids.clear();
            }
            if (out.kind == XmpKind::Simple) out.kids.clear();
            out.lang = std::move(lang);
        }
        return Error::None;
    }

    Error property(const Elem& e, PNode& out, size_t depth)
    {
        if (depth > kMaxXmpNesting) return Error::TooMany;
        const std::string* parseType = nullptr;
        const std::string* resource = nullptr;
        const std::string* valueAttr = nullptr;
        bool propertyAttrs = false;
        for (const Attr& a : e.attrs) {
            if (a.ns == kNsXml && a.local == "lang")
                out.lang = lower(a.value);
            else if (a.ns == kNsRdf && a.local == "parseType")
                parseType = &a.value;
            else if (a.ns == kNsRdf && a.local == "resource")
                resource = &a.value;
            else if (a.ns == kNsRdf && a.local == "value")
                valueAttr = &a.value;
            else if (!skipAttr(a))
                propertyAttrs = true;
        }
        if (parseType) {
            if (*parseType != "Resource") return Error::Malformed;
            return structFrom(e, out, depth);
        }
        if (!e.kids.empty()) {
            if (e.kids.size() != 1) return Error::Malformed;
            const Elem& c = m_e[e.kids[0]];
            if (c.ns == kNsRdf && (c.local == "Bag" || c.local == "Seq" || c.local == "Alt")) {
                out.kind = c.local == "Bag"   ? XmpKind::Bag
                           : c.local == "Seq" ? XmpKind::Seq
                                              : XmpKind::Alt;
                for (uint32_t k : c.kids) {
                    const Elem& li = m_e[k];
                    if (!li.is(kNsRdf, "li")) return Error::Malformed;
                    PNode item;
                    RETURN_ERR(property(li, item, depth + 1));
                    out.kids.push_back(std::move(item));
                }
                if (out.kind == XmpKind::Alt) detectAltText(out);
                return Error::None;
            }
            if (c.is(kNsRdf, "Description")) {
                std::string lang = out.lang;
                RETURN_ERR(structFrom(c, out, depth + 1));
                if (out.lang.empty()) out.lang = std::move(lang);
                return Error::None;
            }
            return Error::Malformed; // typed nodes are not XMP a writer produces
        }
        if (allSpace(e.text) && (resource || valueAttr || propertyAttrs)) {
            if (resource || valueAttr) {
                out.value = resource ? *resource : *valueAttr;
                return Error::None;
            }
            return structFrom(e, out, depth);
        }
        out.value = e.text;
        return Error::None;
    }

    // An alternative whose items are all simple and language-tagged is a language alternative;
    // its x-default item comes first.
    static void detectAltText(PNode& array)
    {
        if (array.kids.empty()) return;
        for (const PNode& item : array.kids)
            if (item.kind != XmpKind::Simple || item.lang.empty()) return;
        array.kind = XmpKind::AltText;
        normaliseLangArray(array);
    }

    static void normaliseLangArray(PNode& array)
    {
        for (size_t i = 1; i < array.kids.size(); ++i)
            if (array.kids[i].lang == "x-default") {
                std::swap(array.kids[0], array.kids[i]);
                break;
            }
    }

    const std::vector<Elem>& m_e;
    std::vector<Schema> m_schemas;
    std::string m_about;
};

// ---- toolkit normalisations ----

enum class AliasForm : uint8_t { Direct, FirstItem, XDefault };
struct Alias {
    std::string_view ns, local, baseNs, baseLocal;
    AliasForm form;
};

constexpr std::string_view kNsDc = kNsDublinCore;
constexpr Alias kAliases[] = {
    {kNsXmp, "Author", kNsDc, "creator", AliasForm::Direct},
    {kNsXmp, "Authors", kNsDc, "creator", AliasForm::Direct},
    {kNsXmp, "Description", kNsDc, "description", AliasForm::Direct},
    {kNsXmp, "Format", kNsDc, "format", AliasForm::Direct},
    {kNsXmp, "Keywords", kNsDc, "subject", AliasForm::Direct},
    {kNsXmp, "Locale", kNsDc, "language", AliasForm::Direct},
    {kNsXmp, "Title", kNsDc, "title", AliasForm::Direct},
    {kNsXmpRights, "Copyright", kNsDc, "rights", AliasForm::Direct},
    {kNsExif, "DateTimeDigitized", kNsXmp, "CreateDate", AliasForm::Direct},
    {kNsPdf, "Author", kNsDc, "creator", AliasForm::FirstItem},
    {kNsPdf, "BaseURL", kNsXmp, "BaseURL", AliasForm::Direct},
    {kNsPdf, "CreationDate", kNsXmp, "CreateDate", AliasForm::Direct},
    {kNsPdf, "Creator", kNsXmp, "CreatorTool", AliasForm::Direct},
    {kNsPdf, "ModDate", kNsXmp, "ModifyDate", AliasForm::Direct},
    {kNsPdf, "Subject", kNsDc, "description", AliasForm::XDefault},
    {kNsPdf, "Title", kNsDc, "title", AliasForm::XDefault},
    {kNsPhotoshop, "Author", kNsDc, "creator", AliasForm::FirstItem},
    {kNsPhotoshop, "Caption", kNsDc, "description", AliasForm::XDefault},
    {kNsPhotoshop, "Copyright", kNsDc, "rights", AliasForm::XDefault},
    {kNsPhotoshop, "Keywords", kNsDc, "subject", AliasForm::Direct},
    {kNsPhotoshop, "Marked", kNsXmpRights, "Marked", AliasForm::Direct},
    {kNsPhotoshop, "Title", kNsDc, "title", AliasForm::XDefault},
    {kNsPhotoshop, "WebStatement", kNsXmpRights, "WebStatement", AliasForm::Direct},
    {kNsTiff, "Artist", kNsDc, "creator", AliasForm::FirstItem},
    {kNsTiff, "Copyright", kNsDc, "rights", AliasForm::Direct},
    {kNsTiff, "DateTime", kNsXmp, "ModifyDate", AliasForm::Direct},
    {kNsTiff, "ImageDescription", kNsDc, "description", AliasForm::Direct},
    {kNsTiff, "Software", kNsXmp, "CreatorTool", AliasForm::Direct},
    {kNsPng, "Author", kNsDc, "creator", AliasForm::FirstItem},
    {kNsPng, "Copyright", kNsDc, "rights", AliasForm::XDefault},
    {kNsPng, "CreationTime", kNsXmp, "CreateDate", AliasForm::Direct},
    {kNsPng, "Description", kNsDc, "description", AliasForm::XDefault},
    {kNsPng, "ModificationTime", kNsXmp, "ModifyDate", AliasForm::Direct},
    {kNsPng, "Software", kNsXmp, "CreatorTool", AliasForm::Direct},
    {kNsPng, "Title", kNsDc, "title", AliasForm::XDefault},
};

PNode* findTop(std::vector<Schema>& schemas, std::string_view ns, std::string_view local)
{
    for (Schema& s : schemas)
        if (s.ns == ns)
            for (PNode& p : s.props)
                if (p.local == local) return &p;
    return nullptr;
}

Schema& schemaOf(std::vector<Schema>& schemas, std::string_view ns)
{
    for (Schema& s : schemas)
        if (s.ns == ns) return s;
    schemas.push_back({ns, {}, {}});
    return schemas.back();
}

// An alias found in the packet moves to its base property, unless the base is there already.
void moveAliases(std::vector<Schema>& schemas)
{
    for (size_t si = 0; si < schemas.size(); ++si) {
        for (size_t pi = 0; pi < schemas[si].props.size();) {
            const PNode& p = schemas[si].props[pi];
            const Alias* alias = nullptr;
            for (const Alias& a : kAliases)
                if (a.ns == schemas[si].ns && a.local == p.local) alias = &a;
            if (!alias) {
                ++pi;
                continue;
            }
            PNode node = std::move(schemas[si].props[pi]);
            schemas[si].props.erase(schemas[si].props.begin() + static_cast<std::ptrdiff_t>(pi));
            if (findTop(schemas, alias->baseNs, alias->baseLocal)) continue;
            PNode base;
            if (alias->form == AliasForm::Direct || node.kind != XmpKind::Simple) {
                base = std::move(node);
            } else {
                base.kind = alias->form == AliasForm::FirstItem ? XmpKind::Seq : XmpKind::AltText;
                if (alias->form == AliasForm::XDefault && node.lang.empty())
                    node.lang = "x-default";
                base.kids.push_back(std::move(node));
            }
            base.ns = alias->baseNs;
            base.local = alias->baseLocal;
            base.filePrefix = {};
            schemaOf(schemas, alias->baseNs).props.push_back(std::move(base));
        }
    }
}

void normaliseDcArrays(std::vector<Schema>& schemas)
{
    for (Schema& s : schemas) {
        if (s.ns != kNsDc) continue;
        for (PNode& p : s.props) {
            if (p.kind != XmpKind::Simple) continue;
            XmpKind form;
            if (p.local == "creator" || p.local == "date")
                form = XmpKind::Seq;
            else if (p.local == "description" || p.local == "rights" || p.local == "title")
                form = XmpKind::AltText;
            else if (p.local == "contributor" || p.local == "language" || p.local == "publisher" ||
                     p.local == "relation" || p.local == "subject" || p.local == "type")
                form = XmpKind::Bag;
            else
                continue;
            PNode item;
            item.value = std::move(p.value);
            item.lang = std::move(p.lang);
            if (form == XmpKind::AltText && item.lang.empty()) item.lang = "x-default";
            p.kind = form;
            p.value.clear();
            p.lang.clear();
            p.kids.clear();
            p.kids.push_back(std::move(item));
        }
    }
}

void repairAltText(std::vector<Schema>& schemas, std::string_view ns, std::string_view local)
{
    PNode* p = findTop(schemas, ns, local);
    if (!p || p->kind == XmpKind::AltText || p->kind == XmpKind::Simple ||
        p->kind == XmpKind::Struct)
        return;
    p->kind = XmpKind::AltText;
    std::erase_if(p->kids, [](const PNode& item) {
        return item.kind != XmpKind::Simple || (item.lang.empty() && item.value.empty());
    });
    for (PNode& item : p->kids)
        if (item.lang.empty()) item.lang = "x-repair";
}

// A UUID in rdf:about stands for xmpMM:InstanceID when the packet has none.
void migrateAbout(std::vector<Schema>& schemas, const std::string& about)
{
    constexpr std::string_view kNsXmpMM = "http://ns.adobe.com/xap/1.0/mm/";
    std::string id;
    if (about.starts_with("uuid:")) {
        id = about;
    } else if (about.size() == 36 && about[8] == '-' && about[13] == '-' && about[18] == '-' &&
               about[23] == '-') {
        id = about; // the toolkit keeps the bare form
    }
    if (id.empty() || findTop(schemas, kNsXmpMM, "InstanceID")) return;
    PNode node;
    node.ns = kNsXmpMM;
    node.local = "InstanceID";
    node.value = std::move(id);
    schemaOf(schemas, kNsXmpMM).props.push_back(std::move(node));
}

// ---- listing ----

class Lister {
  public:
    explicit Lister(std::vector<XmpProperty>& out) : m_out(out) {}

    void schema(const Schema& s)
    {
        const std::string prefix = prefixFor(s.ns, s.filePrefix);
        for (const PNode& p : s.props)
            node(p, std::string(s.ns), prefix, prefix + ":" + std::string(p.local), s.ns, prefix);
    }

  private:
    std::string prefixFor(std::string_view ns, std::string_view filePrefix)
    {
        for (const auto& [uri, prefix] : m_prefixes)
            if (uri == ns) return prefix;
        // A namespace new to the process is registered as the toolkit would on parsing, so
        // that queries by prefix find it and a taken prefix gets the toolkit's unique variant.
        std::string prefix;
        auto registered = xmpPrefixForNamespace(ns);
        if (!registered) {
            (void)registerXmpNamespace(ns, filePrefix.empty() ? "ns" : filePrefix);
            registered = xmpPrefixForNamespace(ns);
        }
        if (registered)
            prefix = std::move(*registered);
        else
            prefix = filePrefix.empty() ? "ns" : std::string(filePrefix);
        m_prefixes.emplace_back(ns, prefix);
        return prefix;
    }

    void node(const PNode& n, std::string ns, const std::string& prefix, std::string path,
              std::string_view schemaNs, const std::string& schemaPrefix)
    {
        XmpProperty prop;
        prop.ns = std::move(ns);
        prop.prefix = prefix;
        for (char c : path)
            if (c == '/' || c == '[') ++prop.depth;
        prop.kind = n.kind;
        if (n.kind == XmpKind::Simple) prop.value = n.value;
        prop.lang = n.lang;
        prop.path = path;
        m_out.push_back(std::move(prop));
        if (n.kind == XmpKind::Simple) return;
        const bool array = n.kind != XmpKind::Struct;
        for (size_t i = 0; i < n.kids.size(); ++i) {
            const PNode& k = n.kids[i];
            if (array) {
                node(k, std::string(schemaNs), schemaPrefix,
                     path + "[" + std::to_string(i + 1) + "]", schemaNs, schemaPrefix);
            } else {
                const std::string fp = prefixFor(k.ns, k.filePrefix);
                node(k, std::string(k.ns), fp, path + "/" + fp + ":" + std::string(k.local),
                     schemaNs, schemaPrefix);
            }
        }
    }

    std::vector<XmpProperty>& m_out;
    std::vector<std::pair<std::string_view, std::string>> m_prefixes;
};

#undef RETURN_ERR

} // namespace

Result<std::vector<XmpProperty>> readXmpProperties(std::string_view packet)
{
    try {
        if (packet.starts_with("\xEF\xBB\xBF")) packet.remove_prefix(3);
        std::string fixed;
        if (const int order = utf16Order(packet); order != 0) {
            if (!fromUtf16(packet, order > 0, fixed)) return Error::Malformed;
            packet = fixed;
        } else if (!packet.empty() &&
                   (packet[0] == '\0' || static_cast<uint8_t>(packet[0]) >= 0xFE)) {
            return Error::Malformed; // UTF-32 packets are left to the toolkit
        }
        if (needsRepair(packet)) {
            fixed = repaired(packet);
            packet = fixed;
        }
        XmlReader xml(packet);
        if (const Error e = xml.parse(); e != Error::None) return e;
        RdfReader rdf(xml.elems());
        if (const Error e = rdf.read(); e != Error::None) return e;
        auto& schemas = rdf.schemas();
        moveAliases(schemas);
        normaliseDcArrays(schemas);
        repairAltText(schemas, kNsExif, "UserComment");
        repairAltText(schemas, kNsXmpRights, "UsageTerms");
        migrateAbout(schemas, rdf.about());
        std::vector<XmpProperty> out;
        Lister lister(out);
        for (const Schema& s : schemas)
            lister.schema(s);
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

void mergeXmpProperties(std::vector<XmpProperty>& main, const std::vector<XmpProperty>& extension)
{
    // Top-level runs: a depth-0 node and the deeper nodes after it.
    auto runEnd = [](const std::vector<XmpProperty>& v, size_t i) {
        size_t j = i + 1;
        while (j < v.size() && v[j].depth > 0)
            ++j;
        return j;
    };
    for (size_t i = 0; i < extension.size();) {
        const size_t end = runEnd(extension, i);
        if (extension[i].depth != 0) {
            i = end;
            continue;
        }
        const XmpProperty& top = extension[i];
        size_t at = main.size(), lastOfSchema = main.size();
        bool replace = false;
        for (size_t k = 0; k < main.size(); k = runEnd(main, k)) {
            if (main[k].depth != 0 || main[k].ns != top.ns) continue;
            lastOfSchema = runEnd(main, k);
            if (main[k].path == top.path) {
                at = k;
                replace = true;
                break;
            }
        }
        if (replace) {
            main.erase(main.begin() + static_cast<std::ptrdiff_t>(at),
                       main.begin() + static_cast<std::ptrdiff_t>(runEnd(main, at)));
        } else {
            at = lastOfSchema;
        }
        main.insert(main.begin() + static_cast<std::ptrdiff_t>(at),
                    extension.begin() + static_cast<std::ptrdiff_t>(i),
                    extension.begin() + static_cast<std::ptrdiff_t>(end));
        i = end;
    }
}

} // namespace mio::formats
