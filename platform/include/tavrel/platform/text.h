// SPDX-License-Identifier: MIT
// Code-page conversion between UTF-16 and ANSI/UTF-8 text, with the platform's buffer rules.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tavrel/platform/types.h"

using LPBOOL = BOOL*;

#define CP_ACP 0u
#define CP_OEMCP 1u
#define CP_MACCP 2u
#define CP_THREAD_ACP 3u
#define CP_UTF8 65001u

#define MB_PRECOMPOSED 0x00000001u
#define MB_COMPOSITE 0x00000002u
#define MB_USEGLYPHCHARS 0x00000004u
#define MB_ERR_INVALID_CHARS 0x00000008u

#define WC_DISCARDNS 0x00000010u
#define WC_SEPCHARS 0x00000020u
#define WC_DEFAULTCHAR 0x00000040u
#define WC_ERR_INVALID_CHARS 0x00000080u
#define WC_COMPOSITECHECK 0x00000200u
#define WC_NO_BEST_FIT_CHARS 0x00000400u

inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;

/// Converts cbMultiByte bytes (-1: up to and including the NUL) of text in CodePage to UTF-16.
/// With cchWideChar 0 returns the characters needed and writes nothing. Returns 0 with the last
/// error set on failure: ERROR_INSUFFICIENT_BUFFER when the output is too small,
/// ERROR_NO_UNICODE_TRANSLATION for malformed input under MB_ERR_INVALID_CHARS (otherwise
/// malformed UTF-8 becomes U+FFFD), ERROR_INVALID_PARAMETER / ERROR_INVALID_FLAGS for bad calls.
/// Supported code pages: CP_ACP, CP_THREAD_ACP (the active code page), CP_UTF8, 1252.
TAVREL_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                   int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);

/// Converts UTF-16 to CodePage; sizes and errors as MultiByteToWideChar. For CP_UTF8 the default
/// character arguments must be null, and an unpaired surrogate fails under WC_ERR_INVALID_CHARS
/// (else it becomes U+FFFD). For 1252 a character outside the code page is written as a best-fit
/// letter where one exists (not under WC_NO_BEST_FIT_CHARS), else as the default character ('?'
/// or *lpDefaultChar), and *lpUsedDefaultChar tells whether the default character was used.
TAVREL_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                   int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                   LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

/// The active ANSI code page: 65001 unless changed with TavrelSetActiveCodePage.
TAVREL_API UINT GetACP();
TAVREL_API UINT GetOEMCP();
TAVREL_API BOOL IsValidCodePage(UINT CodePage);

/// Host/test control: makes CodePage (65001 or 1252) the process's active ANSI code page.
/// Returns FALSE with ERROR_INVALID_PARAMETER for any other value.
TAVREL_API BOOL TavrelSetActiveCodePage(UINT CodePage);

/// Length in characters without the NUL; 0 for null.
TAVREL_API int lstrlenW(LPCWSTR lpString);
TAVREL_API int lstrlenA(LPCSTR lpString);
/// Copies at most iMaxLength - 1 characters and always terminates; returns lpString1.
TAVREL_API LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
/// Case-insensitive comparison (simple case folding of the Basic Multilingual Plane's Latin,
/// Greek and Cyrillic letters); <0, 0, >0.
TAVREL_API int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);

namespace tavrel {

/// UTF-16 text in a code page (CP_ACP: the active one), or null with the last error set. With
/// usedDefault (1252 only) a character outside the code page becomes '?' and sets *usedDefault;
/// without it such text fails with ERROR_NO_UNICODE_TRANSLATION, so nothing is silently lost.
inline std::optional<std::string> toMultiByte(std::u16string_view text, UINT codePage = CP_ACP,
                                              bool* usedDefault = nullptr)
{
    if (usedDefault) *usedDefault = false;
    if (text.empty()) return std::string();
    if (text.size() > 0x7FFFFFFF) return std::nullopt;
    const bool utf8 =
        (codePage == CP_ACP || codePage == CP_THREAD_ACP ? GetACP() : codePage) == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used = FALSE;
    BOOL* usedOut = utf8 ? nullptr : &used;
    const auto cch = static_cast<int>(text.size());
    const int n =
        WideCharToMultiByte(codePage, flags, text.data(), cch, nullptr, 0, nullptr, usedOut);
    if (n <= 0) return std::nullopt;
    std::string out(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(codePage, flags, text.data(), cch, out.data(), n, nullptr, usedOut) !=
        n)
        return std::nullopt;
    if (used) {
        if (!usedDefault) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return std::nullopt;
        }
        *usedDefault = true;
    }
    return out;
}

/// Text in a code page (CP_ACP: the active one) as UTF-16; malformed UTF-8 fails with
/// ERROR_NO_UNICODE_TRANSLATION. Null with the last error set on failure.
inline std::optional<std::u16string> toWide(std::string_view text, UINT codePage = CP_ACP)
{
    if (text.empty()) return std::u16string();
    if (text.size() > 0x7FFFFFFF) return std::nullopt;
    const auto cb = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), cb, nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::u16string out(static_cast<size_t>(n), u'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), cb, out.data(), n) != n)
        return std::nullopt;
    return out;
}

} // namespace tavrel
