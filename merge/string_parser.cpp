#include "merge/string_parser.h"

#include <cstdlib>
#include <cstring>

#include "core/fatal_error.h"

namespace tessaline {

namespace {

const char kUnit[] = "parser";

// --- reading the pattern text without matching ------------------------------

void skip_literal(const char*& p) {
  ++p;  // opening apostrophe
  for (;;) {
    TESSALINE_CHECK(*p != 0, kUnit);
    if (*p == '\'') {
      if (p[1] != '\'') {
        ++p;
        return;
      }
      ++p;
    }
    ++p;
  }
}

// Moves p to the end of the current list of alternatives (a ")" closing it,
// or the terminator) or, with stop_at_bar, to the next "|" of the same list.
void scan_list(const char*& p, bool stop_at_bar) {
  int depth = 0;
  for (;;) {
    char c = *p;
    if (c == 0) return;
    if (c == '\'') {
      skip_literal(p);
      continue;
    }
    if (c == 'd') {  // the delimiter may be any character, "(" and "|" too
      TESSALINE_CHECK(p[1] != 0, kUnit);
      p += 2;
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth == 0) return;
      --depth;
    } else if (c == '|' && depth == 0 && stop_at_bar) {
      return;
    }
    ++p;
  }
}

void skip_atom(const char*& p) {
  switch (*p) {
    case '\'':
      skip_literal(p);
      return;
    case '(':
      ++p;
      scan_list(p, false);
      TESSALINE_CHECK(*p == ')', kUnit);
      ++p;
      return;
    case 'c':
      ++p;
      TESSALINE_CHECK(is_digit(*p), kUnit);
      while (is_digit(*p)) ++p;
      return;
    case 'd':
      TESSALINE_CHECK(p[1] != 0, kUnit);
      p += 2;
      return;
    case 'a': case 'l': case 'u': case '#': case 's': case '$': case '?':
    case 'n': case 'N': case '_':
      ++p;
      return;
    default:
      FatalError("%s %d", kUnit, __LINE__);
  }
}

void read_prefixes(const char*& p, bool& negate, bool& look_ahead) {
  for (;; ++p) {
    if (*p == '!') {
      negate = !negate;
    } else if (*p == ':') {
      look_ahead = true;
    } else {
      return;
    }
  }
}

// Skips what may stand behind an atom once its element is decided: a
// postfix and any "&" conjunctions with their atoms and postfixes.
void skip_element_tail(const char*& p) {
  for (;;) {
    if (*p == '*' || *p == '+') ++p;
    if (*p != '&') return;
    ++p;
    bool negate = false, look_ahead = false;
    read_prefixes(p, negate, look_ahead);
    skip_atom(p);
  }
}

}  // namespace

// One call of match_pattern: the parser, the matched text, and mutual
// recursion between lists of alternatives and their elements. Recursion
// depth follows the nesting of the pattern, never the length of the text.
class PatternMatcher {
 public:
  explicit PatternMatcher(StringParser& parser) : parser_(parser) {}
  ~PatternMatcher() {
    if (matched_ != inline_) std::free(matched_);
  }
  PatternMatcher(const PatternMatcher&) = delete;
  PatternMatcher& operator=(const PatternMatcher&) = delete;

  const char* matched() const { return matched_; }
  int matched_length() const { return length_; }

  // Leaves p at the end of the list: its closing ")" or the terminator.
  bool alternatives(const char*& p) {
    const int start_position = position();
    const int start_length = length_;
    for (;;) {
      TESSALINE_CHECK(*p != 0 && *p != '|' && *p != ')', kUnit);  // empty alternative
      bool ok = true;
      while (*p != 0 && *p != '|' && *p != ')') {
        if (!element(p)) {
          ok = false;
          break;
        }
      }
      if (ok) {
        scan_list(p, false);
        return true;
      }
      restore(start_position, start_length);
      scan_list(p, true);
      if (*p != '|') return false;
      ++p;
    }
  }

 private:
  enum class Atom {
    kMatch,
    kNoMatch,
    kAtEnd,      // a character atom met the end of the text and read nothing
    kHardFail,   // a literal ran into the end of the text: fails even negated
    kWhiteDone,  // a white-space run: ends its element successfully
  };

  int& position() { return parser_.position_; }
  bool at_end() const { return parser_.at_end(); }
  char peek() const { return parser_.text_.c_str()[parser_.position_]; }
  char read() {
    char c = parser_.text_.c_str()[parser_.position_++];
    if (length_ == capacity_) grow();
    matched_[length_++] = c;
    return c;
  }
  void restore(int at, int length) {
    position() = at;
    length_ = length;
  }

  bool element(const char*& p) {
    const int start_position = position();
    const int start_length = length_;
    int mark_position = start_position;
    int mark_length = start_length;
    bool optional = false;
    if (*p == 'o') {
      optional = true;
      ++p;
    }
    bool negate = false;
    bool look_ahead = false;
    read_prefixes(p, negate, look_ahead);
    bool matched_before = false;  // the current atom matched once in this element
    for (;;) {
      const char* atom_start = p;
      Atom result = atom(p);
      if (result == Atom::kWhiteDone) {
        skip_element_tail(p);
        return true;
      }
      bool success = result == Atom::kMatch ? !negate
                   : result == Atom::kNoMatch ? negate
                   : false;
      if (!success) {
        restore(mark_position, mark_length);
        bool ok = optional;
        if (*p == '*') {
          ++p;
          ok = true;
        } else if (*p == '+') {
          ++p;
          ok = ok || matched_before;
        }
        skip_element_tail(p);
        return ok;
      }
      if (*p == '&') {
        ++p;
        restore(start_position, start_length);
        mark_position = start_position;
        mark_length = start_length;
        matched_before = false;
        read_prefixes(p, negate, look_ahead);  // negation carries over
        continue;
      }
      if (*p == '*' || *p == '+') {
        matched_before = true;
        if (position() == mark_position) {  // no progress: the repetition ends
          ++p;
          skip_element_tail(p);
          return true;
        }
        mark_position = position();
        mark_length = length_;
        p = atom_start;
        continue;
      }
      if (look_ahead) position() = start_position;
      return true;
    }
  }

  Atom atom(const char*& p) {
    const char kind = *p;
    switch (kind) {
      case '\'':
        return literal(p);
      case '(': {
        ++p;
        bool ok = alternatives(p);
        TESSALINE_CHECK(*p == ')', kUnit);
        ++p;
        return ok ? Atom::kMatch : Atom::kNoMatch;
      }
      case 'c': {
        ++p;
        TESSALINE_CHECK(is_digit(*p), kUnit);
        int code = 0;
        while (is_digit(*p)) {
          code = code * 10 + (*p++ - '0');
          TESSALINE_CHECK(code <= 255, kUnit);
        }
        if (at_end()) return Atom::kAtEnd;
        return static_cast<unsigned char>(read()) == code ? Atom::kMatch : Atom::kNoMatch;
      }
      case 'd': {
        char delimiter = p[1];
        TESSALINE_CHECK(delimiter != 0, kUnit);
        if (delimiter == '`') delimiter = '\'';
        p += 2;
        if (at_end()) return Atom::kAtEnd;
        return delimited(delimiter);
      }
      case 'n':
      case 'N':
        ++p;
        if (at_end()) return Atom::kAtEnd;
        return number(kind == 'N');
      case '_':
        ++p;
        if (at_end()) return Atom::kAtEnd;
        while (!at_end() && is_white(peek())) read();
        return Atom::kWhiteDone;
      case 'a': case 'l': case 'u': case '#': case 's': case '$': case '?': {
        ++p;
        if (at_end()) return Atom::kAtEnd;
        char c = read();
        return in_class(kind, c) ? Atom::kMatch : Atom::kNoMatch;
      }
      default:
        FatalError("%s %d", kUnit, __LINE__);
    }
  }

  static bool in_class(char kind, char c) {
    switch (kind) {
      case 'a': return is_letter(c);
      case 'l': return is_lower(c);
      case 'u': return is_upper(c);
      case '#': return is_digit(c);
      case 's': return is_letter_or_digit(c) || c == '_';
      case '$': return is_white(c);
      default: return c != 0;  // '?'
    }
  }

  Atom literal(const char*& p) {
    ++p;
    Atom result = Atom::kMatch;
    for (;;) {
      char expected = *p;
      TESSALINE_CHECK(expected != 0, kUnit);
      if (expected == '\'') {
        if (p[1] != '\'') {
          ++p;
          return result;
        }
        ++p;  // a doubled apostrophe stands for one
      }
      ++p;
      if (result != Atom::kMatch) continue;  // read the rest of the pattern only
      if (at_end()) {
        result = Atom::kHardFail;
      } else if (read() != expected) {
        result = Atom::kNoMatch;
      }
    }
  }

  // A sign, point or digit first; then digits, one point, and commas when
  // allowed. The character that does not fit stays unread.
  Atom number(bool commas) {
    char c = read();
    bool point = false;
    int digits = 0;
    if (c == '.') {
      point = true;
    } else if (is_digit(c)) {
      ++digits;
    } else if (c != '+' && c != '-') {
      return Atom::kNoMatch;
    }
    while (!at_end()) {
      c = peek();
      if (is_digit(c)) {
        ++digits;
      } else if (c == '.' && !point) {
        point = true;
      } else if (!(c == ',' && commas)) {
        break;
      }
      read();
    }
    return digits > 0 ? Atom::kMatch : Atom::kNoMatch;
  }

  Atom delimited(char delimiter) {
    if (read() != delimiter) return Atom::kNoMatch;
    for (;;) {
      if (at_end()) return Atom::kNoMatch;
      if (read() != delimiter) continue;
      if (!at_end() && peek() == delimiter) {
        ++position();  // the second of a doubled pair is not kept
        continue;
      }
      return Atom::kMatch;
    }
  }

  void grow() {
    const int capacity = capacity_ * 2;
    char* bigger = static_cast<char*>(checked_malloc(static_cast<size_t>(capacity)));
    std::memcpy(bigger, matched_, static_cast<size_t>(length_));
    if (matched_ != inline_) std::free(matched_);
    matched_ = bigger;
    capacity_ = capacity;
  }

  StringParser& parser_;
  // The matched text, built here and handed over once on success: data
  // tags are short, so a failed match allocates nothing.
  char inline_[128];
  char* matched_ = inline_;
  int length_ = 0;
  int capacity_ = sizeof inline_;
};

char StringParser::get_char() {
  if (at_end()) return 0;
  return text_.c_str()[position_++];
}

bool StringParser::set_position(int index) {
  if (index < 0 || index > text_.length()) return false;
  position_ = index;
  return true;
}

bool StringParser::skip_white() {
  if (at_end()) return false;
  while (!at_end() && is_white(text_.c_str()[position_])) ++position_;
  return true;
}

bool StringParser::match_char(char c) {
  if (at_end() || text_.c_str()[position_] != c) return false;
  ++position_;
  return true;
}

bool StringParser::match_string(const char* literal) {
  if (!literal || !*literal || at_end()) return false;
  size_t n = std::strlen(literal);
  if (n > static_cast<size_t>(text_.length() - position_)) return false;
  if (std::memcmp(text_.c_str() + position_, literal, n) != 0) return false;
  position_ += static_cast<int>(n);
  return true;
}

bool StringParser::read_delimited(char delimiter, String& out, int flags) {
  out.clear();
  if (at_end() || text_.c_str()[position_] != delimiter) return false;
  const bool keep_delimiters = (flags & kExcludeDelimiters) == 0;
  const bool doubled = (flags & kDoubledDelimiter) != 0;
  const int after_opening = ++position_;
  if (keep_delimiters) out.append(delimiter);
  const char* s = text_.c_str();
  for (;;) {
    if (at_end()) {
      out.clear();
      position_ = after_opening;
      return false;
    }
    char c = s[position_++];
    if (c != delimiter) {
      out.append(c);
      continue;
    }
    if (doubled && !at_end() && s[position_] == delimiter) {
      out.append(c);
      ++position_;
      continue;
    }
    if (keep_delimiters) out.append(c);
    return true;
  }
}

bool StringParser::match_pattern(String& out, const char* pattern) {
  if (!pattern) {
    out.clear();
    return false;
  }
  const int start = position_;
  PatternMatcher matcher(*this);
  const char* p = pattern;
  bool ok = matcher.alternatives(p);
  TESSALINE_CHECK(*p == 0, kUnit);  // a ")" without its "("
  if (!ok) {
    position_ = start;
    out.clear();
    return false;
  }
  out.assign(matcher.matched(), matcher.matched_length());
  return true;
}

}  // namespace tessaline
