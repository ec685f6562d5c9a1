// var.h - Var, the tagged value that every layer passes around.
//
// A Var holds one of: nothing, a Boolean, an integer of 8, 16 or 32 bits, a
// single or double number, a text, a date, or a date with a time of day.
// Database rows, glob-file fields, registry values and the data tags of the
// merge engine all hand values over as Var, and read them back in the kind
// they need through the as_...() conversions below.
//
// Each value has a type code (what it was set as, VarType) and a storage kind
// (which field holds it, VarKind). The codes are stable numbers: callers
// keep them, and the merge engine's operators look at them.
//
// Not for: arithmetic (the expression evaluator in merge/ does that) or
// locale-dependent text; every text form here is plain ASCII digits.
//
// Failures: none. Every reading of every kind is defined; texts that do not
// hold a number read as 0, texts that do not hold a date read as the empty
// date, and numbers too large for a 32-bit reading are clamped.
#pragma once

#include <cstdint>

#include "core/date.h"
#include "core/string.h"

namespace tessaline {

// The type codes. 7 is not used.
enum VarType : int32_t {
  kTypeEmpty = 0,
  kTypeBool = 1,
  kTypeInt8 = 2,
  kTypeUInt8 = 3,
  kTypeInt16 = 4,
  kTypeUInt16 = 5,
  kTypeInt32 = 6,
  kTypeUInt32 = 8,
  kTypeFloat = 9,      // single precision, held widened to double
  kTypeDouble = 10,
  kTypeString = 11,    // a String, or bytes with a length
  kTypeText = 12,      // a C string; converts exactly like kTypeString
  kTypeDate = 13,      // a calendar date, time of day unset
  kTypeDateTime = 14,  // a date and a time of day
};

// Which field holds the value.
enum VarKind : int32_t {
  kKindEmpty = 0,
  kKindInteger = 1,   // Booleans and every integer type
  kKindFloating = 2,
  kKindText = 3,
  kKindDate = 4,
};

class Var {
 public:
  Var() = default;

  static Var of_bool(bool b) { Var v; v.set_bool(b); return v; }
  static Var of_int(int32_t n) { Var v; v.set_int32(n); return v; }
  static Var of_double(double x) { Var v; v.set_double(x); return v; }
  static Var of_text(const char* text) { Var v; v.set_text(text); return v; }
  static Var of_string(const String& text) { Var v; v.set_string(text); return v; }
  static Var of_date(const Date& date) { Var v; v.set_date(date); return v; }
  static Var of_date_time(const DateTime& dt) { Var v; v.set_date_time(dt); return v; }

  VarType type() const { return type_; }
  VarKind kind() const { return kind_; }
  bool is_bool() const { return type_ == kTypeBool; }
  bool is_number() const { return kind_ == kKindInteger || kind_ == kKindFloating; }
  bool is_text() const { return kind_ == kKindText; }
  bool is_date() const { return kind_ == kKindDate; }

  // --- setters: each writes the type, the kind and the value ---
  void clear();
  void set_bool(bool b);
  void set_int8(int8_t n);
  void set_uint8(uint8_t n);
  void set_int16(int16_t n);
  void set_uint16(uint16_t n);
  void set_int32(int32_t n);
  void set_uint32(uint32_t n);
  void set_float(float x);
  void set_double(double x);
  // Type 11. With no argument: the empty text.
  void set_string();
  void set_string(const String& text);
  void set_string(const char* bytes, int length);
  // Type 12. A null pointer is the empty text.
  void set_text(const char* text);
  void set_text(const String& text);
  void set_text(const char* bytes, int length);
  // Type 13: the date part only; the time of day is left unset.
  void set_date(const Date& date);
  // Type 14.
  void set_date_time(const DateTime& date_time);

  // --- readings ---
  bool as_bool() const;
  // Integers as they are (type 8 as its 32 bits); numbers truncated toward
  // zero and clamped to the 32-bit range (NaN reads as 0); texts by their
  // leading sign and digits; dates as their serial day.
  int32_t as_int() const;
  // The narrower readings cut the 32-bit reading, except that the
  // character reading of a text is its first byte.
  int8_t as_char() const;
  uint8_t as_uint8() const;
  int16_t as_int16() const;
  uint16_t as_uint16() const;
  uint32_t as_uint32() const;
  // Texts by their leading sign, digits, point and digits (no exponent, no
  // leading blanks); dates read as 0.
  double as_double() const;
  float as_float() const;
  // The text form. The reference stays good until this Var is changed or
  // read as text again.
  const String& as_text() const;
  // Types 6 and 8 as a serial day; texts through read_date(); the empty date
  // for everything else.
  Date as_date() const;
  // Texts through read_date_time(); the empty date-time for non-dates.
  DateTime as_date_time() const;
  bool is_empty() const;
  // A valid date (type 13) or date-time (type 14) in the given format;
  // empty text for anything else. A date without a time of day prints with
  // the date formats, "m/d/y" when no format is given; a date-time with the
  // full formats, "m/d/y h:ii:ssap" when none is given.
  String formatted_date(const char* format) const;

  // Equal text forms, byte for byte.
  bool operator==(const Var& other) const;

  // The raw fields, for stores that keep a value in its own width.
  int32_t integer_field() const { return integer_; }
  double floating_field() const { return floating_; }
  const DateTime& date_time_field() const { return date_time_; }

 private:
  void set_integer(VarType type, int32_t n);

  VarType type_ = kTypeEmpty;
  VarKind kind_ = kKindEmpty;
  int32_t integer_ = 0;
  double floating_ = 0.0;
  // The value of texts; the text form of other kinds is built here too.
  mutable String text_;
  DateTime date_time_;
};

}  // namespace tessaline
