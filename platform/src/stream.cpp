// SPDX-License-Identifier: MIT
// IStream over a global memory block: CreateStreamOnHGlobal and GetHGlobalFromStream.
#include <algorithm>
#include <memory>
#include <mutex>

#include "tavrel/platform/com_object.h"

namespace {

// Answered only by our own streams, so GetHGlobalFromStream can tell them from others.
TAVREL_DEFINE_GUID(IID_TavrelHGlobalStream, 0x3c5a0e2d, 0x8b1f, 0x4d6e, 0x9a, 0x41, 0x5e, 0x2c,
                   0x7b, 0x90, 0x13, 0x6f);

// HGLOBAL streams keep 32-bit sizes, as the platform's do.
constexpr uint64_t kMaxStreamSize = 0xFFFFFFFFu;

// The block and its owner flag, shared by a stream and its clones. The mutex guards the
// handle, the block's size and contents as seen through these streams, and each stream's
// position. It is a leaf lock apart from the heap lock taken inside the Global* calls.
struct Store {
    std::mutex mutex;
    HGLOBAL handle = nullptr;
    bool deleteOnRelease = false;
    ~Store()
    {
        if (deleteOnRelease) GlobalFree(handle);
    }
};

class HGlobalStream final : public tavrel::ComObject<HGlobalStream, IStream> {
  public:
    HGlobalStream(std::shared_ptr<Store> store, uint64_t position)
        : m_store(std::move(store)), m_pos(position)
    {
    }

    bool queryExtra(REFIID riid, void** ppv)
    {
        if (riid != IID_TavrelHGlobalStream) return false;
        *ppv = static_cast<IStream*>(this);
        return true;
    }
    HGLOBAL handle()
    {
        std::lock_guard lock(m_store->mutex);
        return m_store->handle;
    }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        if (pcbRead) *pcbRead = 0;
        if (!pv) return STG_E_INVALIDPOINTER;
        std::lock_guard lock(m_store->mutex);
        const uint64_t size = GlobalSize(m_store->handle);
        if (m_pos >= size || cb == 0) return S_OK;
        const auto n = static_cast<ULONG>(std::min<uint64_t>(cb, size - m_pos));
        tavrel::GlobalLockGuard data(m_store->handle);
        if (!data.data()) return STG_E_READFAULT;
        std::memcpy(pv, static_cast<const unsigned char*>(data.data()) + m_pos, n);
        m_pos += n;
        if (pcbRead) *pcbRead = n;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override
    {
        if (pcbWritten) *pcbWritten = 0;
        if (!pv) return STG_E_INVALIDPOINTER;
        if (cb == 0) return S_OK;
        std::lock_guard lock(m_store->mutex);
        const uint64_t end = m_pos + cb;
        if (m_pos > kMaxStreamSize || end > kMaxStreamSize) return STG_E_MEDIUMFULL;
        if (end > GlobalSize(m_store->handle)) {
            if (HRESULT hr = resizeLocked(end); FAILED(hr)) return hr;
        }
        tavrel::GlobalLockGuard data(m_store->handle);
        if (!data.data()) return STG_E_WRITEFAULT;
        std::memcpy(static_cast<unsigned char*>(data.data()) + m_pos, pv, cb);
        m_pos = end;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                   ULARGE_INTEGER* plibNewPosition) override
    {
        std::lock_guard lock(m_store->mutex);
        int64_t base;
        switch (dwOrigin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<int64_t>(m_pos);
            break;
        case STREAM_SEEK_END:
            base = static_cast<int64_t>(GlobalSize(m_store->handle));
            break;
        default:
            return STG_E_INVALIDFUNCTION;
        }
        int64_t target;
        if (__builtin_add_overflow(base, dlibMove.QuadPart, &target) || target < 0)
            return STG_E_INVALIDFUNCTION;
        m_pos = static_cast<uint64_t>(target);
        if (plibNewPosition) plibNewPosition->QuadPart = m_pos;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override
    {
        if (libNewSize.QuadPart > kMaxStreamSize) return STG_E_INVALIDFUNCTION;
        std::lock_guard lock(m_store->mutex);
        return resizeLocked(libNewSize.QuadPart);
    }

    HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                     ULARGE_INTEGER* pcbWritten) override
    {
        if (pcbRead) pcbRead->QuadPart = 0;
        if (pcbWritten) pcbWritten->QuadPart = 0;
        if (!pstm) return STG_E_INVALIDPOINTER;
        uint64_t totalRead = 0, totalWritten = 0;
        HRESULT hr = S_OK;
        // Chunked, and the store lock is not held across the destination's Write: the
        // destination may be a clone sharing this very block.
        unsigned char chunk[16384];
        while (totalRead < cb.QuadPart) {
            ULONG got = 0;
            const auto want =
                static_cast<ULONG>(std::min<uint64_t>(sizeof chunk, cb.QuadPart - totalRead));
            hr = Read(chunk, want, &got);
            if (FAILED(hr) || got == 0) break;
            totalRead += got;
            ULONG put = 0;
            hr = pstm->Write(chunk, got, &put);
            totalWritten += put;
            if (FAILED(hr)) break;
            if (put < got) {
                hr = STG_E_MEDIUMFULL;
                break;
            }
        }
        if (pcbRead) pcbRead->QuadPart = totalRead;
        if (pcbWritten) pcbWritten->QuadPart = totalWritten;
        return FAILED(hr) ? hr : S_OK;
    }

    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return STG_E_INVALIDFUNCTION;
    }

    HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD) override
    {
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        std::memset(pstatstg, 0, sizeof *pstatstg);
        std::lock_guard lock(m_store->mutex);
        // A memory stream has no name, so pwcsName stays null for every flag.
        pstatstg->type = STGTY_STREAM;
        pstatstg->cbSize.QuadPart = GlobalSize(m_store->handle);
        pstatstg->grfMode = STGM_READWRITE;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override
    {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        uint64_t pos;
        {
            std::lock_guard lock(m_store->mutex);
            pos = m_pos;
        }
        HGlobalStream* clone = createNew(m_store, pos);
        if (!clone) return E_OUTOFMEMORY;
        *ppstm = clone;
        return S_OK;
    }

  private:
    HRESULT resizeLocked(uint64_t size)
    {
        if (size == GlobalSize(m_store->handle)) return S_OK;
        // Movable blocks keep their handle; a fixed block passed in by a caller may move.
        HGLOBAL h = GlobalReAlloc(m_store->handle, static_cast<SIZE_T>(size),
                                  GMEM_MOVEABLE | GMEM_ZEROINIT);
        if (!h) return E_OUTOFMEMORY;
        m_store->handle = h;
        return S_OK;
    }

    std::shared_ptr<Store> m_store;
    uint64_t m_pos;
};

} // namespace

TAVREL_API HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm)
{
    if (!ppstm) return E_INVALIDARG;
    *ppstm = nullptr;
    if (hGlobal && (GlobalFlags(hGlobal) & GMEM_INVALID_HANDLE)) return E_INVALIDARG;
    std::shared_ptr<Store> store;
    try {
        store = std::make_shared<Store>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!hGlobal) {
        // An empty stream starts as a discarded movable block that grows on the first write.
        hGlobal = GlobalAlloc(GMEM_MOVEABLE, 0);
        if (!hGlobal) return E_OUTOFMEMORY;
    }
    store->handle = hGlobal;
    store->deleteOnRelease = fDeleteOnRelease != FALSE;
    HGlobalStream* stream = HGlobalStream::createNew(std::move(store), 0);
    if (!stream) return E_OUTOFMEMORY; // the store, if it owned the block, has freed it
    *ppstm = stream;
    return S_OK;
}

TAVREL_API HRESULT GetHGlobalFromStream(IStream* pstm, HGLOBAL* phglobal)
{
    if (!phglobal) return E_INVALIDARG;
    *phglobal = nullptr;
    if (!pstm) return E_INVALIDARG;
    void* impl = nullptr;
    if (FAILED(pstm->QueryInterface(IID_TavrelHGlobalStream, &impl))) return E_INVALIDARG;
    auto* stream = static_cast<HGlobalStream*>(static_cast<IStream*>(impl));
    *phglobal = stream->handle();
    stream->Release();
    return S_OK;
}
