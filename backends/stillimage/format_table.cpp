// SPDX-License-Identifier: MIT
// Lookups over the still-image format list.
#include "format_table.h"

#include <algorithm>
#include <cctype>

namespace mio::stillimage {
namespace {

constexpr bool checkRows()
{
    for (int32_t i = 0; i < kFormatCount; ++i) {
        if (kFormatRows[i].id != i + 1) return false;
        // Each list must fit the 124-byte area of qfFileGetFormatExt with its terminator.
        if (std::string_view(kFormatRows[i].extensions).size() >= 124) return false;
    }
    return true;
}
static_assert(checkRows(), "format ids must be 1..n in order and lists must fit 124 bytes");

bool equalNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool listHas(std::string_view list, std::string_view ext)
{
    while (!list.empty()) {
        const size_t semi = list.find(';');
        if (equalNoCase(list.substr(0, semi), ext)) return true;
        if (semi == std::string_view::npos) break;
        list.remove_prefix(semi + 1);
    }
    return false;
}

} // namespace

const FormatRow* formatById(int32_t id)
{
    if (id < 1 || id > kFormatCount) return nullptr;
    return &kFormatRows[id - 1];
}

const FormatRow* formatByExtension(std::string_view ext)
{
    if (ext.empty()) return nullptr;
    for (const FormatRow& row : kFormatRows) {
        if (listHas(row.extensions, ext)) return &row;
    }
    return nullptr;
}

const FormatRow* formatByNameOrExtension(std::string_view text)
{
    if (!text.empty() && text.front() == '.') text.remove_prefix(1);
    if (text.empty()) return nullptr;
    if (const FormatRow* row = formatByExtension(text)) return row;
    for (const FormatRow& row : kFormatRows) {
        if (equalNoCase(row.name, text)) return &row;
    }
    return nullptr;
}

std::string_view pathExtension(std::string_view path)
{
    const size_t slash = path.find_last_of('/');
    const std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = leaf.find_last_of('.');
    if (dot == std::string_view::npos) return {};
    return leaf.substr(dot + 1);
}

std::string_view primaryExtension(const FormatRow& row)
{
    const std::string_view list(row.extensions);
    return list.substr(0, list.find(';'));
}

} // namespace mio::stillimage
