// SPDX-License-Identifier: MIT
// Reference counting and QueryInterface for the imaging objects, plus the result-check macros.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>

#include "contracts/wincodec.h"

#define RETURN_IF_FAILED(expr)                                                                     \
    do {                                                                                           \
        const HRESULT hr_ = (expr);                                                                \
        if (FAILED(hr_)) return hr_;                                                               \
    } while (0)
#define RETURN_HR_IF(hr, cond)                                                                     \
    do {                                                                                           \
        if (cond) return (hr);                                                                     \
    } while (0)

namespace mio::imaging {

// The parent of each interface in the inheritance chain, so that QueryInterface answers every
// interface an object derives from.
template <typename I> struct ParentOf {
    using type = IUnknown;
};
#define MIO_PARENT(I, P)                                                                           \
    template <> struct ParentOf<I> {                                                               \
        using type = P;                                                                            \
    }
MIO_PARENT(IWICBitmapFrameDecode, IWICBitmapSource);
MIO_PARENT(IWICFormatConverter, IWICBitmapSource);
MIO_PARENT(IWICBitmapScaler, IWICBitmapSource);
MIO_PARENT(IWICBitmapClipper, IWICBitmapSource);
MIO_PARENT(IWICBitmapFlipRotator, IWICBitmapSource);
MIO_PARENT(IWICBitmap, IWICBitmapSource);
MIO_PARENT(IWICStream, IStream);
MIO_PARENT(IStream, ISequentialStream);
MIO_PARENT(IWICMetadataQueryWriter, IWICMetadataQueryReader);
MIO_PARENT(IWICMetadataBlockWriter, IWICMetadataBlockReader);
MIO_PARENT(IWICComponentFactory, IWICImagingFactory);
#undef MIO_PARENT

// Base of every object: Derived lists the most derived interfaces it implements; their parents
// are found through ParentOf. The object deletes itself when the count reaches zero.
template <typename Derived, typename First, typename... Rest>
class ComObject : public First, public Rest... {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
        } else if (!(find<First>(riid, ppv) || (find<Rest>(riid, ppv) || ...))) {
            return static_cast<Derived*>(this)->queryExtra(riid, ppv);
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

    // Hook for interfaces outside the inheritance list (private ones); E_NOINTERFACE by default.
    HRESULT queryExtra(REFIID, void**) { return E_NOINTERFACE; }

    // Creates an object with one reference owned by the returned ComPtr.
    template <typename... Args> static ComPtr<Derived> make(Args&&... args)
    {
        ComPtr<Derived> p;
        Derived* raw = new (std::nothrow) Derived(std::forward<Args>(args)...);
        if (raw) p.Attach(raw);
        return p;
    }

  protected:
    ComObject() = default;
    ~ComObject() = default;

  private:
    template <typename I> bool find(REFIID riid, void** ppv)
    {
        if constexpr (std::is_same_v<I, IUnknown>) {
            return false;
        } else {
            if (riid == uuidof<I>()) {
                *ppv = static_cast<I*>(static_cast<Derived*>(this));
                return true;
            }
            return find<typename ParentOf<I>::type>(riid, ppv);
        }
    }

    std::atomic<ULONG> m_refs{1};
};

// Hands a new reference of an object to an out parameter of interface type I.
template <typename I, typename T> HRESULT handOut(const ComPtr<T>& object, I** out)
{
    if (!object) return E_OUTOFMEMORY;
    *out = static_cast<I*>(object.Get());
    (*out)->AddRef();
    return S_OK;
}

} // namespace mio::imaging
