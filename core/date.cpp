#include "core/date.h"

#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/text_format.h"

namespace tessaline {

namespace {

// The first day of the Gregorian calendar, written as month * 100 + day +
// year * 10000 with January and February counted as months 13 and 14 of
// the year before.
constexpr int64_t kGregorianStart = 15821015;
// Julian day number of 15 October 1582.
constexpr int64_t kGregorianStartDay = 2299161;
// Julian day number of 1 January of year 1.
constexpr int64_t kYearOneDay = 1721424;

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int64_t trunc64(double x) { return static_cast<int64_t>(std::trunc(x)); }

bool fits_int32(int64_t n) {
  return n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max();
}

int32_t clamp_int32(int64_t n) {
  if (n < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  if (n > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(n);
}

// --- reading helpers --------------------------------------------------------

// The text up to its first NUL byte.
std::string_view until_nul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

char char_at(std::string_view text, size_t i) { return i < text.size() ? text[i] : '\0'; }

size_t skip_white(std::string_view text, size_t i) {
  while (i < text.size() && is_white(text[i])) ++i;
  return i;
}

// Reads a number the way atoi does (white space, an optional sign, digits),
// starting at *i, and moves *i behind the digits. Without digits the result
// is 0 and *i stays. Values beyond 32 bits saturate.
int read_number(std::string_view text, size_t* i) {
  size_t p = *i;
  while (p < text.size() && (is_white(text[p]) || text[p] == '\v' || text[p] == '\f')) ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  if (p >= text.size() || !is_digit(text[p])) return 0;
  int64_t value = 0;
  for (; p < text.size() && is_digit(text[p]); ++p) {
    if (value <= std::numeric_limits<int32_t>::max()) value = value * 10 + (text[p] - '0');
  }
  *i = p;
  return clamp_int32(negative ? -value : value);
}

bool starts_with_ignore_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t k = 0; k < prefix.size(); ++k) {
    if (to_lower(text[k]) != to_lower(prefix[k])) return false;
  }
  return true;
}

// A year below 101 is taken as two digits and put in the century that
// brings it nearest to the current year; a tie goes to the later century.
int place_two_digit_year(int year) {
  if (year >= 101) return year;
  int64_t now = current_year();
  int64_t base = now - now % 100;
  int64_t best = 0;
  int64_t best_distance = std::numeric_limits<int64_t>::max();
  for (int64_t candidate : {year + base - 100, year + base, year + base + 100}) {
    int64_t distance = candidate > now ? candidate - now : now - candidate;
    if (distance <= best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  return clamp_int32(best);
}

// --- formatting helpers -----------------------------------------------------

String first_three(const String& name) { return name.substr(0, 3); }

void append_year_words(String& out, int year) {
  int last_two = year % 100;
  if (last_two < 10) out += "Oh ";
  out += number_words(last_two);
}

void append_formatted(String& out, const DateTime& value, const char* format, bool with_time) {
  const Date& date = value.date;
  for (const char* p = format; *p;) {
    char c = *p;
    bool twice = p[1] == c;
    int advance = twice ? 2 : 1;
    switch (c) {
      case 'd':
        out.append_format(twice ? "%02d" : "%d", date.day);
        break;
      case 'D':
        out += twice ? ordinal_words(date.day) : ordinal_suffix(date.day);
        break;
      case 'm':
        out.append_format(twice ? "%02d" : "%d", date.month);
        break;
      case 'M':
        out += twice ? month_name(date.month) : first_three(month_name(date.month));
        break;
      case 'w':
        out.append_format(twice ? "%02d" : "%d", date.weekday);
        break;
      case 'W':
        out += twice ? weekday_name(date.weekday) : first_three(weekday_name(date.weekday));
        break;
      case 'y':
        if (twice) {
          out.append_format("%04d", date.year);
        } else {
          out.append_format("%02d", date.year % 100);
        }
        break;
      case 'Y':
        if (twice) {
          out += number_words(date.year / 100);
          out += ' ';
        }
        append_year_words(out, date.year);
        break;
      case 'h':
      case 'H':
      case 'i':
      case 's':
        if (!with_time) {
          out.append(p, advance);
          break;
        }
        {
          int n = c == 'i' ? value.minute : c == 's' ? value.second : value.hour;
          if (c == 'h') {
            if (n == 0) n = 12;
            if (n > 12) n -= 12;
          }
          out.append_format(twice ? "%02d" : "%d", n);
        }
        break;
      case 'a':
      case 'A':
        advance = 1;
        if (with_time && p[1] == (c == 'a' ? 'p' : 'P')) {
          bool morning = value.hour < 12;
          if (c == 'a') {
            out += morning ? "a" : "p";
          } else {
            out += morning ? "a.m." : "p.m.";
          }
          advance = 2;
        } else {
          out += c;
        }
        break;
      default:
        out += c;
        advance = 1;
        break;
    }
    p += advance;
  }
}

// --- the clock --------------------------------------------------------------

std::atomic<Clock> installed_clock{nullptr};

}  // namespace

// --- serial day numbers -----------------------------------------------------

int32_t serial_from_date(int month, int day, int year) {
  if (month <= 0) return 0;
  int64_t y = year < 0 ? int64_t{year} + 1 : int64_t{year};
  int64_t m = month;
  if (m < 3) {
    y -= 1;
    m += 12;
  }
  int64_t b = 0;
  if (m * 100 + day + y * 10000 >= kGregorianStart) {
    int64_t century = floor_div(y, 100);
    b = 2 - century + floor_div(century, 4);
  }
  int64_t serial = trunc64(static_cast<double>(m + 1) * 30.6001) + day +
                   trunc64(static_cast<double>(y) * 365.25) + b + 1720994;
  return fits_int32(serial) ? static_cast<int32_t>(serial) : 0;
}

int weekday_of_serial(int32_t serial) {
  if (serial == 0) return 0;
  int64_t s = int64_t{serial} + 2;
  return static_cast<int>(s - floor_div(s, 7) * 7) + 1;
}

Date make_date(int month, int day, int year) {
  Date date;
  date.serial = serial_from_date(month, day, year);
  date.month = month;
  date.day = day;
  date.year = year;
  date.weekday = weekday_of_serial(date.serial);
  return date;
}

Date date_from_serial(int32_t serial) {
  if (serial == 0) return Date();
  int64_t j = int64_t{serial} + 1;
  int64_t a = j;
  if (j >= kGregorianStartDay) {
    int64_t alpha = trunc64((static_cast<double>(j) - 1867216.25) / 36524.25);
    a = j + 1 + alpha - floor_div(alpha, 4);
  }
  int64_t b = a < kYearOneDay ? a + 1158 : a + 1524;
  int64_t c = trunc64((static_cast<double>(b) - 122.1) / 365.25);
  int64_t d = trunc64(static_cast<double>(c) * 365.25);
  int64_t e = trunc64(static_cast<double>(b - d) / 30.6001);
  Date date;
  date.serial = serial;
  date.day = static_cast<int32_t>(b - d - trunc64(static_cast<double>(e) * 30.6001));
  date.month = static_cast<int32_t>(e > 13 ? e - 13 : e - 1);
  date.year = static_cast<int32_t>(date.month < 3 ? c - 4715 : c - 4716);
  date.weekday = weekday_of_serial(serial);
  return date;
}

Date add_days(const Date& date, int n) {
  int64_t serial = int64_t{date.serial} + n;
  if (!fits_int32(serial)) return Date();
  return date_from_serial(static_cast<int32_t>(serial));
}

// --- validity ---------------------------------------------------------------

bool is_valid_date(const Date& date) {
  return date.month >= 1 && date.month <= 12 && date.weekday >= 1 && date.weekday <= 7 &&
         date.day >= 1 && date.day <= days_in_month(date.month, date.year);
}

bool is_valid_time(const DateTime& t) {
  return t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
         t.second <= 59;
}

bool is_valid_date_time(const DateTime& date_time) {
  return is_valid_date(date_time.date) && is_valid_time(date_time);
}

// --- formatting -------------------------------------------------------------

String format_date(const Date& date, const char* format) {
  DateTime value;
  value.date = date;
  String out;
  append_formatted(out, value, format && *format ? format : "m/d/y", false);
  return out;
}

String format_date_time(const DateTime& date_time, const char* format) {
  String out;
  append_formatted(out, date_time, format && *format ? format : "m/d/y h:ii:ssap", true);
  return out;
}

// --- reading ----------------------------------------------------------------

std::optional<int> read_date(std::string_view text, Date* date) {
  *date = Date();
  text = until_nul(text);
  size_t i = skip_white(text, 0);
  if (i >= text.size()) return std::nullopt;

  int month = 0;
  int day = 0;
  int year = 0;
  size_t end = i;
  bool has_position = true;
  if (!is_upper(text[i])) {
    size_t p = i;
    month = read_number(text, &p);
    if (month == 0) return std::nullopt;
    size_t slash = text.find('/', i);
    if (slash == std::string_view::npos) return std::nullopt;
    p = slash + 1;
    day = read_number(text, &p);
    if (day == 0) return std::nullopt;
    size_t second_slash = text.find('/', slash + 1);
    if (second_slash != std::string_view::npos) {
      p = second_slash + 1;
      year = read_number(text, &p);
      end = p;
    } else {
      // "m/y": the value m/1/y, but not a date a caller may read past.
      year = day;
      day = 1;
      has_position = false;
    }
  } else {
    size_t name_length = 0;
    for (int m = 1; m <= 12 && month == 0; ++m) {
      String name = month_name(m);
      if (starts_with_ignore_case(text.substr(i), name.view())) {
        month = m;
        name_length = static_cast<size_t>(name.length());
      }
    }
    if (month == 0) return std::nullopt;
    size_t p = i + name_length;
    day = read_number(text, &p);
    if (day == 0) day = 1;
    size_t comma = text.find(',', i + name_length);
    if (comma == std::string_view::npos) return std::nullopt;
    p = comma;
    while (p < text.size() && !is_digit(text[p])) ++p;
    year = read_number(text, &p);
    if (year == 0) return std::nullopt;
    end = p;
  }
  *date = make_date(month, day, place_two_digit_year(year));
  if (!has_position) return std::nullopt;
  return static_cast<int>(end);
}

bool read_time(std::string_view text, DateTime* date_time) {
  date_time->unset_time();
  text = until_nul(text);
  size_t i = skip_white(text, 0);
  if (!is_digit(char_at(text, i))) return false;
  int hour = read_number(text, &i);
  if (char_at(text, i) != ':') return false;
  ++i;
  int minute = read_number(text, &i);
  int second = 0;
  char marker = char_at(text, i);
  if (marker == ':') {
    ++i;
    second = read_number(text, &i);
    marker = char_at(text, i);
  } else if (marker != 'p' && marker != 'a' && marker != '\0') {
    return false;
  }
  // A 12-hour clock: 12 a is midnight and 12 p is noon.
  if (marker == 'p' && hour != 12) hour = clamp_int32(int64_t{hour} + 12);
  if (marker == 'a' && hour == 12) hour = 0;
  date_time->hour = hour;
  date_time->minute = minute;
  date_time->second = second;
  return is_valid_time(*date_time);
}

bool read_date_time(std::string_view text, DateTime* date_time) {
  text = until_nul(text);
  std::optional<int> end = read_date(text, &date_time->date);
  date_time->unset_time();
  if (!end) return false;
  size_t i = static_cast<size_t>(*end);
  if (!is_white(char_at(text, i))) return false;
  return read_time(text.substr(i + 1), date_time);
}

// --- the clock --------------------------------------------------------------

ClockReading system_clock() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  ClockReading reading;
  reading.local.date = make_date(local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
  reading.local.hour = local.tm_hour;
  reading.local.minute = local.tm_min;
  reading.local.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second
  reading.utc_offset_minutes = static_cast<int>(local.tm_gmtoff / 60);
  return reading;
}

Clock set_clock(Clock clock) { return installed_clock.exchange(clock); }

ClockReading read_clock() {
  Clock clock = installed_clock.load();
  return clock ? clock() : system_clock();
}

DateTime local_now() { return read_clock().local; }

int current_year() { return local_now().date.year; }

}  // namespace tessaline
