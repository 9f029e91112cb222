// SPDX-License-Identifier: MIT
// The registry: machine and user hives kept as REGEDIT4 text files, and the .rgs registrar.
#pragma once

#include "tavrel/platform/types.h"

// Predefined keys, sign-extended as the platform defines them.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)(LONG)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)(LONG)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)(LONG)0x80000002)
#define HKEY_USERS ((HKEY)(ULONG_PTR)(LONG)0x80000003)

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

#define REG_OPTION_NON_VOLATILE 0u
#define REG_OPTION_VOLATILE 1u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

// Access rights are accepted and not enforced: file permissions guard the hives.
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define KEY_WOW64_64KEY 0x0100u

inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_BADDB = 1009;
inline constexpr DWORD ERROR_BADKEY = 1010;
inline constexpr DWORD ERROR_CANTOPEN = 1011;
inline constexpr DWORD ERROR_CANTWRITE = 1013;
inline constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;

struct SECURITY_ATTRIBUTES;

/// Where the hives live: machineHiveDir/machine.reg and userHiveDir/user.reg. A null argument
/// restores that hive's default: the machine hive beside the install prefix of this library
/// (<prefix>/share/tavrel/registry) when that is writable or we are root, else under the
/// user's data folder; the user hive under $XDG_DATA_HOME (or ~/.local/share)/tavrel/registry.
/// Handles opened before the switch read and write the new hives.
TAVREL_API void TavrelSetRegistryRoot(const char* machineHiveDir, const char* userHiveDir);

/// The calls below return Win32 error codes: ERROR_FILE_NOT_FOUND for a missing key or
/// value, ERROR_MORE_DATA for a buffer too small (with the needed size stored),
/// ERROR_NO_MORE_ITEMS at the end of an enumeration, ERROR_INVALID_HANDLE for a closed or
/// foreign key, ERROR_KEY_DELETED when the key was deleted after it was opened. Names are
/// case-insensitive and keep their case. HKEY_CLASSES_ROOT merges the user hive's
/// Software\Classes over the machine hive's: a new key made through it goes to the machine
/// hive; a value written through it goes to the user hive when the key exists there, else to
/// the machine hive; a delete acts on the user hive's copy first. Every change is written to the hive file at
/// once (atomically); a hive changed on disk by another process is re-read before each call.
///
/// Key names are at most 255 characters, without control characters or empty path parts
/// (ERROR_BAD_PATHNAME / ERROR_INVALID_NAME). String-typed data (REG_SZ, REG_EXPAND_SZ,
/// REG_MULTI_SZ) must be whole, well-formed UTF-16 (ERROR_INVALID_DATA otherwise), since the
/// hive files keep it as text. Opened keys are closed with RegCloseKey.
TAVREL_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                   DWORD dwOptions, REGSAM samDesired,
                                   const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                                   LPDWORD lpdwDisposition);
TAVREL_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                 PHKEY phkResult);
TAVREL_API LSTATUS RegCloseKey(HKEY hKey);
/// lpValueName null or empty names the key's default value.
TAVREL_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                  const BYTE* lpData, DWORD cbData);
/// lpData null asks for the size only. Data is returned exactly as stored (a REG_SZ keeps
/// whatever terminator it was written with).
TAVREL_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
TAVREL_API LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
/// Deletes a key without subkeys; ERROR_ACCESS_DENIED when it has some.
TAVREL_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
/// Deletes the subkey with everything below it; a null lpSubKey empties hKey itself.
TAVREL_API LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
/// Subkeys in case-insensitive name order. *lpcchName is the buffer size in characters on
/// entry and the name's length without the terminator on success.
TAVREL_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                 LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                 FILETIME* lpftLastWriteTime);
/// Values in the order they were first written.
TAVREL_API LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                 LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData);

/// Applies a registration script in the ATL .rgs grammar:
///
///   HKCR { NoRemove CLSID { ForceRemove {clsid} = s 'text' {
///       InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Apartment' } } } }
///
/// Roots HKCR, HKCU, HKLM, HKU (or their long names); `root` stands in for HKCR (pass an
/// opened HKCU\Software\Classes for per-user registration; null means HKEY_CLASSES_ROOT).
/// Values: s 'text', d 'number' (decimal or 0x hex), b 'hex bytes'; '' inside quotes is a
/// quote. %NAME% is replaced from replacementPairs (name, value, name, value, ..., null), %% is
/// a percent sign. Key flags: NoRemove (never deleted on unregistration), ForceRemove
/// (deleted with its subtree before registering and on unregistration), Delete (deleted on
/// registration). Unregistration removes the values the script names and deletes keys the
/// script made once they are empty, so the hive is left as it was before registration.
/// The script is parsed completely before anything is written, and all changes reach the
/// hive files together or not at all. Returns S_OK, DISP_E_EXCEPTION for a syntax error or an
/// unknown replacement, or HRESULT_FROM_WIN32 of a registry failure.
TAVREL_API HRESULT TavrelRegistrarApply(HKEY root, const WCHAR* script,
                                        const WCHAR* const* replacementPairs, BOOL registering);
