// SPDX-License-Identifier: MIT
// Code-page conversion: UTF-8 and Windows-1252 to and from UTF-16, and the active ANSI code page.
#include "tavrel/platform/text.h"

#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr UINT kCp1252 = 1252;

// UTF-8 is the file-name encoding on Linux, so it is the natural default ANSI code page.
std::atomic<UINT> g_activeCodePage{CP_UTF8};

// 0x80-0x9F of Windows-1252. The five holes (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1
// controls of the same value, as the platform's own table does, so every byte round-trips.
constexpr std::array<char16_t, 32> k1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Best-fit letters for Latin Extended-A (U+0100-U+017F): the base letter, '?' for none. The
// entries that 1252 holds itself (Œ œ Š š Ÿ Ž ž) never reach this table.
constexpr char kLatinExtABestFit[] = "AaAaAaCcCcCcCcDd"
                                     "DdEeEeEeEeEeGgGg"
                                     "GgGgHhHhIiIiIiIi"
                                     "Ii??JjKk?LlLlLlL"
                                     "lLlNnNnNn???OoOo"
                                     "OoOoRrRrRrSsSsSs"
                                     "SsTtTtTtUuUuUuUu"
                                     "UuUuWwYyYZzZzZz?";
static_assert(sizeof(kLatinExtABestFit) == 129);

char16_t decode1252(unsigned char b)
{
    return b >= 0x80 && b < 0xA0 ? k1252High[b - 0x80] : b;
}

/// The 1252 byte for a code point, or -1 when the code page lacks it.
int encode1252(char32_t cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    for (size_t i = 0; i < k1252High.size(); ++i)
        if (k1252High[i] == cp) return static_cast<int>(0x80 + i);
    return -1;
}

int bestFit1252(char32_t cp)
{
    if (cp >= 0x100 && cp <= 0x17F && kLatinExtABestFit[cp - 0x100] != '?')
        return kLatinExtABestFit[cp - 0x100];
    if (cp >= 0xFF01 && cp <= 0xFF5E) return static_cast<int>(cp - 0xFF01 + 0x21); // full width
    return -1;
}

UINT resolveCodePage(UINT cp)
{
    if (cp == CP_ACP || cp == CP_THREAD_ACP) return g_activeCodePage.load();
    return cp;
}

struct Utf8Step {
    char32_t cp; // U+FFFD when invalid
    size_t used;
    bool valid;
};

// One code point from UTF-8. An invalid sequence consumes its maximal well-formed prefix (at
// least one byte), so each broken sequence turns into exactly one replacement character.
Utf8Step decodeUtf8(const unsigned char* s, size_t n)
{
    const unsigned char c = s[0];
    if (c < 0x80) return {c, 1, true};
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, cp = c & 0x0Fu;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F; // surrogates are not characters
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, cp = c & 0x07u;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return {0xFFFD, 1, false};
    }
    for (size_t k = 1; k < len; ++k) {
        if (k >= n) return {0xFFFD, k, false};
        const unsigned char cc = s[k];
        if (cc < lo || cc > hi) return {0xFFFD, k, false};
        lo = 0x80, hi = 0xBF;
        cp = (cp << 6) | (cc & 0x3Fu);
    }
    return {cp, len, true};
}

void appendUtf16(std::u16string& out, char32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

/// Reads one code point from UTF-16; an unpaired surrogate comes back with valid = false.
struct Utf16Step {
    char32_t cp;
    size_t used;
    bool valid;
};

Utf16Step decodeUtf16(const char16_t* s, size_t n)
{
    const char16_t c = s[0];
    if (c >= 0xD800 && c <= 0xDBFF) {
        if (n >= 2 && s[1] >= 0xDC00 && s[1] <= 0xDFFF)
            return {0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                        (static_cast<char32_t>(s[1]) - 0xDC00),
                    2, true};
        return {c, 1, false};
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return {c, 1, false};
    return {c, 1, true};
}

/// Copies a finished conversion out by the platform's rules; returns the count or 0.
template <typename Char> int deliver(const std::basic_string<Char>& text, Char* out, int capacity)
{
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int needed = static_cast<int>(text.size());
    if (capacity == 0) return needed;
    if (needed > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text.data(), text.size() * sizeof(Char));
    return needed;
}

} // namespace

TAVREL_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                   int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const UINT cp = resolveCodePage(CodePage);
    if (cp != CP_UTF8 && cp != kCp1252) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD allowed =
        cp == CP_UTF8 ? MB_ERR_INVALID_CHARS
                      : (MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS);
    if ((dwFlags & ~allowed) != 0 ||
        (dwFlags & (MB_PRECOMPOSED | MB_COMPOSITE)) == (MB_PRECOMPOSED | MB_COMPOSITE)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t n =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    try {
        std::u16string out;
        out.reserve(n);
        if (cp == kCp1252) {
            for (size_t i = 0; i < n; ++i)
                out.push_back(decode1252(bytes[i]));
        } else {
            for (size_t i = 0; i < n;) {
                const Utf8Step step = decodeUtf8(bytes + i, n - i);
                if (!step.valid && (dwFlags & MB_ERR_INVALID_CHARS)) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
                appendUtf16(out, step.cp);
                i += step.used;
            }
        }
        return deliver(out, lpWideCharStr, cchWideChar);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

TAVREL_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                   int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                   LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const UINT cp = resolveCodePage(CodePage);
    if (cp != CP_UTF8 && cp != kCp1252) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cp == CP_UTF8) {
        // The platform refuses default-character arguments for UTF-8: nothing is ever lost.
        if (lpDefaultChar || lpUsedDefaultChar) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if ((dwFlags & ~WC_ERR_INVALID_CHARS) != 0) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
    } else if ((dwFlags & ~(WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_COMPOSITECHECK |
                            WC_NO_BEST_FIT_CHARS)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t n = cchWideChar == -1 ? [&] {
        size_t len = 0;
        while (lpWideCharStr[len]) ++len;
        return len + 1;
    }()
                                       : static_cast<size_t>(cchWideChar);
    const char defaultChar = lpDefaultChar ? *lpDefaultChar : '?';
    bool usedDefault = false;
    try {
        std::string out;
        out.reserve(n);
        for (size_t i = 0; i < n;) {
            const Utf16Step step = decodeUtf16(lpWideCharStr + i, n - i);
            i += step.used;
            if (cp == CP_UTF8) {
                if (!step.valid && (dwFlags & WC_ERR_INVALID_CHARS)) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
                appendUtf8(out, step.valid ? step.cp : 0xFFFD);
                continue;
            }
            int b = step.valid ? encode1252(step.cp) : -1;
            if (b < 0 && step.valid && !(dwFlags & WC_NO_BEST_FIT_CHARS)) b = bestFit1252(step.cp);
            if (b < 0) {
                usedDefault = true;
                out.push_back(defaultChar);
            } else {
                out.push_back(static_cast<char>(b));
            }
        }
        const int result = deliver(out, lpMultiByteStr, cbMultiByte);
        if (result != 0 && lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
        return result;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

TAVREL_API UINT GetACP()
{
    return g_activeCodePage.load();
}

// The OEM code page has no role on Linux; it follows the ANSI one.
TAVREL_API UINT GetOEMCP()
{
    return g_activeCodePage.load();
}

TAVREL_API BOOL IsValidCodePage(UINT CodePage)
{
    return CodePage == CP_UTF8 || CodePage == kCp1252 ? TRUE : FALSE;
}

TAVREL_API BOOL TavrelSetActiveCodePage(UINT CodePage)
{
    if (CodePage != CP_UTF8 && CodePage != kCp1252) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_activeCodePage.store(CodePage);
    return TRUE;
}

TAVREL_API int lstrlenW(LPCWSTR lpString)
{
    if (!lpString) return 0;
    size_t n = 0;
    while (lpString[n])
        ++n;
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

TAVREL_API int lstrlenA(LPCSTR lpString)
{
    if (!lpString) return 0;
    const size_t n = std::strlen(lpString);
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

TAVREL_API LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength)
{
    if (!lpString1 || !lpString2 || iMaxLength <= 0) return lpString1;
    int i = 0;
    for (; i + 1 < iMaxLength && lpString2[i]; ++i)
        lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

namespace {

char16_t foldCase(char16_t c)
{
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
    if (c < 0xC0) return c;
    if (c <= 0xDE) return c == 0xD7 ? c : static_cast<char16_t>(c + 0x20); // Latin-1
    if (c == 0x130 || c == 0x131) return c; // dotted/dotless i fold only by locale
    if (c >= 0x100 && c <= 0x137) return static_cast<char16_t>(c | 1); // Latin Ext-A pairs
    if (c >= 0x139 && c <= 0x148) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
    if (c >= 0x14A && c <= 0x177) return static_cast<char16_t>(c | 1);
    if (c == 0x178) return 0xFF;
    if (c >= 0x179 && c <= 0x17E) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 0x20); // Greek
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);               // Cyrillic
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
    return c;
}

} // namespace

TAVREL_API int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2)
{
    // A null string sorts before every other string, as the platform does.
    if (!lpString1 || !lpString2) return lpString1 ? 1 : (lpString2 ? -1 : 0);
    for (size_t i = 0;; ++i) {
        const char16_t a = foldCase(lpString1[i]);
        const char16_t b = foldCase(lpString2[i]);
        if (a != b) return a < b ? -1 : 1;
        if (a == 0) return 0;
    }
}
