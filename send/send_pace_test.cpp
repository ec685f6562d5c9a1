// Tests of how fast a send goes against a real SMTP server (aiosmtpd on
// 127.0.0.1, offering PIPELINING): the moments each message starts, read
// from the SMTP dialogue on the test's clock, which only the send's waits
// and the test move; the connections the server saw; a resume's first
// message.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "storage/paths.h"
#include "mail/smtp_client.h"
#include "send/send_history.h"
#include "send/send_journal.h"
#include "send/send_operation.h"
#include "send/test_environment.h"

namespace tessaline {
namespace {

using testing::SmtpTestServer;
using testing::TestEnvironment;

class PaceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new SmtpTestServer();
    std::string error;
    ASSERT_TRUE(server_->start(&error, /*pipelining=*/true)) << error;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    server_->clear();
    testing::set_up_unattended_send(env_);
    env_.clock_step_ms = 0;
    project()
        .set(kFieldSmtpPort, String::formatted("%d", server_->port()))
        .set(kFieldRecipientText,
             "a@example.com\nb@example.com\nc@example.com\nd@example.com\ne@example.com");
    // A message starts when its MAIL FROM goes out; one sent ahead with
    // the end of the message before would show as starting then.
    set_smtp_trace([this](std::string_view line) {
      if (line.substr(0, 13) != "-> MAIL FROM:") return;
      starts_.push_back(env_.clock_ms - kStart);
      if (during_start_) during_start_(static_cast<int>(starts_.size()));
    });
  }
  void TearDown() override { set_smtp_trace(nullptr); }

  testing::MemoryProject& project() { return env_.project_values; }

  // A fresh send in this mode: nothing received, the clock at kStart, and
  // (Normal) a review that releases the queue.
  void use_mode(int mode) {
    project().set(kFieldSendMode, String::formatted("%d", mode));
    env_.review_answers = {true};
    env_.reviews.clear();
    server_->clear();
    starts_.clear();
    env_.clock_ms = kStart;
  }

  static SendOptions at(const char* rate) {
    SendOptions options;
    options.rate_given = true;
    EXPECT_TRUE(parse_send_rate(rate, &options.rate));
    return options;
  }

  std::vector<std::string> delivered_to() const {
    std::vector<std::string> to;
    for (const auto& m : server_->received()) {
      for (const std::string& r : m.rcpt_to) to.push_back(r);
    }
    return to;
  }

  static constexpr int64_t kStart = 1000000;  // the test clock when a send begins
  const std::vector<std::string> everyone_ = {"a@example.com", "b@example.com", "c@example.com",
                                              "d@example.com", "e@example.com"};
  TestEnvironment env_;
  SendOperation send_{env_};
  std::vector<int64_t> starts_;  // ms after kStart
  std::function<void(int)> during_start_;  // with the number of the message starting
  static inline SmtpTestServer* server_ = nullptr;
};

// No Preview sends each message as it is gathered; Normal sends the
// released queue, where each message's commands may go out ahead with the
// end of the one before: not while the next one must wait.
TEST_F(PaceTest, MessagesStartOnTheRatesScheduleAndASlowOneDoesNotLetTheNextRush) {
  for (int mode : {SendOperation::kNoPreview, SendOperation::kNormal}) {
    SCOPED_TRACE(mode);
    use_mode(mode);
    ASSERT_TRUE(send_.send(at("30/min")));
    EXPECT_EQ(delivered_to(), everyone_);
    EXPECT_EQ(starts_, (std::vector<int64_t>{0, 2000, 4000, 6000, 8000}));

    // The second message takes 5 s: the third starts when it is done, and
    // the ones after it keep their 2 s, not rushing to make up the time.
    use_mode(mode);
    during_start_ = [&](int n) {
      if (n == 2) env_.clock_ms += 5000;
    };
    ASSERT_TRUE(send_.send(at("30/min")));
    EXPECT_EQ(delivered_to(), everyone_);
    EXPECT_EQ(starts_, (std::vector<int64_t>{0, 2000, 7000, 9000, 11000}));
    during_start_ = nullptr;
  }
}

TEST_F(PaceTest, TheProgramSettingGivesTheRateAndTheCommandLineWins) {
  env_.settings.rate = SendRate{1, 1000};
  ASSERT_TRUE(send_.send());
  EXPECT_EQ(starts_, (std::vector<int64_t>{0, 1000, 2000, 3000, 4000}));
  starts_.clear();
  env_.clock_ms = kStart;
  ASSERT_TRUE(send_.send(at("4/s")));
  EXPECT_EQ(starts_, (std::vector<int64_t>{0, 250, 500, 750, 1000}));
}

TEST_F(PaceTest, APauseBetweenMessagesAndNoneBeforeTheFirst) {
  env_.settings.message_pause_ms = 1500;
  ASSERT_TRUE(send_.send());
  EXPECT_EQ(delivered_to(), everyone_);
  EXPECT_EQ(starts_, (std::vector<int64_t>{0, 1500, 3000, 4500, 6000}));
}

TEST_F(PaceTest, AConnectionCarriesAtMostMessagesPerConnection) {
  struct Case {
    int per_connection;
    std::vector<size_t> per_port;  // messages on each connection, in order
  };
  const Case cases[] = {{2, {2, 2, 1}}, {1, {1, 1, 1, 1, 1}}, {0, {5}}, {5, {5}}};
  for (int mode : {SendOperation::kNoPreview, SendOperation::kNormal}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "mode " << mode << ", " << c.per_connection);
      use_mode(mode);
      env_.settings.messages_per_connection = c.per_connection;
      ASSERT_TRUE(send_.send());
      EXPECT_EQ(delivered_to(), everyone_);
      std::vector<size_t> per_port;
      int last_port = -1;
      for (const auto& m : server_->received()) {
        if (m.peer_port != last_port) per_port.push_back(0);
        last_port = m.peer_port;
        ++per_port.back();
      }
      EXPECT_EQ(per_port, c.per_port);
      std::set<int> ports;
      for (const auto& m : server_->received()) ports.insert(m.peer_port);
      EXPECT_EQ(ports.size(), c.per_port.size()) << "a connection was used again";
    }
  }
}

// A send stopped after its first message and resumed half a second later
// at 30/min: the resume's first message waits out the rest of the 2 s.
TEST_F(PaceTest, AResumeKeepsTheRateFromTheLastMessageOfTheSend) {
  const int64_t last_ms = 1700000000000;  // when a's answer came, on the wall clock
  const std::vector<JournalOutcome> a_delivered = {JournalOutcome::kDelivered};
  testing::write_killed_journal(env_, everyone_, a_delivered, -1, last_ms);
  env_.set_wall_clock(last_ms + 500);

  SendOptions options = at("30/min");
  options.resume = true;
  ASSERT_TRUE(send_.send(options));
  EXPECT_EQ(delivered_to(), std::vector<std::string>(everyone_.begin() + 1, everyone_.end()));
  EXPECT_EQ(starts_, (std::vector<int64_t>{1500, 3500, 5500, 7500}));

  // Long after, the rate has nothing to keep: the first goes at once.
  server_->clear();
  starts_.clear();
  env_.clock_ms = kStart;
  testing::write_killed_journal(env_, everyone_, a_delivered, -1, last_ms);
  env_.set_wall_clock(last_ms + 60000);
  ASSERT_TRUE(send_.send(options));
  EXPECT_EQ(starts_, (std::vector<int64_t>{0, 2000, 4000, 6000}));
}

}  // namespace
}  // namespace tessaline
