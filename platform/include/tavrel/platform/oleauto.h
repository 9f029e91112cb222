// SPDX-License-Identifier: MIT
// Automation types: BSTR, VARIANT, PROPVARIANT, DISPPARAMS and IDispatch.
#pragma once

#include "tavrel/platform/memory.h"
#include "tavrel/platform/unknwn.h"

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_CARRAY = 28,
    VT_USERDEFINED = 29,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_FILETIME = 64,
    VT_BLOB = 65,
    VT_STREAM = 66,
    VT_CLSID = 72,
    VT_VECTOR = 0x1000,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

// ---- BSTR: [UINT32 byte length][UTF-16 text][0x0000]; the pointer is at the text ----
TAVREL_API BSTR SysAllocString(const OLECHAR* psz);
TAVREL_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
TAVREL_API BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
TAVREL_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
TAVREL_API void SysFreeString(BSTR bstrString);
TAVREL_API UINT SysStringLen(BSTR pbstr);
TAVREL_API UINT SysStringByteLen(BSTR bstr);

struct BLOB {
    ULONG cbSize;
    BYTE* pBlobData;
};

template <typename T> struct TavrelCountedArray {
    ULONG cElems;
    T* pElems;
};
using CAC = TavrelCountedArray<CHAR>;
using CAUB = TavrelCountedArray<UCHAR>;
using CAI = TavrelCountedArray<SHORT>;
using CAUI = TavrelCountedArray<USHORT>;
using CAL = TavrelCountedArray<LONG>;
using CAUL = TavrelCountedArray<ULONG>;
using CAH = TavrelCountedArray<LARGE_INTEGER>;
using CAUH = TavrelCountedArray<ULARGE_INTEGER>;
using CAFLT = TavrelCountedArray<FLOAT>;
using CADBL = TavrelCountedArray<DOUBLE>;
using CABOOL = TavrelCountedArray<VARIANT_BOOL>;
using CASCODE = TavrelCountedArray<SCODE>;
using CAFILETIME = TavrelCountedArray<FILETIME>;
using CACLSID = TavrelCountedArray<CLSID>;
using CALPSTR = TavrelCountedArray<LPSTR>;
using CALPWSTR = TavrelCountedArray<LPWSTR>;
using CABSTR = TavrelCountedArray<BSTR>;
// VT_RECORD payload; named because an unnamed type inside an anonymous union is an extension.
struct TavrelRecordRef {
    void* pvRecord;
    void* pRecInfo;
};
struct PROPVARIANT;
using CAPROPVARIANT = TavrelCountedArray<PROPVARIANT>;

struct IDispatch;
struct IStream;

// 24 bytes on 64-bit: vt, three reserved words, an 8/16-byte union. All pointed-to memory
// comes from CoTaskMemAlloc (BSTRs from SysAllocString); PropVariantClear frees it.
struct PROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        CHAR cVal;
        UCHAR bVal;
        SHORT iVal;
        USHORT uiVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        LARGE_INTEGER hVal;
        ULARGE_INTEGER uhVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        FILETIME filetime;
        CLSID* puuid;
        BLOB blob;
        IStream* pStream;
        BSTR bstrVal;
        LPSTR pszVal;
        LPWSTR pwszVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        CAC cac;
        CAUB caub;
        CAI cai;
        CAUI caui;
        CAL cal;
        CAUL caul;
        CAH cah;
        CAUH cauh;
        CAFLT caflt;
        CADBL cadbl;
        CABOOL cabool;
        CASCODE cascode;
        CAFILETIME cafiletime;
        CACLSID cauuid;
        CALPSTR calpstr;
        CALPWSTR calpwstr;
        CABSTR cabstr;
        CAPROPVARIANT capropvar;
        TavrelRecordRef brecVal;
    };
};
static_assert(sizeof(PROPVARIANT) == 24);
using LPPROPVARIANT = PROPVARIANT*;
using REFPROPVARIANT = const PROPVARIANT&;

inline void PropVariantInit(PROPVARIANT* pvar)
{
    std::memset(pvar, 0, sizeof(PROPVARIANT));
}
/// Frees what the value owns (strings, blobs, vectors and each string in them, BSTRs,
/// interface references) and leaves VT_EMPTY. STG_E_INVALIDPARAMETER for an unknown type.
TAVREL_API HRESULT PropVariantClear(PROPVARIANT* pvar);
/// Deep copy; interfaces are AddRef'd.
TAVREL_API HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc);

// VARIANT shares PROPVARIANT's layout for the automation types.
struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        VARIANT* pvarVal;
        PVOID byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        INT* pintVal;
        UINT* puintVal;
        ULONG* pulVal;
        USHORT* puiVal;
        ULONGLONG* pullVal;
        TavrelRecordRef brecVal;
    };
};
static_assert(sizeof(VARIANT) == 24);
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

TAVREL_API void VariantInit(VARIANT* pvarg);
TAVREL_API HRESULT VariantClear(VARIANT* pvarg);
TAVREL_API HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);
// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02 // VT_BOOL to text as "True"/"False" instead of "-1"/"0"
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

/// Converts between the automation scalar types (I1..UI8, INT, UINT, R4, R8, CY, DATE, BOOL)
/// and BSTR; reals round half to even. DISP_E_TYPEMISMATCH when impossible (unparsable text,
/// VT_NULL), DISP_E_OVERFLOW when out of range; the destination is untouched on failure.
/// Destination and source may be the same variant.
TAVREL_API HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags,
                                     VARTYPE vt);

// ---- IDispatch ----

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)
#define DISPID_NEWENUM (-4)

struct DISPPARAMS {
    VARIANTARG* rgvarg; // arguments in reverse order; named ones first
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

struct ITypeInfo;

TAVREL_DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x46);

struct IDispatch : IUnknown {
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) PURE;
    STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) PURE;
    STDMETHOD(GetIDsOfNames)
    (REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) PURE;
    STDMETHOD(Invoke)
    (DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) PURE;
};
TAVREL_INTERFACE_ID(IDispatch, IID_IDispatch);

namespace tavrel {

/// Owns one BSTR: SysFreeString in the destructor.
class UniqueBstr {
  public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR b) : m_bstr(b) {}
    UniqueBstr(UniqueBstr&& other) noexcept : m_bstr(std::exchange(other.m_bstr, nullptr)) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.m_bstr, nullptr));
        return *this;
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    ~UniqueBstr() { reset(); }

    BSTR get() const { return m_bstr; }
    UINT length() const { return SysStringLen(m_bstr); }
    /// For out parameters: frees the current string first.
    BSTR* put()
    {
        reset();
        return &m_bstr;
    }
    /// Hands the string to the caller, who frees it with SysFreeString.
    BSTR release() { return std::exchange(m_bstr, nullptr); }
    void reset(BSTR b = nullptr)
    {
        if (BSTR old = std::exchange(m_bstr, b)) SysFreeString(old);
    }

  private:
    BSTR m_bstr = nullptr;
};

/// A PROPVARIANT that clears itself: PropVariantClear in the destructor.
class PropVariant : public PROPVARIANT {
  public:
    PropVariant() { PropVariantInit(this); }
    PropVariant(const PropVariant&) = delete;
    PropVariant& operator=(const PropVariant&) = delete;
    ~PropVariant() { PropVariantClear(this); }
    void reset() { PropVariantClear(this); }
};

/// A VARIANT that clears itself: VariantClear in the destructor.
class Variant : public VARIANT {
  public:
    Variant() { VariantInit(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(this); }
    void reset() { VariantClear(this); }
};

} // namespace tavrel
