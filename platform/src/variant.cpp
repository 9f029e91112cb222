// SPDX-License-Identifier: MIT
// VARIANT lifetime and coercion between the automation scalar types and BSTR.
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "tavrel/platform/oleauto.h"

namespace {

bool isPlainVariantType(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
        return true;
    default:
        return false;
    }
}

bool isValidVariantType(VARTYPE vt)
{
    if (vt & VT_BYREF) {
        const VARTYPE base = vt & VT_TYPEMASK;
        return (vt & ~(VT_BYREF | VT_TYPEMASK)) == 0 &&
               (isPlainVariantType(base) || base == VT_BSTR || base == VT_UNKNOWN ||
                base == VT_DISPATCH || base == VT_VARIANT) &&
               base != VT_EMPTY && base != VT_NULL;
    }
    return isPlainVariantType(vt) || vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

// A numeric value on its way between types: exact for integers, double for reals.
struct Number {
    enum class Kind { Signed, Unsigned, Real } kind = Kind::Signed;
    int64_t s = 0;
    uint64_t u = 0;
    double d = 0;
    bool fromBool = false;
};

bool parseText(const OLECHAR* text, UINT len, Number* out, bool allowBoolWords)
{
    std::string ascii;
    for (UINT i = 0; i < len; ++i) {
        if (text[i] > 0x7F) return false;
        ascii.push_back(static_cast<char>(text[i]));
    }
    size_t first = ascii.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    size_t last = ascii.find_last_not_of(" \t");
    std::string s = ascii.substr(first, last - first + 1);
    if (allowBoolWords) {
        std::string lower;
        for (char c : s)
            lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
        if (lower == "true" || lower == "false") {
            out->kind = Number::Kind::Signed;
            out->s = lower == "true" ? -1 : 0;
            out->fromBool = true;
            return true;
        }
    }
    if (s[0] == '+') s.erase(0, 1);
    if (s.empty()) return false;
    const char* b = s.data();
    const char* e = b + s.size();
    if (s.find_first_of(".eE") == std::string::npos) {
        if (s[0] == '-') {
            int64_t v;
            auto r = std::from_chars(b, e, v);
            if (r.ptr == e && r.ec == std::errc()) {
                out->kind = Number::Kind::Signed;
                out->s = v;
                return true;
            }
        } else {
            uint64_t v;
            auto r = std::from_chars(b, e, v);
            if (r.ptr == e && r.ec == std::errc()) {
                out->kind = Number::Kind::Unsigned;
                out->u = v;
                return true;
            }
        }
    }
    double v;
    auto r = std::from_chars(b, e, v);
    if (r.ptr != e) return false;
    if (r.ec == std::errc::result_out_of_range) v = s[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    out->kind = Number::Kind::Real;
    out->d = v;
    return true;
}

// Reads any scalar source; DISP_E_TYPEMISMATCH for types without a numeric value.
HRESULT toNumber(const VARIANT& v, Number* n)
{
    switch (v.vt) {
    case VT_EMPTY:
        n->s = 0;
        return S_OK;
    case VT_I1:
        n->s = v.cVal;
        return S_OK;
    case VT_I2:
        n->s = v.iVal;
        return S_OK;
    case VT_I4:
        n->s = v.lVal;
        return S_OK;
    case VT_INT:
        n->s = v.intVal;
        return S_OK;
    case VT_I8:
        n->s = v.llVal;
        return S_OK;
    case VT_BOOL:
        n->s = v.boolVal;
        n->fromBool = true;
        return S_OK;
    case VT_UI1:
        n->kind = Number::Kind::Unsigned;
        n->u = v.bVal;
        return S_OK;
    case VT_UI2:
        n->kind = Number::Kind::Unsigned;
        n->u = v.uiVal;
        return S_OK;
    case VT_UI4:
        n->kind = Number::Kind::Unsigned;
        n->u = v.ulVal;
        return S_OK;
    case VT_UINT:
        n->kind = Number::Kind::Unsigned;
        n->u = v.uintVal;
        return S_OK;
    case VT_UI8:
        n->kind = Number::Kind::Unsigned;
        n->u = v.ullVal;
        return S_OK;
    case VT_R4:
        n->kind = Number::Kind::Real;
        n->d = v.fltVal;
        return S_OK;
    case VT_R8:
    case VT_DATE:
        n->kind = Number::Kind::Real;
        n->d = v.dblVal;
        return S_OK;
    case VT_CY:
        n->kind = Number::Kind::Real;
        n->d = static_cast<double>(v.llVal) / 10000.0;
        return S_OK;
    case VT_BSTR:
        return parseText(v.bstrVal, SysStringLen(v.bstrVal), n, true) ? S_OK : DISP_E_TYPEMISMATCH;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

// Integer in [lo, hi]; reals round half to even, as the automation conversions do.
HRESULT toInteger(const Number& n, int64_t lo, uint64_t hi, bool wrapBool, int64_t* s, uint64_t* u)
{
    if (n.fromBool && wrapBool) {
        // A boolean converts bit for bit: VARIANT_TRUE becomes all ones in an unsigned type.
        *u = static_cast<uint64_t>(n.s) & hi;
        *s = static_cast<int64_t>(*u);
        return S_OK;
    }
    switch (n.kind) {
    case Number::Kind::Signed:
        if (n.s < lo || (n.s > 0 && static_cast<uint64_t>(n.s) > hi)) return DISP_E_OVERFLOW;
        *s = n.s;
        *u = static_cast<uint64_t>(n.s);
        return S_OK;
    case Number::Kind::Unsigned:
        if (n.u > hi) return DISP_E_OVERFLOW;
        *u = n.u;
        *s = static_cast<int64_t>(n.u);
        return S_OK;
    case Number::Kind::Real: {
        if (!std::isfinite(n.d)) return DISP_E_OVERFLOW;
        const double r = std::nearbyint(n.d);
        if (r < static_cast<double>(lo) || r >= static_cast<double>(hi) + 1.0)
            return DISP_E_OVERFLOW;
        if (r < 0) {
            *s = static_cast<int64_t>(r);
            *u = static_cast<uint64_t>(*s);
        } else {
            *u = static_cast<uint64_t>(r);
            *s = static_cast<int64_t>(*u);
        }
        return S_OK;
    }
    }
    return DISP_E_TYPEMISMATCH;
}

double toDouble(const Number& n)
{
    switch (n.kind) {
    case Number::Kind::Signed:
        return static_cast<double>(n.s);
    case Number::Kind::Unsigned:
        return static_cast<double>(n.u);
    default:
        return n.d;
    }
}

HRESULT makeBstr(const std::string& ascii, VARIANT* out)
{
    BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(ascii.size()));
    if (!b) return E_OUTOFMEMORY;
    for (size_t i = 0; i < ascii.size(); ++i)
        b[i] = static_cast<OLECHAR>(ascii[i]);
    out->vt = VT_BSTR;
    out->bstrVal = b;
    return S_OK;
}

std::string formatReal(double d, int digits)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, digits);
    std::string s(buf, r.ptr);
    for (char& c : s)
        if (c == 'e') c = 'E';
    return s;
}

HRESULT toText(const VARIANT& src, USHORT wFlags, VARIANT* out)
{
    switch (src.vt) {
    case VT_EMPTY:
        return makeBstr("", out);
    case VT_BOOL:
        if (wFlags & VARIANT_ALPHABOOL) return makeBstr(src.boolVal ? "True" : "False", out);
        return makeBstr(src.boolVal ? "-1" : "0", out);
    case VT_R4:
        return makeBstr(formatReal(src.fltVal, 7), out);
    case VT_R8:
        return makeBstr(formatReal(src.dblVal, 15), out);
    case VT_CY:
        return makeBstr(formatReal(static_cast<double>(src.llVal) / 10000.0, 19), out);
    default: {
        Number n;
        if (src.vt == VT_DATE || FAILED(toNumber(src, &n))) return DISP_E_TYPEMISMATCH;
        return makeBstr(
            n.kind == Number::Kind::Unsigned ? std::to_string(n.u) : std::to_string(n.s), out);
    }
    }
}

HRESULT convert(const VARIANT& src, USHORT wFlags, VARTYPE vt, VARIANT* out)
{
    std::memset(out, 0, sizeof *out);
    if (vt == VT_EMPTY) return S_OK;
    if (vt == VT_NULL) {
        if (src.vt != VT_NULL && src.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
        out->vt = VT_NULL;
        return S_OK;
    }
    if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (src.vt != VT_UNKNOWN && src.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
        if (!src.punkVal) {
            out->vt = vt;
            return S_OK;
        }
        void* p = nullptr;
        if (FAILED(
                src.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p)))
            return DISP_E_TYPEMISMATCH;
        out->vt = vt;
        out->punkVal = static_cast<IUnknown*>(p);
        return S_OK;
    }
    if (vt == VT_BSTR) return toText(src, wFlags, out);

    Number n;
    if (HRESULT hr = toNumber(src, &n); FAILED(hr)) return hr;
    int64_t s = 0;
    uint64_t u = 0;
    HRESULT hr = S_OK;
    switch (vt) {
    case VT_I1:
        if (SUCCEEDED(hr = toInteger(n, INT8_MIN, INT8_MAX, false, &s, &u)))
            out->cVal = static_cast<CHAR>(s);
        break;
    case VT_UI1:
        if (SUCCEEDED(hr = toInteger(n, 0, UINT8_MAX, true, &s, &u)))
            out->bVal = static_cast<BYTE>(u);
        break;
    case VT_I2:
        if (SUCCEEDED(hr = toInteger(n, INT16_MIN, INT16_MAX, false, &s, &u)))
            out->iVal = static_cast<SHORT>(s);
        break;
    case VT_UI2:
        if (SUCCEEDED(hr = toInteger(n, 0, UINT16_MAX, true, &s, &u)))
            out->uiVal = static_cast<USHORT>(u);
        break;
    case VT_I4:
    case VT_INT:
        if (SUCCEEDED(hr = toInteger(n, INT32_MIN, INT32_MAX, false, &s, &u)))
            out->lVal = static_cast<LONG>(s);
        break;
    case VT_UI4:
    case VT_UINT:
        if (SUCCEEDED(hr = toInteger(n, 0, UINT32_MAX, true, &s, &u)))
            out->ulVal = static_cast<ULONG>(u);
        break;
    case VT_I8:
        if (SUCCEEDED(hr = toInteger(n, INT64_MIN, INT64_MAX, false, &s, &u))) out->llVal = s;
        break;
    case VT_UI8:
        if (SUCCEEDED(hr = toInteger(n, 0, UINT64_MAX, true, &s, &u))) out->ullVal = u;
        break;
    case VT_BOOL: {
        const bool nonzero = n.kind == Number::Kind::Real       ? n.d != 0.0
                             : n.kind == Number::Kind::Unsigned ? n.u != 0
                                                                : n.s != 0;
        out->boolVal = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    }
    case VT_R4: {
        const double d = toDouble(n);
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
            return DISP_E_OVERFLOW;
        out->fltVal = static_cast<float>(d);
        break;
    }
    case VT_R8:
    case VT_DATE:
        if (src.vt == VT_BSTR && vt == VT_DATE)
            return DISP_E_TYPEMISMATCH; // date text is not parsed
        out->dblVal = toDouble(n);
        break;
    case VT_CY: {
        const double scaled = std::nearbyint(toDouble(n) * 10000.0);
        if (!std::isfinite(scaled) || scaled < -9.2233720368547758e18 ||
            scaled >= 9.2233720368547758e18)
            return DISP_E_OVERFLOW;
        out->llVal = static_cast<int64_t>(scaled);
        break;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) return hr;
    out->vt = vt;
    return S_OK;
}

size_t byrefSize(VARTYPE base)
{
    switch (base) {
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
        return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
        return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return sizeof(void*);
    default:
        return 0;
    }
}

} // namespace

TAVREL_API void VariantInit(VARIANT* pvarg)
{
    if (pvarg) std::memset(pvarg, 0, sizeof *pvarg);
}

TAVREL_API HRESULT VariantClear(VARIANT* pvarg)
{
    if (!pvarg) return E_INVALIDARG;
    if (!isValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
    if (pvarg->vt == VT_BSTR)
        SysFreeString(pvarg->bstrVal);
    else if ((pvarg->vt == VT_UNKNOWN || pvarg->vt == VT_DISPATCH) && pvarg->punkVal)
        pvarg->punkVal->Release();
    std::memset(pvarg, 0, sizeof *pvarg);
    return S_OK;
}

TAVREL_API HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc)
{
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    if (!isValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    VARIANT copy;
    std::memcpy(&copy, pvargSrc, sizeof copy);
    if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal) {
        // Byte-counted copy keeps embedded NULs and odd byte lengths.
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((pvargSrc->vt == VT_UNKNOWN || pvargSrc->vt == VT_DISPATCH) && pvargSrc->punkVal) {
        pvargSrc->punkVal->AddRef();
    }
    if (HRESULT hr = VariantClear(pvargDest); FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    std::memcpy(pvargDest, &copy, sizeof copy);
    return S_OK;
}

TAVREL_API HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags,
                                     VARTYPE vt)
{
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    if (!isValidVariantType(pvarSrc->vt) || (vt & (VT_BYREF | VT_ARRAY | VT_VECTOR)))
        return DISP_E_BADVARTYPE;
    // A by-reference source converts from the value it points at (borrowed, not owned).
    VARIANT value;
    std::memcpy(&value, pvarSrc, sizeof value);
    if (pvarSrc->vt & VT_BYREF) {
        if (!pvarSrc->byref) return E_INVALIDARG;
        const VARTYPE base = pvarSrc->vt & VT_TYPEMASK;
        if (base == VT_VARIANT) {
            std::memcpy(&value, pvarSrc->pvarVal, sizeof value);
            if (value.vt & VT_BYREF) return DISP_E_BADVARTYPE;
        } else {
            std::memset(&value, 0, sizeof value);
            value.vt = base;
            const size_t size = byrefSize(base);
            if (size == 0) return DISP_E_BADVARTYPE;
            std::memcpy(&value.llVal, pvarSrc->byref, size);
        }
    }
    if (value.vt == vt) {
        if (pvargDest == pvarSrc && !(pvarSrc->vt & VT_BYREF)) return S_OK;
        return VariantCopy(pvargDest, &value);
    }
    VARIANT out;
    if (HRESULT hr = convert(value, wFlags, vt, &out); FAILED(hr)) return hr;
    // The source has been read completely, so clearing the destination is safe even in place.
    if (HRESULT hr = VariantClear(pvargDest); FAILED(hr)) {
        VariantClear(&out);
        return hr;
    }
    std::memcpy(pvargDest, &out, sizeof out);
    return S_OK;
}
