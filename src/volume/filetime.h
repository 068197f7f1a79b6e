#pragma once
// FILETIME (100 ns ticks since 1601-01-01) and the calendar.

#include <cstdint>

namespace relicta::volume {

struct CalendarTime {
    int year = 1601;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

inline constexpr uint64_t kFileTimeTicksPerSecond = 10000000;
inline constexpr int64_t kUnixEpochInFileTimeSeconds = 11644473600;

CalendarTime CalendarFromFileTime(uint64_t fileTime);
uint64_t FileTimeFromCalendar(const CalendarTime& t);

// UTC to local time by the process's time zone (TZ), like FileTimeToLocalFileTime.
uint64_t LocalFileTimeFromUtc(uint64_t utcFileTime);

// Local time back to UTC by the process's time zone, like LocalFileTimeToFileTime. A
// local time that a clock change skips or repeats takes the zone's own choice.
uint64_t UtcFileTimeFromLocal(uint64_t localFileTime);

// A FAT directory entry's date and time (local), like DosDateTimeToFileTime.
uint64_t FileTimeFromDos(uint16_t date, uint16_t time);

// Names the system's zone file in TZ when TZ is unset: the C library then stops checking the
// file again on every conversion to UTC, one call per recovered file. Call once at start.
void PinLocalTimeZone();

}  // namespace relicta::volume
