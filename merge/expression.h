// expression.h - the expressions inside data tags.
//
// evaluate_expression() reads one expression at a StringParser's cursor and
// computes its value as a Var. The grammar, from loosest to tightest:
//
//   expression  := and-term { "or" and-term }
//   and-term    := comparison { "and" comparison }
//   comparison  := sum [ ("!=" | "<=" | "=<" | "<" | ">=" | "=>" | ">" | "=") sum ]
//   sum         := product { ("+" | "-") product }
//   product     := atom { ("*" | "/" | "^" | "%") atom }
//   atom        := "(" expression ")" | "text" | "!" atom | {column name}
//                | name | number | #m/d/y#
//
// "and" and "or" are keywords only in lower case and followed by one white
// space character. A name is a variable first, then a column of the current
// database row; a name in braces is always a column. TRUE and FALSE are the
// Booleans. Division and remainder by zero give 0; nothing in arithmetic is
// an error.
//
// Not for: statements (var, let, if, ...): merge/tag_processor.h reads them
// and calls in here for their expressions.
//
// Failures: a syntax or type error reports exactly one message through the
// context, at an offset in the body being processed, and the evaluation
// returns false; the out value is then meaningless.
#pragma once

#include "core/string.h"
#include "core/var.h"
#include "merge/string_parser.h"

namespace tessaline {

// What an expression can see of the world.
class ExpressionContext {
 public:
  virtual ~ExpressionContext() = default;
  // The variable of exactly this name (case matters), or null.
  virtual const Var* find_variable(const String& name) = 0;
  // The current database row's value of the column; false when there is no
  // row or no such column.
  virtual bool read_column(const String& name, Var& value) = 0;
  // The offset in the body of the first character of the tag's contents.
  virtual int base_position() const = 0;
  // Shows one error about the body, pointing at an offset in it.
  virtual void report_error(int offset, const String& message) = 0;
};

// Deeper nesting of parentheses and "!" than this is reported as an error
// rather than allowed to exhaust the stack.
inline constexpr int kMaxExpressionDepth = 200;

// Texts joined with "+" may not grow beyond this (a loop that doubles a
// variable would otherwise exhaust memory).
inline constexpr int kMaxTextLength = 16 << 20;

// Reads and evaluates one expression; the cursor is left behind the last
// token used (and any white space after it).
bool evaluate_expression(ExpressionContext& context, StringParser& parser, Var& value);

// An expression that must be a Boolean: "Expression is not Boolean."
// otherwise, reported at the start of the tag.
bool evaluate_condition(ExpressionContext& context, StringParser& parser, bool& value);

}  // namespace tessaline
