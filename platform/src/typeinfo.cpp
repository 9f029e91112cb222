// SPDX-License-Identifier: MIT
// IDispatch support over static member tables, and the minimal ITypeInfo that exposes them.
#include "tavrel/platform/typeinfo.h"
#include "tavrel/platform/com_object.h"

namespace {

bool sameName(LPCOLESTR a, LPCOLESTR b)
{
    auto lower = [](char16_t c) {
        return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    };
    for (; *a && *b; ++a, ++b)
        if (lower(*a) != lower(*b)) return false;
    return *a == *b;
}

const TavrelDispatchMember* byId(const TavrelDispatchTable* t, DISPID id)
{
    for (UINT i = 0; i < t->count; ++i)
        if (t->members[i].dispid == id) return &t->members[i];
    return nullptr;
}

class TableTypeInfo final : public tavrel::ComObject<TableTypeInfo, ITypeInfo> {
  public:
    explicit TableTypeInfo(const TavrelDispatchTable* table) : m_table(table) {}

    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** pp) override { return notImpl(pp); }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** pp) override { return notImpl(pp); }
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT, FUNCDESC** pp) override { return notImpl(pp); }
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** pp) override { return notImpl(pp); }

    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames,
                                       UINT* pcNames) override
    {
        if (!rgBstrNames || !pcNames) return E_INVALIDARG;
        *pcNames = 0;
        const TavrelDispatchMember* m = byId(m_table, memid);
        if (!m) return TYPE_E_ELEMENTNOTFOUND;
        if (cMaxNames == 0) return S_OK;
        rgBstrNames[0] = SysAllocString(m->name);
        if (!rgBstrNames[0]) return E_OUTOFMEMORY;
        *pcNames = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT, HREFTYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT, INT*) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames,
                                            MEMBERID* pMemId) override
    {
        return TavrelDispatchGetIDsOfNames(m_table, IID_NULL, rgszNames, cNames, pMemId);
    }
    HRESULT STDMETHODCALLTYPE Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                     EXCEPINFO* pExcepInfo, UINT* puArgErr) override
    {
        return TavrelDispatchInvoke(m_table, pvInstance, memid, IID_NULL, wFlags, pDispParams,
                                    pVarResult, pExcepInfo, puArgErr);
    }

    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName,
                                               BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                               BSTR* pBstrHelpFile) override
    {
        LPCOLESTR name = nullptr, doc = nullptr;
        if (memid == MEMBERID_NIL) {
            name = m_table->interfaceName;
        } else {
            const TavrelDispatchMember* m = byId(m_table, memid);
            if (!m) return TYPE_E_ELEMENTNOTFOUND;
            name = m->name;
            doc = m->doc;
        }
        tavrel::UniqueBstr outName(name ? SysAllocString(name) : nullptr);
        tavrel::UniqueBstr outDoc(doc ? SysAllocString(doc) : nullptr);
        if ((name && !outName.get()) || (doc && !outDoc.get())) return E_OUTOFMEMORY;
        if (pBstrName) *pBstrName = outName.release();
        if (pBstrDocString) *pBstrDocString = outDoc.release();
        if (pdwHelpContext) *pdwHelpContext = 0;
        if (pBstrHelpFile) *pBstrHelpFile = nullptr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE, ITypeInfo** pp) override
    {
        return notImpl(pp);
    }
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* pp) override
    {
        return notImpl(pp);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID* pp) override
    {
        return notImpl(pp);
    }
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* pp) override { return notImpl(pp); }
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** pp, UINT*) override
    {
        return notImpl(pp);
    }
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR*) override {}
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC*) override {}
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

  private:
    template <typename T> static HRESULT notImpl(T** pp)
    {
        if (pp) *pp = nullptr;
        return E_NOTIMPL;
    }

    const TavrelDispatchTable* m_table;
};

} // namespace

TAVREL_API HRESULT TavrelDispatchGetIDsOfNames(const TavrelDispatchTable* table, REFIID riid,
                                               LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId)
{
    if (!table || !rgszNames || !rgDispId || cNames == 0) return E_INVALIDARG;
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = S_OK;
    rgDispId[0] = DISPID_UNKNOWN;
    if (rgszNames[0]) {
        for (UINT i = 0; i < table->count; ++i)
            if (sameName(rgszNames[0], table->members[i].name))
                rgDispId[0] = table->members[i].dispid;
    }
    if (rgDispId[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < cNames; ++i) {
        rgDispId[i] = DISPID_UNKNOWN;
        hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

TAVREL_API HRESULT TavrelDispatchInvoke(const TavrelDispatchTable* table, void* instance,
                                        DISPID dispIdMember, REFIID riid, WORD wFlags,
                                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO*,
                                        UINT* puArgErr)
{
    if (!table) return E_INVALIDARG;
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    // A property may have one row per kind (get and put take different argument counts).
    const TavrelDispatchMember* m = nullptr;
    for (UINT i = 0; i < table->count && !m; ++i)
        if (table->members[i].dispid == dispIdMember && (table->members[i].flags & wFlags))
            m = &table->members[i];
    if (!m || !m->invoke) return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    DISPPARAMS* params = pDispParams ? pDispParams : &none;
    if (params->cArgs && !params->rgvarg) return E_INVALIDARG;
    const bool put = (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (params->cNamedArgs) {
        const bool putValue = put && params->cNamedArgs == 1 && params->rgdispidNamedArgs &&
                              params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
        if (!putValue) return DISP_E_NONAMEDARGS;
    }
    if (params->cArgs != m->paramCount) return DISP_E_BADPARAMCOUNT;
    // A put has no result; callers may pass a variant anyway and it is left alone.
    return m->invoke(instance, wFlags, params, put ? nullptr : pVarResult, puArgErr);
}

TAVREL_API HRESULT TavrelDispatchGetArg(const DISPPARAMS* params, UINT position, VARTYPE vt,
                                        VARIANT* out, UINT* puArgErr)
{
    if (!params || !out) return E_INVALIDARG;
    VariantInit(out);
    if (position >= params->cArgs || !params->rgvarg) return DISP_E_PARAMNOTFOUND;
    const UINT index = params->cArgs - 1 - position;
    const VARIANT* arg = &params->rgvarg[index];
    HRESULT hr;
    if (vt == VT_VARIANT) {
        hr = VariantCopy(out, arg);
    } else {
        hr = VariantChangeType(out, arg, 0, vt);
        if (hr == DISP_E_BADVARTYPE) hr = DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr) && puArgErr) *puArgErr = index;
    return hr;
}

TAVREL_API HRESULT TavrelCreateTypeInfo(const TavrelDispatchTable* table, ITypeInfo** ppTInfo)
{
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (!table) return E_INVALIDARG;
    *ppTInfo = TableTypeInfo::createNew(table);
    return *ppTInfo ? S_OK : E_OUTOFMEMORY;
}
