#include "send/send_history.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "storage/find_file.h"
#include "storage/paths.h"
#include "storage/test_directory.h"

namespace tessaline {
namespace {

DateTime at(int year, int month, int day, int hour, int minute, int second) {
  DateTime t;
  t.date = make_date(month, day, year);
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

// A journal file of `project` begun at `start_ms`, with one recipient.
void put_journal(const TestDirectory& dir, const char* name, const char* project,
                 int64_t start_ms, bool finished) {
  JournalIdentity id;
  id.send_id = make_send_id();
  id.start_ms = start_ms;
  id.send_mode = 101;
  id.project = project;
  JournalRun run;
  run.start_ms = start_ms;
  run.log_name = "x.LOG";
  String bytes = String(std::string_view(kJournalMagic, kJournalMagicLength)) +
                 journal_identity_record(id) + journal_run_record(run) +
                 journal_plan_record(0, "bob@example.com") + journal_plan_end_record(1);
  if (finished) bytes += journal_outcome_record(0, JournalOutcome::kDelivered, 1, 250, 0, 1);
  ASSERT_TRUE(dir.put(name, bytes));
}

Vector<String> names(const TestDirectory& dir, const char* pattern) {
  Vector<String> found;
  list_files(dir / pattern, found, true);
  return found;
}

TEST(SendHistory, NamesTellTheProjectAndTheTimeAndNeverCollide) {
  EXPECT_EQ(SendHistory::stem("/home/ann/News letter.zqj", at(2025, 3, 1, 14, 2, 33)),
            "News_letter-20250301-140233");
  EXPECT_EQ(SendHistory::stem("/p/../x/.zqj", at(2025, 12, 31, 23, 59, 59)),
            "project-20251231-235959");
  EXPECT_EQ(SendHistory::stem(String("/p/") + String(std::string(60, 'a')) + ".zqj", at(2025, 1, 2, 3, 4, 5)),
            String(std::string(40, 'a')) + "-20250102-030405");

  TestDirectory dir;
  SendHistory history(dir / "sends");
  String error;
  ASSERT_TRUE(history.make(&error)) << error.c_str();
  ASSERT_TRUE(history.make(&error));  // already there
  String first, second;
  ASSERT_TRUE(history.create_unique("news-20250301-140233", "LOG", &first, &error));
  ASSERT_TRUE(history.create_unique("news-20250301-140233", "LOG", &second, &error));
  EXPECT_EQ(file_part(first), "news-20250301-140233.LOG");
  EXPECT_EQ(file_part(second), "news-20250301-140233-2.LOG");
}

TEST(SendHistory, TheLastSendIsTheNewestJournalOfThatProject) {
  TestDirectory dir;
  put_journal(dir, "news-20250301-100000.journal", "/p/news.zqj", 1000, true);
  put_journal(dir, "news-20250302-100000.journal", "/p/news.zqj", 2000, false);
  put_journal(dir, "other-20250303-100000.journal", "/p/other.zqj", 3000, true);
  ASSERT_TRUE(dir.put("notes-20250304-100000.journal", "not a journal"));
  SendHistory history(dir.path());
  String path;
  JournalState state;
  ASSERT_TRUE(history.last_send("/p/news.zqj", &path, &state));
  EXPECT_EQ(file_part(path), "news-20250302-100000.journal");
  EXPECT_TRUE(state.unfinished());
  ASSERT_TRUE(history.last_send("/p/other.zqj", &path, &state));
  EXPECT_FALSE(state.unfinished());
  EXPECT_FALSE(history.last_send("/p/never.zqj", &path, &state));
}

TEST(SendHistory, PruningKeepsTheNewestAndEachProjectsLastSend) {
  TestDirectory dir;
  for (const char* log : {"news-20250301-100000.LOG", "news-20250301-100000-2.LOG",
                          "other-20250302-090000.LOG", "news-20250303-080000.LOG",
                          "stray.LOG"}) {
    ASSERT_TRUE(dir.put(log, "log"));
  }
  // An old send of "old" is its project's last one: it stays.
  put_journal(dir, "old-20240101-000000.journal", "/p/old.zqj", 100, false);
  put_journal(dir, "news-20250301-100000.journal", "/p/news.zqj", 1000, true);
  put_journal(dir, "news-20250302-100000.journal", "/p/news.zqj", 2000, true);
  put_journal(dir, "news-20250303-100000.journal", "/p/news.zqj", 3000, true);
  SendHistory(dir.path()).prune(2);

  Vector<String> logs = names(dir, "*.LOG");
  ASSERT_EQ(logs.count(), 3);  // the two newest, and the one whose name tells no time
  EXPECT_EQ(logs[0], "news-20250303-080000.LOG");
  EXPECT_EQ(logs[1], "other-20250302-090000.LOG");
  EXPECT_EQ(logs[2], "stray.LOG");
  Vector<String> journals = names(dir, "*.journal");
  ASSERT_EQ(journals.count(), 3);
  EXPECT_EQ(journals[0], "news-20250302-100000.journal");
  EXPECT_EQ(journals[1], "news-20250303-100000.journal");
  EXPECT_EQ(journals[2], "old-20240101-000000.journal");
}

TEST(SendHistory, AProjectIsKnownByItsRealPath) {
  TestDirectory dir;
  ASSERT_TRUE(dir.put("news.zqj", "project"));
  ASSERT_EQ(symlink((dir / "news.zqj").c_str(), (dir / "link.zqj").c_str()), 0);
  EXPECT_EQ(project_identity(dir / "link.zqj"), project_identity(dir / "news.zqj"));
  EXPECT_TRUE(is_absolute(project_identity("relative-missing.zqj")));
}

}  // namespace
}  // namespace tessaline
