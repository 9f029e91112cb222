// SPDX-License-Identifier: MIT
// The global-memory heap (GlobalAlloc family) and the task allocator (CoTaskMem*).
//
// Every block carries a small header in front of its data, and every live block is listed in
// a table keyed by handle and by data address. A handle or pointer is looked up in the table
// before anything is dereferenced, so freed and foreign handles are reported, never touched.
// A movable block's handle is a separate record that stays put while the data moves.
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>

#include "tavrel/platform/memory.h"

namespace {

constexpr uint64_t kBlockCookie = 0x7461767267626c6bull; // "tavrgblk"
constexpr uint64_t kHandleCookie = 0x74617672676d6864ull;

struct HandleRecord;

// 32 bytes, so the data after it keeps malloc's 16-byte alignment.
struct BlockHeader {
    uint64_t cookie;
    HandleRecord* owner;
    size_t size;     // bytes the caller asked for (GlobalSize)
    size_t capacity; // bytes available after the header
};
static_assert(sizeof(BlockHeader) == 32);

struct HandleRecord {
    uint64_t cookie = kHandleCookie;
    BlockHeader* block = nullptr; // null for a discarded movable block
    bool movable = false;
    UINT lockCount = 0;
};

void* dataOf(BlockHeader* b)
{
    return reinterpret_cast<unsigned char*>(b) + sizeof(BlockHeader);
}

// Lock order: this is a leaf lock; no other platform lock is taken while it is held.
struct Heap {
    std::mutex mutex;
    std::unordered_map<const void*, HandleRecord*> byHandle;
    std::unordered_map<const void*, HandleRecord*> byData;
};

Heap& heap()
{
    static Heap* h = new Heap; // never destroyed: blocks may be freed during static teardown
    return *h;
}

HGLOBAL handleOf(HandleRecord* rec)
{
    return rec->movable ? static_cast<HGLOBAL>(rec) : dataOf(rec->block);
}

HandleRecord* findLocked(Heap& h, const void* handle)
{
    if (!handle) return nullptr;
    auto it = h.byHandle.find(handle);
    if (it == h.byHandle.end() || it->second->cookie != kHandleCookie) return nullptr;
    return it->second;
}

BlockHeader* allocBlock(size_t bytes, size_t capacity, bool zero)
{
    if (capacity > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    void* raw = zero ? std::calloc(1, sizeof(BlockHeader) + capacity)
                     : std::malloc(sizeof(BlockHeader) + capacity);
    if (!raw) return nullptr;
    auto* b = static_cast<BlockHeader*>(raw);
    b->cookie = kBlockCookie;
    b->owner = nullptr;
    b->size = bytes;
    b->capacity = capacity;
    return b;
}

void freeBlock(BlockHeader* b)
{
    if (!b) return;
    b->cookie = 0;
    std::free(b);
}

void invalidHandle()
{
    SetLastError(ERROR_INVALID_HANDLE);
}

} // namespace

TAVREL_API HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes)
{
    const bool movable = (uFlags & GMEM_MOVEABLE) != 0;
    const bool zero = (uFlags & GMEM_ZEROINIT) != 0;
    auto rec = new (std::nothrow) HandleRecord;
    if (!rec) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    rec->movable = movable;
    // A movable request of 0 bytes is a discarded block: a handle with no memory behind it.
    if (!(movable && dwBytes == 0)) {
        rec->block = allocBlock(dwBytes, dwBytes, zero);
        if (!rec->block) {
            delete rec;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        rec->block->owner = rec;
    }
    Heap& h = heap();
    try {
        std::lock_guard lock(h.mutex);
        HGLOBAL handle = handleOf(rec);
        h.byHandle.emplace(handle, rec);
        try {
            if (rec->block) h.byData.emplace(dataOf(rec->block), rec);
        } catch (...) {
            h.byHandle.erase(handle);
            throw;
        }
        return handle;
    } catch (const std::bad_alloc&) {
        freeBlock(rec->block);
        delete rec;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

TAVREL_API HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags)
{
    Heap& h = heap();
    std::lock_guard lock(h.mutex);
    HandleRecord* rec = findLocked(h, hMem);
    if (!rec) {
        invalidHandle();
        return nullptr;
    }
    try {
        if (uFlags & GMEM_MODIFY) {
            // Only the movable attribute can change: a fixed block becomes movable and gets a
            // handle of its own. The data stays where it is.
            if ((uFlags & GMEM_MOVEABLE) && !rec->movable) {
                h.byHandle.emplace(static_cast<HGLOBAL>(rec), rec);
                h.byHandle.erase(hMem);
                rec->movable = true;
            }
            return handleOf(rec);
        }
        if (rec->movable && dwBytes == 0) {
            if (rec->lockCount != 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            if (rec->block) {
                h.byData.erase(dataOf(rec->block));
                freeBlock(rec->block);
                rec->block = nullptr;
            }
            return hMem;
        }
        BlockHeader* old = rec->block;
        const size_t oldSize = old ? old->size : 0;
        const bool zero = (uFlags & GMEM_ZEROINIT) != 0;
        if (old && dwBytes <= old->capacity) {
            if (zero && dwBytes > oldSize)
                std::memset(static_cast<unsigned char*>(dataOf(old)) + oldSize, 0,
                            dwBytes - oldSize);
            old->size = dwBytes;
            return hMem;
        }
        // Growing beyond the allocation moves the data. A fixed block may move only when the
        // caller allows it, because its handle is its address.
        if (!rec->movable && !(uFlags & GMEM_MOVEABLE)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        // Geometric growth keeps repeated small appends (a growing stream) linear overall.
        size_t capacity = dwBytes;
        if (old && old->capacity < SIZE_MAX / 2)
            capacity = std::max(dwBytes, old->capacity + old->capacity / 2);
        if (!old) {
            BlockHeader* fresh = allocBlock(dwBytes, dwBytes, zero);
            if (!fresh) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            fresh->owner = rec;
            h.byData.emplace(dataOf(fresh), rec);
            rec->block = fresh;
            return handleOf(rec);
        }
        // realloc carries the header along and can remap large blocks without copying. The
        // table entries are taken out first and put back under the new address, which cannot
        // fail for lack of memory.
        auto dataNode = h.byData.extract(dataOf(old));
        decltype(h.byHandle)::node_type handleNode;
        if (!rec->movable) handleNode = h.byHandle.extract(hMem);
        auto regrow = [&](size_t cap) {
            return static_cast<BlockHeader*>(std::realloc(old, sizeof(BlockHeader) + cap));
        };
        BlockHeader* grown = capacity > SIZE_MAX - sizeof(BlockHeader) ? nullptr : regrow(capacity);
        if (!grown && capacity != dwBytes) grown = regrow(capacity = dwBytes);
        if (!grown) {
            h.byData.insert(std::move(dataNode));
            if (handleNode) h.byHandle.insert(std::move(handleNode));
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        grown->capacity = capacity;
        grown->size = dwBytes;
        if (zero)
            std::memset(static_cast<unsigned char*>(dataOf(grown)) + oldSize, 0, dwBytes - oldSize);
        rec->block = grown;
        dataNode.key() = dataOf(grown);
        h.byData.insert(std::move(dataNode));
        if (handleNode) {
            handleNode.key() = dataOf(grown);
            h.byHandle.insert(std::move(handleNode));
        }
        return handleOf(rec);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

TAVREL_API LPVOID GlobalLock(HGLOBAL hMem)
{
    Heap& h = heap();
    std::lock_guard lock(h.mutex);
    HandleRecord* rec = findLocked(h, hMem);
    if (!rec) {
        invalidHandle();
        return nullptr;
    }
    if (!rec->block) {
        SetLastError(ERROR_DISCARDED);
        return nullptr;
    }
    if (rec->movable) {
        if ((rec->lockCount & GMEM_LOCKCOUNT) == GMEM_LOCKCOUNT) {
            // The count is one byte wide in GlobalFlags; refuse rather than wrap.
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        ++rec->lockCount;
    }
    return dataOf(rec->block);
}

TAVREL_API BOOL GlobalUnlock(HGLOBAL hMem)
{
    Heap& h = heap();
    std::lock_guard lock(h.mutex);
    HandleRecord* rec = findLocked(h, hMem);
    if (!rec) {
        invalidHandle();
        return FALSE;
    }
    if (rec->lockCount == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (--rec->lockCount == 0) {
        SetLastError(NO_ERROR);
        return FALSE;
    }
    return TRUE;
}

TAVREL_API HGLOBAL GlobalHandle(LPCVOID pMem)
{
    Heap& h = heap();
    std::lock_guard lock(h.mutex);
    // A movable handle maps to itself; any other value must be the data address of a block.
    if (HandleRecord* rec = findLocked(h, pMem); rec && rec->movable) return handleOf(rec);
    auto it = h.byData.find(pMem);
    if (it == h.byData.end()) {
        invalidHandle();
        return nullptr;
    }
    HandleRecord* rec = it->second;
    auto* header = reinterpret_cast<const BlockHeader*>(static_cast<const unsigned char*>(pMem) -
                                                        sizeof(BlockHeader));
    if (header->cookie != kBlockCookie || header->owner != rec) {
        invalidHandle();
        return nullptr;
    }
    return handleOf(rec);
}

TAVREL_API SIZE_T GlobalSize(HGLOBAL hMem)
{
    Heap& h = heap();
    std::lock_guard lock(h.mutex);
    HandleRecord* rec = findLocked(h, hMem);
    if (!rec) {
        invalidHandle();
        return 0;
    }
    return rec->block ? rec->block->size : 0;
}

TAVREL_API UINT GlobalFlags(HGLOBAL hMem)
{
    Heap& h = heap();
    std::lock_guard lock(h.mutex);
    HandleRecord* rec = findLocked(h, hMem);
    if (!rec) {
        invalidHandle();
        return GMEM_INVALID_HANDLE;
    }
    UINT flags = rec->lockCount & GMEM_LOCKCOUNT;
    if (!rec->block) flags |= GMEM_DISCARDED;
    return flags;
}

TAVREL_API HGLOBAL GlobalFree(HGLOBAL hMem)
{
    if (!hMem) return nullptr;
    Heap& h = heap();
    HandleRecord* rec = nullptr;
    {
        std::lock_guard lock(h.mutex);
        rec = findLocked(h, hMem);
        if (!rec) {
            invalidHandle();
            return hMem;
        }
        h.byHandle.erase(hMem);
        if (rec->block) h.byData.erase(dataOf(rec->block));
    }
    freeBlock(rec->block);
    rec->cookie = 0;
    delete rec;
    return nullptr;
}

TAVREL_API LPVOID CoTaskMemAlloc(SIZE_T cb)
{
    // A zero-byte request still gives a distinct pointer, as the task allocator does.
    return std::malloc(cb ? cb : 1);
}

TAVREL_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb)
{
    if (!pv) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb);
}

TAVREL_API void CoTaskMemFree(LPVOID pv)
{
    std::free(pv);
}
