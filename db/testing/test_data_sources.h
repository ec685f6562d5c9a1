// test_data_sources.h - real ODBC data sources for the tests and benchmarks.
//
// TestDataSources makes, in a temporary folder, an ODBC configuration of
// its own (odbcinst.ini and odbc.ini, with ODBCSYSINI and ODBCINI pointed at
// them) holding two data sources:
//   - a SQLite database file through the SQLite ODBC driver (a user data
//     source), and
//   - a PostgreSQL server that it initialises with initdb and starts on
//     127.0.0.1 on a free port (a system data source).
// stop() ends the server by its process id and removes the folders. When
// the process runs as root the server runs as the "postgres" user, which
// PostgreSQL insists on.
//
// Not for: the program. Only tests and benchmarks link this.
//
// Failures: start() returns false with a readable reason in error().
#pragma once

#include <sys/types.h>

#include "core/string.h"

namespace tessaline::testing {

class TestDataSources {
 public:
  static constexpr const char* kSqliteName = "tessaline_sqlite";
  static constexpr const char* kPostgresName = "tessaline_postgres";

  TestDataSources() = default;
  ~TestDataSources() { stop(); }
  TestDataSources(const TestDataSources&) = delete;
  TestDataSources& operator=(const TestDataSources&) = delete;

  // Writes the configuration and, when `with_postgres`, starts the server.
  bool start(bool with_postgres = true);
  void stop();

  const String& error() const { return error_; }
  const String& folder() const { return folder_; }
  const String& sqlite_file() const { return sqlite_file_; }
  int postgres_port() const { return port_; }
  // The psql client of the same PostgreSQL installation.
  const String& psql() const { return psql_; }

  // Runs a program (no shell) and waits for it; its output goes to `output`
  // when given, else to /dev/null. Returns the exit status, -1 when it
  // could not be run.
  static int run(const char* const* argv, const char* output = nullptr, uid_t uid = 0,
                 gid_t gid = 0);

 private:
  bool fail(const String& reason);
  bool start_postgres();
  bool write_configuration();

  String error_;
  String folder_;
  String sqlite_file_;
  String pg_folder_;
  String psql_;
  int port_ = 0;
  pid_t postgres_pid_ = -1;
};

}  // namespace tessaline::testing
