#include "core/string.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>

#include "core/fatal_error.h"

namespace tessaline {

namespace {

const char kUnit[] = "core32";

int measure(const char* text) {
  if (!text) return 0;
  size_t n = std::strlen(text);
  if (n > static_cast<size_t>(String::kMaxLength)) FatalError("%s %d", kUnit, __LINE__);
  return static_cast<int>(n);
}

bool in_set(char c, const char* set) { return c != 0 && std::strchr(set, c) != nullptr; }

// Appends n bytes by length: unlike append(const char*), a 0 byte among them
// is copied rather than taken as the end. `bytes` must not lie in `out`.
void append_bytes(String& out, const char* bytes, int n) {
  if (n > 0) std::memcpy(out.extend(n), bytes, n);
}

// Length of the line break at s[i], or 0 when none starts there.
int break_length(const char* s, int i, int length) {
  char c = s[i];
  if (c != '\r' && c != '\n') return 0;
  if (i + 1 < length) {
    char d = s[i + 1];
    if ((c == '\r' && d == '\n') || (c == '\n' && d == '\r')) return 2;
  }
  return 1;
}

}  // namespace

// --- construction -----------------------------------------------------------

String::String(const char* text) { assign(text, measure(text)); }

String::String(const char* text, int n) { assign(text, n); }

String::String(std::string_view text) {
  if (text.size() > static_cast<size_t>(kMaxLength)) FatalError("%s %d", kUnit, __LINE__);
  assign(text.data(), static_cast<int>(text.size()));
}

String::String(const String& other) { assign(other.buffer_, other.length_); }

String::String(String&& other) noexcept
    : buffer_(other.buffer_), length_(other.length_), capacity_(other.capacity_) {
  other.buffer_ = nullptr;
  other.length_ = other.capacity_ = 0;
}

String::~String() { std::free(buffer_); }

String& String::operator=(const String& other) {
  if (this != &other) assign(other.buffer_, other.length_);
  return *this;
}

String& String::operator=(String&& other) noexcept {
  if (this != &other) {
    std::free(buffer_);
    buffer_ = other.buffer_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.buffer_ = nullptr;
    other.length_ = other.capacity_ = 0;
  }
  return *this;
}

String& String::operator=(const char* text) {
  assign(text, measure(text));
  return *this;
}

void String::assign(const char* text, int n) {
  if (!text || n <= 0) {
    set_length(0);
    return;
  }
  if (buffer_ && text >= buffer_ && text < buffer_ + capacity_) {
    // Assigning a piece of ourselves: move it down, then cut.
    int offset = static_cast<int>(text - buffer_);
    if (n > length_ - offset) n = length_ - offset;
    std::memmove(buffer_, text, n);
    set_length(n);
    return;
  }
  set_length(n);
  std::memcpy(buffer_, text, n);
}

String& String::append_vformat(const char* fmt, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n <= 0) return *this;
  if (n < static_cast<int>(sizeof small)) {
    append_bytes(*this, small, n);  // all n bytes, as for a longer result
    return *this;
  }
  String big;
  big.set_length(n);
  std::vsnprintf(big.buffer_, n + 1, fmt, args);
  return append(big);
}

String& String::append_format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  append_vformat(fmt, args);
  va_end(args);
  return *this;
}

String& String::format(const char* fmt, ...) {
  // The arguments may point into this string: format into a fresh one.
  String result;
  va_list args;
  va_start(args, fmt);
  result.append_vformat(fmt, args);
  va_end(args);
  *this = std::move(result);
  return *this;
}

String String::formatted(const char* fmt, ...) {
  String result;
  va_list args;
  va_start(args, fmt);
  result.append_vformat(fmt, args);
  va_end(args);
  return result;
}

// --- size -------------------------------------------------------------------

void String::set_length(int n) {
  if (n <= 0) {
    std::free(buffer_);
    buffer_ = nullptr;
    length_ = capacity_ = 0;
    return;
  }
  if (n == length_) return;
  if (n >= capacity_ || n < capacity_ - 512) {
    if (n > kMaxLength) FatalError("%s %d", kUnit, __LINE__);
    buffer_ = static_cast<char*>(checked_realloc(buffer_, static_cast<size_t>(n) + 25));
    capacity_ = n + 25;
  }
  length_ = n;
  buffer_[n] = 0;
}

char* String::extend(int n) {
  if (n < 0) FatalError("%s %d", kUnit, __LINE__);
  int old = length_;
  if (n > kMaxLength - old) FatalError("%s %d", kUnit, __LINE__);
  set_length(old + n);
  return buffer_ ? buffer_ + old : nullptr;
}

// --- access -----------------------------------------------------------------

char String::at(int i) const {
  if (i < 0 || i >= length_) FatalError("%s %d", kUnit, __LINE__);
  return buffer_[i];
}

char String::char_at(int i) const { return (i < 0 || i >= length_) ? 0 : buffer_[i]; }

char& String::operator[](int i) {
  if (i < 0 || i >= length_) FatalError("%s %d", kUnit, __LINE__);
  return buffer_[i];
}

// --- append and insert ------------------------------------------------------

String& String::append(const char* text, int n) {
  if (!text || n <= 0) return *this;
  int len = static_cast<int>(strnlen(text, static_cast<size_t>(n)));
  if (len == 0) return *this;
  bool inside = buffer_ && text >= buffer_ && text < buffer_ + capacity_;
  ptrdiff_t offset = inside ? text - buffer_ : 0;
  char* area = extend(len);
  std::memmove(area, inside ? buffer_ + offset : text, len);
  return *this;
}

String& String::append(const String& text, int n) {
  if (n > text.length_) n = text.length_;
  if (n <= 0) return *this;
  if (&text == this) {
    int keep = length_;
    char* area = extend(n);
    std::memmove(area, buffer_, n <= keep ? n : keep);
    return *this;
  }
  std::memcpy(extend(n), text.buffer_, n);
  return *this;
}

String& String::append(char c) {
  *extend(1) = c;
  return *this;
}

String& String::append(std::string_view text) {
  if (text.empty()) return *this;
  if (text.size() > static_cast<size_t>(kMaxLength)) FatalError("%s %d", kUnit, __LINE__);
  String copy(text);  // the view may point into this string
  return append(copy);
}

void String::insert(int i, char c, int times) {
  if (times <= 0) return;
  if (i < 0) i = 0;
  if (i > length_) i = length_;
  int old = length_;
  extend(times);
  std::memmove(buffer_ + i + times, buffer_ + i, old - i);
  std::memset(buffer_ + i, static_cast<unsigned char>(c), times);
}

void String::insert(int i, const char* text, int n) {
  if (!text || n <= 0) return;
  String piece(text, static_cast<int>(strnlen(text, static_cast<size_t>(n))));
  insert(i, piece);
}

void String::insert(int i, const String& text, int n) {
  if (n > text.length_) n = text.length_;
  if (n <= 0) return;
  if (&text == this) {
    String copy(text);
    insert(i, copy, n);
    return;
  }
  if (i < 0) i = 0;
  if (i > length_) i = length_;
  int old = length_;
  extend(n);
  std::memmove(buffer_ + i + n, buffer_ + i, old - i);
  std::memcpy(buffer_ + i, text.buffer_, n);
}

// --- remove -----------------------------------------------------------------

bool String::remove(int i, int n) {
  if (i < 0) {
    n += i;
    i = 0;
  }
  if (n <= 0 || i >= length_) return false;
  if (n > length_ - i) n = length_ - i;
  std::memmove(buffer_ + i, buffer_ + i + n, length_ - i - n);
  set_length(length_ - n);
  return true;
}

void String::remove_first(int n) {
  if (n > length_) n = length_;
  if (n > 0) remove(0, n);
}

void String::remove_last(int n) {
  if (n > length_) n = length_;
  if (n > 0) set_length(length_ - n);
}

int String::remove_char(char c) {
  int out = 0;
  for (int i = 0; i < length_; ++i)
    if (buffer_[i] != c) buffer_[out++] = buffer_[i];
  int removed = length_ - out;
  if (removed) set_length(out);
  return removed;
}

int String::remove_chars(const char* set) {
  int out = 0;
  for (int i = 0; i < length_; ++i)
    if (!in_set(buffer_[i], set)) buffer_[out++] = buffer_[i];
  int removed = length_ - out;
  if (removed) set_length(out);
  return removed;
}

int String::trim_left(const char* set) {
  int n = 0;
  while (n < length_ && in_set(buffer_[n], set)) ++n;
  if (n) remove(0, n);
  return n;
}

int String::trim_right(const char* set) {
  int n = 0;
  while (n < length_ && in_set(buffer_[length_ - 1 - n], set)) ++n;
  if (n) set_length(length_ - n);
  return n;
}

void String::cut_at(char c) {
  int i = find(c);
  if (i >= 0) set_length(i);
}

void String::cut_at_any(const char* set) {
  int i = find_any(set);
  if (i >= 0) set_length(i);
}

bool String::strip_leading(char c) {
  if (length_ == 0 || buffer_[0] != c) return false;
  remove(0, 1);
  return true;
}

bool String::strip_trailing(char c) {
  if (length_ == 0 || buffer_[length_ - 1] != c) return false;
  set_length(length_ - 1);
  return true;
}

bool String::strip_enclosing(char open, char close) {
  if (length_ < 2 || buffer_[0] != open || buffer_[length_ - 1] != close) return false;
  set_length(length_ - 1);
  remove(0, 1);
  return true;
}

int String::remove_leading_zeros() {
  int start = (length_ > 0 && buffer_[0] == '-') ? 1 : 0;
  int n = 0;
  while (start + n < length_ && buffer_[start + n] == '0') ++n;
  if (n) remove(start, n);
  return n;
}

// --- search -----------------------------------------------------------------

int String::find(char c, int start, bool case_sensitive) const {
  if (start < 0) start = 0;
  if (case_sensitive) {
    for (int i = start; i < length_; ++i)
      if (buffer_[i] == c) return i;
  } else {
    char u = tessaline::to_upper(c);
    for (int i = start; i < length_; ++i)
      if (tessaline::to_upper(buffer_[i]) == u) return i;
  }
  return -1;
}

int String::find(const char* text, int start, bool case_sensitive) const {
  int n = measure(text);
  if (n == 0) return -1;
  if (start < 0) start = 0;
  for (int i = start; i <= length_ - n; ++i) {
    int k = 0;
    if (case_sensitive) {
      while (k < n && buffer_[i + k] == text[k]) ++k;
    } else {
      while (k < n && tessaline::to_upper(buffer_[i + k]) == tessaline::to_upper(text[k])) ++k;
    }
    if (k == n) return i;
  }
  return -1;
}

int String::rfind(char c, int start) const {
  if (start >= length_) start = length_ - 1;
  for (int i = start; i >= 0; --i)
    if (buffer_[i] == c) return i;
  return -1;
}

int String::find_any(const char* set, int start) const {
  if (start < 0) start = 0;
  for (int i = start; i < length_; ++i)
    if (in_set(buffer_[i], set)) return i;
  return -1;
}

int String::find_not_any(const char* set, int start) const {
  if (start < 0) start = 0;
  for (int i = start; i < length_; ++i)
    if (!in_set(buffer_[i], set)) return i;
  return -1;
}

int String::rfind_any(const char* set) const {
  for (int i = length_ - 1; i >= 0; --i)
    if (in_set(buffer_[i], set)) return i;
  return -1;
}

int String::find_number_start(int start, bool allow_point) const {
  if (start < 0) start = 0;
  for (int i = start; i < length_; ++i) {
    char c = buffer_[i];
    if (is_digit(c) || c == '+' || c == '-' || (allow_point && c == '.')) return i;
  }
  return -1;
}

// --- compare ----------------------------------------------------------------

bool String::operator==(const String& other) const {
  return length_ == other.length_ && (length_ == 0 || std::memcmp(buffer_, other.buffer_, length_) == 0);
}

bool String::operator==(const char* text) const {
  int n = measure(text);
  return n == length_ && (n == 0 || std::memcmp(buffer_, text, n) == 0);
}

// The terminator takes part in the comparison, so "abc" sorts before "abcd".
int String::compare(const char* other, bool case_sensitive, int n) const {
  int other_length = measure(other);
  if (other_length == 0) return length_ == 0 ? 0 : 1;
  if (length_ == 0) return -1;
  int m = (length_ < other_length ? length_ : other_length) + 1;
  if (m > n) m = n;
  if (m < 1) return -1;
  const unsigned char* a = reinterpret_cast<const unsigned char*>(buffer_);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(other);
  for (int i = 0; i < m; ++i) {
    int x = a[i], y = b[i];
    if (!case_sensitive) {
      if (x >= 'A' && x <= 'Z') x += 32;
      if (y >= 'A' && y <= 'Z') y += 32;
    }
    if (x != y) return x - y;
  }
  return 0;
}

bool String::starts_with_ignore_case(const char* text) const {
  int n = measure(text);
  if (n > length_) return false;
  for (int i = 0; i < n; ++i)
    if (tessaline::to_upper(buffer_[i]) != tessaline::to_upper(text[i])) return false;
  return true;
}

bool String::first_is(char c) const {
  return length_ > 0 && tessaline::to_upper(buffer_[0]) == tessaline::to_upper(c);
}

bool String::last_is(char c) const {
  return length_ > 0 && tessaline::to_upper(buffer_[length_ - 1]) == tessaline::to_upper(c);
}

int compare_strings_ignore_case(const String& a, const String& b) { return a.compare(b, false); }

// --- replace ----------------------------------------------------------------

void String::replace(int i, int n, const char* text) {
  String piece(text);  // text may point into this string
  if (i < 0) {
    n += i;
    i = 0;
  }
  if (i > length_) i = length_;
  if (n < 0) n = 0;
  if (n > length_ - i) n = length_ - i;
  String result(buffer_, i);
  result.append(piece);
  append_bytes(result, c_str() + i + n, length_ - i - n);
  *this = std::move(result);
}

int String::replace_all(const char* searched, const char* replacement, bool case_sensitive) {
  String what(searched), with(replacement);
  if (what.empty()) return 0;
  int count = 0, from = 0;
  String result;
  for (int hit; (hit = find(what.c_str(), from, case_sensitive)) >= 0; from = hit + what.length_) {
    append_bytes(result, buffer_ + from, hit - from);
    result.append(with);
    ++count;
  }
  if (count) {
    append_bytes(result, c_str() + from, length_ - from);
    *this = std::move(result);
  }
  return count;
}

int String::replace_char(char c, const char* replacement) {
  if (find(c) < 0) return 0;
  String with(replacement), result;
  int count = 0;
  for (int i = 0; i < length_; ++i) {
    if (buffer_[i] == c) {
      result.append(with);
      ++count;
    } else {
      result.append(buffer_[i]);
    }
  }
  *this = std::move(result);
  return count;
}

int String::replace_char(char c, char replacement, bool case_sensitive) {
  int count = 0;
  char u = tessaline::to_upper(c);
  for (int i = 0; i < length_; ++i) {
    bool hit = case_sensitive ? buffer_[i] == c : tessaline::to_upper(buffer_[i]) == u;
    if (hit) {
      buffer_[i] = replacement;
      ++count;
    }
  }
  return count;
}

int String::replace_line_breaks(const char* replacement) {
  String with(replacement), result;
  int count = 0;
  for (int i = 0; i < length_;) {
    int n = break_length(buffer_, i, length_);
    if (n) {
      result.append(with);
      ++count;
      i += n;
    } else {
      result.append(buffer_[i++]);
    }
  }
  if (count) *this = std::move(result);
  return count;
}

// --- lines ------------------------------------------------------------------

void String::to_crlf() { replace_line_breaks("\r\n"); }

void String::to_lf() { replace_line_breaks("\n"); }

int String::next_line_start(int i) const {
  if (i < 0) i = 0;
  for (; i < length_; ++i) {
    int n = break_length(buffer_, i, length_);
    if (n) return i + n;
  }
  return -1;
}

String String::extract_line() {
  for (int i = 0; i < length_; ++i) {
    int n = buffer_[i] == 0 ? 1 : break_length(buffer_, i, length_);
    if (n) {
      String line(buffer_, i);
      remove(0, i + n);
      return line;
    }
  }
  String line(std::move(*this));
  clear();
  return line;
}

// --- extract ----------------------------------------------------------------

int String::extract_int() {
  int i = find_number_start();
  if (i < 0) return kNoNumber;
  int j = i;
  bool negative = false;
  if (buffer_[j] == '+' || buffer_[j] == '-') negative = buffer_[j++] == '-';
  uint32_t value = 0;  // wraps as a 32-bit register would, without overflow
  int digits_start = j;
  while (j < length_ && is_digit(buffer_[j])) value = value * 10 + (buffer_[j++] - '0');
  // A lone sign or point reads as 0; it is consumed so that a caller that
  // takes numbers in a loop always moves on.
  if (j == digits_start && j == i) ++j;
  remove(0, j);
  if (negative) value = 0u - value;
  return static_cast<int>(value);
}

String String::extract_quoted(char quote, int i) {
  if (i < 0 || i >= length_ || buffer_[i] != quote) return String();
  String result;
  int j = i + 1;
  while (j < length_) {
    if (buffer_[j] == quote) {
      if (j + 1 < length_ && buffer_[j + 1] == quote) {
        result.append(quote);
        j += 2;
        continue;
      }
      ++j;  // the closing quote
      break;
    }
    result.append(buffer_[j++]);
  }
  remove(i, j - i);
  return result;
}

String String::cut(int i, int n) {
  String piece = substr(i, n);
  remove(i, n);
  return piece;
}

String String::substr(int i, int n) const {
  if (i < 0) {
    n += i;
    i = 0;
  }
  if (n <= 0 || i >= length_) return String();
  if (n > length_ - i) n = length_ - i;
  return String(buffer_ + i, n);
}

char String::pop_first() {
  if (length_ == 0) return 0;
  char c = buffer_[0];
  remove(0, 1);
  return c;
}

char String::pop_last() {
  if (length_ == 0) return 0;
  char c = buffer_[length_ - 1];
  set_length(length_ - 1);
  return c;
}

// --- misc -------------------------------------------------------------------

void String::increment_suffix() {
  int end = length_;
  int start = end;
  while (start > 0 && is_digit(buffer_[start - 1])) --start;
  if (start == end) {
    append('2');
    return;
  }
  // The digit run is read as a number: leading zeros go ("copy09" becomes
  // "copy10"). Incrementing the decimal text itself never overflows.
  String digits = substr(start, end - start);
  digits.remove_leading_zeros();
  if (digits.empty()) digits = "0";
  int k = digits.length() - 1;
  while (k >= 0 && digits.buffer_[k] == '9') digits.buffer_[k--] = '0';
  if (k >= 0) {
    ++digits.buffer_[k];
  } else {
    digits.insert(0, '1');
  }
  set_length(start);
  append(digits);
}

void String::enclose(char c) {
  insert(0, c);
  append(c);
}

void String::ensure_first(char c) {
  if (length_ == 0 || buffer_[0] != c) insert(0, c);
}

void String::ensure_last(char c) {
  if (length_ == 0 || buffer_[length_ - 1] != c) append(c);
}

int String::count_trailing(char c) const {
  int n = 0;
  while (n < length_ && buffer_[length_ - 1 - n] == c) ++n;
  return n;
}

int String::overwrite_trailing(char c, char replacement) {
  int n = count_trailing(c);
  for (int k = 0; k < n; ++k) buffer_[length_ - 1 - k] = replacement;
  return n;
}

void String::to_upper() {
  for (int i = 0; i < length_; ++i) buffer_[i] = tessaline::to_upper(buffer_[i]);
}

void String::to_lower() {
  for (int i = 0; i < length_; ++i) buffer_[i] = tessaline::to_lower(buffer_[i]);
}

uint32_t String::hash(const char* text, int length) {
  uint32_t h = 0x79E2BC9Du;
  if (!text || length <= 0) return h;
  int whole = length / 4 * 4;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (int i = 0; i < whole; i += 4)
    h += uint32_t(p[i]) | uint32_t(p[i + 1]) << 8 | uint32_t(p[i + 2]) << 16 | uint32_t(p[i + 3]) << 24;
  for (int i = whole; i < length; ++i) h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[i])));
  return h + static_cast<uint32_t>(length);
}

uint32_t String::hash() const { return hash(buffer_, length_); }

String operator+(const String& a, const String& b) {
  String r(a);
  r.append(b);
  return r;
}

String operator+(const String& a, const char* b) {
  String r(a);
  r.append(b);
  return r;
}

String operator+(const char* a, const String& b) {
  String r(a);
  r.append(b);
  return r;
}

String operator+(const String& a, char b) {
  String r(a);
  r.append(b);
  return r;
}

// --- numeric helpers --------------------------------------------------------

int ceiling_divide(int a, int b) {
  if (b == 0) FatalError("%s %d", kUnit, __LINE__);
  if (b == -1) return a == INT_MIN ? INT_MIN : -a;  // wraps as the division would
  int q = a / b;
  if (a % b != 0 && ((a > 0) == (b > 0))) ++q;
  return q;
}

double factorial(int n) {
  double f = 1;
  for (int i = 2; i <= n; ++i) f *= i;
  return f;
}

int random_int(int n) { return n < 2 ? 0 : std::rand() % n; }

char random_letter_or_digit() {
  int r = random_int(62);
  if (r < 10) return static_cast<char>('0' + r);
  if (r < 36) return static_cast<char>('A' + r - 10);
  return static_cast<char>('a' + r - 36);
}

int round_to_int(double x) {
  double r = std::round(x);  // halves away from zero
  if (!(r >= INT_MIN)) return INT_MIN;  // also NaN
  if (r > INT_MAX) return INT_MAX;
  return static_cast<int>(r);
}

}  // namespace tessaline
