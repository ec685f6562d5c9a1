// Tests of removing recipients: the address checks, the text rule, files
// and typed lists, and database tables on SQLite and PostgreSQL.
#include "recipients/remove_recipients.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "core/recording_ui.h"
#include "core/var.h"
#include "storage/test_directory.h"
#include "db/database.h"
#include "recipients/test_databases.h"
#include "recipients/test_project.h"

namespace tessaline {
namespace {

using Kind = RecordingUi::EventKind;
using Outcome = RemoveResult::Outcome;
using Refusal = RemoveResult::Refusal;
using testing::MemoryProject;

RemoveSources only(std::initializer_list<RemoveSource> chosen) {
  RemoveSources sources{};
  for (RemoveSource source : chosen) sources[source] = true;
  return sources;
}

// --- the address text --------------------------------------------------------------

TEST(RemoveAddressesTest, TheTextIsCheckedBeforeAnythingIsTouched) {
  const char kShort[] =
      "Because of the potential for catastrophic consequences, the email address must be at "
      "least 6 characters long.";
  struct Case {
    const char* text;
    Refusal refusal;
    Kind shown;  // kBeep or kError
    const char* message;
  };
  const Case cases[] = {
      {"", Refusal::kEmpty, Kind::kBeep, nullptr},
      {" \t\r\n \n", Refusal::kEmpty, Kind::kBeep, nullptr},
      {"a@b.c", Refusal::kTooShort, Kind::kError, kShort},
      {"  a@b.c \r\n", Refusal::kTooShort, Kind::kError, kShort},
      // Long enough as a whole, but no line is.
      {"ab@cd\nef@gh", Refusal::kNoLongAddress, Kind::kBeep, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TestDirectory dir;
    ASSERT_TRUE(dir.put("list.txt", "a@b.c\nab@cd\n"));
    MemoryProject project;
    project.set(kFieldRecipientFile, dir / "list.txt").set(kFieldRecipientText, "a@b.c");
    RecordingUi ui;
    RemoveResult result =
        remove_recipients(project, ui, nullptr, c.text,
                          only({kRemoveFromRecipientFile, kRemoveFromRecipientList}), false);
    EXPECT_EQ(result.outcome, Outcome::kRefused);
    EXPECT_EQ(result.refusal, c.refusal);
    EXPECT_EQ(result.report, "");
    ASSERT_EQ(ui.count(c.shown), 1);
    if (c.message) {
      EXPECT_EQ(ui.last(Kind::kError)->message, c.message);
    }
    EXPECT_EQ(ui.busy_depth, 0);
    EXPECT_EQ(dir.get("list.txt"), "a@b.c\nab@cd\n");
    EXPECT_EQ(project.text(kFieldRecipientText), "a@b.c");
  }

  // The database chosen without an identity column: refused whatever the text.
  MemoryProject project;
  project.set(kFieldDbName, "somewhere");
  RecordingUi ui;
  RemoveResult result = remove_recipients(project, ui, nullptr, "ann@example.com",
                                          only({kRemoveFromDatabase}), true);
  EXPECT_EQ(result.refusal, Refusal::kNoIdentityColumn);
  ASSERT_NE(ui.last(Kind::kError), nullptr);
  EXPECT_EQ(ui.last(Kind::kError)->message,
            "You must specify an Identity Column for the database table before you can perform "
            "this operation on the database.");
  EXPECT_EQ(ui.last(Kind::kError)->caption, "Error");
}

TEST(RemoveAddressesTest, LinesAreSplitTrimmedAndShortOnesDropped) {
  Vector<String> addresses =
      addresses_to_remove("ab\r\n  ann@example.com\t\r\rx@y.z\n\rbob@example.com  \ncy@ex.co");
  ASSERT_EQ(addresses.count(), 3);
  EXPECT_EQ(addresses[0], "ann@example.com");
  EXPECT_EQ(addresses[1], "bob@example.com");
  EXPECT_EQ(addresses[2], "cy@ex.co");
}

// --- the text rule ---------------------------------------------------------------------

TEST(RemoveLinesTest, TheReportAndTheTextByteForByte) {
  struct Case {
    const char* name;
    const char* text;
    bool preview;
    const char* report;
    const char* left;  // the text afterwards
  };
  const Case cases[] = {
      {"lines 3 and 5 keep their numbers",
       "a1@example.com\nb2@example.com\nann@example.com\nc3@example.com\nAnn <ann@example.com> \t\r\n",
       false,
       "Removed recipient on line 3: ann@example.com\n"
       "Removed recipient on line 5: Ann <ann@example.com>\n\n",
       "a1@example.com\nb2@example.com\nc3@example.com\n"},
      {"a preview finds the same lines", "x@example.org\r\nann@example.com\r\n", true,
       "Found recipient on line 2: ann@example.com\n\n", "x@example.org\r\n"},
      {"other letter case does not match", "ANN@EXAMPLE.COM\nAnn@Example.com\n", false,
       "No changes.\n\n", "ANN@EXAMPLE.COM\nAnn@Example.com\n"},
      {"nothing found in a preview", "bob@example.com\n", true, "No occurrences.\n\n",
       "bob@example.com\n"},
      {"a longer address holding the given one matches",
       "ann@example.com.au\njoann@example.com\nann@example.co\n", false,
       "Removed recipient on line 1: ann@example.com.au\n"
       "Removed recipient on line 2: joann@example.com\n\n",
       "ann@example.co\n"},
      {"no final line ending, the last line stays",
       "x@example.org\r\nann@example.com\r\nlast@example.org", false,
       "Removed recipient on line 2: ann@example.com\n\n", "x@example.org\r\nlast@example.org"},
      {"no final line ending, the last line goes", "x@example.org\rann@example.com", false,
       "Removed recipient on line 2: ann@example.com\n\n", "x@example.org\r"},
      {"every ending is one ending, LF CR included",
       "a@example.org\n\rann@example.com\r\n\nb@example.org\r", false,
       "Removed recipient on line 2: ann@example.com\n\n", "a@example.org\n\r\nb@example.org\r"},
      {"an empty text", "", false, "No changes.\n\n", ""},
  };
  Vector<String> addresses{"ann@example.com"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    String text = c.text;
    String report = "HEADING\n\n";
    bool removed = remove_matching_lines(text, addresses, c.preview, report);
    EXPECT_EQ(report, String("HEADING\n\n") + c.report);
    EXPECT_EQ(text, c.left);
    EXPECT_EQ(removed, String(c.left) != String(c.text));
  }
}

TEST(RemoveLinesTest, ALongLineIsExaminedWhole) {
  String line(std::string(3000, 'x'));
  String text = "keep@example.org\n" + line + "ann@example.com" + line + "\n";
  String report;
  EXPECT_TRUE(remove_matching_lines(text, Vector<String>{"ann@example.com"}, false, report));
  EXPECT_EQ(text, "keep@example.org\n");
  EXPECT_TRUE(report.starts_with("Removed recipient on line 2: xxx"));
}

// --- files and typed lists -------------------------------------------------------------

class RemoveFromListsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.put("recipients.txt", kRecipients));
    ASSERT_TRUE(dir_.put("exclusions.txt", kExclusions));
    project_.check(kFieldUseRecipientFile)
        .set(kFieldRecipientFile, dir_ / "recipients.txt")
        .check(kFieldUseRecipientText)
        .set(kFieldRecipientText, "typed@example.com\nann@example.com")
        .check(kFieldUseExclusionFile)
        .set(kFieldExclusionFile, dir_ / "exclusions.txt")
        .check(kFieldUseExclusionText)
        .set(kFieldExclusionText, "nobody@example.com\n");
  }

  static constexpr char kRecipients[] =
      "\xEF\xBB\xBF" "ann@example.com\r\nbob@example.com\r\nBob <bob@example.com>\r\n"
      "ANN@EXAMPLE.COM\r\ncy@example.com";
  static constexpr char kExclusions[] = "old@example.com\nann@example.com.au\n";

  String report_of(bool preview) {
    return "RECIPIENT FILE: " + (dir_ / "recipients.txt") + "\n\n" +
           (preview ? "Found" : "Removed") + " recipient on line 1: ann@example.com\n" +
           (preview ? "Found" : "Removed") + " recipient on line 3: Bob <bob@example.com>\n" +
           "\n\n"
           "EXPLICIT RECIPIENTS:\n\n" +
           (preview ? "Found" : "Removed") + " recipient on line 2: ann@example.com\n" +
           "\n\n"
           "EXCLUSION FILE: " + (dir_ / "exclusions.txt") + "\n\n" +
           (preview ? "Found" : "Removed") + " recipient on line 2: ann@example.com.au\n" +
           "\n\n"
           "EXPLICIT EXCLUSIONS:\n\n" +
           (preview ? "No occurrences." : "No changes.");
  }

  TestDirectory dir_;
  MemoryProject project_;
  RecordingUi ui_;
};

TEST_F(RemoveFromListsTest, APreviewReportsAndChangesNothing) {
  RemoveResult result = remove_recipients(
      project_, ui_, nullptr, "  ann@example.com\nab\nBob <bob@\n", initially_checked_sources(project_), true);
  ASSERT_EQ(result.outcome, Outcome::kReported);
  EXPECT_EQ(result.report, report_of(true));
  EXPECT_FALSE(result.source_failed);
  EXPECT_FALSE(result.lists_changed);
  EXPECT_EQ(dir_.get("recipients.txt"), kRecipients);
  EXPECT_EQ(dir_.get("exclusions.txt"), kExclusions);
  EXPECT_EQ(project_.text(kFieldRecipientText), "typed@example.com\nann@example.com");
  EXPECT_EQ(project_.text(kFieldExclusionText), "nobody@example.com\n");
  EXPECT_EQ(ui_.count(Kind::kBusyBegin), 1);
  EXPECT_EQ(ui_.busy_depth, 0);
  EXPECT_EQ(ui_.last_box(), nullptr);
}

TEST_F(RemoveFromListsTest, ARunRemovesTheLinesAndKeepsEveryOtherByte) {
  RemoveResult result = remove_recipients(
      project_, ui_, nullptr, "ann@example.com\r\nBob <bob@", initially_checked_sources(project_), false);
  ASSERT_EQ(result.outcome, Outcome::kReported);
  EXPECT_EQ(result.report, report_of(false));
  EXPECT_FALSE(result.source_failed);
  EXPECT_TRUE(result.lists_changed);
  // The mark stays at the start; the last line has no line ending still.
  EXPECT_EQ(dir_.get("recipients.txt"),
            "\xEF\xBB\xBF" "bob@example.com\r\nANN@EXAMPLE.COM\r\ncy@example.com");
  EXPECT_EQ(dir_.get("exclusions.txt"), "old@example.com\n");
  EXPECT_EQ(project_.text(kFieldRecipientText), "typed@example.com\n");
  EXPECT_EQ(project_.text(kFieldExclusionText), "nobody@example.com\n");

  // A second run finds nothing more.
  RemoveResult again = remove_recipients(project_, ui_, nullptr, "ann@example.com",
                                         only({kRemoveFromRecipientFile}), false);
  EXPECT_EQ(again.report, "RECIPIENT FILE: " + (dir_ / "recipients.txt") + "\n\nNo changes.");
  EXPECT_FALSE(again.lists_changed);
}

TEST_F(RemoveFromListsTest, NoBoxCheckedSaysWhatToDo) {
  RemoveResult result =
      remove_recipients(project_, ui_, nullptr, "ann@example.com", RemoveSources{}, false);
  ASSERT_EQ(result.outcome, Outcome::kReported);
  EXPECT_EQ(result.report,
            "You have not specified any recipients!\n\nYou must check \"Use database\", \"Use "
            "recipient file\", or \"Use recipient text\".");
  EXPECT_EQ(dir_.get("recipients.txt"), kRecipients);
}

// Marks a file immutable while it lives, so that not even root can replace
// it; false when the file system or the process cannot do that.
class ImmutableFile {
 public:
  explicit ImmutableFile(const String& path) : fd_(open(path.c_str(), O_RDONLY)) {
    int flags = 0;
    if (fd_ >= 0 && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      set_ = ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~ImmutableFile() {
    int flags = 0;
    if (set_ && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    if (fd_ >= 0) close(fd_);
  }
  ImmutableFile(const ImmutableFile&) = delete;
  ImmutableFile& operator=(const ImmutableFile&) = delete;
  bool set() const { return set_; }

 private:
  int fd_;
  bool set_ = false;
};

TEST_F(RemoveFromListsTest, FilesThatCannotBeReadOrWrittenAreReportedAndTheRunGoesOn) {
  project_.set(kFieldRecipientFile, dir_ / "missing.txt");
  ImmutableFile locked(dir_ / "exclusions.txt");
  if (!locked.set()) GTEST_SKIP() << "this file system cannot make a file immutable";
  RemoveResult result = remove_recipients(project_, ui_, nullptr, "ann@example.com",
                                          initially_checked_sources(project_), false);
  ASSERT_EQ(result.outcome, Outcome::kReported);
  EXPECT_EQ(result.report, "RECIPIENT FILE: " + (dir_ / "missing.txt") +
                               "\n\nERROR: Failed to open file.\n\n\n"
                               "EXPLICIT RECIPIENTS:\n\n"
                               "Removed recipient on line 2: ann@example.com\n\n\n"
                               "EXCLUSION FILE: " + (dir_ / "exclusions.txt") + "\n\n"
                               "Removed recipient on line 2: ann@example.com.au\n\n"
                               "ERROR: Failed to save file.\n\n\n"
                               "EXPLICIT EXCLUSIONS:\n\nNo changes.");
  EXPECT_TRUE(result.source_failed);
  EXPECT_EQ(dir_.get("exclusions.txt"), kExclusions);
  EXPECT_EQ(project_.text(kFieldRecipientText), "typed@example.com\n");
  // No temporary file is left beside it.
  std::string entries;
  DIR* folder = opendir(dir_.path().c_str());
  ASSERT_NE(folder, nullptr);
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') entries += std::string(entry->d_name) + " ";
  }
  closedir(folder);
  EXPECT_TRUE(entries == "recipients.txt exclusions.txt " || entries == "exclusions.txt recipients.txt ")
      << entries;
}

// --- a recipient file with columns ----------------------------------------------

TEST(RemoveFromColumnsTest, RowsGoByTheirAddressColumnAndTheRestKeepsItsBytes) {
  // A referrer column that names the address belongs to somebody else; a
  // quoted note may hold a line break; the header never goes.
  const char kCsv[] =
      "\xEF\xBB\xBF" "name;email;referrer\r\n"
      "Ann;ann@example.com;\r\n"
      "Cy;cy@example.com;ann@example.com\r\n"
      "\"Bob\r\nJr\";\"Bob <ann@example.com.au>\";\r\n"
      "\r\n"
      "Di;di@example.com;";
  TestDirectory dir;
  ASSERT_TRUE(dir.put("people.csv", kCsv));
  MemoryProject project;
  project.check(kFieldUseRecipientFile)
      .set(kFieldRecipientFile, dir / "people.csv")
      .set(kFieldRecipientFileFormat, "2")
      .set(kFieldRecipientFileColumn, "email")
      .set(kFieldRecipientFileDelimiter, "0");
  RecordingUi ui;

  for (bool preview : {true, false}) {
    SCOPED_TRACE(preview ? "preview" : "run");
    const char* verb = preview ? "Found" : "Removed";
    RemoveResult result = remove_recipients(project, ui, nullptr, "ann@example.com",
                                            only({kRemoveFromRecipientFile}), preview);
    ASSERT_EQ(result.outcome, Outcome::kReported);
    EXPECT_FALSE(result.source_failed);
    EXPECT_EQ(result.report, "RECIPIENT FILE: " + (dir / "people.csv") + "\n\n" + verb +
                                 " recipient on line 2: ann@example.com\n" + verb +
                                 " recipient on line 4: Bob <ann@example.com.au>");
    EXPECT_EQ(dir.get("people.csv"),
              preview ? String(kCsv)
                      : String("\xEF\xBB\xBF" "name;email;referrer\r\n"
                               "Cy;cy@example.com;ann@example.com\r\n"
                               "\r\n"
                               "Di;di@example.com;"));
  }
  // The last row, which has no line break, can go too.
  RemoveResult last = remove_recipients(project, ui, nullptr, "di@example.com",
                                        only({kRemoveFromRecipientFile}), false);
  EXPECT_EQ(last.report, "RECIPIENT FILE: " + (dir / "people.csv") +
                             "\n\nRemoved recipient on line 4: di@example.com");
  EXPECT_EQ(dir.get("people.csv"), "\xEF\xBB\xBF" "name;email;referrer\r\n"
                                   "Cy;cy@example.com;ann@example.com\r\n\r\n");
}

TEST(RemoveFromColumnsTest, AFileTheSendCannotReadIsReportedAndLeftAlone) {
  struct Case {
    const char* name;
    const char* csv;
    const char* column;
    String error;  // after "ERROR: "
  };
  TestDirectory dir;
  const String path = dir / "people.csv";
  const Case cases[] = {
      {"no address column named", "email\nann@example.com\n", " ",
       "You must enter the address column of the recipient file."},
      {"the column is not in the header", "name,mail\nAnn,ann@example.com\n", "email",
       "The address column 'email' is not in the header row of the recipient file:\n" + path +
           "\n\nIts columns are: name, mail"},
      // The rows after the quote cannot be told apart, so nothing is cut,
      // not even the row before it that matches.
      {"a closing quote missing", "email,note\nann@example.com,\nbob@example.com,\"oops\n",
       "email",
       "The recipient file ends inside the quoted field that begins on line 3.  A closing "
       "quote is missing.\n" + path},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(dir.put("people.csv", c.csv));
    MemoryProject project;
    project.set(kFieldRecipientFile, path)
        .set(kFieldRecipientFileFormat, "2")
        .set(kFieldRecipientFileColumn, c.column)
        .set(kFieldRecipientText, "ann@example.com");
    RecordingUi ui;
    RemoveResult result = remove_recipients(
        project, ui, nullptr, "ann@example.com",
        only({kRemoveFromRecipientFile, kRemoveFromRecipientList}), false);
    ASSERT_EQ(result.outcome, Outcome::kReported);
    EXPECT_TRUE(result.source_failed);
    EXPECT_EQ(result.report, "RECIPIENT FILE: " + path + "\n\nERROR: " + c.error +
                                 "\n\n\n"
                                 "EXPLICIT RECIPIENTS:\n\n"
                                 "Removed recipient on line 1: ann@example.com");
    EXPECT_EQ(dir.get("people.csv"), c.csv);
    EXPECT_EQ(ui.last_box(), nullptr);
  }
}

TEST(RemoveSourceStateTest, TheEnablingAndInitialCheckTable) {
  struct Case {
    const char* name;
    bool use_database;
    const char* db_name;
    bool use_file, has_file, use_text, has_text;
    bool use_excl_file, has_excl_file, use_excl_text, has_excl_text;
    // enabled and checked, per source in order
    const char* enabled;
    const char* checked;
  };
  const Case cases[] = {
      {"an empty project", false, "", false, false, false, false, false, false, false, false,
       "-----", "-----"},
      {"everything named and used, no database", false, "", true, true, true, true, true, true,
       true, true, "-EEEE", "-CCCC"},
      {"the database used: recipient lists named but not checked", true, "dsn", true, true,
       true, true, true, true, true, true, "EEEEE", "C--CC"},
      {"a data source named but not used", false, "dsn", false, true, false, true, false, true,
       false, true, "EEEEE", "-----"},
      {"used but empty: not enabled, so not checked", true, "", true, false, true, false, true,
       false, true, false, "-----", "-----"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryProject p;
    p.check(kFieldUseDatabase, c.use_database).set(kFieldDbName, c.db_name);
    p.check(kFieldUseRecipientFile, c.use_file).set(kFieldRecipientFile, c.has_file ? "r.txt" : "");
    p.check(kFieldUseRecipientText, c.use_text)
        .set(kFieldRecipientText, c.has_text ? "a@example.com" : "");
    p.check(kFieldUseExclusionFile, c.use_excl_file)
        .set(kFieldExclusionFile, c.has_excl_file ? "x.txt" : "");
    p.check(kFieldUseExclusionText, c.use_excl_text)
        .set(kFieldExclusionText, c.has_excl_text ? "b@example.com" : "");
    std::string enabled, checked;
    RemoveSources initial = initially_checked_sources(p);
    for (int i = 0; i < kRemoveSourceCount; ++i) {
      RemoveSourceState state = remove_source_state(p, static_cast<RemoveSource>(i));
      enabled += state.enabled ? 'E' : '-';
      checked += state.checked ? 'C' : '-';
      EXPECT_EQ(initial[i], state.checked);
    }
    EXPECT_EQ(enabled, c.enabled);
    EXPECT_EQ(checked, c.checked);
  }
}

// --- database tables ---------------------------------------------------------------------

// The same tests on each data source.
class RemoveFromDatabaseTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    Database& db = database();
    if (!db.is_open() || db.data_source_name() != GetParam()) {
      ASSERT_TRUE(db.open(GetParam())) << db.last_error().c_str();
    }
    postgres_ = db.dbms_name().find("PostgreSQL", 0, false) >= 0;
    exec("DROP TABLE IF EXISTS removal");
    exec("CREATE TABLE removal (id INTEGER PRIMARY KEY, email VARCHAR(100), visits INTEGER)");
    const char* rows[] = {
        "(1, 'ann@example.com', 5)",  "(2, '!ann@example.com', 4)",   "(3, 'bob@example.com', 3)",
        "(4, 'joann@example.com', 2)", "(5, 'ANN@EXAMPLE.COM', 1)", "(6, NULL, 0)",
    };
    for (const char* row : rows) exec(String("INSERT INTO removal VALUES ") + row);
    project_.check(kFieldUseDatabase)
        .set(kFieldDbName, GetParam())
        .set(kFieldTableName, "removal")
        .set(kFieldRecipientColumn, "email")
        .set(kFieldIdentityColumn, "id")
        .set(kFieldOrderBy, "id")
        // Neither the clauses nor the WHERE text limit a removal.
        .set(kFieldWhere, "visits > 100");
    project_.clauses = {{"visits", 1, "99", false}};
  }
  void exec(const String& sql) {
    ASSERT_TRUE(database().execute(sql)) << sql.c_str() << "\n" << database().last_error().c_str();
  }
  // Row updates of `id` fail from now on.
  void refuse_updates_of(int id) {
    if (postgres_) {
      exec("CREATE OR REPLACE FUNCTION refuse_update() RETURNS trigger AS $$ BEGIN RAISE "
           "EXCEPTION 'this row is read-only'; END $$ LANGUAGE plpgsql");
      exec(String::formatted("CREATE TRIGGER read_only BEFORE UPDATE ON removal FOR EACH ROW "
                             "WHEN (OLD.id = %d) EXECUTE FUNCTION refuse_update()",
                             id));
    } else {
      exec(String::formatted("CREATE TRIGGER read_only BEFORE UPDATE ON removal WHEN OLD.id = %d "
                             "BEGIN SELECT RAISE(ABORT, 'this row is read-only'); END",
                             id));
    }
  }
  // A run on the database and a recipient file in which row 1 cannot be
  // updated, with the answer to the question that follows.
  RemoveResult run_with_row_1_refused(bool abort) {
    refuse_updates_of(1);
    EXPECT_TRUE(dir_.put("list.txt", "ann@example.com\nkeep@example.com\n"));
    project_.set(kFieldRecipientFile, dir_ / "list.txt");
    ui_.reply_yes_no(abort);
    return remove_recipients(project_, ui_, &database(), "ann@example.com",
                             only({kRemoveFromDatabase, kRemoveFromRecipientFile}), false);
  }
  // "key=email" for every row of a table, in key order, read on a
  // connection of its own.
  std::string rows(const char* name = "removal", const char* key = "id") {
    Database reader;
    if (!reader.open(GetParam())) return "cannot open: " + reader.last_error().std_string();
    DBTable& table = reader.add_table_info(name);
    reader.set_order_column(table, key);
    Vector<String> columns{key, "email"};
    std::string text;
    if (!reader.bulk_load(&table, DBClause(), &columns)) return reader.last_error().std_string();
    while (reader.bulk_load_row()) {
      Vector<Var> values;
      reader.bulk_get_all(values);
      text += values[0].as_text().std_string() + "=" + values[1].as_text().std_string() + " ";
    }
    return text;
  }

  static constexpr char kRows[] =
      "1=ann@example.com 2=!ann@example.com 3=bob@example.com 4=joann@example.com "
      "5=ANN@EXAMPLE.COM 6= ";
  static constexpr char kMarked[] =
      "1=!ann@example.com 2=!ann@example.com 3=bob@example.com 4=!joann@example.com "
      "5=ANN@EXAMPLE.COM 6= ";

  bool postgres_ = false;
  TestDirectory dir_;
  MemoryProject project_;
  RecordingUi ui_;
};

TEST_P(RemoveFromDatabaseTest, MatchingRowsAreMarkedAndMarkedOnesLeftAlone) {
  RemoveResult preview = remove_recipients(project_, ui_, &database(), "ann@example.com",
                                           only({kRemoveFromDatabase}), true);
  ASSERT_EQ(preview.outcome, Outcome::kReported);
  EXPECT_EQ(preview.report, String("DATABASE: ") + GetParam() +
                                "\n\nFound [1]: ann@example.com\nFound [4]: joann@example.com");
  EXPECT_EQ(rows(), kRows);

  RemoveResult run = remove_recipients(project_, ui_, &database(), "ann@example.com",
                                       only({kRemoveFromDatabase}), false);
  ASSERT_EQ(run.outcome, Outcome::kReported);
  EXPECT_EQ(run.report, String("DATABASE: ") + GetParam() +
                            "\n\nRemoved [1]: ann@example.com\nRemoved [4]: joann@example.com");
  EXPECT_FALSE(run.source_failed);
  EXPECT_EQ(rows(), kMarked);
  EXPECT_EQ(ui_.last_box(), nullptr) << ui_.last_box()->message.c_str();

  // Marked rows are not found again.
  RemoveResult again = remove_recipients(project_, ui_, &database(), "ann@example.com",
                                         only({kRemoveFromDatabase}), false);
  EXPECT_EQ(again.report, String("DATABASE: ") + GetParam() + "\n\nNo changes.");
  EXPECT_EQ(rows(), kMarked);
}

TEST_P(RemoveFromDatabaseTest, AFailedUpdateAnsweredNoGoesOnWithTheNextRow) {
  RemoveResult result = run_with_row_1_refused(/*abort=*/false);
  ASSERT_EQ(result.outcome, Outcome::kReported);
  EXPECT_TRUE(result.source_failed);
  EXPECT_EQ(rows(), "1=ann@example.com 2=!ann@example.com 3=bob@example.com "
                    "4=!joann@example.com 5=ANN@EXAMPLE.COM 6= ");
  const RecordingUi::Event* question = ui_.last(Kind::kYesNo);
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(question->caption, "Database Error");
  EXPECT_TRUE(question->message.contains("this row is read-only")) << question->message.c_str();
  EXPECT_TRUE(question->message.ends_with("\n\nDo you wish to abort the entire operation?"));
  EXPECT_EQ(ui_.unanswered, 0);
  EXPECT_EQ(ui_.busy_depth, 0);
  // The report still lists both rows, and the run went on to the file.
  EXPECT_EQ(result.report, String("DATABASE: ") + GetParam() +
                               "\n\nRemoved [1]: ann@example.com\nRemoved [4]: joann@example.com"
                               "\n\n\nRECIPIENT FILE: " + (dir_ / "list.txt") +
                               "\n\nRemoved recipient on line 1: ann@example.com");
  EXPECT_EQ(dir_.get("list.txt"), "keep@example.com\n");
}

TEST_P(RemoveFromDatabaseTest, AFailedUpdateAnsweredYesEndsEverythingAtOnce) {
  RemoveResult result = run_with_row_1_refused(/*abort=*/true);
  EXPECT_EQ(result.outcome, Outcome::kAborted);
  EXPECT_EQ(result.report, "");
  EXPECT_EQ(rows(), kRows);
  EXPECT_EQ(dir_.get("list.txt"), "ann@example.com\nkeep@example.com\n");
  EXPECT_EQ(ui_.busy_depth, 0);
}

TEST_P(RemoveFromDatabaseTest, ADatabaseThatCannotBeCheckedIsReportedAndTheRunGoesOn) {
  project_.set(kFieldTableName, "no_such_table");
  project_.check(kFieldUseRecipientText).set(kFieldRecipientText, "ann@example.com");
  RemoveResult result = remove_recipients(project_, ui_, &database(), "ann@example.com",
                                          only({kRemoveFromDatabase, kRemoveFromRecipientList}),
                                          false);
  ASSERT_EQ(result.outcome, Outcome::kReported);
  EXPECT_EQ(result.report, String("DATABASE: ") + GetParam() +
                               "\n\nERROR:  Failed to open database\n\n"
                               "EXPLICIT RECIPIENTS:\n\n"
                               "Removed recipient on line 1: ann@example.com");
  ASSERT_NE(ui_.last(Kind::kError), nullptr);
  EXPECT_EQ(ui_.last(Kind::kError)->message, "The table 'no_such_table' does not exist.");
  EXPECT_TRUE(result.source_failed);

  // Without the database layer at all.
  RecordingUi ui;
  project_.set(kFieldTableName, "removal");
  RemoveResult none = remove_recipients(project_, ui, nullptr, "ann@example.com",
                                        only({kRemoveFromDatabase}), true);
  EXPECT_EQ(none.report, String("DATABASE: ") + GetParam() + "\n\nERROR:  Failed to open database");
  EXPECT_EQ(ui.last(Kind::kError)->caption, "Database Error");
}

TEST_P(RemoveFromDatabaseTest, AnIdentityThatIsNotAWholeNumberMarksNoOtherRow) {
  exec("DROP TABLE IF EXISTS coded");
  exec("CREATE TABLE coded (code VARCHAR(10), email VARCHAR(100))");
  exec("INSERT INTO coded VALUES ('x7', 'ann@example.com')");
  exec("INSERT INTO coded VALUES ('0', 'zero@example.com')");
  project_.set(kFieldTableName, "coded").set(kFieldIdentityColumn, "code").set(kFieldOrderBy, "");
  ui_.reply_yes_no(false);
  RemoveResult result = remove_recipients(project_, ui_, &database(), "ann@example.com",
                                          only({kRemoveFromDatabase}), false);
  EXPECT_TRUE(result.source_failed);
  ASSERT_NE(ui_.last(Kind::kYesNo), nullptr);
  EXPECT_TRUE(ui_.last(Kind::kYesNo)->message.starts_with(
      "The identity value 'x7' is not a whole number"));
  EXPECT_EQ(rows("coded", "code"), "0=zero@example.com x7=ann@example.com ");
}

INSTANTIATE_TEST_SUITE_P(DataSources, RemoveFromDatabaseTest,
                         ::testing::Values(testing::TestDataSources::kSqliteName,
                                           testing::TestDataSources::kPostgresName));

}  // namespace
}  // namespace tessaline
