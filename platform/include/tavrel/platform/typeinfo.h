// SPDX-License-Identifier: MIT
// A minimal ITypeInfo over static member tables, and the IDispatch helpers built on them.
#pragma once

#include "tavrel/platform/oleauto.h"

TAVREL_DEFINE_GUID(IID_ITypeInfo, 0x00020401, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x46);

using HREFTYPE = DWORD;
enum INVOKEKIND : int {
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8
};
#define MEMBERID_NIL (-1)

struct TYPEATTR;
struct FUNCDESC;
struct VARDESC;
struct ITypeComp;
struct ITypeLib;

// Slot order as oaidl.idl declares it.
struct ITypeInfo : IUnknown {
    STDMETHOD(GetTypeAttr)(TYPEATTR** ppTypeAttr) PURE;
    STDMETHOD(GetTypeComp)(ITypeComp** ppTComp) PURE;
    STDMETHOD(GetFuncDesc)(UINT index, FUNCDESC** ppFuncDesc) PURE;
    STDMETHOD(GetVarDesc)(UINT index, VARDESC** ppVarDesc) PURE;
    STDMETHOD(GetNames)(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) PURE;
    STDMETHOD(GetRefTypeOfImplType)(UINT index, HREFTYPE* pRefType) PURE;
    STDMETHOD(GetImplTypeFlags)(UINT index, INT* pImplTypeFlags) PURE;
    STDMETHOD(GetIDsOfNames)(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) PURE;
    STDMETHOD(Invoke)
    (PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
     EXCEPINFO* pExcepInfo, UINT* puArgErr) PURE;
    STDMETHOD(GetDocumentation)
    (MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
     BSTR* pBstrHelpFile) PURE;
    STDMETHOD(GetDllEntry)
    (MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName, BSTR* pBstrName, WORD* pwOrdinal) PURE;
    STDMETHOD(GetRefTypeInfo)(HREFTYPE hRefType, ITypeInfo** ppTInfo) PURE;
    STDMETHOD(AddressOfMember)(MEMBERID memid, INVOKEKIND invKind, PVOID* ppv) PURE;
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) PURE;
    STDMETHOD(GetMops)(MEMBERID memid, BSTR* pBstrMops) PURE;
    STDMETHOD(GetContainingTypeLib)(ITypeLib** ppTLib, UINT* pIndex) PURE;
    STDMETHOD_(void, ReleaseTypeAttr)(TYPEATTR* pTypeAttr) PURE;
    STDMETHOD_(void, ReleaseFuncDesc)(FUNCDESC* pFuncDesc) PURE;
    STDMETHOD_(void, ReleaseVarDesc)(VARDESC* pVarDesc) PURE;
};
TAVREL_INTERFACE_ID(ITypeInfo, IID_ITypeInfo);

/// One member reachable through IDispatch. A property whose get and put take different
/// argument counts has one row per kind, both with the same name and dispid.
struct TavrelDispatchMember {
    LPCOLESTR name; ///< matched without regard to ASCII case
    DISPID dispid;
    WORD flags;      ///< the DISPATCH_* kinds the member answers
    UINT paramCount; ///< arguments expected, a property put's value included
    /// Does the work once the call has been checked (kind, argument count, named arguments).
    /// Reads arguments with TavrelDispatchGetArg; pVarResult may be null.
    HRESULT (*invoke)
    (void* instance, WORD wFlags, DISPPARAMS* params, VARIANT* pVarResult, UINT* puArgErr);
    LPCOLESTR doc; ///< help string, may be null
};

/// A static description of one dispatch interface; it must outlive every type info made
/// from it.
struct TavrelDispatchTable {
    LPCOLESTR interfaceName;
    const TavrelDispatchMember* members;
    UINT count;
};

/// IDispatch::GetIDsOfNames over a table. rgszNames[0] is the member; the other names are
/// parameter names, which these tables do not publish: each gets DISPID_UNKNOWN and the call
/// returns DISP_E_UNKNOWNNAME, as it does for an unknown member.
TAVREL_API HRESULT TavrelDispatchGetIDsOfNames(const TavrelDispatchTable* table, REFIID riid,
                                               LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId);
/// IDispatch::Invoke over a table: DISP_E_UNKNOWNINTERFACE for a riid other than IID_NULL,
/// DISP_E_MEMBERNOTFOUND for an unknown dispid or a kind the member does not answer,
/// DISP_E_BADPARAMCOUNT for a wrong argument count, DISP_E_NONAMEDARGS for named arguments
/// other than a property put's value; otherwise whatever the member's invoke returns.
TAVREL_API HRESULT TavrelDispatchInvoke(const TavrelDispatchTable* table, void* instance,
                                        DISPID dispIdMember, REFIID riid, WORD wFlags,
                                        DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                        EXCEPINFO* pExcepInfo, UINT* puArgErr);
/// Argument `position` (0 = first as written by the caller; arguments are stored in reverse)
/// coerced to vt into *out, which the caller clears. DISP_E_PARAMNOTFOUND when absent;
/// DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW with *puArgErr set to the rgvarg index.
TAVREL_API HRESULT TavrelDispatchGetArg(const DISPPARAMS* params, UINT position, VARTYPE vt,
                                        VARIANT* out, UINT* puArgErr);
/// A type info over the table (one reference for the caller). GetIDsOfNames, Invoke, GetNames
/// and GetDocumentation work; the slots that need full type descriptions return E_NOTIMPL.
TAVREL_API HRESULT TavrelCreateTypeInfo(const TavrelDispatchTable* table, ITypeInfo** ppTInfo);
