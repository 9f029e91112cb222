// SPDX-License-Identifier: MIT
// The COM runtime: object creation through the in-process class table or the registry.
#pragma once

#include "tavrel/platform/objidl.h"

#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_ALL 0x17u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_MULTITHREADED 0x0u

inline constexpr HRESULT CO_E_CLASSSTRING = TAVREL_HR(0x800401F3);
inline constexpr HRESULT RPC_E_CHANGED_MODE = TAVREL_HR(0x80010106);

using LPFNGETCLASSOBJECT = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using LPFNCANUNLOADNOW = HRESULT (*)();

/// Bookkeeping only (nothing needs an apartment here): S_OK for a thread's first call,
/// S_FALSE for nested ones, RPC_E_CHANGED_MODE when the threading model differs from the
/// thread's first call. Each successful call is balanced by one CoUninitialize.
TAVREL_API HRESULT CoInitialize(LPVOID pvReserved);
TAVREL_API HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
TAVREL_API void CoUninitialize();

/// Looks the class up in the in-process class table first, then in the registry
/// (HKCR\CLSID\{clsid}\InprocServer32, user hive before machine hive) and loads that module
/// with dlopen + DllGetClassObject. REGDB_E_CLASSNOTREG when neither knows the class,
/// CO_E_DLLNOTFOUND when the module cannot be loaded, CO_E_ERRORINDLL when it lacks
/// DllGetClassObject. Loaded modules stay cached until CoFreeUnusedLibraries.
TAVREL_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                    REFIID riid, LPVOID* ppv);
TAVREL_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                    REFIID riid, LPVOID* ppv);

/// Adds a class to the in-process class table (what a component linked into the process
/// offers without registration). The factory function is called for each CoGetClassObject.
TAVREL_API HRESULT TavrelRegisterInprocClass(REFCLSID rclsid, LPFNGETCLASSOBJECT pfnGetClassObject);
TAVREL_API HRESULT TavrelRevokeInprocClass(REFCLSID rclsid);
/// Unloads modules loaded by CoCreateInstance whose DllCanUnloadNow answers S_OK (a module
/// without DllCanUnloadNow stays loaded).
TAVREL_API void CoFreeUnusedLibraries();

/// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in UTF-16; returns characters written with the NUL,
/// 0 when the buffer is too small.
TAVREL_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
/// Parses the braced form; text without a brace is taken as a ProgID and looked up under
/// HKCR\<ProgID>\CLSID. CO_E_CLASSSTRING for malformed text, REGDB_E_CLASSNOTREG for an
/// unknown ProgID.
TAVREL_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
