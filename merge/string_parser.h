// string_parser.h - the text cursor over a data tag and the scan patterns.
//
// StringParser walks one short text (the inside of a data tag) and
// recognises names, numbers, dates and keywords with scan patterns: a tiny
// pattern language read straight from its text on every call (nothing is
// compiled or cached). The pattern grammar is described beside
// match_pattern() below; the patterns the merge engine uses are the k...
// constants at the end of this file.
//
// Not for: user-supplied patterns. Patterns are constants of the program;
// a malformed one (an unknown atom, an unbalanced group, an empty
// alternative) is a programming error and ends the program with a fatal
// error ("parser LINE"). A failed match is not an error: it returns false
// and leaves the cursor and the matched text as they were.
#pragma once

#include "core/string.h"

namespace tessaline {

class StringParser {
 public:
  // Flags of read_delimited().
  static constexpr int kDoubledDelimiter = 16;   // two delimiters stand for one
  static constexpr int kExcludeDelimiters = 32;  // the outer delimiters are not copied

  StringParser() = default;
  explicit StringParser(const String& text) : text_(text) {}
  explicit StringParser(String&& text) : text_(static_cast<String&&>(text)) {}

  const String& text() const { return text_; }
  int position() const { return position_; }
  bool at_end() const { return position_ < 0 || position_ >= text_.length(); }
  // The next character without moving; 0 at the end.
  char peek() const { return at_end() ? 0 : text_.c_str()[position_]; }

  // The next character, or 0 (without moving) at the end.
  char get_char();
  // Accepted when 0 <= index <= length.
  bool set_position(int index);
  // Skips blanks, tabs and line breaks; false only when already at the end.
  bool skip_white();
  bool match_char(char c);
  // Byte for byte; an empty literal never matches.
  bool match_string(const char* literal);
  // A run between two delimiters (see the flags). On success the cursor is
  // behind the closing delimiter. When the closing delimiter is missing,
  // out is empty, the cursor stays just behind the opening one, and the
  // result is false.
  bool read_delimited(char delimiter, String& out, int flags);

  // Matches a scan pattern at the cursor. On success out holds the text
  // consumed (plus what look-ahead elements read) and the cursor is behind
  // it; on failure out is empty and the cursor has not moved.
  //
  // Grammar: alternatives separated by "|"; each alternative a sequence of
  // elements. An element is: an optional "o" (optional element), any of "!"
  // (negate) and ":" (look-ahead), an atom, an optional "*" or "+", and
  // optionally "&" with a second atom that must match at the same place.
  // Atoms: 'literal' (two apostrophes for one), (group), cNNN (the character
  // with that code), a (letter), l (lower case), u (upper case), # (digit),
  // s (letter, digit or underscore), $ (white space), ? (any character but
  // NUL), n (number), N (number with commas), dX (run delimited by X; a
  // backquote stands for the apostrophe), _ (run of white space).
  // Repetition is greedy and there is no backtracking.
  bool match_pattern(String& out, const char* pattern);

 private:
  friend class PatternMatcher;
  String text_;
  int position_ = 0;
};

// The patterns of the merge engine.
inline constexpr char kBracedColumnPattern[] = "'{'(a|'_')(s|' ')*'}'";
inline constexpr char kNamePattern[] = "o'-'(a|'_')s*o'-'";
inline constexpr char kNumberPattern[] = "n";
inline constexpr char kDateLiteralPattern[] = "'#'#o#'/'#o#'/'##o#o#'#'";
inline constexpr char kAndPattern[] = "'and'$";
inline constexpr char kOrPattern[] = "'or'$";
inline constexpr char kKeywordPattern[] = "s+";
inline constexpr char kVariableNamePattern[] = "(a|'_')s*";

}  // namespace tessaline
