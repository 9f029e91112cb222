// SPDX-License-Identifier: MIT
// The common library shared by the file libraries: their last error and the settings-file path.
#pragma once

#include <tavrel/platform/types.h>

/// Clears the calling thread's library last error; afterwards c32GetDLLErrorInfo reports 0
/// and an empty text. The manager calls it at the start of every parse.
TAVREL_API void c32ResetDLLErrInfo();

/// Returns the code of the calling thread's last library error and copies its ANSI text
/// (active code page) into pszErrorText. The codes 0 and 5200 mean "nothing to report"; the
/// text is then empty.
/// pszErrorText: caller buffer of nBufSize bytes, or null to ask only for the code. A text
/// that does not fit is cut at a whole character and always NUL-terminated.
/// nReserved1..4: pass 0.
/// The error stays recorded; reading it does not clear it.
TAVREL_API int c32GetDLLErrorInfo(LPSTR pszErrorText, int nBufSize, int nReserved1, int nReserved2,
                                  int nReserved3, int nReserved4);

/// Writes the path of the settings (INI) file into pszFileName, a caller buffer of nBufSize
/// bytes (the engine passes 260), as ANSI text NUL-terminated. The file's folder is created
/// when missing; the file itself need not exist.
/// Returns the path length in bytes without the terminator, or 0 when the buffer is null or
/// too small (then an empty string is written if there is room for one) or no folder for the
/// settings can be found or created.
TAVREL_API int q32GetKelvraIniFileName(LPSTR pszFileName, int nBufSize);

/// Records a failure for the calling thread, replacing the previous one. Every backend
/// calls it on every failure it reports to the engine, with a code other than 0 and 5200
/// and a short ANSI text saying what went wrong (null counts as empty). Not used by the
/// engine itself.
TAVREL_API void mioCommonSetLastError(int code, LPCSTR pszAnsiText);

namespace mio {
// Codes the backends record through mioCommonSetLastError; callers only distinguish 0/5200
// (nothing to report) from the rest, so these exist for consistency between backends.
inline constexpr int kLibErrNone = 0;
inline constexpr int kLibErrNothingToReport = 5200;
inline constexpr int kLibErrGeneric = 1;
inline constexpr int kLibErrOpen = 2;        // the file cannot be opened or read
inline constexpr int kLibErrFormat = 3;      // not a file of a format the library reads
inline constexpr int kLibErrCorrupt = 4;     // a known format, but the data is damaged or cut
inline constexpr int kLibErrUnsupported = 5; // a known format without a decoder or feature
inline constexpr int kLibErrMemory = 6;      // an allocation failed or a size was out of bounds
inline constexpr int kLibErrArgument = 7;    // a null or out-of-range argument
} // namespace mio
