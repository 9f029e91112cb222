// SPDX-License-Identifier: MIT
// A minimal in-process server loaded by the COM runtime tests through the registry.
#include <atomic>

#include "com_test_module.h"
#include "tavrel/platform/com_object.h"

namespace {

std::atomic<long> g_locks{0};
void lockModule()
{
    ++g_locks;
}
void unlockModule()
{
    --g_locks;
}

// Installs the module-lock hooks before any object of this module exists.
const bool g_hooked = (tavrel::setModuleLockHooks(&lockModule, &unlockModule), true);

class Probe final : public tavrel::ComObject<Probe, ITestProbe> {
  public:
    LONG STDMETHODCALLTYPE LiveCount() override { return static_cast<LONG>(g_locks.load()); }
};

class Factory final : public tavrel::ComObject<Factory, IClassFactory> {
  public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Probe* p = Probe::createNew();
        if (!p) return E_OUTOFMEMORY;
        const HRESULT hr = p->QueryInterface(riid, ppv);
        p->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        lock ? lockModule() : unlockModule();
        return S_OK;
    }
};

} // namespace

TAVREL_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (rclsid != CLSID_TestProbe || !g_hooked) return CLASS_E_CLASSNOTAVAILABLE;
    Factory* f = Factory::createNew();
    if (!f) return E_OUTOFMEMORY;
    const HRESULT hr = f->QueryInterface(riid, ppv);
    f->Release();
    return hr;
}

TAVREL_API HRESULT DllCanUnloadNow()
{
    return g_locks.load() == 0 ? S_OK : S_FALSE;
}
