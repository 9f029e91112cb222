// SPDX-License-Identifier: MIT
// CNoBufferingStream: a read-only IStream over a file opened without the system file cache.
#pragma once

#include <tavrel/platform/com_object.h>
#include <tavrel/platform/files.h>
#include <tavrel/platform/sync.h>

#include <cstdint>
#include <memory>

namespace mio {

/// The file under a CNoBufferingStream. Reads start at a sector multiple and cover whole
/// sectors; the production file is a platform handle opened with FILE_FLAG_NO_BUFFERING, a test
/// may put an in-memory file with a sector size of its choosing in its place.
class SectorFile {
  public:
    virtual ~SectorFile() = default;
    /// Moves the file pointer to an absolute offset (SetFilePointerEx, FILE_BEGIN).
    [[nodiscard]] virtual HRESULT seekTo(int64_t offset) = 0;
    /// Reads up to count bytes at the file pointer; *pRead is 0 at or past the end.
    [[nodiscard]] virtual HRESULT read(void* buffer, DWORD count, DWORD* pRead) = 0;
    [[nodiscard]] virtual HRESULT size(int64_t* pSize) = 0;
};

/// Byte-exact reads at any position over a file that takes only sector-aligned reads: each
/// request reads a sector-aligned span twenty times the sectors it touches into a buffer of its
/// own and copies from there. A later request that starts in the same sector and touches the
/// same number of sectors is served from that buffer. Writing and transacting methods answer
/// E_NOTIMPL. Read, Seek and Stat hold the stream's lock, so any thread may call.
class CNoBufferingStream final : public tavrel::ComObject<CNoBufferingStream, IStream> {
  public:
    /// Opens pszPath for unbuffered reading, at the sector size of the volume that holds the
    /// file's folder. Mode 0 (and every mode but 1) reads; mode 1 is E_NOTIMPL. E_INVALIDARG
    /// for a missing out-parameter or a path under 2 characters; the converted system error when
    /// the volume or the file cannot be opened. The stream comes back with one reference, the
    /// caller's; it owns the file from then on.
    static HRESULT OpenFile(LPCWSTR pszPath, IStream** ppStream, int nMode);

    /// A stream over any sector file with the given sector size (a test seam; sector size 0 is
    /// E_INVALIDARG). Same ownership as OpenFile; the stream owns the file.
    static HRESULT create(std::unique_ptr<SectorFile> file, DWORD nSectorSize, IStream** ppStream);

    /// Buffer alignment in bytes: the sector size when it is a power of two of at least a page,
    /// else a page; what direct I/O demands of buffer addresses on every common file system.
    static size_t bufferAlignment(DWORD nSectorSize);

    // Read-only views of the buffer state, for tests and diagnostics; each takes the lock.
    struct BufferState {
        int64_t position;
        int64_t bufferOffset;
        DWORD validCount;
        DWORD capacity;
        const void* buffer;
    };
    BufferState bufferState();
    DWORD sectorSize() const { return m_sectorSize; }

    // ISequentialStream
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    // IStream
    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                      ULARGE_INTEGER* plibNewPosition) override;
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

  private:
    friend class tavrel::ComObject<CNoBufferingStream, IStream>;
    CNoBufferingStream(std::unique_ptr<SectorFile> file, DWORD nSectorSize);
    ~CNoBufferingStream() override;

    struct AlignedFree {
        size_t alignment;
        void operator()(BYTE* p) const;
    };
    using Buffer = std::unique_ptr<BYTE, AlignedFree>;

    HRESULT fill(int64_t alignedStart, DWORD fillSize);

    CRITICAL_SECTION m_lock;
    const DWORD m_sectorSize;
    std::unique_ptr<SectorFile> m_file;
    int64_t m_position = 0;
    int64_t m_bufferOffset = 0;
    DWORD m_validCount = 0;
    DWORD m_capacity = 0;
    Buffer m_buffer{nullptr, AlignedFree{0}};
};

} // namespace mio
