// SPDX-License-Identifier: MIT
// The unbuffered stream: sector-aligned fills, the buffer hit rule, end of file, seeking, limits.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "imageobject/no_buffering_stream.h"
#include "support/test_support.h"

using mio::CNoBufferingStream;

namespace {

struct FileLog {
    int reads = 0;
    int64_t lastOffset = -1;
    DWORD lastCount = 0;
    HRESULT failReadsWith = S_OK;
};

/// An in-memory file that, like an unbuffered handle, takes only sector-aligned reads.
class MemorySectorFile final : public mio::SectorFile {
  public:
    MemorySectorFile(std::vector<uint8_t> bytes, DWORD sector, std::shared_ptr<FileLog> log)
        : m_bytes(std::move(bytes)), m_sector(sector), m_log(std::move(log))
    {
    }
    HRESULT seekTo(int64_t offset) override
    {
        if (offset < 0) return HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK);
        m_pointer = offset;
        return S_OK;
    }
    HRESULT read(void* buffer, DWORD count, DWORD* pRead) override
    {
        *pRead = 0;
        if (FAILED(m_log->failReadsWith)) return m_log->failReadsWith;
        if (m_pointer % m_sector || count % m_sector)
            return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
        ++m_log->reads;
        m_log->lastOffset = m_pointer;
        m_log->lastCount = count;
        const auto size = static_cast<int64_t>(m_bytes.size());
        if (m_pointer >= size) return S_OK;
        *pRead = static_cast<DWORD>(std::min<int64_t>(count, size - m_pointer));
        std::memcpy(buffer, m_bytes.data() + m_pointer, *pRead);
        m_pointer += *pRead;
        return S_OK;
    }
    HRESULT size(int64_t* pSize) override
    {
        *pSize = static_cast<int64_t>(m_bytes.size());
        return S_OK;
    }

  private:
    std::vector<uint8_t> m_bytes;
    DWORD m_sector;
    int64_t m_pointer = 0;
    std::shared_ptr<FileLog> m_log;
};

std::vector<uint8_t> patternBytes(size_t size, unsigned seed = 7)
{
    std::vector<uint8_t> bytes(size);
    std::mt19937 rng(seed);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

struct Opened {
    ComPtr<IStream> stream;
    CNoBufferingStream* object() const { return static_cast<CNoBufferingStream*>(stream.Get()); }
};

Opened overMemory(const std::vector<uint8_t>& bytes, DWORD sector, std::shared_ptr<FileLog> log)
{
    Opened o;
    EXPECT_EQ(CNoBufferingStream::create(std::make_unique<MemorySectorFile>(bytes, sector, log),
                                         sector, o.stream.GetAddressOf()),
              S_OK);
    return o;
}

HRESULT seekTo(IStream* stream, int64_t position, DWORD origin = STREAM_SEEK_SET,
               ULARGE_INTEGER* out = nullptr)
{
    LARGE_INTEGER move{};
    move.QuadPart = position;
    return stream->Seek(move, origin, out);
}

std::u16string widePath(const std::filesystem::path& path)
{
    return support::u16(path.string());
}

DWORD realSectorSize(const std::filesystem::path& folder)
{
    DWORD spc = 0, bps = 0, fc = 0, tc = 0;
    EXPECT_TRUE(GetDiskFreeSpaceW(widePath(folder).c_str(), &spc, &bps, &fc, &tc));
    return bps;
}

/// The fill-and-hit sequence, stated in sectors so that it holds at any sector size: a small
/// read fills 20 sectors, a read in the same first sector with the same span is served from
/// memory, a read that starts in the next sector refills, a longer span replaces the buffer.
void checkFillSequence(const Opened& o, const std::vector<uint8_t>& bytes, DWORD s,
                       const FileLog* log)
{
    std::vector<uint8_t> got(2 * s);
    ULONG n = 0;
    ASSERT_EQ(o.stream->Read(got.data(), 100, &n), S_OK);
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(0, std::memcmp(got.data(), bytes.data(), 100));
    auto state = o.object()->bufferState();
    EXPECT_EQ(state.position, 100);
    EXPECT_EQ(state.bufferOffset, 0);
    EXPECT_EQ(state.capacity, 20 * s);
    EXPECT_EQ(state.validCount, 20 * s);
    if (log) {
        EXPECT_EQ(log->reads, 1);
    }
    if (log) {
        EXPECT_EQ(log->lastCount, 20 * s);
    }
    const void* firstBuffer = state.buffer;

    ASSERT_EQ(o.stream->Read(got.data(), 100, &n), S_OK); // hit
    EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + 100, 100));
    if (log) {
        EXPECT_EQ(log->reads, 1);
    }

    ASSERT_EQ(seekTo(o.stream.Get(), s + 88), S_OK); // next sector: refill although buffered
    ASSERT_EQ(o.stream->Read(got.data(), 100, &n), S_OK);
    EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + s + 88, 100));
    state = o.object()->bufferState();
    EXPECT_EQ(state.bufferOffset, static_cast<int64_t>(s));
    EXPECT_EQ(state.buffer, firstBuffer); // same fill size keeps the allocation
    if (log) {
        EXPECT_EQ(log->reads, 2);
    }
    if (log) {
        EXPECT_EQ(log->lastOffset, static_cast<int64_t>(s));
    }

    ASSERT_EQ(seekTo(o.stream.Get(), 0), S_OK); // two sectors' span: 40 sectors of buffer
    ASSERT_EQ(o.stream->Read(got.data(), s + 1, &n), S_OK);
    EXPECT_EQ(n, s + 1);
    EXPECT_EQ(0, std::memcmp(got.data(), bytes.data(), s + 1));
    state = o.object()->bufferState();
    EXPECT_EQ(state.capacity, 40 * s);
    EXPECT_EQ(state.bufferOffset, 0);
    if (log) {
        EXPECT_EQ(log->reads, 3);
    }
}

} // namespace

TEST(NoBufferingStream, FillsTwentySectorsAndServesSameSpanFromMemory)
{
    const auto bytes = patternBytes(64 * 1024);
    auto log = std::make_shared<FileLog>();
    Opened o = overMemory(bytes, 512, log);
    checkFillSequence(o, bytes, 512, log.get());
    // The expected fill sizes at 512-byte sectors: 10,240 then 20,480.
    EXPECT_EQ(o.object()->bufferState().capacity, 20480u);
}

TEST(NoBufferingStream, ReportsShortReadsAndEndOfFile)
{
    const auto bytes = patternBytes(100);
    auto log = std::make_shared<FileLog>();
    Opened o = overMemory(bytes, 512, log);
    uint8_t got[10] = {};
    ULONG n = 99;

    ASSERT_EQ(seekTo(o.stream.Get(), 95), S_OK);
    EXPECT_EQ(o.stream->Read(got, 10, &n), S_OK);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(0, std::memcmp(got, bytes.data() + 95, 5));

    // Position 100: the fill found bytes, all before the position.
    EXPECT_EQ(o.stream->Read(got, 10, &n), S_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(o.object()->bufferState().position, 100);

    // Position 512: the fill finds nothing at all.
    ASSERT_EQ(seekTo(o.stream.Get(), 512), S_OK);
    EXPECT_EQ(o.stream->Read(got, 10, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(o.object()->bufferState().validCount, 0u);
}

TEST(NoBufferingStream, RefusesBadReadArgumentsAndOversizedFills)
{
    const auto bytes = patternBytes(4096);
    auto log = std::make_shared<FileLog>();
    Opened o = overMemory(bytes, 512, log);
    uint8_t got[4] = {};
    ULONG n = 0;
    EXPECT_EQ(o.stream->Read(got, 0, &n), E_INVALIDARG);
    EXPECT_EQ(o.stream->Read(nullptr, 4, &n), E_INVALIDARG);
    EXPECT_EQ(o.stream->Read(got, 4, nullptr), E_INVALIDARG);
    // 20 x the span of a 4 GiB request cannot be one 32-bit buffer.
    EXPECT_EQ(o.stream->Read(got, 0xFFFFFFFFu, &n), E_INVALIDARG);
    EXPECT_EQ(o.stream->Read(got, 0x0CCCCE00u, &n), E_INVALIDARG); // fill just over 2^32
    EXPECT_EQ(log->reads, 0);
    EXPECT_EQ(o.object()->bufferState().capacity, 0u);
}

TEST(NoBufferingStream, FailedReadLeavesPositionAndBufferOffset)
{
    const auto bytes = patternBytes(8192);
    auto log = std::make_shared<FileLog>();
    Opened o = overMemory(bytes, 512, log);
    uint8_t got[100];
    ULONG n = 0;
    ASSERT_EQ(o.stream->Read(got, 100, &n), S_OK);
    ASSERT_EQ(seekTo(o.stream.Get(), 700), S_OK);
    log->failReadsWith = HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    EXPECT_EQ(o.stream->Read(got, 100, &n), HRESULT_FROM_WIN32(ERROR_READ_FAULT));
    auto state = o.object()->bufferState();
    EXPECT_EQ(state.position, 700);
    EXPECT_EQ(state.bufferOffset, 0);
    EXPECT_EQ(state.validCount, 0u); // nothing usable is left behind
    log->failReadsWith = S_OK;
    ASSERT_EQ(o.stream->Read(got, 100, &n), S_OK);
    EXPECT_EQ(0, std::memcmp(got, bytes.data() + 700, 100));
}

TEST(NoBufferingStream, NegativePositionFailsInsteadOfReadingBeforeTheBuffer)
{
    const auto bytes = patternBytes(4096);
    auto log = std::make_shared<FileLog>();
    Opened o = overMemory(bytes, 512, log);
    ASSERT_EQ(seekTo(o.stream.Get(), -10), S_OK); // Seek itself accepts it
    uint8_t got[8];
    ULONG n = 5;
    EXPECT_EQ(o.stream->Read(got, 8, &n), HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(o.object()->bufferState().position, -10);
    EXPECT_EQ(log->reads, 0);
}

TEST(NoBufferingStream, SeeksFromEachOriginAndReportsSize)
{
    const auto bytes = patternBytes(100);
    Opened o = overMemory(bytes, 512, std::make_shared<FileLog>());
    ULARGE_INTEGER at{};
    EXPECT_EQ(seekTo(o.stream.Get(), -10, STREAM_SEEK_END, &at), S_OK);
    EXPECT_EQ(at.QuadPart, 90u);
    EXPECT_EQ(seekTo(o.stream.Get(), 5, STREAM_SEEK_CUR, &at), S_OK);
    EXPECT_EQ(at.QuadPart, 95u);
    EXPECT_EQ(seekTo(o.stream.Get(), 1, 3, &at), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(o.object()->bufferState().position, 95);
    EXPECT_EQ(o.object()->bufferState().capacity, 0u); // seeking never touches the buffer
    // A move past the 64-bit range is refused rather than wrapping.
    ASSERT_EQ(seekTo(o.stream.Get(), INT64_MAX), S_OK);
    EXPECT_EQ(seekTo(o.stream.Get(), 1, STREAM_SEEK_CUR), HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(o.object()->bufferState().position, INT64_MAX);

    STATSTG stat{};
    stat.pwcsName = reinterpret_cast<LPOLESTR>(0x1234);
    stat.type = 77;
    EXPECT_EQ(o.stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, 100u);
    EXPECT_EQ(stat.pwcsName, reinterpret_cast<LPOLESTR>(0x1234));
    EXPECT_EQ(stat.type, 77u);
    EXPECT_EQ(o.stream->Stat(nullptr, 0), E_INVALIDARG);
}

TEST(NoBufferingStream, BufferMeetsDirectIoAlignment)
{
    EXPECT_EQ(CNoBufferingStream::bufferAlignment(512), 4096u);
    EXPECT_EQ(CNoBufferingStream::bufferAlignment(4096), 4096u);
    EXPECT_EQ(CNoBufferingStream::bufferAlignment(8192), 8192u);
    EXPECT_EQ(CNoBufferingStream::bufferAlignment(520), 4096u);
    for (DWORD sector : {512u, 8192u}) {
        Opened o = overMemory(patternBytes(3 * sector), sector, std::make_shared<FileLog>());
        uint8_t got[3];
        ULONG n = 0;
        ASSERT_EQ(o.stream->Read(got, 3, &n), S_OK);
        const auto address = reinterpret_cast<uintptr_t>(o.object()->bufferState().buffer);
        EXPECT_EQ(address % CNoBufferingStream::bufferAlignment(sector), 0u) << sector;
    }
}

TEST(NoBufferingStream, UnallocatableFillIsOutOfMemory)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit allows";
#endif
    // In a child with a small address-space limit, a fill of nearly 4 GiB cannot be allocated.
    EXPECT_EXIT(
        {
            Opened o = overMemory(patternBytes(4096), 512, std::make_shared<FileLog>());
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = rlim_t{1} << 30;
            setrlimit(RLIMIT_AS, &limit);
            uint8_t got[1];
            ULONG n = 0;
            // 0x0CCCC000 bytes span 0x66666 sectors; 20 x that is just under 2^32.
            const HRESULT hr = o.stream->Read(got, 0x0CCCC000u, &n);
            std::exit(hr == E_OUTOFMEMORY && o.object()->bufferState().capacity == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(NoBufferingStreamOpen, RefusesBeforeTouchingTheVolume)
{
    IStream* stream = reinterpret_cast<IStream*>(0x1);
    EXPECT_EQ(CNoBufferingStream::OpenFile(u"/nonexistent/x.jpg", nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(CNoBufferingStream::OpenFile(u"/nonexistent/x.jpg", &stream, 1), E_NOTIMPL);
    EXPECT_EQ(stream, nullptr);
    // A one-character path is refused before the volume is asked (which would fail otherwise).
    EXPECT_EQ(CNoBufferingStream::OpenFile(u"x", &stream, 0), E_INVALIDARG);
    const HRESULT missing = CNoBufferingStream::OpenFile(u"/nonexistent/x.jpg", &stream, 0);
    EXPECT_TRUE(missing == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
                missing == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        << std::hex << missing;
    EXPECT_EQ(stream, nullptr);
    support::TempDir dir;
    EXPECT_EQ(CNoBufferingStream::OpenFile(widePath(dir / "absent.jpg").c_str(), &stream, 0),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

class NoBufferingStreamOnDisk : public ::testing::TestWithParam<bool> {
  protected:
    void TearDown() override { TavrelSetDirectIoRefused(FALSE); }
};

TEST_P(NoBufferingStreamOnDisk, ReadsByteExactAtTheVolumeSectorSize)
{
    TavrelSetDirectIoRefused(GetParam() ? TRUE : FALSE);
    support::TempDir dir;
    const auto bytes = patternBytes(300'001, 11);
    support::writeFile(dir / "data.bin", bytes);
    const DWORD sector = realSectorSize(dir.path());
    ASSERT_GT(sector, 0u);

    Opened o;
    ASSERT_EQ(CNoBufferingStream::OpenFile(widePath(dir / "data.bin").c_str(),
                                           o.stream.GetAddressOf(), 0),
              S_OK);
    EXPECT_EQ(o.object()->sectorSize(), sector);
    checkFillSequence(o, bytes, sector, nullptr);

    // Reads of many lengths at many positions, the tail included.
    std::mt19937 rng(3);
    std::vector<uint8_t> got(70'000);
    for (int i = 0; i < 200; ++i) {
        const auto position = static_cast<int64_t>(rng() % bytes.size());
        const auto count = static_cast<ULONG>(1 + rng() % got.size());
        ASSERT_EQ(seekTo(o.stream.Get(), position), S_OK);
        ULONG n = 0;
        ASSERT_EQ(o.stream->Read(got.data(), count, &n), S_OK);
        const auto expected =
            std::min<int64_t>(count, static_cast<int64_t>(bytes.size()) - position);
        ASSERT_EQ(n, static_cast<ULONG>(expected)) << position << "+" << count;
        ASSERT_EQ(0, std::memcmp(got.data(), bytes.data() + position, n)) << position;
    }
    STATSTG stat{};
    ASSERT_EQ(o.stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, bytes.size());
}

INSTANTIATE_TEST_SUITE_P(DirectAndFallback, NoBufferingStreamOnDisk, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Fallback" : "Direct"; });
