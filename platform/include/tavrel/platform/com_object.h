// SPDX-License-Identifier: MIT
// ComObject: reference counting, QueryInterface and self-deletion for our COM classes.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>

#include "tavrel/platform/objidl.h"

// The interface an interface derives from, for QueryInterface on base interfaces (IStream
// answers for ISequentialStream too). Interfaces derived straight from IUnknown need nothing;
// others declare their parent with TAVREL_INTERFACE_PARENT next to TAVREL_INTERFACE_ID.
template <typename I> struct InterfaceParent {
    using type = IUnknown;
};
#define TAVREL_INTERFACE_PARENT(Interface, Parent)                                                 \
    template <> struct InterfaceParent<Interface> {                                                \
        using type = Parent;                                                                       \
    }
TAVREL_INTERFACE_PARENT(IStream, ISequentialStream);

namespace tavrel {

/// Module lock hooks: a server points these at its lock count so that every live ComObject
/// holds one lock, which DllCanUnloadNow consults. Each module that includes this header has
/// its own pair (symbols are hidden), so objects count against the module that made them.
struct ModuleLockHooks {
    std::atomic<void (*)()> lock{nullptr};
    std::atomic<void (*)()> unlock{nullptr};
};
inline ModuleLockHooks g_moduleLockHooks;

inline void setModuleLockHooks(void (*lock)(), void (*unlock)())
{
    g_moduleLockHooks.unlock.store(unlock);
    g_moduleLockHooks.lock.store(lock);
}

/// Base for a COM class implementing Interfaces...: the first interface gives the object's
/// IUnknown identity. The count starts at 1 (the creator's reference); the last Release
/// deletes the Derived object.
///
///   class Enum final : public tavrel::ComObject<Enum, IEnumString> { ... };
///   ComPtr<Enum> e; e.Attach(Enum::createNew(args...)); // null when out of memory
template <typename Derived, typename First, typename... Rest>
class ComObject : public First, public Rest... {
  public:
    /// A new object holding one reference for the caller, or null when out of memory.
    template <typename... Args> static Derived* createNew(Args&&... args)
    {
        return new (std::nothrow) Derived(std::forward<Args>(args)...);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            *ppv = identity();
        } else if (!(find<First>(riid, ppv) || (find<Rest>(riid, ppv) || ...))) {
            if (!static_cast<Derived*>(this)->queryExtra(riid, ppv)) return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

    /// Derived classes may answer further IIDs (private implementation IIDs, tear-offs) with a
    /// public queryExtra of the same shape: set *ppv without AddRef and return true.
    bool queryExtra(REFIID, void**) { return false; }

    /// The object's IUnknown: the same pointer whichever interface it is asked through.
    IUnknown* identity() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

  protected:
    ComObject() : m_moduleUnlock(g_moduleLockHooks.unlock.load())
    {
        if (auto lock = g_moduleLockHooks.lock.load(); lock && m_moduleUnlock) lock();
    }
    virtual ~ComObject()
    {
        if (m_moduleUnlock) m_moduleUnlock();
    }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

  private:
    template <typename I> bool find(REFIID riid, void** ppv)
    {
        if constexpr (std::is_same_v<I, IUnknown>) {
            return false;
        } else {
            if (riid == uuidof<I>()) {
                *ppv = static_cast<I*>(this);
                return true;
            }
            using Parent = typename InterfaceParent<I>::type;
            static_assert(std::is_base_of_v<Parent, I>, "wrong InterfaceParent");
            if constexpr (!std::is_same_v<Parent, IUnknown>) {
                if (findBase<I, Parent>(riid, ppv)) return true;
            }
            return false;
        }
    }
    // Walks I's chain of parents, handing out the parent sub-object reached through I.
    template <typename I, typename P> bool findBase(REFIID riid, void** ppv)
    {
        if (riid == uuidof<P>()) {
            *ppv = static_cast<P*>(static_cast<I*>(this));
            return true;
        }
        using Next = typename InterfaceParent<P>::type;
        if constexpr (!std::is_same_v<Next, IUnknown>) return findBase<I, Next>(riid, ppv);
        return false;
    }

    std::atomic<ULONG> m_refs{1};
    void (*m_moduleUnlock)();
};

} // namespace tavrel
