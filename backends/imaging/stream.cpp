// SPDX-License-Identifier: MIT
// WicStream and its stores. File names are opened with POSIX calls (this is a backend); handles
// go through the platform's file functions so that they work on handles the engine opened.
#include "stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "tavrel/platform/files.h"
#include "tavrel/platform/text.h"

namespace mio::imaging {
namespace {

HRESULT errnoToHresult(int err)
{
    switch (err) {
    case ENOENT:
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case ENOTDIR:
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    case EACCES:
    case EPERM:
    case EISDIR:
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case ENOSPC:
        return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    case ENAMETOOLONG:
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    case EROFS:
        return HRESULT_FROM_WIN32(ERROR_WRITE_PROTECT);
    case ENOMEM:
        return E_OUTOFMEMORY;
    default:
        return HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
    }
}

class ForwardStore final : public StreamStore {
  public:
    ForwardStore(ComPtr<IStream> inner, uint64_t offset, uint64_t limit)
        : m_inner(std::move(inner)), m_offset(offset), m_limit(limit)
    {
    }
    HRESULT readAt(uint64_t pos, void* buffer, ULONG cb, ULONG* read) override
    {
        *read = 0;
        if (pos >= m_limit) return S_OK;
        cb = static_cast<ULONG>(std::min<uint64_t>(cb, m_limit - pos));
        if (cb == 0) return S_OK; // some streams refuse empty reads
        RETURN_IF_FAILED(seekTo(m_inner.Get(), m_offset + pos));
        return m_inner->Read(buffer, cb, read);
    }
    HRESULT writeAt(uint64_t pos, const void* buffer, ULONG cb, ULONG* written) override
    {
        *written = 0;
        if (pos + cb > m_limit) return STG_E_MEDIUMFULL;
        RETURN_IF_FAILED(seekTo(m_inner.Get(), m_offset + pos));
        return m_inner->Write(buffer, cb, written);
    }
    HRESULT size(uint64_t* size) override
    {
        uint64_t inner = 0;
        RETURN_IF_FAILED(streamSize(m_inner.Get(), &inner));
        *size = inner <= m_offset ? 0 : std::min(inner - m_offset, m_limit);
        return S_OK;
    }
    HRESULT setSize(uint64_t size) override
    {
        if (m_limit != UINT64_MAX) return STG_E_INVALIDFUNCTION; // a region has a fixed size
        ULARGE_INTEGER s;
        s.QuadPart = m_offset + size;
        return m_inner->SetSize(s);
    }
    HRESULT commit() override { return m_inner->Commit(STGC_DEFAULT); }

  private:
    ComPtr<IStream> m_inner;
    uint64_t m_offset;
    uint64_t m_limit;
};

// Fixed-size memory: the caller's buffer (writable) or shared bytes (read-only).
class MemoryStore final : public StreamStore {
  public:
    MemoryStore(BYTE* data, size_t size) : m_data(data), m_size(size) {}
    explicit MemoryStore(std::shared_ptr<const std::vector<BYTE>> bytes)
        : m_owned(std::move(bytes)), m_const(m_owned->data()), m_size(m_owned->size())
    {
    }
    HRESULT readAt(uint64_t pos, void* buffer, ULONG cb, ULONG* read) override
    {
        const BYTE* base = m_data ? m_data : m_const;
        const size_t n =
            pos >= m_size ? 0 : static_cast<size_t>(std::min<uint64_t>(cb, m_size - pos));
        if (n) std::memcpy(buffer, base + pos, n);
        *read = static_cast<ULONG>(n);
        return S_OK;
    }
    HRESULT writeAt(uint64_t pos, const void* buffer, ULONG cb, ULONG* written) override
    {
        *written = 0;
        if (!m_data) return STG_E_ACCESSDENIED;
        if (pos > m_size || cb > m_size - pos) return STG_E_MEDIUMFULL;
        std::memcpy(m_data + pos, buffer, cb);
        *written = cb;
        return S_OK;
    }
    HRESULT size(uint64_t* size) override
    {
        *size = m_size;
        return S_OK;
    }
    HRESULT setSize(uint64_t) override { return STG_E_INVALIDFUNCTION; }

  private:
    std::shared_ptr<const std::vector<BYTE>> m_owned;
    BYTE* m_data = nullptr;
    const BYTE* m_const = nullptr;
    size_t m_size = 0;
};

class FdStore final : public StreamStore {
  public:
    explicit FdStore(int fd) : m_fd(fd) {}
    ~FdStore() override { ::close(m_fd); }
    FdStore(const FdStore&) = delete;
    FdStore& operator=(const FdStore&) = delete;

    HRESULT readAt(uint64_t pos, void* buffer, ULONG cb, ULONG* read) override
    {
        *read = 0;
        auto* p = static_cast<BYTE*>(buffer);
        while (*read < cb) {
            const ssize_t n = ::pread(m_fd, p + *read, cb - *read, static_cast<off_t>(pos + *read));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return STG_E_READFAULT;
            if (n == 0) break;
            *read += static_cast<ULONG>(n);
        }
        return S_OK;
    }
    HRESULT writeAt(uint64_t pos, const void* buffer, ULONG cb, ULONG* written) override
    {
        *written = 0;
        const auto* p = static_cast<const BYTE*>(buffer);
        while (*written < cb) {
            const ssize_t n =
                ::pwrite(m_fd, p + *written, cb - *written, static_cast<off_t>(pos + *written));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno == ENOSPC ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
            *written += static_cast<ULONG>(n);
        }
        return S_OK;
    }
    HRESULT size(uint64_t* size) override
    {
        struct stat st {};
        if (::fstat(m_fd, &st) != 0) return STG_E_INVALIDFUNCTION;
        *size = static_cast<uint64_t>(st.st_size);
        return S_OK;
    }
    HRESULT setSize(uint64_t size) override
    {
        return ::ftruncate(m_fd, static_cast<off_t>(size)) == 0 ? S_OK : STG_E_MEDIUMFULL;
    }
    HRESULT commit() override { return ::fsync(m_fd) == 0 ? S_OK : STG_E_WRITEFAULT; }

  private:
    int m_fd;
};

// A platform handle that stays the caller's; every access positions the handle first.
class HandleStore final : public StreamStore {
  public:
    explicit HandleStore(HANDLE h) : m_handle(h) {}
    HRESULT readAt(uint64_t pos, void* buffer, ULONG cb, ULONG* read) override
    {
        *read = 0;
        RETURN_IF_FAILED(position(pos));
        DWORD got = 0;
        if (!ReadFile(m_handle, buffer, cb, &got, nullptr))
            return HRESULT_FROM_WIN32(GetLastError());
        *read = got;
        return S_OK;
    }
    HRESULT writeAt(uint64_t pos, const void* buffer, ULONG cb, ULONG* written) override
    {
        *written = 0;
        RETURN_IF_FAILED(position(pos));
        DWORD put = 0;
        if (!WriteFile(m_handle, buffer, cb, &put, nullptr))
            return HRESULT_FROM_WIN32(GetLastError());
        *written = put;
        return S_OK;
    }
    HRESULT size(uint64_t* size) override
    {
        LARGE_INTEGER s{};
        if (!GetFileSizeEx(m_handle, &s)) return HRESULT_FROM_WIN32(GetLastError());
        *size = static_cast<uint64_t>(s.QuadPart);
        return S_OK;
    }
    HRESULT setSize(uint64_t size) override
    {
        RETURN_IF_FAILED(position(size));
        return SetEndOfFile(m_handle) ? S_OK : HRESULT_FROM_WIN32(GetLastError());
    }
    HRESULT commit() override
    {
        return FlushFileBuffers(m_handle) ? S_OK : HRESULT_FROM_WIN32(GetLastError());
    }

  private:
    HRESULT position(uint64_t pos)
    {
        LARGE_INTEGER to{};
        to.QuadPart = static_cast<LONGLONG>(pos);
        return SetFilePointerEx(m_handle, to, nullptr, FILE_BEGIN)
                   ? S_OK
                   : HRESULT_FROM_WIN32(GetLastError());
    }
    HANDLE m_handle;
};

std::string utf8Name(LPCWSTR name)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, name, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

} // namespace

HRESULT WicStream::attach(std::shared_ptr<StreamStore> store)
{
    if (m_store) return WINCODEC_ERR_WRONGSTATE;
    m_store = std::move(store);
    m_pos = 0;
    return S_OK;
}

STDMETHODIMP WicStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (!m_store) return WINCODEC_ERR_NOTINITIALIZED;
    ULONG got = 0;
    const HRESULT hr = m_store->readAt(m_pos, pv, cb, &got);
    m_pos += got;
    if (pcbRead) *pcbRead = got;
    if (FAILED(hr)) return hr;
    return got < cb ? S_FALSE : S_OK;
}

STDMETHODIMP WicStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten)
{
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (!m_store) return WINCODEC_ERR_NOTINITIALIZED;
    ULONG put = 0;
    const HRESULT hr = m_store->writeAt(m_pos, pv, cb, &put);
    m_pos += put;
    if (pcbWritten) *pcbWritten = put;
    return hr;
}

STDMETHODIMP WicStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                             ULARGE_INTEGER* plibNewPosition)
{
    if (!m_store) return WINCODEC_ERR_NOTINITIALIZED;
    int64_t base = 0;
    switch (dwOrigin) {
    case STREAM_SEEK_SET:
        base = 0;
        break;
    case STREAM_SEEK_CUR:
        base = static_cast<int64_t>(m_pos);
        break;
    case STREAM_SEEK_END: {
        uint64_t size = 0;
        RETURN_IF_FAILED(m_store->size(&size));
        base = static_cast<int64_t>(size);
        break;
    }
    default:
        return STG_E_INVALIDFUNCTION;
    }
    const int64_t target = base + dlibMove.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    m_pos = static_cast<uint64_t>(target);
    if (plibNewPosition) plibNewPosition->QuadPart = m_pos;
    return S_OK;
}

STDMETHODIMP WicStream::SetSize(ULARGE_INTEGER libNewSize)
{
    if (!m_store) return WINCODEC_ERR_NOTINITIALIZED;
    return m_store->setSize(libNewSize.QuadPart);
}

STDMETHODIMP WicStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                               ULARGE_INTEGER* pcbWritten)
{
    if (!pstm) return STG_E_INVALIDPOINTER;
    if (!m_store) return WINCODEC_ERR_NOTINITIALIZED;
    uint64_t readTotal = 0, writtenTotal = 0;
    BYTE buffer[65536];
    HRESULT hr = S_OK;
    while (readTotal < cb.QuadPart) {
        const ULONG want =
            static_cast<ULONG>(std::min<uint64_t>(sizeof buffer, cb.QuadPart - readTotal));
        ULONG got = 0;
        hr = m_store->readAt(m_pos, buffer, want, &got);
        if (FAILED(hr) || got == 0) break;
        m_pos += got;
        readTotal += got;
        ULONG put = 0;
        hr = pstm->Write(buffer, got, &put);
        writtenTotal += put;
        if (FAILED(hr)) break;
    }
    if (pcbRead) pcbRead->QuadPart = readTotal;
    if (pcbWritten) pcbWritten->QuadPart = writtenTotal;
    return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP WicStream::Commit(DWORD)
{
    if (!m_store) return WINCODEC_ERR_NOTINITIALIZED;
    return m_store->commit();
}

STDMETHODIMP WicStream::Revert()
{
    return m_store ? S_OK : WINCODEC_ERR_NOTINITIALIZED;
}
STDMETHODIMP WicStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return STG_E_INVALIDFUNCTION;
}
STDMETHODIMP WicStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return STG_E_INVALIDFUNCTION;
}

STDMETHODIMP WicStream::Stat(STATSTG* pstatstg, DWORD)
{
    if (!pstatstg) return STG_E_INVALIDPOINTER;
    if (!m_store) return WINCODEC_ERR_NOTINITIALIZED;
    std::memset(pstatstg, 0, sizeof *pstatstg);
    pstatstg->type = STGTY_STREAM;
    uint64_t size = 0;
    RETURN_IF_FAILED(m_store->size(&size));
    pstatstg->cbSize.QuadPart = size;
    return S_OK;
}

STDMETHODIMP WicStream::Clone(IStream** ppstm)
{
    if (!ppstm) return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    if (!m_store) return WINCODEC_ERR_NOTINITIALIZED;
    auto clone = WicStream::make();
    if (!clone) return E_OUTOFMEMORY;
    clone->m_store = m_store;
    clone->m_pos = m_pos;
    return handOut(clone, ppstm);
}

STDMETHODIMP WicStream::InitializeFromIStream(IStream* pIStream)
{
    if (!pIStream) return E_INVALIDARG;
    return attach(std::make_shared<ForwardStore>(ComPtr<IStream>(pIStream), 0, UINT64_MAX));
}

STDMETHODIMP WicStream::InitializeFromIStreamRegion(IStream* pIStream, ULARGE_INTEGER ulOffset,
                                                    ULARGE_INTEGER ulMaxSize)
{
    if (!pIStream) return E_INVALIDARG;
    return attach(std::make_shared<ForwardStore>(ComPtr<IStream>(pIStream), ulOffset.QuadPart,
                                                 ulMaxSize.QuadPart));
}

STDMETHODIMP WicStream::InitializeFromMemory(WICInProcPointer pbBuffer, DWORD cbBufferSize)
{
    if (!pbBuffer) return E_INVALIDARG;
    return attach(std::make_shared<MemoryStore>(pbBuffer, cbBufferSize));
}

STDMETHODIMP WicStream::InitializeFromFilename(LPCWSTR wzFileName, DWORD dwDesiredAccess)
{
    if (!wzFileName || !*wzFileName) return E_INVALIDARG;
    if (m_store) return WINCODEC_ERR_WRONGSTATE;
    const bool read = dwDesiredAccess & GENERIC_READ;
    const bool write = dwDesiredAccess & GENERIC_WRITE;
    if (!read && !write) return E_INVALIDARG;
    const std::string name = utf8Name(wzFileName);
    if (name.empty()) return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    // Writing creates or truncates, as a new image file is written from the start.
    const int flags = (read && write ? O_RDWR
                       : write       ? O_WRONLY
                                     : O_RDONLY) |
                      (write ? O_CREAT | O_TRUNC : 0) | O_CLOEXEC;
    const int fd = ::open(name.c_str(), flags, 0666);
    if (fd < 0) return errnoToHresult(errno);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    }
    return attach(std::make_shared<FdStore>(fd));
}

HRESULT WicStream::initializeFromBytes(std::shared_ptr<const std::vector<BYTE>> bytes)
{
    if (!bytes) return E_INVALIDARG;
    return attach(std::make_shared<MemoryStore>(std::move(bytes)));
}

HRESULT WicStream::initializeFromHandle(HANDLE file)
{
    if (!file || file == INVALID_HANDLE_VALUE) return E_INVALIDARG;
    return attach(std::make_shared<HandleStore>(file));
}

HRESULT readExact(IStream* stream, void* buffer, ULONG cb)
{
    if (cb == 0) return S_OK; // some streams refuse empty reads
    ULONG got = 0;
    const HRESULT hr = stream->Read(buffer, cb, &got);
    if (FAILED(hr)) return hr;
    return got == cb ? S_OK : WINCODEC_ERR_STREAMREAD;
}

HRESULT seekTo(IStream* stream, uint64_t pos)
{
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(pos);
    return stream->Seek(to, STREAM_SEEK_SET, nullptr);
}

HRESULT streamSize(IStream* stream, uint64_t* size)
{
    STATSTG st{};
    const HRESULT hr = stream->Stat(&st, STATFLAG_NONAME);
    if (SUCCEEDED(hr)) {
        *size = st.cbSize.QuadPart;
        return S_OK;
    }
    // Some streams refuse Stat: measure by seeking to the end and back.
    ULARGE_INTEGER here{}, end{};
    LARGE_INTEGER zero{};
    RETURN_IF_FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &here));
    RETURN_IF_FAILED(stream->Seek(zero, STREAM_SEEK_END, &end));
    RETURN_IF_FAILED(seekTo(stream, here.QuadPart));
    *size = end.QuadPart;
    return S_OK;
}

} // namespace mio::imaging
