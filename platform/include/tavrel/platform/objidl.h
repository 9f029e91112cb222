// SPDX-License-Identifier: MIT
// Streams and string enumerators: ISequentialStream, IStream, IEnumString, IEnumUnknown.
#pragma once

#include "tavrel/platform/oleauto.h"

TAVREL_DEFINE_GUID(IID_ISequentialStream, 0x0C733A30, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00,
                   0x44, 0x77, 0x3D);
TAVREL_DEFINE_GUID(IID_IStream, 0x0000000C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x46);
TAVREL_DEFINE_GUID(IID_IEnumString, 0x00000101, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x46);
TAVREL_DEFINE_GUID(IID_IEnumUnknown, 0x00000100, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x46);

enum STREAM_SEEK : DWORD { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };
enum STGC : DWORD {
    STGC_DEFAULT = 0,
    STGC_OVERWRITE = 1,
    STGC_ONLYIFCURRENT = 2,
    STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4,
    STGC_CONSOLIDATE = 8
};
enum STATFLAG : DWORD { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1, STATFLAG_NOOPEN = 2 };
enum STGTY : DWORD { STGTY_STORAGE = 1, STGTY_STREAM = 2, STGTY_LOCKBYTES = 3, STGTY_PROPERTY = 4 };

#define STGM_READ 0x00000000u
#define STGM_WRITE 0x00000001u
#define STGM_READWRITE 0x00000002u
#define STGM_SHARE_EXCLUSIVE 0x00000010u
#define STGM_SHARE_DENY_WRITE 0x00000020u
#define STGM_SHARE_DENY_NONE 0x00000040u
#define STGM_CREATE 0x00001000u

struct STATSTG {
    LPOLESTR pwcsName; // CoTaskMemAlloc'd unless STATFLAG_NONAME
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
};

struct ISequentialStream : IUnknown {
    STDMETHOD(Read)(void* pv, ULONG cb, ULONG* pcbRead) PURE;
    STDMETHOD(Write)(const void* pv, ULONG cb, ULONG* pcbWritten) PURE;
};

struct IStream : ISequentialStream {
    STDMETHOD(Seek)(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) PURE;
    STDMETHOD(SetSize)(ULARGE_INTEGER libNewSize) PURE;
    STDMETHOD(CopyTo)(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                      ULARGE_INTEGER* pcbWritten) PURE;
    STDMETHOD(Commit)(DWORD grfCommitFlags) PURE;
    STDMETHOD(Revert)() PURE;
    STDMETHOD(LockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) PURE;
    STDMETHOD(UnlockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) PURE;
    STDMETHOD(Stat)(STATSTG* pstatstg, DWORD grfStatFlag) PURE;
    STDMETHOD(Clone)(IStream** ppstm) PURE;
};
using LPSTREAM = IStream*;

struct IEnumString : IUnknown {
    /// S_OK only when exactly celt strings were returned, else S_FALSE. Each string is
    /// CoTaskMemAlloc'd and freed by the caller with CoTaskMemFree.
    STDMETHOD(Next)(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) PURE;
    STDMETHOD(Skip)(ULONG celt) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumString** ppenum) PURE;
};

struct IEnumUnknown : IUnknown {
    STDMETHOD(Next)(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) PURE;
    STDMETHOD(Skip)(ULONG celt) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumUnknown** ppenum) PURE;
};

TAVREL_INTERFACE_ID(ISequentialStream, IID_ISequentialStream);
TAVREL_INTERFACE_ID(IStream, IID_IStream);
TAVREL_INTERFACE_ID(IEnumString, IID_IEnumString);
TAVREL_INTERFACE_ID(IEnumUnknown, IID_IEnumUnknown);

/// A stream over a global block (a new empty one when hGlobal is null). The initial size is
/// GlobalSize(hGlobal); with fDeleteOnRelease the last Release frees the block.
TAVREL_API HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);
TAVREL_API HRESULT GetHGlobalFromStream(IStream* pstm, HGLOBAL* phglobal);
/// An enumerator over copies of the given strings (for implementers of GetEnumerator).
TAVREL_API HRESULT TavrelCreateEnumString(const LPCOLESTR* strings, ULONG count,
                                          IEnumString** ppenum);
