// SPDX-License-Identifier: MIT
// File handles, unbuffered reads, path operations, file times and the errno table.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "tavrel/platform/files.h"

namespace fs = std::filesystem;

namespace {

std::u16string w(const fs::path& p)
{
    return support::u16(p.string());
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>((i * 131 + i / 251) & 0xFF);
    return bytes;
}

// Closes a handle at scope end; the tests check CloseHandle's result where it matters.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle()
    {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool valid() const { return h != INVALID_HANDLE_VALUE; }
};

HANDLE openRead(const fs::path& p, DWORD flags = FILE_ATTRIBUTE_NORMAL,
                DWORD share = FILE_SHARE_READ)
{
    return CreateFileW(w(p).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

// A buffer aligned for O_DIRECT.
struct AlignedBuffer {
    explicit AlignedBuffer(size_t n)
        : data(static_cast<uint8_t*>(std::aligned_alloc(4096, (n + 4095) / 4096 * 4096)))
    {
    }
    ~AlignedBuffer() { std::free(data); }
    uint8_t* data;
};

class Files : public ::testing::Test {
  protected:
    support::TempDir dir;
};

} // namespace

TEST_F(Files, OpenFailuresCarryThePlatformErrors)
{
    SetLastError(0);
    EXPECT_EQ(openRead(dir / "missing.jpg"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(HRESULT_FROM_WIN32(GetLastError()), TAVREL_HR(0x80070002));
    EXPECT_EQ(openRead(dir / "no-folder" / "x.jpg"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // A folder is not a file, unless the caller asks for folder semantics.
    EXPECT_EQ(openRead(dir.path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Handle folder(openRead(dir.path(), FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_TRUE(folder.valid());

    EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateFileW(w(dir / "a").c_str(), GENERIC_READ, 0, nullptr, 9, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // A FIFO would block a reader forever and a device may never end: both are refused.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(openRead(dir / "fifo"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(openRead("/dev/zero"), INVALID_HANDLE_VALUE); // would never end
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Files, CreationDispositionsAndAlreadyExists)
{
    const auto path = w(dir / "d.bin");
    support::writeFile(dir / "d.bin", {1, 2, 3});

    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    {
        Handle h(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
        ASSERT_TRUE(h.valid());
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS); // set on success, content kept
        EXPECT_EQ(GetFileSize(h.h, nullptr), 3u);
    }
    {
        Handle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(h.valid());
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        EXPECT_EQ(GetFileSize(h.h, nullptr), 0u);
    }
    const auto fresh = w(dir / "fresh.bin");
    Handle h(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Files, ReadWriteSeekAndEndOfFile)
{
    const auto path = w(dir / "rw.bin");
    Handle h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(h.valid());
    const auto bytes = pattern(1000);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h.h, bytes.data(), 1000, &done, nullptr));
    EXPECT_EQ(done, 1000u);

    LARGE_INTEGER to{}, now{};
    to.QuadPart = -10;
    ASSERT_TRUE(SetFilePointerEx(h.h, to, &now, FILE_END));
    EXPECT_EQ(now.QuadPart, 990);
    uint8_t buf[64];
    ASSERT_TRUE(ReadFile(h.h, buf, sizeof buf, &done, nullptr));
    ASSERT_EQ(done, 10u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 10),
              std::vector<uint8_t>(bytes.end() - 10, bytes.end()));
    // At the end a synchronous read succeeds with nothing.
    done = 77;
    EXPECT_TRUE(ReadFile(h.h, buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(done, 0u);

    // A move before the start fails and leaves the position alone.
    to.QuadPart = -2000;
    SetLastError(0);
    EXPECT_FALSE(SetFilePointerEx(h.h, to, nullptr, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    to.QuadPart = 0;
    ASSERT_TRUE(SetFilePointerEx(h.h, to, &now, FILE_CURRENT));
    EXPECT_EQ(now.QuadPart, 1000);

    // Positioned reads through OVERLAPPED, then truncation at the file pointer.
    OVERLAPPED at{};
    at.Offset = 100;
    ASSERT_TRUE(ReadFile(h.h, buf, 4, &done, &at));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), std::vector<uint8_t>(&bytes[100], &bytes[104]));
    to.QuadPart = 500;
    ASSERT_TRUE(SetFilePointerEx(h.h, to, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h.h));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h.h, &size));
    EXPECT_EQ(size.QuadPart, 500);
    EXPECT_TRUE(FlushFileBuffers(h.h));

    Handle ro(openRead(dir / "rw.bin", FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE));
    ASSERT_TRUE(ro.valid());
    EXPECT_FALSE(WriteFile(ro.h, buf, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReadFile(ro.h, buf, 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Files, BadHandlesFailCleanly)
{
    int local = 0;
    const HANDLE bad[] = {nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(&local),
                          reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x10000))};
    for (HANDLE h : bad) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        DWORD n = 5;
        uint8_t b;
        EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(TavrelGetFileBufferingMode(h), INVALID_FILE_SIZE);
    }
    support::writeFile(dir / "c.bin", {1});
    const HANDLE h = openRead(dir / "c.bin");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(GetFileSizeEx(h, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h)); // a closed handle is never valid again
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    FILETIME t;
    EXPECT_FALSE(GetFileTime(h, &t, nullptr, &t));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // The owner closes exactly once, and a moved-from owner closes nothing.
    HANDLE raw = nullptr;
    {
        tavrel::UniqueHandle owner(openRead(dir / "c.bin"));
        ASSERT_TRUE(owner);
        tavrel::UniqueHandle moved(std::move(owner));
        EXPECT_FALSE(owner);
        raw = moved.get();
    }
    EXPECT_FALSE(CloseHandle(raw));
}

TEST_F(Files, ShareModesAreEnforcedBetweenHandles)
{
    support::writeFile(dir / "s.bin", {1, 2, 3, 4});
    const auto path = w(dir / "s.bin");
    Handle reader(openRead(dir / "s.bin", FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ));
    ASSERT_TRUE(reader.valid());
    Handle second(openRead(dir / "s.bin", FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ));
    EXPECT_TRUE(second.valid());
    // The refused writer must not have truncated anything on its way to the refusal.
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(fs::file_size(dir / "s.bin"), 4u);
    // A reader that does not share reading conflicts with the open readers.
    EXPECT_EQ(openRead(dir / "s.bin", FILE_ATTRIBUTE_NORMAL, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
}

TEST_F(Files, CloseWhileAnotherThreadReadsIsSafe)
{
    support::writeFile(dir / "t.bin", pattern(1 << 16));
    for (int round = 0; round < 20; ++round) {
        const HANDLE h = openRead(dir / "t.bin");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::thread reader([h] {
            uint8_t buf[4096];
            DWORD n;
            while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n) {
            }
        });
        EXPECT_TRUE(CloseHandle(h));
        reader.join();
    }
}

namespace {

// Reads a whole file through an unbuffered handle in sector-aligned chunks, as the unbuffered
// stream does, and returns what came back.
std::vector<uint8_t> readUnbuffered(HANDLE h, DWORD sector, DWORD chunkSectors)
{
    AlignedBuffer buf(sector * chunkSectors);
    std::vector<uint8_t> out;
    for (;;) {
        DWORD n = 0;
        EXPECT_TRUE(ReadFile(h, buf.data, sector * chunkSectors, &n, nullptr));
        out.insert(out.end(), buf.data, buf.data + n);
        if (n < sector * chunkSectors) break;
    }
    return out;
}

void expectUnbufferedReadsExact(const fs::path& folder, bool forceFallback)
{
    const auto bytes = pattern(3 * 4096 + 123); // ends part way into a sector
    const fs::path file = folder / "nb.bin";
    support::writeFile(file, bytes);
    DWORD spc = 0, sector = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(GetDiskFreeSpaceW(w(folder).c_str(), &spc, &sector, &freeClusters, &total));
    ASSERT_GE(sector, 512u);
    ASSERT_EQ(sector & (sector - 1), 0u);

    TavrelSetDirectIoRefused(forceFallback ? TRUE : FALSE);
    Handle h(openRead(file, FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL));
    TavrelSetDirectIoRefused(FALSE);
    ASSERT_TRUE(h.valid());
    const DWORD mode = TavrelGetFileBufferingMode(h.h);
    if (forceFallback)
        EXPECT_EQ(mode, TAVREL_BUFFERING_FALLBACK);
    else
        EXPECT_NE(mode, TAVREL_BUFFERING_CACHED);

    EXPECT_EQ(readUnbuffered(h.h, sector, 3), bytes);
    // An aligned read past the end succeeds with nothing.
    AlignedBuffer buf(sector);
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>((bytes.size() + sector - 1) / sector * sector);
    ASSERT_TRUE(SetFilePointerEx(h.h, at, nullptr, FILE_BEGIN));
    DWORD n = 9;
    EXPECT_TRUE(ReadFile(h.h, buf.data, sector, &n, nullptr));
    EXPECT_EQ(n, 0u);
    // Positioned read of one sector in the middle.
    at.QuadPart = sector;
    ASSERT_TRUE(SetFilePointerEx(h.h, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(ReadFile(h.h, buf.data, sector, &n, nullptr));
    ASSERT_EQ(n, sector);
    EXPECT_EQ(std::vector<uint8_t>(buf.data, buf.data + sector),
              std::vector<uint8_t>(bytes.begin() + sector, bytes.begin() + 2 * sector));
    // Unaligned offsets and lengths are refused the same way with or without O_DIRECT.
    at.QuadPart = 1;
    ASSERT_TRUE(SetFilePointerEx(h.h, at, nullptr, FILE_BEGIN));
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h.h, buf.data, sector, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

} // namespace

TEST_F(Files, UnbufferedReadsAreByteExactOnDisk)
{
    expectUnbufferedReadsExact(dir.path(), false);
}

TEST_F(Files, UnbufferedFallbackIsByteExactWhereODirectIsRefused)
{
    expectUnbufferedReadsExact(dir.path(), true);
    // tmpfs: refuses O_DIRECT on older kernels, takes it on newer ones; either way exact.
    if (fs::is_directory("/dev/shm")) {
        support::TempDir shm;
        const fs::path folder = fs::path("/dev/shm") / shm.path().filename();
        fs::create_directories(folder);
        expectUnbufferedReadsExact(folder, false);
        expectUnbufferedReadsExact(folder, true);
        fs::remove_all(folder);
    }
}

namespace {

/// Pages of a file that sit in the page cache.
size_t residentPages(const fs::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const size_t size = fs::file_size(file);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return SIZE_MAX;
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> vec((size + page - 1) / page);
    size_t resident = 0;
    if (::mincore(map, size, vec.data()) == 0)
        for (const unsigned char v : vec)
            resident += v & 1;
    ::munmap(map, size);
    return resident;
}

} // namespace

TEST_F(Files, UnbufferedReadsLeaveThePageCacheEmpty)
{
    struct statfs sfs {};
    ASSERT_EQ(::statfs(dir.path().c_str(), &sfs), 0);
    if (sfs.f_type == 0x01021994) GTEST_SKIP() << "tmpfs pages are the storage itself";
    const fs::path file = dir / "cache.bin";
    support::writeFile(file, pattern(1 << 20));
    {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::fsync(fd), 0);
        ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
        ::close(fd);
    }
    for (const bool refuse : {false, true}) {
        TavrelSetDirectIoRefused(refuse ? TRUE : FALSE);
        Handle h(openRead(file, FILE_FLAG_NO_BUFFERING));
        TavrelSetDirectIoRefused(FALSE);
        ASSERT_TRUE(h.valid());
        DWORD sector = 0;
        ASSERT_TRUE(GetDiskFreeSpaceW(w(dir.path()).c_str(), nullptr, &sector, nullptr, nullptr));
        EXPECT_EQ(readUnbuffered(h.h, sector, 20).size(), 1u << 20);
        EXPECT_EQ(residentPages(file), 0u) << (refuse ? "fallback" : "direct");
    }
    // The same read through a cached handle does fill the cache: the check above can fail.
    Handle cached(openRead(file));
    std::vector<uint8_t> all(1 << 20);
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(cached.h, all.data(), 1 << 20, &n, nullptr));
    EXPECT_GT(residentPages(file), 0u);
}

TEST_F(Files, FileTimesComeFromTheFile)
{
    support::writeFile(dir / "t.bin", {1});
    struct timespec times[2] = {{1'000'000'000, 250'000'000}, {1'500'000'000, 123'456'789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "t.bin").c_str(), times, 0), 0);
    Handle h(openRead(dir / "t.bin"));
    ASSERT_TRUE(h.valid());
    FILETIME created{}, accessed{}, written{};
    ASSERT_TRUE(GetFileTime(h.h, &created, &accessed, &written));
    const auto ticks = [](const FILETIME& f) {
        return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    EXPECT_EQ(ticks(written), 1'500'000'000ull * 10'000'000 + 116444736000000000ull + 1'234'567);
    EXPECT_EQ(ticks(accessed), 1'000'000'000ull * 10'000'000 + 116444736000000000ull + 2'500'000);
    // Birth time is "now" (made in this test), never the back-dated write time.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    EXPECT_GT(ticks(created), ticks(written));
    EXPECT_LE(ticks(created), ticks(now));
    EXPECT_TRUE(GetFileTime(h.h, nullptr, nullptr, nullptr));
}

TEST(FileTime, UnixAndCalendarConversions)
{
    FILETIME ft{};
    ASSERT_TRUE(TavrelUnixTimeToFileTime(0, 0, &ft));
    EXPECT_EQ((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime,
              116444736000000000ull);
    EXPECT_FALSE(TavrelUnixTimeToFileTime(-11644473601, 0, &ft)); // before 1601

    LONGLONG s = 0;
    DWORD ns = 0;
    ASSERT_TRUE(TavrelUnixTimeToFileTime(-1, 500'000'000, &ft)); // 1969-12-31 23:59:59.5
    TavrelFileTimeToUnixTime(&ft, &s, &ns);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(ns, 500'000'000u);

    SYSTEMTIME st{};
    ASSERT_TRUE(TavrelUnixTimeToFileTime(1709210096, 789'000'000, &ft)); // 2024-02-29 12:34:56
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 2024);
    EXPECT_EQ(st.wMonth, 2);
    EXPECT_EQ(st.wDay, 29);
    EXPECT_EQ(st.wDayOfWeek, 4); // Thursday
    EXPECT_EQ(st.wHour, 12);
    EXPECT_EQ(st.wMinute, 34);
    EXPECT_EQ(st.wSecond, 56);
    EXPECT_EQ(st.wMilliseconds, 789);
    FILETIME back{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
    EXPECT_EQ(CompareFileTime(&ft, &back), 0);

    SYSTEMTIME epoch{1601, 1, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&epoch, &back));
    EXPECT_EQ(back.dwLowDateTime | back.dwHighDateTime, 0u);
    ASSERT_TRUE(FileTimeToSystemTime(&back, &st));
    EXPECT_EQ(st.wDayOfWeek, 1); // a Monday

    const SYSTEMTIME bad[] = {{2023, 2, 0, 29, 0, 0, 0, 0},
                              {2024, 13, 0, 1, 0, 0, 0, 0},
                              {1600, 12, 0, 31, 0, 0, 0, 0},
                              {2024, 1, 0, 1, 24, 0, 0, 0},
                              {2024, 1, 0, 1, 0, 0, 0, 1000}};
    for (const auto& b : bad) {
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&b, &back));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    const FILETIME tooLate{0, 0x80000000u};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &st));
}

TEST(FileTime, LocalTimeUsesTheZoneOffsetOfThatInstant)
{
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    FILETIME winter{}, summer{}, local{};
    ASSERT_TRUE(TavrelUnixTimeToFileTime(1704067200, 0, &winter)); // 2024-01-01 00:00 UTC
    ASSERT_TRUE(TavrelUnixTimeToFileTime(1719792000, 0, &summer)); // 2024-07-01 00:00 UTC
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&winter, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(st.wHour, 1);
    ASSERT_TRUE(FileTimeToLocalFileTime(&summer, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(st.wHour, 2);
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST_F(Files, CopyMoveDeleteAndFolders)
{
    const auto src = dir / "src.bin", dst = dir / "dst.bin";
    const auto bytes = pattern(70000);
    support::writeFile(src, bytes);
    support::writeFile(dst, {9, 9});
    struct timespec times[2] = {{1'600'000'000, 0}, {1'600'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), times, 0), 0);

    EXPECT_FALSE(CopyFileW(w(src).c_str(), w(dst).c_str(), TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(support::readFile(dst), (std::vector<uint8_t>{9, 9}));
    EXPECT_FALSE(CopyFileW(w(dir / "nope").c_str(), w(dst).c_str(), FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(support::readFile(dst), (std::vector<uint8_t>{9, 9}));

    ASSERT_TRUE(CopyFileW(w(src).c_str(), w(dst).c_str(), FALSE));
    EXPECT_EQ(support::readFile(dst), bytes);
    struct stat st {};
    ASSERT_EQ(::stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1'600'000'000);
    // Only the two files remain: no temporary sibling is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);

    const auto moved = dir / "moved.bin";
    support::writeFile(moved, {1});
    EXPECT_FALSE(MoveFileExW(w(dst).c_str(), w(moved).c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(MoveFileExW(w(dst).c_str(), w(moved).c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(support::readFile(moved), bytes);
    EXPECT_FALSE(fs::exists(dst));

    EXPECT_TRUE(DeleteFileW(w(moved).c_str()));
    EXPECT_FALSE(DeleteFileW(w(moved).c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileW(w(dir.path()).c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    const auto sub = dir / "sub";
    EXPECT_TRUE(CreateDirectoryW(w(sub).c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(w(sub).c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(w(dir / "a" / "b").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(w(sub).c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesW(w(src).c_str()), FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_EQ(::chmod(src.c_str(), 0444), 0);
    EXPECT_EQ(GetFileAttributesW(w(src).c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesW(w(dir / "gone").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Files, MovesAcrossFileSystemsOnlyWhenCopyingIsAllowed)
{
    if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no second file system";
    const fs::path other = fs::path("/dev/shm") / ("tavrel-move-" + std::to_string(::getpid()));
    support::writeFile(other, {5, 6, 7});
    const auto target = dir / "moved.bin";
    if (!MoveFileExW(w(other).c_str(), w(target).c_str(), 0)) {
        EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
        EXPECT_TRUE(fs::exists(other));
        ASSERT_TRUE(MoveFileExW(w(other).c_str(), w(target).c_str(), MOVEFILE_COPY_ALLOWED));
    }
    EXPECT_FALSE(fs::exists(other));
    EXPECT_EQ(support::readFile(target), (std::vector<uint8_t>{5, 6, 7}));
}

TEST_F(Files, DeleteOnCloseRemovesTheFileWithItsHandle)
{
    const auto path = dir / "scratch.tmp";
    const HANDLE h = CreateFileW(w(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    at.Offset = 4;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "abcd", 4, &n, &at)); // positioned write leaves a hole at 0..3
    EXPECT_EQ(GetFileSize(h, nullptr), 8u);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(Files, FullPathsAndTemporaryNames)
{
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    char16_t buf[MAX_PATH];
    LPWSTR part = nullptr;
    const DWORD n = GetFullPathNameW(u"a/./b/../c.jpg", MAX_PATH, buf, &part);
    fs::current_path(cwd);
    const std::u16string expected = w(dir.path()) + u"/a/c.jpg";
    ASSERT_EQ(n, expected.size());
    EXPECT_EQ(std::u16string(buf), expected);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(std::u16string(part), u"c.jpg");
    EXPECT_EQ(GetFullPathNameW(u"/x/y", 4, buf, nullptr), 5u); // size with the NUL
    EXPECT_EQ(GetFullPathNameW(u"/x/y", 5, buf, nullptr), 4u);

    const DWORD need = GetTempPathW(0, nullptr);
    ASSERT_GT(need, 1u);
    std::u16string temp(need, u'\0');
    ASSERT_EQ(GetTempPathW(need, temp.data()), need - 1);
    EXPECT_EQ(temp[need - 2], u'/');

    char16_t first[MAX_PATH], second[MAX_PATH];
    const UINT a = GetTempFileNameW(w(dir.path()).c_str(), u"TMIOX", 0, first);
    const UINT b = GetTempFileNameW(w(dir.path()).c_str(), u"TMIOX", 0, second);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(std::u16string(first), std::u16string(second));
    EXPECT_TRUE(fs::exists(support::u8(first)));
    EXPECT_EQ(fs::path(support::u8(first)).filename().string().substr(0, 3), "TMI");
    ASSERT_EQ(GetTempFileNameW(w(dir.path()).c_str(), u"ab", 0x1F, first), 0x1Fu);
    EXPECT_EQ(std::u16string(first), w(dir.path()) + u"/ab1F.tmp");
    EXPECT_FALSE(fs::exists(dir / "ab1F.tmp"));
}

TEST_F(Files, VolumeQueries)
{
    support::writeFile(dir / "v.bin", {1});
    DWORD spc = 0, sector = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(GetDiskFreeSpaceW(w(dir / "v.bin").c_str(), &spc, &sector, &freeClusters, &total));
    EXPECT_GE(spc, 1u);
    EXPECT_GT(total, 0u);
    EXPECT_LE(freeClusters, total);
    DWORD folderSector = 0;
    ASSERT_TRUE(GetDiskFreeSpaceW(w(dir.path()).c_str(), nullptr, &folderSector, nullptr, nullptr));
    EXPECT_EQ(folderSector, sector);
    EXPECT_FALSE(
        GetDiskFreeSpaceW(w(dir / "none" / "x").c_str(), nullptr, &sector, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(ErrnoTable, MapsToTheWin32Codes)
{
    const struct {
        int e;
        DWORD win32;
    } rows[] = {{0, ERROR_SUCCESS},
                {ENOENT, ERROR_FILE_NOT_FOUND},
                {ENOTDIR, ERROR_PATH_NOT_FOUND},
                {EACCES, ERROR_ACCESS_DENIED},
                {EISDIR, ERROR_ACCESS_DENIED},
                {ENOSPC, ERROR_DISK_FULL},
                {EEXIST, ERROR_FILE_EXISTS},
                {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
                {EBADF, ERROR_INVALID_HANDLE},
                {EINVAL, ERROR_INVALID_PARAMETER},
                {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
                {EXDEV, ERROR_NOT_SAME_DEVICE},
                {EROFS, ERROR_WRITE_PROTECT},
                {EILSEQ, ERROR_NO_UNICODE_TRANSLATION},
                {EDOM, ERROR_GEN_FAILURE}};
    for (const auto& row : rows)
        EXPECT_EQ(TavrelWin32ErrorFromErrno(row.e), row.win32) << row.e;
}
