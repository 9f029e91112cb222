// SPDX-License-Identifier: MIT
// Internal UTF-8 <-> UTF-16 conversion shared by the platform's text, file and registry code.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrel {

/// Null when the input holds an unpaired surrogate.
std::optional<std::string> utf16ToUtf8(std::u16string_view text);
/// Null when the input is not well-formed UTF-8 (overlongs, surrogates, truncated sequences).
std::optional<std::u16string> utf8ToUtf16(std::string_view text);

/// Length of a NUL-terminated UTF-16 string.
inline size_t u16len(const char16_t* s)
{
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

} // namespace tavrel
