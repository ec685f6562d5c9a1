#include "merge/expression.h"

#include <cmath>
#include <climits>
#include <cstring>

#include "core/date.h"
#include "core/var.h"
#include "merge/string_parser.h"

namespace tessaline {

namespace {

int32_t truncate_to_int32(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return INT32_MAX;
  if (x <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(x);
}

// Byte-wise by unsigned codes; a prefix is the smaller.
int compare_bytes(const String& a, const String& b) {
  int n = a.length() < b.length() ? a.length() : b.length();
  int c = n > 0 ? std::memcmp(a.c_str(), b.c_str(), static_cast<size_t>(n)) : 0;
  if (c != 0) return c;
  return a.length() - b.length();
}

enum class Comparison { kNotEqual, kLessOrEqual, kLess, kGreaterOrEqual, kGreater, kEqual };

struct ComparisonOperator {
  const char* text;
  Comparison comparison;
};

// Tried in this order: the first that matches wins.
constexpr ComparisonOperator kComparisons[] = {
    {"!=", Comparison::kNotEqual},      {"<=", Comparison::kLessOrEqual},
    {"=<", Comparison::kLessOrEqual},   {"<", Comparison::kLess},
    {">=", Comparison::kGreaterOrEqual}, {"=>", Comparison::kGreaterOrEqual},
    {">", Comparison::kGreater},        {"=", Comparison::kEqual},
};

bool holds(Comparison comparison, int order) {
  switch (comparison) {
    case Comparison::kNotEqual: return order != 0;
    case Comparison::kLessOrEqual: return order <= 0;
    case Comparison::kLess: return order < 0;
    case Comparison::kGreaterOrEqual: return order >= 0;
    case Comparison::kGreater: return order > 0;
    default: return order == 0;
  }
}

bool is_numeric(const Var& v) { return v.kind() == kKindInteger || v.kind() == kKindFloating; }

class Evaluator {
 public:
  Evaluator(ExpressionContext& context, StringParser& parser)
      : context_(context), parser_(parser) {}

  bool expression(Var& value) {
    if (!and_term(value)) return false;
    for (;;) {
      parser_.skip_white();
      const int at = parser_.position();
      if (parser_.peek() != 'o' || !parser_.match_pattern(scratch_, kOrPattern)) return true;
      if (!value.is_bool()) return fail(at, "The \"or\" keyword can only follow a Boolean value.");
      Var right;
      if (!and_term(right)) return false;
      if (!right.is_bool()) return fail(at, "The \"or\" keyword must be followed by a Boolean value.");
      value.set_bool(value.as_bool() || right.as_bool());
    }
  }

 private:
  bool and_term(Var& value) {
    if (!comparison(value)) return false;
    for (;;) {
      parser_.skip_white();
      const int at = parser_.position();
      if (parser_.peek() != 'a' || !parser_.match_pattern(scratch_, kAndPattern)) return true;
      if (!value.is_bool()) return fail(at, "The \"and\" keyword can only follow a Boolean value.");
      Var right;
      if (!comparison(right)) return false;
      if (!right.is_bool()) return fail(at, "The \"and\" keyword must be followed by a Boolean value.");
      value.set_bool(value.as_bool() && right.as_bool());
    }
  }

  bool comparison(Var& value) {
    if (!sum(value)) return false;
    parser_.skip_white();
    const ComparisonOperator* op = nullptr;
    const char first = parser_.peek();
    if (first != '!' && first != '<' && first != '=' && first != '>') return true;
    for (const ComparisonOperator& candidate : kComparisons) {
      if (parser_.match_string(candidate.text)) {
        op = &candidate;
        break;
      }
    }
    if (!op) return true;
    Var right;
    if (!sum(right)) return false;
    int order;
    if (is_numeric(value)) {
      double a = value.as_double(), b = right.as_double();
      order = a < b ? -1 : a > b ? 1 : 0;
    } else if (value.is_date()) {
      int32_t a = value.as_date_time().date.serial, b = right.as_date_time().date.serial;
      order = a < b ? -1 : a > b ? 1 : 0;
    } else {
      String left_text = value.as_text();
      order = compare_bytes(left_text, right.as_text());
    }
    value.set_bool(holds(op->comparison, order));
    return true;
  }

  bool sum(Var& value) {
    if (!product(value)) return false;
    for (;;) {
      parser_.skip_white();
      const int at = parser_.position();
      const char op = parser_.peek();
      if (op != '+' && op != '-') return true;
      if (value.is_bool()) {
        return fail(at, String::formatted("The \"%c\" operator cannot follow a Boolean value.", op));
      }
      if (value.is_text() && op == '-') {
        return fail(at, "The \"-\" operator cannot follow a string value.");
      }
      parser_.get_char();
      Var right;
      if (!product(right)) return false;
      if (value.is_text()) {
        String joined = value.as_text();
        const String& tail = right.as_text();
        if (tail.length() > kMaxTextLength - joined.length()) {
          return fail(at, String::formatted(
              "The \"+\" operator cannot make a text longer than %d bytes.", kMaxTextLength));
        }
        joined.append(tail);
        value.set_string(joined);
        continue;
      }
      if (!is_numeric(right)) return must_be_numeric(op);
      double d = right.as_double();
      if (op == '-') d = -d;
      if (value.is_date()) {
        // A date-time moves by whole days and loses its time of day.
        value.set_date(add_days(value.as_date_time().date, truncate_to_int32(d)));
      } else {
        value.set_double(value.as_double() + d);
      }
    }
  }

  bool product(Var& value) {
    if (!atom(value)) return false;
    for (;;) {
      parser_.skip_white();
      const int at = parser_.position();
      const char op = parser_.peek();
      if (op != '*' && op != '/' && op != '^' && op != '%') return true;
      if (!is_numeric(value)) {
        return fail(at, String::formatted("The \"%c\" operator can only follow a numeric value.", op));
      }
      parser_.get_char();
      Var right;
      if (!atom(right)) return false;
      if (!is_numeric(right)) return must_be_numeric(op);
      const double a = value.as_double(), b = right.as_double();
      double result = 0.0;
      switch (op) {
        case '*': result = a * b; break;
        case '/': result = b == 0.0 ? 0.0 : a / b; break;
        case '^': result = std::pow(a, b); break;
        default: result = remainder_of(value, b); break;
      }
      value.set_double(result);
    }
  }

  // The dividend as a 32-bit integer, the divisor truncated toward zero;
  // the sign follows the dividend.
  static double remainder_of(const Var& dividend, double divisor) {
    if (divisor == 0.0) return 0.0;
    const int32_t n = dividend.as_int();
    const int32_t d = truncate_to_int32(divisor);
    if (d == 0 || d == -1) return 0.0;  // -1 also keeps INT32_MIN % -1 defined
    return static_cast<double>(n % d);
  }

  bool atom(Var& value) {
    if (!atom_body(value)) return false;
    operand_end_ = parser_.position();
    return true;
  }

  bool atom_body(Var& value) {
    parser_.skip_white();
    if (parser_.match_char('(')) {
      if (!enter()) return false;
      bool ok = expression(value);
      --depth_;
      if (!ok) return false;
      parser_.skip_white();
      if (!parser_.match_char(')')) return fail(parser_.position(), "Ending parenthesis expected.");
      return true;
    }
    if (parser_.read_delimited('"', scratch_,
                               StringParser::kDoubledDelimiter | StringParser::kExcludeDelimiters)) {
      value.set_text(scratch_);
      return true;
    }
    // An unclosed literal leaves the cursor behind its quote, and the forms
    // below go on from there.
    if (parser_.match_char('!')) {
      if (!enter()) return false;
      bool ok = atom(value);
      --depth_;
      if (!ok) return false;
      if (!value.is_bool()) {
        return fail(parser_.position(), "Boolean atom expected after exclamation point.");
      }
      value.set_bool(!value.as_bool());
      return true;
    }
    // Each pattern below is tried only where its first character could
    // start it; that spares the matcher, and changes nothing.
    const char first = parser_.peek();
    if (first == '{' && parser_.match_pattern(scratch_, kBracedColumnPattern)) {
      String name = scratch_.substr(1, scratch_.length() - 2);
      if (context_.read_column(name, value)) return true;
      return invalid_name(name);
    }
    if ((is_letter(first) || first == '_' || first == '-') &&
        parser_.match_pattern(scratch_, kNamePattern)) {
      if (scratch_ == "TRUE" || scratch_ == "FALSE") {
        value.set_bool(scratch_ == "TRUE");
        return true;
      }
      if (const Var* variable = context_.find_variable(scratch_)) {
        value = *variable;
        return true;
      }
      String name = scratch_;
      if (context_.read_column(name, value)) return true;
      return invalid_name(name);
    }
    if ((is_digit(first) || first == '+' || first == '-' || first == '.') &&
        parser_.match_pattern(scratch_, kNumberPattern)) {
      value.set_double(Var::of_text(scratch_.c_str()).as_double());
      return true;
    }
    if (first == '#' && parser_.match_pattern(scratch_, kDateLiteralPattern)) {
      Date date;
      String inside = scratch_.substr(1, scratch_.length() - 2);
      read_date(inside.view(), &date);
      value.set_date(date);
      return true;
    }
    return fail(parser_.position(), "Syntax error");
  }

  bool enter() {
    if (++depth_ <= kMaxExpressionDepth) return true;
    --depth_;
    return fail(parser_.position(), "Expression is nested too deeply.");
  }

  bool invalid_name(const String& name) {
    return fail(parser_.position(), String::formatted("Invalid variable or database column:\n%s",
                                                      name.c_str()));
  }

  // Reported at the last character of the right operand.
  bool must_be_numeric(char op) {
    int at = operand_end_ > 0 ? operand_end_ - 1 : 0;
    return fail(at, String::formatted("The \"%c\" operator must be followed by a numeric value.", op));
  }

  bool fail(int position_in_tag, const String& message) {
    context_.report_error(context_.base_position() + position_in_tag, message);
    return false;
  }

  ExpressionContext& context_;
  StringParser& parser_;
  String scratch_;
  int depth_ = 0;
  int operand_end_ = 0;  // where the last atom read ended
};

}  // namespace

bool evaluate_expression(ExpressionContext& context, StringParser& parser, Var& value) {
  Evaluator evaluator(context, parser);
  return evaluator.expression(value);
}

bool evaluate_condition(ExpressionContext& context, StringParser& parser, bool& value) {
  Var result;
  if (!evaluate_expression(context, parser, result)) return false;
  if (!result.is_bool()) {
    context.report_error(context.base_position(), "Expression is not Boolean.");
    return false;
  }
  value = result.as_bool();
  return true;
}

}  // namespace tessaline
