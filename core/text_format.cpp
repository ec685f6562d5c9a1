#include "core/text_format.h"

#include <charconv>
#include <cinttypes>
#include <cstdlib>
#include <system_error>

#include "core/date.h"

namespace tessaline {

namespace {

const char* const kWeekdayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

const char* const kMonthNames[] = {"January", "February", "March",     "April",
                                   "May",     "June",     "July",      "August",
                                   "September", "October", "November", "December"};

const int kDaysPerMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

const char* const kNumberWords[] = {
    "Zero",    "One",     "Two",       "Three",    "Four",     "Five",    "Six",
    "Seven",   "Eight",   "Nine",      "Ten",      "Eleven",   "Twelve",  "Thirteen",
    "Fourteen", "Fifteen", "Sixteen",  "Seventeen", "Eighteen", "Nineteen"};

// Index 2-9.
const char* const kTensWords[] = {nullptr, nullptr, "Twenty", "Thirty", "Forty",
                                  "Fifty", "Sixty", "Seventy", "Eighty", "Ninety"};

// Index 1-9.
const char* const kOrdinalWords[] = {nullptr, "First", "Second", "Third", "Fourth",
                                     "Fifth", "Sixth", "Seventh", "Eighth", "Ninth"};

// Index 1-9: the ordinals of 10, 20, ... 90.
const char* const kTensOrdinals[] = {nullptr,    "Tenth",    "Twentieth", "Thirtieth",
                                     "Fortieth", "Fiftieth", "Sixtieth",  "Seventieth",
                                     "Eightieth", "Ninetieth"};

// An int's magnitude without overflow for INT_MIN.
uint64_t magnitude(int n) { return n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n); }

// The words of n, never "Zero" unless n is 0.
void append_number_words(String& out, uint64_t n) {
  struct Scale {
    uint64_t value;
    const char* name;
  };
  static const Scale kScales[] = {{1000000, " Million"}, {1000, " Thousand"}, {100, " Hundred"}};
  for (const Scale& scale : kScales) {
    if (n >= scale.value) {
      append_number_words(out, n / scale.value);
      out += scale.name;
      n %= scale.value;
      if (n == 0) return;
      out += ' ';
    }
  }
  if (n >= 20) {
    out += kTensWords[n / 10];
    n %= 10;
    if (n == 0) return;
    out += ' ';
  }
  out += kNumberWords[n];
}

void append_ordinal_words(String& out, uint64_t n) {
  uint64_t below_hundred = n % 100;
  uint64_t hundreds = n - below_hundred;  // the part of n from the hundreds up
  uint64_t units = n % 10;
  if (below_hundred == 12) {
    if (hundreds != 0) {
      append_number_words(out, hundreds);
      out += ' ';
    }
    out += "Twelfth";
  } else if ((below_hundred >= 10 && below_hundred <= 19) || below_hundred == 0) {
    // Tenth, Eleventh, Thirteenth; and Zeroth, One Hundredth, One Thousandth.
    append_number_words(out, n);
    out += "th";
  } else if (units != 0) {
    if (n != units) {
      append_number_words(out, n - units);
      out += ' ';
    }
    out += kOrdinalWords[units];
  } else {
    if (hundreds != 0) {
      append_number_words(out, hundreds);
      out += ' ';
    }
    out += kTensOrdinals[below_hundred / 10];
  }
}

// "%.*f" as the "C" locale writes it. printf would follow LC_NUMERIC, which
// a desktop program sets from the user's environment (a decimal comma in
// much of Europe); these texts are stored and mailed and must not change.
String fixed(double x, int precision) {
  // Enough places to write any double exactly; more would only add zeros.
  constexpr int kMaxPrecision = 1100;
  if (precision > kMaxPrecision) precision = kMaxPrecision;
  char buffer[1536];  // sign, 309 integer digits, point, kMaxPrecision places
  std::to_chars_result result =
      std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, precision);
  if (result.ec != std::errc()) return String();
  return String(buffer, static_cast<int>(result.ptr - buffer));
}

}  // namespace

String format_double(double x, int precision) {
  if (precision >= 0) return fixed(x, precision);
  String text = fixed(x, 6);
  if (text.contains('.')) {
    while (text.last() == '0') text.remove_last(1);
    text.strip_trailing('.');
  }
  return text;
}

String format_int(int n) { return String::formatted("%d", n); }

String format_with_commas(int64_t n) {
  String digits = String::formatted("%" PRIu64, n < 0 ? 0 - static_cast<uint64_t>(n)
                                                      : static_cast<uint64_t>(n));
  String text;
  if (n < 0) text += '-';
  int count = digits.length();
  if (count < 5) return text + digits;
  for (int i = 0; i < count; ++i) {
    if (i > 0 && (count - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

String format_size(int64_t bytes) {
  constexpr int64_t kKilo = 1024;
  constexpr int64_t kMega = kKilo * 1024;
  constexpr int64_t kGiga = kMega * 1024;
  constexpr int64_t kTera = kGiga * 1024;
  double b = static_cast<double>(bytes);
  if (bytes < kKilo) return String::formatted("%" PRId64 " bytes", bytes);
  if (bytes < kMega) return fixed(b / kKilo, 2) + " KB";
  if (bytes < kGiga) return fixed(b / kMega, 2) + " MB";
  if (bytes < kTera) return fixed(b / kGiga, 2) + " GB";
  return fixed(b / kTera, 2) + " TB";
}

String format_duration(int64_t milliseconds) {
  int64_t t = milliseconds;
  auto plural = [](int64_t n) { return n == 1 ? "" : "s"; };
  if (t < 1000) return String::formatted("%" PRId64 " millisecond%s", t, plural(t));
  if (t < 100000) return fixed(static_cast<double>(t) / 1000, 2) + " seconds";
  int64_t seconds = t / 1000;
  int64_t minutes = seconds / 60;
  int64_t hours = seconds / 3600;
  if (seconds < 3600) {
    return String::formatted("%" PRId64 " minute%s, %" PRId64 " seconds", minutes,
                             plural(minutes), seconds % 60);
  }
  if (minutes > 1440) {
    return String::formatted("%" PRId64 " day%s, %" PRId64 " hours", hours / 24,
                             plural(hours / 24), hours % 24);
  }
  return String::formatted("%" PRId64 " hour%s, %" PRId64 " minutes", hours, plural(hours),
                           minutes % 60);
}

String ordinal_suffix(int n) {
  uint64_t m = magnitude(n);
  const char* suffix = "th";
  if (m % 100 < 11 || m % 100 > 13) {
    switch (m % 10) {
      case 1: suffix = "st"; break;
      case 2: suffix = "nd"; break;
      case 3: suffix = "rd"; break;
      default: break;
    }
  }
  return String::formatted("%d%s", n, suffix);
}

String ordinal_words(int n) {
  String text;
  if (n < 0) text += "Negative ";
  append_ordinal_words(text, magnitude(n));
  return text;
}

String number_words(int n) {
  String text;
  if (n < 0) text += "Negative ";
  append_number_words(text, magnitude(n));
  return text;
}

String today_text() {
  Date today = local_now().date;
  return String::formatted("%d/%d/%d", today.month, today.day, today.year);
}

String time_now_text() {
  DateTime now = local_now();
  int hour = now.hour % 12 == 0 ? 12 : now.hour % 12;
  return String::formatted("%d:%02d:%02d%c", hour, now.minute, now.second,
                           now.hour < 12 ? 'a' : 'p');
}

String now_text() { return today_text() + " " + time_now_text(); }

int time_zone_offset() { return read_clock().utc_offset_minutes; }

String time_zone_text() { return time_zone_text(time_zone_offset()); }

String time_zone_text(int offset_minutes) {
  uint64_t m = magnitude(offset_minutes);
  return String::formatted("%c%02" PRIu64 "%02" PRIu64, offset_minutes < 0 ? '-' : '+', m / 60,
                           m % 60);
}

bool is_leap_year(int year) {
  if (year % 4 != 0) return false;
  if (year < 1582) return true;
  return year % 100 != 0 || year % 400 == 0;
}

int days_in_month(int month, int year) {
  if (month < 1 || month > 12) return 0;
  if (month == 2 && is_leap_year(year)) return 29;
  return kDaysPerMonth[month - 1];
}

String weekday_name(int weekday) {
  if (weekday < 1 || weekday > 7) return String();
  return kWeekdayNames[weekday - 1];
}

String month_name(int month) {
  if (month < 1 || month > 12) return String();
  return kMonthNames[month - 1];
}

}  // namespace tessaline
