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
/// deletes the Derived object. Every object holds one module lock (see ModuleLockHooks) from
/// construction to destruction.
///
/// Aggregation: createInstance(outer, IID_IUnknown, &inner) makes an object whose interfaces
/// delegate QueryInterface, AddRef and Release to the outer object; the outer object keeps the
/// returned inner IUnknown, which alone controls the lifetime.
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

    /// IClassFactory::CreateInstance semantics: E_POINTER for a null ppv; with an outer object
    /// riid must be IID_IUnknown (else CLASS_E_NOAGGREGATION) and *ppv receives the inner
    /// unknown; E_NOINTERFACE (object destroyed) for an unsupported riid; *ppv null on failure.
    template <typename... Args>
    static HRESULT createInstance(IUnknown* outer, REFIID riid, void** ppv, Args&&... args)
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
        Derived* object = createNew(std::forward<Args>(args)...);
        if (!object) return E_OUTOFMEMORY;
        if (outer) {
            object->m_outer = outer;
            *ppv = &object->m_inner; // hands over the creation reference
            return S_OK;
        }
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (m_outer) return m_outer->QueryInterface(riid, ppv);
        return innerQuery(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return m_outer ? m_outer->AddRef() : innerAddRef();
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        return m_outer ? m_outer->Release() : innerRelease();
    }

    /// Derived classes may answer further IIDs (private implementation IIDs, tear-offs) with a
    /// public queryExtra of the same shape: set *ppv without AddRef and return true.
    bool queryExtra(REFIID, void**) { return false; }

    /// The object's IUnknown: the same pointer whichever interface it is asked through (for an
    /// aggregated object, the outer object's identity is the one callers see).
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
    // The non-delegating IUnknown of an aggregated object.
    struct Inner final : IUnknown {
        explicit Inner(ComObject* self) : m_self(self) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
        {
            return m_self->innerQuery(riid, ppv);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return m_self->innerAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return m_self->innerRelease(); }
        ComObject* m_self;
    };

    HRESULT innerQuery(REFIID riid, void** ppv)
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            if (m_outer) {
                *ppv = static_cast<IUnknown*>(&m_inner);
                innerAddRef();
            } else {
                *ppv = identity();
                AddRef();
            }
            return S_OK;
        }
        if (!(find<First>(riid, ppv) || (find<Rest>(riid, ppv) || ...))) {
            if (!static_cast<Derived*>(this)->queryExtra(riid, ppv)) return E_NOINTERFACE;
        }
        AddRef(); // through the outer object when aggregated
        return S_OK;
    }
    ULONG innerAddRef() { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG innerRelease()
    {
        const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

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
    IUnknown* m_outer = nullptr; // not a reference: the outer object owns us
    Inner m_inner{this};
    void (*m_moduleUnlock)();
};

/// A class factory for one ComObject class: CreateInstance through Derived::createInstance
/// (so aggregation works when the class allows it), LockServer through the module-lock hooks.
/// A class that refuses aggregation sets kAggregatable = false in its body.
template <typename Class>
class ClassFactory final : public ComObject<ClassFactory<Class>, IClassFactory> {
  public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppvObject) override
    {
        if (pUnkOuter && !aggregatable()) {
            if (ppvObject) *ppvObject = nullptr;
            return CLASS_E_NOAGGREGATION;
        }
        return Class::createInstance(pUnkOuter, riid, ppvObject);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override
    {
        auto fn = fLock ? g_moduleLockHooks.lock.load() : g_moduleLockHooks.unlock.load();
        if (fn) fn();
        return S_OK;
    }

  private:
    static constexpr bool aggregatable()
    {
        if constexpr (requires { Class::kAggregatable; })
            return Class::kAggregatable;
        else
            return true;
    }
};

} // namespace tavrel
