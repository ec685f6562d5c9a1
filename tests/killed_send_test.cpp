// A send of a few hundred recipients killed with SIGKILL again and again,
// each time at a random moment, and resumed after each kill until a
// resume finishes by itself. Afterwards every recipient has its message,
// and every message the server got twice is one that a kill caught between
// the server's acceptance and the journal's outcome record: the journal
// held the message in flight (its end of data out, no outcome) and the
// server already had it.
//
// The send goes over one connection, and over four at once: with four, a
// kill may catch up to four messages in that window.
//
// The moments come from a seeded generator. The seed is printed; set
// TESSALINE_KILL_SEED to it to replay a failure's kill points.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/recording_ui.h"
#include "storage/find_file.h"
#include "storage/paths.h"
#include "storage/test_directory.h"
#include "send/send_journal.h"
#include "app/application.h"
#include "tests/program_run.h"
#include "tests/smtp_recorder.h"

namespace tessaline {
namespace {

// Enough recipients that each kill, which lets at most kMaxAhead + 2 new
// messages through, leaves more than kMinKills kills to go.
constexpr int kRecipients = 300;
constexpr int kMinKills = 20;
constexpr int kMaxAhead = 8;
constexpr int kMaxExtraMicros = 3000;
constexpr int kTimeBudgetSeconds = 120;

String address(int i) { return String::formatted("reader%03d@example.com", i); }

// Whether a connection to `port` of 127.0.0.1 is still open on the
// server's side (established, or closed by the peer but not yet by the
// server). While one is, the server may still write a message that the
// killed program sent it before it died.
bool server_has_open_connection(int port) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);  // the heading
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0 &&
        (state == "01" || state == "08")) {
      return true;
    }
  }
  return false;
}

bool ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

struct Kill {
  int run = 0;
  int ahead = 0;   // new messages the server had to receive first
  int micros = 0;  // then this long before the signal
  JournalState journal;  // as the killed run left it
  std::vector<String> received;  // every recipient the server had by then, in order
};

class KilledSend : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok() && work_.ok());
    setenv("TESSALINE_HOME", home_.path().c_str(), 1);
    ASSERT_TRUE(server_.start(work_ / "received")) << server_.error().c_str();
    ASSERT_TRUE(home_.put("registry.reg",
                          "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork]\r\n"
                          "\"SMTP_Server\"=\"127.0.0.1\"\r\n"));
    String list;
    for (int i = 1; i <= kRecipients; ++i) list += address(i) + "\n";
    ASSERT_TRUE(work_.put("readers.txt", list));
    RecordingUi ui;
    Application app(ui);
    ASSERT_TRUE(app.new_project());
    Project& p = app.fields();
    p.set_text("from", "Ann Sender <ann@example.com>");
    p.set_text("subject", "News");
    p.set_flag("use_body_text", true);
    p.set_text("body", "To [[-Email-]].");
    p.set_flag("use_recipient_file", true);
    p.set_text("recipient_file", work_ / "readers.txt");
    p.set_text("SMTPport", String::formatted("%d", server_.port()));
    p.set_flag("Recycle", true);
    ASSERT_TRUE(app.save_project_as(work_ / "news.zqj"));
    ASSERT_TRUE(app.close_project());
  }

  // The one journal of the project's send.
  JournalState journal() {
    Vector<String> found;
    list_files(join_path(home_ / "sends", "news-*.journal"), found, true);
    if (found.count() != 1) return JournalState();
    String bytes = TestDirectory::read(join_path(home_ / "sends", found[0]));
    return read_journal(bytes.view());
  }

  // The server's messages so far, one recipient each.
  std::vector<String> received() {
    std::vector<String> all;
    for (const auto& m : server_.messages()) {
      EXPECT_EQ(m.recipients.size(), 1u);
      for (const String& r : m.recipients) all.push_back(r);
    }
    return all;
  }

  bool has_message(int n) {
    return access((work_ / "received" + String::formatted("/%d.eml", n)).c_str(), F_OK) == 0;
  }

  TestDirectory home_;
  TestDirectory work_;
  SmtpRecorder server_;
};

TEST_P(KilledSend, EveryRecipientGetsItsMessageAndEachDuplicateIsAKillInTheWindow) {
  const int connections = GetParam();
  unsigned seed = std::random_device{}();
  if (const char* given = std::getenv("TESSALINE_KILL_SEED")) {
    seed = static_cast<unsigned>(std::strtoul(given, nullptr, 10));
  }
  std::printf("kill seed %u (TESSALINE_KILL_SEED=%u replays it)\n", seed, seed);
  std::fflush(stdout);
  SCOPED_TRACE(testing::Message() << "TESSALINE_KILL_SEED=" << seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> ahead_of(0, kMaxAhead);
  std::uniform_int_distribution<int> micros_of(0, kMaxExtraMicros);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeBudgetSeconds);
  auto seconds_left = [&] {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now())
            .count());
  };
  std::vector<Kill> kills;
  bool finished = false;
  for (int run = 1; !finished; ++run) {
    ASSERT_GT(seconds_left(), 0) << "the killed send had not finished after " << kTimeBudgetSeconds
                                 << " s: " << kills.size() << " kills, "
                                 << journal().count(JournalOutcome::kDelivered) << " delivered";
    Kill kill_at;
    kill_at.run = run;
    // The first run is killed only once it has sent something, so that
    // its journal is there to resume.
    kill_at.ahead = std::max(run == 1 ? 1 : 0, ahead_of(random));
    kill_at.micros = micros_of(random);
    const int before = static_cast<int>(server_.messages().size());
    bool signalled = false;

    ProgramRun r;
    r.args = {run == 1 ? "-s" : "--resume", "--connections", String::formatted("%d", connections),
              "news"};
    r.directory = work_.path();
    r.home = home_.path();
    r.environment = {{"HOME", home_.path()}, {"XDG_CONFIG_HOME", home_.path()}};
    r.time_limit_seconds = std::max(1, seconds_left());
    r.started = [&](pid_t pid) {
      // The server's n-th message shows as a whole file before it answers.
      while (!has_message(before + kill_at.ahead)) {
        if (ended(pid) || std::chrono::steady_clock::now() > deadline) return;
        usleep(200);
      }
      usleep(kill_at.micros);
      kill(pid, SIGKILL);
      signalled = true;
    };
    ProgramResult result = run_program(r);
    if (result.status == 0) {
      // It ended by itself, a kill perhaps too late to matter.
      ASSERT_NE(run, 1) << "the first run was to be killed";
      finished = true;
      continue;
    }
    ASSERT_TRUE(signalled && result.status == -1)
        << "run " << run << " ended with status " << result.status << ":\n" << result.err.c_str();
    // Whatever the killed program had sent reaches the server's files
    // before the server lets go of its connection.
    while (server_has_open_connection(server_.port()) && seconds_left() > 0) usleep(1000);
    kill_at.journal = journal();
    kill_at.received = received();
    ASSERT_TRUE(kill_at.journal.valid) << "run " << run << " left no journal";
    kills.push_back(std::move(kill_at));
  }
  EXPECT_GE(static_cast<int>(kills.size()), kMinKills);

  // The last resume finished the send: everyone delivered, in the journal.
  JournalState last = journal();
  ASSERT_TRUE(last.valid && last.plan_complete);
  EXPECT_FALSE(last.unfinished());
  ASSERT_EQ(last.entries.count(), kRecipients);
  EXPECT_EQ(last.count(JournalOutcome::kDelivered), kRecipients);

  // Zero lost: every recipient has at least one message, and no one else
  // got any.
  const std::vector<String> all = received();
  std::map<std::string, int> copies;
  for (const String& r : all) ++copies[r.std_string()];
  for (int i = 1; i <= kRecipients; ++i) {
    EXPECT_GE(copies[address(i).std_string()], 1) << address(i).c_str() << " got nothing";
  }
  EXPECT_EQ(copies.size(), static_cast<size_t>(kRecipients));

  // After each kill: what the journal held as delivered, the server had;
  // and what it held as done was never sent again.
  for (const Kill& k : kills) {
    std::map<std::string, int> had;
    for (const String& r : k.received) ++had[r.std_string()];
    for (const JournalEntry& entry : k.journal.entries) {
      if (entry.outcome == JournalOutcome::kDelivered) {
        EXPECT_GE(had[entry.recipient.std_string()], 1)
            << "run " << k.run << ": the journal says delivered, the server has nothing: "
            << entry.recipient.c_str();
      }
      if (is_final(entry.outcome)) {
        EXPECT_EQ(copies[entry.recipient.std_string()], had[entry.recipient.std_string()])
            << "sent again after run " << k.run << " recorded it as done: "
            << entry.recipient.c_str();
      }
    }
  }

  // Each duplicate explained: for the second (third, ...) copy of a
  // recipient there is a kill after which the journal had the recipient in
  // flight without an outcome while the server already had the copy
  // before; each kill explains one copy per connection at most.
  int duplicates = 0;
  std::map<std::string, int> seen;
  std::vector<int> used(kills.size(), 0);
  for (const String& r : all) {
    int copy = ++seen[r.std_string()];
    if (copy == 1) continue;
    ++duplicates;
    bool explained = false;
    for (size_t k = 0; k < kills.size() && !explained; ++k) {
      if (used[k] == connections) continue;
      int had = 0;
      for (const String& earlier : kills[k].received) had += earlier == r;
      const JournalEntry* entry = nullptr;
      for (const JournalEntry& e : kills[k].journal.entries) {
        if (e.recipient == r) entry = &e;
      }
      if (had == copy - 1 && entry && entry->in_flight && !is_final(entry->outcome)) {
        ++used[k];
        explained = true;
      }
    }
    EXPECT_TRUE(explained) << r.c_str() << " got copy " << copy
                           << " without a kill between acceptance and the journal's record";
  }
  std::printf("%d connection(s): %zu kills, %d recipients, %d messages; %d duplicates, each a "
              "kill between the server's acceptance and the journal's record\n",
              connections, kills.size(), kRecipients, static_cast<int>(all.size()), duplicates);
  EXPECT_LE(duplicates, static_cast<int>(kills.size()) * connections);
  EXPECT_EQ(static_cast<int>(all.size()), kRecipients + duplicates);
}

INSTANTIATE_TEST_SUITE_P(Connections, KilledSend, testing::Values(1, 4));

}  // namespace
}  // namespace tessaline
