// tessaline-make-project, the tool that writes project files for scripts.
#include <gtest/gtest.h>

#include <cstdlib>

#include "storage/glob_file.h"
#include "storage/test_directory.h"
#include "app/project_file.h"
#include "tests/program_run.h"

namespace tessaline {
namespace {

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

TEST_F(MakeProject, RefusesWhatItCannotSet) {
  struct Case {
    std::vector<String> args;
    const char* message;
  } cases[] = {
      {{"p.zqj", "sendmode=101"}, "no project field has the key \"sendmode\""},
      {{"p.zqj", "ClauseTable=x"}, "no project field has the key \"ClauseTable\""},
      {{"p.zqj", "clause=age,~,1"}, "not a clause: age,~,1"},
      {{"p.zqj", "clause=age,="}, "not a clause: age,="},
      {{"p.zqj", "body@missing.txt"}, "cannot read missing.txt"},
      {{"p.zqj", "nothing"}, "not a setting: nothing"},
  };
  for (const Case& c : cases) {
    ProgramResult r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_TRUE(r.err.contains(c.message)) << r.err.c_str();
  }
  EXPECT_EQ(TestDirectory::read(work_ / "p.zqj"), "<absent>");
}

}  // namespace
}  // namespace tessaline
