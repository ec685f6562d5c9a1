// Gathering and personalising 1,000,000 recipients from a spreadsheet
// export (CSV), against the same rows from a SQLite table through ODBC.
//
// Each run is the gathering step of a send without the sending: the
// sources are prepared (for the file, its check pass through the whole
// file included), every candidate is judged against the exclusions (and,
// with dedup:1, against the addresses accepted so far: EliminateDuplicates),
// the basic tags are set and a text body that reads four columns and the
// basic tags is personalised. The message is then dropped, as a No Preview
// send drops it once it is sent.
//
// Every run happens in a child process of its own, so that its peak
// resident memory (ru_maxrss, reported by wait4) is its own: `peak_MiB` is
// that peak, `growth_MiB` what the run added to the memory the child started
// with. Rows per second is items_per_second. With dedup:1 the growth is
// mostly the table of accepted addresses, which a send must keep; dedup:0
// shows what the rows themselves cost. The file and the table are made
// once, before the runs; the rows are the same in both.
//
// Run it on one CPU, as: taskset -c 1 build/bench/gather_bench
// TESSALINE_BENCH_ROWS sets another number of rows (for a quick look).
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/date.h"
#include "core/recording_ui.h"
#include "core/string.h"
#include "core/var.h"
#include "db/database.h"
#include "db/database_row.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"
#include "merge/tag_processor.h"
#include "recipients/recipient_sources.h"
#include "recipients/test_project.h"
#include "bench/bench_ratio.h"

namespace {

using namespace tessaline;
using tessaline::testing::MemoryProject;
using tessaline::testing::TestDataSources;

int64_t g_rows = 1000000;
TestDataSources* g_sources = nullptr;
String g_csv;

const char* const kCities[] = {"Leeds", "York", "Hull, East Riding", "Bath",
                               "Ely",   "Wells", "Ripon",            "Truro"};

constexpr char kBody[] =
    "Dear [[first]] [[last]] of [[city]],\n"
    "you came [[visits]] times this year.[[if city = \"Leeds\"]] See you in Leeds.[[endif]]\n"
    "You are number [[-Index-]] of this mailing, sent to [[-Email-]] on [[-Now-:MM D]].\n";

class BenchFields : public MergeProject {
 public:
  int send_mode() override { return kSendNoPreview; }
  String identity_column() override { return String(); }
  bool body_from_file(bool) override { return false; }
};

bool write_csv(const String& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::fputs("email,first,last,city,visits\r\n", f);
  for (int64_t n = 1; n <= g_rows; ++n) {
    const char* city = kCities[n % 8];
    bool quote = String(city).contains(',');
    std::fprintf(f, "user%lld@example.com,First%lld,Last%lld,%s%s%s,%lld\r\n",
                 static_cast<long long>(n), static_cast<long long>(n), static_cast<long long>(n),
                 quote ? "\"" : "", city, quote ? "\"" : "", static_cast<long long>(n % 50));
  }
  return std::fclose(f) == 0;
}

bool fill_table() {
  Database db;
  String cities = "CASE n % 8";
  for (int i = 0; i < 8; ++i) cities.append_format(" WHEN %d THEN '%s'", i, kCities[i]);
  cities += " END";
  String insert = String::formatted(
      "WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < %lld) "
      "INSERT INTO people SELECT n, 'user' || n || '@example.com', 'First' || n, 'Last' || n, "
      "%s, n %% 50 FROM g",
      static_cast<long long>(g_rows), cities.c_str());
  if (!db.open(TestDataSources::kSqliteName) || !db.execute("DROP TABLE IF EXISTS people") ||
      !db.execute("CREATE TABLE people (id INTEGER PRIMARY KEY, email VARCHAR(80), "
                  "first VARCHAR(40), last VARCHAR(40), city VARCHAR(40), visits INTEGER)") ||
      !db.execute(insert)) {
    std::fprintf(stderr, "gather_bench: %s\n", db.last_error().c_str());
    return false;
  }
  db.close();
  return true;
}

bool set_up() {
  if (const char* rows = std::getenv("TESSALINE_BENCH_ROWS")) g_rows = std::atoll(rows);
  g_sources = new TestDataSources();
  if (!g_sources->start(/*with_postgres=*/false)) {
    std::fprintf(stderr, "gather_bench: %s\n", g_sources->error().c_str());
    return false;
  }
  if (!iniz_gdb()) {
    std::fprintf(stderr, "gather_bench: unixODBC (libodbc.so.2) could not be loaded\n");
    return false;
  }
  g_csv = g_sources->folder() + "/people.csv";
  if (!write_csv(g_csv)) {
    std::fprintf(stderr, "gather_bench: cannot write %s\n", g_csv.c_str());
    return false;
  }
  return fill_table();
}

double now_seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One gathering, as a send does it; the number of personalised messages,
// -1 when the sources could not be prepared.
int64_t gather(bool from_file, bool dedup) {
  MemoryProject project;
  project.check(kFieldEliminateDuplicates, dedup);
  project.check(kFieldUseExclusionText).set(kFieldExclusionText, "user7@example.com");
  Database* db = nullptr;
  if (from_file) {
    project.check(kFieldUseRecipientFile)
        .set(kFieldRecipientFile, g_csv)
        .set(kFieldRecipientFileFormat, "2")
        .set(kFieldRecipientFileColumn, "email");
  } else {
    db = &database();
    project.check(kFieldUseDatabase)
        .set(kFieldDbName, TestDataSources::kSqliteName)
        .set(kFieldTableName, "people")
        .set(kFieldRecipientColumn, "email")
        .set(kFieldOrderBy, "id");
  }
  RecordingUi ui;
  RecipientSources sources(project, ui, db);
  if (!sources.prepare()) return -1;
  DatabaseRow db_row(database());
  MergeRow* row = from_file ? sources.file_row() : &db_row;

  BenchFields fields;
  TagProcessor tags(ui, fields);
  int64_t messages = 0;
  String candidate, error;
  for (;;) {
    RecipientSources::Next next = sources.next(&candidate, &error);
    if (next != RecipientSources::Next::kCandidate) {
      if (next != RecipientSources::Next::kEnd) return -1;
      break;
    }
    ParsedAddress parsed;
    if (judge_candidate(candidate, sources.addresses(), dedup, &parsed) != Verdict::kAccepted) {
      continue;
    }
    tags.set_variable("-Recipient-", Var::of_text(candidate.c_str()));
    tags.set_variable("-FullName-", Var::of_text(parsed.display.c_str()));
    tags.set_variable("-FirstName-", Var::of_text(parsed.first_name.c_str()));
    tags.set_variable("-LastName-", Var::of_text(parsed.last_name.c_str()));
    tags.set_variable("-Email-", Var::of_text(parsed.address.c_str()));
    tags.set_variable("-Now-", Var::of_date_time(local_now()));
    tags.set_variable("-Index-", Var::of_int(static_cast<int32_t>(messages + 1)));
    String body = kBody;
    if (!tags.process_tags(false, body, row)) return -1;
    benchmark::DoNotOptimize(body);
    ++messages;
  }
  database().close();
  return messages;
}

struct ChildReport {
  double seconds = 0;
  int64_t messages = 0;
  long start_kib = 0;  // the child's resident memory when it began
};

// Runs one gathering in a child process; false with the state skipped.
bool run_in_child(benchmark::State& state, bool from_file, bool dedup, ChildReport* report,
                  long* peak_kib) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) {
    state.SkipWithError("pipe failed");
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_ends[0]);
    ChildReport r;
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    r.start_kib = usage.ru_maxrss;
    double start = now_seconds();
    r.messages = gather(from_file, dedup);
    r.seconds = now_seconds() - start;
    ssize_t written = write(pipe_ends[1], &r, sizeof r);
    _exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  close(pipe_ends[1]);
  if (pid < 0) {
    close(pipe_ends[0]);
    state.SkipWithError("fork failed");
    return false;
  }
  ssize_t got = read(pipe_ends[0], report, sizeof *report);
  close(pipe_ends[0]);
  int status = 0;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  *peak_kib = usage.ru_maxrss;
  if (got != static_cast<ssize_t>(sizeof *report) || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0 || report->messages < 0) {
    state.SkipWithError("the gathering failed");
    return false;
  }
  return true;
}

void gather_rows(benchmark::State& state, bool from_file) {
  int64_t messages = 0;
  double peak = 0, growth = 0;
  for (auto _ : state) {
    ChildReport report;
    long peak_kib = 0;
    if (!run_in_child(state, from_file, state.range(0) != 0, &report, &peak_kib)) return;
    state.SetIterationTime(report.seconds);
    messages += report.messages;
    peak = peak_kib / 1024.0;
    growth = (peak_kib - report.start_kib) / 1024.0;
  }
  state.SetItemsProcessed(messages);
  state.counters["peak_MiB"] = peak;
  state.counters["growth_MiB"] = growth;
}

void gather_csv(benchmark::State& state) { gather_rows(state, true); }
void gather_odbc_sqlite(benchmark::State& state) { gather_rows(state, false); }

}  // namespace

BENCHMARK(gather_csv)->ArgName("dedup")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)
    ->UseManualTime()->Iterations(1)->Repetitions(3);
BENCHMARK(gather_odbc_sqlite)->ArgName("dedup")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)
    ->UseManualTime()->Iterations(1)->Repetitions(3);

int main(int argc, char** argv) {
  if (!set_up()) return 1;
  int result = tessaline::bench::run_interleaved_with_ratios(
      argc, argv,
      {{"gather_csv/dedup:0", "gather_odbc_sqlite/dedup:0"},
       {"gather_csv/dedup:1", "gather_odbc_sqlite/dedup:1"}});
  delete g_sources;
  return result;
}
