// SPDX-License-Identifier: MIT
// The tag editor's class registration as the engine links it: the class table gets a factory
// function that opens the TagLib-backed module on the first CreateInstance and hands over to
// the module's own class object.
#include "contracts/common_library.h"
#include "contracts/tag_editor.h"
#include "lazy_library.h"

#include <tavrel/platform/combase.h>

#ifndef MIO_TAGEDITOR_LIBRARY_FILE
#error "MIO_TAGEDITOR_LIBRARY_FILE must name the tag editor's shared object"
#endif

namespace {

mio::loader::LazyLibrary g_library{"tag editor", MIO_TAGEDITOR_LIBRARY_FILE};

PFN_TagEditorRegisterClass realRegister()
{
    static const PFN_TagEditorRegisterClass fn = [] {
        const char* const names[] = {"TagEditorRegisterClass"};
        void* slot = nullptr;
        return g_library.load(names, &slot, 1) ? reinterpret_cast<PFN_TagEditorRegisterClass>(slot)
                                               : nullptr;
    }();
    if (!fn) g_library.reportFailure();
    return fn;
}

HRESULT STDMETHODCALLTYPE lazyGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_TagEditor) return CLASS_E_CLASSNOTAVAILABLE;
    PFN_TagEditorRegisterClass registerClass = realRegister();
    if (!registerClass) return CO_E_DLLNOTFOUND;
    // The module's registration replaces this function in the class table, so this runs
    // once per registration; the lookup below then reaches the module's class object.
    const HRESULT hr = registerClass();
    if (FAILED(hr)) return hr;
    return CoGetClassObject(rclsid, CLSCTX_INPROC_SERVER, nullptr, riid, ppv);
}

} // namespace

TAVREL_API HRESULT TagEditorRegisterClass()
{
    return TavrelRegisterInprocClass(CLSID_TagEditor, &lazyGetClassObject);
}

TAVREL_API HRESULT TagEditorRevokeClass()
{
    return TavrelRevokeInprocClass(CLSID_TagEditor);
}
