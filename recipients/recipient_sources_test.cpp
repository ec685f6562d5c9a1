// Tests of preparing the recipient sources and taking their candidates:
// lists from files and typed text, and a SQLite table through ODBC.
#include "recipients/recipient_sources.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/recording_ui.h"
#include "storage/test_directory.h"
#include "db/database.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"
#include "recipients/test_databases.h"
#include "recipients/test_project.h"

// The ODBC drivers keep the configuration they read through unixODBC's
// libodbcinst for the life of the process; LeakSanitizer is told so, and
// only about those libraries.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libodbcinst.so\nleak:libsqlite3odbc.so\nleak:psqlodbcw.so\nleak:psqlodbca.so\n"
         "leak:libpq.so\n";
}

namespace tessaline {
namespace {

using testing::MemoryProject;

const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new testing::DataSourceEnvironment());

std::vector<std::string> all_candidates(RecipientSources& sources) {
  std::vector<std::string> candidates;
  String candidate, error;
  while (sources.next(&candidate, &error) == RecipientSources::Next::kCandidate) {
    candidates.push_back(candidate.std_string());
  }
  return candidates;
}

// The one error box shown, and the field that got the focus.
void expect_error(const RecordingUi& ui, const std::string& message, const char* field,
                  const char* caption = "Error") {
  const RecordingUi::Event* box = ui.last_box();
  ASSERT_NE(box, nullptr) << message;
  EXPECT_EQ(ui.count(RecordingUi::EventKind::kError), 1) << message;
  EXPECT_EQ(box->kind, RecordingUi::EventKind::kError);
  EXPECT_EQ(box->message.std_string(), message);
  EXPECT_EQ(box->caption.std_string(), caption);
  const RecordingUi::Event* focus = ui.last(RecordingUi::EventKind::kFocus);
  if (field) {
    ASSERT_NE(focus, nullptr) << message;
    EXPECT_EQ(focus->field.std_string(), field);
  } else {
    EXPECT_EQ(focus, nullptr) << message;
  }
}

// --- lists ---------------------------------------------------------------------

class ListSources : public ::testing::Test {
 protected:
  TestDirectory dir_;
  MemoryProject project_;
  RecordingUi ui_;
};

TEST_F(ListSources, TheFileAndTheTypedListMakeOneListOfLines) {
  ASSERT_TRUE(dir_.put("list.txt", "ann@example.com\r\n\r\nbob@example.com \t\r\n\r\n"));
  project_.check(kFieldUseRecipientFile).set(kFieldRecipientFile, dir_ / "list.txt");
  project_.check(kFieldUseRecipientText).set(kFieldRecipientText, "cy@example.com\rdi@example.com");
  RecipientSources sources(project_, ui_, nullptr);
  ASSERT_TRUE(sources.prepare());
  EXPECT_EQ(all_candidates(sources),
            (std::vector<std::string>{"ann@example.com", "", "bob@example.com", "cy@example.com",
                                      "di@example.com"}));
  EXPECT_EQ(ui_.events.count(), 0);
}

TEST_F(ListSources, ExclusionsComeFromTheirFileAndTheirTypedList) {
  ASSERT_TRUE(dir_.put("out.txt", "Gone <gone@example.com>\n"));
  project_.check(kFieldUseRecipientText).set(kFieldRecipientText, "a@example.com");
  project_.check(kFieldUseExclusionFile).set(kFieldExclusionFile, dir_ / "out.txt");
  project_.check(kFieldUseExclusionText).set(kFieldExclusionText, "left@example.com");
  RecipientSources sources(project_, ui_, nullptr);
  ASSERT_TRUE(sources.prepare());
  EXPECT_EQ(sources.addresses().find("gone@example.com"), AddressTable::Entry::kExcluded);
  EXPECT_EQ(sources.addresses().find("left@example.com"), AddressTable::Entry::kExcluded);
  EXPECT_EQ(sources.addresses().count(), 2);
}

TEST_F(ListSources, AByteOrderMarkAtTheStartOfAListFileIsNotPartOfItsFirstAddress) {
  ASSERT_TRUE(dir_.put("list.txt", "\xEF\xBB\xBF" "ann@example.com\r\nbob@example.com\r\n"));
  ASSERT_TRUE(dir_.put("out.txt", "\xEF\xBB\xBF" "bob@example.com\r\n"));
  project_.check(kFieldUseRecipientFile).set(kFieldRecipientFile, dir_ / "list.txt");
  project_.check(kFieldUseExclusionFile).set(kFieldExclusionFile, dir_ / "out.txt");
  RecipientSources sources(project_, ui_, nullptr);
  ASSERT_TRUE(sources.prepare());
  EXPECT_EQ(sources.addresses().find("bob@example.com"), AddressTable::Entry::kExcluded);
  EXPECT_EQ(all_candidates(sources),
            (std::vector<std::string>{"ann@example.com", "bob@example.com"}));
}

TEST_F(ListSources, ProblemsAreShownWithTheirField) {
  struct Case {
    const char* name;
    void (*setup)(MemoryProject&, const TestDirectory&);
    std::string message;
    const char* field;
  } cases[] = {
      {"missing recipient file",
       [](MemoryProject& p, const TestDirectory& d) {
         p.check(kFieldUseRecipientFile).set(kFieldRecipientFile, d / "none.txt");
       },
       "Unable to open recipient file:\n", kFieldRecipientFile},
      {"missing exclusion file",
       [](MemoryProject& p, const TestDirectory& d) {
         p.check(kFieldUseRecipientText).set(kFieldRecipientText, "a@example.com");
         p.check(kFieldUseExclusionFile).set(kFieldExclusionFile, d / "none.txt");
       },
       "Unable to open exclusion file:\n", kFieldExclusionFile},
  };
  for (const Case& c : cases) {
    MemoryProject project;
    RecordingUi ui;
    c.setup(project, dir_);
    RecipientSources sources(project, ui, nullptr);
    EXPECT_FALSE(sources.prepare()) << c.name;
    expect_error(ui, c.message + (dir_ / "none.txt").std_string(), c.field);
  }
}

TEST_F(ListSources, NoRecipientsShowsTheRecipientsFolder) {
  // Neither source chosen, and a chosen file that is empty.
  ASSERT_TRUE(dir_.put("empty.txt", ""));
  MemoryProject chosen_empty;
  chosen_empty.check(kFieldUseRecipientFile).set(kFieldRecipientFile, dir_ / "empty.txt");
  chosen_empty.check(kFieldUseRecipientText);
  for (MemoryProject* project : {&project_, &chosen_empty}) {
    RecordingUi ui;
    RecipientSources sources(*project, ui, nullptr);
    EXPECT_FALSE(sources.prepare());
    expect_error(ui, "No recipients have been specified.", nullptr);
    EXPECT_EQ(project->folders_shown, std::vector<std::string>{"Recipients"});
  }
}

// --- a recipient file with columns -------------------------------------------------

class ColumnSources : public ListSources {
 protected:
  void use_file(const char* contents, const char* column = "Email") {
    ASSERT_TRUE(dir_.put("people.csv", contents));
    project_.check(kFieldUseRecipientFile)
        .set(kFieldRecipientFile, dir_ / "people.csv")
        .set(kFieldRecipientFileFormat, "2")
        .set(kFieldRecipientFileColumn, column);
  }

  // Each candidate as "candidate" or "candidate FAULT: reason", with the
  // columns the data tags read from its row.
  std::vector<std::string> take_all(RecipientSources& sources,
                                    const std::vector<std::string>& columns) {
    std::vector<std::string> taken;
    String candidate, error;
    for (;;) {
      RecipientSources::Next next = sources.next(&candidate, &error);
      if (next == RecipientSources::Next::kEnd) break;
      std::string s = candidate.std_string();
      if (next == RecipientSources::Next::kFaultyRow) {
        s += " FAULT: " + error.std_string();
      } else if (next != RecipientSources::Next::kCandidate) {
        taken.push_back("ERROR: " + error.std_string());
        break;
      }
      MergeRow* row = sources.file_row();
      EXPECT_NE(row, nullptr);
      for (const std::string& column : columns) {
        Var value;
        s += " | " + column + "=";
        s += row && row->read_column(String(column), value) ? value.as_text().std_string()
                                                            : "<none>";
      }
      taken.push_back(s);
    }
    return taken;
  }
};

TEST_F(ColumnSources, TheAddressColumnIsTheCandidateAndEveryColumnCanBeRead) {
  use_file("\xEF\xBB\xBF" "Email,First,City\r\n"
           "Ann Archer <ann@example.com>,Ann,\"Leeds, West Yorkshire\"\r\n"
           "\r\n"
           "bob@example.com,\"Bob \"\"B\"\"\",York\r\n"
           "cy@example.com,Cy\r\n"
           "di@example.com,Di,Hull,,\r\n"
           "ed@example.com,Ed,Bath,extra\r\n"
           ",,\r\n");
  project_.check(kFieldUseRecipientText).set(kFieldRecipientText, "typed@example.com");
  RecipientSources sources(project_, ui_, nullptr);
  ASSERT_TRUE(sources.prepare()) << (ui_.last_box() ? ui_.last_box()->message.c_str() : "");
  EXPECT_EQ(take_all(sources, {"First", "City", "Nosuch"}),
            (std::vector<std::string>{
                "Ann Archer <ann@example.com> | First=Ann | City=Leeds, West Yorkshire | "
                "Nosuch=<none>",
                "bob@example.com | First=Bob \"B\" | City=York | Nosuch=<none>",
                "cy@example.com FAULT: SHORT ROW (line 5 has 2 of the header's 3 fields) | "
                "First=Cy | City= | Nosuch=<none>",
                // empty fields past the header are a trailing delimiter, not a fault
                "di@example.com | First=Di | City=Hull | Nosuch=<none>",
                "ed@example.com FAULT: LONG ROW (line 7 has 4 fields, the header 3) | First=Ed | "
                "City=Bath | Nosuch=<none>",
                // a row of empty fields is an empty candidate, as a blank line is
                " | First= | City= | Nosuch=<none>",
                // the typed list follows the file's rows; it has no columns of its own
                "typed@example.com | First= | City= | Nosuch=<none>",
            }));
  EXPECT_EQ(ui_.events.count(), 0);
  ASSERT_NE(sources.file_row(), nullptr);
  EXPECT_TRUE(sources.file_row()->has_column("City"));
  EXPECT_FALSE(sources.file_row()->has_column("city"));
  EXPECT_FALSE(sources.file_row()->writable());
}

TEST_F(ColumnSources, TheDelimiterCanBeChosen) {
  // Detection would take the commas of the names for the delimiter.
  use_file("Email;Name, in full\nann@example.com;Archer, Ann\n");
  project_.set(kFieldRecipientFileDelimiter, "2");
  RecipientSources sources(project_, ui_, nullptr);
  ASSERT_TRUE(sources.prepare());
  EXPECT_EQ(take_all(sources, {"Name, in full"}),
            (std::vector<std::string>{"ann@example.com | Name, in full=Archer, Ann"}));
}

TEST_F(ColumnSources, ProblemsStopTheSendBeforeAnythingIsTaken) {
  struct Case {
    const char* name;
    const char* contents;
    const char* column;
    std::string message;  // {file} stands for the file's path
    const char* field;
  } cases[] = {
      {"no address column", "Email,First\n", " ",
       "You must enter the address column of the recipient file.", kFieldRecipientFileColumn},
      {"a column the header lacks", "email,First,,City\na@example.com,A,,B\n", "Email",
       "The address column 'Email' is not in the header row of the recipient file:\n{file}\n\n"
       "Its columns are: email, First, City",
       kFieldRecipientFileColumn},
      {"an empty file", "", "Email",
       "The recipient file is empty: it has no header row that names its columns.\n{file}",
       kFieldRecipientFile},
      {"a quote never closed, far down",
       "Email,First\na@example.com,A\nb@example.com,\"B\nc@example.com,C\n", "Email",
       "The recipient file ends inside the quoted field that begins on line 3.  A closing "
       "quote is missing.\n{file}",
       kFieldRecipientFile},
      {"a header and no rows", "Email,First\n", "Email", "No recipients have been specified.",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(dir_.put("people.csv", c.contents));
    MemoryProject project;
    project.check(kFieldUseRecipientFile)
        .set(kFieldRecipientFile, dir_ / "people.csv")
        .set(kFieldRecipientFileFormat, "2")
        .set(kFieldRecipientFileColumn, c.column);
    RecordingUi ui;
    RecipientSources sources(project, ui, nullptr);
    EXPECT_FALSE(sources.prepare());
    std::string message = c.message;
    size_t at = message.find("{file}");
    if (at != std::string::npos) message.replace(at, 6, (dir_ / "people.csv").std_string());
    expect_error(ui, message, c.field);
  }
}

// The file is read a second time, in pieces, as the candidates are taken;
// when it is cut short in between (a new export over the old one), the
// candidates end with the reason.
TEST_F(ColumnSources, AFileCutShortWhileTheCandidatesAreTakenIsAFileError) {
  std::string rows = "Email\n";
  while (rows.size() < 200 * 1024) rows += "r" + std::to_string(rows.size()) + "@example.com\n";
  use_file(rows.c_str());
  RecipientSources sources(project_, ui_, nullptr);
  ASSERT_TRUE(sources.prepare());
  ASSERT_TRUE(dir_.put("people.csv", String(rows.substr(0, 100 * 1024))));
  String candidate, error;
  RecipientSources::Next next;
  int taken = 0;
  while ((next = sources.next(&candidate, &error)) == RecipientSources::Next::kCandidate) ++taken;
  EXPECT_EQ(next, RecipientSources::Next::kFileError);
  EXPECT_GT(taken, 0);
  EXPECT_EQ(error, "The recipient file could not be read: Read past end of file\n" +
                       (dir_ / "people.csv"));
  EXPECT_EQ(sources.next(&candidate, &error), RecipientSources::Next::kEnd);
}

TEST_F(ColumnSources, AMissingFileIsNamed) {
  project_.check(kFieldUseRecipientFile)
      .set(kFieldRecipientFile, dir_ / "none.csv")
      .set(kFieldRecipientFileFormat, "2")
      .set(kFieldRecipientFileColumn, "Email");
  RecipientSources sources(project_, ui_, nullptr);
  EXPECT_FALSE(sources.prepare());
  expect_error(ui_, "Unable to open recipient file:\n" + (dir_ / "none.csv").std_string(),
               kFieldRecipientFile);
}

TEST_F(ColumnSources, AnAddressPerLineStaysTheDefault) {
  // Without the format, a CSV line is one candidate, as it always was.
  ASSERT_TRUE(dir_.put("people.csv", "Email,First\nann@example.com,Ann\n"));
  project_.check(kFieldUseRecipientFile).set(kFieldRecipientFile, dir_ / "people.csv");
  RecipientSources sources(project_, ui_, nullptr);
  ASSERT_TRUE(sources.prepare());
  EXPECT_EQ(sources.file_row(), nullptr);
  EXPECT_EQ(all_candidates(sources),
            (std::vector<std::string>{"Email,First", "ann@example.com,Ann"}));
}

// --- a SQLite table --------------------------------------------------------------

class DatabaseSources : public ::testing::Test {
 protected:
  void SetUp() override {
    Database& db = database();
    if (!db.is_open() || db.data_source_name() != testing::TestDataSources::kSqliteName) {
      ASSERT_TRUE(db.open(testing::TestDataSources::kSqliteName)) << db.last_error().c_str();
    }
    exec("DROP TABLE IF EXISTS [Mail List]");
    exec("CREATE TABLE [Mail List] (id INTEGER PRIMARY KEY, email VARCHAR(200), "
         "[Last Name] VARCHAR(100), visits INTEGER)");
    const char* rows[] = {
        "(1, 'ann@example.com', 'Ames', 3)",
        "(2, 'bob@example.com', 'O''Brien', 7)",
        "(3, '!cy@example.com', 'Cole', 5)",
        "(4, 'di@example.com', 'Dunn', 1)",
        "(5, NULL, 'Nobody', 9)",
    };
    for (const char* row : rows) exec(String("INSERT INTO [Mail List] VALUES ") + row);
    project_.check(kFieldUseDatabase)
        .set(kFieldDbName, testing::TestDataSources::kSqliteName)
        .set(kFieldTableName, "Mail List")
        .set(kFieldRecipientColumn, "email")
        .set(kFieldIdentityColumn, "id")
        .set(kFieldOrderBy, "visits");
  }
  void exec(const String& sql) {
    ASSERT_TRUE(database().execute(sql)) << database().last_error().c_str();
  }

  MemoryProject project_;
  RecordingUi ui_;
};

TEST_F(DatabaseSources, TheQueryFollowsTheClausesTheWhereTextAndTheOrder) {
  project_.clauses = {{"visits", 4, "3", false},
                      {"Last Name", 2, "O'Brien", false},
                      {"email", 1, "nobody", true}};
  project_.set(kFieldWhere, "id <> 4");
  RecipientSources sources(project_, ui_, &database());
  ASSERT_TRUE(sources.prepare()) << (ui_.last_box() ? ui_.last_box()->message.c_str() : "");
  EXPECT_TRUE(sources.from_database());
  // Rows 1, 3 and 5 are left, ordered by visits; the NULL address reads as
  // an empty candidate.
  EXPECT_EQ(all_candidates(sources),
            (std::vector<std::string>{"ann@example.com", "!cy@example.com", ""}));
  EXPECT_EQ(ui_.events.count(), 0);
}

TEST_F(DatabaseSources, AnOrInTheWhereTextDoesNotReachPastTheClauses) {
  project_.clauses = {{"visits", 4, "3", false}};
  project_.set(kFieldWhere, "id = 1 OR id = 4 -- row 4 has only 1 visit");
  RecipientSources sources(project_, ui_, &database());
  ASSERT_TRUE(sources.prepare()) << (ui_.last_box() ? ui_.last_box()->message.c_str() : "");
  EXPECT_EQ(all_candidates(sources), (std::vector<std::string>{"ann@example.com"}));
}

TEST_F(DatabaseSources, ListsAreNotReadButExclusionsAre) {
  project_.check(kFieldUseRecipientFile).set(kFieldRecipientFile, "/nonexistent/list.txt");
  project_.check(kFieldUseExclusionText).set(kFieldExclusionText, "bob@example.com");
  RecipientSources sources(project_, ui_, &database());
  ASSERT_TRUE(sources.prepare());
  EXPECT_EQ(sources.addresses().find("bob@example.com"), AddressTable::Entry::kExcluded);
  EXPECT_EQ(all_candidates(sources).size(), 5u);
}

TEST_F(DatabaseSources, ChecksNameTheColumnAndTheTable) {
  struct Case {
    const char* key;
    const char* value;
    std::string message;
  } cases[] = {
      {kFieldTableName, "Nowhere", "The table 'Nowhere' does not exist."},
      {kFieldOrderBy, "age", "The order column 'age' does not belong to table 'Mail List'."},
      {kFieldRecipientColumn, "mail",
       "The recipient column 'mail' does not belong to table 'Mail List'."},
      {kFieldIdentityColumn, "key",
       "The identity column 'key' does not belong to table 'Mail List'."},
  };
  for (const Case& c : cases) {
    MemoryProject project = project_;
    project.set(c.key, c.value);
    RecordingUi ui;
    RecipientSources sources(project, ui, &database());
    EXPECT_FALSE(sources.prepare()) << c.message;
    expect_error(ui, c.message, c.key);
  }
}

TEST_F(DatabaseSources, ABlankOrderColumnOrIdentityColumnIsNotChecked) {
  project_.set(kFieldOrderBy, "  ").set(kFieldIdentityColumn, "");
  RecipientSources sources(project_, ui_, &database());
  ASSERT_TRUE(sources.prepare());
  EXPECT_EQ(all_candidates(sources).size(), 5u);
}

TEST_F(DatabaseSources, ABadClauseStopsBeforeTheQuery) {
  project_.clauses = {{"visits", 1, "2", false}, {"age", 1, "2", false}};
  RecipientSources sources(project_, ui_, &database());
  EXPECT_FALSE(sources.prepare());
  expect_error(ui_, "The clause on row 2 contains an invalid column: \"age\".", nullptr);
  ASSERT_EQ(project_.cells_focused.size(), 1u);
  EXPECT_EQ(project_.cells_focused[0].row, 1);
  EXPECT_EQ(project_.cells_focused[0].cell, kClauseColumn);
}

TEST_F(DatabaseSources, DatabaseErrorsAreShownInTheirOwnBox) {
  // A data source that does not exist, and custom WHERE text the data
  // source cannot run.
  MemoryProject unknown = project_;
  unknown.set(kFieldDbName, "no_such_source");
  RecordingUi ui1;
  RecipientSources s1(unknown, ui1, &database());
  EXPECT_FALSE(s1.prepare());
  ASSERT_NE(ui1.last_box(), nullptr);
  EXPECT_EQ(ui1.last_box()->caption.std_string(), "Database Error");
  EXPECT_TRUE(ui1.last_box()->message.ends_with("Unable to open data source 'no_such_source'"))
      << ui1.last_box()->message.c_str();

  MemoryProject bad_where = project_;
  bad_where.set(kFieldWhere, "visits >>> 2");
  RecordingUi ui2;
  RecipientSources s2(bad_where, ui2, &database());
  EXPECT_FALSE(s2.prepare());
  ASSERT_NE(ui2.last_box(), nullptr);
  EXPECT_EQ(ui2.last_box()->caption.std_string(), "Database Error");
}

TEST_F(DatabaseSources, WithoutTheDriverManagerTheDatabaseCannotBeUsed) {
  RecipientSources sources(project_, ui_, nullptr);
  EXPECT_FALSE(sources.prepare());
  expect_error(ui_,
               "The database 'tessaline_sqlite' cannot be used: the ODBC driver manager "
               "(libodbc.so.2) could not be loaded.",
               kFieldUseDatabase, "Database Error");
}

}  // namespace
}  // namespace tessaline
