// SPDX-License-Identifier: MIT
// IWICStream over another stream, a region of one, caller memory, owned bytes, a file name or a
// platform file handle.
#pragma once

#include <memory>
#include <vector>

#include "com_object.h"

namespace mio::imaging {

// The storage behind a WicStream; positions are absolute within it.
class StreamStore {
  public:
    virtual ~StreamStore() = default;
    virtual HRESULT readAt(uint64_t pos, void* buffer, ULONG cb, ULONG* read) = 0;
    virtual HRESULT writeAt(uint64_t pos, const void* buffer, ULONG cb, ULONG* written) = 0;
    virtual HRESULT size(uint64_t* size) = 0;
    virtual HRESULT setSize(uint64_t size) = 0;
    virtual HRESULT commit() { return S_OK; }
};

class WicStream final : public ComObject<WicStream, IWICStream> {
  public:
    // ISequentialStream / IStream
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                      ULARGE_INTEGER* plibNewPosition) override;
    STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override;
    STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                        ULARGE_INTEGER* pcbWritten) override;
    STDMETHODIMP Commit(DWORD grfCommitFlags) override;
    STDMETHODIMP Revert() override;
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
    STDMETHODIMP Clone(IStream** ppstm) override;
    // IWICStream
    STDMETHODIMP InitializeFromIStream(IStream* pIStream) override;
    STDMETHODIMP InitializeFromFilename(LPCWSTR wzFileName, DWORD dwDesiredAccess) override;
    STDMETHODIMP InitializeFromMemory(WICInProcPointer pbBuffer, DWORD cbBufferSize) override;
    STDMETHODIMP InitializeFromIStreamRegion(IStream* pIStream, ULARGE_INTEGER ulOffset,
                                             ULARGE_INTEGER ulMaxSize) override;

    // Internal initialisers: a read-only stream over bytes it shares ownership of, and a
    // stream over a platform file handle that stays the caller's.
    HRESULT initializeFromBytes(std::shared_ptr<const std::vector<BYTE>> bytes);
    HRESULT initializeFromHandle(HANDLE file);

  private:
    HRESULT attach(std::shared_ptr<StreamStore> store);

    std::shared_ptr<StreamStore> m_store; // shared with clones
    uint64_t m_pos = 0;
};

// Reads exactly cb bytes at the stream's position; WINCODEC_ERR_STREAMREAD when fewer come.
HRESULT readExact(IStream* stream, void* buffer, ULONG cb);
HRESULT seekTo(IStream* stream, uint64_t pos);
HRESULT streamSize(IStream* stream, uint64_t* size);

} // namespace mio::imaging
