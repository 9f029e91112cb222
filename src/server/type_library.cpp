// SPDX-License-Identifier: MIT
// TavrelMediaIOLib: member tables of the interfaces, the coclasses, and Invoke over them.
#include "server/type_library.h"

#include <tavrel/platform/com_object.h>

#include <iterator>
#include <tuple>
#include <type_traits>
#include <utility>

namespace mio {
namespace {

// ---- arguments ----

// Set just before a member calls the object, so that dispatchInvoke can tell the method's own
// failure (reported as an exception) from a failure to read the arguments.
thread_local bool t_methodCalled = false;

template <typename T> constexpr VARTYPE variantTypeOf()
{
    if constexpr (std::is_same_v<T, int32_t>)
        return VT_I4;
    else if constexpr (std::is_same_v<T, DWORD>)
        return VT_UI4;
    else if constexpr (std::is_same_v<T, uint64_t>)
        return VT_UI8;
    else if constexpr (std::is_same_v<T, double>)
        return VT_R8;
    else
        static_assert(sizeof(T) == 0, "no automation type");
}

template <typename T> void setVariant(VARIANT* v, T value)
{
    v->vt = variantTypeOf<T>();
    if constexpr (std::is_same_v<T, int32_t>)
        v->lVal = value;
    else if constexpr (std::is_same_v<T, DWORD>)
        v->ulVal = value;
    else if constexpr (std::is_same_v<T, uint64_t>)
        v->ullVal = value;
    else
        v->dblVal = value;
}

VARIANT* argAt(const DISPPARAMS* params, UINT position, UINT* index)
{
    if (position >= params->cArgs) return nullptr;
    *index = params->cArgs - 1 - position; // arguments are stored last first
    return &params->rgvarg[*index];
}

HRESULT mismatch(UINT index, UINT* puArgErr)
{
    if (puArgErr) *puArgErr = index;
    return DISP_E_TYPEMISMATCH;
}

/// An out argument: VT_BYREF of the exact type, or VT_BYREF | VT_VARIANT (what script hosts
/// pass), which receives a variant of the type.
HRESULT outArg(const DISPPARAMS* params, UINT position, VARTYPE vt, VARIANT** out, UINT* puArgErr)
{
    UINT index = 0;
    VARIANT* arg = argAt(params, position, &index);
    if (!arg) return DISP_E_PARAMNOTFOUND;
    if ((arg->vt == (VT_BYREF | vt) || arg->vt == (VT_BYREF | VT_VARIANT)) && arg->byref) {
        *out = arg;
        return S_OK;
    }
    return mismatch(index, puArgErr);
}

template <typename T> void storeOut(VARIANT* arg, T value)
{
    if (arg->vt == (VT_BYREF | VT_VARIANT)) {
        VariantClear(arg->pvarVal);
        setVariant(arg->pvarVal, value);
    } else {
        *static_cast<T*>(arg->byref) = value;
    }
}

/// An object out argument: VT_BYREF of VT_DISPATCH, VT_UNKNOWN or VT_VARIANT. Takes over the
/// reference in `object`.
void storeObject(VARIANT* arg, IDispatch* object)
{
    if (arg->vt == (VT_BYREF | VT_VARIANT)) {
        VariantClear(arg->pvarVal);
        arg->pvarVal->vt = VT_DISPATCH;
        arg->pvarVal->pdispVal = object;
    } else if (arg->vt == (VT_BYREF | VT_UNKNOWN)) {
        *arg->ppunkVal = object;
    } else {
        *arg->ppdispVal = object;
    }
}

HRESULT objectOutArg(const DISPPARAMS* params, UINT position, VARIANT** out, UINT* puArgErr)
{
    UINT index = 0;
    VARIANT* arg = argAt(params, position, &index);
    if (!arg) return DISP_E_PARAMNOTFOUND;
    const bool carries = arg->vt == (VT_BYREF | VT_DISPATCH) ||
                         arg->vt == (VT_BYREF | VT_UNKNOWN) || arg->vt == (VT_BYREF | VT_VARIANT);
    if (!carries || !arg->byref) return mismatch(index, puArgErr);
    *out = arg;
    return S_OK;
}

/// An in argument coerced to vt; the holder owns what the coercion made.
class InArg {
  public:
    InArg() { VariantInit(&m_value); }
    ~InArg() { VariantClear(&m_value); }
    InArg(const InArg&) = delete;
    InArg& operator=(const InArg&) = delete;
    HRESULT read(const DISPPARAMS* params, UINT position, VARTYPE vt, UINT* puArgErr)
    {
        return TavrelDispatchGetArg(params, position, vt, &m_value, puArgErr);
    }
    int32_t i4() const { return m_value.lVal; }
    DWORD ui4() const { return m_value.ulVal; }
    VARIANT_BOOL boolean() const { return m_value.boolVal; }
    BSTR text() const { return m_value.bstrVal; }

  private:
    VARIANT m_value;
};

#define MIO_READ(arg, position, vt)                                                                \
    do {                                                                                           \
        if (const HRESULT argHr = (arg).read(params, position, vt, puArgErr); FAILED(argHr))       \
            return argHr;                                                                          \
    } while (0)

template <typename I> I* self(void* instance)
{
    t_methodCalled = true;
    return static_cast<I*>(instance);
}

HRESULT returnBstr(HRESULT hr, BSTR value, VARIANT* pVarResult)
{
    if (FAILED(hr)) {
        SysFreeString(value);
        return hr;
    }
    if (pVarResult) {
        VariantClear(pVarResult);
        pVarResult->vt = VT_BSTR;
        pVarResult->bstrVal = value;
    } else {
        SysFreeString(value);
    }
    return hr;
}

// ---- members taking only out-numbers ----

template <typename M> struct OutOnly;
template <typename I, typename... T> struct OutOnly<HRESULT (I::*)(T*...)> {
    using Interface = I;
    using Values = std::tuple<T...>;
};

template <auto Method>
HRESULT invokeOuts(void* instance, WORD, DISPPARAMS* params, VARIANT*, UINT* puArgErr)
{
    using Traits = OutOnly<decltype(Method)>;
    typename Traits::Values values{};
    constexpr size_t count = std::tuple_size_v<typename Traits::Values>;
    VARIANT* slots[count] = {};
    HRESULT hr = S_OK;
    [&]<size_t... N>(std::index_sequence<N...>)
    {
        ((SUCCEEDED(hr)
              ? (hr = outArg(params, N, variantTypeOf<std::tuple_element_t<N, decltype(values)>>(),
                             &slots[N], puArgErr))
              : hr),
         ...);
    }
    (std::make_index_sequence<count>{});
    if (FAILED(hr)) return hr;
    auto* object = self<typename Traits::Interface>(instance);
    hr = std::apply([&](auto&... v) { return (object->*Method)(&v...); }, values);
    if (SUCCEEDED(hr)) {
        [&]<size_t... N>(std::index_sequence<N...>)
        {
            (storeOut(slots[N], std::get<N>(values)), ...);
        }
        (std::make_index_sequence<count>{});
    }
    return hr;
}

// ---- IMediaFileIO ----

using IO = IMediaFileIO;

HRESULT ioParseDetail(void* instance, WORD, DISPPARAMS*, VARIANT*, UINT*)
{
    return self<IO>(instance)->ParseDetail();
}

HRESULT ioRemoveAllMetaData(void* instance, WORD, DISPPARAMS* params, VARIANT*, UINT* puArgErr)
{
    InArg format;
    MIO_READ(format, 0, VT_I4);
    return self<IO>(instance)->RemoveAllMetaData(format.i4());
}

HRESULT ioUpdateMetaDataToFile(void* instance, WORD, DISPPARAMS*, VARIANT*, UINT*)
{
    return self<IO>(instance)->UpdateMetaDataToFile();
}

// Text setters: a BSTR and the byte count the caller means, as the interface takes them.
template <HRESULT (IO::*Method)(const WCHAR*, int32_t)>
HRESULT ioSetText(void* instance, WORD, DISPPARAMS* params, VARIANT*, UINT* puArgErr)
{
    InArg text, size;
    MIO_READ(text, 0, VT_BSTR);
    MIO_READ(size, 1, VT_I4);
    return (self<IO>(instance)->*Method)(text.text(), size.i4());
}

HRESULT ioGetMetaDataStrBstr(void* instance, WORD, DISPPARAMS* params, VARIANT* pVarResult,
                             UINT* puArgErr)
{
    InArg format, tag;
    MIO_READ(format, 0, VT_I4);
    MIO_READ(tag, 1, VT_I4);
    BSTR value = nullptr;
    const HRESULT hr = self<IO>(instance)->GetMetaDataStr_BSTR(format.i4(), tag.i4(), &value);
    return returnBstr(hr, value, pVarResult);
}

template <HRESULT (IO::*Method)(BSTR*)>
HRESULT ioGetBstr(void* instance, WORD, DISPPARAMS*, VARIANT* pVarResult, UINT*)
{
    BSTR value = nullptr;
    const HRESULT hr = (self<IO>(instance)->*Method)(&value);
    return returnBstr(hr, value, pVarResult);
}

HRESULT ioSetInitFlags(void* instance, WORD, DISPPARAMS* params, VARIANT*, UINT* puArgErr)
{
    InArg flags;
    MIO_READ(flags, 0, VT_UI4);
    return self<IO>(instance)->SetInitFlags(flags.ui4());
}

HRESULT ioEnableBGRA32(void* instance, WORD, DISPPARAMS* params, VARIANT*, UINT* puArgErr)
{
    InArg enable;
    MIO_READ(enable, 0, VT_BOOL);
    return self<IO>(instance)->EnableBGRA32(enable.boolean());
}

// S_OK or S_FALSE from the object; the answer comes back as a boolean result.
HRESULT ioHasPreviewThumbnail(void* instance, WORD, DISPPARAMS*, VARIANT* pVarResult, UINT*)
{
    const HRESULT hr = self<IO>(instance)->HasPreviewThumbnail();
    if (SUCCEEDED(hr) && pVarResult) {
        VariantClear(pVarResult);
        pVarResult->vt = VT_BOOL;
        pVarResult->boolVal = hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return hr;
}

constexpr WORD kMethod = DISPATCH_METHOD;

// Every member in slot order; the ones without an invoke take raw buffers, bitmaps, records or
// handles that a VARIANT cannot carry.
constexpr TavrelDispatchMember kMediaFileIOMembers[] = {
    {u"SetVideoData", 1, kMethod, 1, nullptr, nullptr},
    {u"SetImageData", 2, kMethod, 1, nullptr, nullptr},
    {u"GetFrameSize", 3, kMethod, 2, invokeOuts<&IO::GetFrameSize>, nullptr},
    {u"GetFrameBitCount", 4, kMethod, 1, invokeOuts<&IO::GetFrameBitCount>, nullptr},
    {u"GetResolution", 5, kMethod, 2, invokeOuts<&IO::GetResolution>, nullptr},
    {u"GetFileSize", 6, kMethod, 1, invokeOuts<&IO::GetFileSize>, nullptr},
    {u"GetFrameRate", 7, kMethod, 1, invokeOuts<&IO::GetFrameRate>, nullptr},
    {u"GetTotalFrames", 8, kMethod, 1, invokeOuts<&IO::GetTotalFrames>, nullptr},
    {u"GetDuration", 9, kMethod, 1, invokeOuts<&IO::GetDuration>, nullptr},
    {u"GetFileType", 10, kMethod, 1, invokeOuts<&IO::GetFileType>, nullptr},
    {u"GetBitRate", 11, kMethod, 3, invokeOuts<&IO::GetBitRate>, nullptr},
    {u"GetFileFormatName", 12, kMethod, 2, nullptr, nullptr},
    {u"GetVideoCodecName", 13, kMethod, 2, nullptr, nullptr},
    {u"GetAudioAttributes", 14, kMethod, 3, invokeOuts<&IO::GetAudioAttributes>, nullptr},
    {u"GetAudioCodecName", 15, kMethod, 2, nullptr, nullptr},
    {u"GetPreviewThumbnail", 16, kMethod, 5, nullptr, nullptr},
    {u"GetFrameThumbnail", 17, kMethod, 6, nullptr, nullptr},
    {u"GetFrameThumbnailByTime", 18, kMethod, 6, nullptr, nullptr},
    {u"ParseDetail", 19, kMethod, 0, ioParseDetail, nullptr},
    {u"GetMetaTags", 20, kMethod, 4, nullptr, nullptr},
    {u"GetMetaData", 21, kMethod, 5, nullptr, nullptr},
    {u"SetMetaData", 22, kMethod, 4, nullptr, nullptr},
    {u"RemoveAllMetaData", 23, kMethod, 1, ioRemoveAllMetaData, nullptr},
    {u"UpdateMetaDataToFile", 24, kMethod, 0, ioUpdateMetaDataToFile, nullptr},
    {u"GetMetaTagName", 25, kMethod, 4, nullptr, nullptr},
    {u"GetMetaDataStr", 26, kMethod, 4, nullptr, nullptr},
    {u"GetFileFormatExtName", 27, kMethod, 2, nullptr, nullptr},
    {u"GetFileTime", 28, kMethod, 2, nullptr, nullptr},
    {u"GetCaption", 29, kMethod, 2, nullptr, nullptr},
    {u"GetFileFormatID", 30, kMethod, 1, invokeOuts<&IO::GetFileFormatID>, nullptr},
    {u"GetRating", 31, kMethod, 2, nullptr, nullptr},
    {u"SetRating", 32, kMethod, 2, ioSetText<&IO::SetRating>, nullptr},
    {u"GetSubjectTags", 33, kMethod, 3, nullptr, nullptr},
    {u"SetSubjectTags", 34, kMethod, 2, ioSetText<&IO::SetSubjectTags>, nullptr},
    {u"GetMetaDataStr_BSTR", 35, kMethod, 2, ioGetMetaDataStrBstr, nullptr},
    {u"GetCaption_BSTR", 36, kMethod, 0, ioGetBstr<&IO::GetCaption_BSTR>, nullptr},
    {u"GetArtist", 37, kMethod, 2, nullptr, nullptr},
    {u"GetArtist_BSTR", 38, kMethod, 0, ioGetBstr<&IO::GetArtist_BSTR>, nullptr},
    {u"GetAlbum", 39, kMethod, 2, nullptr, nullptr},
    {u"GetAlbum_BSTR", 40, kMethod, 0, ioGetBstr<&IO::GetAlbum_BSTR>, nullptr},
    {u"WriteImageFile", 41, kMethod, 5, nullptr, nullptr},
    {u"GetAspectRatio", 42, kMethod, 2, invokeOuts<&IO::GetAspectRatio>, nullptr},
    {u"SetInitFlags", 43, kMethod, 1, ioSetInitFlags, nullptr},
    {u"SetCaption", 44, kMethod, 2, ioSetText<&IO::SetCaption>, nullptr},
    {u"GetCodecInfo", 45, kMethod, 1, invokeOuts<&IO::GetCodecInfo>, nullptr},
    {u"GetFrameThumbnailEx", 46, kMethod, 7, nullptr, nullptr},
    {u"GetMaskThumbnail", 47, kMethod, 3, nullptr, nullptr},
    {u"SetAlphaBackground", 48, kMethod, 1, nullptr, nullptr},
    {u"EnableBGRA32", 49, kMethod, 1, ioEnableBGRA32, nullptr},
    {u"HasPreviewThumbnail", 50, kMethod, 0, ioHasPreviewThumbnail, nullptr},
};
static_assert(std::size(kMediaFileIOMembers) == 50);

// ---- IMediaFileIOMan ----

using Man = IMediaFileIOMan;

// ParseFile and its siblings: a path and an object out argument.
template <HRESULT (Man::*Method)(const WCHAR*, IMediaFileIO**)>
HRESULT manParse(void* instance, WORD, DISPPARAMS* params, VARIANT*, UINT* puArgErr)
{
    InArg path;
    MIO_READ(path, 0, VT_BSTR);
    VARIANT* out = nullptr;
    if (const HRESULT hr = objectOutArg(params, 1, &out, puArgErr); FAILED(hr)) return hr;
    IMediaFileIO* object = nullptr;
    const HRESULT hr = (self<Man>(instance)->*Method)(path.text(), &object);
    if (SUCCEEDED(hr)) storeObject(out, object);
    return hr;
}

HRESULT manParseBstr(void* instance, WORD, DISPPARAMS* params, VARIANT*, UINT* puArgErr)
{
    InArg path;
    MIO_READ(path, 0, VT_BSTR);
    VARIANT* out = nullptr;
    if (const HRESULT hr = objectOutArg(params, 1, &out, puArgErr); FAILED(hr)) return hr;
    IMediaFileIO* object = nullptr;
    const HRESULT hr = self<Man>(instance)->ParseFile_BSTR(path.text(), &object);
    if (SUCCEEDED(hr)) storeObject(out, object);
    return hr;
}

HRESULT manInitialize(void* instance, WORD, DISPPARAMS* params, VARIANT*, UINT* puArgErr)
{
    InArg flags;
    MIO_READ(flags, 0, VT_UI4);
    return self<Man>(instance)->Initialize(flags.ui4());
}

constexpr TavrelDispatchMember kMediaFileIOManMembers[] = {
    {u"ParseFile", 1, kMethod, 2, manParse<&Man::ParseFile>, nullptr},
    {u"ParseFile_BSTR", 2, kMethod, 2, manParseBstr, nullptr},
    {u"DirectSetMetadata", 3, kMethod, 2, manParse<&Man::DirectSetMetadata>, nullptr},
    {u"GetErrorString", 4, kMethod, 2, nullptr, nullptr},
    {u"WriteImageFile", 5, kMethod, 5, nullptr, nullptr},
    {u"Initialize", 6, kMethod, 1, manInitialize, nullptr},
};

// IMediaFile is described by the library but is not a dispatch interface.
constexpr TavrelDispatchMember kMediaFileMembers[] = {
    {u"OpenMedia", 1, kMethod, 4, nullptr, nullptr},
    {u"CloseMedia", 2, kMethod, 0, nullptr, nullptr},
    {u"GetFormat", 3, kMethod, 1, nullptr, nullptr},
    {u"GetFrameCount", 4, kMethod, 1, nullptr, nullptr},
};

constexpr TavrelDispatchTable kMediaFileIOTable = {u"IMediaFileIO", kMediaFileIOMembers,
                                                   std::size(kMediaFileIOMembers)};
constexpr TavrelDispatchTable kMediaFileIOManTable = {u"IMediaFileIOMan", kMediaFileIOManMembers,
                                                      std::size(kMediaFileIOManMembers)};
constexpr TavrelDispatchTable kMediaFileTable = {u"IMediaFile", kMediaFileMembers,
                                                 std::size(kMediaFileMembers)};

const TypeLibraryInterface kInterfaces[] = {
    {&IID_IMediaFileIO, &kMediaFileIOTable, true},
    {&IID_IMediaFileIOMan, &kMediaFileIOManTable, true},
    {&IID_IMediaFile, &kMediaFileTable, false},
};

const TypeLibraryCoclass kCoclasses[] = {
    {u"ImageFileIO", &CLSID_ImageFileIO, &IID_IMediaFileIO},
    {u"MediaFileIO", &CLSID_MediaFileIO, &IID_IMediaFileIO},
    {u"MediaFileIOMan", &CLSID_MediaFileIOMan, &IID_IMediaFileIOMan},
};

const TypeLibraryAttributes kAttributes = {
    &LIBID_TavrelMediaIOLib, 1, 0, 0, u"TavrelMediaIOLib", u"TavrelMediaIO 1.0 Type Library",
};

const TavrelDispatchTable& tableOf(DualInterface which)
{
    return which == DualInterface::MediaFileIO ? kMediaFileIOTable : kMediaFileIOManTable;
}

// The type information handed to callers. Its member tables live in this module, so each
// one holds a module lock (through ComObject) for as long as a caller keeps it: the module
// cannot be unloaded under it.
class ModuleTypeInfo final : public tavrel::ComObject<ModuleTypeInfo, ITypeInfo> {
  public:
    explicit ModuleTypeInfo(ComPtr<ITypeInfo> inner) : m_inner(std::move(inner)) {}

    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** pp) override
    {
        return m_inner->GetTypeAttr(pp);
    }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** pp) override
    {
        return m_inner->GetTypeComp(pp);
    }
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT i, FUNCDESC** pp) override
    {
        return m_inner->GetFuncDesc(i, pp);
    }
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT i, VARDESC** pp) override
    {
        return m_inner->GetVarDesc(i, pp);
    }
    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID id, BSTR* names, UINT max, UINT* count) override
    {
        return m_inner->GetNames(id, names, max, count);
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT i, HREFTYPE* p) override
    {
        return m_inner->GetRefTypeOfImplType(i, p);
    }
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT i, INT* p) override
    {
        return m_inner->GetImplTypeFlags(i, p);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override
    {
        return m_inner->GetIDsOfNames(names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID id, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* error, UINT* argError) override
    {
        return m_inner->Invoke(instance, id, flags, params, result, error, argError);
    }
    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID id, BSTR* name, BSTR* doc, DWORD* context,
                                               BSTR* file) override
    {
        return m_inner->GetDocumentation(id, name, doc, context, file);
    }
    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID id, INVOKEKIND kind, BSTR* dll, BSTR* name,
                                          WORD* ordinal) override
    {
        return m_inner->GetDllEntry(id, kind, dll, name, ordinal);
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE ref, ITypeInfo** pp) override
    {
        return m_inner->GetRefTypeInfo(ref, pp);
    }
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID id, INVOKEKIND kind, PVOID* pp) override
    {
        return m_inner->AddressOfMember(id, kind, pp);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, PVOID* pp) override
    {
        return m_inner->CreateInstance(outer, riid, pp);
    }
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID id, BSTR* pp) override
    {
        return m_inner->GetMops(id, pp);
    }
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** pp, UINT* index) override
    {
        return m_inner->GetContainingTypeLib(pp, index);
    }
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* p) override { m_inner->ReleaseTypeAttr(p); }
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* p) override { m_inner->ReleaseFuncDesc(p); }
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC* p) override { m_inner->ReleaseVarDesc(p); }

  private:
    ComPtr<ITypeInfo> m_inner;
};

HRESULT invokeChecked(const TavrelDispatchTable& table, void* instance, DISPID dispIdMember,
                      REFIID riid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                      EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    const bool outerCalled = std::exchange(t_methodCalled, false);
    const HRESULT hr = TavrelDispatchInvoke(&table, instance, dispIdMember, riid, wFlags,
                                            pDispParams, pVarResult, pExcepInfo, puArgErr);
    const bool called = std::exchange(t_methodCalled, outerCalled);
    if (!called) return hr;
    if (SUCCEEDED(hr)) return S_OK; // a member's S_FALSE is not a dispatch result
    if (pExcepInfo) {
        *pExcepInfo = EXCEPINFO{};
        pExcepInfo->scode = hr;
    }
    return DISP_E_EXCEPTION;
}

} // namespace

const TypeLibraryAttributes& typeLibraryAttributes()
{
    return kAttributes;
}

const TypeLibraryInterface* typeLibraryInterfaces(UINT* count)
{
    *count = static_cast<UINT>(std::size(kInterfaces));
    return kInterfaces;
}

const TypeLibraryCoclass* typeLibraryCoclasses(UINT* count)
{
    *count = static_cast<UINT>(std::size(kCoclasses));
    return kCoclasses;
}

HRESULT dispatchGetTypeInfoCount(UINT* pctinfo)
{
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT dispatchGetTypeInfo(DualInterface which, UINT iTInfo, ITypeInfo** ppTInfo)
{
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    ComPtr<ITypeInfo> inner;
    if (const HRESULT hr = TavrelCreateTypeInfo(&tableOf(which), inner.GetAddressOf()); FAILED(hr))
        return hr;
    *ppTInfo = ModuleTypeInfo::createNew(std::move(inner));
    return *ppTInfo ? S_OK : E_OUTOFMEMORY;
}

HRESULT dispatchGetIDsOfNames(DualInterface which, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                              DISPID* rgDispId)
{
    return TavrelDispatchGetIDsOfNames(&tableOf(which), riid, rgszNames, cNames, rgDispId);
}

HRESULT dispatchInvoke(IMediaFileIO* self, DISPID dispIdMember, REFIID riid, WORD wFlags,
                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                       UINT* puArgErr)
{
    return invokeChecked(kMediaFileIOTable, self, dispIdMember, riid, wFlags, pDispParams,
                         pVarResult, pExcepInfo, puArgErr);
}

HRESULT dispatchInvoke(IMediaFileIOMan* self, DISPID dispIdMember, REFIID riid, WORD wFlags,
                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                       UINT* puArgErr)
{
    return invokeChecked(kMediaFileIOManTable, self, dispIdMember, riid, wFlags, pDispParams,
                         pVarResult, pExcepInfo, puArgErr);
}

} // namespace mio
