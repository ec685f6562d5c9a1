// Tests of the send's tries of a message that failed for now, against a
// real SMTP server (aiosmtpd on 127.0.0.1) whose answers are scripted per
// step: what the server saw and received, the send log, the waits the send
// asked its environment for (none of them real), and the journal, which
// must hold exactly one outcome per recipient whatever the tries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "storage/paths.h"
#include "send/send_journal.h"
#include "send/send_operation.h"
#include "send/test_environment.h"

namespace tessaline {
namespace {

using testing::SmtpTestServer;
using testing::TestEnvironment;
using Kind = RecordingUi::EventKind;

constexpr char kLater[] = "451 4.3.0 Try again later";

class RetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::set_up_unattended_send(env_);
    // Only the waits move the clock: they are the send's whole schedule.
    env_.clock_step_ms = 0;
  }

  void start(const std::vector<std::string>& replies, bool pipelining = false) {
    std::string error;
    ASSERT_TRUE(server_.start(&error, pipelining, replies)) << error;
    project().set(kFieldSmtpPort, String::formatted("%d", server_.port()));
  }

  testing::MemoryProject& project() { return env_.project_values; }
  RecordingUi& ui() { return env_.recorder; }
  void recipients(const char* lines) { project().set(kFieldRecipientText, lines); }

  std::vector<std::string> delivered_to() const {
    std::vector<std::string> to;
    for (const auto& m : server_.received()) {
      for (const std::string& r : m.rcpt_to) to.push_back(r);
    }
    return to;
  }

  // The steps the server answered with this word ("ehlo", "rcpt 451"),
  // and the client ports of its greetings: one per connection.
  int steps(const std::string& step) const {
    int n = 0;
    for (const std::string& line : server_.steps()) {
      if (line.substr(line.find(' ') + 1) == step) ++n;
    }
    return n;
  }
  std::set<std::string> connections() const {
    std::set<std::string> ports;
    for (const std::string& line : server_.steps()) {
      if (line.size() > 5 && line.compare(line.size() - 5, 5, " ehlo") == 0) {
        ports.insert(line.substr(0, line.find(' ')));
      }
    }
    return ports;
  }

  JournalState journal() { return testing::checked_last_send(send_); }

  int64_t longest_slice() const {
    int64_t longest = 0;
    for (int64_t ms : env_.slept_ms) longest = std::max(longest, ms);
    return longest;
  }

  static std::string refused_for_now(const char* recipient, const char* reply = kLater) {
    return std::string("SMTP Error 4590\nInvalid response to recipient ") + recipient + "\r\n" +
           reply + "\r\n";
  }

  TestEnvironment env_;
  SendOperation send_{env_};
  SmtpTestServer server_;
};

// A server that refuses for now at one step, then takes the message: it
// arrives once, after a try per refusal, each on a new connection, with
// the waits of the policy (30 s, then 60 s, each drawn at the middle of its
// jitter: 22.5 s and 45 s).
TEST_F(RetryTest, AMessageRefusedForNowIsTriedAgainUntilItIsTaken) {
  struct Case {
    const char* name;
    std::vector<std::string> replies;
    bool pipelining;
    std::string first_error;
  };
  const std::string closing = "421 4.3.2 Closing: try later";
  const Case cases[] = {
      {"recipient refused twice", {std::string("rcpt=") + kLater + "," + kLater}, false,
       refused_for_now("ann@example.com")},
      {"recipient refused twice, pipelined", {std::string("rcpt=") + kLater + "," + kLater}, true,
       refused_for_now("ann@example.com")},
      {"end of the data refused twice", {std::string("eod=") + kLater + "," + kLater}, false,
       std::string("SMTP Error 4640\nInvalid response to end of body:\r\n") + kLater + "\r\n"},
      {"sender refused with a closed connection, twice", {"mail=" + closing + "," + closing}, false,
       "SMTP Error 4570\nInvalid response to originator:\r\n" + closing + "\r\n"},
      {"the same, pipelined", {"mail=" + closing + "," + closing}, true,
       "SMTP Error 4570\nInvalid response to originator:\r\n" + closing + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    env_.slept_ms.clear();
    ui().send_reports.clear();
    server_.stop();
    server_.clear();
    start(c.replies, c.pipelining);
    recipients("ann@example.com");
    // The journal as a kill during a wait would leave it: the message
    // was answered, so it is not in flight (a resume would warn that it
    // may arrive twice).
    int waits_in_flight = 0;
    env_.during_sleep = [&](int64_t) {
      String path;
      JournalState now;
      if (send_.last_send(&path, &now) && now.entries.count() == 1 && now.entries[0].in_flight) {
        ++waits_in_flight;
      }
    };
    EXPECT_TRUE(send_.send());
    env_.during_sleep = nullptr;
    EXPECT_EQ(waits_in_flight, 0);
    EXPECT_EQ(delivered_to(), std::vector<std::string>{"ann@example.com"});
    EXPECT_EQ(connections().size(), 3u) << "a new connection for each try";
    std::string log = env_.log();
    std::string tries = "Sending ann@example.com :\r\n" + c.first_error +
                        "Failed for now (try 1 of 4): trying again in 23 s\r\n\r\n"
                        "Sending ann@example.com (try 2 of 4) :\r\n" + c.first_error +
                        "Failed for now (try 2 of 4): trying again in 45 s\r\n\r\n"
                        "Sending ann@example.com (try 3 of 4) : success\r\n";
    EXPECT_NE(log.find(tries), std::string::npos) << log;
    EXPECT_NE(log.find("1 sent successfully, 0 errors"), std::string::npos) << log;
    EXPECT_EQ(env_.total_slept(), 22500 + 45000);
    EXPECT_LE(longest_slice(), SendOperation::kWaitSliceMs);
    // The send's line says what it waits for, counting down, and then
    // no longer.
    std::vector<std::string> waits;
    for (const SendProgress& p : ui().send_reports) {
      if (!p.waiting.empty() && (waits.empty() || waits.back() != p.waiting.std_string())) {
        waits.push_back(p.waiting.std_string());
      }
    }
    ASSERT_GE(waits.size(), 3u);
    EXPECT_EQ(waits.front(), "retry 2 of 4 in 23 s");
    EXPECT_EQ(waits[1], "retry 2 of 4 in 22 s");
    EXPECT_EQ(waits.back(), "retry 3 of 4 in 1 s");
    EXPECT_NE(std::find(waits.begin(), waits.end(), "retry 3 of 4 in 45 s"), waits.end());
    ASSERT_FALSE(ui().send_reports.empty());
    EXPECT_TRUE(ui().send_reports[ui().send_reports.count() - 1].waiting.empty());
    JournalState state = journal();
    ASSERT_EQ(state.entries.count(), 1);
    EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kDelivered);
    EXPECT_EQ(state.entries[0].tries, 3);
    EXPECT_FALSE(state.unfinished());
  }
}

// What is not tried again: a refusal for good, and a message whose end of
// data went out without an answer (the server kept it here: another try
// would have delivered it twice).
TEST_F(RetryTest, ARefusalForGoodOrAnUnansweredEndOfDataIsNotTriedAgain) {
  struct Case {
    const char* name;
    std::string replies;
    std::string logged;
    std::vector<std::string> delivered;
    JournalOutcome outcome;
    bool in_flight;
  };
  const Case cases[] = {
      {"recipient refused for good", "rcpt=550 5.1.1 No such user",
       "Sending ann@example.com :\r\n" + refused_for_now("ann@example.com",
                                                         "550 5.1.1 No such user") + "\r\n",
       {}, JournalOutcome::kRefused, false},
      {"end of data unanswered", "eod=drop",
       "The end of the message went out but no answer came: the server may have taken it, so "
       "it is not tried again.\r\n\r\n",
       {"ann@example.com"}, JournalOutcome::kNone, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.stop();
    server_.clear();
    start({c.replies});
    recipients("ann@example.com\nbob@example.com");
    EXPECT_FALSE(send_.send());
    std::vector<std::string> delivered = c.delivered;
    delivered.push_back("bob@example.com");
    EXPECT_EQ(delivered_to(), delivered);
    std::string log = env_.log();
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed for now"), std::string::npos) << log;
    EXPECT_EQ(log.find("(try 2 of"), std::string::npos) << log;
    EXPECT_TRUE(env_.slept_ms.empty());
    JournalState state = journal();
    ASSERT_EQ(state.entries.count(), 2);
    EXPECT_EQ(state.entries[0].outcome, c.outcome);
    EXPECT_EQ(state.entries[0].in_flight, c.in_flight);
    EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kDelivered);
  }
}

TEST_F(RetryTest, AStopDuringTheWaitEndsTheTriesAndTheSend) {
  start({std::string("rcpt=") + kLater + "," + kLater + "," + kLater});
  recipients("ann@example.com\nbob@example.com");
  // The person stops the send while it waits for ann's second try.
  env_.during_sleep = [&](int64_t) {
    if (env_.slept_ms.size() == 3) ui().abort_progress_at(1);
  };
  EXPECT_FALSE(send_.send());
  EXPECT_TRUE(delivered_to().empty());
  std::string log = env_.log();
  EXPECT_NE(log.find("Failed for now (try 1 of 4): trying again in 23 s\r\n\r\nUser aborted "
                     "while waiting to try again: message not sent\r\n\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("bob@example.com\r\nUser aborted: message not sent\r\n"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("(try 2 of"), std::string::npos) << log;
  // It stopped within a slice of the stop, not at the end of the wait.
  EXPECT_EQ(env_.slept_ms.size(), 3u);
  EXPECT_LT(env_.total_slept(), 22500);
  JournalState state = journal();
  ASSERT_EQ(state.entries.count(), 2);
  EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kFailed);
  EXPECT_EQ(state.entries[0].tries, 1);
  EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kNone);
  EXPECT_TRUE(state.unfinished());
}

// The tries a message gets: as many as SendTries, fewer when the time to
// give up comes first (no try begins after it).
TEST_F(RetryTest, AMessageIsTriedAsOftenAsTheSettingsAllow) {
  struct Case {
    const char* name;
    int tries;
    int give_up_seconds;
    int tried;
    const char* last_line;
  };
  const Case cases[] = {
      {"four tries", 4, 1800, 4, "Failed for now on each of its 4 tries: message not sent\r\n"},
      {"two tries", 2, 1800, 2, "Failed for now on each of its 2 tries: message not sent\r\n"},
      // 22.5 s fit within 40 s, 22.5 + 45 s do not.
      {"given up after 40 s", 4, 40, 2,
       "Failed for now on each of its 2 tries: message not sent\r\n"},
      {"no time to try again", 4, 10, 1,
       "Failed for now, and no time is left to try again: message not sent\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.stop();
    server_.clear();
    start({"rcpt=" + std::string(kLater) + "," + kLater + "," + kLater + "," + kLater});
    env_.settings.retry.tries = c.tries;
    env_.settings.retry.give_up_seconds = c.give_up_seconds;
    recipients("ann@example.com");
    EXPECT_FALSE(send_.send());
    EXPECT_TRUE(delivered_to().empty());
    EXPECT_EQ(steps("rcpt 451"), c.tried);
    std::string log = env_.log();
    EXPECT_NE(log.find(refused_for_now("ann@example.com") + c.last_line + "\r\n"),
              std::string::npos)
        << log;
    JournalState state = journal();
    ASSERT_EQ(state.entries.count(), 1);
    EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kFailed);
    EXPECT_EQ(state.entries[0].tries, c.tried);
    EXPECT_EQ(state.entries[0].reply_code, 451);
  }
}

// A server that goes away in the middle of a send (it delivered the first
// message) is waited for: each message is tried as often as usual, and
// only three messages in a row that could not reach it stop the send.
// (One never reached at all stops it at the first message.)
TEST_F(RetryTest, AServerLostDuringTheSendIsTriedAgainBeforeTheSendStops) {
  start({});
  const int port = server_.port();
  env_.settings.message_pause_ms = 1;
  env_.during_sleep = [&](int64_t) { server_.stop(); };  // after the first message
  recipients("ann@example.com\nbob@example.com\ncarol@example.com\ndave@example.com\n"
             "erin@example.com");
  EXPECT_FALSE(send_.send());
  env_.during_sleep = nullptr;
  std::string log = env_.log();
  EXPECT_NE(log.find("Sending ann@example.com : success\r\n"), std::string::npos) << log;
  const std::string refused = "SMTP Error 4515\nUnable to connect to server 127.0.0.1:" +
                              std::to_string(port) + ": Connection refused\r\n";
  for (const char* r : {"bob", "carol", "dave"}) {
    EXPECT_NE(log.find("Sending " + std::string(r) + "@example.com (try 4 of 4) :\r\n" + refused +
                       "Failed for now on each of its 4 tries: message not sent\r\n"),
              std::string::npos)
        << r << "\n" << log;
  }
  EXPECT_NE(log.find("The SMTP server 127.0.0.1:" + std::to_string(port) +
                     " could not be reached or used for 3 messages in a row, so the send stops "
                     "here: the messages after this one are not sent.\r\n\r\nerin@example.com: "
                     "accepted\r\nerin@example.com\r\nSend stopped: message not sent\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find(" could not be reached, so"), std::string::npos) << log;
  JournalState state = journal();
  ASSERT_EQ(state.entries.count(), 5);
  EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kDelivered);
  EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kFailed);
  EXPECT_EQ(state.entries[1].tries, 4);
  EXPECT_EQ(state.entries[4].outcome, JournalOutcome::kNone);
}

// A kept connection is opened before the messages are made: a server
// that answered it and is gone by the first message was reached, and is
// tried again like one lost later.
TEST_F(RetryTest, AServerThatAnsweredTheKeptConnectionIsTriedAgain) {
  start({});
  project().set(kFieldSendMode, String::formatted("%d", SendOperation::kNormal));
  env_.review_answers = {true};
  env_.during_review = [&](SendOperation&) { server_.stop(); };
  recipients("ann@example.com\nbob@example.com");
  EXPECT_FALSE(send_.send());
  std::string log = env_.log();
  for (const char* r : {"ann", "bob"}) {
    EXPECT_NE(log.find("Sending " + std::string(r) + "@example.com (try 4 of 4) :"),
              std::string::npos)
        << r << "\n" << log;
  }
  EXPECT_EQ(log.find(" could not be reached, so"), std::string::npos) << log;
  EXPECT_TRUE(delivered_to().empty());
}

// A server that refuses every message for now: after three messages that
// used up their tries the send pauses for twice the longest wait, twice,
// and then stops, leaving the rest to a resume.
TEST_F(RetryTest, AServerThatKeepsRefusingPausesTheSendAndThenStopsIt) {
  std::string refusals = "rcpt=" + std::string(kLater);
  for (int i = 1; i < 40; ++i) refusals += std::string(",") + kLater;
  start({refusals});
  env_.settings.retry.tries = 2;
  recipients("a@example.com\nb@example.com\nc@example.com\nd@example.com\ne@example.com\n"
             "f@example.com\ng@example.com\nh@example.com\ni@example.com\nj@example.com");
  EXPECT_FALSE(send_.send());
  EXPECT_TRUE(delivered_to().empty());
  EXPECT_EQ(steps("rcpt 451"), 9 * 2);
  std::string where = "127.0.0.1:" + std::to_string(server_.port());
  std::string pause = "The SMTP server " + where +
                      " refused the last 3 messages for now on every try: the send pauses for 20 "
                      "min before the next one.\r\n\r\n";
  std::string stop = "The SMTP server " + where +
                     " refused 3 messages in a row for now on every try, also after 2 pauses, so "
                     "the send stops here: the messages after this one are not sent.";
  std::string log = env_.log();
  // The pauses come before the fourth and the seventh message.
  size_t first = log.find(pause);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_LT(log.find("Sending c@example.com"), first);
  EXPECT_GT(log.find("Sending d@example.com"), first);
  size_t second = log.find(pause, first + 1);
  ASSERT_NE(second, std::string::npos) << log;
  EXPECT_GT(log.find("Sending g@example.com"), second);
  EXPECT_EQ(log.find(pause, second + 1), std::string::npos) << log;
  EXPECT_NE(log.find(stop + "\r\n\r\nj@example.com: accepted\r\nj@example.com\r\nSend stopped: "
                            "message not sent\r\n"),
            std::string::npos)
      << log;
  const RecordingUi::Event* shown = ui().last(Kind::kError);
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->message.std_string(), stop);
  // Each message waited once (22.5 s), and the send twice for 1200 s.
  EXPECT_EQ(env_.total_slept(), 9 * 22500 + 2 * 1200000);
  JournalState state = journal();
  ASSERT_EQ(state.entries.count(), 10);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(state.entries[i].outcome, JournalOutcome::kFailed) << i;
  EXPECT_EQ(state.entries[9].outcome, JournalOutcome::kNone);
  EXPECT_TRUE(state.unfinished());
}

}  // namespace
}  // namespace tessaline
