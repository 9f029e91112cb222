// SPDX-License-Identifier: MIT
// Critical sections (recursive locks) and the Interlocked family over std::atomic_ref.
#pragma once

#include <atomic>

#include "tavrel/platform/types.h"

/// A recursive lock: the owning thread may enter again and leaves once per enter. The
/// storage holds a recursive mutex plus owner bookkeeping; treat it as opaque.
struct CRITICAL_SECTION {
    alignas(16) unsigned char opaque[80];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

TAVREL_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
/// The spin count is accepted and ignored. Returns TRUE.
TAVREL_API BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                      DWORD dwSpinCount);
TAVREL_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
/// Nonzero if the caller now holds the section (also when it already held it).
TAVREL_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
/// A call from a thread that does not hold the section is ignored rather than corrupting it.
TAVREL_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
/// Must not be called while any thread holds the section.
TAVREL_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// The Interlocked calls are compiler intrinsics on the platform; here they are inline and
// sequentially consistent, like a full barrier. Each returns what the platform's does.
inline LONG InterlockedIncrement(LONG volatile* addend)
{
    // Wraps like the platform's; the arithmetic on the returned value is done unsigned.
    return static_cast<LONG>(
        static_cast<ULONG>(std::atomic_ref<LONG>(*const_cast<LONG*>(addend)).fetch_add(1)) + 1u);
}
inline LONG InterlockedDecrement(LONG volatile* addend)
{
    return static_cast<LONG>(
        static_cast<ULONG>(std::atomic_ref<LONG>(*const_cast<LONG*>(addend)).fetch_sub(1)) - 1u);
}
/// Returns the previous value.
inline LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    return std::atomic_ref<LONG>(*const_cast<LONG*>(target)).exchange(value);
}
/// Stores exchange if *destination equals comparand; returns the previous value either way.
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand)
{
    std::atomic_ref<LONG>(*const_cast<LONG*>(destination))
        .compare_exchange_strong(comparand, exchange);
    return comparand;
}
/// Returns the previous value.
inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value)
{
    return std::atomic_ref<LONG>(*const_cast<LONG*>(addend)).fetch_add(value);
}
inline LONGLONG InterlockedIncrement64(LONGLONG volatile* addend)
{
    return static_cast<LONGLONG>(
        static_cast<ULONGLONG>(
            std::atomic_ref<LONGLONG>(*const_cast<LONGLONG*>(addend)).fetch_add(1)) +
        1u);
}
inline LONGLONG InterlockedDecrement64(LONGLONG volatile* addend)
{
    return static_cast<LONGLONG>(
        static_cast<ULONGLONG>(
            std::atomic_ref<LONGLONG>(*const_cast<LONGLONG*>(addend)).fetch_sub(1)) -
        1u);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                               PVOID comparand)
{
    std::atomic_ref<PVOID>(*const_cast<PVOID*>(destination))
        .compare_exchange_strong(comparand, exchange);
    return comparand;
}

namespace tavrel {

/// Holds a critical section for one scope.
class CriticalSectionLock {
  public:
    explicit CriticalSectionLock(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;
    ~CriticalSectionLock() { LeaveCriticalSection(&m_cs); }

  private:
    CRITICAL_SECTION& m_cs;
};

} // namespace tavrel
