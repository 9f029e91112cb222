// SPDX-License-Identifier: MIT
// Shared helpers of the tag-editor tests: component creation, entry access and ExifTool calls.
#pragma once

#include "contracts/tag_editor.h"
#include "support/test_support.h"

#include <tavrel/platform/combase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace tageditor_test {

using Bytes = std::vector<uint8_t>;

inline ComPtr<ITagEditor> createEditor()
{
    EXPECT_EQ(TagEditorRegisterClass(), S_OK);
    ComPtr<ITagEditor> editor;
    EXPECT_EQ(CoCreateInstance(CLSID_TagEditor, nullptr, CLSCTX_ALL, IID_ITagEditor,
                               reinterpret_cast<void**>(editor.GetAddressOf())),
              S_OK);
    return editor;
}

struct Opened {
    ComPtr<ITagEditor> editor;
    TagBlock* block = nullptr;
    DWORD families = 0;
    HRESULT hr = E_FAIL;
};

inline Opened openFile(const std::filesystem::path& path)
{
    Opened opened;
    opened.editor = createEditor();
    if (opened.editor)
        opened.hr =
            opened.editor->Open(0, path.string().c_str(), &opened.block, &opened.families, 0);
    return opened;
}

// The stored bytes of a tag, empty when absent.
inline Bytes entryBytes(const TagBlock* block, int tag)
{
    const TagEntry& entry = block->entries[tag];
    if (entry.nLength <= 0) return {};
    return Bytes(entry.pData, entry.pData + entry.nLength);
}

// The text of a tag with the leading bytes skipped.
inline std::string entryText(const TagBlock* block, int tag, size_t lead = 0)
{
    const Bytes bytes = entryBytes(block, tag);
    if (bytes.size() < lead) return {};
    return std::string(bytes.begin() + static_cast<long>(lead), bytes.end());
}

inline Bytes bytesOf(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

inline HRESULT setTag(ITagEditor* editor, int family, int tag, Bytes value)
{
    TagEntry entry{};
    entry.nLength = static_cast<int32_t>(value.size());
    entry.pData = value.data();
    return editor->SetTag(tag, &entry, family, 0, 0, 0);
}

// ID3v2 text in its stored form: the UTF-8 encoding byte and the text.
inline Bytes id3Text(const std::string& text)
{
    Bytes b{kId3v2EncodingUtf8};
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

inline bool haveExifTool()
{
    static const bool have = std::system("exiftool -ver >/dev/null 2>&1") == 0;
    return have;
}

// One ExifTool value ("Group:Tag"), the first of repeated ones, trimmed; empty when none.
inline std::string exifTool(const std::filesystem::path& file, const std::string& tag,
                            bool numeric = false)
{
    // -a: with repeated tags, the first one (the one the component shows) comes first.
    const std::string command = std::string("exiftool -a -s3 ") + (numeric ? "-n " : "") + "'-" +
                                tag + "' '" + file.string() + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    if (!pipe) return out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe.get()))
        out.append(buffer, n);
    // ExifTool shows a comment with a description as "(description) text"; the component
    // lists the one without.
    std::string line;
    for (size_t at = 0; at < out.size();) {
        const size_t end = std::min(out.find('\n', at), out.size());
        line = out.substr(at, end - at);
        if (line.empty() || line[0] != '(') break;
        at = end + 1;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

} // namespace tageditor_test
