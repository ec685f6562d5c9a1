// string.h - String, the program's one text type, and the character helpers.
//
// A String is a counted, heap-held run of 8-bit bytes with no encoding of its
// own (text is UTF-8 on Linux, but nothing here decodes it). An empty String
// owns no buffer and reads as "". Copies are deep. Positions are 0-based byte
// indices; a count of kToEnd reaches to the end; every search that finds
// nothing returns -1.
//
// Growth is additive: a reallocation leaves 25 spare bytes, and a buffer
// shrinks only when more than 512 bytes would lie idle. That keeps small
// edits cheap; building a very large text one byte at a time is linear in
// reallocations, not logarithmic (see bench/string_bench.cpp).
//
// Not for: wide text, locale-aware case or number handling.
//
// Diagnostics: a length above 0x40000000, a checked index out of range and a
// negative count to extend() are internal fatal errors ("core32 LINE").
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaline {

class String {
 public:
  static constexpr int kToEnd = 0x7fffffff;
  static constexpr int kMaxLength = 0x40000000;

  String() = default;
  String(const char* text);  // NOLINT: implicit, as text literals are everywhere
  String(const char* text, int n);
  explicit String(std::string_view text);
  String(const String& other);
  String(String&& other) noexcept;
  ~String();

  String& operator=(const String& other);
  String& operator=(String&& other) noexcept;
  String& operator=(const char* text);
  void assign(const char* text, int n);

  // printf-style; format() empties the string first.
  String& format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  String& append_format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  String& append_vformat(const char* fmt, va_list args);
  static String formatted(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

  // --- size ---
  int length() const { return length_; }
  int capacity() const { return capacity_; }
  bool empty() const { return length_ == 0; }
  // n <= 0 frees the buffer. Bytes between the old and a larger new length
  // are not cleared.
  void set_length(int n);
  void clear() { set_length(0); }
  // Grows the string by n bytes and returns the new area for the caller to
  // fill (n < 0 is a fatal error).
  char* extend(int n);

  // --- access ---
  const char* c_str() const { return buffer_ ? buffer_ : ""; }
  operator std::string_view() const { return {c_str(), static_cast<size_t>(length_)}; }
  std::string_view view() const { return *this; }
  std::string std_string() const { return std::string(c_str(), length_); }
  // Writable bytes; null while empty.
  char* data() { return buffer_; }
  char at(int i) const;        // fatal error when i is out of range
  char char_at(int i) const;   // 0 when i is out of range
  char& operator[](int i);     // checked
  char operator[](int i) const { return at(i); }
  char first() const { return char_at(0); }
  char last() const { return char_at(length_ - 1); }
  const char* begin() const { return c_str(); }
  const char* end() const { return c_str() + length_; }

  // --- append and insert ---
  String& append(const char* text, int n = kToEnd);
  String& append(const String& text, int n = kToEnd);
  String& append(char c);
  String& append(std::string_view text);
  String& operator+=(const char* text) { return append(text); }
  String& operator+=(const String& text) { return append(text); }
  String& operator+=(char c) { return append(c); }
  // Position i is clamped to 0..length.
  void insert(int i, char c, int times = 1);
  void insert(int i, const char* text, int n = kToEnd);
  void insert(int i, const String& text, int n = kToEnd);

  // --- remove ---
  // A negative i shortens n by -i and starts at 0; false when nothing lies
  // in range.
  bool remove(int i, int n);
  void remove_first(int n);
  void remove_last(int n);
  int remove_char(char c);
  int remove_chars(const char* set);
  int trim_left(const char* set = " \r\n\t");
  int trim_right(const char* set = " \r\n\t");
  int trim(const char* set = " \r\n\t") { return trim_right(set) + trim_left(set); }
  // Keeps only what precedes the first c (or first character of the set).
  void cut_at(char c);
  void cut_at_any(const char* set = " \r\n\t");
  bool strip_leading(char c);
  bool strip_trailing(char c);
  // Removes one enclosing pair when the first and last characters are
  // `open` and `close` (a one-character string is not a pair).
  bool strip_enclosing(char open, char close);
  bool strip_enclosing(char c) { return strip_enclosing(c, c); }
  int remove_leading_zeros();

  // --- search ---
  int find(char c, int start = 0, bool case_sensitive = true) const;
  int find(const char* text, int start = 0, bool case_sensitive = true) const;
  int find(const String& text, int start = 0, bool case_sensitive = true) const {
    return find(text.c_str(), start, case_sensitive);
  }
  int rfind(char c, int start = kToEnd) const;
  int find_any(const char* set, int start = 0) const;
  int find_not_any(const char* set, int start = 0) const;
  int rfind_any(const char* set) const;
  // First index starting a number: a digit, "+", "-" or "." (without the
  // ".", when `allow_point` is false).
  int find_number_start(int start = 0, bool allow_point = true) const;
  bool contains(char c) const { return find(c) >= 0; }
  bool contains(const char* text) const { return find(text) >= 0; }

  // --- compare ---
  bool operator==(const String& other) const;
  bool operator==(const char* text) const;
  bool operator==(std::string_view text) const { return view() == text; }
  // Negative, 0 or positive; see the .cpp for how empty texts and the
  // terminator take part.
  int compare(const char* other, bool case_sensitive = true, int n = kToEnd) const;
  int compare(const String& other, bool case_sensitive = true, int n = kToEnd) const {
    return compare(other.c_str(), case_sensitive, n);
  }
  bool equals_ignore_case(const char* other) const { return compare(other, false) == 0; }
  bool starts_with_ignore_case(const char* text) const;
  bool starts_with(std::string_view text) const { return view().starts_with(text); }
  bool ends_with(std::string_view text) const { return view().ends_with(text); }
  bool first_is(char c) const;  // case-insensitive
  bool last_is(char c) const;   // case-insensitive

  // --- replace ---
  void replace(int i, int n, const char* text);
  int replace_all(const char* searched, const char* replacement, bool case_sensitive = true);
  int replace_char(char c, const char* replacement);
  int replace_char(char c, char replacement, bool case_sensitive = true);
  int replace_line_breaks(const char* replacement);

  // --- lines ---
  void to_crlf();
  void to_lf();
  int next_line_start(int i) const;
  String extract_line();

  // --- extract ---
  static constexpr int kNoNumber = static_cast<int>(0x80000000u);
  int extract_int();
  String extract_quoted(char quote, int i = 0);
  String cut(int i, int n);
  char pop_first();
  char pop_last();
  String substr(int i, int n = kToEnd) const;

  // --- misc ---
  void increment_suffix();
  void enclose(char c);
  void ensure_first(char c);
  void ensure_last(char c);
  int count_trailing(char c) const;
  int overwrite_trailing(char c, char replacement);
  void to_upper();
  void to_lower();
  uint32_t hash() const;
  static uint32_t hash(const char* text, int length);

 private:
  char* buffer_ = nullptr;
  int32_t length_ = 0;
  int32_t capacity_ = 0;
};

String operator+(const String& a, const String& b);
String operator+(const String& a, const char* b);
String operator+(const char* a, const String& b);
String operator+(const String& a, char b);

// Case-insensitive comparison used to sort lists of Strings.
int compare_strings_ignore_case(const String& a, const String& b);

// --- character classes: ASCII only, no locale ---
inline bool is_digit(int c) { return c >= '0' && c <= '9'; }
inline bool is_upper(int c) { return c >= 'A' && c <= 'Z'; }
inline bool is_lower(int c) { return c >= 'a' && c <= 'z'; }
inline bool is_letter(int c) { return is_upper(c) || is_lower(c); }
inline bool is_letter_or_digit(int c) { return is_letter(c) || is_digit(c); }
inline bool is_white(int c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
// A place where a line may be wrapped.
inline bool is_word_break(int c) {
  return c == ' ' || c == ',' || c == '-' || c == ';' || c == '>' || c == '\t';
}
inline char to_upper(char c) { return is_lower(c) ? static_cast<char>(c - 32) : c; }
inline char to_lower(char c) { return is_upper(c) ? static_cast<char>(c + 32) : c; }

// --- numeric helpers ---
int ceiling_divide(int a, int b);  // b == 0 is a fatal error
double factorial(int n);
int random_int(int n);   // 0..n-1 from rand(); 0 for n < 2
char random_letter_or_digit();
int round_to_int(double x);  // halves away from zero

}  // namespace tessaline

template <>
struct std::hash<tessaline::String> {
  size_t operator()(const tessaline::String& s) const noexcept { return s.hash(); }
};
