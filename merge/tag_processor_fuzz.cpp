// Fuzzes process_tags over arbitrary bodies, with the basic tags set and a
// database row to read and write. The first byte chooses the HTML or the
// text body. The variable table is kept across inputs, as it is across
// recipients. Loop and size limits are lowered so that runaway loops end
// quickly. Besides crashes, it checks that a failure shows exactly one box
// and leaves the body unchanged, and that a success shows none.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/containers.h"
#include "core/date.h"
#include "core/recording_ui.h"
#include "core/string.h"
#include "core/var.h"
#include "merge/merge_ports.h"
#include "merge/tag_processor.h"

namespace {

using tessaline::String;
using tessaline::Var;

class FuzzProject : public tessaline::MergeProject {
 public:
  int send_mode() override { return tessaline::kSendNormal; }
  String identity_column() override { return "id"; }
  bool body_from_file(bool html) override { return html; }
};

class FuzzRow : public tessaline::MergeRow {
 public:
  FuzzRow() {
    columns.init(16);
    columns.add_bucket("id").set_int32(12);
    columns.add_bucket("Name").set_text("O'Brien & <Sons>");
    columns.add_bucket("Balance").set_double(1234.5);
    columns.add_bucket("Joined").set_date(tessaline::make_date(7, 4, 1999));
  }
  bool has_column(const String& name) override { return columns.contains(name); }
  bool read_column(const String& name, Var& value) override {
    const Var* column = columns.find(name);
    if (column) value = *column;
    return column != nullptr;
  }
  bool writable() override { return true; }
  bool write_column(const String&, int32_t, const String& column, const Var& value) override {
    if (column == "Balance") return false;  // one column refuses writes
    columns.find_or_add(column) = value;
    return true;
  }
  String last_error() override { return "write refused"; }

  tessaline::HashTable<Var, String> columns;
};

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  static tessaline::RecordingUi ui;
  static FuzzProject project;
  static FuzzRow row;
  static tessaline::TagProcessor* processor = [] {
    auto* p = new tessaline::TagProcessor(ui, project);
    p->set_limits(500, 1 << 20);
    return p;
  }();
  static int runs = 0;
  if (++runs % 1000 == 0) processor->clear_variables();  // a new send now and then
  processor->set_variable("-Recipient-", Var::of_text("Ann <ann@example.com>"));
  processor->set_variable("-FirstName-", Var::of_text("Ann"));
  processor->set_variable("-Index-", Var::of_int(runs));
  tessaline::DateTime now;
  now.date = tessaline::make_date(12, 31, 1999);
  now.hour = 23;
  now.minute = now.second = 5;
  processor->set_variable("-Now-", Var::of_date_time(now));

  const bool html = data[0] & 1;
  const String original(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
  String body = original;
  ui.clear_events();
  bool ok = processor->process_tags(html, body, &row);
  if (ok) {
    check(ui.events.empty());
  } else {
    check(body == original);
    check(ui.count(tessaline::RecordingUi::EventKind::kError) == 1);
    const tessaline::RecordingUi::Event* focus = ui.last(tessaline::RecordingUi::EventKind::kFocus);
    if (focus) check(focus->caret >= -1 && focus->caret <= original.length());
  }
  return 0;
}
