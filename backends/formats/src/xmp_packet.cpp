// SPDX-License-Identifier: MIT
// XmpPacket over Exempi: one lock around the toolkit, owners for its handles.
#include "mio/formats/xmp_packet.h"
#include "mio/formats/xmp_reader.h"

#include <exempi/xmp.h>
#include <exempi/xmpconsts.h>

#include <map>
#include <mutex>
#include <new>

namespace mio::formats {

namespace {

// Exempi keeps its last error in process state and the toolkit's namespace registry is
// global, so every call goes through this lock.
std::mutex& toolkitLock()
{
    static std::mutex m;
    return m;
}

// Called with the lock held. Initialises the toolkit once for the process.
bool ensureToolkit()
{
    static const bool ready = [] {
        if (!xmp_init()) return false;
        xmp_register_namespace(std::string(kNsMicrosoftPhoto).c_str(), "MicrosoftPhoto", nullptr);
        xmp_register_namespace(std::string(kNsMicrosoftPhoto12).c_str(), "MP", nullptr);
        return true;
    }();
    return ready;
}

struct XmpFree {
    void operator()(XmpPtr p) const { xmp_free(p); }
};
struct StringFree {
    void operator()(XmpStringPtr p) const { xmp_string_free(p); }
};
struct IteratorFree {
    void operator()(XmpIteratorPtr p) const { xmp_iterator_free(p); }
};
using UniqueXmp = std::unique_ptr<std::remove_pointer_t<XmpPtr>, XmpFree>;
using UniqueString = std::unique_ptr<std::remove_pointer_t<XmpStringPtr>, StringFree>;
using UniqueIterator = std::unique_ptr<std::remove_pointer_t<XmpIteratorPtr>, IteratorFree>;

UniqueString newString()
{
    return UniqueString(xmp_string_new());
}

std::string toString(XmpStringPtr s)
{
    return std::string(xmp_string_cstr(s), xmp_string_len(s));
}

uint32_t arrayOptions(XmpKind kind)
{
    switch (kind) {
    case XmpKind::Seq:
        return XMP_PROP_VALUE_IS_ARRAY | XMP_PROP_ARRAY_IS_ORDERED;
    case XmpKind::Alt:
        return XMP_PROP_VALUE_IS_ARRAY | XMP_PROP_ARRAY_IS_ORDERED | XMP_PROP_ARRAY_IS_ALT;
    case XmpKind::AltText:
        return XMP_PROP_VALUE_IS_ARRAY | XMP_PROP_ARRAY_IS_ORDERED | XMP_PROP_ARRAY_IS_ALT |
               XMP_PROP_ARRAY_IS_ALTTEXT;
    default:
        return XMP_PROP_VALUE_IS_ARRAY;
    }
}

XmpKind kindOf(uint32_t options)
{
    if (options & XMP_PROP_ARRAY_IS_ALTTEXT) return XmpKind::AltText;
    if (options & XMP_PROP_ARRAY_IS_ALT) return XmpKind::Alt;
    if (options & XMP_PROP_ARRAY_IS_ORDERED) return XmpKind::Seq;
    if (options & XMP_PROP_VALUE_IS_ARRAY) return XmpKind::Bag;
    if (options & XMP_PROP_VALUE_IS_STRUCT) return XmpKind::Struct;
    return XmpKind::Simple;
}

// The toolkit parses RDF recursively: a packet nested a few hundred thousand levels deep
// overflows the stack. Real packets nest about a dozen levels, so measure the element depth
// first (a linear scan that skips comments, CDATA, declarations and quoted attributes).
bool nestingWithin(std::string_view xml, size_t limit)
{
    size_t depth = 0;
    size_t i = 0;
    const size_t n = xml.size();
    auto skipPast = [&](std::string_view end) {
        const size_t at = xml.find(end, i);
        i = at == std::string_view::npos ? n : at + end.size();
    };
    while (i < n) {
        if (xml[i] != '<') {
            ++i;
            continue;
        }
        const std::string_view rest = xml.substr(i);
        if (rest.starts_with("<!--"))
            skipPast("-->");
        else if (rest.starts_with("<![CDATA["))
            skipPast("]]>");
        else if (rest.starts_with("<?"))
            skipPast("?>");
        else if (rest.starts_with("<!"))
            skipPast(">");
        else {
            const bool closing = rest.size() > 1 && rest[1] == '/';
            size_t j = i + 1;
            char quote = 0;
            for (; j < n; ++j) {
                const char c = xml[j];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            const bool selfClosing = j < n && xml[j - 1] == '/';
            if (closing) {
                if (depth) --depth;
            } else if (!selfClosing && ++depth > limit) {
                return false;
            }
            i = j + 1;
        }
    }
    return true;
}

// Lock holder plus toolkit readiness, for the top of every entry point.
struct Session {
    std::lock_guard<std::mutex> lock{toolkitLock()};
    bool ready = ensureToolkit();
};

// Runs a toolkit operation, turning allocation failures into an Error.
template <class F> auto guarded(F&& f) -> decltype(f())
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    } catch (...) {
        return Error::XmpFailure;
    }
}

std::string prefixOf(const std::string& uri)
{
    auto s = newString();
    if (!s || !xmp_namespace_prefix(uri.c_str(), s.get())) return {};
    std::string p = toString(s.get());
    if (!p.empty() && p.back() == ':') p.pop_back();
    return p;
}

} // namespace

struct XmpPacket::Impl {
    UniqueXmp xmp;
};

XmpPacket::XmpPacket(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
XmpPacket::XmpPacket(XmpPacket&&) noexcept = default;
XmpPacket& XmpPacket::operator=(XmpPacket&& other) noexcept
{
    if (this != &other) {
        Session s;
        m_impl = std::move(other.m_impl);
    }
    return *this;
}

XmpPacket::~XmpPacket()
{
    if (m_impl) {
        Session s;
        m_impl.reset();
    }
}

Result<XmpPacket> XmpPacket::createEmpty()
{
    return guarded([&]() -> Result<XmpPacket> {
        Session s;
        if (!s.ready) return Error::XmpFailure;
        auto impl = std::make_unique<Impl>();
        impl->xmp.reset(xmp_new_empty());
        if (!impl->xmp) return Error::XmpFailure;
        return XmpPacket(std::move(impl));
    });
}

Result<XmpPacket> XmpPacket::parse(std::string_view packet)
{
    if (!nestingWithin(packet, kMaxXmpNesting)) return Error::TooMany;
    auto parsed = guarded([&]() -> Result<XmpPacket> {
        Session s;
        if (!s.ready) return Error::XmpFailure;
        auto impl = std::make_unique<Impl>();
        impl->xmp.reset(xmp_new_empty());
        if (!impl->xmp) return Error::XmpFailure;
        if (!xmp_parse(impl->xmp.get(), packet.data(), packet.size())) return Error::XmpFailure;
        return XmpPacket(std::move(impl));
    });
    if (parsed) parsed->restoreLanguageItems(packet);
    return parsed;
}

// When a language alternative does not list x-default first, the toolkit moves it there but
// leaves its text in the item it displaced as well, so the other language's text is lost (and
// a commit would write that loss into the file). Our reader moves items whole: put back every
// item text the toolkit changed.
void XmpPacket::restoreLanguageItems(std::string_view packet)
{
    // Only a packet with an item ahead of an x-default one needs the second reading.
    bool displaced = false;
    for (size_t at = packet.find("x-default"); at != std::string_view::npos && !displaced;
         at = packet.find("x-default", at + 1)) {
        const size_t alt = packet.rfind("Alt", at);
        if (alt == std::string_view::npos) continue;
        const std::string_view before = packet.substr(alt, at - alt);
        const size_t first = before.find(":li");
        displaced = first != std::string_view::npos &&
                    before.find(":li", first + 1) != std::string_view::npos;
    }
    if (!displaced) return;
    auto listed = readXmpProperties(packet);
    if (!listed) return;
    for (const XmpProperty& p : *listed) {
        if (p.kind != XmpKind::Simple || p.lang.empty() || p.path.empty() || p.path.back() != ']')
            continue;
        const auto theirs = get(p.ns, p.path);
        if (theirs && *theirs != p.value) (void)set(p.ns, p.path, p.value);
    }
}

Result<std::vector<XmpProperty>> XmpPacket::properties() const
{
    return guarded([&]() -> Result<std::vector<XmpProperty>> {
        Session s;
        if (!s.ready || !m_impl) return Error::XmpFailure;
        UniqueIterator it(
            xmp_iterator_new(m_impl->xmp.get(), nullptr, nullptr, XMP_ITER_PROPERTIES));
        if (!it) return Error::XmpFailure;
        auto schema = newString(), path = newString(), value = newString();
        std::vector<XmpProperty> out;
        std::string lastUri, lastPrefix;
        std::map<std::string, std::string> uriOfPrefix;
        uint32_t options = 0;
        while (xmp_iterator_next(it.get(), schema.get(), path.get(), value.get(), &options)) {
            std::string p = toString(path.get());
            if (p.empty()) continue; // a schema node
            if (options & XMP_PROP_IS_QUALIFIER) {
                // "dc:title[1]/?xml:lang" qualifies the node listed just before it.
                const auto q = p.rfind("/?");
                if (!out.empty() && q != std::string::npos && p.compare(q, 11, "/?xml:lang") == 0 &&
                    out.back().path == p.substr(0, q))
                    out.back().lang = toString(value.get());
                continue;
            }
            XmpProperty prop;
            prop.ns = toString(schema.get());
            // Array items and fields of another namespace name it in their last step.
            const auto lastStep = p.find_last_of("/");
            const std::string step = lastStep == std::string::npos ? p : p.substr(lastStep + 1);
            const auto colon = step.find(':');
            if (colon != std::string::npos && step[0] != '[') {
                prop.prefix = step.substr(0, colon);
                if (lastStep != std::string::npos) {
                    auto [cached, added] = uriOfPrefix.try_emplace(prop.prefix);
                    if (added) {
                        auto uri = newString();
                        if (xmp_prefix_namespace_uri(prop.prefix.c_str(), uri.get()))
                            cached->second = toString(uri.get());
                    }
                    if (!cached->second.empty()) prop.ns = cached->second;
                }
            } else {
                if (prop.ns != lastUri) {
                    lastUri = prop.ns;
                    lastPrefix = prefixOf(prop.ns);
                }
                prop.prefix = lastPrefix;
            }
            for (char c : p)
                if (c == '/' || c == '[') ++prop.depth;
            prop.kind = kindOf(options);
            if (prop.kind == XmpKind::Simple) prop.value = toString(value.get());
            prop.path = std::move(p);
            out.push_back(std::move(prop));
        }
        return out;
    });
}

bool XmpPacket::has(std::string_view ns, std::string_view path) const
{
    Session s;
    if (!s.ready || !m_impl) return false;
    try {
        return xmp_has_property(m_impl->xmp.get(), std::string(ns).c_str(),
                                std::string(path).c_str());
    } catch (...) {
        return false;
    }
}

std::optional<std::string> XmpPacket::get(std::string_view ns, std::string_view path) const
{
    Session s;
    if (!s.ready || !m_impl) return std::nullopt;
    try {
        auto value = newString();
        uint32_t options = 0;
        if (!xmp_get_property(m_impl->xmp.get(), std::string(ns).c_str(), std::string(path).c_str(),
                              value.get(), &options))
            return std::nullopt;
        if (options & XMP_PROP_COMPOSITE_MASK) return std::nullopt;
        return toString(value.get());
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<XmpKind> XmpPacket::propertyKind(std::string_view ns, std::string_view path) const
{
    Session s;
    if (!s.ready || !m_impl) return std::nullopt;
    try {
        auto value = newString();
        uint32_t options = 0;
        if (!xmp_get_property(m_impl->xmp.get(), std::string(ns).c_str(), std::string(path).c_str(),
                              value.get(), &options))
            return std::nullopt;
        return kindOf(options);
    } catch (...) {
        return std::nullopt;
    }
}

Error XmpPacket::set(std::string_view ns, std::string_view path, std::string_view value)
{
    return guarded([&]() -> Error {
        Session s;
        if (!s.ready || !m_impl) return Error::XmpFailure;
        return xmp_set_property(m_impl->xmp.get(), std::string(ns).c_str(),
                                std::string(path).c_str(), std::string(value).c_str(), 0)
                   ? Error::None
                   : Error::XmpFailure;
    });
}

Error XmpPacket::remove(std::string_view ns, std::string_view path)
{
    return guarded([&]() -> Error {
        Session s;
        if (!s.ready || !m_impl) return Error::XmpFailure;
        const std::string n(ns), p(path);
        if (!xmp_has_property(m_impl->xmp.get(), n.c_str(), p.c_str())) return Error::NotFound;
        return xmp_delete_property(m_impl->xmp.get(), n.c_str(), p.c_str()) ? Error::None
                                                                            : Error::XmpFailure;
    });
}

Result<std::vector<std::string>> XmpPacket::arrayItems(std::string_view ns,
                                                       std::string_view name) const
{
    return guarded([&]() -> Result<std::vector<std::string>> {
        Session s;
        if (!s.ready || !m_impl) return Error::XmpFailure;
        const std::string n(ns), p(name);
        auto value = newString();
        uint32_t options = 0;
        if (!xmp_get_property(m_impl->xmp.get(), n.c_str(), p.c_str(), value.get(), &options))
            return Error::NotFound;
        if (!(options & XMP_PROP_VALUE_IS_ARRAY)) return Error::Malformed;
        std::vector<std::string> items;
        for (int32_t i = 1;; ++i) {
            if (!xmp_get_array_item(m_impl->xmp.get(), n.c_str(), p.c_str(), i, value.get(),
                                    &options))
                break;
            items.push_back(toString(value.get()));
        }
        return items;
    });
}

Error XmpPacket::setArray(std::string_view ns, std::string_view name, XmpKind kind,
                          std::span<const std::string> items)
{
    return guarded([&]() -> Error {
        Session s;
        if (!s.ready || !m_impl) return Error::XmpFailure;
        const std::string n(ns), p(name);
        if (xmp_has_property(m_impl->xmp.get(), n.c_str(), p.c_str()) &&
            !xmp_delete_property(m_impl->xmp.get(), n.c_str(), p.c_str()))
            return Error::XmpFailure;
        for (const std::string& item : items)
            if (!xmp_append_array_item(m_impl->xmp.get(), n.c_str(), p.c_str(), arrayOptions(kind),
                                       item.c_str(), 0))
                return Error::XmpFailure;
        return Error::None;
    });
}

Error XmpPacket::appendArrayItem(std::string_view ns, std::string_view name, XmpKind kind,
                                 std::string_view value)
{
    return guarded([&]() -> Error {
        Session s;
        if (!s.ready || !m_impl) return Error::XmpFailure;
        return xmp_append_array_item(m_impl->xmp.get(), std::string(ns).c_str(),
                                     std::string(name).c_str(), arrayOptions(kind),
                                     std::string(value).c_str(), 0)
                   ? Error::None
                   : Error::XmpFailure;
    });
}

std::optional<std::string> XmpPacket::localizedText(std::string_view ns, std::string_view name,
                                                    std::string_view lang) const
{
    Session s;
    if (!s.ready || !m_impl) return std::nullopt;
    try {
        auto actual = newString(), value = newString();
        uint32_t options = 0;
        if (!xmp_get_localized_text(m_impl->xmp.get(), std::string(ns).c_str(),
                                    std::string(name).c_str(), "", std::string(lang).c_str(),
                                    actual.get(), value.get(), &options))
            return std::nullopt;
        return toString(value.get());
    } catch (...) {
        return std::nullopt;
    }
}

Error XmpPacket::setLocalizedText(std::string_view ns, std::string_view name,
                                  std::string_view value, std::string_view lang)
{
    return guarded([&]() -> Error {
        Session s;
        if (!s.ready || !m_impl) return Error::XmpFailure;
        return xmp_set_localized_text(m_impl->xmp.get(), std::string(ns).c_str(),
                                      std::string(name).c_str(), "", std::string(lang).c_str(),
                                      std::string(value).c_str(), 0)
                   ? Error::None
                   : Error::XmpFailure;
    });
}

Result<std::string> XmpPacket::serialize(const XmpSerializeOptions& options) const
{
    return guarded([&]() -> Result<std::string> {
        Session s;
        if (!s.ready || !m_impl) return Error::XmpFailure;
        uint32_t flags = XMP_SERIAL_ENCODEUTF8;
        if (!options.packetWrapper) flags |= XMP_SERIAL_OMITPACKETWRAPPER;
        if (options.readOnly) flags |= XMP_SERIAL_READONLYPACKET;
        if (options.compact) flags |= XMP_SERIAL_USECOMPACTFORMAT | XMP_SERIAL_OMITALLFORMATTING;
        uint32_t packetSize = 0;
        if (options.exactSize && (!options.packetWrapper || options.readOnly))
            return Error::Malformed;
        if (options.packetWrapper && !options.readOnly) {
            // The toolkit reads a padding of 0 as "choose one", so size the packet ourselves:
            // the unpadded (read-only) form has the same length as the writeable one. Knowing
            // it also answers "does not fit" without a toolkit failure.
            auto bare = newString();
            if (!xmp_serialize_and_format(m_impl->xmp.get(), bare.get(),
                                          flags | XMP_SERIAL_READONLYPACKET, 0, "\n", " ", 0))
                return Error::XmpFailure;
            const uint64_t unpadded = xmp_string_len(bare.get());
            const uint64_t total =
                options.exactSize ? *options.exactSize : unpadded + options.padding;
            if (total < unpadded || total > UINT32_MAX) return Error::TooLarge;
            packetSize = static_cast<uint32_t>(total);
        }
        auto out = newString();
        if (packetSize) {
            if (!xmp_serialize_and_format(m_impl->xmp.get(), out.get(),
                                          flags | XMP_SERIAL_EXACTPACKETLENGTH, packetSize, "\n",
                                          " ", 0))
                return Error::TooLarge;
        } else if (!xmp_serialize_and_format(m_impl->xmp.get(), out.get(), flags, 0, "\n", " ",
                                             0)) {
            return Error::XmpFailure;
        }
        return toString(out.get());
    });
}

std::optional<std::string> xmpNamespaceForPrefix(std::string_view prefix)
{
    Session s;
    if (!s.ready) return std::nullopt;
    try {
        auto uri = newString();
        if (!xmp_prefix_namespace_uri(std::string(prefix).c_str(), uri.get())) return std::nullopt;
        return toString(uri.get());
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> xmpPrefixForNamespace(std::string_view uri)
{
    Session s;
    if (!s.ready) return std::nullopt;
    try {
        std::string p = prefixOf(std::string(uri));
        if (p.empty()) return std::nullopt;
        return p;
    } catch (...) {
        return std::nullopt;
    }
}

Error registerXmpNamespace(std::string_view uri, std::string_view prefix)
{
    return guarded([&]() -> Error {
        Session s;
        if (!s.ready) return Error::XmpFailure;
        return xmp_register_namespace(std::string(uri).c_str(), std::string(prefix).c_str(),
                                      nullptr)
                   ? Error::None
                   : Error::XmpFailure;
    });
}

} // namespace mio::formats
