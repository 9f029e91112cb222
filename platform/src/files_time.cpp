// SPDX-License-Identifier: MIT
// FILETIME arithmetic: Unix time, calendar fields, local time and the system clock.
#include <ctime>

#include "tavrel/platform/files.h"

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86'400;
// 1601-01-01 to 1970-01-01 is 11644473600 s.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

uint64_t ticksOf(const FILETIME& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME fileTimeOf(uint64_t ticks)
{
    return {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

const int64_t kDays1601 = daysFromCivil(1601, 1, 1);

bool isLeap(unsigned y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned daysInMonth(unsigned y, unsigned m)
{
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

void fillSystemTime(const struct tm& t, long nanoseconds, SYSTEMTIME* out)
{
    out->wYear = static_cast<WORD>(t.tm_year + 1900);
    out->wMonth = static_cast<WORD>(t.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
    out->wDay = static_cast<WORD>(t.tm_mday);
    out->wHour = static_cast<WORD>(t.tm_hour);
    out->wMinute = static_cast<WORD>(t.tm_min);
    out->wSecond = static_cast<WORD>(t.tm_sec);
    out->wMilliseconds = static_cast<WORD>(nanoseconds / 1'000'000);
}

} // namespace

TAVREL_API BOOL TavrelUnixTimeToFileTime(LONGLONG seconds, DWORD nanoseconds, LPFILETIME lpFileTime)
{
    int64_t ticks = 0;
    if (!lpFileTime || nanoseconds >= 1'000'000'000u ||
        __builtin_mul_overflow(seconds, kTicksPerSecond, &ticks) ||
        __builtin_add_overflow(ticks, kUnixEpochTicks + nanoseconds / 100, &ticks) || ticks < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFileTime = fileTimeOf(static_cast<uint64_t>(ticks));
    return TRUE;
}

TAVREL_API void TavrelFileTimeToUnixTime(const FILETIME* lpFileTime, LONGLONG* seconds,
                                         DWORD* nanoseconds)
{
    if (!lpFileTime) return;
    // Signed difference first: FILETIMEs before 1970 give negative Unix times, rounded down.
    const int64_t t = static_cast<int64_t>(ticksOf(*lpFileTime) - kUnixEpochTicks);
    int64_t s = t / kTicksPerSecond;
    int64_t r = t % kTicksPerSecond;
    if (r < 0) r += kTicksPerSecond, --s;
    if (seconds) *seconds = s;
    if (nanoseconds) *nanoseconds = static_cast<DWORD>(r * 100);
}

TAVREL_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    if (!lpFileTime || !lpSystemTime || (lpFileTime->dwHighDateTime & 0x80000000u)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t ticks = ticksOf(*lpFileTime);
    const auto days = static_cast<int64_t>(ticks / kTicksPerDay);
    const uint64_t inDay = ticks % kTicksPerDay;
    int64_t y;
    unsigned m, d;
    civilFromDays(kDays1601 + days, y, m, d);
    lpSystemTime->wYear = static_cast<WORD>(y);
    lpSystemTime->wMonth = static_cast<WORD>(m);
    lpSystemTime->wDay = static_cast<WORD>(d);
    lpSystemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7); // 1601-01-01 was a Monday
    lpSystemTime->wHour = static_cast<WORD>(inDay / (kTicksPerSecond * 3600));
    lpSystemTime->wMinute = static_cast<WORD>(inDay / (kTicksPerSecond * 60) % 60);
    lpSystemTime->wSecond = static_cast<WORD>(inDay / kTicksPerSecond % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(inDay / 10'000 % 1000);
    return TRUE;
}

TAVREL_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime)
{
    if (!lpSystemTime || !lpFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SYSTEMTIME& st = *lpSystemTime;
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > daysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
        st.wSecond > 59 || st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t days = daysFromCivil(st.wYear, st.wMonth, st.wDay) - kDays1601;
    const int64_t ticks = days * kTicksPerDay +
                          ((st.wHour * 60 + st.wMinute) * 60 + st.wSecond) * kTicksPerSecond +
                          static_cast<int64_t>(st.wMilliseconds) * 10'000;
    *lpFileTime = fileTimeOf(static_cast<uint64_t>(ticks));
    return TRUE;
}

TAVREL_API BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime)
{
    if (!lpFileTime || !lpLocalFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LONGLONG seconds = 0;
    TavrelFileTimeToUnixTime(lpFileTime, &seconds, nullptr);
    const time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (!::localtime_r(&t, &local)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t shifted =
        static_cast<int64_t>(ticksOf(*lpFileTime)) + local.tm_gmtoff * kTicksPerSecond;
    if (shifted < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpLocalFileTime = fileTimeOf(static_cast<uint64_t>(shifted));
    return TRUE;
}

TAVREL_API void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    if (!lpSystemTimeAsFileTime) return;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    TavrelUnixTimeToFileTime(now.tv_sec, static_cast<DWORD>(now.tv_nsec), lpSystemTimeAsFileTime);
}

TAVREL_API void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    if (!lpSystemTime) return;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm t {};
    ::gmtime_r(&now.tv_sec, &t);
    fillSystemTime(t, now.tv_nsec, lpSystemTime);
}

TAVREL_API void GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    if (!lpSystemTime) return;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm t {};
    ::localtime_r(&now.tv_sec, &t);
    fillSystemTime(t, now.tv_nsec, lpSystemTime);
}

TAVREL_API LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2)
{
    const uint64_t a = lpFileTime1 ? ticksOf(*lpFileTime1) : 0;
    const uint64_t b = lpFileTime2 ? ticksOf(*lpFileTime2) : 0;
    return a < b ? -1 : (a > b ? 1 : 0);
}
