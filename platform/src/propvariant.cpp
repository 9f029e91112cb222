// SPDX-License-Identifier: MIT
// PROPVARIANT lifetime: PropVariantClear and PropVariantCopy for every type the engine uses.
#include "tavrel/platform/oleauto.h"
#include "utf.h"

namespace {

enum class Kind {
    Invalid,
    Plain,     // value held inline
    Bstr,      // SysFreeString
    TaskMem,   // one CoTaskMem block: LPSTR, LPWSTR, CLSID*
    Blob,      // blob.pBlobData
    Interface, // Release
};

// VT_BLOB_OBJECT and the storage types share layouts with VT_BLOB and VT_UNKNOWN.
constexpr VARTYPE kVtStorage = 67, kVtStreamedObject = 68, kVtStoredObject = 69, kVtBlobObject = 70;

Kind scalarKind(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BOOL:
    case VT_ERROR:
    case VT_HRESULT:
    case VT_FILETIME:
    case VT_DECIMAL:
        return Kind::Plain;
    case VT_BSTR:
        return Kind::Bstr;
    case VT_LPSTR:
    case VT_LPWSTR:
    case VT_CLSID:
        return Kind::TaskMem;
    case VT_BLOB:
    case kVtBlobObject:
        return Kind::Blob;
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_STREAM:
    case kVtStorage:
    case kVtStreamedObject:
    case kVtStoredObject:
        return Kind::Interface;
    default:
        return Kind::Invalid;
    }
}

// Size of one element of a VT_VECTOR of this base type, 0 when no such vector exists.
size_t vectorElementSize(VARTYPE base)
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
    case VT_R4:
    case VT_ERROR:
        return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_FILETIME:
        return 8;
    case VT_CLSID:
        return sizeof(CLSID);
    case VT_BSTR:
    case VT_LPSTR:
    case VT_LPWSTR:
        return sizeof(void*);
    case VT_VARIANT:
        return sizeof(PROPVARIANT);
    default:
        return 0;
    }
}

bool isValidType(VARTYPE vt)
{
    if (vt & VT_BYREF) return (vt & ~VT_BYREF & ~VT_TYPEMASK) == 0 && vt != VT_BYREF;
    if (vt & VT_VECTOR)
        return (vt & ~VT_VECTOR) <= VT_TYPEMASK && vectorElementSize(vt & VT_TYPEMASK);
    return scalarKind(vt) != Kind::Invalid;
}

void freeVectorElements(PROPVARIANT* pv)
{
    const VARTYPE base = pv->vt & VT_TYPEMASK;
    const ULONG n = pv->cal.cElems;
    switch (base) {
    case VT_BSTR:
        for (ULONG i = 0; i < n && pv->cabstr.pElems; ++i)
            SysFreeString(pv->cabstr.pElems[i]);
        break;
    case VT_LPSTR:
        for (ULONG i = 0; i < n && pv->calpstr.pElems; ++i)
            CoTaskMemFree(pv->calpstr.pElems[i]);
        break;
    case VT_LPWSTR:
        for (ULONG i = 0; i < n && pv->calpwstr.pElems; ++i)
            CoTaskMemFree(pv->calpwstr.pElems[i]);
        break;
    case VT_VARIANT:
        for (ULONG i = 0; i < n && pv->capropvar.pElems; ++i)
            PropVariantClear(&pv->capropvar.pElems[i]);
        break;
    default:
        break;
    }
    CoTaskMemFree(pv->cal.pElems);
}

void* dupBytes(const void* src, size_t n)
{
    void* p = CoTaskMemAlloc(n);
    if (p && n) std::memcpy(p, src, n);
    return p;
}

// Copies one owned value of a scalar kind; dst already holds a bitwise copy of src.
HRESULT copyScalar(PROPVARIANT* dst, const PROPVARIANT* src)
{
    switch (src->vt) {
    case VT_BSTR:
        if (src->bstrVal) {
            dst->bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src->bstrVal),
                                                 SysStringByteLen(src->bstrVal));
            if (!dst->bstrVal) return E_OUTOFMEMORY;
        }
        return S_OK;
    case VT_LPSTR:
        if (src->pszVal) {
            dst->pszVal = static_cast<LPSTR>(dupBytes(src->pszVal, std::strlen(src->pszVal) + 1));
            if (!dst->pszVal) return E_OUTOFMEMORY;
        }
        return S_OK;
    case VT_LPWSTR:
        if (src->pwszVal) {
            dst->pwszVal = static_cast<LPWSTR>(
                dupBytes(src->pwszVal, (tavrel::u16len(src->pwszVal) + 1) * sizeof(WCHAR)));
            if (!dst->pwszVal) return E_OUTOFMEMORY;
        }
        return S_OK;
    case VT_CLSID:
        if (src->puuid) {
            dst->puuid = static_cast<CLSID*>(dupBytes(src->puuid, sizeof(CLSID)));
            if (!dst->puuid) return E_OUTOFMEMORY;
        }
        return S_OK;
    case VT_BLOB:
    case kVtBlobObject:
        if (src->blob.cbSize && !src->blob.pBlobData) return STG_E_INVALIDPARAMETER;
        dst->blob.pBlobData = nullptr;
        if (src->blob.cbSize) {
            dst->blob.pBlobData =
                static_cast<BYTE*>(dupBytes(src->blob.pBlobData, src->blob.cbSize));
            if (!dst->blob.pBlobData) return E_OUTOFMEMORY;
        }
        return S_OK;
    default:
        if (scalarKind(src->vt) == Kind::Interface && src->punkVal) src->punkVal->AddRef();
        return S_OK;
    }
}

HRESULT copyVector(PROPVARIANT* dst, const PROPVARIANT* src)
{
    const VARTYPE base = src->vt & VT_TYPEMASK;
    const size_t elem = vectorElementSize(base);
    const ULONG n = src->cal.cElems;
    dst->cal.pElems = nullptr;
    dst->cal.cElems = 0;
    if (n == 0) return S_OK;
    if (!src->cal.pElems) return STG_E_INVALIDPARAMETER;
    if (n > SIZE_MAX / elem) return E_OUTOFMEMORY;
    void* elems = CoTaskMemAlloc(n * elem);
    if (!elems) return E_OUTOFMEMORY;
    const bool deep =
        base == VT_BSTR || base == VT_LPSTR || base == VT_LPWSTR || base == VT_VARIANT;
    if (!deep) {
        std::memcpy(elems, src->cal.pElems, n * elem);
        dst->cal.pElems = static_cast<LONG*>(elems);
        dst->cal.cElems = n;
        return S_OK;
    }
    std::memset(elems, 0, n * elem);
    dst->cal.pElems = static_cast<LONG*>(elems);
    dst->cal.cElems = n;
    for (ULONG i = 0; i < n; ++i) {
        HRESULT hr = S_OK;
        if (base == VT_VARIANT) {
            hr = PropVariantCopy(&dst->capropvar.pElems[i], &src->capropvar.pElems[i]);
        } else {
            PROPVARIANT one{}, copy{};
            one.vt = base;
            copy.vt = base;
            std::memcpy(
                &one.pszVal,
                static_cast<const unsigned char*>(static_cast<const void*>(src->cal.pElems)) +
                    i * elem,
                elem);
            copy.pszVal = one.pszVal;
            hr = copyScalar(&copy, &one);
            if (SUCCEEDED(hr))
                std::memcpy(static_cast<unsigned char*>(elems) + i * elem, &copy.pszVal, elem);
        }
        if (FAILED(hr)) {
            // Elements not yet copied are still zero, so clearing frees exactly what was made.
            freeVectorElements(dst);
            dst->cal.pElems = nullptr;
            dst->cal.cElems = 0;
            return hr;
        }
    }
    return S_OK;
}

} // namespace

TAVREL_API HRESULT PropVariantClear(PROPVARIANT* pvar)
{
    if (!pvar) return S_OK;
    const VARTYPE vt = pvar->vt;
    if (!isValidType(vt)) return STG_E_INVALIDPARAMETER;
    if (vt & VT_VECTOR) {
        freeVectorElements(pvar);
    } else if (!(vt & VT_BYREF)) {
        switch (scalarKind(vt)) {
        case Kind::Bstr:
            SysFreeString(pvar->bstrVal);
            break;
        case Kind::TaskMem:
            CoTaskMemFree(pvar->pszVal);
            break;
        case Kind::Blob:
            CoTaskMemFree(pvar->blob.pBlobData);
            break;
        case Kind::Interface:
            if (pvar->punkVal) pvar->punkVal->Release();
            break;
        default:
            break;
        }
    }
    PropVariantInit(pvar);
    return S_OK;
}

TAVREL_API HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc)
{
    if (!pvarDest || !pvarSrc) return E_INVALIDARG;
    const VARTYPE vt = pvarSrc->vt;
    if (!isValidType(vt)) {
        PropVariantInit(pvarDest);
        return STG_E_INVALIDPARAMETER;
    }
    PROPVARIANT result;
    std::memcpy(&result, pvarSrc, sizeof result);
    HRESULT hr = S_OK;
    if (vt & VT_VECTOR)
        hr = copyVector(&result, pvarSrc);
    else if (!(vt & VT_BYREF))
        hr = copyScalar(&result, pvarSrc);
    if (FAILED(hr)) {
        PropVariantInit(pvarDest);
        return hr;
    }
    std::memcpy(pvarDest, &result, sizeof result);
    return S_OK;
}
