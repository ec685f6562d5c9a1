#include "merge/expression.h"

#include <gtest/gtest.h>

#include "core/containers.h"
#include "core/date.h"
#include "core/string.h"
#include "core/var.h"
#include "merge/string_parser.h"

namespace tessaline {
namespace {

// Variables and one database row in memory; errors are recorded.
class TestContext : public ExpressionContext {
 public:
  HashTable<Var, String> variables{16};
  HashTable<Var, String> columns{16};
  int base = 10;
  int error_count = 0;
  String message;
  int offset = -1;

  const Var* find_variable(const String& name) override { return variables.find(name); }
  bool read_column(const String& name, Var& value) override {
    const Var* column = columns.find(name);
    if (!column) return false;
    value = *column;
    return true;
  }
  int base_position() const override { return base; }
  void report_error(int at, const String& text) override {
    ++error_count;
    message = text;
    offset = at;
  }
};

DateTime date_time(int month, int day, int year, int hour, int minute) {
  DateTime dt;
  dt.date = make_date(month, day, year);
  dt.hour = hour;
  dt.minute = minute;
  dt.second = 0;
  return dt;
}

class ExpressionTest : public testing::Test {
 protected:
  void SetUp() override {
    context.variables.add_bucket("-Recipient-").set_text("ann@example.com");
    context.variables.add_bucket("count").set_int32(4);
    context.variables.add_bucket("both").set_text("from the variable");
    context.variables.add_bucket("stamp").set_date_time(date_time(12, 31, 1999, 23, 5));
    context.variables.add_bucket("nothing");
    context.columns.add_bucket("both").set_text("from the column");
    context.columns.add_bucket("Last Name").set_text("Smith");
    context.columns.add_bucket("Age").set_int32(42);
  }
  TestContext context;
};

struct ValueCase {
  const char* expression;
  VarType type;
  const char* text;  // the value's text form
  int end;           // where the cursor is left
};

TEST_F(ExpressionTest, Values) {
  const ValueCase cases[] = {
      // arithmetic: every result is a double
      {"1 + 2", kTypeDouble, "3", 5},
      {"7 / 2", kTypeDouble, "3.5", 5},
      {"7 / 0", kTypeDouble, "0", 5},
      {"7 % 0", kTypeDouble, "0", 5},
      {"7 % 0.5", kTypeDouble, "0", 7},
      {"-7 % 3", kTypeDouble, "-1", 6},
      {"7 % -3", kTypeDouble, "1", 6},
      {"7.9 % 2.9", kTypeDouble, "1", 9},
      {"-2147483648 % -1", kTypeDouble, "0", 16},
      {"2^3^2", kTypeDouble, "64", 5},
      {"2*3^2", kTypeDouble, "36", 5},
      {"1 + 2 * 3", kTypeDouble, "7", 9},
      {"(1 + 2) * 3", kTypeDouble, "9", 11},
      {"10 - 4 - 3", kTypeDouble, "3", 10},
      {"1 -2", kTypeDouble, "-1", 4},
      {"1 + -2", kTypeDouble, "-1", 6},
      {"+5", kTypeDouble, "5", 2},
      {".5", kTypeDouble, "0.5", 2},
      {"TRUE * 3", kTypeDouble, "3", 8},
      {"count * 2", kTypeDouble, "8", 9},
      {"nothing + 1", kTypeDouble, "1", 11},
      // text
      {"\"say \"\"hi\"\"\"", kTypeText, "say \"hi\"", 12},
      {"\"abc\" + 5", kTypeString, "abc5", 9},
      {"\"a\" + TRUE", kTypeString, "a1", 10},
      {"\"a\" + 2.50", kTypeString, "a2.5", 10},
      {"\"d:\" + #1/2/1999#", kTypeString, "d:1/2/1999", 17},
      {"\"x\" + \"y\" + count", kTypeString, "xy4", 17},
      // dates
      {"#12/1/1999# + 30", kTypeDate, "12/31/1999", 16},
      {"#1/2/99#", kTypeDate, "1/2/1999", 8},
      {"stamp - 1", kTypeDate, "12/30/1999", 9},
      {"stamp + 1.9", kTypeDate, "1/1/2000", 11},
      // comparisons
      {"\"10\" < \"9\"", kTypeBool, "1", 10},
      {"10 < 9", kTypeBool, "0", 6},
      {"9 < \"10\"", kTypeBool, "1", 8},
      {"\"ab\" < \"abc\"", kTypeBool, "1", 12},
      {"\"\" = \"\"", kTypeBool, "1", 7},
      {"\"b\" > \"B\"", kTypeBool, "1", 9},
      {"\"\xe9\" > \"z\"", kTypeBool, "1", 9},
      {"1 != 2", kTypeBool, "1", 6},
      {"2 =< 2", kTypeBool, "1", 6},
      {"2 => 3", kTypeBool, "0", 6},
      {"stamp = #12/31/1999#", kTypeBool, "1", 20},
      {"stamp > #12/30/1999#", kTypeBool, "1", 20},
      {"#1/1/2000# > 5", kTypeBool, "1", 14},
      // Booleans
      {"1 = 1 and 2 = 2", kTypeBool, "1", 15},
      {"TRUE and FALSE or TRUE", kTypeBool, "1", 22},
      {"FALSE or TRUE and FALSE", kTypeBool, "0", 23},
      {"!FALSE = 2", kTypeBool, "0", 10},
      {"!!TRUE", kTypeBool, "1", 6},
      {"TRUE AND FALSE", kTypeBool, "1", 5},
      {"TRUE and(FALSE)", kTypeBool, "1", 5},
      // names
      {"-Recipient-", kTypeText, "ann@example.com", 11},
      {"both", kTypeText, "from the variable", 4},
      {"{both}", kTypeText, "from the column", 6},
      {"{Last Name} + \"!\"", kTypeString, "Smith!", 17},
      {"Age", kTypeInt32, "42", 3},
      {"  Age  ", kTypeInt32, "42", 7},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.expression);
    StringParser parser{String(c.expression)};
    Var value;
    ASSERT_TRUE(evaluate_expression(context, parser, value)) << context.message.c_str();
    EXPECT_EQ(value.type(), c.type);
    EXPECT_EQ(value.as_text().std_string(), c.text);
    EXPECT_EQ(parser.position(), c.end);
  }
  EXPECT_EQ(context.error_count, 0);
}

struct ErrorCase {
  const char* expression;
  const char* message;
  int offset;  // in the body: the base (10) plus the position in the tag
};

TEST_F(ExpressionTest, ErrorsWithTheirPositions) {
  const ErrorCase cases[] = {
      {"TRUE + 3", "The \"+\" operator cannot follow a Boolean value.", 15},
      {"TRUE - 3", "The \"-\" operator cannot follow a Boolean value.", 15},
      {"5 + \"abc\"", "The \"+\" operator must be followed by a numeric value.", 18},
      {"5 - \"x\" = 1", "The \"-\" operator must be followed by a numeric value.", 16},
      {"\"a\" - 1", "The \"-\" operator cannot follow a string value.", 14},
      {"\"a\" * 2", "The \"*\" operator can only follow a numeric value.", 14},
      {"#1/1/99# % 2", "The \"%\" operator can only follow a numeric value.", 19},
      {"2 ^ \"a\"", "The \"^\" operator must be followed by a numeric value.", 16},
      {"#1/1/99# + \"1\"", "The \"+\" operator must be followed by a numeric value.", 23},
      {"(1 + 2", "Ending parenthesis expected.", 16},
      {"(1 + 2 3)", "Ending parenthesis expected.", 17},
      {"!5", "Boolean atom expected after exclamation point.", 12},
      {"!count  ", "Boolean atom expected after exclamation point.", 16},
      {"nosuch + 1", "Invalid variable or database column:\nnosuch", 16},
      {"true", "Invalid variable or database column:\ntrue", 14},
      {"{nosuch}", "Invalid variable or database column:\nnosuch", 18},
      {"{Age}", "Invalid variable or database column:\nAge", 15},
      {"\"unclosed name", "Invalid variable or database column:\nunclosed", 19},
      {"1 <> 2", "Syntax error", 13},
      {"1 == 2", "Syntax error", 13},
      {"- 5", "Syntax error", 10},
      {"", "Syntax error", 10},
      {"   ", "Syntax error", 13},
      {"1 +", "Syntax error", 13},
      {"1 and TRUE", "The \"and\" keyword can only follow a Boolean value.", 12},
      {"TRUE and 1", "The \"and\" keyword must be followed by a Boolean value.", 15},
      {"1 or TRUE", "The \"or\" keyword can only follow a Boolean value.", 12},
      {"FALSE or 1", "The \"or\" keyword must be followed by a Boolean value.", 16},
      // Both sides are always evaluated.
      {"FALSE and nosuch", "Invalid variable or database column:\nnosuch", 26},
      {"TRUE or nosuch", "Invalid variable or database column:\nnosuch", 24},
  };
  // {Age} is a column and reads fine; make it fail by asking for a column
  // the row does not have.
  context.columns.remove("Age");
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.expression);
    context.error_count = 0;
    StringParser parser{String(c.expression)};
    Var value;
    EXPECT_FALSE(evaluate_expression(context, parser, value));
    EXPECT_EQ(context.error_count, 1);
    EXPECT_EQ(context.message.std_string(), c.message);
    EXPECT_EQ(context.offset, c.offset);
  }
}

TEST_F(ExpressionTest, DeepNestingIsAnErrorNotACrash) {
  String deep;
  for (int i = 0; i < 100000; ++i) deep.append(i % 2 ? "(" : "!");
  StringParser parser(deep);
  Var value;
  EXPECT_FALSE(evaluate_expression(context, parser, value));
  EXPECT_EQ(context.message.std_string(), "Expression is nested too deeply.");
  EXPECT_EQ(context.offset, context.base + kMaxExpressionDepth + 1);

  // Nesting within the limit evaluates.
  String nested;
  for (int i = 0; i < kMaxExpressionDepth; ++i) nested.append('(');
  nested.append("1");
  for (int i = 0; i < kMaxExpressionDepth; ++i) nested.append(')');
  StringParser ok_parser(nested);
  EXPECT_TRUE(evaluate_expression(context, ok_parser, value));
  EXPECT_EQ(value.as_text().std_string(), "1");
}

TEST_F(ExpressionTest, Conditions) {
  struct Case {
    const char* text;
    bool ok;
    bool value;
  } cases[] = {
      {"count > 3", true, true},
      {"count > 3 AND FALSE", true, true},
      {"\"a\" = \"b\"", true, false},
      {"count", false, false},
      {"1 + 1", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    context.error_count = 0;
    StringParser parser{String(c.text)};
    bool value = !c.value;
    EXPECT_EQ(evaluate_condition(context, parser, value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(context.error_count, 0);
    } else {
      EXPECT_EQ(context.message.std_string(), "Expression is not Boolean.");
      EXPECT_EQ(context.offset, context.base);
    }
  }
}

}  // namespace
}  // namespace tessaline
