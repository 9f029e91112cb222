// SPDX-License-Identifier: MIT
// The served classes and DllGetClassObject.
#include <tavrel/platform/com_object.h>

#include <iterator>

#include "imageobject/image_file_io.h"
#include "manager/media_file_io_man.h"
#include "mediaobject/media_file_io.h"
#include "server/module.h"

namespace mio {
namespace {

// A class object lives as long as its holder keeps it and holds a module lock meanwhile, so
// the library cannot be unloaded under a host that still has one.
template <typename Class> HRESULT getClassObject(REFIID riid, void** ppv)
{
    ComPtr<tavrel::ClassFactory<Class>> factory;
    factory.Attach(tavrel::ClassFactory<Class>::createNew());
    if (!factory) return E_OUTOFMEMORY;
    return factory->QueryInterface(riid, ppv);
}

constexpr ServedClass kClasses[] = {
    {&CLSID_ImageFileIO, getClassObject<CImageFileIO>, 104},
    {&CLSID_MediaFileIO, getClassObject<CMediaFileIO>, 102},
    {&CLSID_MediaFileIOMan, getClassObject<CMediaFileIOMan>, 103},
};

} // namespace

const ServedClass* servedClasses(UINT* count)
{
    *count = static_cast<UINT>(std::size(kClasses));
    return kClasses;
}

} // namespace mio

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (const mio::ServedClass& served : mio::kClasses) {
        if (*served.clsid == rclsid) return served.getClassObject(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}
