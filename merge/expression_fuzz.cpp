// Fuzzes evaluate_expression over arbitrary tag contents, with a few
// variables and columns of every kind to name. Besides crashes, it checks
// that a failure reports exactly one error and a success none, and that the
// error points into the tag.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/containers.h"
#include "core/date.h"
#include "core/string.h"
#include "core/var.h"
#include "merge/expression.h"
#include "merge/string_parser.h"

namespace {

using tessaline::String;
using tessaline::Var;

class FuzzContext : public tessaline::ExpressionContext {
 public:
  FuzzContext() {
    variables.init(16);
    columns.init(16);
    variables.add_bucket("n").set_int32(7);
    variables.add_bucket("x").set_double(-2.5);
    variables.add_bucket("t").set_text("10");
    variables.add_bucket("b").set_bool(true);
    variables.add_bucket("e");
    tessaline::DateTime now;
    now.date = tessaline::make_date(12, 31, 1999);
    now.hour = 23;
    now.minute = now.second = 5;
    variables.add_bucket("-Now-").set_date_time(now);
    columns.add_bucket("Name").set_string("Smith");
    columns.add_bucket("Big Number").set_uint32(4000000000u);
    columns.add_bucket("d").set_date(tessaline::make_date(2, 29, 2000));
  }
  const Var* find_variable(const String& name) override { return variables.find(name); }
  bool read_column(const String& name, Var& value) override {
    const Var* column = columns.find(name);
    if (column) value = *column;
    return column != nullptr;
  }
  int base_position() const override { return 2; }
  void report_error(int offset, const String&) override {
    ++errors;
    last_offset = offset;
  }

  tessaline::HashTable<Var, String> variables;
  tessaline::HashTable<Var, String> columns;
  int errors = 0;
  int last_offset = 0;
};

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  static FuzzContext context;
  context.errors = 0;
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  tessaline::StringParser parser(text);
  Var value;
  bool ok = tessaline::evaluate_expression(context, parser, value);
  check(ok ? context.errors == 0 : context.errors == 1);
  if (!ok) check(context.last_offset >= 2 && context.last_offset <= 2 + text.length());
  if (ok) {
    value.as_text();
    value.formatted_date("MM D, yy HH:ii:ss");
  }
  parser.set_position(0);
  bool condition = false;
  context.errors = 0;
  ok = tessaline::evaluate_condition(context, parser, condition);
  check(ok ? context.errors == 0 : context.errors == 1);
  return 0;
}
