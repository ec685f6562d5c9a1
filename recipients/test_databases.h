// test_databases.h - the real data sources of the recipients tests (test
// code only): one ODBC configuration with a SQLite file and a PostgreSQL
// server, made once for the whole test executable. One test file registers
// the environment; the others reach the sources through data_sources().
#pragma once

#include <gtest/gtest.h>

#include "db/database.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"

namespace tessaline::testing {

inline TestDataSources*& data_sources_pointer() {
  static TestDataSources* sources = nullptr;
  return sources;
}

// The data sources, once the environment has started them.
inline TestDataSources& data_sources() { return *data_sources_pointer(); }

class DataSourceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    data_sources_pointer() = new TestDataSources();
    ASSERT_TRUE(data_sources().start(/*with_postgres=*/true)) << data_sources().error().c_str();
    ASSERT_TRUE(iniz_gdb()) << "unixODBC (libodbc.so.2) could not be loaded";
  }
  void TearDown() override {
    database().close();
    delete data_sources_pointer();
    data_sources_pointer() = nullptr;
  }
};

}  // namespace tessaline::testing
