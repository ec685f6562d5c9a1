// Personalising an HTML body for 100,000 recipients, against copying it.
//
// The body is 10 KB of HTML with 25 data tags: value tags with formats,
// defaults and mappings, an if/elseif/else block, a while loop that runs
// five times, var and let on variables, and values holding "<", "&" and
// accented letters that the HTML body encodes. Each recipient gets its basic
// tags and its own database row, and the variable table is kept across
// recipients, as in a send. The anchor copies the same body once per
// recipient: the memory-bandwidth floor of any personalisation.
//
//   build/bench/merge_bench              (recipients/s in the table, RATIO below)
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
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

constexpr int kRecipients = 100000;
constexpr int kBodyBytes = 10 * 1024;

// The 25 tags, in body order.
const char* const kTagged[] = {
    "<h1>[[var greeting = \"Dear \" + -FirstName-]][[let greeting = greeting + \",\"]]"
    "[[greeting]]</h1>",
    "<p>Member [[-FirstName-]] [[-LastName-]] of [[Company]], [[City:unknown city]]</p>",
    "<p>Balance: [[Balance:n/a]] as of [[-Now-:MM D, yy]]</p>",
    "<p>Status: [[Status|active|Active member|lapsed|Former member|Guest]]</p>",
    "<p>With interest: [[var total = Balance * 1.2]][[total]]</p>",
    "<p>[[if Balance > 1000]]Patron, [[elseif Balance > 100]]supporter, "
    "[[elseif Balance > 0]]member.[[else]]Every gift helps.[[endif]]</p>",
    "<ol>[[var i = 0]][[while i < 5]]<li>Item [[i + 1]]</li>[[let i = i + 1]][[endw]]</ol>",
    "<p>Member since [[Joined:dd M y]]; write to [[-Email-]] (recipient [[-Index-]]).</p>",
};

const char kFiller[] =
    "<p>Our association has had a busy season, with concerts in the park, readings at the "
    "library and the restoration of the old mill now well under way.</p>\n";

String make_body() {
  String body = "<html><body>\n";
  const int pieces = sizeof kTagged / sizeof kTagged[0];
  int tagged_length = 0;
  for (const char* piece : kTagged) tagged_length += static_cast<int>(std::string(piece).size());
  const int filler_length = sizeof kFiller - 1;
  const int fillers = (kBodyBytes - tagged_length - 30) / filler_length;
  for (int i = 0, f = 0; i < pieces; ++i) {
    body.append(kTagged[i]);
    body.append('\n');
    for (int n = fillers * (i + 1) / pieces; f < n; ++f) body.append(kFiller);
  }
  body.append("</body></html>\n");
  return body;
}

class BenchProject : public tessaline::MergeProject {
 public:
  int send_mode() override { return tessaline::kSendNormal; }
  String identity_column() override { return "id"; }
  bool body_from_file(bool) override { return false; }
};

class BenchRow : public tessaline::MergeRow {
 public:
  BenchRow() { columns.init(16); }
  bool has_column(const String& name) override { return columns.contains(name); }
  bool read_column(const String& name, Var& value) override {
    const Var* column = columns.find(name);
    if (column) value = *column;
    return column != nullptr;
  }
  bool writable() override { return true; }
  bool write_column(const String&, int32_t, const String&, const Var&) override { return false; }
  String last_error() override { return String(); }

  tessaline::HashTable<Var, String> columns;
};

struct Person {
  const char* first;
  const char* last;
  const char* company;
  const char* city;
  double balance;
  const char* status;
};

const Person kPeople[] = {
    {"Ann", "M\xc3\xbcller", "M\xc3\xbcller & S\xc3\xb6hne <GmbH>", "Z\xc3\xbcrich", 1500.0,
     "active"},
    {"Jos\xc3\xa9", "Garc\xc3\xad" "a", "<Caf\xc3\xa9 Central>", "", 250.5, "lapsed"},
    {"Chlo\xc3\xab", "Dubois", "Dubois & Fils", "Li\xc3\xa8ge", 42.0, "new"},
};

void set_recipient(tessaline::TagProcessor& processor, BenchRow& row, int index) {
  const Person& p = kPeople[index % 3];
  String address = String::formatted("%s.%d@example.com", p.first, index);
  processor.set_variable("-Recipient-", Var::of_string(address));
  processor.set_variable("-FirstName-", Var::of_text(p.first));
  processor.set_variable("-LastName-", Var::of_text(p.last));
  processor.set_variable("-Email-", Var::of_string(address));
  processor.set_variable("-Index-", Var::of_int(index + 1));
  tessaline::DateTime now;
  now.date = tessaline::make_date(3, 14, 2026);
  now.hour = 9;
  now.minute = 26;
  now.second = index % 60;
  processor.set_variable("-Now-", Var::of_date_time(now));
  row.columns.find_or_add("id").set_int32(index + 1);
  row.columns.find_or_add("Company").set_text(p.company);
  row.columns.find_or_add("City").set_text(p.city);
  row.columns.find_or_add("Balance").set_double(p.balance);
  row.columns.find_or_add("Status").set_text(p.status);
  row.columns.find_or_add("Joined").set_date(tessaline::make_date(1 + index % 12, 1, 2001));
}

void personalise(benchmark::State& state) {
  const String body = make_body();
  tessaline::RecordingUi ui;
  BenchProject project;
  BenchRow row;
  tessaline::TagProcessor processor(ui, project);
  for (auto _ : state) {
    processor.clear_variables();  // the start of a send
    for (int i = 0; i < kRecipients; ++i) {
      set_recipient(processor, row, i);
      String message = body;
      if (!processor.process_tags(true, message, &row)) {
        state.SkipWithError(ui.last_box() ? ui.last_box()->message.c_str() : "failed");
        return;
      }
      benchmark::DoNotOptimize(message.c_str());
    }
  }
  state.counters["recipients/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRecipients,
                         benchmark::Counter::kIsRate);
  state.counters["body_bytes"] = body.length();
}

void copy_body(benchmark::State& state) {
  const String body = make_body();
  for (auto _ : state) {
    for (int i = 0; i < kRecipients; ++i) {
      String message = body;
      benchmark::DoNotOptimize(message.c_str());
    }
  }
  state.counters["recipients/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRecipients,
                         benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  {
    // One recipient's result, so a reader can see what is being timed.
    tessaline::RecordingUi ui;
    BenchProject project;
    BenchRow row;
    tessaline::TagProcessor processor(ui, project);
    set_recipient(processor, row, 0);
    String message = make_body();
    const bool ok = processor.process_tags(true, message, &row);
    std::printf("body: %d bytes; first recipient's: %d bytes (%s)\n", make_body().length(),
                message.length(), ok ? "ok" : ui.last_box()->message.c_str());
  }
  auto add = [](const char* name, void (*fn)(benchmark::State&)) {
    return benchmark::RegisterBenchmark(name, fn)
        ->Iterations(1)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  };
  add("process_tags/100k_recipients", personalise);
  add("copy_body/100k_recipients", copy_body);
  return tessaline::bench::run_interleaved_with_ratios(
      argc, argv, {{"process_tags/100k_recipients", "copy_body/100k_recipients"}});
}
