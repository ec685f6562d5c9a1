// Reading a whole table through the ODBC layer, against the fastest way to
// read the same rows without it.
//
// 100,000 rows of five columns (an integer identity, three texts, a date)
// are bulk-loaded and every value is read as a Var:
//   - from a SQLite file through the SQLite ODBC driver, against the same
//     query stepped with the SQLite C library directly;
//   - from a PostgreSQL server (started for this run on 127.0.0.1) through
//     its ODBC driver, against psql copying the same query to /dev/null.
// Each figure is printed as rows per second, and as a ratio of times to its
// anchor measured in the same run.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/string.h"
#include "core/var.h"
#include "db/database.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"
#include "bench/bench_ratio.h"

namespace {

using tessaline::Database;
using tessaline::DBClause;
using tessaline::DBTable;
using tessaline::String;
using tessaline::Var;
using tessaline::Vector;
using tessaline::testing::TestDataSources;

constexpr int kRows = 100000;
constexpr const char* kQuery = "SELECT id, first, last, email, joined FROM recipients";

TestDataSources* g_sources = nullptr;

bool fill(const char* dsn, const char* create, const char* insert) {
  Database db;
  if (!db.open(dsn) || !db.execute("DROP TABLE IF EXISTS recipients") || !db.execute(create) ||
      !db.execute(insert)) {
    std::fprintf(stderr, "db_bench: %s: %s\n", dsn, db.last_error().c_str());
    return false;
  }
  return true;
}

bool set_up() {
  g_sources = new TestDataSources();
  if (!g_sources->start()) {
    std::fprintf(stderr, "db_bench: %s\n", g_sources->error().c_str());
    return false;
  }
  if (!tessaline::iniz_gdb()) {
    std::fprintf(stderr, "db_bench: unixODBC (libodbc.so.2) could not be loaded\n");
    return false;
  }
  const char* create =
      "CREATE TABLE recipients (id INTEGER PRIMARY KEY, first VARCHAR(40), last VARCHAR(40), "
      "email VARCHAR(80), joined DATE)";
  return fill(TestDataSources::kSqliteName, create,
              "WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < 100000) "
              "INSERT INTO recipients SELECT n, 'First' || n, 'Last' || n, "
              "'user' || n || '@example.com', date('2020-01-01', '+' || (n % 1000) || ' days') "
              "FROM g") &&
         fill(TestDataSources::kPostgresName, create,
              "INSERT INTO recipients SELECT n, 'First' || n, 'Last' || n, "
              "'user' || n || '@example.com', DATE '2020-01-01' + (n % 1000) "
              "FROM generate_series(1, 100000) AS n");
}

// Every row of the table through Database::bulk_load, every value as a Var.
void read_through_odbc(benchmark::State& state, const char* dsn) {
  Database db;
  if (!db.open(dsn)) {
    state.SkipWithError(db.last_error().c_str());
    return;
  }
  DBTable& table = db.add_table_info("recipients");
  Vector<String> columns{"id", "first", "last", "email", "joined"};
  int64_t rows = 0;
  for (auto _ : state) {
    if (!db.bulk_load(&table, DBClause(), &columns)) {
      state.SkipWithError(db.last_error().c_str());
      return;
    }
    Var value;
    int n = 0;
    while (db.bulk_load_row()) {
      for (int position = 1; position <= 5; ++position) {
        db.bulk_get(position, value);
        benchmark::DoNotOptimize(value);
      }
      ++n;
    }
    if (n != kRows) {
      state.SkipWithError("the table did not give every row");
      return;
    }
    rows += n;
  }
  state.SetItemsProcessed(rows);
}

void odbc_sqlite(benchmark::State& state) { read_through_odbc(state, TestDataSources::kSqliteName); }
void odbc_postgres(benchmark::State& state) {
  read_through_odbc(state, TestDataSources::kPostgresName);
}

// The anchor: the same query stepped with the SQLite C library, each column
// read with its natural accessor.
void sqlite3_direct(benchmark::State& state) {
  sqlite3* file = nullptr;
  if (sqlite3_open_v2(g_sources->sqlite_file().c_str(), &file, SQLITE_OPEN_READONLY, nullptr) !=
      SQLITE_OK) {
    state.SkipWithError("cannot open the SQLite file");
    return;
  }
  int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(file, kQuery, -1, &statement, nullptr);
    int n = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_int(statement, 0));
      for (int column = 1; column <= 4; ++column) {
        benchmark::DoNotOptimize(sqlite3_column_text(statement, column));
        benchmark::DoNotOptimize(sqlite3_column_bytes(statement, column));
      }
      ++n;
    }
    sqlite3_finalize(statement);
    rows += n;
  }
  sqlite3_close(file);
  state.SetItemsProcessed(rows);
}

// The anchor: psql copying the query's rows to /dev/null, process start
// included.
void psql_copy(benchmark::State& state) {
  String port = String::formatted("%d", g_sources->postgres_port());
  String copy = String::formatted("COPY (%s) TO STDOUT", kQuery);
  const char* argv[] = {g_sources->psql().c_str(), "-h", "127.0.0.1", "-p", port.c_str(), "-U",
                        "postgres", "-d", "postgres", "-X", "-q", "-c", copy.c_str(), nullptr};
  int64_t rows = 0;
  for (auto _ : state) {
    if (TestDataSources::run(argv) != 0) {
      state.SkipWithError("psql failed");
      return;
    }
    rows += kRows;
  }
  state.SetItemsProcessed(rows);
}

}  // namespace

BENCHMARK(odbc_sqlite)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(sqlite3_direct)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(odbc_postgres)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(psql_copy)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

int main(int argc, char** argv) {
  if (!set_up()) return 1;
  int result = tessaline::bench::run_interleaved_with_ratios(
      argc, argv, {{"odbc_sqlite", "sqlite3_direct"}, {"odbc_postgres", "psql_copy"}});
  Database& db = tessaline::database();
  db.close();
  delete g_sources;
  return result;
}
