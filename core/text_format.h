// text_format.h - numbers, sizes, durations, ordinals and calendar names as
// the English text the program shows, logs and stores.
//
// Numbers are written with the C library's formats in the "C" manner: a
// point for decimals, no grouping except where a function says so; the
// user's locale plays no part. Calendar names and the clock texts live here
// too; date records and their format codes are in date.h.
//
// Not for: parsing numbers, other languages, or locale-aware output.
//
// Failures: none. Every function accepts any argument; out-of-range months
// and weekdays give empty names.
#pragma once

#include <cstdint>

#include "core/string.h"

namespace tessaline {

// precision >= 0: "%.*f". Negative: "%.6f" with trailing zeros, and then a
// trailing point, removed (2.5 -> "2.5", 3.0 -> "3").
String format_double(double x, int precision = -1);
String format_int(int n);
// Commas between groups of three digits, but only for five digits or more:
// 1234 -> "1234", 12345 -> "12,345".
String format_with_commas(int64_t n);
// "1023 bytes", "1.00 KB", ... up to TB.
String format_size(int64_t bytes);
// "1 millisecond", "1.50 seconds", "2 minutes, 1 seconds", "3 hours, 5
// minutes", "2 days, 4 hours".
String format_duration(int64_t milliseconds);

// "1st", "2nd", "3rd", "4th", "11th", "21st", "111th".
String ordinal_suffix(int n);
// "First", "Twenty First", "Twelfth", "Thirtieth", "One Hundredth".
String ordinal_words(int n);
// "Zero", "Nineteen", "One Thousand Nine Hundred Ninety Nine",
// "Negative Five".
String number_words(int n);

// From the installed clock (date.h): "12/31/2026", "3:04:05p",
// "12/31/2026 3:04:05p".
String today_text();
String time_now_text();
String now_text();

// Minutes east of universal time now (negative west of Greenwich).
int time_zone_offset();
// "+0100", "-0500": the current offset, or a given one.
String time_zone_text();
String time_zone_text(int offset_minutes);

bool is_leap_year(int year);
// 28-31; 0 for a month outside 1-12.
int days_in_month(int month, int year);
// "Sunday" for 1 .. "Saturday" for 7; empty outside.
String weekday_name(int weekday);
// "January" for 1 .. "December" for 12; empty outside.
String month_name(int month);

}  // namespace tessaline
