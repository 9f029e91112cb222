// SPDX-License-Identifier: MIT
// Profile (INI) files: case-insensitive sections and keys, rewritten atomically.
#pragma once

#include "tavrel/platform/types.h"

/// The key's value as an unsigned integer (decimal, or hex with "0x"); nDefault when the file,
/// section or key is missing; 0 for a value that is negative or does not start with a digit.
/// lpFileName is in the active ANSI code page; a relative name is taken from the current folder.
TAVREL_API UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                      LPCSTR lpFileName);

/// Copies the key's value (surrounding spaces and one pair of matching quotes removed), or
/// lpDefault (null means "") when the key is missing, into lpReturnedString; returns the
/// characters copied without the NUL. Too small a buffer gets a truncated, terminated copy and
/// the result nSize - 1. A null lpAppName lists the section names, a null lpKeyName the section's
/// keys, each NUL-terminated with one more NUL at the end (result nSize - 2 when truncated).
TAVREL_API DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                          LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);

/// Sets a key (adding the section and the file as needed); a null lpString deletes the key, a
/// null lpKeyName the whole section. The file is replaced atomically (a flushed O_EXCL sibling
/// renamed over it), and writers in all processes are serialised by a lock on the folder, so a
/// crash or a concurrent writer never leaves a half-written or mixed file. Text holding a line
/// break is refused with ERROR_INVALID_PARAMETER, as it would forge other entries.
TAVREL_API BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                           LPCSTR lpFileName);
