// Tests of a send over several connections at once, against a real SMTP
// server (aiosmtpd on 127.0.0.1) that holds each message a while at the end
// of its data, so that the connections overlap: what the server received
// (each recipient exactly once), how many connections it saw and how many
// messages it held at once, the send log (in recipient order, each
// message's lines together), the journal, and what an abort and a failing
// connection leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "mail/smtp_client.h"
#include "mail/smtp_server.h"
#include "mail/testing/test_servers.h"
#include "send/send_journal.h"
#include "send/send_operation.h"
#include "send/test_environment.h"

namespace tessaline {
namespace {

using testing::SmtpTestServer;
using testing::TestEnvironment;

// The server's wait at each end of data: long enough for all four
// connections to be under way before the first message is taken, on a
// slow machine too; where they are not, fewer connections carry the send,
// which the tests allow (a free connection is used before a new one is
// made).
constexpr int kHoldMs = 300;

class LanesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::set_up_unattended_send(env_);
    env_.clock_step_ms = 0;
    env_.settings.connections = 4;
    std::string list;
    for (int i = 1; i <= 12; ++i) {
      everyone_.push_back("r" + std::to_string(i) + "@example.com");
      list += everyone_.back() + "\n";
    }
    project().set(kFieldRecipientText, String(list.c_str()));
  }

  void start(const std::vector<std::string>& replies = {}) {
    std::string error;
    ASSERT_TRUE(server_.start(&error, /*pipelining=*/true, replies, kHoldMs)) << error;
    project().set(kFieldSmtpPort, String::formatted("%d", server_.port()));
  }

  testing::MemoryProject& project() { return env_.project_values; }
  void use_mode(int mode) {
    project().set(kFieldSendMode, String::formatted("%d", mode));
    env_.review_answers = {true};
  }

  std::vector<std::string> delivered_to() const {
    std::vector<std::string> to;
    for (const auto& m : server_.received()) {
      for (const std::string& r : m.rcpt_to) to.push_back(r);
    }
    return to;
  }
  static std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  size_t connections() const {
    std::set<std::string> ports;
    for (const std::string& line : server_.steps()) {
      if (line.size() > 5 && line.compare(line.size() - 5, 5, " ehlo") == 0) {
        ports.insert(line.substr(0, line.find(' ')));
      }
    }
    return ports.size();
  }

  // The log's messages in its order: each "Sending X" (first tries only)
  // with what its lines end in.
  struct Logged {
    std::string recipient;
    std::string lines;  // from "Sending" to the next message's
  };
  std::vector<Logged> logged() const {
    const std::string log = env_.log();
    std::vector<Logged> out;
    std::regex sending("Sending ([^ ]+) :");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), sending);
         it != std::sregex_iterator(); ++it) {
      out.push_back({(*it)[1].str(), ""});
      size_t from = static_cast<size_t>(it->position());
      const std::string retry = "Sending " + out.back().recipient + " (try ";
      size_t to = log.find("Sending ", from + 1);
      while (to != std::string::npos && log.compare(to, retry.size(), retry) == 0) {
        to = log.find("Sending ", to + 1);
      }
      out.back().lines = log.substr(from, to == std::string::npos ? std::string::npos : to - from);
    }
    return out;
  }

  JournalState journal() { return testing::checked_last_send(send_); }

  std::vector<std::string> everyone_;
  TestEnvironment env_;
  SendOperation send_{env_};
  SmtpTestServer server_;
};

TEST_F(LanesTest, FourConnectionsDeliverAtOnceEachMessageOnceAndTheLogInRecipientOrder) {
  start();
  for (int mode : {SendOperation::kNoPreview, SendOperation::kNormal}) {
    SCOPED_TRACE(mode);
    server_.clear();
    use_mode(mode);
    // A message's commands sent ahead with the end of the one before on
    // the same connection show as MAIL FROM right after "." in that
    // connection's lines of the trace, which each begin with its label.
    int ahead = 0, unlabelled = 0;
    std::map<std::string, bool> after_end;  // by label
    set_smtp_trace([&](std::string_view line) {
      std::string label;
      if (line.size() > 4 && line[0] == '[' && line.find("] ") != std::string_view::npos) {
        label = std::string(line.substr(0, line.find("] ") + 2));
        line.remove_prefix(label.size());
      }
      if (line.substr(0, 13) == "-> MAIL FROM:") {
        if (after_end[label]) ++ahead;
        if (label.empty()) ++unlabelled;
      }
      after_end[label] = line == "-> .";
    });
    ASSERT_TRUE(send_.send());
    set_smtp_trace(nullptr);
    EXPECT_GT(ahead, 0) << "no connection sent the next message's commands ahead";
    EXPECT_EQ(unlabelled, 0) << "a message's lines in the trace without its connection's label";
    after_end.erase("");  // the connection opened before the send began
    EXPECT_EQ(after_end.size(), connections());
    EXPECT_EQ(sorted(delivered_to()), sorted(everyone_));
    // More would mean a connection was given a message other than the one
    // whose commands it had sent ahead, and had to start again.
    EXPECT_LE(connections(), 4u) << "more connections than asked for";
    EXPECT_GE(server_.busiest(), 2) << "the connections did not overlap";
    EXPECT_LE(static_cast<size_t>(server_.busiest()), connections());

    std::vector<Logged> log = logged();
    ASSERT_EQ(log.size(), everyone_.size()) << env_.log();
    for (size_t i = 0; i < log.size(); ++i) {
      EXPECT_EQ(log[i].recipient, everyone_[i]);
      EXPECT_EQ(log[i].lines.substr(0, log[i].lines.find("\r\n") + 2),
                "Sending " + everyone_[i] + " : success\r\n");
    }
    EXPECT_NE(env_.log().find("12 sent successfully, 0 errors"), std::string::npos) << env_.log();

    JournalState state = journal();
    ASSERT_EQ(state.entries.count(), 12);
    for (const JournalEntry& entry : state.entries) {
      EXPECT_EQ(entry.outcome, JournalOutcome::kDelivered) << entry.recipient.c_str();
    }
    EXPECT_FALSE(state.unfinished());
    const SendProgress& last = env_.recorder.send_reports[env_.recorder.send_reports.count() - 1];
    EXPECT_EQ(last.sent, 12);
    EXPECT_EQ(last.done, 12);
  }
}

// One connection is closed by the server ("421") at its first MAIL FROM:
// that message is tried again on a new connection, the others go on over
// theirs, and nothing is lost or sent twice. A refused recipient keeps its
// place in the log.
TEST_F(LanesTest, AFailingConnectionLosesNothingAndARefusalKeepsItsPlace) {
  everyone_[5] = "refused6@example.com";
  std::string list;
  for (const std::string& r : everyone_) list += r + "\n";
  project().set(kFieldRecipientText, String(list.c_str()));
  for (int mode : {SendOperation::kNoPreview, SendOperation::kNormal}) {
    SCOPED_TRACE(mode);
    server_.stop();
    server_.clear();
    start({"mail=421 4.3.2 Closing: try later"});
    use_mode(mode);
    EXPECT_FALSE(send_.send());  // one message was refused
    std::vector<std::string> expected = everyone_;
    expected.erase(expected.begin() + 5);
    EXPECT_EQ(sorted(delivered_to()), sorted(expected));
    // The connection the server closed carried nothing more; the message
    // went again on another.
    std::string closed;
    for (const std::string& line : server_.steps()) {
      if (line.find(" mail 421") != std::string::npos) closed = line.substr(0, line.find(' '));
    }
    ASSERT_FALSE(closed.empty());
    for (const auto& m : server_.received()) EXPECT_NE(std::to_string(m.peer_port), closed);
    EXPECT_LE(connections(), 5u);

    std::vector<Logged> log = logged();
    ASSERT_EQ(log.size(), everyone_.size()) << env_.log();
    int retried = 0;
    for (size_t i = 0; i < log.size(); ++i) {
      EXPECT_EQ(log[i].recipient, everyone_[i]);
      if (i == 5) {
        EXPECT_NE(log[i].lines.find("SMTP Error 4590"), std::string::npos) << log[i].lines;
        continue;
      }
      if (log[i].lines.find("(try 2 of 4) : success") != std::string::npos) {
        ++retried;
        EXPECT_NE(log[i].lines.find("421 4.3.2 Closing: try later"), std::string::npos);
      } else {
        EXPECT_NE(log[i].lines.find(" : success\r\n"), std::string::npos) << log[i].lines;
      }
    }
    EXPECT_EQ(retried, 1) << env_.log();
    EXPECT_NE(env_.log().find("11 sent successfully, 1 errors"), std::string::npos) << env_.log();

    JournalState state = journal();
    ASSERT_EQ(state.entries.count(), 12);
    for (int i = 0; i < 12; ++i) {
      EXPECT_EQ(state.entries[i].outcome,
                i == 5 ? JournalOutcome::kRefused : JournalOutcome::kDelivered);
    }
  }
}

// An abort while messages are on their way over all four connections:
// those on their way end as they would alone, no message is handed out
// after it, and the log and the journal account for every recipient.
// Four connections to a server that takes them and never greets (a
// connection per message: a kept one is opened before the send, which then
// stops at once): the messages on their way each end with the time limit,
// the send stops once, with one reason, and none of them is tried again.
TEST_F(LanesTest, AServerNeverReachedStopsTheSendOnceForAllItsConnections) {
  testing::HeldPort silent(testing::HeldPort::kSilent);
  const int was = smtp_timeout();
  set_smtp_timeout(1);
  project().set(kFieldSmtpPort, String::formatted("%d", silent.port()));
  project().check(kFieldRecycle, false);
  use_mode(SendOperation::kNoPreview);
  EXPECT_FALSE(send_.send());
  set_smtp_timeout(was);
  const std::string log = env_.log();
  const std::string reason = "The SMTP server 127.0.0.1:" + std::to_string(silent.port()) +
                             " could not be reached, so the send stops here: the messages after "
                             "this one are not sent.";
  int reasons = 0, not_sent = 0, errors = 0;
  for (size_t at = log.find(reason); at != std::string::npos; at = log.find(reason, at + 1)) {
    ++reasons;
  }
  for (size_t at = log.find("Send stopped: message not sent"); at != std::string::npos;
       at = log.find("Send stopped: message not sent", at + 1)) {
    ++not_sent;
  }
  for (const auto& e : env_.recorder.events) errors += e.kind == RecordingUi::EventKind::kError;
  EXPECT_EQ(reasons, 1) << log;
  EXPECT_EQ(errors, 1) << log;
  EXPECT_EQ(log.find("try 2 of"), std::string::npos) << log;
  // Every recipient is accounted for: tried once, or logged as not sent.
  const int tried = static_cast<int>(logged().size());
  EXPECT_GE(tried, 1);
  EXPECT_LE(tried, 4) << log;
  EXPECT_EQ(tried + not_sent, static_cast<int>(everyone_.size())) << log;
  EXPECT_TRUE(env_.slept_ms.empty());
}

TEST_F(LanesTest, AnAbortStopsEveryConnection) {
  start();
  for (int mode : {SendOperation::kNoPreview, SendOperation::kNormal}) {
    SCOPED_TRACE(mode);
    server_.clear();
    use_mode(mode);
    // The send asks for a stop many times per message; this falls in the
    // first few messages.
    env_.recorder.abort_progress_at(40);
    send_.send();
    std::vector<std::string> delivered = delivered_to();
    EXPECT_LT(delivered.size(), everyone_.size());
    std::set<std::string> unique(delivered.begin(), delivered.end());
    EXPECT_EQ(unique.size(), delivered.size()) << "a message went twice";

    const std::string text = env_.log();
    std::set<std::string> logged_success;
    for (const Logged& entry : logged()) {
      if (entry.lines.find(" : success") != std::string::npos) logged_success.insert(entry.recipient);
    }
    EXPECT_EQ(logged_success, unique) << text;
    for (const std::string& r : everyone_) {
      if (unique.count(r)) continue;
      bool accounted = text.find(r + "\r\nUser aborted: message not sent") != std::string::npos ||
                       text.find("Sending " + r + " :\r\nSMTP Error") != std::string::npos;
      EXPECT_TRUE(accounted) << r << " is not in the log as not sent:\n" << text;
    }
    if (mode == SendOperation::kNoPreview) {
      JournalState state = journal();
      for (const JournalEntry& entry : state.entries) {
        bool got = unique.count(entry.recipient.std_string()) > 0;
        EXPECT_EQ(entry.outcome == JournalOutcome::kDelivered, got) << entry.recipient.c_str();
      }
    }
    env_.recorder.abort_progress_at(0);
  }
}

// A server that refuses every recipient for now: the send pauses as with
// one connection, and the pause waits for the messages on their way
// instead of ending their connection under them, so every failure in the
// log is the server's refusal and the journal holds one outcome each.
TEST_F(LanesTest, APauseForARefusingServerWaitsForTheMessagesOnTheirWay) {
  const std::string later = "451 4.3.0 Try again later";
  std::string refusals = "rcpt=" + later;
  for (int i = 1; i < 60; ++i) refusals += "," + later;
  start({refusals});
  env_.settings.retry.tries = 2;
  use_mode(SendOperation::kNoPreview);
  EXPECT_FALSE(send_.send());
  EXPECT_TRUE(delivered_to().empty());
  const std::string log = env_.log();
  EXPECT_NE(log.find("the send pauses for 20 min before the next one."), std::string::npos) << log;
  size_t failures = 0;
  for (size_t at = log.find("SMTP Error"); at != std::string::npos;
       at = log.find("SMTP Error", at + 1)) {
    ++failures;
    EXPECT_EQ(log.compare(at, 15, "SMTP Error 4590"), 0) << log.substr(at, 200);
  }
  EXPECT_GT(failures, 0u);
  JournalState state = journal();
  for (const JournalEntry& entry : state.entries) {
    EXPECT_FALSE(entry.in_flight) << entry.recipient.c_str();
    EXPECT_NE(entry.outcome, JournalOutcome::kDelivered);
  }
}

// The rate is the whole send's: over four connections, 12 messages at
// 30/min still wait 2 s each after the first (on the test's clock, which
// only the send's waits move), and every message arrives once.
TEST_F(LanesTest, TheRateHoldsForTheWholeSendNotForEachConnection) {
  start();
  for (int mode : {SendOperation::kNoPreview, SendOperation::kNormal}) {
    SCOPED_TRACE(mode);
    server_.clear();
    env_.slept_ms.clear();
    use_mode(mode);
    SendOptions options;
    options.rate_given = true;
    ASSERT_TRUE(parse_send_rate("30/min", &options.rate));
    ASSERT_TRUE(send_.send(options));
    EXPECT_EQ(sorted(delivered_to()), sorted(everyone_));
    EXPECT_EQ(env_.total_slept(), 11 * 2000);
  }
}

}  // namespace
}  // namespace tessaline
