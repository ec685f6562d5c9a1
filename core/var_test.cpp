#include "core/var.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "core/date.h"
#include "core/string.h"

namespace tessaline {
namespace {

DateTime make_date_time(int month, int day, int year, int hour, int minute, int second) {
  DateTime dt;
  dt.date = make_date(month, day, year);
  dt.hour = hour;
  dt.minute = minute;
  dt.second = second;
  return dt;
}

Var uint32_value(uint32_t n) { Var v; v.set_uint32(n); return v; }
Var int8_value(int8_t n) { Var v; v.set_int8(n); return v; }

TEST(VarTest, EachSetterWritesItsTypeAndKind) {
  struct Case {
    Var value;
    VarType type;
    VarKind kind;
  };
  Var v[13];
  v[0].set_bool(true);
  v[1].set_int8(-1);
  v[2].set_uint8(255);
  v[3].set_int16(-2);
  v[4].set_uint16(65535);
  v[5].set_int32(7);
  v[6].set_uint32(7);
  v[7].set_float(1.5f);
  v[8].set_double(1.5);
  v[9].set_string("abc", 2);
  v[10].set_text("abc");
  v[11].set_date(make_date(1, 1, 2000));
  v[12].set_date_time(make_date_time(1, 1, 2000, 1, 2, 3));
  const Case cases[] = {
      {Var(), kTypeEmpty, kKindEmpty},     {v[0], kTypeBool, kKindInteger},
      {v[1], kTypeInt8, kKindInteger},     {v[2], kTypeUInt8, kKindInteger},
      {v[3], kTypeInt16, kKindInteger},    {v[4], kTypeUInt16, kKindInteger},
      {v[5], kTypeInt32, kKindInteger},    {v[6], kTypeUInt32, kKindInteger},
      {v[7], kTypeFloat, kKindFloating},   {v[8], kTypeDouble, kKindFloating},
      {v[9], kTypeString, kKindText},      {v[10], kTypeText, kKindText},
      {v[11], kTypeDate, kKindDate},       {v[12], kTypeDateTime, kKindDate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(c.value.type(), c.type);
    EXPECT_EQ(c.value.kind(), c.kind);
  }
  EXPECT_EQ(v[2].as_int(), 255);
  EXPECT_EQ(v[4].as_int(), 65535);
  EXPECT_EQ(v[9].as_text().std_string(), "ab");
  EXPECT_TRUE(v[11].as_date_time().time_unset());
  Var cleared = v[12];
  cleared.clear();
  EXPECT_EQ(cleared.type(), kTypeEmpty);
  EXPECT_TRUE(cleared.is_empty());
}

struct ConversionCase {
  const char* label;
  Var value;
  bool truth;
  int32_t integer;
  double number;
  const char* text;
  int32_t date_serial;  // of as_date()
  bool empty;
};

void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.label; }

class VarConversionTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(VarConversionTest, ReadsInEveryKind) {
  const ConversionCase& c = GetParam();
  EXPECT_EQ(c.value.as_bool(), c.truth);
  EXPECT_EQ(c.value.as_int(), c.integer);
  if (std::isnan(c.number)) {
    EXPECT_TRUE(std::isnan(c.value.as_double()));
  } else {
    EXPECT_DOUBLE_EQ(c.value.as_double(), c.number);
  }
  EXPECT_EQ(c.value.as_text().std_string(), c.text);
  EXPECT_EQ(c.value.as_date().serial, c.date_serial);
  EXPECT_EQ(c.value.is_empty(), c.empty);
}

constexpr int32_t k2000 = 2451544;  // 1 January 2000

INSTANTIATE_TEST_SUITE_P(AllKinds, VarConversionTest, testing::Values(
    ConversionCase{"empty", Var(), false, 0, 0.0, "", 0, true},
    ConversionCase{"true", Var::of_bool(true), true, 1, 1.0, "1", 0, false},
    ConversionCase{"false", Var::of_bool(false), false, 0, 0.0, "0", 0, true},
    ConversionCase{"int8", int8_value(-5), true, -5, -5.0, "-5", 0, false},
    ConversionCase{"int32 serial", Var::of_int(k2000), true, k2000, k2000, "2451544", k2000, false},
    ConversionCase{"int32 zero", Var::of_int(0), false, 0, 0.0, "0", 0, true},
    ConversionCase{"uint32 high", uint32_value(3000000000u), true, -1294967296, 3e9,
                   "3000000000", date_from_serial(-1294967296).serial, false},
    ConversionCase{"double", Var::of_double(2.5), true, 2, 2.5, "2.5", 0, false},
    ConversionCase{"negative double", Var::of_double(-3.99), true, -3, -3.99, "-3.99", 0, false},
    ConversionCase{"whole double", Var::of_double(3.0), true, 3, 3.0, "3", 0, false},
    ConversionCase{"zero double", Var::of_double(0.0), false, 0, 0.0, "0", 0, true},
    ConversionCase{"large double", Var::of_double(1e12), true, INT32_MAX, 1e12,
                   "1000000000000", 0, false},
    ConversionCase{"small negative", Var::of_double(-1e12), true, INT32_MIN, -1e12,
                   "-1000000000000", 0, false},
    ConversionCase{"not a number", Var::of_double(std::nan("")), true, 0, std::nan(""),
                   "nan", 0, false},
    ConversionCase{"text number", Var::of_text("42abc"), true, 42, 42.0, "42abc", 0, false},
    ConversionCase{"text decimal", Var::of_text("-7.5e3"), true, -7, -7.5, "-7.5e3", 0, false},
    ConversionCase{"text point", Var::of_text(".25"), true, 0, 0.25, ".25", 0, false},
    ConversionCase{"text plus", Var::of_text("+8."), true, 8, 8.0, "+8.", 0, false},
    ConversionCase{"text blank first", Var::of_text(" 5"), true, 0, 0.0, " 5", 0, false},
    ConversionCase{"text huge", Var::of_text("99999999999"), true, INT32_MAX, 99999999999.0,
                   "99999999999", 0, false},
    ConversionCase{"text empty", Var::of_text(""), false, 0, 0.0, "", 0, true},
    ConversionCase{"text date", Var::of_string("12/31/1999"), true, 12, 12.0, "12/31/1999",
                   k2000 - 1, false},
    ConversionCase{"text month and year", Var::of_text("1/2000"), true, 1, 1.0, "1/2000",
                   k2000, false},
    ConversionCase{"date", Var::of_date(make_date(1, 1, 2000)), true, k2000, 0.0, "1/1/2000",
                   k2000, false},
    ConversionCase{"empty date", Var::of_date(Date{}), false, 0, 0.0, "0/0/0000", 0, true},
    ConversionCase{"invalid date", Var::of_date(make_date(2, 30, 2000)), false,
                   make_date(2, 30, 2000).serial, 0.0, "2/30/2000",
                   make_date(2, 30, 2000).serial, true},
    ConversionCase{"date-time", Var::of_date_time(make_date_time(12, 31, 1999, 23, 5, 9)), true,
                   k2000 - 1, 0.0, "12/31/1999", k2000 - 1, false},
    ConversionCase{"date-time without time",
                   Var::of_date_time(make_date_time(12, 31, 1999, -1, -1, -1)), false, k2000 - 1,
                   0.0, "12/31/1999", k2000 - 1, true}));

TEST(VarTest, NarrowReadingsCutTheIntegerReading) {
  EXPECT_EQ(Var::of_int(300).as_char(), 44);
  EXPECT_EQ(Var::of_int(300).as_uint8(), 44);
  EXPECT_EQ(Var::of_int(-1).as_uint8(), 255);
  EXPECT_EQ(Var::of_int(70000).as_int16(), 4464);
  EXPECT_EQ(Var::of_int(-1).as_uint16(), 65535);
  EXPECT_EQ(Var::of_int(-1).as_uint32(), 4294967295u);
  EXPECT_EQ(Var::of_double(3e9).as_uint32(), 3000000000u);
  EXPECT_EQ(Var::of_double(-2.0).as_uint32(), 0u);
  // The character reading of a text is its first byte, not its number.
  EXPECT_EQ(Var::of_text("Abc").as_char(), 'A');
  EXPECT_EQ(Var::of_text("").as_char(), 0);
  EXPECT_EQ(Var::of_text("300").as_uint8(), 44);
  EXPECT_FLOAT_EQ(Var::of_text("1.5").as_float(), 1.5f);
}

TEST(VarTest, DateTimeReadings) {
  DateTime from_text = Var::of_text("12/31/1999 11:05p").as_date_time();
  EXPECT_EQ(from_text.date.serial, k2000 - 1);
  EXPECT_EQ(from_text.hour, 23);
  EXPECT_EQ(from_text.minute, 5);
  EXPECT_EQ(from_text.second, 0);

  DateTime date_only = Var::of_date(make_date(1, 1, 2000)).as_date_time();
  EXPECT_EQ(date_only.date.serial, k2000);
  EXPECT_TRUE(date_only.time_unset());

  const Var not_dates[] = {Var::of_int(k2000), Var::of_double(1.0), Var(), Var::of_bool(true)};
  for (const Var& v : not_dates) {
    SCOPED_TRACE(v.type());
    EXPECT_EQ(v.as_date_time(), DateTime{});
  }
  EXPECT_EQ(Var::of_text("no date").as_date_time().date, Date{});
}

TEST(VarTest, FormattedDate) {
  const Var date_time = Var::of_date_time(make_date_time(12, 31, 1999, 23, 5, 9));
  const Var date = Var::of_date(make_date(12, 31, 1999));
  struct Case {
    const Var* value;
    const char* format;
    const char* expected;
  } cases[] = {
      {&date_time, "", "12/31/99 11:05:09p"},
      {&date_time, nullptr, "12/31/99 11:05:09p"},
      {&date_time, "MM D, yy", "December 31st, 1999"},
      {&date_time, "dd M y HH:ii:ss", "31 Dec 99 23:05:09"},
      // A date without a time of day never prints an unset time.
      {&date, "", "12/31/99"},
      {&date, "dd M y", "31 Dec 99"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(c.value->formatted_date(c.format).std_string(), c.expected);
  }
  const Var not_formatted[] = {
      Var::of_date_time(make_date_time(12, 31, 1999, -1, -1, -1)),
      Var::of_date(make_date(2, 30, 2000)),
      Var::of_text("12/31/1999"),
      Var::of_int(k2000),
      Var(),
  };
  for (const Var& v : not_formatted) {
    SCOPED_TRACE(v.type());
    EXPECT_TRUE(v.formatted_date("m/d/y").empty());
  }
}

TEST(VarTest, EqualityComparesTextForms) {
  EXPECT_TRUE(Var::of_int(3) == Var::of_double(3.0));
  EXPECT_TRUE(Var::of_bool(true) == Var::of_text("1"));
  EXPECT_TRUE(Var() == Var::of_string(""));
  EXPECT_FALSE(Var::of_text("3.0") == Var::of_double(3.0));
  EXPECT_FALSE(Var::of_text("a") == Var::of_text("A"));
  const Var d = Var::of_date(make_date(1, 1, 2000));
  EXPECT_TRUE(d == Var::of_text("1/1/2000"));
  EXPECT_TRUE(d == d);
}

TEST(VarTest, TextFormOfOtherKindsDoesNotDisturbTheValue) {
  Var v = Var::of_double(2.5);
  EXPECT_EQ(v.as_text().std_string(), "2.5");
  v.set_int32(12);
  EXPECT_EQ(v.as_text().std_string(), "12");
  EXPECT_DOUBLE_EQ(v.as_double(), 12.0);
  Var copy = v;
  copy.set_text("x");
  EXPECT_EQ(v.as_int(), 12);
  EXPECT_EQ(copy.as_text().std_string(), "x");
}

}  // namespace
}  // namespace tessaline
