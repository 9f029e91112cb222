// SPDX-License-Identifier: MIT
// GUID <-> "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" text, the registry's spelling of class ids.
#include "com_internal.h"
#include "tavrel/platform/combase.h"

namespace tavrel {

std::u16string guidToString(const GUID& g)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::u16string s;
    s.reserve(38);
    auto put = [&](uint64_t v, int digits) {
        for (int i = digits - 1; i >= 0; --i)
            s.push_back(static_cast<char16_t>(kHex[(v >> (4 * i)) & 0xF]));
    };
    s.push_back(u'{');
    put(g.Data1, 8);
    s.push_back(u'-');
    put(g.Data2, 4);
    s.push_back(u'-');
    put(g.Data3, 4);
    s.push_back(u'-');
    put(g.Data4[0], 2);
    put(g.Data4[1], 2);
    s.push_back(u'-');
    for (int i = 2; i < 8; ++i)
        put(g.Data4[i], 2);
    s.push_back(u'}');
    return s;
}

bool guidFromString(std::u16string_view s, GUID* out)
{
    if (s.size() != 38 || s[0] != u'{' || s[37] != u'}') return false;
    // Positions of the dashes inside the braces; every other character is a hex digit.
    uint8_t bytes[16];
    size_t n = 0;
    for (size_t i = 1; i < 37;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (s[i] != u'-') return false;
            ++i;
            continue;
        }
        auto hex = [](char16_t c) -> int {
            if (c >= u'0' && c <= u'9') return c - u'0';
            if (c >= u'a' && c <= u'f') return c - u'a' + 10;
            if (c >= u'A' && c <= u'F') return c - u'A' + 10;
            return -1;
        };
        const int hi = hex(s[i]), lo = hex(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    out->Data1 =
        uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    out->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    out->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(out->Data4, bytes + 8, 8);
    return true;
}

} // namespace tavrel

TAVREL_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)
{
    const std::u16string s = tavrel::guidToString(rguid);
    if (!lpsz || cchMax < static_cast<int>(s.size() + 1)) return 0;
    std::memcpy(lpsz, s.c_str(), (s.size() + 1) * sizeof(OLECHAR));
    return static_cast<int>(s.size() + 1);
}

TAVREL_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (!pclsid) return E_INVALIDARG;
    if (!lpsz) {
        *pclsid = CLSID_NULL;
        return S_OK;
    }
    std::u16string_view text(lpsz);
    if (tavrel::guidFromString(text, pclsid)) return S_OK;
    *pclsid = CLSID_NULL;
    if (text.empty() || text[0] == u'{') return CO_E_CLASSSTRING;
    // Not braced: a ProgID, resolved through HKCR\<ProgID>\CLSID.
    return tavrel::clsidFromProgId(text, pclsid);
}
