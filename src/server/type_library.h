// SPDX-License-Identifier: MIT
// The type library TavrelMediaIOLib as static tables, and the IDispatch helpers of the two dual
// interfaces built on it.
#pragma once

#include <tavrel/platform/typeinfo.h>
#include <tavrelmediaio/MediaFileIO.h>

namespace mio {

/// What RegisterTypeLib records about the library.
struct TypeLibraryAttributes {
    const GUID* libid;
    WORD majorVersion;
    WORD minorVersion;
    LCID lcid;
    LPCOLESTR name;       ///< "TavrelMediaIOLib"
    LPCOLESTR helpString; ///< "TavrelMediaIO 1.0 Type Library"
};
const TypeLibraryAttributes& typeLibraryAttributes();

/// One interface described by the library. `dual` interfaces are the ones registered under
/// HKCR\Interface with the automation marshaller.
struct TypeLibraryInterface {
    const IID* iid;
    const TavrelDispatchTable* table;
    bool dual;
};
/// IMediaFileIO, IMediaFileIOMan, IMediaFile, in library order.
const TypeLibraryInterface* typeLibraryInterfaces(UINT* count);

/// One coclass of the library with the interface it offers by default.
struct TypeLibraryCoclass {
    LPCOLESTR name;
    const CLSID* clsid;
    const IID* defaultInterface;
};
/// ImageFileIO, MediaFileIO, MediaFileIOMan.
const TypeLibraryCoclass* typeLibraryCoclasses(UINT* count);

enum class DualInterface { MediaFileIO, MediaFileIOMan };

// IDispatch for the objects. Dispatch identifiers are the members' positions in the
// interface (1 upwards). Only members whose arguments automation can carry are invocable:
// numbers, BSTR texts, out-numbers (VT_BYREF of the type or of VT_VARIANT), BSTR results and
// object results; members taking raw buffers, bitmaps or records answer DISP_E_MEMBERNOTFOUND
// from Invoke, though GetIDsOfNames still knows their names.

/// 1, or E_POINTER for a null output.
HRESULT dispatchGetTypeInfoCount(UINT* pctinfo);
/// The interface's type information (one reference for the caller, holding a module lock
/// while it lives); DISP_E_BADINDEX for an index other than 0.
HRESULT dispatchGetTypeInfo(DualInterface which, UINT iTInfo, ITypeInfo** ppTInfo);
HRESULT dispatchGetIDsOfNames(DualInterface which, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                              DISPID* rgDispId);
/// Calls the member on `self`. A member that fails gives DISP_E_EXCEPTION with its HRESULT in
/// pExcepInfo->scode, as a type-library Invoke does; argument problems give the DISP_E_ code
/// with *puArgErr naming the argument.
HRESULT dispatchInvoke(IMediaFileIO* self, DISPID dispIdMember, REFIID riid, WORD wFlags,
                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                       UINT* puArgErr);
HRESULT dispatchInvoke(IMediaFileIOMan* self, DISPID dispIdMember, REFIID riid, WORD wFlags,
                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                       UINT* puArgErr);

} // namespace mio
