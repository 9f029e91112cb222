// SPDX-License-Identifier: MIT
// CMediaFileIOMan: the engine's entry point; starts the libraries and classifies files.
#pragma once

#include <contracts/wincodec.h>
#include <tavrel/platform/com_object.h>
#include <tavrelmediaio/MediaFileIO.h>

#include "manager/extension_table.h"

namespace mio {

/// The manager. Apartment-threaded: its own state needs no lock; the libraries it calls are
/// serialised by the process-wide library lock.
class CMediaFileIOMan final : public tavrel::ComObject<CMediaFileIOMan, IMediaFileIOMan2> {
  public:
    /// A new manager with one reference for the caller, or E_OUTOFMEMORY.
    static HRESULT create(REFIID riid, void** ppv);

    bool queryExtra(REFIID riid, void** ppv);

    /// The path's kind (kKindVideo, kKindImage) by its extension.
    bool ClassifyPath(const WCHAR* path, int32_t* kind, bool imagesOnly) const
    {
        return m_extensions.classify(path, kind, imagesOnly);
    }
    const ExtensionTable& extensionTable() const { return m_extensions; }
    bool initialised() const { return m_initialised; }
    DWORD initFlags() const { return m_initFlags; }
    /// The manager's imaging factory, or null; the manager keeps its reference.
    IWICImagingFactory* imagingFactory() const { return m_imagingFactory.Get(); }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override;

    // IMediaFileIOMan
    STDMETHODIMP ParseFile(const WCHAR* szFileName, IMediaFileIO** ppMediaFileIO) override;
    STDMETHODIMP ParseFile_BSTR(BSTR szFileName, IMediaFileIO** ppMediaFileIO) override;
    STDMETHODIMP DirectSetMetadata(const WCHAR* szFileName, IMediaFileIO** ppMediaFileIO) override;
    STDMETHODIMP GetErrorString(WCHAR* pszError, int32_t nBufSize) override;
    STDMETHODIMP WriteImageFile(const WCHAR* szFileName, int32_t nFileFormat, PackedDib pDib,
                                BOOL bSavePreview, int32_t nCompresionQuality) override;
    STDMETHODIMP Initialize(DWORD dwFlags) override;

    // IMediaFileIOMan2
    STDMETHODIMP ParseFileEx(const WCHAR* szFileName, IMediaFileIO** ppMediaFileIO,
                             int32_t nNoBuffering) override;
    STDMETHODIMP ParseFileEx_BSTR(BSTR szFileName, IMediaFileIO** ppMediaFileIO,
                                  int32_t nNoBuffering) override;

  private:
    friend class tavrel::ComObject<CMediaFileIOMan, IMediaFileIOMan2>;
    CMediaFileIOMan() = default;
    ~CMediaFileIOMan() override;

    bool m_initialised = false;
    DWORD m_initFlags = 0;
    int32_t m_videoFormatCount = 0;
    int32_t m_imageFormatCount = 0;
    ExtensionTable m_extensions;
    ComPtr<IWICImagingFactory> m_imagingFactory;
};

} // namespace mio
