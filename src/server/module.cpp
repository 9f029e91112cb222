// SPDX-License-Identifier: MIT
// Module object, load and unload order of the process-wide locks, and DllCanUnloadNow.
#include "server/module.h"

#include <tavrel/platform/com_object.h>
#include <tavrel/platform/system.h>

#include <new>

#include "contracts/tag_editor.h"
#include "contracts/wincodec.h"
#include "mediaobject/library_lock.h"
#include "metadata/exif_lib_source.h"
#include "metadata/tag_editor_source.h"

namespace mio {
namespace {

alignas(CTavrelMediaIOModule) unsigned char g_moduleStorage[sizeof(CTavrelMediaIOModule)];
CTavrelMediaIOModule* g_module = nullptr;

void moduleLock()
{
    g_module->lock();
}
void moduleUnlock()
{
    g_module->unlock();
}

// Load: the image-library and video-library locks, then the module object, then the locks of
// the metadata sources, then the class list and the base module data (the lock hooks through
// which every object counts against this module). Unload runs the same steps backwards.
// The imaging component and the tag editor are registered system components on other
// platforms; here their modules are linked in and their classes are put into the process's
// class table, where the manager and the tag-editor source create them.
__attribute__((constructor)) void loadModule()
{
    libraryLocksInit();
    g_module = new (g_moduleStorage) CTavrelMediaIOModule();
    exifLibraryLockInit();
    tagEditorLockInit();
    tavrel::setModuleLockHooks(moduleLock, moduleUnlock);
    mioImagingRegister();
    TagEditorRegisterClass();
    // The manager creates image objects by class identifier; a host that loads this library
    // without registering it must still get them, not a silent fall-back to the media object.
    TavrelRegisterInprocClass(CLSID_ImageFileIO, DllGetClassObject);
}

__attribute__((destructor)) void unloadModule()
{
    TavrelRevokeInprocClass(CLSID_ImageFileIO);
    TagEditorRevokeClass();
    mioImagingUnregister();
    tavrel::setModuleLockHooks(nullptr, nullptr);
    tagEditorLockFini();
    exifLibraryLockFini();
    g_module->~CTavrelMediaIOModule();
    g_module = nullptr;
    libraryLocksFini();
}

} // namespace

CTavrelMediaIOModule::CTavrelMediaIOModule()
    : m_libid(LIBID_TavrelMediaIOLib), m_appId(APPID_TavrelMediaIO)
{
    InitializeCriticalSection(&m_section);
}

CTavrelMediaIOModule::~CTavrelMediaIOModule()
{
    DeleteCriticalSection(&m_section);
}

bool CTavrelMediaIOModule::perUser()
{
    EnterCriticalSection(&m_section);
    const bool value = m_perUser;
    LeaveCriticalSection(&m_section);
    return value;
}

void CTavrelMediaIOModule::setPerUser()
{
    EnterCriticalSection(&m_section);
    m_perUser = true;
    LeaveCriticalSection(&m_section);
}

CTavrelMediaIOModule& tavrelModule()
{
    return *g_module;
}

std::u16string modulePath()
{
    std::u16string path(260, u'\0');
    while (true) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length =
            GetModuleFileNameW(reinterpret_cast<HMODULE>(&g_module), path.data(), size);
        if (length == 0) return {};
        if (length < size) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

} // namespace mio

STDAPI DllCanUnloadNow()
{
    return mio::tavrelModule().lockCount() == 0 ? S_OK : S_FALSE;
}
