#include "core/text_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/date.h"

namespace tessaline {
namespace {

TEST(FormatNumbers, Doubles) {
  struct Case {
    double x;
    int precision;
    const char* expected;
  };
  const Case cases[] = {
      {2.5, -1, "2.5"},      {3.0, -1, "3"},       {0.1, -1, "0.1"},
      {100.0, -1, "100"},    {-0.25, -1, "-0.25"}, {1.0 / 3, -1, "0.333333"},
      {1.23456, 2, "1.23"},  {2.5, 0, "2"},        {7.0, 3, "7.000"},
      {INFINITY, -1, "inf"}, {-INFINITY, -5, "-inf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_double(c.x, c.precision), c.expected) << c.x << " precision " << c.precision;
  }
}

TEST(FormatNumbers, AHugePrecisionStaysBounded) {
  String text = format_double(1.0, INT_MAX);
  EXPECT_TRUE(text.starts_with("1.000"));
  EXPECT_LT(text.length(), 2000);
}

// A desktop program takes LC_NUMERIC from the user's environment; the
// texts here keep the point anyway.
TEST(FormatNumbers, DecimalPointIgnoresTheLocale) {
  const char* found = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"}) {
    if (std::setlocale(LC_NUMERIC, name)) {
      found = name;
      break;
    }
  }
  if (!found) GTEST_SKIP() << "no locale with a decimal comma is installed";
  EXPECT_EQ(String::formatted("%.1f", 2.5), "2,5") << found;  // the hazard is real here
  EXPECT_EQ(format_double(2.5), "2.5");
  EXPECT_EQ(format_double(2.25, 1), "2.2");
  EXPECT_EQ(format_size(1536), "1.50 KB");
  EXPECT_EQ(format_duration(1500), "1.50 seconds");
  std::setlocale(LC_NUMERIC, "C");
}

TEST(FormatNumbers, IntsAndCommas) {
  EXPECT_EQ(format_int(0), "0");
  EXPECT_EQ(format_int(-42), "-42");
  EXPECT_EQ(format_int(INT_MIN), "-2147483648");

  struct Case {
    int64_t n;
    const char* expected;
  };
  const Case cases[] = {
      {0, "0"},
      {1234, "1234"},
      {-1234, "-1234"},
      {12345, "12,345"},
      {100000, "100,000"},
      {999999, "999,999"},
      {1234567, "1,234,567"},
      {-1234567, "-1,234,567"},
      {INT64_MAX, "9,223,372,036,854,775,807"},
      {INT64_MIN, "-9,223,372,036,854,775,808"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_with_commas(c.n), c.expected) << c.n;
}

TEST(FormatNumbers, Sizes) {
  struct Case {
    int64_t bytes;
    const char* expected;
  };
  const Case cases[] = {
      {-5, "-5 bytes"},
      {0, "0 bytes"},
      {1023, "1023 bytes"},
      {1024, "1.00 KB"},
      {1536, "1.50 KB"},
      {1048575, "1024.00 KB"},
      {1048576, "1.00 MB"},
      {1073741823, "1024.00 MB"},
      {1073741824, "1.00 GB"},
      {int64_t{1} << 40, "1.00 TB"},
      {INT64_MAX, "8388608.00 TB"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_size(c.bytes), c.expected) << c.bytes;
}

TEST(FormatNumbers, Durations) {
  struct Case {
    int64_t milliseconds;
    const char* expected;
  };
  const Case cases[] = {
      {0, "0 milliseconds"},
      {1, "1 millisecond"},
      {999, "999 milliseconds"},
      {1000, "1.00 seconds"},
      {1500, "1.50 seconds"},
      {99999, "100.00 seconds"},
      {100000, "1 minute, 40 seconds"},
      {121000, "2 minutes, 1 seconds"},
      {3599999, "59 minutes, 59 seconds"},
      {3600000, "1 hour, 0 minutes"},
      {7260000, "2 hours, 1 minutes"},
      {86400000, "24 hours, 0 minutes"},
      {86459999, "24 hours, 0 minutes"},
      {86460000, "1 day, 0 hours"},
      {2 * 86400000 + 5 * 3600000, "2 days, 5 hours"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_duration(c.milliseconds), c.expected) << c.milliseconds;
  }
}

TEST(FormatWords, OrdinalSuffixes) {
  struct Case {
    int n;
    const char* expected;
  };
  const Case cases[] = {
      {0, "0th"},     {1, "1st"},     {2, "2nd"},     {3, "3rd"},     {4, "4th"},
      {11, "11th"},   {12, "12th"},   {13, "13th"},   {20, "20th"},   {21, "21st"},
      {22, "22nd"},   {23, "23rd"},   {31, "31st"},   {101, "101st"}, {111, "111th"},
      {112, "112th"}, {113, "113th"}, {1002, "1002nd"}, {-1, "-1st"}, {-11, "-11th"},
  };
  for (const Case& c : cases) EXPECT_EQ(ordinal_suffix(c.n), c.expected) << c.n;
}

TEST(FormatWords, NumberWords) {
  struct Case {
    int n;
    const char* expected;
  };
  const Case cases[] = {
      {0, "Zero"},
      {7, "Seven"},
      {19, "Nineteen"},
      {20, "Twenty"},
      {21, "Twenty One"},
      {99, "Ninety Nine"},
      {100, "One Hundred"},
      {101, "One Hundred One"},
      {1000, "One Thousand"},
      {1999, "One Thousand Nine Hundred Ninety Nine"},
      {2000, "Two Thousand"},
      {1000001, "One Million One"},
      {-5, "Negative Five"},
      {INT_MAX,
       "Two Thousand One Hundred Forty Seven Million Four Hundred Eighty Three Thousand Six "
       "Hundred Forty Seven"},
      {INT_MIN,
       "Negative Two Thousand One Hundred Forty Seven Million Four Hundred Eighty Three "
       "Thousand Six Hundred Forty Eight"},
  };
  for (const Case& c : cases) EXPECT_EQ(number_words(c.n), c.expected) << c.n;
}

TEST(FormatWords, OrdinalWords) {
  struct Case {
    int n;
    const char* expected;
  };
  const Case cases[] = {
      {1, "First"},
      {3, "Third"},
      {10, "Tenth"},
      {11, "Eleventh"},
      {12, "Twelfth"},
      {13, "Thirteenth"},
      {19, "Nineteenth"},
      {20, "Twentieth"},
      {21, "Twenty First"},
      {30, "Thirtieth"},
      {31, "Thirty First"},
      {112, "One Hundred Twelfth"},
      {1012, "One Thousand Twelfth"},
      {113, "One Hundred Thirteenth"},
      {230, "Two Hundred Thirtieth"},
      {1000002, "One Million Second"},
      {0, "Zeroth"},
      {100, "One Hundredth"},
      {2000, "Two Thousandth"},
      {-2, "Negative Second"},
      {INT_MIN,
       "Negative Two Thousand One Hundred Forty Seven Million Four Hundred Eighty Three "
       "Thousand Six Hundred Forty Eighth"},
  };
  for (const Case& c : cases) EXPECT_EQ(ordinal_words(c.n), c.expected) << c.n;
}

TEST(FormatCalendar, LeapYearsAndMonthLengths) {
  struct Case {
    int year;
    bool leap;
  };
  // Julian rule before 1582, Gregorian from then on.
  const Case cases[] = {{1500, true}, {1580, true},  {1581, false}, {1600, true},
                        {1700, false}, {1900, false}, {2000, true},  {2023, false},
                        {2024, true}};
  for (const Case& c : cases) EXPECT_EQ(is_leap_year(c.year), c.leap) << c.year;

  EXPECT_EQ(days_in_month(2, 2000), 29);
  EXPECT_EQ(days_in_month(2, 1900), 28);
  EXPECT_EQ(days_in_month(2, 1500), 29);
  EXPECT_EQ(days_in_month(1, 2001), 31);
  EXPECT_EQ(days_in_month(4, 2001), 30);
  EXPECT_EQ(days_in_month(12, 2001), 31);
  EXPECT_EQ(days_in_month(0, 2001), 0);
  EXPECT_EQ(days_in_month(13, 2001), 0);
}

TEST(FormatCalendar, NamesAreEmptyOutsideTheirRange) {
  EXPECT_EQ(weekday_name(1), "Sunday");
  EXPECT_EQ(weekday_name(7), "Saturday");
  EXPECT_EQ(weekday_name(0), "");
  EXPECT_EQ(weekday_name(8), "");
  EXPECT_EQ(month_name(1), "January");
  EXPECT_EQ(month_name(12), "December");
  EXPECT_EQ(month_name(0), "");
  EXPECT_EQ(month_name(13), "");
}

// --- the clock texts --------------------------------------------------------

ClockReading pinned_reading;
ClockReading pinned_clock() { return pinned_reading; }

class PinnedClock {
 public:
  PinnedClock(int hour, int offset_minutes) {
    pinned_reading.local.date = make_date(12, 31, 1999);
    pinned_reading.local.hour = hour;
    pinned_reading.local.minute = 5;
    pinned_reading.local.second = 9;
    pinned_reading.utc_offset_minutes = offset_minutes;
    previous_ = set_clock(&pinned_clock);
  }
  ~PinnedClock() { set_clock(previous_); }

 private:
  Clock previous_;
};

TEST(FormatClock, TodayAndNowUseTheInstalledClock) {
  struct Case {
    int hour;
    const char* time;
  };
  const Case cases[] = {{0, "12:05:09a"}, {9, "9:05:09a"}, {11, "11:05:09a"},
                        {12, "12:05:09p"}, {13, "1:05:09p"}, {23, "11:05:09p"}};
  for (const Case& c : cases) {
    PinnedClock clock(c.hour, 0);
    EXPECT_EQ(today_text(), "12/31/1999");
    EXPECT_EQ(time_now_text(), c.time) << c.hour;
    EXPECT_EQ(now_text(), String("12/31/1999 ") + c.time);
  }
}

TEST(FormatClock, TimeZoneTexts) {
  struct Case {
    int offset;
    const char* expected;
  };
  const Case cases[] = {{-300, "-0500"}, {60, "+0100"}, {330, "+0530"},
                        {0, "+0000"},    {-90, "-0130"}, {-720, "-1200"}};
  for (const Case& c : cases) {
    EXPECT_EQ(time_zone_text(c.offset), c.expected);
    PinnedClock clock(10, c.offset);
    EXPECT_EQ(time_zone_offset(), c.offset);
    EXPECT_EQ(time_zone_text(), c.expected);
  }
}

// The system clock's offset comes from the C library's view of TZ: a zone
// west of Greenwich must come out negative.
TEST(FormatClock, SystemOffsetFollowsTheTimeZone) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  struct Case {
    const char* zone;
    int offset;
    const char* text;
  };
  const Case cases[] = {{"EST5", -300, "-0500"}, {"UTC0", 0, "+0000"}, {"CET-1", 60, "+0100"},
                        {"IST-5:30", 330, "+0530"}};
  for (const Case& c : cases) {
    setenv("TZ", c.zone, 1);
    tzset();
    EXPECT_EQ(time_zone_offset(), c.offset) << c.zone;
    EXPECT_EQ(time_zone_text(), c.text) << c.zone;
  }
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace tessaline
