// tessaline-make-project, the tool that makes, changes and shows project
// files for people and scripts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "storage/file_specs.h"
#include "storage/glob_file.h"
#include "storage/test_directory.h"
#include "app/project_fields.h"
#include "app/project_file.h"
#include "tests/program_run.h"

namespace tessaline {
namespace {

// A --show listing read back: the keys in their order, and each value's
// lines (a one-line value is one line).
struct Listing {
  std::vector<std::string> keys;
  std::map<std::string, std::vector<std::string>> values;
};

Listing read_listing(const String& text) {
  Listing listing;
  std::string all = text.std_string();
  size_t at = 0;
  std::string key;
  while (at < all.size()) {
    size_t end = all.find('\n', at);
    EXPECT_NE(end, std::string::npos) << "the last line has no line end";
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line.starts_with("    ")) {
      EXPECT_FALSE(key.empty()) << "a continuation line before any key: " << line;
      listing.values[key].push_back(line.empty() ? line : line.substr(4));
      continue;
    }
    size_t equals = line.find(" =");
    EXPECT_NE(equals, std::string::npos) << line;
    if (equals == std::string::npos) continue;
    key = line.substr(0, equals);
    listing.keys.push_back(key);
    std::string value = line.substr(equals + 2);
    if (!value.empty()) {
      EXPECT_EQ(value[0], ' ') << line;
      listing.values[key].push_back(value.substr(1));
    } else {
      listing.values[key];
    }
  }
  return listing;
}

// The keys of the field table, in its order.
std::vector<std::string> table_keys() {
  std::vector<std::string> keys;
  for (int i = 0; i < project_field_count(); ++i) keys.push_back(project_field(i).key);
  return keys;
}

class MakeProject : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.ok() && work_.ok()); }

  ProgramResult run(std::vector<String> args) {
    ProgramRun r;
    r.program = TESSALINE_MAKE_PROJECT;
    r.args = std::move(args);
    r.directory = work_.path();
    r.home = home_.path();
    return run_program(r);
  }

  String show(const String& project) {
    ProgramResult r = run({"--show", project});
    EXPECT_EQ(r.status, 0) << r.err.c_str();
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  TestDirectory home_;
  TestDirectory work_;
};

TEST_F(MakeProject, SetsFieldsByKeyFromValuesAndFilesAndAddsClauses) {
  ASSERT_TRUE(work_.put("list.txt", "a@example.com\nb@example.com\n"));
  ProgramResult r = run({"p.zqj", "from=Ann <ann@example.com>", "use_recipient_text=1",
                         "recipient_text@list.txt", "SendMode=102", "SMTPport=2525",
                         "exclusion text=x@example.com", "clause=age,>=,18",
                         "clause=city,=,Paris,ignore", "where=a = b"});
  ASSERT_EQ(r.status, 0) << r.err.c_str();
  Project p;
  ASSERT_EQ(read_project_file(work_ / "p.zqj", p), GlobFile::kOpened);
  EXPECT_EQ(p.text("from"), "Ann <ann@example.com>");
  EXPECT_TRUE(p.flag("use_recipient_text"));
  EXPECT_EQ(p.text("recipient_text"), "a@example.com\nb@example.com\n");
  EXPECT_EQ(p.number("SendMode"), 102);
  EXPECT_EQ(p.number("SMTPport"), 2525);
  EXPECT_EQ(p.text("exclusion text"), "x@example.com");
  EXPECT_EQ(p.text("where"), "a = b");
  ASSERT_EQ(p.clauses().count(), 2);
  EXPECT_EQ(p.clauses()[0].column, "age");
  EXPECT_EQ(p.clauses()[0].op, 4);
  EXPECT_EQ(p.clauses()[0].value, "18");
  EXPECT_FALSE(p.clauses()[0].ignore);
  EXPECT_TRUE(p.clauses()[1].ignore);

  // An existing project is changed, not replaced.
  ASSERT_EQ(run({"p.zqj", "subject=Hello"}).status, 0);
  Project q;
  ASSERT_EQ(read_project_file(work_ / "p.zqj", q), GlobFile::kOpened);
  EXPECT_EQ(q.text("subject"), "Hello");
  EXPECT_EQ(q.text("from"), "Ann <ann@example.com>");
  EXPECT_EQ(q.clauses().count(), 2);
}

TEST_F(MakeProject, OptionsAndMistakes) {
  ASSERT_TRUE(work_.put("junk.zqj", "not a project\n"));
  struct Case {
    std::vector<String> args;
    int status;
    const char* out;  // the start of standard output
    const char* err;  // a part of standard error ("" for none at all)
  } cases[] = {
      {{"--help"}, 0, "Usage: tessaline-make-project PROJECT SETTING...\n", ""},
      {{"-h", "p.zqj", "from=x"}, 0, "Usage: tessaline-make-project", ""},
      {{"--version"}, 0, "tessaline-make-project (Tessaline Mailer ", ""},
      {{"--bogus", "p.zqj", "from=x"}, 1, "", "unknown option: --bogus\n"},
      {{"p.zqj", "-x"}, 1, "", "unknown option: -x\n"},
      {{}, 1, "", "no project file was given"},
      {{"p.zqj"}, 1, "", "nothing to set"},
      {{"--set"}, 1, "", "--set needs a setting"},
      {{"--show", "p.zqj", "from=x"}, 1, "", "--show prints a project; it takes no settings"},
      {{"p.zqj", "sendmode=101"}, 1, "", "no project field has the key \"sendmode\""},
      {{"p.zqj", "ClauseTable=x"}, 1, "", "no project field has the key \"ClauseTable\""},
      {{"p.zqj", "from=x", "nothing"}, 1, "", "not a setting (KEY=VALUE, KEY@FILE or clause=...): "
                                              "nothing\n"},
      {{"p.zqj", "body@missing.txt"}, 1, "", "cannot read missing.txt"},
      {{"p.zqj", "clause=age,~,1"}, 1, "", "not a clause"},
      {{"p.zqj", "clause=age,="}, 1, "", "not a clause"},
      {{"p.zqj", "clause=,=,1"}, 1, "", "not a clause"},
      {{"p.zqj", "use_recipient_file=yes", "Recycle=maybe"}, 1, "",
       "Recycle is a check box: give yes or no (or true/false, on/off, 1/0), not \"maybe\""},
      {{"p.zqj", "Recycle="}, 1, "", "Recycle is a check box"},
      {{"p.zqj", "SendMode=7"}, 1, "",
       "SendMode is a list: give one of 100 (Normal), 101 (No Preview), 102 (Identical), 103 "
       "(Last Recipient Only), not \"7\""},
      {{"p.zqj", "Encoding=utf-8"}, 1, "", "Encoding is a list"},
      {{"p.zqj", "SMTPport=25x"}, 1, "", "SMTPport is a number: give a whole number, not \"25x\""},
      {{"p.zqj", "LineLength=-5"}, 1, "", "LineLength is a number"},
      {{"--set", "from=x", "absent.zqj"}, 2, "", "no such project file: "},
      {{"--show", "absent.zqj"}, 2, "", "no such project file: "},
      {{"--show", "junk.zqj"}, 2, "", "This is not a valid project file:\n"},
  };
  for (const Case& c : cases) {
    String args;
    for (const String& a : c.args) args += a + " ";
    SCOPED_TRACE(args.c_str());
    ProgramResult r = run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err.c_str();
    EXPECT_TRUE(r.out.starts_with(c.out)) << r.out.c_str();
    if (*c.err == '\0') {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_TRUE(r.err.contains(c.err)) << r.err.c_str();
    }
    // Nothing was written, and no option became a file.
    EXPECT_EQ(TestDirectory::read(work_ / "p.zqj"), "<absent>");
    EXPECT_EQ(TestDirectory::read(work_ / "--help"), "<absent>");
    EXPECT_EQ(TestDirectory::read(work_ / "--bogus"), "<absent>");
    EXPECT_EQ(TestDirectory::read(work_ / "absent.zqj"), "<absent>");
  }
  EXPECT_EQ(TestDirectory::read(work_ / "junk.zqj"), "not a project\n");
}

TEST_F(MakeProject, ValuesOfEachKind) {
  struct Case {
    const char* setting;
    const char* shown;  // the line --show prints for the field
  } cases[] = {
      {"Recycle=yes", "Recycle = yes"},   {"Recycle=NO", "Recycle = no"},
      {"Recycle=true", "Recycle = yes"},  {"Recycle=False", "Recycle = no"},
      {"Recycle=on", "Recycle = yes"},    {"Recycle=off", "Recycle = no"},
      {"Recycle=1", "Recycle = yes"},     {"Recycle=0", "Recycle = no"},
      {"SendMode=101", "SendMode = 101"}, {"SendMode=last recipient only", "SendMode = 103"},
      {"recipient_file_format=2", "recipient_file_format = 2"},
      {"recipient_file_delimiter=Tab", "recipient_file_delimiter = 3"},
      {"SMTPport= 2525 ", "SMTPport = 2525"},
      {"subject= Hello = World ", "subject =  Hello = World "},
      {"ExclusionFile=lists/out.txt", "ExclusionFile = lists/out.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    ProgramResult r = run({"kinds.zqj", c.setting});
    ASSERT_EQ(r.status, 0) << r.err.c_str();
    EXPECT_TRUE(show("kinds.zqj").contains((String("\n") + c.shown + "\n").c_str()));
  }
  // "--" lets a project's name start with "-".
  ASSERT_EQ(run({"--", "-odd.zqj", "from=x"}).status, 0);
  EXPECT_TRUE(show("./-odd.zqj").starts_with("from = x\n"));
}

// The example projects list every field, in the table's order, and name
// only files that the examples folder holds.
TEST_F(MakeProject, ShowsTheExampleProjects) {
  const String examples = TESSALINE_SOURCE_DIR "/examples";
  for (const char* name : {"newsletter.zqj", "spreadsheet.zqj"}) {
    SCOPED_TRACE(name);
    Listing listing = read_listing(show(examples + "/" + name));
    EXPECT_EQ(listing.keys, table_keys());
    auto value = [&](const char* key) { return listing.values[key]; };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(value("from"), Lines{"Tessaline reading room <news@example.com>"});
    EXPECT_EQ(value("body_file"), Lines{"body.txt"});
    EXPECT_EQ(value("html_file"), Lines{"body.html"});
    EXPECT_EQ(value("attachments"), Lines{"attachments/*.txt"});
    EXPECT_EQ(value("ExclusionFile"), Lines{"exclusions.txt"});
    EXPECT_EQ(value("SendMode"), Lines{"101"});
    if (std::string(name) == "newsletter.zqj") {
      EXPECT_EQ(value("use_database"), Lines{"yes"});
      EXPECT_EQ(value("db_name"), Lines{"TessalineExample"});
      EXPECT_EQ(value("ClauseTable"), Lines{"active,=,1"});
      EXPECT_EQ(value("where"), Lines{"visits >= 0"});
    } else {
      EXPECT_EQ(value("use_database"), Lines{"no"});
      EXPECT_EQ(value("recipient_file"), Lines{"subscribers.csv"});
      EXPECT_EQ(value("recipient_file_format"), Lines{"2"});
      EXPECT_EQ(value("recipient_file_column"), Lines{"email"});
      EXPECT_EQ(value("ClauseTable"), Lines{});
    }
    for (int i = 0; i < project_field_count(); ++i) {
      const ProjectFieldInfo& field = project_field(i);
      if (field.control != FieldControl::kFileName && field.control != FieldControl::kFileList) {
        continue;
      }
      for (const std::string& line : value(field.key)) {
        Vector<String> found;
        expand_file_specs(String(line), found, examples);
        EXPECT_FALSE(found.empty()) << field.key << " names " << line;
      }
    }
  }
}

// A listing, a change, the listing again: exactly the changed lines differ,
// and changing them back gives the first listing.
TEST_F(MakeProject, ShowSetShowRoundTrip) {
  ASSERT_TRUE(work_.put("list.txt", "a@example.com\r\nb@example.com\r\n"));
  ASSERT_EQ(run({"p.zqj", "from=Ann <ann@example.com>", "recipient_text@list.txt",
                 "clause=name,=,Archer, Ann", "clause=age,<,18,ignore", "Recycle=yes"})
                .status,
            0);
  String first = show("p.zqj");
  Listing before = read_listing(first);
  EXPECT_EQ(before.keys, table_keys());
  EXPECT_EQ(before.values["recipient_text"],
            (std::vector<std::string>{"a@example.com", "b@example.com"}));
  EXPECT_EQ(before.values["ClauseTable"],
            (std::vector<std::string>{"name,=,Archer, Ann", "age,<,18,ignore"}));
  EXPECT_EQ(before.values["Recycle"], std::vector<std::string>{"yes"});

  ProgramResult r = run({"--set", "subject=Autumn", "--set=Recycle=no", "p.zqj"});
  ASSERT_EQ(r.status, 0) << r.err.c_str();
  EXPECT_EQ(r.out, "");
  Listing after = read_listing(show("p.zqj"));
  ASSERT_EQ(after.keys, before.keys);
  for (const std::string& key : after.keys) {
    if (key == "subject") {
      EXPECT_EQ(after.values[key], std::vector<std::string>{"Autumn"});
    } else if (key == "Recycle") {
      EXPECT_EQ(after.values[key], std::vector<std::string>{"no"});
    } else {
      EXPECT_EQ(after.values[key], before.values[key]) << key;
    }
  }

  ASSERT_EQ(run({"--set", "subject=", "--set", "Recycle=yes", "p.zqj"}).status, 0);
  EXPECT_EQ(show("p.zqj"), first);
}

}  // namespace
}  // namespace tessaline
