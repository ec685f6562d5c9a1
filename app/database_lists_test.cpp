#include "app/database_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/recording_ui.h"
#include "db/database.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"

// The ODBC drivers keep the configuration they read through unixODBC's
// libodbcinst for the life of the process; LeakSanitizer is told so, and
// only about those libraries.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libodbcinst.so\nleak:libsqlite3odbc.so\n";
}
// The drivers are built without frame pointers: the slow unwinder is
// needed to see the library a leak comes from.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace tessaline {
namespace {

using Kind = RecordingUi::EventKind;
using testing::TestDataSources;

std::vector<std::string> strings(const Vector<String>& list) {
  std::vector<std::string> out;
  for (const String& s : list) out.push_back(s.std_string());
  return out;
}

class DatabaseListsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sources_ = new TestDataSources();
    ASSERT_TRUE(sources_->start(/*with_postgres=*/false)) << sources_->error().c_str();
    ASSERT_TRUE(iniz_gdb()) << "unixODBC (libodbc.so.2) could not be loaded";
    Database& db = database();
    ASSERT_TRUE(db.open(TestDataSources::kSqliteName)) << db.last_error().c_str();
    for (const char* sql :
         {"DROP TABLE IF EXISTS people", "DROP TABLE IF EXISTS [Mail List]",
          "CREATE TABLE people (id INTEGER PRIMARY KEY, email VARCHAR(200), name VARCHAR(50))",
          "CREATE TABLE [Mail List] (address VARCHAR(200), visits INTEGER)"}) {
      ASSERT_TRUE(db.execute(sql)) << db.last_error().c_str();
    }
    db.close();
  }
  static void TearDownTestSuite() {
    database().close();
    delete sources_;
    sources_ = nullptr;
  }
  void TearDown() override { database().close(); }

  static TestDataSources* sources_;
  RecordingUi ui_;
  DatabaseLists lists_{&database(), ui_};
};

TestDataSources* DatabaseListsTest::sources_ = nullptr;

TEST_F(DatabaseListsTest, DataSourcesTablesAndColumnsWithTheBusyCursor) {
  lists_.load_data_sources();
  std::vector<std::string> names = strings(lists_.data_sources());
  EXPECT_NE(std::find(names.begin(), names.end(), TestDataSources::kSqliteName), names.end());

  ASSERT_TRUE(lists_.load_tables(TestDataSources::kSqliteName));
  std::vector<std::string> tables = strings(lists_.tables());
  EXPECT_NE(std::find(tables.begin(), tables.end(), "people"), tables.end());
  EXPECT_NE(std::find(tables.begin(), tables.end(), "Mail List"), tables.end());
  EXPECT_TRUE(database().is_open());

  ASSERT_TRUE(lists_.load_columns(TestDataSources::kSqliteName, "Mail List"));
  EXPECT_EQ(strings(lists_.columns()), (std::vector<std::string>{"address", "visits"}));
  ASSERT_TRUE(lists_.load_columns(TestDataSources::kSqliteName, "people"));
  EXPECT_EQ(strings(lists_.columns()), (std::vector<std::string>{"id", "email", "name"}));
  EXPECT_EQ(ui_.count(Kind::kBusyBegin), ui_.count(Kind::kBusyEnd));
  EXPECT_GE(ui_.count(Kind::kBusyBegin), 4);
  EXPECT_EQ(ui_.last_box(), nullptr);
}

TEST_F(DatabaseListsTest, ListsAreLoadedOnceUntilTheSourceOrTableChanges) {
  Database& db = database();
  ASSERT_TRUE(db.open(TestDataSources::kSqliteName)) << db.last_error().c_str();
  ASSERT_TRUE(db.execute("DROP TABLE IF EXISTS changing"));
  ASSERT_TRUE(db.execute("DROP TABLE IF EXISTS later"));
  ASSERT_TRUE(db.execute("CREATE TABLE changing (a INTEGER)"));
  ASSERT_TRUE(lists_.load_tables(TestDataSources::kSqliteName));
  ASSERT_TRUE(lists_.load_columns(TestDataSources::kSqliteName, "changing"));
  ASSERT_TRUE(db.execute("ALTER TABLE changing ADD COLUMN b VARCHAR(40)"));
  ASSERT_TRUE(db.execute("CREATE TABLE later (x INTEGER)"));
  int busy = ui_.count(Kind::kBusyBegin);

  // Kept: nothing is read again.
  ASSERT_TRUE(lists_.load_tables(TestDataSources::kSqliteName));
  ASSERT_TRUE(lists_.load_columns(TestDataSources::kSqliteName, "changing"));
  EXPECT_EQ(ui_.count(Kind::kBusyBegin), busy);
  EXPECT_EQ(strings(lists_.columns()), std::vector<std::string>{"a"});

  // The table changed: its columns are read again.
  lists_.table_changed();
  EXPECT_TRUE(lists_.columns().empty());
  ASSERT_TRUE(lists_.load_columns(TestDataSources::kSqliteName, "changing"));
  EXPECT_EQ(strings(lists_.columns()), (std::vector<std::string>{"a", "b"}));

  // The data source changed: disconnected, both lists forgotten, and the
  // next request connects again.
  lists_.data_source_changed();
  EXPECT_FALSE(db.is_open());
  EXPECT_TRUE(lists_.tables().empty());
  EXPECT_TRUE(lists_.columns().empty());
  ASSERT_TRUE(lists_.load_tables(TestDataSources::kSqliteName));
  EXPECT_TRUE(db.is_open());
  std::vector<std::string> tables = strings(lists_.tables());
  EXPECT_NE(std::find(tables.begin(), tables.end(), "later"), tables.end());
}

TEST_F(DatabaseListsTest, AFailureShowsTheDatabaseErrorBoxAndIsTriedAgain) {
  EXPECT_FALSE(lists_.load_tables("no_such_source"));
  ASSERT_NE(ui_.last_box(), nullptr);
  EXPECT_EQ(ui_.last_box()->caption, "Database Error");
  EXPECT_NE(ui_.last_box()->message.find("Unable to open data source 'no_such_source'"), -1);
  EXPECT_TRUE(lists_.tables().empty());
  EXPECT_EQ(ui_.count(Kind::kBusyBegin), ui_.count(Kind::kBusyEnd));

  ui_.clear_events();
  EXPECT_FALSE(lists_.load_columns("no_such_source", "people"));
  EXPECT_EQ(ui_.count(Kind::kError), 1);

  // The same lists for a real source load at once afterwards.
  ASSERT_TRUE(lists_.load_tables(TestDataSources::kSqliteName));
  EXPECT_FALSE(lists_.tables().empty());
}

TEST(DatabaseListsWithoutOdbc, EveryListIsEmptyAndNothingIsShown) {
  RecordingUi ui;
  DatabaseLists lists(nullptr, ui);
  lists.load_data_sources();
  EXPECT_FALSE(lists.load_tables("mail"));
  EXPECT_FALSE(lists.load_columns("mail", "people"));
  lists.data_source_changed();
  EXPECT_TRUE(lists.data_sources().empty());
  EXPECT_TRUE(ui.events.empty());
}

}  // namespace
}  // namespace tessaline
