// SPDX-License-Identifier: MIT
// The process-wide table of pixel rows that 24-bit headers name by token in biClrImportant.
#include <mutex>
#include <new>
#include <unordered_map>

#include "contracts/pixel_library.h"

namespace {

struct ExternalRange {
    void* bits;
    size_t size;
};

struct ExternalTable {
    std::mutex mutex;
    std::unordered_map<DWORD, ExternalRange> ranges;
    DWORD next = 2;
};

ExternalTable& table()
{
    static ExternalTable instance;
    return instance;
}

} // namespace

extern "C" DWORD vcRegisterExternalBits(void* pBits, size_t cbBits)
{
    if (!pBits) return 0;
    ExternalTable& t = table();
    std::lock_guard lock(t.mutex);
    // 0 and 1 mean "rows behind the header"; a wrap-around skips them and any live token.
    for (uint64_t tries = 0; tries < 0xFFFFFFFEull; ++tries) {
        const DWORD token = t.next;
        t.next = t.next == 0xFFFFFFFFu ? 2 : t.next + 1;
        if (t.ranges.count(token)) continue;
        try {
            t.ranges.emplace(token, ExternalRange{pBits, cbBits});
        } catch (const std::bad_alloc&) {
            return 0;
        }
        return token;
    }
    return 0;
}

extern "C" void* vcLookupExternalBits(DWORD dwToken, size_t cbNeeded)
{
    ExternalTable& t = table();
    std::lock_guard lock(t.mutex);
    const auto it = t.ranges.find(dwToken);
    if (it == t.ranges.end() || it->second.size < cbNeeded) return nullptr;
    return it->second.bits;
}

extern "C" BOOL vcUnregisterExternalBits(DWORD dwToken)
{
    ExternalTable& t = table();
    std::lock_guard lock(t.mutex);
    return t.ranges.erase(dwToken) ? TRUE : FALSE;
}
