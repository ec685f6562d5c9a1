#include "send/send_journal.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/fiber.h"
#include "storage/file.h"
#include "storage/paths.h"
#include "storage/test_directory.h"

namespace tessaline {
namespace {

JournalIdentity identity() {
  JournalIdentity id;
  id.send_id = "00112233445566778899aabbccddeeff";
  id.start_ms = 1700000000123;
  id.send_mode = 101;
  id.limit = 0;
  id.project = "/home/ann/news.zqj";
  return id;
}

JournalRun run(bool resumed, const char* log) {
  JournalRun r;
  r.start_ms = resumed ? 1700000500000 : 1700000000123;
  r.resumed = resumed;
  r.log_name = log;
  return r;
}

Vector<String> plan(std::initializer_list<const char*> recipients) {
  Vector<String> v;
  for (const char* r : recipients) v.append(r);
  return v;
}

String magic() { return String(std::string_view(kJournalMagic, kJournalMagicLength)); }

// The record with another type byte and its checksum made anew.
String with_type(const String& record, char type) {
  String body = record.substr(4, record.length() - 8);
  body[0] = type;
  uint32_t c = 0xFFFFFFFFu;
  for (char ch : body) {
    c ^= static_cast<uint8_t>(ch);
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  c ^= 0xFFFFFFFFu;
  String framed = record.substr(0, 4) + body;
  for (int i = 0; i < 4; ++i) framed.append(static_cast<char>(c >> (8 * i)));
  return framed;
}

// A journal of three recipients: the first delivered, the second refused,
// the third in flight when the program stopped.
String three_recipient_journal(std::vector<size_t>* boundaries = nullptr) {
  std::vector<String> records = {
      magic(),
      journal_identity_record(identity()),
      journal_run_record(run(false, "news-20231114-221320.LOG")),
      journal_plan_record(0, "bob@example.com"),
      journal_plan_record(1, "Carol <carol@example.com>"),
      journal_plan_record(2, "dave@example.com"),
      journal_plan_end_record(3),
      journal_attempt_record(0),
      journal_outcome_record(0, JournalOutcome::kDelivered, 1, 250, 0, 1700000000200),
      journal_outcome_record(1, JournalOutcome::kRefused, 1, 550, 4590, 1700000000300),
      journal_attempt_record(2),
  };
  String bytes;
  for (const String& r : records) {
    bytes += r;
    if (boundaries) boundaries->push_back(static_cast<size_t>(bytes.length()));
  }
  return bytes;
}

TEST(SendJournal, ReadsIdentityPlanOutcomesAndTheMessageInFlight) {
  JournalState state = read_journal(three_recipient_journal().view());
  ASSERT_TRUE(state.valid);
  EXPECT_FALSE(state.damaged);
  EXPECT_EQ(state.identity.send_id, identity().send_id);
  EXPECT_EQ(state.identity.start_ms, identity().start_ms);
  EXPECT_EQ(state.identity.send_mode, 101);
  EXPECT_EQ(state.identity.project, "/home/ann/news.zqj");
  ASSERT_EQ(state.runs.count(), 1);
  EXPECT_EQ(state.runs[0].log_name, "news-20231114-221320.LOG");
  EXPECT_FALSE(state.runs[0].ended);
  EXPECT_TRUE(state.plan_complete);
  ASSERT_EQ(state.entries.count(), 3);
  EXPECT_EQ(state.entries[1].recipient, "Carol <carol@example.com>");
  EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kDelivered);
  EXPECT_FALSE(state.entries[0].in_flight);
  EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kRefused);
  EXPECT_EQ(state.entries[1].reply_code, 550);
  EXPECT_EQ(state.entries[1].error_code, 4590);
  EXPECT_EQ(state.entries[2].outcome, JournalOutcome::kNone);
  EXPECT_TRUE(state.entries[2].in_flight);
  EXPECT_EQ(state.in_flight(), 1);
  EXPECT_TRUE(state.unfinished());
}

// A try whose end of data the server refused for now is answered: a kill
// in the wait before the next try leaves nothing in flight; the next try's
// attempt puts the message in flight again.
TEST(SendJournal, AnAnsweredEndOfDataIsNoLongerInFlight) {
  String head = three_recipient_journal();
  JournalState answered = read_journal((head + journal_answered_record(2)).view());
  ASSERT_TRUE(answered.valid);
  EXPECT_FALSE(answered.damaged);
  EXPECT_FALSE(answered.entries[2].in_flight);
  EXPECT_EQ(answered.entries[2].outcome, JournalOutcome::kNone);
  EXPECT_TRUE(answered.unfinished());
  JournalState again =
      read_journal((head + journal_answered_record(2) + journal_attempt_record(2)).view());
  EXPECT_TRUE(again.entries[2].in_flight);
  // An index beyond the plan breaks the rules: the reader stops there.
  JournalState beyond = read_journal((head + journal_answered_record(7)).view());
  EXPECT_TRUE(beyond.damaged);
  EXPECT_TRUE(beyond.entries[2].in_flight);
}

// A kill can cut the file anywhere: every prefix reads as the records it
// holds whole, and says where they end.
TEST(SendJournal, EveryCutOfTheFileReadsAsItsWholeRecords) {
  std::vector<size_t> boundaries;
  String bytes = three_recipient_journal(&boundaries);
  // A killed writer leaves the room it made after the records: zero bytes.
  const std::string room(512, '\0');
  for (size_t cut = 0; cut <= static_cast<size_t>(bytes.length()); ++cut) {
    size_t whole = 0;  // the records wholly inside the cut
    for (size_t b : boundaries) {
      if (b <= cut) whole = b;
    }
    // The magic and the identity make a journal.
    const bool journal = whole >= boundaries[1];
    const std::string cut_file(bytes.view().substr(0, cut));
    for (const std::string& file : {cut_file, cut_file + room}) {
      SCOPED_TRACE(file.length() > cut ? "with the room after it" : "alone");
      JournalState state = read_journal(file);
      ASSERT_EQ(state.valid, journal) << "cut at " << cut;
      if (!journal) continue;
      EXPECT_EQ(state.valid_length, static_cast<int64_t>(whole)) << "cut at " << cut;
      // A torn record is damage; the room after whole records is not.
      EXPECT_EQ(state.damaged, cut_file.find_first_not_of('\0', whole) != std::string::npos)
          << "cut at " << cut;
      EXPECT_EQ(state.plan_complete, whole >= boundaries[6]) << "cut at " << cut;
      EXPECT_EQ(
          state.entries.count() > 0 && state.entries[0].outcome == JournalOutcome::kDelivered,
          whole >= boundaries[8])
          << "cut at " << cut;
      // Only a complete plan can leave anything to resume.
      if (!state.plan_complete) {
        EXPECT_FALSE(state.unfinished());
      }
    }
  }
}

TEST(SendJournal, ReadingStopsAtTheFirstRecordThatBreaksTheRules) {
  String head = magic() + journal_identity_record(identity()) +
                journal_run_record(run(false, "a.LOG")) + journal_plan_record(0, "bob@example.com");
  String delivered = journal_outcome_record(0, JournalOutcome::kDelivered, 1, 250, 0, 5);
  struct Case {
    const char* what;
    String bytes;
    int entries;
    bool plan_complete;
    JournalOutcome first;
  };
  String flipped = head + journal_plan_end_record(1) + delivered;
  flipped[flipped.length() - 6] ^= 0x40;  // inside the outcome's payload
  String unknown = with_type(journal_plan_end_record(1), 99);  // a kind from a later version
  std::vector<Case> cases = {
      {"an outcome before the plan is closed", head + delivered, 1, false, JournalOutcome::kNone},
      {"a plan index out of order",
       head + journal_plan_record(2, "x@example.com") + journal_plan_end_record(1), 1, false,
       JournalOutcome::kNone},
      {"a plan end whose count is wrong", head + journal_plan_end_record(2) + delivered, 1, false,
       JournalOutcome::kNone},
      {"an outcome for an index beyond the plan",
       head + journal_plan_end_record(1) +
           journal_outcome_record(1, JournalOutcome::kDelivered, 1, 250, 0, 5),
       1, true, JournalOutcome::kNone},
      {"an outcome of an unknown kind",
       head + journal_plan_end_record(1) +
           journal_outcome_record(0, static_cast<JournalOutcome>(9), 1, 250, 0, 5),
       1, true, JournalOutcome::kNone},
      {"a second identity", head + journal_identity_record(identity()) + journal_plan_end_record(1),
       1, false, JournalOutcome::kNone},
      {"a damaged checksum", flipped, 1, true, JournalOutcome::kNone},
      {"a record of a later kind is skipped", head + unknown + journal_plan_end_record(1) + delivered,
       1, true, JournalOutcome::kDelivered},
  };
  for (const Case& c : cases) {
    JournalState state = read_journal(c.bytes.view());
    ASSERT_TRUE(state.valid) << c.what;
    EXPECT_EQ(state.entries.count(), c.entries) << c.what;
    EXPECT_EQ(state.plan_complete, c.plan_complete) << c.what;
    EXPECT_EQ(state.entries[0].outcome, c.first) << c.what;
    bool skipped_only = c.first == JournalOutcome::kDelivered;
    EXPECT_EQ(state.damaged, !skipped_only) << c.what;
  }
}

TEST(SendJournal, AFileThatDoesNotOpenWithTheIdentityIsNoJournal) {
  for (const String& bytes :
       {String(), String("Send operation performed on"), magic(),
        magic() + journal_run_record(run(false, "a.LOG")) + journal_identity_record(identity())}) {
    EXPECT_FALSE(read_journal(bytes.view()).valid);
    JournalIdentity id;
    EXPECT_FALSE(read_journal_identity(bytes.view(), &id));
  }
  String head = magic() + journal_identity_record(identity());
  JournalIdentity id;
  ASSERT_TRUE(read_journal_identity(head.view(), &id));
  EXPECT_EQ(id.project, identity().project);
}

TEST(SendJournal, LaterOutcomesReplaceEarlierOnesAndOnlyFinalOnesFinishTheSend) {
  String bytes = magic() + journal_identity_record(identity()) +
                 journal_run_record(run(false, "a.LOG")) + journal_plan_record(0, "a@example.com") +
                 journal_plan_record(1, "b@example.com") + journal_plan_end_record(2) +
                 journal_outcome_record(0, JournalOutcome::kFailed, 3, 451, 4640, 1) +
                 journal_outcome_record(1, JournalOutcome::kDropped, 0, 0, 0, 1);
  JournalState state = read_journal(bytes.view());
  EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kFailed);
  EXPECT_EQ(state.entries[0].tries, 3);
  EXPECT_TRUE(state.unfinished());
  bytes += journal_outcome_record(0, JournalOutcome::kDelivered, 1, 250, 0, 2);
  state = read_journal(bytes.view());
  EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kDelivered);
  EXPECT_FALSE(state.unfinished());
  EXPECT_EQ(state.count(JournalOutcome::kDelivered), 1);
  EXPECT_EQ(state.count(JournalOutcome::kDropped), 1);
}

TEST(SendJournal, TheWriterWritesWhatTheReaderReads) {
  // The same records whether each outcome is synced at once or in the
  // background.
  for (int window : {0, 1, 16}) {
    TestDirectory dir;
    String path = dir / "news.journal";
    JournalWriter writer;
    writer.set_sync_window(window);
    ASSERT_TRUE(writer.create(path, identity(), run(false, "a.LOG"),
                              plan({"bob@example.com", "carol@example.com", "dave@example.com"})));
    ASSERT_TRUE(writer.attempt(0));
    ASSERT_TRUE(writer.outcome(0, JournalOutcome::kDelivered, 1, 250, 0, 10));
    ASSERT_TRUE(writer.attempt(1));
    ASSERT_TRUE(writer.outcome(1, JournalOutcome::kFailed, 2, 421, 4557, 11));
    ASSERT_TRUE(writer.add_plan(3, "erin@example.com"));
    ASSERT_TRUE(writer.end_run(12));
    ASSERT_TRUE(writer.close()) << writer.error().c_str();

    String bytes;
    ASSERT_TRUE(read_whole_file(path, bytes));
    JournalState state = read_journal(bytes.view());
    ASSERT_TRUE(state.valid) << window;
    EXPECT_FALSE(state.damaged) << window;
    ASSERT_EQ(state.entries.count(), 4) << window;
    EXPECT_EQ(state.entries[3].recipient, "erin@example.com");
    EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kDelivered);
    EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kFailed);
    EXPECT_EQ(state.entries[1].reply_code, 421);
    EXPECT_EQ(state.entries[2].outcome, JournalOutcome::kNone);
    EXPECT_FALSE(state.entries[2].in_flight);
    EXPECT_TRUE(state.runs[0].ended);
    EXPECT_EQ(state.runs[0].end_ms, 12);
  }
}

// A slow disk: each sync takes a while, and whatever the writer appends
// while an outcome's sync is still running is caught. The end of the next
// message goes out right after its attempt record, so an attempt written
// then would be a message out before the outcome ahead of it is on the
// disk.
TEST(SendJournal, AnAttemptWaitsUntilTheOutcomesBeforeItAreOnTheDisk) {
  TestDirectory dir;
  JournalWriter writer;
  std::atomic<int> syncs{0}, grew{0};
  const String path = dir / "news.journal";
  // The records in the file (the writer's room after them aside).
  auto records = [&] { return read_journal(TestDirectory::read(path).view()).valid_length; };
  writer.set_sync_call([&](int fd) {
    int64_t before = records();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    int result = fdatasync(fd);
    ++syncs;
    grew += records() != before;
    return result;
  });
  Vector<String> recipients;
  for (int i = 0; i < 12; ++i) recipients.append(String::formatted("r%d@example.com", i));
  ASSERT_TRUE(writer.create(path, identity(), run(false, "a.LOG"), recipients));
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(writer.attempt(i));
    ASSERT_TRUE(writer.outcome(i, JournalOutcome::kDelivered, 1, 250, 0, i));
  }
  ASSERT_TRUE(writer.close());
  // Nothing was appended while a sync ran: each attempt waited for it.
  EXPECT_EQ(grew.load(), 0);
  EXPECT_GE(syncs.load(), 12);
  JournalState state = read_journal(TestDirectory::read(dir / "news.journal").view());
  EXPECT_EQ(state.count(JournalOutcome::kDelivered), 12);
}

// A slow disk under a writer: each sync sleeps first. Where the records
// end is kept from their lengths (the test adds each record it writes):
// reading the file at every step would take long enough on a slow build to
// keep fibers from overlapping. Made before the writer, which syncs once
// more as it goes.
struct SlowDisk {
  void attach(JournalWriter& writer, int sleep_ms) {
    writer.set_sync_call([this, sleep_ms](int fd) {
      const int64_t before = records_end.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
      int result = fdatasync(fd);
      ++syncs;
      covered = before;
      return result;
    });
  }
  // How many of the outcome records ending at `ends` a sync has not covered.
  int off_disk(const std::vector<int64_t>& ends) const {
    int n = 0;
    for (int64_t end : ends) n += end > covered.load();
    return n;
  }
  std::atomic<int64_t> records_end{0};
  std::atomic<int64_t> covered{0};  // bytes of the records known to be on the disk
  std::atomic<int> syncs{0};
};

// With a window, the disk catches up in batches, in the background, and
// no end of data goes out with more than the window's outcomes off it.
TEST(SendJournal, AWindowBoundsTheOutcomesOffTheDiskAtEachAttempt) {
  constexpr int kMessages = 40;
  for (int window : {1, 4, 8}) {
    SCOPED_TRACE(window);
    TestDirectory dir;
    const String path = dir / "news.journal";
    SlowDisk disk;
    JournalWriter writer;
    writer.set_sync_window(window);
    disk.attach(writer, 2);
    Vector<String> recipients;
    for (int i = 0; i < kMessages; ++i) recipients.append(String::formatted("r%d@example.com", i));
    ASSERT_TRUE(writer.create(path, identity(), run(false, "a.LOG"), recipients));
    disk.records_end = read_journal(TestDirectory::read(path).view()).valid_length;
    std::vector<int64_t> ends;  // where each outcome record ends
    int most_off_disk = 0;
    for (int i = 0; i < kMessages; ++i) {
      ASSERT_TRUE(writer.attempt(i));
      disk.records_end += journal_attempt_record(i).length();
      most_off_disk = std::max(most_off_disk, disk.off_disk(ends));
      std::this_thread::sleep_for(std::chrono::microseconds(300));  // the server's answer
      // Counted as it is written: a sync from then on covers it.
      ends.push_back(disk.records_end += journal_outcome_record(i, JournalOutcome::kDelivered, 1,
                                                                250, 0, i).length());
      ASSERT_TRUE(writer.outcome(i, JournalOutcome::kDelivered, 1, 250, 0, i));
    }
    ASSERT_TRUE(writer.close());
    EXPECT_LE(most_off_disk, window);
    if (window > 1) {
      EXPECT_LT(disk.syncs.load(), kMessages / 2) << "outcomes were not gathered for a sync";
    }
    EXPECT_EQ(read_journal(TestDirectory::read(path).view()).count(JournalOutcome::kDelivered),
              kMessages);
  }
}

// Four messages at a time, each on a fiber of its own as a send over four
// connections has them, on a slow disk. Waiting for every outcome (as one
// connection does), no attempt goes out before every outcome written
// before it is on the disk; waiting for each connection's own last outcome
// (as several connections do), the attempt's own is on the disk and at
// most one of each other connection's is not. Either way the fibers wait
// for the syncs together, so outcomes share them.
TEST(SendJournal, OnFibersTheOutcomesOfSeveralMessagesShareASync) {
  constexpr int kFibers = 4, kEach = 6;
  for (bool per_connection : {false, true}) {
    SCOPED_TRACE(per_connection ? "each waits for its own" : "each waits for all");
    TestDirectory dir;
    const String path = dir / "news.journal";
    SlowDisk disk;
    JournalWriter writer;
    if (per_connection) writer.set_connections(kFibers);
    disk.attach(writer, 3);
    Vector<String> recipients;
    for (int i = 0; i < kFibers * kEach; ++i) {
      recipients.append(String::formatted("r%d@example.com", i));
    }
    ASSERT_TRUE(writer.create(path, identity(), run(false, "a.LOG"), recipients));
    disk.records_end = read_journal(TestDirectory::read(path).view()).valid_length;
    std::vector<int64_t> ends;  // where each outcome record written so far ends
    int early = 0;  // attempts written with more outcomes off the disk than allowed
    FiberLoop loop;
    for (int f = 0; f < kFibers; ++f) {
      ASSERT_TRUE(loop.start([&, f] {
        int64_t own = 0, own_end = 0;
        for (int k = 0; k < kEach; ++k) {
          const int index = f * kEach + k;
          ASSERT_TRUE(writer.attempt(index, per_connection ? own : -1));
          // Counted once written: a sync that starts meanwhile is not
          // taken for covering it.
          disk.records_end += journal_attempt_record(index).length();
          const int off_disk = disk.off_disk(ends);
          if (per_connection ? disk.covered.load() < own_end || off_disk > kFibers - 1
                             : off_disk > 0) {
            ++early;
          }
          sleep_until(FiberClock::now() + std::chrono::milliseconds(2));  // the server's answer
          // The record goes out at once, before any wait.
          own_end = disk.records_end +=
              journal_outcome_record(index, JournalOutcome::kDelivered, 1, 250, 0, index).length();
          ends.push_back(own_end);
          ASSERT_TRUE(writer.outcome(index, JournalOutcome::kDelivered, 1, 250, 0, index, &own));
        }
      }));
    }
    loop.run_until(nullptr);
    ASSERT_TRUE(writer.close());
    EXPECT_EQ(early, 0);
    EXPECT_LT(disk.syncs.load(), kFibers * kEach) << "no two outcomes shared a sync";
    JournalState state = read_journal(TestDirectory::read(path).view());
    EXPECT_EQ(state.count(JournalOutcome::kDelivered), kFibers * kEach);
  }
}

TEST(SendJournal, AFailedSyncStopsTheNextAttemptAndSaysWhy) {
  TestDirectory dir;
  JournalWriter writer;
  std::atomic<int> calls{0};
  // The sync of the new journal works; the disk fails after it.
  writer.set_sync_call([&](int fd) {
    if (++calls == 1) return fdatasync(fd);
    errno = EIO;
    return -1;
  });
  ASSERT_TRUE(writer.create(dir / "news.journal", identity(), run(false, "a.LOG"),
                            plan({"bob@example.com", "carol@example.com"})));
  ASSERT_TRUE(writer.attempt(0));
  writer.outcome(0, JournalOutcome::kDelivered, 1, 250, 0, 10);
  EXPECT_FALSE(writer.attempt(1));
  EXPECT_TRUE(writer.failed());
  EXPECT_EQ(writer.error(), "Unable to put the send journal on the disk: " + system_message(EIO));
  EXPECT_FALSE(writer.close());
  // No attempt of the second recipient: its message did not go out.
  JournalState state = read_journal(TestDirectory::read(dir / "news.journal").view());
  EXPECT_FALSE(state.entries[1].in_flight);
}

TEST(SendJournal, AResumeCutsOffATornRecordAndAppendsItsRun) {
  TestDirectory dir;
  String path = dir / "news.journal";
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.create(path, identity(), run(false, "a.LOG"),
                              plan({"bob@example.com", "carol@example.com"})));
    ASSERT_TRUE(writer.outcome(0, JournalOutcome::kDelivered, 1, 250, 0, 10));
    ASSERT_TRUE(writer.close());
  }
  // A kill in the middle of the next record's write.
  String bytes;
  ASSERT_TRUE(read_whole_file(path, bytes));
  String torn = journal_outcome_record(1, JournalOutcome::kDelivered, 1, 250, 0, 11);
  bytes.append(torn.c_str(), torn.length() / 2);
  ASSERT_TRUE(write_whole_file(path, bytes.c_str(), bytes.length()));

  JournalState state = read_journal(bytes.view());
  ASSERT_TRUE(state.damaged);
  EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kNone);
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.reopen(path, state, run(true, "b.LOG")));
    ASSERT_TRUE(writer.outcome(1, JournalOutcome::kDelivered, 1, 250, 0, 20));
    ASSERT_TRUE(writer.close());
  }
  ASSERT_TRUE(read_whole_file(path, bytes));
  state = read_journal(bytes.view());
  EXPECT_FALSE(state.damaged);
  ASSERT_EQ(state.runs.count(), 2);
  EXPECT_TRUE(state.runs[1].resumed);
  EXPECT_EQ(state.runs[1].log_name, "b.LOG");
  EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kDelivered);
  EXPECT_FALSE(state.unfinished());
}

// While a send runs the records go into room made ahead, so that an
// outcome's sync has no new file size to put on the disk; the room is
// what a killed program leaves after its records, a resume continues
// right after them, and a closed journal is its records alone.
TEST(SendJournal, RecordsGoIntoRoomMadeAheadThatClosingCutsOff) {
  TestDirectory dir;
  const String path = dir / "news.journal";
  auto size_of = [&] {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  };
  JournalWriter writer;
  ASSERT_TRUE(writer.create(path, identity(), run(false, "a.LOG"),
                            plan({"bob@example.com", "carol@example.com", "dave@example.com"})));
  const int64_t opened = size_of();
  ASSERT_TRUE(writer.attempt(0));
  ASSERT_TRUE(writer.outcome(0, JournalOutcome::kDelivered, 1, 250, 0, 10));
  ASSERT_TRUE(writer.attempt(1));
  ASSERT_TRUE(writer.outcome(1, JournalOutcome::kRefused, 1, 550, 0, 11));
  EXPECT_EQ(size_of(), opened);
  // What a kill -9 now would leave behind.
  String left = TestDirectory::read(path);
  JournalState state = read_journal(left.view());
  ASSERT_TRUE(state.valid);
  EXPECT_FALSE(state.damaged);
  EXPECT_GT(left.length(), state.valid_length);
  EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kDelivered);
  EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kRefused);
  ASSERT_TRUE(writer.close());
  EXPECT_EQ(size_of(), state.valid_length);

  // The resume of the killed send.
  ASSERT_TRUE(dir.put("news.journal", left));
  {
    JournalWriter resumed;
    ASSERT_TRUE(resumed.reopen(path, state, run(true, "b.LOG")));
    ASSERT_TRUE(resumed.attempt(2));
    ASSERT_TRUE(resumed.outcome(2, JournalOutcome::kDelivered, 1, 250, 0, 20));
    ASSERT_TRUE(resumed.close());
  }
  String bytes = TestDirectory::read(path);
  JournalState again = read_journal(bytes.view());
  EXPECT_FALSE(again.damaged);
  EXPECT_EQ(again.valid_length, static_cast<int64_t>(bytes.length()));
  ASSERT_EQ(again.runs.count(), 2);
  EXPECT_EQ(again.count(JournalOutcome::kDelivered), 2);
  EXPECT_FALSE(again.unfinished());
  // Past the room, more is made as the records need it.
  {
    JournalWriter grows;
    ASSERT_TRUE(grows.reopen(path, again, run(true, "c.LOG")));
    const std::string recipient(1000, 'x');
    const int count = static_cast<int>(kJournalRoom / 1000) * 3;
    for (int i = 0; i < count; ++i) ASSERT_TRUE(grows.add_plan(3 + i, recipient));
    ASSERT_TRUE(grows.close());
  }
  bytes = TestDirectory::read(path);
  JournalState grown = read_journal(bytes.view());
  EXPECT_FALSE(grown.damaged);
  EXPECT_EQ(grown.valid_length, static_cast<int64_t>(bytes.length()));
  EXPECT_EQ(grown.entries.count(), 3 + static_cast<int>(kJournalRoom / 1000) * 3);
}

TEST(SendJournal, AJournalIsNeverCreatedOverAnotherAndFailuresSayWhy) {
  TestDirectory dir;
  String path = dir / "news.journal";
  ASSERT_TRUE(dir.put("news.journal", "kept"));
  JournalWriter writer;
  EXPECT_FALSE(writer.create(path, identity(), run(false, "a.LOG"), plan({"bob@example.com"})));
  EXPECT_TRUE(writer.failed());
  EXPECT_NE(writer.error().find("Unable to create the send journal"), -1) << writer.error().c_str();
  EXPECT_EQ(dir.get("news.journal"), "kept");
  // Nothing goes in after a failure.
  EXPECT_FALSE(writer.outcome(0, JournalOutcome::kDelivered, 1, 250, 0, 1));
}

TEST(SendJournal, SendIdsDiffer) {
  String a = make_send_id(), b = make_send_id();
  EXPECT_EQ(a.length(), 32);
  EXPECT_FALSE(a == b);
  JournalIdentity id = identity();
  id.send_id = a;
  JournalIdentity back;
  String head = magic() + journal_identity_record(id);
  ASSERT_TRUE(read_journal_identity(head.view(), &back));
  EXPECT_EQ(back.send_id, a);
}

}  // namespace
}  // namespace tessaline
