// SPDX-License-Identifier: MIT
// The COM runtime: per-thread initialisation bookkeeping, the in-process class table, and the
// in-process server loader (registry InprocServer32 -> dlopen -> DllGetClassObject).
#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com_internal.h"
#include "tavrel/platform/combase.h"
#include "tavrel/platform/registry.h"
#include "utf.h"

namespace {

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const
    {
        return std::memcmp(&a, &b, sizeof a) < 0;
    }
};

// A loaded server module. dlclose runs when the cache has dropped it and no call into the
// module is still in flight (each caller holds a shared_ptr for the duration of its call).
struct Module {
    void* handle = nullptr;
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
    ~Module()
    {
        if (handle) ::dlclose(handle);
    }
};

// Lock order: the runtime lock is a leaf; it is never held while calling into a module or the
// registry, because module code may call back into CoCreateInstance.
struct Runtime {
    std::mutex mutex;
    std::map<GUID, LPFNGETCLASSOBJECT, GuidLess> classes;
    std::map<std::string, std::shared_ptr<Module>> modules; // by path as registered
};

Runtime& runtime()
{
    static Runtime* r = new Runtime; // modules stay loaded through static teardown
    return *r;
}

struct Apartment {
    unsigned count = 0;
    DWORD model = 0;
};
thread_local Apartment t_apartment;

// Owns one opened registry key.
struct KeyHold {
    HKEY key = nullptr;
    ~KeyHold()
    {
        if (key) RegCloseKey(key);
    }
};

// Default value of HKCR\<path> as text; false when missing or not a string.
bool readDefaultString(const std::u16string& path, std::u16string* out)
{
    KeyHold key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key.key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.key, nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size < 2)
        return false;
    std::u16string text(size / 2, u'\0');
    if (RegQueryValueExW(key.key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &size) != ERROR_SUCCESS)
        return false;
    text.resize(size / 2);
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    *out = std::move(text);
    return true;
}

HRESULT loadModule(const std::string& path, std::shared_ptr<Module>* out)
{
    Runtime& rt = runtime();
    {
        std::lock_guard lock(rt.mutex);
        if (auto it = rt.modules.find(path); it != rt.modules.end()) {
            *out = it->second;
            return S_OK;
        }
    }
    auto module = std::make_shared<Module>();
    module->handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module->handle) return CO_E_DLLNOTFOUND;
    module->getClassObject =
        reinterpret_cast<LPFNGETCLASSOBJECT>(::dlsym(module->handle, "DllGetClassObject"));
    module->canUnloadNow =
        reinterpret_cast<LPFNCANUNLOADNOW>(::dlsym(module->handle, "DllCanUnloadNow"));
    if (!module->getClassObject) return CO_E_ERRORINDLL; // the destructor closes it again
    std::lock_guard lock(rt.mutex);
    // Another thread may have loaded it meanwhile; keep one entry (dlopen counts references).
    auto [it, inserted] = rt.modules.emplace(path, module);
    *out = it->second;
    return S_OK;
}

} // namespace

TAVREL_API HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit)
{
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    Apartment& a = t_apartment;
    if (a.count > 0 && a.model != model) return RPC_E_CHANGED_MODE;
    a.model = model;
    return a.count++ == 0 ? S_OK : S_FALSE;
}

TAVREL_API HRESULT CoInitialize(LPVOID pvReserved)
{
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

TAVREL_API void CoUninitialize()
{
    if (t_apartment.count > 0) --t_apartment.count;
}

TAVREL_API HRESULT TavrelRegisterInprocClass(REFCLSID rclsid, LPFNGETCLASSOBJECT pfnGetClassObject)
{
    if (!pfnGetClassObject) return E_INVALIDARG;
    try {
        std::lock_guard lock(runtime().mutex);
        runtime().classes[rclsid] = pfnGetClassObject; // a re-registration replaces the entry
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

TAVREL_API HRESULT TavrelRevokeInprocClass(REFCLSID rclsid)
{
    std::lock_guard lock(runtime().mutex);
    return runtime().classes.erase(rclsid) ? S_OK : E_INVALIDARG;
}

TAVREL_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid,
                                    LPVOID* ppv)
{
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    // Only in-process servers exist here.
    if (!(dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)))
        return REGDB_E_CLASSNOTREG;
    try {
        LPFNGETCLASSOBJECT linked = nullptr;
        {
            std::lock_guard lock(runtime().mutex);
            if (auto it = runtime().classes.find(rclsid); it != runtime().classes.end())
                linked = it->second;
        }
        if (linked) return linked(rclsid, riid, ppv);

        std::u16string modulePath;
        if (!readDefaultString(u"CLSID\\" + tavrel::guidToString(rclsid) + u"\\InprocServer32",
                               &modulePath) ||
            modulePath.empty())
            return REGDB_E_CLASSNOTREG;
        auto narrow = tavrel::utf16ToUtf8(modulePath);
        if (!narrow) return CO_E_DLLNOTFOUND;
        std::shared_ptr<Module> module;
        if (HRESULT hr = loadModule(*narrow, &module); FAILED(hr)) return hr;
        const HRESULT hr = module->getClassObject(rclsid, riid, ppv);
        if (FAILED(hr)) *ppv = nullptr;
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

TAVREL_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                    REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!factory) return E_UNEXPECTED;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}

TAVREL_API void CoFreeUnusedLibraries()
{
    Runtime& rt = runtime();
    // Take the idle modules out of the cache first: from then on no caller can reach them
    // (a new request opens the library again, which keeps it mapped), and none is in a call
    // right now (the cache holds the only reference). Only then is the module asked.
    std::vector<std::pair<std::string, std::shared_ptr<Module>>> idle;
    try {
        std::lock_guard lock(rt.mutex);
        for (auto it = rt.modules.begin(); it != rt.modules.end();) {
            if (it->second->canUnloadNow && it->second.use_count() == 1) {
                idle.emplace_back(it->first, std::move(it->second));
                it = rt.modules.erase(it);
            } else {
                ++it;
            }
        }
    } catch (const std::bad_alloc&) {
        // The entry being moved stays in the cache; those already in idle are handled below.
    }
    for (auto& [path, module] : idle) {
        if (module->canUnloadNow() == S_OK) continue; // dropped below: dlclose
        std::lock_guard lock(runtime().mutex);
        // Still in use: back into the cache, unless the library was opened again meanwhile,
        // in which case that handle keeps it mapped and ours can go.
        try {
            rt.modules.emplace(path, std::move(module));
        } catch (const std::bad_alloc&) {
            // Leaving the library mapped for good is safer than closing one in use.
            module->handle = nullptr;
        }
    }
    idle.clear();
}

namespace tavrel {

HRESULT clsidFromProgId(std::u16string_view progId, CLSID* out)
{
    try {
        std::u16string text;
        if (!readDefaultString(std::u16string(progId) + u"\\CLSID", &text))
            return REGDB_E_CLASSNOTREG;
        return guidFromString(text, out) ? S_OK : CO_E_CLASSSTRING;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace tavrel
