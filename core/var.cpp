#include "core/var.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

#include "core/date.h"
#include "core/text_format.h"

namespace tessaline {

namespace {

int32_t clamp_to_int32(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return INT32_MAX;
  if (x <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(x);  // truncates toward zero
}

// Optional sign and digits at the very start; anything else reads as 0.
int32_t leading_int(const String& text) {
  const char* s = text.c_str();
  int i = 0;
  bool negative = false;
  if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';
  int64_t n = 0;
  for (; is_digit(s[i]); ++i) {
    if (n <= INT64_C(0x100000000)) n = n * 10 + (s[i] - '0');
  }
  if (negative) n = -n;
  if (n > INT32_MAX) return INT32_MAX;
  if (n < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(n);
}

// Optional sign, digits, optional point and digits at the very start. No
// exponent and no locale: the point is always ".".
double leading_double(const String& text) {
  const char* s = text.c_str();
  const int length = text.length();
  int i = 0;
  bool negative = false;
  if (i < length && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const int int_start = i;
  while (i < length && is_digit(s[i])) ++i;
  const int int_end = i;
  int frac_start = i, frac_end = i;
  if (i < length && s[i] == '.') {
    frac_start = frac_end = ++i;
    while (frac_end < length && is_digit(s[frac_end])) ++frac_end;
  }
  if (int_start == int_end && frac_start == frac_end) return 0.0;
  // "digits.digits" with an explicit zero for a missing side, as
  // from_chars wants it.
  String number;
  if (int_start == int_end) number.append('0');
  number.append(s + int_start, int_end - int_start);
  number.append('.');
  if (frac_start == frac_end) number.append('0');
  number.append(s + frac_start, frac_end - frac_start);
  double x = 0.0;
  auto result = std::from_chars(number.begin(), number.end(), x, std::chars_format::fixed);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large, or too small to be told from zero.
    bool large = false;
    for (int k = int_start; k < int_end; ++k) large = large || s[k] != '0';
    x = large ? HUGE_VAL : 0.0;
  }
  return negative ? -x : x;
}

}  // namespace

// --- setters -----------------------------------------------------------------

void Var::clear() {
  type_ = kTypeEmpty;
  kind_ = kKindEmpty;
  integer_ = 0;
  floating_ = 0.0;
  text_.clear();
  date_time_ = DateTime{};
}

void Var::set_integer(VarType type, int32_t n) {
  type_ = type;
  kind_ = kKindInteger;
  integer_ = n;
}

void Var::set_bool(bool b) { set_integer(kTypeBool, b ? 1 : 0); }
void Var::set_int8(int8_t n) { set_integer(kTypeInt8, n); }
void Var::set_uint8(uint8_t n) { set_integer(kTypeUInt8, n); }
void Var::set_int16(int16_t n) { set_integer(kTypeInt16, n); }
void Var::set_uint16(uint16_t n) { set_integer(kTypeUInt16, n); }
void Var::set_int32(int32_t n) { set_integer(kTypeInt32, n); }
void Var::set_uint32(uint32_t n) { set_integer(kTypeUInt32, static_cast<int32_t>(n)); }

void Var::set_float(float x) {
  type_ = kTypeFloat;
  kind_ = kKindFloating;
  floating_ = x;
}

void Var::set_double(double x) {
  type_ = kTypeDouble;
  kind_ = kKindFloating;
  floating_ = x;
}

void Var::set_string() {
  type_ = kTypeString;
  kind_ = kKindText;
  text_.clear();
}

void Var::set_string(const String& text) {
  type_ = kTypeString;
  kind_ = kKindText;
  text_ = text;
}

void Var::set_string(const char* bytes, int length) {
  type_ = kTypeString;
  kind_ = kKindText;
  text_.assign(bytes, length);
}

void Var::set_text(const char* text) {
  type_ = kTypeText;
  kind_ = kKindText;
  text_ = text;
}

void Var::set_text(const String& text) {
  type_ = kTypeText;
  kind_ = kKindText;
  text_ = text;
}

void Var::set_text(const char* bytes, int length) {
  type_ = kTypeText;
  kind_ = kKindText;
  text_.assign(bytes, length);
}

void Var::set_date(const Date& date) {
  type_ = kTypeDate;
  kind_ = kKindDate;
  date_time_ = DateTime{};
  date_time_.date = date;
}

void Var::set_date_time(const DateTime& date_time) {
  type_ = kTypeDateTime;
  kind_ = kKindDate;
  date_time_ = date_time;
}

// --- readings ----------------------------------------------------------------

bool Var::as_bool() const {
  switch (kind_) {
    case kKindInteger: return integer_ != 0;
    case kKindFloating: return floating_ != 0.0;
    case kKindText: return !text_.empty();
    case kKindDate:
      return type_ == kTypeDateTime ? is_valid_date_time(date_time_)
                                    : is_valid_date(date_time_.date);
    default: return false;
  }
}

int32_t Var::as_int() const {
  switch (kind_) {
    case kKindInteger: return integer_;
    case kKindFloating: return clamp_to_int32(floating_);
    case kKindText: return leading_int(text_);
    case kKindDate: return date_time_.date.serial;
    default: return 0;
  }
}

int8_t Var::as_char() const {
  if (kind_ == kKindText) return static_cast<int8_t>(text_.first());
  return static_cast<int8_t>(as_int());
}

uint8_t Var::as_uint8() const { return static_cast<uint8_t>(as_int()); }
int16_t Var::as_int16() const { return static_cast<int16_t>(as_int()); }
uint16_t Var::as_uint16() const { return static_cast<uint16_t>(as_int()); }

uint32_t Var::as_uint32() const {
  if (kind_ == kKindFloating) {
    if (std::isnan(floating_) || floating_ <= 0.0) return 0;
    if (floating_ >= 4294967295.0) return UINT32_MAX;
    return static_cast<uint32_t>(floating_);
  }
  return static_cast<uint32_t>(as_int());
}

double Var::as_double() const {
  switch (kind_) {
    case kKindInteger:
      return type_ == kTypeUInt32 ? static_cast<double>(static_cast<uint32_t>(integer_))
                                  : static_cast<double>(integer_);
    case kKindFloating: return floating_;
    case kKindText: return leading_double(text_);
    default: return 0.0;
  }
}

float Var::as_float() const { return static_cast<float>(as_double()); }

const String& Var::as_text() const {
  switch (kind_) {
    case kKindInteger:
      if (type_ == kTypeUInt32) {
        text_.format("%u", static_cast<uint32_t>(integer_));
      } else {
        text_.format("%d", integer_);
      }
      break;
    case kKindFloating:
      text_ = format_double(floating_, -1);
      break;
    case kKindText:
      break;
    case kKindDate:
      text_ = format_date(date_time_.date, "m/d/yy");
      break;
    default:
      text_.clear();
      break;
  }
  return text_;
}

Date Var::as_date() const {
  switch (kind_) {
    case kKindInteger:
      if (type_ == kTypeInt32 || type_ == kTypeUInt32) return date_from_serial(integer_);
      return Date{};
    case kKindText: {
      Date date;
      read_date(text_.view(), &date);  // "m/y" still yields m/1/y here
      return date;
    }
    case kKindDate: return date_time_.date;
    default: return Date{};
  }
}

DateTime Var::as_date_time() const {
  switch (kind_) {
    case kKindText: {
      DateTime date_time;
      read_date_time(text_.view(), &date_time);
      return date_time;
    }
    case kKindDate: return date_time_;
    default: return DateTime{};
  }
}

bool Var::is_empty() const {
  switch (kind_) {
    case kKindInteger: return integer_ == 0;
    case kKindFloating: return floating_ == 0.0;
    case kKindText: return text_.empty();
    case kKindDate:
      return type_ == kTypeDateTime ? !is_valid_date_time(date_time_)
                                    : !is_valid_date(date_time_.date);
    default: return true;
  }
}

String Var::formatted_date(const char* format) const {
  if (type_ == kTypeDate && is_valid_date(date_time_.date)) {
    return format_date(date_time_.date, format);
  }
  if (type_ == kTypeDateTime && is_valid_date_time(date_time_)) {
    return format_date_time(date_time_, format);
  }
  return String();
}

bool Var::operator==(const Var& other) const {
  if (this == &other) return true;
  // Both forms may live in scratch fields: compare a copy of one.
  String mine = as_text();
  return mine == other.as_text();
}

}  // namespace tessaline
