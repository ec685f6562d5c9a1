#include "core/date.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string_view>

#include "core/text_format.h"

namespace tessaline {
namespace {

// Pins the clock's year, so that two-digit years read the same in any year.
ClockReading pinned_reading;
ClockReading pinned_clock() { return pinned_reading; }

class PinnedYear {
 public:
  explicit PinnedYear(int year) {
    pinned_reading.local.date = make_date(6, 15, year);
    pinned_reading.local.hour = 12;
    pinned_reading.local.minute = 0;
    pinned_reading.local.second = 0;
    pinned_reading.utc_offset_minutes = 0;
    previous_ = set_clock(&pinned_clock);
  }
  ~PinnedYear() { set_clock(previous_); }

 private:
  Clock previous_;
};

DateTime at(int month, int day, int year, int hour, int minute, int second) {
  DateTime value;
  value.date = make_date(month, day, year);
  value.hour = hour;
  value.minute = minute;
  value.second = second;
  return value;
}

// --- serial day numbers -----------------------------------------------------

TEST(DateSerial, KnownDays) {
  struct Case {
    int month, day, year;
    int serial;
    int weekday;
  };
  const Case cases[] = {
      {1, 1, 2000, 2451544, 7},    // a Saturday
      {12, 31, 1999, 2451543, 6},  // a Friday
      {1, 1, 1970, 2440587, 5},    // a Thursday
      {10, 15, 1582, 2299160, 6},  // first Gregorian day, a Friday
      {10, 4, 1582, 2299159, 5},   // last Julian day, a Thursday
      {1, 1, 1, 1721423, 7},
      {12, 31, -1, 1721422, 6},  // the day before, in 1 BC
  };
  for (const Case& c : cases) {
    Date date = make_date(c.month, c.day, c.year);
    EXPECT_EQ(date.serial, c.serial) << c.month << "/" << c.day << "/" << c.year;
    EXPECT_EQ(date.weekday, c.weekday) << c.serial;
    EXPECT_EQ(date_from_serial(c.serial), date) << c.serial;
  }
}

// Every day from year 1 to 9999 converts back to itself, and consecutive
// serials are consecutive calendar days (with 5-14 October 1582 skipped).
TEST(DateSerial, ConversionsAgreeOverTheWholeRange) {
  const int32_t first = make_date(1, 1, 1).serial;
  const int32_t last = make_date(12, 31, 9999).serial;
  Date previous = date_from_serial(first);
  int failures = 0;
  for (int32_t serial = first + 1; serial <= last && failures < 5; ++serial) {
    Date date = date_from_serial(serial);
    Date rebuilt = make_date(date.month, date.day, date.year);
    bool next_day = date.day == previous.day + 1 && date.month == previous.month;
    bool next_month = date.day == 1 && (date.month == previous.month + 1 ||
                                        (date.month == 1 && previous.month == 12 &&
                                         date.year == previous.year + 1));
    bool reform = previous.year == 1582 && previous.month == 10 && previous.day == 4 &&
                  date.day == 15;
    if (!(rebuilt == date) || !is_valid_date(date) || !(next_day || next_month || reform)) {
      ADD_FAILURE() << "serial " << serial << " reads " << date.month << "/" << date.day << "/"
                    << date.year;
      ++failures;
    }
    previous = date;
  }
}

TEST(DateSerial, EmptyAndOutOfRange) {
  EXPECT_TRUE(date_from_serial(0).empty());
  EXPECT_EQ(weekday_of_serial(0), 0);
  Date no_month = make_date(0, 5, 2000);
  EXPECT_EQ(no_month.serial, 0);
  EXPECT_EQ(no_month.weekday, 0);
  EXPECT_EQ(no_month.day, 5);

  // Far-out dates must not overflow: their serial is 0 and they are invalid.
  for (Date date : {make_date(1, 1, INT_MAX), make_date(INT_MAX, INT_MAX, INT_MAX),
                    make_date(1, INT_MIN, -6000000)}) {
    EXPECT_EQ(date.serial, 0);
    EXPECT_FALSE(is_valid_date(date));
  }
  EXPECT_TRUE(add_days(date_from_serial(INT_MAX), 1).empty());
  EXPECT_TRUE(add_days(date_from_serial(INT_MIN), -1).empty());
  // Weekdays stay 1-7 for any serial.
  EXPECT_EQ(weekday_of_serial(-1), 2);
  EXPECT_EQ(weekday_of_serial(-3), 7);
  EXPECT_EQ(weekday_of_serial(INT_MAX), (INT_MAX % 7 + 2) % 7 + 1);
}

TEST(DateSerial, AddingDays) {
  struct Case {
    Date from;
    int days;
    Date expected;
  };
  const Case cases[] = {
      {make_date(12, 31, 1999), 1, make_date(1, 1, 2000)},
      {make_date(3, 1, 2000), -1, make_date(2, 29, 2000)},
      {make_date(3, 1, 1900), -1, make_date(2, 28, 1900)},
      {make_date(10, 15, 1582), -1, make_date(10, 4, 1582)},
      {make_date(1, 31, 2026), 30, make_date(3, 2, 2026)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(add_days(c.from, c.days), c.expected) << c.from.serial << " + " << c.days;
  }
}

// --- validity ---------------------------------------------------------------

TEST(DateValidity, DatesAndTimes) {
  struct DateCase {
    Date date;
    bool valid;
  };
  Date no_weekday = make_date(1, 1, 2000);
  no_weekday.weekday = 0;
  const DateCase dates[] = {
      {make_date(2, 29, 2000), true},  {make_date(2, 29, 1900), false},
      {make_date(2, 30, 2000), false}, {make_date(0, 1, 2000), false},
      {make_date(13, 1, 2000), false}, {make_date(1, 0, 2000), false},
      {make_date(1, 32, 2000), false}, {no_weekday, false},
      {Date(), false},
  };
  for (const DateCase& c : dates) {
    EXPECT_EQ(is_valid_date(c.date), c.valid)
        << c.date.month << "/" << c.date.day << "/" << c.date.year;
  }

  struct TimeCase {
    int hour, minute, second;
    bool valid;
  };
  const TimeCase times[] = {{0, 0, 0, true},    {23, 59, 59, true}, {24, 0, 0, false},
                            {-1, -1, -1, false}, {0, 60, 0, false},  {0, 0, 60, false}};
  for (const TimeCase& c : times) {
    DateTime value = at(1, 1, 2000, c.hour, c.minute, c.second);
    EXPECT_EQ(is_valid_time(value), c.valid) << c.hour << ":" << c.minute << ":" << c.second;
    EXPECT_EQ(is_valid_date_time(value), c.valid);
  }
  EXPECT_FALSE(is_valid_date_time(at(2, 30, 2000, 10, 0, 0)));
  EXPECT_FALSE(is_valid_date_time(DateTime()));
}

// --- formatting -------------------------------------------------------------

TEST(DateFormat, DateTimeCodes) {
  struct Case {
    DateTime value;
    const char* format;
    const char* expected;
  };
  const DateTime eve = at(12, 31, 1999, 23, 5, 9);
  const DateTime morning = at(1, 2, 2005, 0, 7, 3);
  const Case cases[] = {
      {eve, nullptr, "12/31/99 11:05:09p"},
      {eve, "", "12/31/99 11:05:09p"},
      {eve, "MM D, yy", "December 31st, 1999"},
      {eve, "dd M y HH:ii:ss", "31 Dec 99 23:05:09"},
      {eve, "WW, DD", "Friday, Thirty First"},
      {eve, "W w ww", "Fri 6 06"},
      {eve, "YY|Y", "Nineteen Ninety Nine|Ninety Nine"},
      {eve, "hh:ii AP", "11:05 p.m."},
      {eve, "H h i s", "23 11 5 9"},
      {eve, "a A x aP Ap", "a A x aP Ap"},
      {eve, "ddd", "3131"},
      {morning, "mm/dd/yy hh:ii:ss ap", "01/02/2005 12:07:03 a"},
      {morning, "h AP D DD", "12 a.m. 2nd Second"},
      {morning, "YY", "Twenty Oh Five"},
      {at(1, 1, 2000, 12, 0, 0), "YY h ap", "Twenty Oh Zero 12 p"},
      {at(3, 3, 33, 11, 0, 0), "y yy D", "33 0033 3rd"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_date_time(c.value, c.format), c.expected)
        << (c.format ? c.format : "(null)");
  }
}

TEST(DateFormat, DatesCopyTheTimeCodes) {
  const Date eve = make_date(12, 31, 1999);
  EXPECT_EQ(format_date(eve), "12/31/99");
  EXPECT_EQ(format_date(eve, ""), "12/31/99");
  EXPECT_EQ(format_date(eve, "m/d/yy"), "12/31/1999");
  EXPECT_EQ(format_date(eve, "MM D, yy hh:ii:ss ap AP H"), "December 31st, 1999 hh:ii:ss ap AP H");
}

TEST(DateFormat, AnyRecordFormats) {
  EXPECT_EQ(format_date(Date(), "W|MM|D|y"), "||0th|00");
  EXPECT_EQ(format_date_time(DateTime()), "0/0/00 -1:-1:-1a");
}

// --- reading dates ----------------------------------------------------------

struct ReadCase {
  const char* text;
  std::optional<int> position;
  int month, day, year;  // all 0: the empty date
};

void expect_read(const ReadCase& c) {
  Date date = make_date(7, 7, 1977);  // must be overwritten
  std::optional<int> position = read_date(c.text, &date);
  EXPECT_EQ(position, c.position) << '"' << c.text << '"';
  if (c.month == 0) {
    EXPECT_TRUE(date.empty()) << '"' << c.text << '"';
  } else {
    EXPECT_EQ(date, make_date(c.month, c.day, c.year)) << '"' << c.text << '"';
  }
}

TEST(DateRead, NumericAndNamedForms) {
  PinnedYear year(2026);
  const ReadCase cases[] = {
      {"12/31/99", 8, 12, 31, 1999},
      {"  12/31/1999 and more", 12, 12, 31, 1999},
      {"\t1/2/00", 7, 1, 2, 2000},
      {"2/30/2000", 9, 2, 30, 2000},  // read, but not a valid date
      {"+3/4/2001", 9, 3, 4, 2001},
      {"December 31, 1999", 17, 12, 31, 1999},
      {"DECEMBER 31, 1999", 17, 12, 31, 1999},
      {"DeCeMbEr 31,1999x", 16, 12, 31, 1999},
      {"December, 2001", 14, 12, 1, 2001},
      {"January 5, 26", 13, 1, 5, 2026},
      {"May 5th, year 2001", 18, 5, 5, 2001},
      // "m/y": the value m/1/y, but no position.
      {"1/2000", std::nullopt, 1, 1, 2000},
      {"1/99 9:05", std::nullopt, 1, 1, 1999},
      // Failures leave the empty date.
      {"", std::nullopt, 0, 0, 0},
      {" \r\n", std::nullopt, 0, 0, 0},
      {"december 31, 1999", std::nullopt, 0, 0, 0},
      {"December 31 1999", std::nullopt, 0, 0, 0},
      {"Dec 31, 1999", std::nullopt, 0, 0, 0},
      {"December 31, year", std::nullopt, 0, 0, 0},
      {"Smarch 1, 2000", std::nullopt, 0, 0, 0},
      {"0/5/2000", std::nullopt, 0, 0, 0},
      {"5/0/2000", std::nullopt, 0, 0, 0},
      {"5 2000", std::nullopt, 0, 0, 0},
      {"abc", std::nullopt, 0, 0, 0},
  };
  for (const ReadCase& c : cases) expect_read(c);
}

TEST(DateRead, TwoDigitYearsGoToTheNearestCentury) {
  struct Case {
    int current_year;
    const char* text;
    int year;
  };
  const Case cases[] = {
      {2026, "1/1/99", 1999}, {2026, "1/1/26", 2026}, {2026, "1/1/76", 2076},
      {2026, "1/1/77", 1977}, {2026, "1/1/0", 2000},  {2026, "1/1/100", 2000},
      {2026, "1/1/101", 101}, {2026, "1/1/-5", 1995},
      {1999, "1/1/99", 1999}, {1999, "1/1/0", 2000},  {1999, "1/1/49", 2049},
      {1999, "1/1/50", 1950}, {2050, "1/1/0", 2100},  {2050, "1/1/1", 2001},
      {2101, "1/1/50", 2150}, {2101, "1/1/52", 2052},
  };
  for (const Case& c : cases) {
    PinnedYear year(c.current_year);
    Date date;
    ASSERT_TRUE(read_date(c.text, &date).has_value()) << c.text;
    EXPECT_EQ(date.year, c.year) << c.text << " in " << c.current_year;
    EXPECT_EQ(date, make_date(1, 1, c.year));
  }
}

TEST(DateRead, HostileInput) {
  PinnedYear year(2026);
  // The text ends at a NUL byte, as the C string it came from did.
  Date date;
  EXPECT_EQ(read_date(std::string_view("12/31\0/1999", 11), &date), std::nullopt);
  EXPECT_EQ(date, make_date(12, 1, 2031));
  // Numbers too long for 32 bits saturate instead of overflowing.
  ASSERT_EQ(read_date("1/1/99999999999999", &date), 18);
  EXPECT_EQ(date.year, INT_MAX);
  EXPECT_FALSE(is_valid_date(date));
  ASSERT_EQ(read_date("-99999999999/-99999999999/1", &date), 27);
  EXPECT_FALSE(is_valid_date(date));
}

// --- reading times ----------------------------------------------------------

TEST(DateRead, Times) {
  struct Case {
    const char* text;
    bool valid;
    int hour, minute, second;
  };
  const Case cases[] = {
      {"9:05", true, 9, 5, 0},
      {"9:05p", true, 21, 5, 0},
      {"9:05:30p", true, 21, 5, 30},
      {"9:05:30 p", true, 9, 5, 30},
      {" 7:00a", true, 7, 0, 0},
      {"9:05:30x", true, 9, 5, 30},
      {"0:00", true, 0, 0, 0},
      // 12 o'clock on a 12-hour clock: noon with p, midnight with a.
      {"12:30p", true, 12, 30, 0},
      {"12:30", true, 12, 30, 0},
      {"12:30a", true, 0, 30, 0},
      {"12:00:01a", true, 0, 0, 1},
      {"24:00", false, 24, 0, 0},
      {"13:00p", false, 25, 0, 0},
      {"9:60", false, 9, 60, 0},
      {"9:05:60", false, 9, 5, 60},
      // Not the shape of a time: unset.
      {"9:05 p", false, -1, -1, -1},
      {"9.05", false, -1, -1, -1},
      {"9", false, -1, -1, -1},
      {"x9:05", false, -1, -1, -1},
      {"", false, -1, -1, -1},
  };
  for (const Case& c : cases) {
    DateTime value = at(1, 1, 2000, 3, 3, 3);
    EXPECT_EQ(read_time(c.text, &value), c.valid) << c.text;
    EXPECT_EQ(value.hour, c.hour) << c.text;
    EXPECT_EQ(value.minute, c.minute) << c.text;
    EXPECT_EQ(value.second, c.second) << c.text;
    EXPECT_EQ(value.date, make_date(1, 1, 2000)) << c.text;
  }
  DateTime huge;
  EXPECT_FALSE(read_time("99999999999:00p", &huge));
  EXPECT_EQ(huge.hour, INT_MAX);
}

TEST(DateRead, DateTimes) {
  PinnedYear year(2026);
  struct Case {
    const char* text;
    bool result;
    DateTime expected;
  };
  DateTime date_only = at(12, 31, 1999, -1, -1, -1);
  const Case cases[] = {
      {"12/31/99 11:05:09p", true, at(12, 31, 1999, 23, 5, 9)},
      {"December 31, 1999  9:05", true, at(12, 31, 1999, 9, 5, 0)},
      {"2/30/2000 9:05", true, at(2, 30, 2000, 9, 5, 0)},
      {"12/31/99", false, date_only},
      {"12/31/99x11:05", false, date_only},
      {"12/31/99 noon", false, date_only},
      {"1/2000 9:05", false, at(1, 1, 2000, -1, -1, -1)},
      {"junk 9:05", false, DateTime()},
  };
  for (const Case& c : cases) {
    DateTime value = at(7, 7, 1977, 7, 7, 7);
    EXPECT_EQ(read_date_time(c.text, &value), c.result) << c.text;
    EXPECT_EQ(value, c.expected) << c.text;
  }
}

// What the default format writes reads back as the same moment, at every
// hour of the day.
TEST(DateRead, DefaultFormatReadsBack) {
  PinnedYear year(2026);
  for (int hour = 0; hour < 24; ++hour) {
    DateTime written = at(12, 31, 1999, hour, 5, 9);
    String text = format_date_time(written);
    DateTime read;
    EXPECT_TRUE(read_date_time(text, &read)) << text.c_str();
    EXPECT_EQ(read, written) << text.c_str();
  }
}

}  // namespace
}  // namespace tessaline
