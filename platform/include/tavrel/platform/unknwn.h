// SPDX-License-Identifier: MIT
// IUnknown and IClassFactory in slot order, and ComPtr, the owner of an interface reference.
#pragma once

#include <cassert>
#include <utility>

#include "tavrel/platform/types.h"

TAVREL_DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x46);
TAVREL_DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x46);

// Interfaces are abstract classes with their methods in slot order and no virtual destructor
// (a destructor would add slots and break binary compatibility with other callers).
struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
    STDMETHOD(LockServer)(BOOL fLock) PURE;
};

// Maps a C++ interface type to its IID: each interface header specialises this.
template <typename T>
struct InterfaceId;
template <>
struct InterfaceId<IUnknown> {
    static constexpr const IID& value = IID_IUnknown;
};
template <>
struct InterfaceId<IClassFactory> {
    static constexpr const IID& value = IID_IClassFactory;
};
#define TAVREL_INTERFACE_ID(Interface, iid)            \
    template <>                                        \
    struct InterfaceId<Interface> {                    \
        static constexpr const IID& value = iid;       \
    }
template <typename T>
inline constexpr const IID& uuidof() { return InterfaceId<T>::value; }

// Owns one reference. No implicit conversion to T*: Get() makes every borrow visible.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    explicit ComPtr(T* p) : m_ptr(p) { addRef(); }
    ComPtr(const ComPtr& other) : m_ptr(other.m_ptr) { addRef(); }
    ComPtr(ComPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    ~ComPtr() { release(); }

    ComPtr& operator=(const ComPtr& other)
    {
        if (this != &other) {
            T* old = m_ptr;
            m_ptr = other.m_ptr;
            addRef();
            if (old) old->Release();
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            release();
            m_ptr = std::exchange(other.m_ptr, nullptr);
        }
        return *this;
    }
    ComPtr& operator=(std::nullptr_t)
    {
        release();
        return *this;
    }

    T* Get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    // For out parameters: the pointer must be empty, so no reference can leak.
    T** GetAddressOf()
    {
        assert(m_ptr == nullptr);
        return &m_ptr;
    }
    T** ReleaseAndGetAddressOf()
    {
        release();
        return &m_ptr;
    }
    // Hands the reference to the caller.
    T* Detach() { return std::exchange(m_ptr, nullptr); }
    // Takes over a reference the caller already owns.
    void Attach(T* p)
    {
        release();
        m_ptr = p;
    }
    void Reset() { release(); }

    template <typename U>
    HRESULT As(ComPtr<U>* other) const
    {
        if (!m_ptr) return E_POINTER;
        return m_ptr->QueryInterface(uuidof<U>(), reinterpret_cast<void**>(other->ReleaseAndGetAddressOf()));
    }
    HRESULT CopyTo(T** pp) const
    {
        if (!pp) return E_POINTER;
        *pp = m_ptr;
        addRef();
        return S_OK;
    }

private:
    void addRef() const
    {
        if (m_ptr) m_ptr->AddRef();
    }
    void release()
    {
        if (T* p = std::exchange(m_ptr, nullptr)) p->Release();
    }
    T* m_ptr = nullptr;
};
