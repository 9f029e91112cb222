// SPDX-License-Identifier: MIT
// The registrar: parses registration scripts in the .rgs grammar and applies or reverts them.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry_internal.h"
#include "tavrel/platform/registry.h"

namespace {

using U16 = std::u16string;

char16_t lower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool sameText(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

struct Token {
    enum Kind { Word, Quoted, Open, Close, Equals, End } kind;
    U16 text;
};

struct ParsedValue {
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};

struct Node {
    enum Flag { Plain, NoRemove, ForceRemove, Delete } flag = Plain;
    bool isValue = false; // a `val` line: a named value of the enclosing key
    U16 name;
    std::optional<ParsedValue> value; // the key's default value, or the named value
    std::vector<Node> children;
};

struct RootBlock {
    HKEY root;
    std::vector<Node> nodes;
};

class Parser {
  public:
    Parser(std::u16string_view text, const WCHAR* const* pairs) : m_text(text), m_pairs(pairs) {}

    bool parse(HKEY classesRoot, std::vector<RootBlock>* out)
    {
        while (true) {
            Token t = next();
            if (m_failed) return false;
            if (t.kind == Token::End) return true;
            if (t.kind != Token::Word) return false;
            HKEY root = rootFor(t.text, classesRoot);
            if (!root || next().kind != Token::Open) return false;
            RootBlock block{root, {}};
            if (!parseBody(&block.nodes, 0)) return false;
            out->push_back(std::move(block));
        }
    }

  private:
    static HKEY rootFor(const U16& name, HKEY classesRoot)
    {
        if (sameText(name, u"HKCR") || sameText(name, u"HKEY_CLASSES_ROOT")) return classesRoot;
        if (sameText(name, u"HKCU") || sameText(name, u"HKEY_CURRENT_USER"))
            return HKEY_CURRENT_USER;
        if (sameText(name, u"HKLM") || sameText(name, u"HKEY_LOCAL_MACHINE"))
            return HKEY_LOCAL_MACHINE;
        if (sameText(name, u"HKU") || sameText(name, u"HKEY_USERS")) return HKEY_USERS;
        return nullptr;
    }

    // Reads nodes until the closing brace of the current block.
    bool parseBody(std::vector<Node>* nodes, int depth)
    {
        if (depth > 64) return false; // hostile nesting
        while (true) {
            Token t = next();
            if (m_failed) return false;
            if (t.kind == Token::Close) return true;
            if (t.kind != Token::Word && t.kind != Token::Quoted) return false;
            Node node;
            if (t.kind == Token::Word) {
                if (sameText(t.text, u"NoRemove")) node.flag = Node::NoRemove;
                if (sameText(t.text, u"ForceRemove")) node.flag = Node::ForceRemove;
                if (sameText(t.text, u"Delete")) node.flag = Node::Delete;
                if (node.flag != Node::Plain) {
                    t = next();
                    if (t.kind != Token::Word && t.kind != Token::Quoted) return false;
                }
                if (t.kind == Token::Word && sameText(t.text, u"val") && node.flag == Node::Plain) {
                    node.isValue = true;
                    t = next();
                    if (t.kind != Token::Word && t.kind != Token::Quoted) return false;
                }
            }
            node.name = t.text;
            Token after = next();
            if (after.kind == Token::Equals) {
                node.value.emplace();
                if (!parseValue(&*node.value)) return false;
                after = next();
            } else if (node.isValue) {
                return false;
            }
            if (after.kind == Token::Open) {
                if (node.isValue || !parseBody(&node.children, depth + 1)) return false;
            } else {
                pushBack(std::move(after));
            }
            nodes->push_back(std::move(node));
        }
    }

    bool parseValue(ParsedValue* v)
    {
        Token kind = next();
        Token data = next();
        if (kind.kind != Token::Word || data.kind != Token::Quoted || kind.text.size() != 1)
            return false;
        switch (lower(kind.text[0])) {
        case u's': {
            U16 text = data.text + u'\0';
            v->type = REG_SZ;
            v->data.resize(text.size() * 2);
            std::memcpy(v->data.data(), text.data(), v->data.size());
            return true;
        }
        case u'd': {
            uint64_t n = 0;
            std::u16string_view s = data.text;
            int base = 10;
            if (s.size() > 2 && s[0] == u'0' && lower(s[1]) == u'x') {
                base = 16;
                s.remove_prefix(2);
            }
            if (s.empty()) return false;
            for (char16_t c : s) {
                int d = c >= u'0' && c <= u'9'                               ? c - u'0'
                        : base == 16 && lower(c) >= u'a' && lower(c) <= u'f' ? lower(c) - u'a' + 10
                                                                             : -1;
                if (d < 0) return false;
                n = n * static_cast<unsigned>(base) + static_cast<unsigned>(d);
                if (n > 0xFFFFFFFFu) return false;
            }
            const auto dw = static_cast<DWORD>(n);
            v->type = REG_DWORD;
            v->data.resize(4);
            std::memcpy(v->data.data(), &dw, 4);
            return true;
        }
        case u'b': {
            const U16& s = data.text;
            if (s.size() % 2) return false;
            v->type = REG_BINARY;
            for (size_t i = 0; i < s.size(); i += 2) {
                auto hex = [](char16_t c) {
                    c = lower(c);
                    return c >= u'0' && c <= u'9'   ? c - u'0'
                           : c >= u'a' && c <= u'f' ? c - u'a' + 10
                                                    : -1;
                };
                const int hi = hex(s[i]), lo = hex(s[i + 1]);
                if (hi < 0 || lo < 0) return false;
                v->data.push_back(static_cast<BYTE>(hi << 4 | lo));
            }
            return true;
        }
        default:
            return false;
        }
    }

    void pushBack(Token t) { m_pending = std::move(t); }

    Token next()
    {
        if (m_pending) {
            Token t = std::move(*m_pending);
            m_pending.reset();
            return t;
        }
        while (m_pos < m_text.size() && isSpace(m_text[m_pos]))
            ++m_pos;
        if (m_pos >= m_text.size()) return {Token::End, {}};
        const char16_t c = m_text[m_pos];
        if (c == u'=') {
            ++m_pos;
            return {Token::Equals, {}};
        }
        if (c == u'}') {
            ++m_pos;
            return {Token::Close, {}};
        }
        if (c == u'{' && (m_pos + 1 >= m_text.size() || isSpace(m_text[m_pos + 1]))) {
            ++m_pos;
            return {Token::Open, {}};
        }
        if (c == u'\'') {
            U16 text;
            ++m_pos;
            while (true) {
                if (m_pos >= m_text.size()) {
                    m_failed = true;
                    return {Token::End, {}};
                }
                if (m_text[m_pos] == u'\'') {
                    if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == u'\'') {
                        text.push_back(u'\'');
                        m_pos += 2;
                        continue;
                    }
                    ++m_pos;
                    break;
                }
                text.push_back(m_text[m_pos++]);
            }
            return {Token::Quoted, substitute(text)};
        }
        // A bare word; one starting with '{' (a braced class id) runs to its closing brace.
        size_t start = m_pos;
        if (c == u'{') {
            while (m_pos < m_text.size() && m_text[m_pos] != u'}' && !isSpace(m_text[m_pos]))
                ++m_pos;
            if (m_pos >= m_text.size() || m_text[m_pos] != u'}') {
                m_failed = true;
                return {Token::End, {}};
            }
            ++m_pos;
        } else {
            while (m_pos < m_text.size() && !isSpace(m_text[m_pos]) && m_text[m_pos] != u'=' &&
                   m_text[m_pos] != u'{' && m_text[m_pos] != u'}')
                ++m_pos;
        }
        return {Token::Word, substitute(U16(m_text.substr(start, m_pos - start)))};
    }

    static bool isSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

    // %NAME% from the replacement pairs; %% is a percent sign; anything else fails the parse.
    U16 substitute(const U16& in)
    {
        U16 out;
        for (size_t i = 0; i < in.size(); ++i) {
            if (in[i] != u'%') {
                out.push_back(in[i]);
                continue;
            }
            const size_t close = in.find(u'%', i + 1);
            if (close == U16::npos) {
                m_failed = true;
                return out;
            }
            std::u16string_view name(in.data() + i + 1, close - i - 1);
            if (name.empty()) {
                out.push_back(u'%');
            } else {
                const WCHAR* value = nullptr;
                for (auto p = m_pairs; p && p[0] && p[1]; p += 2)
                    if (sameText(name, p[0])) value = p[1];
                if (!value) {
                    m_failed = true;
                    return out;
                }
                out += value;
            }
            i = close;
        }
        return out;
    }

    std::u16string_view m_text;
    const WCHAR* const* m_pairs;
    size_t m_pos = 0;
    bool m_failed = false;
    std::optional<Token> m_pending;
};

// Owns one opened key.
struct KeyHold {
    HKEY key = nullptr;
    ~KeyHold()
    {
        if (key) RegCloseKey(key);
    }
};

HRESULT fromStatus(LSTATUS s)
{
    return HRESULT_FROM_WIN32(static_cast<uint32_t>(s));
}

HRESULT setValue(HKEY key, const U16& name, const ParsedValue& v)
{
    const LSTATUS s = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, v.type,
                                     v.data.data(), static_cast<DWORD>(v.data.size()));
    return fromStatus(s);
}

HRESULT registerNodes(HKEY parent, const std::vector<Node>& nodes)
{
    for (const Node& n : nodes) {
        if (n.isValue) {
            if (HRESULT hr = setValue(parent, n.name, *n.value); FAILED(hr)) return hr;
            continue;
        }
        if (n.flag == Node::Delete || n.flag == Node::ForceRemove) {
            const LSTATUS s = RegDeleteTreeW(parent, n.name.c_str());
            if (s != ERROR_SUCCESS && s != static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND))
                return fromStatus(s);
            if (n.flag == Node::Delete) continue;
        }
        KeyHold key;
        const LSTATUS s = RegCreateKeyExW(parent, n.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                          nullptr, &key.key, nullptr);
        if (s != ERROR_SUCCESS) return fromStatus(s);
        if (n.value) {
            if (HRESULT hr = setValue(key.key, U16(), *n.value); FAILED(hr)) return hr;
        }
        if (HRESULT hr = registerNodes(key.key, n.children); FAILED(hr)) return hr;
    }
    return S_OK;
}

bool isEmptyKey(HKEY key)
{
    WCHAR name[256];
    DWORD cch = 256;
    if (RegEnumKeyExW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
        static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS))
        return false;
    cch = 256;
    // A value name longer than the buffer still proves a value exists (ERROR_MORE_DATA).
    return RegEnumValueW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) ==
           static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS);
}

HRESULT unregisterNodes(HKEY parent, const std::vector<Node>& nodes)
{
    for (const Node& n : nodes) {
        if (n.isValue) {
            const LSTATUS s = RegDeleteValueW(parent, n.name.c_str());
            if (s != ERROR_SUCCESS && s != static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND))
                return fromStatus(s);
            continue;
        }
        if (n.flag == Node::Delete) continue;
        if (n.flag == Node::ForceRemove) {
            const LSTATUS s = RegDeleteTreeW(parent, n.name.c_str());
            if (s != ERROR_SUCCESS && s != static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND))
                return fromStatus(s);
            continue;
        }
        KeyHold key;
        LSTATUS s = RegOpenKeyExW(parent, n.name.c_str(), 0, KEY_ALL_ACCESS, &key.key);
        if (s == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) continue;
        if (s != ERROR_SUCCESS) return fromStatus(s);
        if (HRESULT hr = unregisterNodes(key.key, n.children); FAILED(hr)) return hr;
        if (n.flag == Node::NoRemove) continue;
        if (n.value) {
            s = RegDeleteValueW(key.key, nullptr);
            if (s != ERROR_SUCCESS && s != static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND))
                return fromStatus(s);
        }
        // Keys that still hold something the script did not write belong to someone else.
        if (isEmptyKey(key.key)) {
            s = RegDeleteKeyW(parent, n.name.c_str());
            if (s != ERROR_SUCCESS) return fromStatus(s);
        }
    }
    return S_OK;
}

} // namespace

TAVREL_API HRESULT TavrelRegistrarApply(HKEY root, const WCHAR* script,
                                        const WCHAR* const* replacementPairs, BOOL registering)
{
    if (!script) return E_INVALIDARG;
    try {
        std::vector<RootBlock> blocks;
        Parser parser(script, replacementPairs);
        if (!parser.parse(root ? root : HKEY_CLASSES_ROOT, &blocks)) return DISP_E_EXCEPTION;
        tavrel::RegistryBatch batch;
        for (const RootBlock& b : blocks) {
            HRESULT hr =
                registering ? registerNodes(b.root, b.nodes) : unregisterNodes(b.root, b.nodes);
            if (FAILED(hr)) return hr; // the batch drops every change made so far
        }
        const DWORD status = batch.commit();
        return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
