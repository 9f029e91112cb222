// SPDX-License-Identifier: MIT
// BSTR allocation: [UINT32 byte length][UTF-16 text][0x0000], the pointer at the text.
#include <cstdlib>

#include "tavrel/platform/oleauto.h"

namespace {

// Keeps the prefix plus terminator inside UINT32 and away from absurd requests.
constexpr size_t kMaxBstrBytes = 0x7FFFFFF0u;

// Allocates room for cb bytes of text plus a 2-byte terminator; the caller fills the text.
BSTR allocBytes(size_t cb)
{
    if (cb > kMaxBstrBytes) return nullptr;
    auto* raw = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + cb + sizeof(OLECHAR)));
    if (!raw) return nullptr;
    const auto prefix = static_cast<uint32_t>(cb);
    std::memcpy(raw, &prefix, sizeof prefix);
    raw[sizeof(uint32_t) + cb] = 0;
    raw[sizeof(uint32_t) + cb + 1] = 0;
    return reinterpret_cast<BSTR>(raw + sizeof(uint32_t));
}

uint32_t prefixOf(BSTR b)
{
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(b) - sizeof(uint32_t),
                sizeof prefix);
    return prefix;
}

} // namespace

TAVREL_API BSTR SysAllocString(const OLECHAR* psz)
{
    if (!psz) return nullptr;
    size_t n = 0;
    while (psz[n])
        ++n;
    if (n > kMaxBstrBytes / 2) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(n));
}

TAVREL_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui)
{
    const size_t cb = size_t{ui} * sizeof(OLECHAR);
    BSTR b = allocBytes(cb);
    if (!b) return nullptr;
    // Without a source the text is left uninitialised, as documented; only the terminator is set.
    if (strIn) std::memcpy(b, strIn, cb);
    return b;
}

TAVREL_API BSTR SysAllocStringByteLen(LPCSTR psz, UINT len)
{
    BSTR b = allocBytes(len);
    if (!b) return nullptr;
    if (psz) std::memcpy(b, psz, len);
    return b;
}

TAVREL_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz)
{
    if (!pbstr) return FALSE;
    // Copy first: psz may point into the old string.
    BSTR fresh = SysAllocString(psz);
    if (psz && !fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

TAVREL_API void SysFreeString(BSTR bstrString)
{
    if (!bstrString) return;
    std::free(reinterpret_cast<unsigned char*>(bstrString) - sizeof(uint32_t));
}

TAVREL_API UINT SysStringLen(BSTR pbstr)
{
    return pbstr ? prefixOf(pbstr) / 2 : 0;
}

TAVREL_API UINT SysStringByteLen(BSTR bstr)
{
    return bstr ? prefixOf(bstr) : 0;
}
