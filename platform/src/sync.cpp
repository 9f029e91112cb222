// SPDX-License-Identifier: MIT
// Critical sections over a recursive mutex, with the owner tracked so a stray Leave is harmless.
#include <mutex>
#include <new>
#include <thread>

#include "tavrel/platform/sync.h"

namespace {

struct Section {
    std::recursive_mutex mutex;
    std::atomic<std::thread::id> owner{};
    unsigned depth = 0; // changed only by the owner
};
static_assert(sizeof(Section) <= sizeof(CRITICAL_SECTION::opaque));
static_assert(alignof(Section) <= alignof(CRITICAL_SECTION));

Section* sectionOf(LPCRITICAL_SECTION cs)
{
    return std::launder(reinterpret_cast<Section*>(cs->opaque));
}

void entered(Section* s)
{
    if (s->depth++ == 0) s->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

} // namespace

TAVREL_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    if (lpCriticalSection) new (lpCriticalSection->opaque) Section;
}

TAVREL_API BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD)
{
    if (!lpCriticalSection) return FALSE;
    InitializeCriticalSection(lpCriticalSection);
    return TRUE;
}

TAVREL_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    Section* s = sectionOf(lpCriticalSection);
    s->mutex.lock();
    entered(s);
}

TAVREL_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    Section* s = sectionOf(lpCriticalSection);
    if (!s->mutex.try_lock()) return FALSE;
    entered(s);
    return TRUE;
}

TAVREL_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    Section* s = sectionOf(lpCriticalSection);
    // Unlocking a mutex the thread does not own is undefined; refuse it instead.
    if (s->owner.load(std::memory_order_relaxed) != std::this_thread::get_id() || s->depth == 0)
        return;
    if (--s->depth == 0) s->owner.store(std::thread::id{}, std::memory_order_relaxed);
    s->mutex.unlock();
}

TAVREL_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    if (lpCriticalSection) sectionOf(lpCriticalSection)->~Section();
}
