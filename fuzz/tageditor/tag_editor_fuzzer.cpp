// SPDX-License-Identifier: MIT
// Fuzz target: the tag editor's open, which turns what TagLib reads from the file into the tag
// block callers read in place; every entry the block shows must be readable to its length.
#include "contracts/tag_editor.h"

#include <tavrel/platform/combase.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct TempFile {
    std::string path;
    TempFile()
    {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        // Content picks the container; the extension only breaks the tie for a bare ID3 tag.
        std::string pattern = std::string(dir) + "/mio-fuzz-XXXXXX.mp3";
        const int fd = mkstemps(pattern.data(), 4);
        if (fd < 0) std::abort();
        close(fd);
        path = pattern;
    }
    ~TempFile() { unlink(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

bool writeAll(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (TagEditorRegisterClass() != S_OK) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TempFile file;
    if (!writeAll(file.path, data, size)) std::abort();
    ComPtr<ITagEditor> editor;
    if (CoCreateInstance(CLSID_TagEditor, nullptr, CLSCTX_ALL, IID_ITagEditor,
                         reinterpret_cast<void**>(editor.GetAddressOf())) != S_OK)
        std::abort();
    TagBlock* block = nullptr;
    DWORD families = 0;
    const HRESULT hr = editor->Open(0, file.path.c_str(), &block, &families, 0);
    if (hr != S_OK) {
        if (block) std::abort(); // a failed open hands out no block
        return 0;
    }
    if (!block) std::abort();
    uint32_t sum = 0;
    for (const TagEntry& entry : block->entries) {
        if (entry.nLength <= 0) continue;
        if (!entry.pData) std::abort();
        for (int32_t i = 0; i < entry.nLength; ++i)
            sum += entry.pData[i];
    }
    (void)sum;
    editor->Close();
    return 0;
}
