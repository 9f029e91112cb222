// SPDX-License-Identifier: MIT
// DllRegisterServer, DllUnregisterServer and DllInstall: the registration scripts and the type
// library's registration, for the machine or the current user.
#include <tavrel/platform/combase.h>
#include <tavrel/platform/registry.h>

#include <string>

#include "server/module.h"
#include "server/type_library.h"

namespace mio {
namespace {

constexpr UINT kModuleScript = 101;
constexpr UINT kMaxHelpDir = 259;

std::u16string decimal(unsigned value)
{
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value);
    return text;
}

std::u16string guidText(const GUID& guid)
{
    WCHAR text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

/// The classes root the scripts write under: the machine's, or HKCU\Software\Classes in
/// per-user mode. Owns the per-user key.
class ClassesRoot {
  public:
    ~ClassesRoot()
    {
        if (m_key) RegCloseKey(m_key);
    }
    ClassesRoot() = default;
    ClassesRoot(const ClassesRoot&) = delete;
    ClassesRoot& operator=(const ClassesRoot&) = delete;

    /// Registering may create the user's classes key; unregistering only opens it, and
    /// without one there is nothing of ours in the user hive.
    HRESULT open(bool perUser, bool registering)
    {
        if (!perUser) return S_OK;
        const LSTATUS status =
            registering
                ? RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Classes", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &m_key, nullptr)
                : RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Classes", 0, KEY_ALL_ACCESS, &m_key);
        if (status == ERROR_SUCCESS) return S_OK;
        if (!registering && status == ERROR_FILE_NOT_FOUND) {
            m_absent = true;
            return S_OK;
        }
        return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    }
    bool absent() const { return m_absent; }
    HKEY key() const { return m_key; } // null: HKEY_CLASSES_ROOT

  private:
    HKEY m_key = nullptr;
    bool m_absent = false;
};

HRESULT runScript(const ClassesRoot& root, UINT id, bool registering)
{
    if (root.absent()) return S_OK;
    const WCHAR* script = textResource(id);
    if (!script) return E_UNEXPECTED;
    const std::u16string module = modulePath();
    if (module.empty()) return E_UNEXPECTED;
    const std::u16string appId = guidText(tavrelModule().appId());
    const WCHAR* const pairs[] = {u"MODULE", module.c_str(), u"APPID", appId.c_str(), nullptr};
    return TavrelRegistrarApply(root.key(), script, pairs, registering ? TRUE : FALSE);
}

/// The directory part of a path, up to and including the last '\\', '/' or ':'.
std::u16string directoryOf(const std::u16string& path)
{
    const size_t cut = path.find_last_of(u"\\/:");
    std::u16string dir = cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1);
    if (dir.size() > kMaxHelpDir) dir.resize(kMaxHelpDir);
    return dir;
}

/// What registering the type library writes: the library under TypeLib\{libid}\<version>
/// (its name, flags, help folder and the module for locale 0), and each dual interface under
/// Interface\{iid} with the automation marshaller and the library. Built from the library's
/// own attributes, so registration and removal name the same keys.
std::u16string typeLibraryScript()
{
    const TypeLibraryAttributes& lib = typeLibraryAttributes();
    const std::u16string libid = guidText(*lib.libid);
    const std::u16string version = decimal(lib.majorVersion) + u"." + decimal(lib.minorVersion);
    // The universal marshaller of automation interfaces.
    const std::u16string marshaller = u"{00020424-0000-0000-C000-000000000046}";
    std::u16string s = u"HKCR\n{\n NoRemove TypeLib\n {\n  " + libid + u"\n  {\n   ForceRemove '" +
                       version + u"' = s '" + lib.helpString +
                       u"'\n   {\n    FLAGS = s '0'\n    HELPDIR = s '%HELPDIR%'\n    '" +
                       decimal(lib.lcid) +
                       u"'\n    {\n     linux64 = s '%MODULE%'\n    }\n   }\n  }\n }\n"
                       u" NoRemove Interface\n {\n";
    UINT count = 0;
    const TypeLibraryInterface* interfaces = typeLibraryInterfaces(&count);
    for (UINT i = 0; i < count; ++i) {
        if (!interfaces[i].dual) continue;
        s += u"  ForceRemove " + guidText(*interfaces[i].iid) + u" = s '" +
             interfaces[i].table->interfaceName + u"'\n  {\n   ProxyStubClsid = s '" + marshaller +
             u"'\n   ProxyStubClsid32 = s '" + marshaller + u"'\n   TypeLib = s '" + libid +
             u"'\n   {\n    val Version = s '" + version + u"'\n   }\n  }\n";
    }
    s += u" }\n}\n";
    return s;
}

HRESULT applyTypeLibrary(const ClassesRoot& root, bool registering)
{
    if (root.absent()) return S_OK;
    const std::u16string module = modulePath();
    if (module.empty()) return SELFREG_E_TYPELIB;
    const std::u16string helpDir = directoryOf(module);
    const WCHAR* const pairs[] = {u"MODULE", module.c_str(), u"HELPDIR", helpDir.c_str(), nullptr};
    const std::u16string script = typeLibraryScript();
    return TavrelRegistrarApply(root.key(), script.c_str(), pairs, registering ? TRUE : FALSE);
}

HRESULT registerServer()
{
    ClassesRoot root;
    if (const HRESULT hr = root.open(tavrelModule().perUser(), true); FAILED(hr)) return hr;
    if (const HRESULT hr = runScript(root, kModuleScript, true); FAILED(hr)) return hr;
    UINT count = 0;
    const ServedClass* classes = servedClasses(&count);
    for (UINT i = 0; i < count; ++i) {
        // No class declares component categories.
        if (const HRESULT hr = runScript(root, classes[i].scriptResource, true); FAILED(hr))
            return hr;
    }
    return applyTypeLibrary(root, true);
}

HRESULT unregisterServer()
{
    ClassesRoot root;
    if (const HRESULT hr = root.open(tavrelModule().perUser(), false); FAILED(hr)) return hr;
    UINT count = 0;
    const ServedClass* classes = servedClasses(&count);
    for (UINT i = 0; i < count; ++i) {
        if (const HRESULT hr = runScript(root, classes[i].scriptResource, false); FAILED(hr))
            return hr;
    }
    if (const HRESULT hr = applyTypeLibrary(root, false); FAILED(hr)) return hr;
    return runScript(root, kModuleScript, false);
}

bool isUserSwitch(PCWSTR text)
{
    if (!text) return false;
    const char16_t* word = u"user";
    for (; *text && *word; ++text, ++word) {
        const char16_t c =
            *text >= u'A' && *text <= u'Z' ? static_cast<char16_t>(*text + 32) : *text;
        if (c != *word) return false;
    }
    return *text == 0 && *word == 0;
}

} // namespace
} // namespace mio

// Script texts are built in strings: an allocation failure must not cross the export.
STDAPI DllRegisterServer()
try {
    return mio::registerServer();
} catch (...) {
    return E_OUTOFMEMORY;
}

STDAPI DllUnregisterServer()
try {
    return mio::unregisterServer();
} catch (...) {
    return E_OUTOFMEMORY;
}

STDAPI DllInstall(BOOL bInstall, PCWSTR pszCmdLine)
try {
    if (mio::isUserSwitch(pszCmdLine)) mio::tavrelModule().setPerUser();
    if (!bInstall) return mio::unregisterServer();
    const HRESULT hr = mio::registerServer();
    if (FAILED(hr)) mio::unregisterServer();
    return hr;
} catch (...) {
    return E_OUTOFMEMORY;
}
