// SPDX-License-Identifier: MIT
// CNoBufferingStream: sector-aligned buffered reads over a file opened without the file cache.
#include "imageobject/no_buffering_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "imageobject/result_macros.h"

namespace mio {

namespace {

constexpr DWORD kFillSectorsFactor = 20;
constexpr size_t kPageSize = 4096;

/// The platform file behind a no-buffering handle.
class HandleSectorFile final : public SectorFile {
  public:
    explicit HandleSectorFile(tavrel::UniqueHandle handle) : m_handle(std::move(handle)) {}

    HRESULT seekTo(int64_t offset) override
    {
        LARGE_INTEGER to{};
        to.QuadPart = offset;
        return SetFilePointerEx(m_handle.get(), to, nullptr, FILE_BEGIN) ? S_OK : lastErrorResult();
    }
    HRESULT read(void* buffer, DWORD count, DWORD* pRead) override
    {
        return ReadFile(m_handle.get(), buffer, count, pRead, nullptr) ? S_OK : lastErrorResult();
    }
    HRESULT size(int64_t* pSize) override
    {
        LARGE_INTEGER value{};
        if (!GetFileSizeEx(m_handle.get(), &value)) return lastErrorResult();
        *pSize = value.QuadPart;
        return S_OK;
    }

  private:
    tavrel::UniqueHandle m_handle;
};

/// Start of the sector that holds position, rounding toward minus infinity so that a negative
/// position (which Seek accepts) gives a negative start that the file refuses, never a lead-in
/// outside the buffer.
int64_t sectorStart(int64_t position, DWORD sectorSize)
{
    const int64_t s = sectorSize;
    const int64_t rem = position % s;
    return rem < 0 ? position - rem - s : position - rem;
}

} // namespace

void CNoBufferingStream::AlignedFree::operator()(BYTE* p) const
{
    ::operator delete[](p, std::align_val_t{alignment});
}

size_t CNoBufferingStream::bufferAlignment(DWORD nSectorSize)
{
    const bool powerOfTwo = nSectorSize != 0 && (nSectorSize & (nSectorSize - 1)) == 0;
    return powerOfTwo && nSectorSize > kPageSize ? nSectorSize : kPageSize;
}

HRESULT CNoBufferingStream::OpenFile(LPCWSTR pszPath, IStream** ppStream, int nMode)
{
    if (!ppStream) return E_INVALIDARG;
    *ppStream = nullptr;
    if (nMode == 1) return E_NOTIMPL;
    if (!pszPath || pszPath[0] == u'\0' || pszPath[1] == u'\0') return E_INVALIDARG;

    // The bytes per sector of the volume that holds the file. The platform names a volume by
    // any existing folder on it, so the file's folder is asked rather than a drive root; a
    // missing file is then reported by the open below, as for a buffered open.
    const std::u16string_view path(pszPath);
    const size_t slash = path.find_last_of(u"/\\");
    std::u16string folder;
    if (slash != std::u16string_view::npos) folder.assign(path.substr(0, slash == 0 ? 1 : slash));
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(folder.empty() ? nullptr : folder.c_str(), &sectorsPerCluster,
                           &bytesPerSector, &freeClusters, &totalClusters))
        return lastErrorResult();
    if (bytesPerSector == 0) return E_FAIL;

    tavrel::UniqueHandle handle(
        CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return lastErrorResult();

    // On allocation failure the handle's owner closes the file again.
    std::unique_ptr<SectorFile> file(new (std::nothrow) HandleSectorFile(std::move(handle)));
    if (!file) return E_OUTOFMEMORY;
    return create(std::move(file), bytesPerSector, ppStream);
}

HRESULT CNoBufferingStream::create(std::unique_ptr<SectorFile> file, DWORD nSectorSize,
                                   IStream** ppStream)
{
    if (!ppStream) return E_INVALIDARG;
    *ppStream = nullptr;
    if (!file || nSectorSize == 0) return E_INVALIDARG;
    CNoBufferingStream* stream = createNew(std::move(file), nSectorSize);
    if (!stream) return E_OUTOFMEMORY;
    *ppStream = stream; // the creation reference
    return S_OK;
}

CNoBufferingStream::CNoBufferingStream(std::unique_ptr<SectorFile> file, DWORD nSectorSize)
    : m_sectorSize(nSectorSize), m_file(std::move(file))
{
    InitializeCriticalSection(&m_lock);
}

CNoBufferingStream::~CNoBufferingStream()
{
    m_buffer.reset();
    m_file.reset(); // closes the file
    DeleteCriticalSection(&m_lock);
}

CNoBufferingStream::BufferState CNoBufferingStream::bufferState()
{
    tavrel::CriticalSectionLock hold(m_lock);
    return {m_position, m_bufferOffset, m_validCount, m_capacity, m_buffer.get()};
}

HRESULT CNoBufferingStream::fill(int64_t alignedStart, DWORD fillSize)
{
    if (m_capacity != fillSize) {
        m_buffer.reset();
        m_capacity = 0;
        m_validCount = 0;
        const size_t alignment = bufferAlignment(m_sectorSize);
        auto* bytes = static_cast<BYTE*>(
            ::operator new[](fillSize, std::align_val_t{alignment}, std::nothrow));
        if (!bytes) return E_OUTOFMEMORY;
        m_buffer = Buffer(bytes, AlignedFree{alignment});
        m_capacity = fillSize;
    }
    m_validCount = 0;
    DWORD got = 0;
    RETURN_IF_FAILED(m_file->read(m_buffer.get(), fillSize, &got));
    m_validCount = std::min(got, fillSize);
    m_bufferOffset = alignedStart;
    return S_OK;
}

STDMETHODIMP CNoBufferingStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    tavrel::CriticalSectionLock hold(m_lock);
    if (!pv || !pcbRead || cb == 0) return E_INVALIDARG;

    const int64_t alignedStart = sectorStart(m_position, m_sectorSize);
    const auto leadIn = static_cast<uint64_t>(m_position - alignedStart); // 0 <= d < S
    // Twenty times the whole sectors the request touches. A request whose fill would not fit
    // in 32 bits cannot be served by one buffer and is refused.
    const uint64_t sectors = (uint64_t{cb} + leadIn + m_sectorSize - 1) / m_sectorSize;
    const uint64_t fillSize = sectors * m_sectorSize * kFillSectorsFactor;
    if (fillSize > UINT32_MAX) return E_INVALIDARG;
    const auto n32 = static_cast<DWORD>(fillSize);

    RETURN_IF_FAILED(m_file->seekTo(alignedStart));

    const bool hit = m_validCount != 0 && m_capacity == n32 && m_bufferOffset == alignedStart;
    if (!hit) {
        RETURN_IF_FAILED(fill(alignedStart, n32));
        if (m_validCount == 0) {
            *pcbRead = 0;
            return S_FALSE;
        }
    }

    DWORD n = cb;
    if (m_validCount != m_capacity)
        n = m_validCount > leadIn ? std::min<DWORD>(cb, m_validCount - static_cast<DWORD>(leadIn))
                                  : 0;
    if (n) std::memcpy(pv, m_buffer.get() + leadIn, n);
    *pcbRead = n;
    m_position += n;
    return S_OK;
}

STDMETHODIMP CNoBufferingStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                      ULARGE_INTEGER* plibNewPosition)
{
    tavrel::CriticalSectionLock hold(m_lock);
    int64_t base = 0;
    switch (dwOrigin) {
    case STREAM_SEEK_SET:
        break;
    case STREAM_SEEK_CUR:
        base = m_position;
        break;
    case STREAM_SEEK_END:
        RETURN_IF_FAILED(m_file->size(&base));
        break;
    default:
        return STG_E_INVALIDFUNCTION;
    }
    int64_t target = 0;
    // A move that overflows the 64-bit position lands nowhere a file can be.
    if (__builtin_add_overflow(base, dlibMove.QuadPart, &target))
        return HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK);
    m_position = target;
    if (plibNewPosition) plibNewPosition->QuadPart = static_cast<uint64_t>(m_position);
    return S_OK;
}

STDMETHODIMP CNoBufferingStream::Stat(STATSTG* pstatstg, DWORD)
{
    tavrel::CriticalSectionLock hold(m_lock);
    if (!pstatstg) return E_INVALIDARG;
    int64_t size = 0;
    RETURN_IF_FAILED(m_file->size(&size));
    pstatstg->cbSize.QuadPart = static_cast<uint64_t>(size);
    return S_OK;
}

} // namespace mio
