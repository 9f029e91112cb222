// SPDX-License-Identifier: MIT
// COM runtime: GUID text, initialisation bookkeeping, the class table, loading a server module
// through the registry, and the ComObject helper.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "com_test_module.h"
#include "support/test_support.h"
#include "tavrel/platform/com_object.h"
#include "tavrel/platform/combase.h"
#include "tavrel/platform/registry.h"
#include "tavrel/platform/typeinfo.h"

namespace {

TAVREL_DEFINE_GUID(kSample, 0x01234567, 0x89AB, 0xCDEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD,
                   0xEF);

TEST(GuidText, RoundTripsInTheBracedUpperCaseForm)
{
    WCHAR buf[39];
    ASSERT_EQ(StringFromGUID2(kSample, buf, 39), 39);
    EXPECT_EQ(std::u16string(buf), u"{01234567-89AB-CDEF-0123-456789ABCDEF}");
    EXPECT_EQ(StringFromGUID2(kSample, buf, 38), 0);
    CLSID parsed{};
    ASSERT_EQ(CLSIDFromString(u"{01234567-89ab-cdef-0123-456789abcdef}", &parsed), S_OK);
    EXPECT_EQ(parsed, kSample);
    for (const char16_t* bad :
         {u"{01234567-89AB-CDEF-0123-456789ABCDE}", u"{01234567-89AB-CDEF-0123-456789ABCDEFF}",
          u"{0123456789AB-CDEF-0123-456789ABCDEF-}", u"{01234567-89AB-CDEF-0123-456789ABCDEG}",
          u""}) {
        EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING) << support::u8(bad);
        EXPECT_EQ(parsed, CLSID_NULL);
    }
    EXPECT_EQ(CLSIDFromString(u"x", nullptr), E_INVALIDARG);
}

TEST(ComInit, CountsPerThreadAndRejectsAModelChange)
{
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    HRESULT other = E_FAIL;
    std::thread([&] {
        other = CoInitialize(nullptr);
        CoUninitialize();
    }).join();
    EXPECT_EQ(other, S_OK);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK); // fully uninitialised: a new model is fine
    CoUninitialize();
}

// A class offered through the in-process class table.
class Linked final : public tavrel::ComObject<Linked, ITestProbe> {
  public:
    static inline int alive = 0;
    Linked() { ++alive; }
    ~Linked() override { --alive; }
    LONG STDMETHODCALLTYPE LiveCount() override { return alive; }
};

class LinkedFactory final : public tavrel::ComObject<LinkedFactory, IClassFactory> {
  public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Linked* p = Linked::createNew();
        const HRESULT hr = p->QueryInterface(riid, ppv);
        p->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

HRESULT linkedGetClassObject(REFCLSID, REFIID riid, LPVOID* ppv)
{
    LinkedFactory* f = LinkedFactory::createNew();
    const HRESULT hr = f->QueryInterface(riid, ppv);
    f->Release();
    return hr;
}

TEST(ClassTable, CreatesRegisteredClassesAndForgetsRevokedOnes)
{
    ASSERT_EQ(TavrelRegisterInprocClass(kSample, &linkedGetClassObject), S_OK);
    ComPtr<ITestProbe> probe;
    ASSERT_EQ(CoCreateInstance(kSample, nullptr, CLSCTX_INPROC_SERVER, IID_ITestProbe,
                               reinterpret_cast<void**>(probe.GetAddressOf())),
              S_OK);
    EXPECT_EQ(probe->LiveCount(), 1);
    ComPtr<IUnknown> outer;
    void* aggregated = reinterpret_cast<void*>(1);
    EXPECT_EQ(
        CoCreateInstance(kSample, probe.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &aggregated),
        CLASS_E_NOAGGREGATION);
    EXPECT_EQ(aggregated, nullptr);
    void* wrong = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kSample, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, &wrong),
              E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
    EXPECT_EQ(Linked::alive, 1); // the refused object was destroyed
    EXPECT_EQ(CoCreateInstance(kSample, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &wrong),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(kSample, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
              E_INVALIDARG);
    probe.Reset();
    EXPECT_EQ(Linked::alive, 0);
    ASSERT_EQ(TavrelRevokeInprocClass(kSample), S_OK);
    EXPECT_EQ(TavrelRevokeInprocClass(kSample), E_INVALIDARG);
    EXPECT_EQ(TavrelRegisterInprocClass(kSample, nullptr), E_INVALIDARG);
}

TEST(ComObject, QueryInterfaceKeepsIdentityAndRules)
{
    Linked* obj = Linked::createNew();
    ComPtr<ITestProbe> probe;
    probe.Attach(obj);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(probe->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(probe->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(probe.As(&a), S_OK);
    ASSERT_EQ(a.As(&b), S_OK);
    EXPECT_EQ(a.Get(), b.Get());
    EXPECT_EQ(probe->AddRef(), 4u);
    EXPECT_EQ(probe->Release(), 3u);
}

// A hand-written outer object that aggregates a Linked object for ITestProbe.
struct Outer final : IUnknown {
    ULONG refs = 1;
    IUnknown* inner = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        if (riid == IID_ITestProbe) return inner->QueryInterface(riid, ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        if (--refs) return refs;
        inner->Release();
        delete this;
        return 0;
    }
};

class Solitary final : public tavrel::ComObject<Solitary, ITestProbe> {
  public:
    static constexpr bool kAggregatable = false;
    LONG STDMETHODCALLTYPE LiveCount() override { return 0; }
};

TEST(ComObject, AggregatedObjectDelegatesToItsOuterObject)
{
    auto* outer = new Outer;
    void* p = nullptr;
    EXPECT_EQ(Linked::createInstance(outer, IID_ITestProbe, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    ASSERT_EQ(Linked::createInstance(outer, IID_IUnknown, &p), S_OK);
    outer->inner = static_cast<IUnknown*>(p);
    EXPECT_EQ(Linked::alive, 1);

    ComPtr<ITestProbe> probe;
    ASSERT_EQ(outer->QueryInterface(IID_ITestProbe, reinterpret_cast<void**>(probe.GetAddressOf())),
              S_OK);
    EXPECT_EQ(outer->refs, 2u); // the interface's reference counts on the outer object
    ComPtr<IUnknown> identity;
    ASSERT_EQ(probe.As(&identity), S_OK);
    EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(outer));
    identity.Reset();
    probe.Reset();
    EXPECT_EQ(outer->refs, 1u);
    outer->Release(); // releases the inner unknown, which deletes the aggregated object
    EXPECT_EQ(Linked::alive, 0);
}

long g_testLocks = 0;

TEST(ComObject, ClassFactoryCreatesAndLocksTheModule)
{
    tavrel::setModuleLockHooks([] { ++g_testLocks; }, [] { --g_testLocks; });
    {
        ComPtr<IClassFactory> factory;
        factory.Attach(tavrel::ClassFactory<Linked>::createNew());
        EXPECT_EQ(g_testLocks, 1); // the factory itself is an object of this module
        ComPtr<ITestProbe> probe;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITestProbe,
                                          reinterpret_cast<void**>(probe.GetAddressOf())),
                  S_OK);
        EXPECT_EQ(g_testLocks, 2);
        factory->LockServer(TRUE);
        EXPECT_EQ(g_testLocks, 3);
        factory->LockServer(FALSE);
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

        ComPtr<IClassFactory> solitary;
        solitary.Attach(tavrel::ClassFactory<Solitary>::createNew());
        Outer outer;
        p = reinterpret_cast<void*>(1);
        EXPECT_EQ(solitary->CreateInstance(&outer, IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(p, nullptr);
    }
    EXPECT_EQ(g_testLocks, 0);
    tavrel::setModuleLockHooks(nullptr, nullptr);
}

std::string g_modulePath = MIO_TEST_COM_MODULE;

bool moduleLoaded()
{
    void* h = ::dlopen(g_modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    ::dlclose(h);
    return true;
}

class RegisteredServer : public ::testing::Test {
  protected:
    void SetUp() override
    {
        TavrelSetRegistryRoot(m_dir.path().c_str(), m_dir.path().c_str());
        registerModule(g_modulePath);
    }
    void registerModule(const std::string& path)
    {
        const std::u16string script =
            u"HKCR { NoRemove CLSID { ForceRemove {9A0C4F3E-5B21-4C7D-8E11-2F6A3B4C5D70} = s "
            u"'Probe' "
            u"{ InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Both' } } } "
            u"Tavrel.TestProbe = s 'Probe' { CLSID = s '{9A0C4F3E-5B21-4C7D-8E11-2F6A3B4C5D70}' } "
            u"}";
        const std::u16string module = support::u16(path);
        const WCHAR* pairs[] = {u"MODULE", module.c_str(), nullptr};
        ASSERT_EQ(TavrelRegistrarApply(nullptr, script.c_str(), pairs, TRUE), S_OK);
    }
    support::TempDir m_dir;
};

TEST_F(RegisteredServer, LoadsTheModuleAndUnloadsItWhenUnused)
{
    CoFreeUnusedLibraries();
    ComPtr<ITestProbe> probe;
    ASSERT_EQ(CoCreateInstance(CLSID_TestProbe, nullptr, CLSCTX_INPROC_SERVER, IID_ITestProbe,
                               reinterpret_cast<void**>(probe.GetAddressOf())),
              S_OK);
    EXPECT_EQ(probe->LiveCount(), 1); // the factory is gone, the object holds one lock
    EXPECT_TRUE(moduleLoaded());
    CoFreeUnusedLibraries();
    EXPECT_TRUE(moduleLoaded()); // still in use: DllCanUnloadNow says S_FALSE
    EXPECT_EQ(probe->LiveCount(), 1);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestProbe, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);
    factory->LockServer(TRUE);
    factory.Reset();
    probe.Reset();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(moduleLoaded()); // a server lock keeps it
    ASSERT_EQ(CoGetClassObject(CLSID_TestProbe, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);
    factory->LockServer(FALSE);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(moduleLoaded());
}

TEST_F(RegisteredServer, UnloadingRacesWithCreationSafely)
{
    // Creation on two threads while a third keeps trying to unload the module: an object must
    // never outlive its code (ASan reports a call into an unmapped library).
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 150; ++i) {
                ComPtr<ITestProbe> probe;
                if (FAILED(CoCreateInstance(CLSID_TestProbe, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_ITestProbe,
                                            reinterpret_cast<void**>(probe.GetAddressOf()))) ||
                    probe->LiveCount() < 1)
                    ++failures;
            }
        });
    threads.emplace_back([&] {
        while (!stop)
            CoFreeUnusedLibraries();
    });
    threads[0].join();
    threads[1].join();
    stop = true;
    threads[2].join();
    EXPECT_EQ(failures.load(), 0);
    CoFreeUnusedLibraries();
    EXPECT_FALSE(moduleLoaded());
}

TEST_F(RegisteredServer, ProgIdResolvesThroughTheRegistry)
{
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(u"Tavrel.TestProbe", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestProbe);
    EXPECT_EQ(CLSIDFromString(u"Tavrel.Unknown", &clsid), REGDB_E_CLASSNOTREG);
}

TEST_F(RegisteredServer, ReportsUnknownClassesAndBrokenModules)
{
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kSample, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);

    registerModule((m_dir.path() / "missing.so").string());
    EXPECT_EQ(CoCreateInstance(CLSID_TestProbe, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              CO_E_DLLNOTFOUND);
    std::ofstream(m_dir.path() / "garbage.so") << "not an ELF file";
    registerModule((m_dir.path() / "garbage.so").string());
    EXPECT_EQ(CoCreateInstance(CLSID_TestProbe, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              CO_E_DLLNOTFOUND);
    // A real library that is not a server.
    registerModule(MIO_PLATFORM_LIBRARY);
    EXPECT_EQ(CoCreateInstance(CLSID_TestProbe, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              CO_E_ERRORINDLL);
    EXPECT_EQ(p, nullptr);
}

// ---- dispatch tables ----

struct Calculator {
    LONG value = 0;
};

HRESULT invokeSubtract(void*, WORD, DISPPARAMS* params, VARIANT* result, UINT* argErr)
{
    tavrel::Variant a, b;
    if (HRESULT hr = TavrelDispatchGetArg(params, 0, VT_I4, &a, argErr); FAILED(hr)) return hr;
    if (HRESULT hr = TavrelDispatchGetArg(params, 1, VT_I4, &b, argErr); FAILED(hr)) return hr;
    if (result) {
        VariantInit(result);
        result->vt = VT_I4;
        result->lVal = a.lVal - b.lVal;
    }
    return S_OK;
}

HRESULT invokeValue(void* instance, WORD flags, DISPPARAMS* params, VARIANT* result, UINT* argErr)
{
    auto* calc = static_cast<Calculator*>(instance);
    if (flags & DISPATCH_PROPERTYPUT) {
        tavrel::Variant v;
        if (HRESULT hr = TavrelDispatchGetArg(params, 0, VT_I4, &v, argErr); FAILED(hr)) return hr;
        calc->value = v.lVal;
        return S_OK;
    }
    if (result) {
        VariantInit(result);
        result->vt = VT_I4;
        result->lVal = calc->value;
    }
    return S_OK;
}

const TavrelDispatchMember kCalcMembers[] = {
    {u"Subtract", 1, DISPATCH_METHOD, 2, &invokeSubtract, u"a - b"},
    {u"Value", 2, DISPATCH_PROPERTYGET, 0, &invokeValue, nullptr},
    {u"Value", 2, DISPATCH_PROPERTYPUT, 1, &invokeValue, nullptr},
};
const TavrelDispatchTable kCalc = {u"ICalculator", kCalcMembers, 3};

TEST(Dispatch, NamesResolveWithoutCaseAndUnknownsAreMarked)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"subtract"), const_cast<LPOLESTR>(u"a")};
    DISPID ids[2] = {7, 7};
    EXPECT_EQ(TavrelDispatchGetIDsOfNames(&kCalc, IID_NULL, names, 1, ids), S_OK);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(TavrelDispatchGetIDsOfNames(&kCalc, IID_NULL, names, 2, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Multiply")};
    EXPECT_EQ(TavrelDispatchGetIDsOfNames(&kCalc, IID_NULL, unknown, 1, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(TavrelDispatchGetIDsOfNames(&kCalc, IID_IUnknown, names, 1, ids),
              DISP_E_UNKNOWNINTERFACE);
}

TEST(Dispatch, InvokeReadsArgumentsInReverseAndChecksTheCall)
{
    Calculator calc;
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[1].vt = VT_BSTR; // first argument, stored last; converted from text
    args[1].bstrVal = SysAllocString(u"10");
    args[0].vt = VT_I2;
    args[0].iVal = 3;
    DISPPARAMS params{args, nullptr, 2, 0};
    tavrel::Variant result;
    UINT argErr = 99;
    ASSERT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 1, IID_NULL, DISPATCH_METHOD, &params, &result,
                                   nullptr, &argErr),
              S_OK);
    EXPECT_EQ(result.lVal, 7);

    SysFreeString(args[1].bstrVal);
    args[1].bstrVal = SysAllocString(u"ten");
    EXPECT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 1, IID_NULL, DISPATCH_METHOD, &params, &result,
                                   nullptr, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);
    VariantClear(&args[1]);

    params.cArgs = 1;
    EXPECT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 1, IID_NULL, DISPATCH_METHOD, &params, &result,
                                   nullptr, &argErr),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 99, IID_NULL, DISPATCH_METHOD, &params, &result,
                                   nullptr, &argErr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 1, IID_NULL, DISPATCH_PROPERTYGET, &params,
                                   &result, nullptr, &argErr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 1, IID_IDispatch, DISPATCH_METHOD, &params,
                                   &result, nullptr, &argErr),
              DISP_E_UNKNOWNINTERFACE);
    DISPID named = 5;
    DISPPARAMS withNames{args, &named, 1, 1};
    EXPECT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 1, IID_NULL, DISPATCH_METHOD, &withNames, &result,
                                   nullptr, &argErr),
              DISP_E_NONAMEDARGS);
}

TEST(Dispatch, PropertyGetAndPutUseTheirOwnRows)
{
    Calculator calc;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_R8;
    value.dblVal = 41.6; // rounds to 42 on the way in
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put, 1, 1};
    tavrel::Variant ignored;
    ASSERT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 2, IID_NULL, DISPATCH_PROPERTYPUT, &params,
                                   &ignored, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(calc.value, 42);
    EXPECT_EQ(ignored.vt, VT_EMPTY); // a put gives no result
    tavrel::Variant got;
    ASSERT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 2, IID_NULL,
                                   DISPATCH_METHOD | DISPATCH_PROPERTYGET, nullptr, &got, nullptr,
                                   nullptr),
              S_OK);
    EXPECT_EQ(got.lVal, 42);
    EXPECT_EQ(TavrelDispatchInvoke(&kCalc, &calc, 2, IID_NULL, DISPATCH_PROPERTYGET, &params, &got,
                                   nullptr, nullptr),
              DISP_E_NONAMEDARGS);
}

TEST(TypeInfo, AnswersNamesDocumentationAndInvokeFromTheTable)
{
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(TavrelCreateTypeInfo(&kCalc, info.GetAddressOf()), S_OK);
    BSTR names[2] = {};
    UINT count = 0;
    ASSERT_EQ(info->GetNames(1, names, 2, &count), S_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(std::u16string(names[0]), u"Subtract");
    SysFreeString(names[0]);
    EXPECT_EQ(info->GetNames(42, names, 2, &count), TYPE_E_ELEMENTNOTFOUND);
    tavrel::UniqueBstr name, doc;
    ASSERT_EQ(info->GetDocumentation(1, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(doc.get()), u"a - b");
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name.get()), u"ICalculator");
    TYPEATTR* attr = reinterpret_cast<TYPEATTR*>(1);
    EXPECT_EQ(info->GetTypeAttr(&attr), E_NOTIMPL);
    EXPECT_EQ(attr, nullptr);

    Calculator calc;
    calc.value = 5;
    tavrel::Variant got;
    ASSERT_EQ(info->Invoke(&calc, 2, DISPATCH_PROPERTYGET, nullptr, &got, nullptr, nullptr), S_OK);
    EXPECT_EQ(got.lVal, 5);
}

} // namespace
