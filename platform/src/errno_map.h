// SPDX-License-Identifier: MIT
// Internal access to the one errno -> Win32 error table, with the path-aware refinements.
#pragma once

#include <string>

#include "tavrel/platform/types.h"

namespace tavrel {

/// The table itself (also exported as TavrelWin32ErrorFromErrno).
DWORD win32FromErrno(int e);

/// As win32FromErrno, but ENOENT becomes ERROR_PATH_NOT_FOUND when the folder that should hold
/// path is itself missing, as the platform tells the two apart.
DWORD win32FromErrnoForPath(int e, const std::string& path);

/// Sets the last error from errno (or from the given value) and returns FALSE, for tail calls.
BOOL failWithErrno(int e);
BOOL failWithErrnoForPath(int e, const std::string& path);
BOOL failWith(DWORD win32Error);

} // namespace tavrel
