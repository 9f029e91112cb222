// SPDX-License-Identifier: MIT
// The in-process server's module object, class list and text resources.
#pragma once

#include <tavrel/platform/sync.h>
#include <tavrelmediaio/MediaFileIO.h>

#include <string>

namespace mio {

/// One per process, between the library's load and unload. The lock count holds one lock per
/// live object, per live class object and per LockServer(TRUE); DllCanUnloadNow answers from it.
class CTavrelMediaIOModule {
  public:
    CTavrelMediaIOModule();
    ~CTavrelMediaIOModule();
    CTavrelMediaIOModule(const CTavrelMediaIOModule&) = delete;
    CTavrelMediaIOModule& operator=(const CTavrelMediaIOModule&) = delete;

    LONG lock() { return InterlockedIncrement(&m_lockCount); }
    LONG unlock() { return InterlockedDecrement(&m_lockCount); }
    LONG lockCount() const { return m_lockCount; }

    const GUID& typeLibraryId() const { return m_libid; }
    const GUID& appId() const { return m_appId; }

    /// Per-user registration, once switched on by DllInstall "user", stays on for the process.
    bool perUser();
    void setPerUser();

  private:
    volatile LONG m_lockCount = 0;
    CRITICAL_SECTION m_section{}; // guards the members set after load
    GUID m_libid;
    GUID m_appId;
    bool m_perUser = false;
};

/// The module object; valid from load to unload.
CTavrelMediaIOModule& tavrelModule();

/// One served class, in registration order.
struct ServedClass {
    const CLSID* clsid;
    /// A new class object (one reference for the caller) asked for riid.
    HRESULT (*getClassObject)(REFIID riid, void** ppv);
    UINT scriptResource; ///< its registration script
};
const ServedClass* servedClasses(UINT* count);

/// Text resources: 100 the project name, 101 to 104 the registration scripts; null otherwise.
const WCHAR* textResource(UINT id);

/// The library's own file path.
std::u16string modulePath();

} // namespace mio
