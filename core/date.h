// date.h - calendar dates, times of day, their letter-code formats, and the
// clock they are read against.
//
// A Date holds a serial day number (the Julian day number less one, so
// 1 January 2000 is 2451544) together with the month, day, year and weekday
// it stands for. The two are kept in step by make_date() and
// date_from_serial(); the calendar is Julian before 15 October 1582 and
// Gregorian from then on. Both records are plain data with a fixed layout of
// signed 32-bit fields, so they can be stored and copied as bytes.
//
// Not for: time-zone arithmetic, durations (see text_format.h), or any
// locale: names and formats are English and fixed.
//
// Failures: nothing here ends the program. Records that do not name a real
// date or time are simply "not valid" (is_valid_date, is_valid_time), the
// formatters print any record, and the readers report failure through their
// results.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "core/string.h"

namespace tessaline {

struct Date {
  int32_t serial = 0;   // Julian day number less one; 0 for the empty date
  int32_t month = 0;    // 1-12
  int32_t day = 0;      // 1-31
  int32_t year = 0;     // four digits
  int32_t weekday = 0;  // 1-7, 1 is Sunday; 0 for the empty date

  bool empty() const { return serial == 0 && month == 0 && day == 0 && year == 0 && weekday == 0; }
  bool operator==(const Date&) const = default;
};

// A date followed by a time of day. An unset time has all three parts -1;
// the empty date-time is the empty date with an unset time.
struct DateTime {
  Date date;
  int32_t hour = -1;    // 0-23
  int32_t minute = -1;  // 0-59
  int32_t second = -1;  // 0-59

  bool time_unset() const { return hour == -1 && minute == -1 && second == -1; }
  void unset_time() { hour = minute = second = -1; }
  bool operator==(const DateTime&) const = default;
};

static_assert(std::is_standard_layout_v<Date> && sizeof(Date) == 20);
static_assert(std::is_standard_layout_v<DateTime> && sizeof(DateTime) == 32);

// --- serial day numbers ---

// The serial day of a month, day and year; 0 when the month is 0 or below,
// and 0 as well when the date lies so far out that its serial would not fit
// in 32 bits. The day is not checked against the month: 32 January is
// 1 February.
int32_t serial_from_date(int month, int day, int year);

// The weekday (1 Sunday .. 7 Saturday) of a serial day; 0 for serial 0.
int weekday_of_serial(int32_t serial);

// A record for a month, day and year with its serial and weekday filled in.
// The fields are stored as given, valid or not.
Date make_date(int month, int day, int year);

// The date a serial day stands for; serial 0 gives the empty date.
Date date_from_serial(int32_t serial);

// The date n days after (n < 0: before) the given one. Moving beyond the
// range of 32-bit serials gives the empty date.
Date add_days(const Date& date, int n);

// --- validity ---

// Month 1-12, weekday 1-7, and a day the month has in that year.
bool is_valid_date(const Date& date);
// Hour 0-23, minute and second 0-59.
bool is_valid_time(const DateTime& date_time);
// Both of the above.
bool is_valid_date_time(const DateTime& date_time);

// --- formatting ---
//
// The format is copied character by character, except for these codes
// (case matters; a doubled letter is one code):
//   d dd      day, "%d" / "%02d"           D   1st     DD  First
//   m mm      month, "%d" / "%02d"         M   Jan     MM  January
//   w ww      weekday 1-7, "%d" / "%02d"   W   Sun     WW  Sunday
//   y         year's last two digits "%02d"   yy  year "%04d"
//   Y         the last two digits in words ("Oh Five" below 10)
//   YY        century in words and then Y (Nineteen Ninety Nine)
//   h hh      hour on a 12-hour clock      H HH  hour 0-23
//   i ii      minute                       s ss  second
//   ap        "a" or "p"                   AP    "a.m." or "p.m."
// format_date() treats the time codes (h, H, i, s, ap, AP) as plain text.

// A null or empty format means "m/d/y".
String format_date(const Date& date, const char* format = nullptr);
// A null or empty format means "m/d/y h:ii:ssap".
String format_date_time(const DateTime& date_time, const char* format = nullptr);

// --- reading ---
//
// The text ends at its first NUL byte, as a C string would.

// Reads "m/d/y" or "Monthname d, y" after optional white space, and returns
// the position behind the year. A year below 101 is placed in the century
// nearest the current year (see current_year()). On failure the result is
// empty and *date is the empty date; "m/y" (a single slash) also gives no
// position, but leaves the date m/1/y in *date for callers that want only
// the value.
std::optional<int> read_date(std::string_view text, Date* date);

// Reads "h:mm", "h:mm:ss", each optionally followed by "a" or "p", after
// optional white space, into the time fields of *date_time (its date is
// left alone). "p" moves hours other than 12 into the afternoon, and "a"
// makes 12 midnight, so everything format_date_time() writes reads back.
// Returns whether a valid time was read; when the text does not have the
// shape of a time at all the time is unset.
bool read_time(std::string_view text, DateTime* date_time);

// Reads a date, white space, and a time. Returns whether the time read is
// valid. When no date can be read, or the date is not followed by white
// space, the result is false and the time is unset (the date keeps what
// read_date() left in it).
bool read_date_time(std::string_view text, DateTime* date_time);

// --- the clock ---
//
// Everything that needs "now" asks the installed clock, so tests can pin
// the moment and the time zone.

struct ClockReading {
  DateTime local;          // the local date and time of day
  int utc_offset_minutes;  // minutes east of universal time (-300 for UTC-5)
};

using Clock = ClockReading (*)();

// The system's clock: the local time and the offset in effect now.
ClockReading system_clock();

// Installs a clock and returns the previous one; null restores the system
// clock.
Clock set_clock(Clock clock);

// Reads the installed clock.
ClockReading read_clock();
DateTime local_now();
int current_year();

}  // namespace tessaline
