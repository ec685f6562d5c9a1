// Tests of the ODBC layer against real data sources: a SQLite file through
// the SQLite ODBC driver, and a PostgreSQL server started for this run.
#include "db/database.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "core/recording_ui.h"
#include "core/var.h"
#include "db/database_row.h"
#include "db/odbc_library.h"
#include "merge/merge_ports.h"
#include "merge/tag_processor.h"
#include "db/testing/test_data_sources.h"

// The PostgreSQL driver keeps the configuration it read through unixODBC's
// libodbcinst for the life of the process; LeakSanitizer is told so, and
// only about those libraries.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:psqlodbcw.so\nleak:psqlodbca.so\nleak:libpq.so\nleak:libodbcinst.so\n";
}

namespace tessaline {
namespace {

testing::TestDataSources* g_sources = nullptr;

// One configuration and one PostgreSQL server for the whole executable.
class DataSourceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_sources = new testing::TestDataSources();
    ASSERT_TRUE(g_sources->start()) << g_sources->error().c_str();
    ASSERT_TRUE(iniz_gdb()) << "unixODBC (libodbc.so.2) could not be loaded";
  }
  void TearDown() override {
    database().close();
    delete g_sources;
    g_sources = nullptr;
  }
};

const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new DataSourceEnvironment());

TEST(OdbcLibrary, TableTypeListJoinsTheWordsOfTheMaskBits) {
  struct Case {
    int mask;
    const char* list;
  } cases[] = {
      {0, ""},
      {kTableTypeSystemTable, "SYSTEM TABLE"},
      {kTableTypesOffered, "TABLE,VIEW,GLOBAL TEMPORARY,LOCAL TEMPORARY,ALIAS,SYNONYM"},
      {kTableTypeTable | kTableTypeSynonym, "TABLE,SYNONYM"},
  };
  for (const Case& c : cases) EXPECT_EQ(table_type_list(c.mask), c.list) << c.mask;
}

TEST(OdbcLibrary, ListsTheUserAndTheSystemDataSources) {
  Vector<String> names;
  ASSERT_TRUE(database().list_data_sources(names));
  EXPECT_GE(names.find(testing::TestDataSources::kSqliteName), 0);
  EXPECT_GE(names.find(testing::TestDataSources::kPostgresName), 0);
}

TEST(OdbcLibrary, OpeningAnUnknownDataSourceSaysWhyAndWhich) {
  Database db;
  EXPECT_FALSE(db.open("no_such_source"));
  EXPECT_FALSE(db.is_open());
  const String& error = db.last_error();
  EXPECT_TRUE(error.starts_with("Error Code: ")) << error.c_str();
  EXPECT_TRUE(error.contains("Native State: IM002")) << error.c_str();
  EXPECT_TRUE(error.ends_with("\n\nUnable to open data source 'no_such_source'")) << error.c_str();
}

TEST(OdbcLibraryDeathTest, WithoutTheDriverManagerTheProgramRunsWithDatabaseFeaturesOff) {
  EXPECT_EXIT(
      {
        release_gdb();
        bool loaded = iniz_gdb("/nonexistent/libodbc.so.2");
        Database db;
        bool opened = db.open(testing::TestDataSources::kSqliteName);
        Vector<String> names;
        db.list_data_sources(names);
        bool message_ok = db.last_error() ==
            "Database::open() was called but the iniz_gdb() function has never been called";
        std::exit(!loaded && !database_available() && !opened && names.empty() && message_ok
                      ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(OdbcLibraryDeathTest, ADriverManagerWithoutEntryPointsLoadsButConnectsNothing) {
  EXPECT_EXIT(
      {
        release_gdb();
        bool loaded = iniz_gdb(TESSALINE_FAKE_ODBC);
        Database db;
        bool opened = db.open("anything");
        Vector<String> names;
        db.list_data_sources(names);
        std::fprintf(stderr, "%s\n", db.last_error().c_str());
        std::exit(loaded && database_available() && odbc().SQLFetch == nullptr && !opened &&
                          names.empty()
                      ? 0
                      : 3);
      },
      ::testing::ExitedWithCode(0),
      "The ODBC driver manager does not provide SQLDriverConnect.\n\n"
      "Unable to open data source 'anything'");
}

TEST(OdbcLibrary, RefusesConnectionValuesThatWouldAddAttributes) {
  struct Case {
    const char* name;
    const char* user;
    const char* password;
    const char* error;
  } cases[] = {
      {"x;DRIVER=TessalineSQLite;Database=/tmp/elsewhere.db", nullptr, nullptr,
       "The data source name may not contain"},
      {testing::TestDataSources::kPostgresName, "postgres;Database=template1", nullptr,
       "The user name may not contain"},
      {testing::TestDataSources::kPostgresName, "postgres", "{x}", "The password may not contain"},
  };
  for (const Case& c : cases) {
    Database db;
    EXPECT_FALSE(db.open(c.name, c.user, c.password));
    EXPECT_TRUE(db.last_error().starts_with(c.error)) << db.last_error().c_str();
  }
  // Plain values pass (the server trusts every local user).
  Database db;
  EXPECT_TRUE(db.open(testing::TestDataSources::kPostgresName, "postgres", "any password"))
      << db.last_error().c_str();
}

// ---------------------------------------------------------------------------
// The same suite on each data source.

class DatabaseTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.open(GetParam())) << db_.last_error().c_str();
    postgres_ = !db_.uses_brackets();
    exec("DROP TABLE IF EXISTS " + db_.quote_name("Mail List"));
    exec("DROP TABLE IF EXISTS " + db_.quote_name("Orders"));
    const char* real = postgres_ ? "DOUBLE PRECISION" : "DOUBLE";
    exec(String::formatted(
        "CREATE TABLE %s (id INTEGER PRIMARY KEY, email VARCHAR(200), name VARCHAR(2000), "
        "joined DATE, score %s, visits INTEGER, seen TIMESTAMP)",
        db_.quote_name("Mail List").c_str(), real));
    exec("CREATE TABLE " + db_.quote_name("Orders") + " (id INTEGER, item VARCHAR(50))");
    const char* rows[] = {
        "(1, 'ann@example.com', 'Ann', '2024-03-05', 1.5, 3, '2024-03-05 08:30:00')",
        "(2, 'bob@example.com', 'Bob', '1999-12-31', 2.25, 7, NULL)",
        "(3, 'cy@example.com', 'Cy', NULL, NULL, NULL, NULL)",
    };
    for (const char* row : rows) exec("INSERT INTO " + db_.quote_name("Mail List") + " VALUES " + row);
    exec("INSERT INTO " + db_.quote_name("Orders") + " VALUES (1, 'pen')");
    table_ = &db_.add_table_info("Mail List");
    Database::add_index(*table_, "id");
  }

  void exec(const String& sql) { ASSERT_TRUE(db_.execute(sql)) << db_.last_error().c_str(); }

  // Every row of the table for one clause, one column read as text.
  Vector<String> read_column(const char* column, DBClause clause = DBClause()) {
    Vector<String> texts;
    Vector<String> columns{column};
    EXPECT_TRUE(db_.bulk_load(table_, clause, &columns)) << db_.last_error().c_str();
    while (db_.bulk_load_row()) {
      String text;
      EXPECT_TRUE(db_.get(column, text)) << db_.last_error().c_str();
      texts.append(text);
    }
    EXPECT_FALSE(db_.bulk_failed()) << db_.last_error().c_str();
    return texts;
  }

  // The value of one column of the row with identity `id`.
  Var value_of(const char* column, int id) {
    Vector<String> columns{column};
    Var value;
    EXPECT_TRUE(db_.push_statement());
    EXPECT_TRUE(db_.bulk_load(table_, DBClause{id}, &columns)) << db_.last_error().c_str();
    EXPECT_TRUE(db_.bulk_load_row()) << "no row " << id;
    EXPECT_TRUE(db_.bulk_get(1, value)) << db_.last_error().c_str();
    EXPECT_TRUE(db_.pop_statement());
    return value;
  }

  int count_rows(const char* table) {
    DBTable& t = db_.find_table(table) ? *db_.find_table(table) : db_.add_table_info(table);
    Vector<String> columns{"id"};
    int n = 0;
    EXPECT_TRUE(db_.bulk_load(&t, DBClause(), &columns)) << db_.last_error().c_str();
    while (db_.bulk_load_row()) ++n;
    return n;
  }

  Database db_;
  DBTable* table_ = nullptr;
  bool postgres_ = false;
};

INSTANTIATE_TEST_SUITE_P(Sources, DatabaseTest,
                         ::testing::Values(testing::TestDataSources::kSqliteName,
                                           testing::TestDataSources::kPostgresName),
                         [](const auto& info) { return String(info.param).std_string(); });

TEST_P(DatabaseTest, ListsTablesOfTheOfferedKindsOnly) {
  Vector<String> names;
  ASSERT_TRUE(db_.list_tables(names, kTableTypesOffered)) << db_.last_error().c_str();
  EXPECT_GE(names.find("Mail List"), 0);
  EXPECT_GE(names.find("Orders"), 0);
  ASSERT_TRUE(db_.list_tables(names, kTableTypeSystemTable)) << db_.last_error().c_str();
  EXPECT_LT(names.find("Mail List"), 0);
  EXPECT_LT(names.find("Orders"), 0);
}

TEST_P(DatabaseTest, TellsWhichTablesExist) {
  EXPECT_TRUE(db_.table_exists("Mail List"));
  EXPECT_TRUE(db_.table_exists("Orders"));
  EXPECT_FALSE(db_.table_exists("Nowhere"));
}

TEST_P(DatabaseTest, WritesNamesInTheDialectOfTheDataSource) {
  struct Case {
    const char* name;
    const char* brackets;
    const char* quoted;
  } cases[] = {
      {"Mail List", "[Mail List]", "\"Mail List\""},
      {"first-name", "[first-name]", "\"first-name\""},
      {"Orders", "Orders", "\"Orders\""},
      {"a\"b]c d", "[a\"b]]c d]", "\"a\"\"b]c d\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(db_.quote_name(c.name), postgres_ ? c.quoted : c.brackets) << c.name;
  }
}

TEST_P(DatabaseTest, LoadsColumnsFromTheCatalogueInOrder) {
  Vector<String> names;
  ASSERT_TRUE(db_.column_names("Mail List", names)) << db_.last_error().c_str();
  Vector<String> expected{"id", "email", "name", "joined", "score", "visits", "seen"};
  ASSERT_EQ(names.count(), expected.count());
  for (int i = 0; i < names.count(); ++i) EXPECT_EQ(names[i], expected[i]);
  EXPECT_FALSE(table_->columns.find("email")->type == 0);

  DBTable& missing = db_.add_table_info("Nowhere");
  EXPECT_FALSE(db_.load_columns(missing));
  EXPECT_EQ(db_.last_error(), "Database does not recognize table 'Nowhere'");
}

TEST_P(DatabaseTest, ReadsEveryKindOfValueOfAKeyedRow) {
  ASSERT_TRUE(db_.load_all("Mail List", DBClause{1})) << db_.last_error().c_str();
  ASSERT_TRUE(db_.bulk_load_row()) << db_.last_error().c_str();
  Vector<Var> values;
  ASSERT_TRUE(db_.bulk_get_all(values)) << db_.last_error().c_str();
  ASSERT_EQ(values.count(), 7);
  EXPECT_EQ(values[0].type(), 6);
  EXPECT_EQ(values[0].as_int(), 1);
  EXPECT_EQ(values[1].as_text(), "ann@example.com");
  EXPECT_EQ(values[3].type(), 13);
  EXPECT_EQ(values[3].as_date().year, 2024);
  EXPECT_EQ(values[3].as_date().month, 3);
  EXPECT_EQ(values[3].as_date().day, 5);
  EXPECT_EQ(values[4].type(), 10);
  EXPECT_DOUBLE_EQ(values[4].as_double(), 1.5);
  EXPECT_EQ(values[6].type(), 14);
  EXPECT_EQ(values[6].as_date_time().hour, 8);
  EXPECT_EQ(values[6].as_date_time().minute, 30);
  EXPECT_FALSE(db_.bulk_load_row());
  EXPECT_FALSE(db_.bulk_failed());
}

TEST_P(DatabaseTest, ReadsNullAsAnEmptyValue) {
  ASSERT_TRUE(db_.load_all("Mail List", DBClause{3})) << db_.last_error().c_str();
  ASSERT_TRUE(db_.bulk_load_row()) << db_.last_error().c_str();
  for (const char* column : {"joined", "score", "visits", "seen"}) {
    Var value;
    ASSERT_TRUE(db_.bulk_get(column, value)) << db_.last_error().c_str();
    EXPECT_EQ(value.type(), 0) << column;
  }
}

TEST_P(DatabaseTest, BulkLoadsInTheOrderAskedForAndUnderTheFilter) {
  table_->order_by = db_.quote_name("name") + " DESC";
  Vector<String> emails = read_column("email");
  ASSERT_EQ(emails.count(), 3);
  EXPECT_EQ(emails[0], "cy@example.com");
  EXPECT_EQ(emails[1], "bob@example.com");
  EXPECT_EQ(emails[2], "ann@example.com");

  db_.set_order_column(*table_, "email");
  emails = read_column("email");
  ASSERT_EQ(emails.count(), 3);
  EXPECT_EQ(emails[0], "ann@example.com");
  EXPECT_EQ(emails[2], "cy@example.com");

  db_.set_filter(db_.quote_name("visits") + " > 5");
  emails = read_column("email");
  ASSERT_EQ(emails.count(), 1);
  EXPECT_EQ(emails[0], "bob@example.com");
  EXPECT_EQ(read_column("email", DBClause{1}).count(), 0);
}

TEST_P(DatabaseTest, ReadingOutsideALoadOrTheSelectionFails) {
  Var value;
  EXPECT_FALSE(db_.bulk_get(1, value));
  EXPECT_EQ(db_.last_error(), "bulk_get() should not have been called");
  EXPECT_FALSE(db_.bulk_load_row());
  EXPECT_EQ(db_.last_error(), "bulk_load_row() should not have been called");

  Vector<String> columns{"email", "name"};
  ASSERT_TRUE(db_.bulk_load(table_, DBClause(), &columns)) << db_.last_error().c_str();
  ASSERT_TRUE(db_.bulk_load_row());
  struct Case {
    int position;
    const char* error;
  } cases[] = {{0, "bulk_get() received bad index 0"}, {3, "bulk_get() received bad index 3"}};
  for (const Case& c : cases) {
    EXPECT_FALSE(db_.bulk_get(c.position, value));
    EXPECT_EQ(db_.last_error(), c.error);
  }
  EXPECT_FALSE(db_.bulk_modify(-1, value));
  EXPECT_EQ(db_.last_error(), "bulk_modify() received bad index -1");
  EXPECT_FALSE(db_.bulk_get("visits", value));
  EXPECT_EQ(db_.last_error(), "Illegal column: visits");
  EXPECT_TRUE(db_.has_column("name"));
  EXPECT_FALSE(db_.has_column("visits"));

  Vector<String> wrong{"email", "shoe size"};
  EXPECT_FALSE(db_.bulk_load(table_, DBClause(), &wrong));
  EXPECT_EQ(db_.last_error(), "Column 'shoe size' does not exist in table 'Mail List'");
  EXPECT_FALSE(db_.bulk_load(table_, DBClause{1, 2}, &columns));
  EXPECT_EQ(db_.last_error(), "Table 'Mail List' only requires 1 index, but 2 were specified");
}

TEST_P(DatabaseTest, ModifyingTheBufferChangesWhatLaterReadsSee) {
  ASSERT_TRUE(db_.load_all("Mail List", DBClause{2}));
  ASSERT_TRUE(db_.bulk_load_row());
  Var changed;
  changed.set_text("Robert");
  ASSERT_TRUE(db_.bulk_modify("name", changed));
  String text;
  ASSERT_TRUE(db_.get("name", text));
  EXPECT_EQ(text, "Robert");
  // Nothing was written.
  EXPECT_EQ(value_of("name", 2).as_text(), "Bob");
}

TEST_P(DatabaseTest, WritesValuesByIdentityAndReadsThemBack) {
  struct Case {
    const char* column;
    Var value;
    const char* text;  // the value's text as read back
  };
  Var text, quote, long_text, number, integer, date, stamp, iso_date, empty;
  text.set_text("Zoë Smith");
  quote.set_text("O'Brien \"Obi\" \\ 100%");
  String long_value;
  for (int i = 0; i < 300; ++i) long_value.append_format("%d,", i);
  long_text.set_text(long_value);
  number.set_double(2.5);
  integer.set_int32(0);
  date.set_date(make_date(12, 31, 1999));
  DateTime dt;
  dt.date = make_date(7, 4, 2025);
  dt.hour = 17;
  dt.minute = 45;
  dt.second = 9;
  stamp.set_date_time(dt);
  iso_date.set_text("2024-02-29");
  Case cases[] = {
      {"name", text, "Zoë Smith"},
      {"name", quote, "O'Brien \"Obi\" \\ 100%"},
      {"name", long_text, long_value.c_str()},
      {"score", number, "2.5"},
      {"visits", integer, "0"},
      {"joined", date, "12/31/1999"},
      {"joined", iso_date, "2/29/2024"},
      {"seen", stamp, "7/4/2025"},
      {"name", empty, ""},
  };
  for (Case& c : cases) {
    ASSERT_TRUE(db_.set(c.value, table_, c.column, DBClause{2})) << db_.last_error().c_str();
    Var back = value_of(c.column, 2);
    EXPECT_EQ(back.as_text(), c.text) << c.column;
  }
  EXPECT_EQ(value_of("seen", 2).as_date_time().minute, 45);
  EXPECT_EQ(value_of("name", 2).type(), 0) << "an empty value is written as NULL";
  // The neighbours are untouched.
  EXPECT_EQ(value_of("name", 1).as_text(), "Ann");
  EXPECT_EQ(value_of("visits", 1).as_int(), 3);
}

TEST_P(DatabaseTest, AnUpdateThatTouchesNoRowIsNoError) {
  EXPECT_TRUE(db_.execute("UPDATE " + db_.quote_name("Mail List") + " SET " +
                          db_.quote_name("visits") + " = 1 WHERE " + db_.quote_name("id") +
                          " = 999"))
      << db_.last_error().c_str();
}

TEST_P(DatabaseTest, WritingToAMissingRowInsertsItOrFails) {
  Var name;
  name.set_text("Dee");
  ASSERT_TRUE(db_.set(name, table_, "name", DBClause{17})) << db_.last_error().c_str();
  EXPECT_EQ(value_of("name", 17).as_text(), "Dee");
  EXPECT_EQ(count_rows("Mail List"), 4);

  db_.set_create_missing_rows(false);
  EXPECT_FALSE(db_.set(name, table_, "name", DBClause{18}));
  EXPECT_EQ(db_.last_error(),
            "Attempt to set a value in a non-existant record for table 'Mail List'");
  EXPECT_EQ(count_rows("Mail List"), 4);
}

TEST_P(DatabaseTest, AWriteFindsItsRowByKeyEvenWhenTheFilterNoLongerHoldsIt) {
  db_.set_filter(db_.quote_name("visits") + " < 5");
  Var visits, name;
  visits.set_int32(9);
  name.set_text("Annie");
  ASSERT_TRUE(db_.set(visits, table_, "visits", DBClause{1})) << db_.last_error().c_str();
  ASSERT_TRUE(db_.set(name, table_, "name", DBClause{1})) << db_.last_error().c_str();
  db_.set_filter("");
  EXPECT_EQ(count_rows("Mail List"), 3);
  EXPECT_EQ(value_of("name", 1).as_text(), "Annie");
}

TEST_P(DatabaseTest, RefusesBadKeysAndColumns) {
  Var v;
  v.set_int32(1);
  struct Case {
    DBTable* table;
    const char* column;
    DBClause clause;
    const char* error;
  } cases[] = {
      {nullptr, "name", DBClause{1}, "Database::set(NULL table)"},
      {table_, "", DBClause{1}, "Database::set() invalid column: \"\""},
      {table_, "name", DBClause(), "Table 'Mail List' requires 1 index but 0 were specified"},
      {table_, "shoe size", DBClause{1}, "Column 'shoe size' does not exist in table 'Mail List'"},
  };
  for (Case& c : cases) {
    EXPECT_FALSE(db_.set(v, c.table, c.column, c.clause));
    EXPECT_EQ(db_.last_error(), c.error);
  }
}

// A value computed from recipients' data must never become SQL.
TEST_P(DatabaseTest, NoValueOfAnyKindCanInjectSql) {
  String drop = "DROP TABLE " + db_.quote_name("Orders");
  struct Case {
    const char* column;
    String text;
    bool stored;  // a text column keeps it verbatim; the others refuse it
  } cases[] = {
      {"name", "x'); " + drop + "; --", true},
      {"name", "x' || (SELECT 1) || '", true},
      {"visits", "1; " + drop, false},
      {"visits", "1 OR 1=1", false},
      {"score", "0); " + drop + "; --", false},
      {"score", "1e5 --", false},
      {"joined", "#1/1/2020#; " + drop, false},
      {"seen", "2020-01-01'; " + drop + "; --", false},
  };
  for (Case& c : cases) {
    Var value;
    value.set_text(c.text);
    bool written = db_.set(value, table_, c.column, DBClause{1});
    EXPECT_EQ(written, c.stored) << c.column << ": " << c.text.c_str();
    if (written) {
      EXPECT_EQ(value_of(c.column, 1).as_text(), c.text);
    } else {
      EXPECT_TRUE(db_.last_error().starts_with("The value \"")) << db_.last_error().c_str();
      EXPECT_GE(db_.last_error().find(String("for the column '") + c.column + "'"), 0);
    }
    Vector<Var> values{value};
    Vector<String> columns{c.column};
    EXPECT_EQ(db_.insert(*table_, DBClause{100}, columns, values), c.stored) << c.column;
    if (c.stored) exec("DELETE FROM " + db_.quote_name("Mail List") + " WHERE id = 100");
  }
  EXPECT_TRUE(db_.table_exists("Orders"));
  EXPECT_EQ(count_rows("Orders"), 1);
  EXPECT_EQ(count_rows("Mail List"), 3);
}

TEST_P(DatabaseTest, InsertsARowFromKeysAndValues) {
  Var email, score;
  email.set_text("eve@example.com");
  score.set_text("3.75");
  Vector<String> columns{"email", "", "score"};
  Vector<Var> values{email, Var(), score};
  ASSERT_TRUE(db_.insert(*table_, DBClause{20}, columns, values)) << db_.last_error().c_str();
  EXPECT_EQ(value_of("email", 20).as_text(), "eve@example.com");
  EXPECT_DOUBLE_EQ(value_of("score", 20).as_double(), 3.75);
}

TEST_P(DatabaseTest, ABadQueryReportsTheDriversDiagnosticAndTheSql) {
  String sql = "SELECT nothing FROM " + db_.quote_name("Nowhere");
  EXPECT_FALSE(db_.execute(sql));
  const String& error = db_.last_error();
  EXPECT_TRUE(error.starts_with("Error Code: ")) << error.c_str();
  EXPECT_TRUE(error.contains(", Native State: ")) << error.c_str();
  EXPECT_TRUE(error.contains("Nowhere")) << error.c_str();
  EXPECT_TRUE(error.ends_with("\n\n" + sql)) << error.c_str();
  int bracket = error.rfind(']');
  if (bracket >= 0 && bracket < error.length() - sql.length()) {
    EXPECT_EQ(error.char_at(bracket + 1), '\n') << error.c_str();
  }
}

TEST_P(DatabaseTest, ReportsTheLastErrorInABoxWithTheCallersTitle) {
  RecordingUi ui;
  db_.clear_error();
  db_.report_error(ui, "Database Error");
  EXPECT_EQ(ui.events.count(), 0) << "no error, no box";

  EXPECT_FALSE(db_.execute("SELECT * FROM " + db_.quote_name("Nowhere")));
  db_.report_error(ui, "Database Error");
  ASSERT_EQ(ui.count(RecordingUi::EventKind::kError), 1);
  EXPECT_EQ(ui.last_box()->caption, "Database Error");
  EXPECT_EQ(ui.last_box()->message, db_.last_error());
}

TEST_P(DatabaseTest, BreakOnErrorShowsTheErrorAndStops) {
  EXPECT_EXIT(
      {
        RecordingUi ui;
        db_.set_break_on_error(true, &ui);
        db_.execute("SELECT * FROM " + db_.quote_name("Nowhere"));
      },
      ::testing::ExitedWithCode(1), "Nowhere");
}

TEST_P(DatabaseTest, ReadsIntegersBeyond32BitsWithoutWrapping) {
  exec("CREATE TABLE IF NOT EXISTS wide (id BIGINT)");
  exec("DELETE FROM wide");
  exec("INSERT INTO wide VALUES (8589934593)");
  exec("INSERT INTO wide VALUES (-7)");
  DBTable& wide = db_.add_table_info("wide");
  wide.order_by = "id";
  Vector<String> columns{"id"};
  ASSERT_TRUE(db_.bulk_load(&wide, DBClause(), &columns)) << db_.last_error().c_str();
  Var value;
  ASSERT_TRUE(db_.bulk_load_row());
  ASSERT_TRUE(db_.bulk_get(1, value));
  EXPECT_EQ(value.type(), kTypeInt32);
  EXPECT_EQ(value.as_int(), -7);
  ASSERT_TRUE(db_.bulk_load_row());
  ASSERT_TRUE(db_.bulk_get(1, value));
  EXPECT_EQ(value.type(), kTypeDouble);
  EXPECT_EQ(value.as_double(), 8589934593.0);
}

TEST_P(DatabaseTest, ANestedStatementLeavesTheOpenLoadAsItWas) {
  table_->order_by = db_.quote_name("id");
  Vector<String> columns{"id", "name"};
  ASSERT_TRUE(db_.bulk_load(table_, DBClause(), &columns)) << db_.last_error().c_str();
  Vector<String> seen;
  while (db_.bulk_load_row()) {
    Var id, name;
    ASSERT_TRUE(db_.bulk_get(1, id));
    ASSERT_TRUE(db_.push_statement());
    name.set_text(String::formatted("N%d", id.as_int()));
    ASSERT_TRUE(db_.set(name, table_, "name", DBClause{id.as_int()})) << db_.last_error().c_str();
    ASSERT_TRUE(db_.pop_statement());
    ASSERT_TRUE(db_.bulk_modify("name", name));
    String text;
    ASSERT_TRUE(db_.get("name", text));
    seen.append(text);
  }
  EXPECT_FALSE(db_.bulk_failed()) << db_.last_error().c_str();
  ASSERT_EQ(seen.count(), 3);
  EXPECT_EQ(seen[2], "N3");
  EXPECT_EQ(value_of("name", 2).as_text(), "N2");
  EXPECT_FALSE(db_.pop_statement());
}

// --- the data-tag processor on a real row -----------------------------------

class FixedProject : public MergeProject {
 public:
  int send_mode() override { return kSendNormal; }
  String identity_column() override { return "id"; }
  bool body_from_file(bool) override { return false; }
};

class DataTagsTest : public DatabaseTest {
 protected:
  // Runs `body` for every row in identity order; the texts, one per row.
  Vector<String> personalise(const char* body) {
    Vector<String> texts;
    db_.set_order_column(*table_, "id");
    EXPECT_TRUE(db_.load_all("Mail List", DBClause())) << db_.last_error().c_str();
    while (db_.bulk_load_row()) {
      String text = body;
      if (!tags_.process_tags(false, text, &row_)) break;
      texts.append(text);
    }
    return texts;
  }

  RecordingUi ui_;
  FixedProject project_;
  TagProcessor tags_{ui_, project_};
  DatabaseRow row_{db_};
};

INSTANTIATE_TEST_SUITE_P(Sources, DataTagsTest,
                         ::testing::Values(testing::TestDataSources::kSqliteName,
                                           testing::TestDataSources::kPostgresName),
                         [](const auto& info) { return String(info.param).std_string(); });

TEST_P(DataTagsTest, ReadColumnsAndWriteThemBackWithLet) {
  Vector<String> texts = personalise(
      "[[name]] <[[{email}]]> [[if visits > 5]]loyal[[else]]new[[endif]] "
      "[[let visits = visits + 1]][[visits]] [[joined:yy-mm-dd]]");
  ASSERT_EQ(ui_.events.count(), 0) << ui_.events[0].message.c_str();
  ASSERT_EQ(texts.count(), 3);
  EXPECT_EQ(texts[0], "Ann <ann@example.com> new 4 2024-03-05");
  EXPECT_EQ(texts[1], "Bob <bob@example.com> loyal 8 1999-12-31");
  // NULL reads as empty: the date's colon part is its default.
  EXPECT_EQ(texts[2], "Cy <cy@example.com> new 1 yy-mm-dd");
  EXPECT_EQ(value_of("visits", 1).as_int(), 4);
  EXPECT_EQ(value_of("visits", 2).as_int(), 8);
  EXPECT_EQ(value_of("visits", 3).as_int(), 1);
}

TEST_P(DataTagsTest, ALetWritesDataAsDataAndRefusesWhatIsNoValueOfTheColumn) {
  String drop = "x'); DROP TABLE Orders; --";
  String body = "[[let name = \"" + drop + "\"]][[name]]";
  Vector<String> texts = personalise(body.c_str());
  ASSERT_EQ(texts.count(), 3);
  EXPECT_EQ(texts[0], drop);
  EXPECT_EQ(value_of("name", 3).as_text(), drop);

  texts = personalise("[[let visits = \"1; DROP TABLE Orders\"]]");
  EXPECT_EQ(texts.count(), 0);
  const RecordingUi::Event* box = ui_.last_box();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->caption, "Database Error");
  EXPECT_TRUE(box->message.starts_with("The value \"1; DROP TABLE Orders\" is not a valid"))
      << box->message.c_str();
  // Neither the row's buffer nor the table changed.
  Var visits;
  ASSERT_TRUE(db_.bulk_get("visits", visits));
  EXPECT_EQ(visits.as_int(), 3);
  EXPECT_EQ(value_of("visits", 1).as_int(), 3);
  EXPECT_TRUE(db_.table_exists("Orders"));
}

TEST(DatabaseFields, SplitsTableAndColumnAtTheFirstPeriod) {
  struct Case {
    const char* text;
    const char* default_table;
    bool ok;
    const char* table;
    const char* column_or_error;
  } cases[] = {
      {"Orders.item", "", true, "Orders", "item"},
      {"a.b.c", "", true, "a", "b.c"},
      {"item", "Orders", true, "Orders", "item"},
      {"item", "", false, "", "Database field 'item' has no period"},
      {"", "Orders", false, "", "Invalid database field: (\"\")"},
      {".item", "", false, "", "Database field '.item' has no table name"},
      {"Orders.", "", false, "", "Database field 'Orders.' has no column name"},
  };
  for (const Case& c : cases) {
    Database db;
    db.set_default_table(c.default_table);
    String table, column;
    EXPECT_EQ(db.parse_field(c.text, table, column), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(table, c.table);
      EXPECT_EQ(column, c.column_or_error);
    } else {
      EXPECT_EQ(db.last_error(), c.column_or_error);
    }
  }
}

TEST(DatabaseRegistryDeathTest, RegisteringATableTwiceIsFatal) {
  EXPECT_EXIT(
      {
        Database db;
        db.add_table_info("Orders");
        db.add_table_info("Orders");
      },
      ::testing::ExitedWithCode(1), "Duplicate call to Database::add_table_info\\(Orders\\)");
}

TEST(DatabaseRegistry, FindsRegisteredTablesOnly) {
  Database db;
  DBTable& orders = db.add_table_info("Orders", "orders_2024");
  EXPECT_EQ(db.find_table("Orders"), &orders);
  EXPECT_EQ(orders.alias, "orders_2024");
  EXPECT_EQ(db.find_table("Mail List"), nullptr);
  EXPECT_EQ(db.last_error(), "Invalid table: 'Mail List'");
  EXPECT_EQ(db.find_table(nullptr), nullptr);
  EXPECT_EQ(db.last_error(), "find_table(NULL)");
  db.clear_tables();
  EXPECT_EQ(db.find_table("Orders"), nullptr);
}

}  // namespace
}  // namespace tessaline
