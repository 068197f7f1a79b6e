#include "volume/filetime.h"

#include <cstdlib>

#include <ctime>

namespace relicta::volume {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

}  // namespace

CalendarTime CalendarFromFileTime(uint64_t fileTime) {
    const int64_t seconds =
        static_cast<int64_t>(fileTime / kFileTimeTicksPerSecond) - kUnixEpochInFileTimeSeconds;
    int64_t days = seconds / kSecondsPerDay;
    int64_t rest = seconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    CalendarTime t;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

uint64_t FileTimeFromCalendar(const CalendarTime& t) {
    const int64_t seconds =
        DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) *
            kSecondsPerDay +
        int64_t{t.hour} * 3600 + int64_t{t.minute} * 60 + t.second;
    const int64_t since1601 = seconds + kUnixEpochInFileTimeSeconds;
    return since1601 < 0 ? 0 : static_cast<uint64_t>(since1601) * kFileTimeTicksPerSecond;
}

uint64_t LocalFileTimeFromUtc(uint64_t utcFileTime) {
    constexpr uint64_t kLatestConvertible = uint64_t{1} << 62;  // far beyond any real date
    if (utcFileTime > kLatestConvertible) {
        return utcFileTime;
    }
    const int64_t seconds =
        static_cast<int64_t>(utcFileTime / kFileTimeTicksPerSecond) - kUnixEpochInFileTimeSeconds;
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        return utcFileTime;
    }
    const int64_t offset = local.tm_gmtoff;
    const int64_t ticks =
        static_cast<int64_t>(utcFileTime) + offset * static_cast<int64_t>(kFileTimeTicksPerSecond);
    return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

uint64_t UtcFileTimeFromLocal(uint64_t localFileTime) {
    const CalendarTime t = CalendarFromFileTime(localFileTime);
    std::tm local{};
    local.tm_year = t.year - 1900;
    local.tm_mon = t.month - 1;
    local.tm_mday = t.day;
    local.tm_hour = t.hour;
    local.tm_min = t.minute;
    local.tm_sec = t.second;
    local.tm_isdst = -1;
    const std::time_t utc = std::mktime(&local);
    if (utc == static_cast<std::time_t>(-1)) {
        return localFileTime;
    }
    const int64_t since1601 = static_cast<int64_t>(utc) + kUnixEpochInFileTimeSeconds;
    if (since1601 < 0) {
        return 0;
    }
    return static_cast<uint64_t>(since1601) * kFileTimeTicksPerSecond +
           localFileTime % kFileTimeTicksPerSecond;
}

uint64_t FileTimeFromDos(uint16_t date, uint16_t time) {
    CalendarTime t;
    t.year = 1980 + (date >> 9);
    t.month = (date >> 5) & 0x0F;
    t.day = date & 0x1F;
    t.hour = time >> 11;
    t.minute = (time >> 5) & 0x3F;
    t.second = (time & 0x1F) * 2;
    // Out-of-range fields (a damaged entry) are clamped rather than rolled over.
    if (t.month < 1 || t.month > 12)
        t.month = 1;
    if (t.day < 1)
        t.day = 1;
    if (t.hour > 23)
        t.hour = 23;
    if (t.minute > 59)
        t.minute = 59;
    if (t.second > 59)
        t.second = 59;
    return FileTimeFromCalendar(t);
}

void PinLocalTimeZone() {
    if (std::getenv("TZ") == nullptr) {
        ::setenv("TZ", ":/etc/localtime", 0);
        ::tzset();
    }
}

}  // namespace relicta::volume
