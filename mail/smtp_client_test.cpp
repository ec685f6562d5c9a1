#include "mail/smtp_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/date.h"
#include "mail/connection.h"
#include "mail/fake_smtp_server.h"
#include "mail/mx_lookup.h"
#include "mail/test_support.h"
#include "mail/smtp_server.h"

namespace tessaline {
namespace {

using testing::FakeSmtpServer;
using Script = std::vector<FakeSmtpServer::Step>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// --- the pure parts -------------------------------------------------------------

TEST(SmtpCommand, KeepsTheArgumentAsStoredButCannotBeSplit) {
  EXPECT_EQ(smtp_command("MAIL FROM:", "John Smith <john@example.test>"),
            "MAIL FROM:John Smith <john@example.test>\r\n");
  EXPECT_EQ(smtp_command("RCPT TO:", std::string_view("a@b.test\r\nRSET\0x", 16)),
            "RCPT TO:a@b.test  RSET x\r\n");
}

TEST(SmtpPath, WrapsTheBareAddressInAngleBrackets) {
  struct Case {
    const char* text;
    const char* path;
  } cases[] = {
      {"John Smith <john@example.test>", "<john@example.test>"},
      {"john@example.test", "<john@example.test>"},
      {"<john@example.test>", "<john@example.test>"},
      {"(John) john@example.test", "<john@example.test>"},
      {"no address here", "no address here"},
      {"two@at@signs.test", "two@at@signs.test"},
  };
  for (const Case& c : cases) EXPECT_EQ(smtp_path(c.text), c.path) << c.text;
}

TEST(DataPieces, CutsLinesAndMarksTheOnesToStuff) {
  struct Piece {
    std::string text;
    int offset;
    bool stuffed;
    bool operator==(const Piece&) const = default;
  };
  std::vector<Piece> pieces;
  DataPieces cutter("a\r\n.\r\n..b\r\nlast");
  std::string_view piece;
  int offset;
  bool stuffed;
  while (cutter.next(&piece, &offset, &stuffed)) pieces.push_back({std::string(piece), offset, stuffed});
  std::vector<Piece> expected = {
      {"a\r\n", 0, false}, {".\r\n", 3, true}, {"..b\r\n", 6, true}, {"last", 11, false}};
  EXPECT_TRUE(pieces == expected);
  DataPieces empty("");
  EXPECT_FALSE(empty.next(&piece, &offset, &stuffed));
}

// --- the dialogue against scripted servers --------------------------------------

ClockReading pinned_clock() {
  ClockReading reading;
  reading.local.date = make_date(12, 5, 2026);
  reading.local.hour = 14;
  reading.local.minute = 3;
  reading.local.second = 9;
  reading.utc_offset_minutes = 60;
  return reading;
}

bool test_resolver(const char* host, Address* address, int* error) {
  std::string name = host;
  if (name == "smtp.test" || name == "mail.example.test") {
    *address = Address::from_bytes(127, 0, 0, 1);
    return true;
  }
  *error = EAI_NONAME;
  return false;
}

// Every Message-ID of these tests has this unique part.
String pinned_unique_part() { return "unique"; }

// What the server must receive after DATA for a message from fill_plain()
// with the given label and (already transformed, dot-stuffed) body.
std::string plain_data(const std::string& cte = "7bit", const std::string& body = "Hi Ann",
                       const std::string& type = "text/plain") {
  return "From: John Smith <john@example.test>\r\n"
         "To: Ann <ann@example.test>\r\n"
         "Subject: Hello\r\n"
         "Date: 05 Dec 2026 14:03:09 +0100\r\n"
         "Message-ID: <unique@example.test>\r\n"
         "Mime-Version: 1.0\r\n"
         "Content-Type: " + type + "\r\n"
         "Content-Transfer-Encoding: " + cte + "\r\n"
         "\r\n" + body + "\r\n"
         "\r\n.\r\n";
}
const std::string kPlainData = plain_data();

// No DNS in these tests: every domain is one without mail hosts of its
// own, so direct delivery goes to "mail." + the domain.
MailHosts no_domain(const String&) {
  MailHosts none;
  none.status = MxStatus::kNoDomain;
  return none;
}

class SmtpDialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_clock_ = set_clock(pinned_clock);
    previous_unique_part_ = set_unique_part_source(pinned_unique_part);
    previous_resolver_ = set_resolver(test_resolver);
    previous_mx_lookup_ = set_mx_lookup(no_domain);
    set_smtp_server("smtp.test");
    set_smtp_timeout(5);
    std::srand(7);
  }
  void TearDown() override {
    quit();
    set_mx_lookup(previous_mx_lookup_);
    set_resolver(previous_resolver_);
    set_unique_part_source(previous_unique_part_);
    set_clock(previous_clock_);
  }

  void use(const FakeSmtpServer& server) { set_smtp_port(server.port()); }

  void fill_plain(MimeMessage& message) {
    message.from = "John Smith <john@example.test>";
    message.subject = "Hello";
    message.text_body = "Hi Ann";
    message.add_recipient("Ann <ann@example.test>");
  }

  // The usual way in: connection, greeting, sender as stored, recipient as
  // stored, all accepted.
  static Script accepted_envelope(const char* greeting = "EHLO smtp.test\r\n") {
    return {FakeSmtpServer::accept(),
            FakeSmtpServer::send("220 smtp.test ESMTP\r\n"),
            FakeSmtpServer::expect(greeting),
            FakeSmtpServer::send("250 smtp.test\r\n"),
            FakeSmtpServer::expect("MAIL FROM:<john@example.test>\r\n"),
            FakeSmtpServer::send("250 ok\r\n"),
            FakeSmtpServer::expect("RCPT TO:<ann@example.test>\r\n"),
            FakeSmtpServer::send("250 ok\r\n")};
  }

  static Script plus(Script script, const Script& more) {
    script.insert(script.end(), more.begin(), more.end());
    return script;
  }

  Clock previous_clock_ = nullptr;
  UniquePartSource previous_unique_part_ = nullptr;
  Resolver previous_resolver_ = nullptr;
  MxLookup previous_mx_lookup_ = nullptr;
};

TEST_F(SmtpDialogue, DeliversAPlainMessage) {
  FakeSmtpServer server(plus(accepted_envelope(),
                             {FakeSmtpServer::expect("DATA\r\n"),
                              FakeSmtpServer::send("354 go ahead\r\n"),
                              FakeSmtpServer::expect_data(kPlainData),
                              FakeSmtpServer::send("250 queued\r\n"),
                              FakeSmtpServer::expect("QUIT\r\n")}));
  use(server);
  MimeMessage message;
  fill_plain(message);
  ASSERT_TRUE(send_message(message)) << message.error.c_str();
  // The size counts the composed text, not the end-of-data marker.
  EXPECT_EQ(message.message_size, static_cast<int>(kPlainData.size() - 5));
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

struct Refusal {
  const char* name;
  Script script;  // after the connection is accepted
  int code;
  const char* error;
  bool kept = false;  // RSET ended the transaction and the connection stays
};

class SmtpRefusal : public SmtpDialogue, public ::testing::WithParamInterface<Refusal> {};

TEST_P(SmtpRefusal, FailsWithTheStepsCodeAndKeepsOnlyAConnectionRsetSettled) {
  const Refusal& c = GetParam();
  Script script = {FakeSmtpServer::accept()};
  script = plus(script, c.script);
  FakeSmtpServer server(script);
  use(server);
  MimeMessage message;
  fill_plain(message);
  EXPECT_FALSE(send_message(message));
  // PORT in a case's text stands for the server's port.
  String expected = String::formatted("SMTP Error %d\n%s", c.code, c.error);
  expected.replace_all("PORT", String::formatted("%d", server.port()).c_str());
  EXPECT_EQ(message.error, expected);
  EXPECT_EQ(message.message_size, 0);
  EXPECT_EQ(smtp_connection().is_open(), c.kept);
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

using S = FakeSmtpServer;
// What a refusal between transactions is followed by: RSET, taken, and
// the connection kept until the test ends it.
const Script kReset = {S::expect("RSET\r\n"), S::send("250 reset\r\n"), S::expect("QUIT\r\n")};

Script then(Script script, const Script& more) {
  script.insert(script.end(), more.begin(), more.end());
  return script;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SmtpRefusal,
    ::testing::Values(
        Refusal{"greeting_not_220",
                {S::send("554 go away\r\n")},
                4515,
                "SMTP server smtp.test:PORT did not greet properly:\r\n554 go away"},
        Refusal{"ehlo_and_helo_refused",
                {S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                 S::send("500 what\r\n"), S::expect("HELO smtp.test\r\n"),
                 S::send("502 no\r\n"), S::expect("QUIT\r\n")},
                4557,
                "Improper response to \"HELO\".\r\n502 no"},
        Refusal{"sender_refused",
                then({S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                      S::send("250 ok\r\n"), S::expect("MAIL FROM:<john@example.test>\r\n"),
                      S::send("550-sender\r\n550 refused 100%s\r\n")},
                     kReset),
                4570, "Invalid response to originator:\r\n550-sender\r\n550 refused 100%s",
                true},
        Refusal{"recipient_refused",
                then({S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                      S::send("250 ok\r\n"), S::expect("MAIL FROM:<john@example.test>\r\n"),
                      S::send("250 ok\r\n"), S::expect("RCPT TO:<ann@example.test>\r\n"),
                      S::send("550 no such user\r\n")},
                     kReset),
                4590, "Invalid response to recipient Ann <ann@example.test>\r\n550 no such user",
                true},
        // A server that will not reset is left.
        Refusal{"recipient_refused_and_rset_refused",
                {S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"), S::send("250 ok\r\n"),
                 S::expect("MAIL FROM:<john@example.test>\r\n"), S::send("250 ok\r\n"),
                 S::expect("RCPT TO:<ann@example.test>\r\n"), S::send("550 no such user\r\n"),
                 S::expect("RSET\r\n"), S::send("500 what\r\n"), S::expect("QUIT\r\n")},
                4590, "Invalid response to recipient Ann <ann@example.test>\r\n550 no such user"},
        // "421" says the server is closing: no RSET.
        Refusal{"recipient_refused_by_a_closing_server",
                {S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"), S::send("250 ok\r\n"),
                 S::expect("MAIL FROM:<john@example.test>\r\n"), S::send("250 ok\r\n"),
                 S::expect("RCPT TO:<ann@example.test>\r\n"), S::send("421 closing\r\n"),
                 S::expect("QUIT\r\n")},
                4590, "Invalid response to recipient Ann <ann@example.test>\r\n421 closing"},
        Refusal{"data_refused",
                then({S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                      S::send("250 ok\r\n"), S::expect("MAIL FROM:<john@example.test>\r\n"),
                      S::send("250 ok\r\n"), S::expect("RCPT TO:<ann@example.test>\r\n"),
                      S::send("250 ok\r\n"), S::expect("DATA\r\n"), S::send("451 later\r\n")},
                     kReset),
                4610, "Invalid response to DATA:\r\n451 later", true},
        Refusal{"end_of_data_refused",
                then({S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                      S::send("250 ok\r\n"), S::expect("MAIL FROM:<john@example.test>\r\n"),
                      S::send("250 ok\r\n"), S::expect("RCPT TO:<ann@example.test>\r\n"),
                      S::send("250 ok\r\n"), S::expect("DATA\r\n"), S::send("354 go\r\n"),
                      S::expect_data(kPlainData), S::send("552 too big\r\n")},
                     kReset),
                4640, "Invalid response to end of body:\r\n552 too big", true}),
    [](const auto& info) { return info.param.name; });

// A server that offers PIPELINING gets the sender, every recipient and
// DATA in one write: the script reads all of them before it answers any,
// so a client that waited for each reply would never get one. Each reply
// is then judged as it would be one at a time.
struct Pipelined {
  const char* name;
  bool two_recipients;  // Ann, and Bob
  Script replies;       // after MAIL, RCPT... and DATA have been read
  int code;             // 0: delivered
  const char* error;
  bool kept;            // the connection stays for the next message
};

class SmtpPipelined : public SmtpDialogue, public ::testing::WithParamInterface<Pipelined> {};

TEST_P(SmtpPipelined, SendsTheEnvelopeInOneWriteAndJudgesEachReplyInOrder) {
  const Pipelined& c = GetParam();
  Script script = {S::accept(), S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                   S::send("250-smtp.test\r\n250 PIPELINING\r\n"),
                   S::expect("MAIL FROM:<john@example.test>\r\n"),
                   S::expect("RCPT TO:<ann@example.test>\r\n")};
  if (c.two_recipients) script.push_back(S::expect("RCPT TO:<bob@example.test>\r\n"));
  script.push_back(S::expect("DATA\r\n"));
  FakeSmtpServer server(then(script, c.replies));
  use(server);
  MimeMessage message;
  fill_plain(message);
  if (c.two_recipients) message.add_recipient("bob@example.test");
  EXPECT_EQ(send_message(message), c.code == 0);
  if (c.code == 0) {
    EXPECT_EQ(message.error, "");
  } else {
    EXPECT_EQ(message.error, String::formatted("SMTP Error %d\n%s", c.code, c.error));
  }
  EXPECT_EQ(smtp_connection().is_open(), c.kept);
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SmtpPipelined,
    ::testing::Values(
        Pipelined{"all_accepted", false,
                  {S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData),
                   S::send("250 queued\r\n"), S::expect("QUIT\r\n")},
                  0, "", true},
        // The replies still due are read, so that RSET can keep the
        // connection.
        Pipelined{"sender_refused", true,
                  then({S::send("550 sender refused\r\n503 no sender\r\n503 no sender\r\n"
                                "503 no valid recipients\r\n")},
                       kReset),
                  4570, "Invalid response to originator:\r\n550 sender refused", true},
        Pipelined{"every_recipient_refused", true,
                  then({S::send("250 ok\r\n550 no ann\r\n550 no bob\r\n554 no recipients\r\n")},
                       kReset),
                  4590, "Invalid response to recipient Ann <ann@example.test>\r\n550 no ann", true},
        // Bob was refused but Ann taken, so the server accepts DATA: the
        // text must not go (it would reach Ann), and only closing ends
        // the data section without delivering it. Nothing more is sent.
        Pipelined{"one_of_two_recipients_refused", true,
                  {S::send("250 ok\r\n250 ok\r\n550 no bob\r\n354 go\r\n")},
                  4590, "Invalid response to recipient bob@example.test\r\n550 no bob", false},
        Pipelined{"data_refused", false,
                  then({S::send("250 ok\r\n250 ok\r\n451 later\r\n")}, kReset),
                  4610, "Invalid response to DATA:\r\n451 later", true},
        Pipelined{"end_of_data_refused", false,
                  then({S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData),
                        S::send("552 too big\r\n")},
                       kReset),
                  4640, "Invalid response to end of body:\r\n552 too big", true},
        // The server drops the connection in the middle of the group.
        Pipelined{"closed_after_the_sender", false,
                  {S::send("250 ok\r\n"), S::close()},
                  4590, "Invalid response to recipient Ann <ann@example.test>\r\n", false}),
    [](const auto& info) { return info.param.name; });

// On a kept connection each further message is one write of its envelope
// and one of its text: the greeting is not repeated.
TEST_F(SmtpDialogue, APipelinedKeptConnectionCarriesMessageAfterMessage) {
  Script one_message = {S::expect("MAIL FROM:<john@example.test>\r\n"),
                        S::expect("RCPT TO:<ann@example.test>\r\n"), S::expect("DATA\r\n"),
                        S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData),
                        S::send("250 queued\r\n")};
  Script script = {S::accept(), S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                   S::send("250-smtp.test\r\n250 PIPELINING\r\n")};
  for (int i = 0; i < 3; ++i) script = then(script, one_message);
  script.push_back(S::expect("QUIT\r\n"));
  FakeSmtpServer server(script);
  use(server);
  for (int i = 0; i < 3; ++i) {
    MimeMessage message;
    fill_plain(message);
    ASSERT_TRUE(send_message(message)) << i << ": " << message.error.c_str();
  }
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

// With the next message announced, its envelope goes out in the same
// write as the end marker: the script reads the marker and the next
// commands before it answers either, so a message costs one round trip.
class SmtpSentAhead : public SmtpDialogue {
 protected:
  static Script greeting() {
    return {S::accept(), S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
            S::send("250-smtp.test\r\n250 PIPELINING\r\n")};
  }
  static Script envelope(const char* to = "ann@example.test") {
    return {S::expect("MAIL FROM:<john@example.test>\r\n"),
            S::expect(std::string("RCPT TO:<") + to + ">\r\n"), S::expect("DATA\r\n")};
  }
  // A message whose next one is announced as going to `next_to` (null:
  // none follows).
  void fill(MimeMessage& message, const char* next_to) {
    fill_plain(message);
    if (!next_to) return;
    message.next_envelope = [next_to](Envelope* next) {
      next->from = "John Smith <john@example.test>";
      next->recipients = envelope_recipients(next_to, String());
      return true;
    };
  }
};

TEST_F(SmtpSentAhead, EachFurtherMessageIsOneWriteOfTextMarkerAndNextEnvelope) {
  Script script = then(greeting(), envelope());
  script.push_back(S::send("250 ok\r\n250 ok\r\n354 go\r\n"));
  for (int i = 0; i < 2; ++i) {
    script.push_back(S::expect_data(kPlainData));
    script = then(script, envelope());
    script.push_back(S::send("250 queued\r\n250 ok\r\n250 ok\r\n354 go\r\n"));
  }
  script = then(script, {S::expect_data(kPlainData), S::send("250 queued\r\n"),
                         S::expect("QUIT\r\n")});
  FakeSmtpServer server(script);
  use(server);
  std::vector<double> fractions;
  for (int i = 0; i < 3; ++i) {
    MimeMessage message;
    fill(message, i < 2 ? "Ann <ann@example.test>" : nullptr);
    message.progress = [&](double f) {
      fractions.push_back(f);
      return false;
    };
    ASSERT_TRUE(send_message(message)) << i << ": " << message.error.c_str();
  }
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
  // Every message reports its fractions as without sending ahead: 0.04,
  // the recipient, 0.11, the lines, 0.99 and 1.0.
  ASSERT_EQ(fractions.size() % 3, 0u);
  const size_t each = fractions.size() / 3;
  for (size_t i = 0; i < each; ++i) {
    EXPECT_DOUBLE_EQ(fractions[each + i], fractions[i]);
    EXPECT_DOUBLE_EQ(fractions[2 * each + i], fractions[i]);
  }
  EXPECT_DOUBLE_EQ(fractions[0], 0.04);
  EXPECT_DOUBLE_EQ(fractions[each - 1], 1.0);
}

// The message that follows is not the one announced: the commands sent
// ahead are never answered for it; it goes over a new connection.
TEST_F(SmtpSentAhead, AnotherMessageThanTheOneAnnouncedStartsOnANewConnection) {
  Script script = then(greeting(), envelope());
  script = then(script, {S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData)});
  script = then(script, envelope("bob@example.test"));
  script.push_back(S::send("250 queued\r\n"));
  script = then(script, then(greeting(), envelope()));
  script = then(script, {S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData),
                         S::send("250 queued\r\n"), S::expect("QUIT\r\n")});
  FakeSmtpServer server(script);
  use(server);
  MimeMessage first;
  fill(first, "bob@example.test");
  ASSERT_TRUE(send_message(first)) << first.error.c_str();
  MimeMessage second;
  fill(second, nullptr);
  ASSERT_TRUE(send_message(second)) << second.error.c_str();
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

// A server that takes one message per connection answers the commands
// sent ahead with "421" and closes: the next message goes over a new
// connection and is reported once from 0.04.
TEST_F(SmtpSentAhead, AServerThatEndsTheConnectionInsteadGetsTheNextMessageOnANewOne) {
  Script script = then(greeting(), envelope());
  script = then(script, {S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData)});
  script = then(script, envelope());
  script = then(script, {S::send("250 queued\r\n421 one message per connection\r\n"), S::close()});
  script = then(script, then(greeting(), envelope()));
  script = then(script, {S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData),
                         S::send("250 queued\r\n"), S::expect("QUIT\r\n")});
  FakeSmtpServer server(script);
  use(server);
  MimeMessage first;
  fill(first, "ann@example.test");
  ASSERT_TRUE(send_message(first)) << first.error.c_str();
  MimeMessage second;
  fill(second, nullptr);
  int opened = 0;
  second.progress = [&](double f) {
    if (f == 0.04) ++opened;
    return false;
  };
  ASSERT_TRUE(send_message(second)) << second.error.c_str();
  EXPECT_EQ(opened, 1);
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

// The text is refused, but the server took the DATA sent ahead for the
// next message: only closing ends that data section without delivering
// anything, and nothing more is sent on the connection.
TEST_F(SmtpSentAhead, ARefusedTextWithDataSentAheadEndsTheConnection) {
  Script script = then(greeting(), envelope());
  script = then(script, {S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData)});
  script = then(script, envelope());
  script.push_back(S::send("552 too big\r\n250 ok\r\n250 ok\r\n354 go\r\n"));
  FakeSmtpServer server(script);
  use(server);
  MimeMessage message;
  fill(message, "ann@example.test");
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error, "SMTP Error 4640\nInvalid response to end of body:\r\n552 too big");
  EXPECT_FALSE(smtp_connection().is_open());
  EXPECT_THAT(server.finish(), IsEmpty());
}

// The text is refused and so is the sender sent ahead: the replies are
// read and RSET keeps the connection.
TEST_F(SmtpSentAhead, ARefusedTextWithTheCommandsAheadRefusedIsReset) {
  Script script = then(greeting(), envelope());
  script = then(script, {S::send("250 ok\r\n250 ok\r\n354 go\r\n"), S::expect_data(kPlainData)});
  script = then(script, envelope());
  script = then(script, {S::send("552 too big\r\n452 busy\r\n503 no sender\r\n503 no recipients\r\n"),
                         S::expect("RSET\r\n"), S::send("250 reset\r\n"), S::expect("QUIT\r\n")});
  FakeSmtpServer server(script);
  use(server);
  MimeMessage message;
  fill(message, "ann@example.test");
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error_code, 4640);
  EXPECT_TRUE(smtp_connection().is_open());
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

// Names with addresses, comments and bare addresses all go as bare
// addresses in angle brackets, from the first command on: strict servers
// refuse anything else.
TEST_F(SmtpDialogue, TheEnvelopeGivesBareAddressesInAngleBrackets) {
  FakeSmtpServer server({S::accept(), S::send("220 hi\r\n"),
                         S::expect("EHLO smtp.test\r\n"), S::send("250 ok\r\n"),
                         S::expect("MAIL FROM:<john@example.test>\r\n"), S::send("250 ok\r\n"),
                         S::expect("RCPT TO:<ann@example.test>\r\n"), S::send("250 ok\r\n"),
                         S::expect("RCPT TO:<bob@example.test>\r\n"),
                         S::send("251 will forward\r\n"),
                         S::expect("RCPT TO:<carol@example.test>\r\n"), S::send("250 ok\r\n"),
                         // Only the envelope matters here.
                         S::expect("DATA\r\n"), S::send("554 not today\r\n"),
                         S::expect("RSET\r\n"), S::send("250 reset\r\n")});
  use(server);
  MimeMessage message;
  fill_plain(message);
  message.add_recipient("(Bob) bob@example.test");
  message.add_recipient("carol@example.test");
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error, "SMTP Error 4610\nInvalid response to DATA:\r\n554 not today");
  smtp_connection().close();
  EXPECT_THAT(server.finish(), IsEmpty());
}

TEST_F(SmtpDialogue, MultilineRepliesSplitAcrossReads) {
  FakeSmtpServer server(
      {S::accept(), S::send_pieces({"220-smtp.test first\r\n", "220 second\r\n"}),
       S::expect("EHLO smtp.test\r\n"),
       S::send_pieces({"250-smtp.test\r\n250-PIPEL", "INING\r\n250-8BITMIME\r\n", "250 HELP\r\n"}),
       S::expect("MAIL FROM:<john@example.test> BODY=8BITMIME\r\n"),
       S::send("250 ok\r\n"),
       S::expect("RCPT TO:<ann@example.test>\r\n"), S::send_pieces({"25", "0 ok\r\n"}),
       S::expect("DATA\r\n"), S::send("354 go\r\n"), S::expect_data(plain_data("8bit")),
       S::send("250 ok\r\n"), S::expect("QUIT\r\n")});
  use(server);
  MimeMessage message;
  fill_plain(message);
  message.encoding = MimeMessage::k8Bit;
  EXPECT_TRUE(send_message(message)) << message.error.c_str();
  // The keywords of the reply, however it was cut, are what the server offers.
  EXPECT_TRUE(smtp_server_offers("PIPELINING"));
  EXPECT_TRUE(smtp_server_offers("8bitmime"));
  EXPECT_FALSE(smtp_server_offers("STARTTLS"));
  quit();
  EXPECT_FALSE(smtp_server_offers("PIPELINING"));
  EXPECT_THAT(server.finish(), IsEmpty());
}

// An 8bit body that is not pure ASCII goes as it is only to a server that
// offers 8BITMIME, announced on MAIL FROM; every other server gets it
// quoted-printable, which loses nothing.
TEST_F(SmtpDialogue, AnEightBitBodyGoesAsItIsOnlyWhereTheServerOffers8BitMime) {
  struct Case {
    const char* name;
    Script greeting;
    const char* mail_from;
    const char* cte;
    const char* body;
    bool offers;
  } cases[] = {
      {"offered", {S::expect("EHLO smtp.test\r\n"), S::send("250-smtp.test\r\n250 8BITMIME\r\n")},
       "MAIL FROM:<john@example.test> BODY=8BITMIME\r\n", "8bit",
       "Gr\xc3\xbc\xc3\x9f" "e", true},
      {"not_offered", {S::expect("EHLO smtp.test\r\n"), S::send("250-smtp.test\r\n250 SIZE 1000\r\n")},
       "MAIL FROM:<john@example.test>\r\n", "quoted-printable", "Gr=C3=BC=C3=9Fe",
       false},
      {"ehlo_refused",
       {S::expect("EHLO smtp.test\r\n"), S::send("500 what?\r\n"),
        S::expect("HELO smtp.test\r\n"), S::send("250 ok\r\n")},
       "MAIL FROM:<john@example.test>\r\n", "quoted-printable", "Gr=C3=BC=C3=9Fe",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSmtpServer server(plus(
        plus({S::accept(), S::send("220 hi\r\n")}, c.greeting),
        {S::expect(c.mail_from), S::send("250 ok\r\n"),
         S::expect("RCPT TO:<ann@example.test>\r\n"), S::send("250 ok\r\n"),
         S::expect("DATA\r\n"), S::send("354 go\r\n"),
         S::expect_data(plain_data(c.cte, c.body, "text/plain;charset=utf-8")),
         S::send("250 ok\r\n"), S::expect("QUIT\r\n")}));
    use(server);
    MimeMessage message;
    fill_plain(message);
    message.encoding = MimeMessage::k8Bit;
    message.text_body = "Gr\xc3\xbc\xc3\x9f" "e";
    EXPECT_TRUE(send_message(message)) << message.error.c_str();
    EXPECT_EQ(smtp_server_offers("8BITMIME"), c.offers);
    quit();
    EXPECT_THAT(server.finish(), IsEmpty());
  }
}

TEST_F(SmtpDialogue, LinesBeginningWithADotAreStuffed) {
  std::string stuffed = "first\r\n..\r\n..hidden\r\n...\r\nlast";
  FakeSmtpServer server(plus(accepted_envelope(),
                             {S::expect("DATA\r\n"), S::send("354 go\r\n"),
                              S::expect_data(plain_data("7bit", stuffed)),
                              S::send("250 ok\r\n"), S::expect("QUIT\r\n")}));
  use(server);
  MimeMessage message;
  fill_plain(message);
  message.text_body = "first\n.\n.hidden\r\n..\rlast";
  ASSERT_TRUE(send_message(message)) << message.error.c_str();
  // The size is that of the text before stuffing.
  EXPECT_EQ(message.message_size,
            static_cast<int>(plain_data("7bit", "first\r\n.\r\n.hidden\r\n..\r\nlast").size() - 5));
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

// A server that ends an idle kept connection: the next message notices
// before it sends anything, connects afresh and goes out, greeted once on
// the new connection.
TEST_F(SmtpDialogue, AKeptConnectionTheServerEndedIsOpenedAgain) {
  {
    Script sent = {S::expect("DATA\r\n"), S::send("354 go\r\n"), S::expect_data(kPlainData),
                   S::send("250 ok\r\n")};
    Script first = plus(plus(accepted_envelope(), sent), {S::close()});
    Script again = plus(plus(accepted_envelope(), sent), {S::expect("QUIT\r\n")});
    FakeSmtpServer server(plus(first, again));
    use(server);
    MimeMessage message;
    fill_plain(message);
    ASSERT_TRUE(send_message(message)) << message.error.c_str();
    ASSERT_TRUE(smtp_connection().is_open());  // kept for the next message
    // Until the end of the connection has arrived.
    smtp_connection().wait_readable(std::chrono::steady_clock::now() + std::chrono::seconds(10));
    EXPECT_TRUE(send_message(message)) << message.error.c_str();
    quit();
    EXPECT_THAT(server.finish(), IsEmpty());
  }
}

TEST_F(SmtpDialogue, SilentServerRunsIntoTheTimeLimitAtTheGreeting) {
  set_smtp_timeout(1);
  FakeSmtpServer server({S::accept(), S::silence()});
  use(server);
  MimeMessage message;
  fill_plain(message);
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error, String::formatted("SMTP Error 4515\nSMTP server smtp.test:%d did not "
                                             "greet within 1 seconds",
                                             server.port()));
  EXPECT_FALSE(smtp_connection().is_open());
  EXPECT_THAT(server.finish(), IsEmpty());
}

TEST_F(SmtpDialogue, SilentServerRunsIntoTheTimeLimitAfterTheSender) {
  set_smtp_timeout(1);
  FakeSmtpServer server({S::accept(), S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                         S::send("250 ok\r\n"),
                         S::expect("MAIL FROM:<john@example.test>\r\n"),
                         S::silence()});
  use(server);
  MimeMessage message;
  fill_plain(message);
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error,
            "SMTP Error 4570\nNo answer from the SMTP server within 1 seconds after MAIL FROM.");
  EXPECT_FALSE(smtp_connection().is_open());
  EXPECT_THAT(server.finish(), IsEmpty());
  // No retry was tried on a server that does not answer; the connection was
  // ended with QUIT.
  EXPECT_EQ(server.received(),
            "EHLO smtp.test\r\nMAIL FROM:<john@example.test>\r\nQUIT\r\n");
}

// A server that stops reading while the text goes out: the send runs into
// the time limit, which the error names with its step.
TEST_F(SmtpDialogue, ServerThatStopsReadingRunsIntoTheTimeLimitWhileTheTextIsSent) {
  set_smtp_timeout(1);
  FakeSmtpServer server(plus(accepted_envelope(),
                             {S::expect("DATA\r\n"), S::send("354 go\r\n"), S::stall()}));
  use(server);
  MimeMessage message;
  fill_plain(message);
  // Far more than the socket buffers of both ends hold.
  message.text_body = String(std::string(16 << 20, 'x'));
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error,
            "SMTP Error 4625\nThe SMTP server took no data within 1 seconds while the message "
            "text was sent.");
  EXPECT_FALSE(smtp_connection().is_open());
  EXPECT_THAT(server.finish(), IsEmpty());
}

// What a hostile or broken server says reaches the error text, and from
// there the send log, only in part.
TEST(ReplyExcerpt, KeepsShortRepliesAndCutsLongOnesWithAMark) {
  EXPECT_EQ(reply_excerpt("550 no such user"), "550 no such user");
  std::string exact(kReplyExcerpt, 'x');
  EXPECT_EQ(reply_excerpt(exact), exact.c_str());

  // Whole lines, as many as fit.
  std::string lines;
  for (int i = 0; lines.size() < 10000; ++i) lines += "550-line " + std::to_string(i) + "\r\n";
  String cut = reply_excerpt(lines);
  ASSERT_LE(cut.length(), kReplyExcerpt + 64);
  int mark = cut.find("\r\n[... ");
  ASSERT_GT(mark, kReplyExcerpt / 2);
  std::string kept = cut.substr(0, mark).std_string() + "\r\n";
  EXPECT_EQ(lines.compare(0, kept.size(), kept), 0);
  EXPECT_EQ(cut.substr(mark).std_string(),
            "\r\n[... " + std::to_string(lines.size() - kept.size()) +
                " more bytes of the reply not shown]");

  // One long line is cut at the bound, never inside a UTF-8 sequence.
  std::string accents;
  while (accents.size() < 6000) accents += "\xc3\xa9";
  accents = "5" + accents;  // the sequences now straddle the bound
  String one = reply_excerpt(accents);
  int end = one.find("\r\n[... ");
  ASSERT_GT(end, 0);
  EXPECT_EQ(end, kReplyExcerpt - 1);
  EXPECT_EQ(static_cast<unsigned char>(one[end - 1]), 0xa9);
}

TEST_F(SmtpDialogue, ALongRefusalIsCutInTheErrorText) {
  std::string refusal;
  for (int i = 0; refusal.size() < 20000; ++i) refusal += "550-reason " + std::to_string(i) + "\r\n";
  refusal += "550 refused\r\n";
  FakeSmtpServer server(plus(accepted_envelope(),
                             then({S::expect("DATA\r\n"), S::send(refusal)}, kReset)));
  use(server);
  MimeMessage message;
  fill_plain(message);
  EXPECT_FALSE(send_message(message));
  EXPECT_TRUE(message.error.starts_with("SMTP Error 4610\nInvalid response to DATA:\r\n550-reason 0\r\n"))
      << message.error.substr(0, 200).c_str();
  EXPECT_LE(message.error.length(), kReplyExcerpt + 200);
  EXPECT_NE(message.error.find("more bytes of the reply not shown]"), -1);
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());
}

// A reply that never ends is given up on at the bound and said to be too
// long; the address is not tried again on such a server.
TEST_F(SmtpDialogue, AnEndlessReplyIsGivenUpOnAsTooLong) {
  std::string endless;
  while (endless.size() < 2 * ReplyAssembler::kMaxReply) endless += "250-more and more\r\n";
  FakeSmtpServer server({S::accept(), S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
                         S::send("250 ok\r\n"),
                         S::expect("MAIL FROM:<john@example.test>\r\n"),
                         S::send(endless), S::silence()});
  use(server);
  MimeMessage message;
  fill_plain(message);
  EXPECT_FALSE(send_message(message));
  EXPECT_TRUE(message.error.starts_with(String::formatted(
      "SMTP Error 4570\nThe SMTP server's answer to MAIL FROM was longer than %d bytes and was "
      "given up on:\r\n250-more and more\r\n", ReplyAssembler::kMaxReply)))
      << message.error.substr(0, 200).c_str();
  EXPECT_LE(message.error.length(), kReplyExcerpt + 200);
  EXPECT_FALSE(smtp_connection().is_open());
  EXPECT_THAT(server.finish(), IsEmpty());
  EXPECT_EQ(server.received(),
            "EHLO smtp.test\r\nMAIL FROM:<john@example.test>\r\nQUIT\r\n");
}

TEST_F(SmtpDialogue, AnEndlessGreetingIsGivenUpOnAsTooLong) {
  std::string endless;
  while (endless.size() < 2 * ReplyAssembler::kMaxReply) endless += "220-welcome\r\n";
  FakeSmtpServer server({S::accept(), S::send(endless), S::silence()});
  use(server);
  MimeMessage message;
  fill_plain(message);
  EXPECT_FALSE(send_message(message));
  EXPECT_TRUE(message.error.starts_with(String::formatted(
      "SMTP Error 4515\nThe SMTP server's greeting was longer than %d bytes and was given up "
      "on:\r\n220-welcome\r\n", ReplyAssembler::kMaxReply)))
      << message.error.substr(0, 200).c_str();
  EXPECT_LE(message.error.length(), kReplyExcerpt + 200);
  EXPECT_THAT(server.finish(), IsEmpty());
}

TEST_F(SmtpDialogue, ProgressFractionsInTheirOrder) {
  Script one_message = {
      S::expect("MAIL FROM:<john@example.test>\r\n"), S::send("250 ok\r\n"),
      S::expect("RCPT TO:<ann@example.test>\r\n"), S::send("250 ok\r\n"),
      S::expect("RCPT TO:<bob@example.test>\r\n"), S::send("250 ok\r\n"),
      S::expect("DATA\r\n"), S::send("354 go\r\n"), S::expect_data(
          "From: John Smith <john@example.test>\r\nSubject: Hello\r\n"
          "Date: 05 Dec 2026 14:03:09 +0100\r\nMessage-ID: <unique@example.test>\r\n"
          "CC: bob@example.test\r\nMime-Version: 1.0\r\n"
          "Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\nHi Ann\r\n"
          "\r\n.\r\n"),
      S::send("250 ok\r\n")};
  // Two messages, the second over the kept connection, which is greeted
  // once.
  FakeSmtpServer server(plus(plus(plus({S::accept(), S::send("220 hi\r\n"),
                                        S::expect("EHLO smtp.test\r\n"), S::send("250 ok\r\n")},
                                       one_message),
                                  one_message),
                             {S::expect("QUIT\r\n")}));
  use(server);
  MimeMessage message;
  fill_plain(message);
  message.set_cc("bob@example.test");
  std::vector<double> fractions;
  message.progress = [&](double f) {
    fractions.push_back(f);
    return false;
  };
  ASSERT_TRUE(send_message(message)) << message.error.c_str();
  std::vector<double> first = fractions;
  fractions.clear();
  ASSERT_TRUE(send_message(message)) << message.error.c_str();
  EXPECT_EQ(fractions, first);
  quit();
  EXPECT_THAT(server.finish(), IsEmpty());

  // 0.04, one per recipient up to 0.10, 0.11, one per line of the text
  // (10 lines) rising from 0.11 and staying below 0.98, 0.99, 1.0.
  ASSERT_EQ(first.size(), 4u + 10u + 2u);
  EXPECT_DOUBLE_EQ(first[0], 0.04);
  EXPECT_DOUBLE_EQ(first[1], 0.07);
  EXPECT_DOUBLE_EQ(first[2], 0.10);
  EXPECT_DOUBLE_EQ(first[3], 0.11);
  EXPECT_DOUBLE_EQ(first[4], 0.11);  // the first line starts at offset 0
  for (size_t i = 5; i < 14; ++i) {
    EXPECT_GT(first[i], first[i - 1]);
    EXPECT_LT(first[i], 0.98);
  }
  EXPECT_DOUBLE_EQ(first[14], 0.99);
  EXPECT_DOUBLE_EQ(first[15], 1.0);
}

struct Stop {
  const char* name;
  double at;  // the first fraction answered with "stop"
  Script script;
  int code;
};

class SmtpStop : public SmtpDialogue, public ::testing::WithParamInterface<Stop> {};

TEST_P(SmtpStop, StopsWithTheStepsCodeAndQuits) {
  const Stop& c = GetParam();
  FakeSmtpServer server(c.script);
  use(server);
  MimeMessage message;
  fill_plain(message);
  message.progress = [&](double f) { return f >= c.at - 1e-9; };
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error, String::formatted("SMTP Error %d\nInterrupted by user", c.code));
  EXPECT_FALSE(smtp_connection().is_open());
  EXPECT_THAT(server.finish(), IsEmpty());
}

Script through_data() {
  return {S::accept(), S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
          S::send("250 ok\r\n"), S::expect("MAIL FROM:<john@example.test>\r\n"),
          S::send("250 ok\r\n"), S::expect("RCPT TO:<ann@example.test>\r\n"),
          S::send("250 ok\r\n"), S::expect("DATA\r\n"), S::send("354 go\r\n")};
}


INSTANTIATE_TEST_SUITE_P(
    Fractions, SmtpStop,
    ::testing::Values(
        Stop{"after_connecting", 0.04,
             {S::accept(), S::send("220 hi\r\n"), S::expect("QUIT\r\n")}, 4552},
        Stop{"after_a_recipient", 0.10,
             {S::accept(), S::send("220 hi\r\n"), S::expect("EHLO smtp.test\r\n"),
              S::send("250 ok\r\n"), S::expect("MAIL FROM:<john@example.test>\r\n"),
              S::send("250 ok\r\n"), S::expect("RCPT TO:<ann@example.test>\r\n"),
              S::send("250 ok\r\n"), S::expect("QUIT\r\n")},
             4595},
        Stop{"after_data", 0.11, then(through_data(), {S::expect("QUIT\r\n")}), 4612},
        // The half-sent text is never ended with ".": QUIT follows it.
        Stop{"while_sending", 0.5,
             then(through_data(), {S::expect("From: John Smith <john@example.test>\r\n"),
                                   S::expect("To: Ann <ann@example.test>\r\n"),
                                   S::expect("Subject: Hello\r\n"),
                                   S::expect("Date: 05 Dec 2026 14:03:09 +0100\r\n"),
                                   S::expect("QUIT\r\n")}),
             4622},
        Stop{"after_the_end_marker", 0.99,
             then(through_data(), {S::expect_data(kPlainData), S::expect("QUIT\r\n")}), 4632}),
    [](const auto& info) { return info.param.name; });

// A send that cannot record the message keeps its end marker back: the
// text is never ended, QUIT follows it, and the message fails.
TEST_F(SmtpDialogue, AHookThatRefusesTheEndOfDataKeepsTheMarkerBack) {
  Script script = through_data();
  std::string sent = kPlainData.substr(0, kPlainData.size() - 5) + "QUIT\r\n";
  for (size_t at = 0; at < sent.size();) {
    size_t end = sent.find('\n', at) + 1;
    script.push_back(S::expect(sent.substr(at, end - at)));
    at = end;
  }
  FakeSmtpServer server(script);
  use(server);
  MimeMessage message;
  fill_plain(message);
  int calls = 0;
  message.before_end_of_data = [&] {
    ++calls;
    return false;
  };
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(message.error,
            "SMTP Error 4622\nStopped before the end of the message: the send could not record it");
  EXPECT_FALSE(smtp_connection().is_open());
  EXPECT_THAT(server.finish(), IsEmpty());
}

TEST_F(SmtpDialogue, NoRecipientsFailsBeforeConnecting) {
  MimeMessage message;
  message.from = "john@example.test";
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error, "SMTP Error 4505\nThe message has no recipients.");
  EXPECT_FALSE(smtp_connection().is_open());
}

TEST_F(SmtpDialogue, DirectDeliveryEndsTheKeptConnectionAndGoesToTheDomainsServer) {
  // The configured server has a kept connection open when the message for
  // direct delivery comes; it is ended first.
  FakeSmtpServer configured(plus(accepted_envelope(),
                                 {S::expect("DATA\r\n"), S::send("354 go\r\n"),
                                  S::expect_data(kPlainData), S::send("250 ok\r\n"),
                                  S::expect("QUIT\r\n")}));
  use(configured);
  MimeMessage message;
  fill_plain(message);
  ASSERT_TRUE(send_message(message)) << message.error.c_str();

  // "mail.example.test" resolves to 127.0.0.1 here, on the same port;
  // the greeting still names the configured server, and is EHLO, so that
  // STARTTLS would be seen when offered.
  FakeSmtpServer direct(plus(accepted_envelope("EHLO smtp.test\r\n"),
                             {S::expect("DATA\r\n"), S::send("354 go\r\n"),
                              S::expect_data(kPlainData), S::send("250 ok\r\n"),
                              S::expect("QUIT\r\n")}));
  use(direct);
  message.direct_delivery = true;
  ASSERT_TRUE(send_message(message)) << message.error.c_str();
  EXPECT_THAT(configured.finish(), IsEmpty());
  quit();
  EXPECT_THAT(direct.finish(), IsEmpty());
}

TEST_F(SmtpDialogue, ConnectionFailures) {
  // A port where nothing listens.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t size = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  int closed_port = ntohs(address.sin_port);
  ::close(probe);

  struct Case {
    const char* server;
    int port;
    bool direct;
    const char* recipient;
    const char* error;
  } cases[] = {
      {"smtp.test", closed_port, false, "ann@example.test",
       "SMTP Error 4515\nUnable to connect to server smtp.test:PORT: Connection refused"},
      {"smtp.test", 0, false, "ann@example.test", "SMTP Error 4515\nInvalid SMTP port: 0"},
      {"nowhere.test", 25, false, "ann@example.test",
       "SMTP Error 4515\nUnable to locate SMTP server: nowhere.test\nSecondary error code: -2"},
      {"", 25, false, "ann@example.test",
       "SMTP Error 4515\nUnable to locate SMTP server: \nSecondary error code: -2"},
      // Direct delivery to a recipient without "@" asks for "mail." alone.
      {"smtp.test", 25, true, "Ann", "SMTP Error 4515\nUnable to locate SMTP server: mail.\n"
                                     "Secondary error code: -2"},
  };
  for (const Case& c : cases) {
    set_smtp_server(c.server);
    set_smtp_port(c.port);
    MimeMessage message;
    message.add_recipient(c.recipient);
    message.direct_delivery = c.direct;
    EXPECT_FALSE(send_message(message));
    String expected = c.error;
    expected.replace_all("PORT", String::formatted("%d", closed_port).c_str());
    EXPECT_EQ(message.error, expected) << c.server << " " << c.port;
    EXPECT_FALSE(smtp_connection().is_open());
  }
}

int lookups = 0;
bool counting_resolver(const char* host, Address* address, int* error) {
  ++lookups;
  return test_resolver(host, address, error);
}

TEST_F(SmtpDialogue, ServerNameIsLookedUpOnceUntilItChanges) {
  set_resolver(counting_resolver);
  set_smtp_server("smtp.test");
  lookups = 0;
  EXPECT_EQ(smtp_server_address().text(), "127.0.0.1");
  EXPECT_EQ(smtp_server_address().text(), "127.0.0.1");
  EXPECT_EQ(lookups, 1);
  set_smtp_port(2525);
  smtp_server_address();
  EXPECT_EQ(lookups, 1);  // a new port needs no new look-up
  set_smtp_server("mail.example.test");
  smtp_server_address();
  EXPECT_EQ(lookups, 2);
}

}  // namespace
}  // namespace tessaline
