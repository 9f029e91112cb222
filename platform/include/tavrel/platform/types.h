// SPDX-License-Identifier: MIT
// Fundamental Windows types, result codes and GUIDs, with the platform's own sizes and values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#define TAVREL_API extern "C" __attribute__((visibility("default")))

// x86-64 Linux has one calling convention; the macros keep declarations readable as the
// platform writes them.
#define STDMETHODCALLTYPE
#define WINAPI
#define STDAPI TAVREL_API HRESULT
#define STDMETHOD(name) virtual HRESULT name
#define STDMETHOD_(type, name) virtual type name
#define STDMETHODIMP HRESULT
#define STDMETHODIMP_(type) type
#define PURE = 0

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using INT = int32_t;
using BOOL = int32_t;
using BOOLEAN = uint8_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using CHAR = char;
using UCHAR = uint8_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using DWORDLONG = uint64_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using UINT_PTR = uintptr_t;
using INT_PTR = intptr_t;
using DWORD_PTR = uintptr_t;
using SIZE_T = size_t;
using FLOAT = float;
using DOUBLE = double;
using HRESULT = int32_t;
using SCODE = int32_t;
using LCID = uint32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using DATE = double;
using PROPID = uint32_t;
using DISPID = int32_t;
using MEMBERID = int32_t;

// wchar_t is 32-bit on Linux: every interface text is UTF-16 in char16_t.
using WCHAR = char16_t;
using OLECHAR = char16_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PCWSTR = const WCHAR*;
using PWSTR = WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;

using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPLONG = LONG*;

using HANDLE = void*;
using HGLOBAL = void*;
using HLOCAL = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using HDC = struct HDC__*;
using HPALETTE = struct HPALETTE__*;
using HGDIOBJ = void*;
using HBITMAP = struct HBITMAP__*;
using HWND = struct HWND__*;
using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

// Guarded: other C headers (glib) define them with the same values.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// ---- GUIDs ----

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPGUID = GUID*;
using LPCLSID = CLSID*;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

// Header-only constant GUIDs: `inline constexpr` gives one definition per program without
// the INITGUID dance.
#define TAVREL_DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

TAVREL_DEFINE_GUID(GUID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
inline constexpr const GUID& IID_NULL = GUID_NULL;
inline constexpr const GUID& CLSID_NULL = GUID_NULL;

// ---- structures ----

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct RECT {
    LONG left, top, right, bottom;
};
struct POINT {
    LONG x, y;
};
struct SIZE {
    LONG cx, cy;
};

#pragma pack(push, 2)
struct BITMAPFILEHEADER {
    WORD bfType;
    DWORD bfSize;
    WORD bfReserved1;
    WORD bfReserved2;
    DWORD bfOffBits;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPFILEHEADER) == 14);

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);
using LPBITMAPINFOHEADER = BITMAPINFOHEADER*;

struct RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
};
static_assert(sizeof(RGBQUAD) == 4);

struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
};

struct PALETTEENTRY {
    BYTE peRed;
    BYTE peGreen;
    BYTE peBlue;
    BYTE peFlags;
};
struct LOGPALETTE {
    WORD palVersion;
    WORD palNumEntries;
    PALETTEENTRY palPalEntry[1];
};

#define BI_RGB 0u
#define BI_RLE8 1u
#define BI_RLE4 2u
#define BI_BITFIELDS 3u

struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};
#define VER_PLATFORM_WIN32_NT 2

// ---- HRESULT rules ----

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define MAKE_HRESULT(sev, fac, code) \
    ((HRESULT)(((uint32_t)(sev) << 31) | ((uint32_t)(fac) << 16) | ((uint32_t)(code))))
#define HRESULT_CODE(hr) ((hr)&0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)
#define FACILITY_DISPATCH 2
#define FACILITY_STORAGE 3
#define FACILITY_ITF 4
#define FACILITY_WIN32 7

inline constexpr HRESULT HRESULT_FROM_WIN32(uint32_t x)
{
    return static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x)
                                        : static_cast<HRESULT>((x & 0xFFFFu) | 0x80070000u);
}

#define TAVREL_HR(v) static_cast<HRESULT>(static_cast<uint32_t>(v))

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = TAVREL_HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = TAVREL_HR(0x80004002);
inline constexpr HRESULT E_POINTER = TAVREL_HR(0x80004003);
inline constexpr HRESULT E_ABORT = TAVREL_HR(0x80004004);
inline constexpr HRESULT E_FAIL = TAVREL_HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = TAVREL_HR(0x8000FFFF);
inline constexpr HRESULT E_PENDING = TAVREL_HR(0x8000000A);
inline constexpr HRESULT E_ACCESSDENIED = TAVREL_HR(0x80070005);
inline constexpr HRESULT E_HANDLE = TAVREL_HR(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = TAVREL_HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = TAVREL_HR(0x80070057);

inline constexpr HRESULT STG_E_INVALIDFUNCTION = TAVREL_HR(0x80030001);
inline constexpr HRESULT STG_E_FILENOTFOUND = TAVREL_HR(0x80030002);
inline constexpr HRESULT STG_E_ACCESSDENIED = TAVREL_HR(0x80030005);
inline constexpr HRESULT STG_E_INSUFFICIENTMEMORY = TAVREL_HR(0x80030008);
inline constexpr HRESULT STG_E_INVALIDPOINTER = TAVREL_HR(0x80030009);
inline constexpr HRESULT STG_E_SEEKERROR = TAVREL_HR(0x80030019);
inline constexpr HRESULT STG_E_WRITEFAULT = TAVREL_HR(0x8003001D);
inline constexpr HRESULT STG_E_READFAULT = TAVREL_HR(0x8003001E);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = TAVREL_HR(0x80030057);
inline constexpr HRESULT STG_E_MEDIUMFULL = TAVREL_HR(0x80030070);
inline constexpr HRESULT STG_E_REVERTED = TAVREL_HR(0x80030102);

inline constexpr HRESULT CLASS_E_NOAGGREGATION = TAVREL_HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = TAVREL_HR(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = TAVREL_HR(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = TAVREL_HR(0x800401F0);
inline constexpr HRESULT CO_E_DLLNOTFOUND = TAVREL_HR(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = TAVREL_HR(0x800401F9);
inline constexpr HRESULT SELFREG_E_TYPELIB = TAVREL_HR(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = TAVREL_HR(0x80040201);

inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = TAVREL_HR(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = TAVREL_HR(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = TAVREL_HR(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = TAVREL_HR(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = TAVREL_HR(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = TAVREL_HR(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = TAVREL_HR(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = TAVREL_HR(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = TAVREL_HR(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = TAVREL_HR(0x8002000B);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = TAVREL_HR(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = TAVREL_HR(0x8002000F);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = TAVREL_HR(0x8002802B);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = TAVREL_HR(0x8002801D);
inline constexpr HRESULT INTSAFE_E_ARITHMETIC_OVERFLOW = TAVREL_HR(0x80070216);

// ---- Win32 error codes ----

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD NO_ERROR = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_SEEK = 25;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_LOCK_VIOLATION = 33;
inline constexpr DWORD ERROR_HANDLE_EOF = 38;
inline constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_CANNOT_MAKE = 82;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_NOT_LOCKED = 158;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_DIRECTORY = 267;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;

// ---- last error (per thread) ----

TAVREL_API DWORD GetLastError();
TAVREL_API void SetLastError(DWORD dwErrCode);
