// Tests of the send operation against a real SMTP server (aiosmtpd on
// 127.0.0.1): what the server received, the send log byte for byte, and
// every box, question and focus through the recording port.
#include "send/send_operation.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "core/date.h"
#include "core/text_format.h"
#include "mail/connection.h"
#include "mail/mx_lookup.h"
#include "mail/smtp_client.h"
#include "mail/smtp_server.h"
#include "db/database.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"
#include "mail/test_support.h"
#include "mail/testing/test_servers.h"
#include "send/test_environment.h"

// The ODBC drivers keep the configuration they read through unixODBC's
// libodbcinst for the life of the process; LeakSanitizer is told so, and
// only about those libraries.
// The drivers are built without frame pointers: the slow unwinder is
// needed to see the library a leak comes from.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libodbcinst.so\nleak:libsqlite3odbc.so\n";
}
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace tessaline {
namespace {

using testing::SmtpTestServer;
using testing::TestEnvironment;
using Kind = RecordingUi::EventKind;

SmtpTestServer* g_server = nullptr;
SmtpTestServer* g_pipelining_server = nullptr;  // offers PIPELINING
testing::TestDataSources* g_sources = nullptr;
std::vector<std::string> g_resolved;

// Direct delivery goes to "mail." + the domain: mail.direct.test is this
// machine, mail.nowhere.test does not exist. Nothing else leaves 127.0.0.1.
bool test_resolver(const char* host, Address* address, int* error) {
  g_resolved.push_back(host);
  std::string name = host;
  if (name == "127.0.0.1" || name == "mail.direct.test") {
    *address = Address::from_bytes(127, 0, 0, 1);
    return true;
  }
  *error = EAI_NONAME;
  return false;
}

ClockReading fixed_clock() {
  ClockReading reading;
  reading.local.date = make_date(12, 10, 2026);
  reading.local.hour = 3;
  reading.local.minute = 4;
  reading.local.second = 5;
  reading.utc_offset_minutes = 0;
  return reading;
}

// No DNS: every domain is one without mail hosts of its own, so direct
// delivery goes to "mail." + the domain.
MailHosts no_mail_hosts(const String&) {
  MailHosts none;
  none.status = MxStatus::kNoDomain;
  return none;
}

class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    set_resolver(test_resolver);
    set_mx_lookup(no_mail_hosts);
    set_clock(fixed_clock);
    set_smtp_timeout(20);
    g_server = new SmtpTestServer();
    std::string error;
    ASSERT_TRUE(g_server->start(&error)) << error;
    g_pipelining_server = new SmtpTestServer();
    ASSERT_TRUE(g_pipelining_server->start(&error, /*pipelining=*/true)) << error;
    g_sources = new testing::TestDataSources();
    ASSERT_TRUE(g_sources->start(/*with_postgres=*/false)) << g_sources->error().c_str();
    ASSERT_TRUE(iniz_gdb()) << "unixODBC (libodbc.so.2) could not be loaded";
  }
  void TearDown() override {
    database().close();
    delete g_sources;
    g_sources = nullptr;
    delete g_server;
    g_server = nullptr;
    delete g_pipelining_server;
    g_pipelining_server = nullptr;
    set_clock(nullptr);
    set_mx_lookup(nullptr);
    set_resolver(nullptr);
  }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment());

const char kHeadingDate[] = "12/10/2026 3:04:05a";

std::string heading() {
  std::string title = std::string("Send operation performed on ") + kHeadingDate;
  return "\r\n" + title + "\r\n" + std::string(title.size(), '-') + "\r\n";
}

// The totals of a batch, with the bytes the server received for it (each
// message arrives with the CR LF that ends the data).
std::string totals(int sent, int errors, const std::vector<SmtpTestServer::Received>& batch,
                   bool identical = false) {
  int64_t bytes = 0;
  for (const auto& r : batch) bytes += static_cast<int64_t>(r.data.size()) - 2;
  std::string text;
  if (!identical) {
    text = "\r\n" + std::to_string(sent) + " sent successfully, " + std::to_string(errors) +
           " errors\r\n";
  }
  // The test clock moves 1.5 seconds between the start and the end of a
  // batch.
  text += "\r\nTotal elapsed time: 1.50 seconds\r\nTotal bytes sent: " +
          format_size(bytes).std_string();
  if (bytes > 0) text += " (" + format_size(bytes * 1000 / 1500).std_string() + " per second)";
  return text + "\r\n";
}

std::string body_of(const std::string& data) {
  size_t at = data.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : data.substr(at + 4);
}

bool has_header(const std::string& data, const std::string& line) {
  std::string head = data.substr(0, data.find("\r\n\r\n") + 2);
  return head.find(line + "\r\n") != std::string::npos;
}

class SendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_server->clear();
    g_resolved.clear();
    project()
        .set(kFieldFrom, "Sender <sender@example.com>")
        .set(kFieldSubject, "Hello")
        .set(kFieldSmtpPort, String::formatted("%d", g_server->port()))
        .check(kFieldUseBodyText)
        .set(kFieldBody, "Dear [[-FirstName-]] #[[-Index-]]")
        .check(kFieldUseRecipientText);
  }

  testing::MemoryProject& project() { return env_.project_values; }
  RecordingUi& ui() { return env_.recorder; }
  void recipients(const char* lines) { project().set(kFieldRecipientText, lines); }
  void mode(int send_mode) { project().set(kFieldSendMode, String::formatted("%d", send_mode)); }
  std::vector<SmtpTestServer::Received> received() const { return g_server->received(); }
  int boxes() const {
    int n = 0;
    for (const auto& e : env_.recorder.events) {
      if (e.kind >= Kind::kError && e.kind <= Kind::kChooseOne) ++n;
    }
    return n;
  }

  TestEnvironment env_;
  SendOperation send_{env_};
};

// --- the checks before anything is sent ------------------------------------------

TEST_F(SendTest, ChecksStopTheSendWithTheirMessageAndFocus) {
  struct Case {
    const char* message;
    const char* field;
    std::function<void(TestEnvironment&)> setup;
  } cases[] = {
      {"You must enter the originating email address.", kFieldFrom,
       [](TestEnvironment& e) { e.project_values.set(kFieldFrom, ""); }},
      {"Invalid recipient in CC list:\nthe boss", kFieldCc,
       [](TestEnvironment& e) { e.project_values.set(kFieldCc, "a@example.com; the boss"); }},
      {"You must enter the name of the SMTP server.", kFieldSmtpServer,
       [](TestEnvironment& e) {
         e.server_field = "  ";
         e.project_values.check(kFieldDirectDelivery);
       }},
      {"You must enter the port number of the SMTP server.", kFieldSmtpPort,
       [](TestEnvironment& e) { e.project_values.set(kFieldSmtpPort, "0"); }},
      {"You must enter the port number of the SMTP server.", kFieldSmtpPort,
       [](TestEnvironment& e) { e.project_values.set(kFieldSmtpPort, "smtp"); }},
      {"You must enter the port number of the SMTP server.", kFieldSmtpPort,
       [](TestEnvironment& e) { e.project_values.set(kFieldSmtpPort, "65536"); }},
      {"You must choose the send mode.", kFieldSendMode,
       [](TestEnvironment& e) { e.project_values.set(kFieldSendMode, "104"); }},
      {"You must enter a database name.", kFieldDbName,
       [](TestEnvironment& e) { e.project_values.check(kFieldUseDatabase); }},
      {"You must enter a database table name.", kFieldTableName,
       [](TestEnvironment& e) {
         e.project_values.check(kFieldUseDatabase).set(kFieldDbName, "dsn");
       }},
      {"You must enter a recipient column.", kFieldRecipientColumn,
       [](TestEnvironment& e) {
         e.project_values.check(kFieldUseDatabase).set(kFieldDbName, "dsn").set(kFieldTableName, "t");
       }},
      {"Unable to open text body file:\n/nonexistent/body.txt", kFieldBodyFile,
       [](TestEnvironment& e) {
         e.project_values.check(kFieldUseBodyFile).set(kFieldBodyFile, "/nonexistent/body.txt");
       }},
      {"Unable to open HTML body file:\n/nonexistent/body.html", kFieldHtmlFile,
       [](TestEnvironment& e) {
         e.project_values.check(kFieldUseHtmlFile).set(kFieldHtmlFile, "/nonexistent/body.html");
       }},
      {"The file specification '/nonexistent/*.gif' on line 1 did not match any files.\n",
       kFieldHtmlAttach,
       [](TestEnvironment& e) {
         e.project_values.check(kFieldUseHtmlText)
             .set(kFieldHtmlBody, "<p>x</p>")
             .set(kFieldHtmlAttach, "/nonexistent/*.gif");
       }},
      {"The following problems occurred with your attachments:\n\nThe file specification "
       "'report.pdf' on line 2 is not an absolute path.\n",
       kFieldAttachments,
       [](TestEnvironment& e) {
         e.project_values.set(kFieldAttachments, "\n report.pdf\n");
       }},
      {"No recipients have been specified.", nullptr,
       [](TestEnvironment& e) { e.project_values.check(kFieldUseRecipientText, false); }},
  };
  for (const Case& c : cases) {
    TestEnvironment env;
    env.project_values = project();
    env.project_values.set(kFieldRecipientText, "ann@example.com");
    c.setup(env);
    SendOperation operation(env);
    EXPECT_FALSE(operation.send()) << c.message;
    const RecordingUi::Event* box = env.recorder.last_box();
    ASSERT_NE(box, nullptr) << c.message;
    EXPECT_EQ(box->kind, Kind::kError);
    EXPECT_EQ(box->message.std_string(), c.message);
    EXPECT_EQ(env.recorder.count(Kind::kError), 1) << c.message;
    const RecordingUi::Event* focus = env.recorder.last(Kind::kFocus);
    if (c.field) {
      ASSERT_NE(focus, nullptr) << c.message;
      EXPECT_EQ(focus->field.std_string(), c.field);
    }
    EXPECT_EQ(env.log(), "") << c.message;
    EXPECT_FALSE(env.running);
  }
  EXPECT_TRUE(received().empty());
}

TEST_F(SendTest, WithoutAProjectItOnlyBeeps) {
  project().open = false;
  EXPECT_FALSE(send_.send());
  ASSERT_EQ(ui().events.count(), 1);
  EXPECT_EQ(ui().events[0].kind, Kind::kBeep);
}

TEST_F(SendTest, ASecondSendWhileOneRunsReturnsAtOnce) {
  env_.running = true;
  EXPECT_FALSE(send_.send());
  EXPECT_EQ(ui().events.count(), 0);
  EXPECT_EQ(env_.log(), "");  // never created
}

// --- No Preview ------------------------------------------------------------------

TEST_F(SendTest, AnUnattendedNoPreviewSendLogsEveryVerdictAndDelivery) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().check(kFieldRecycle).check(kFieldEliminateDuplicates);
  project().check(kFieldUseExclusionText).set(kFieldExclusionText, "Gone <GONE@example.com>");
  recipients(
      "Ann Ames <ann@example.com>\n\n  bob@example.com\t\nANN@example.com\n!cy@example.com\n"
      "two@@example.com\ngone@example.com\ndi@example.com");
  ASSERT_TRUE(send_.send());

  auto messages = received();
  ASSERT_EQ(messages.size(), 3u);
  const char* to[] = {"ann@example.com", "bob@example.com", "di@example.com"};
  const char* bodies[] = {"Dear Ann #1\r\n", "Dear  #2\r\n", "Dear  #3\r\n"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(messages[i].rcpt_to, std::vector<std::string>{to[i]});
    EXPECT_EQ(messages[i].mail_from, "sender@example.com");
    EXPECT_EQ(body_of(messages[i].data), std::string(bodies[i]) + "\r\n");
    EXPECT_TRUE(has_header(messages[i].data, "Subject: Hello"));
    // One kept connection for the whole send.
    EXPECT_EQ(messages[i].peer_port, messages[0].peer_port);
  }
  EXPECT_TRUE(has_header(messages[0].data, "To: Ann Ames <ann@example.com>"));
  EXPECT_TRUE(has_header(messages[0].data, "Date: 10 Dec 2026 03:04:05 +0000"));

  EXPECT_EQ(env_.log(),
            heading() +
                "Ann Ames <ann@example.com>: accepted\r\n"
                "Sending Ann Ames <ann@example.com> : success\r\n"
                "bob@example.com: accepted\r\n"
                "Sending bob@example.com : success\r\n"
                "ANN@example.com: DUPLICATE\r\n"
                "!cy@example.com: EXCLAMATION POINT\r\n"
                "two@@example.com: ILLEGAL ADDRESS\r\n"
                "gone@example.com: EXCLUDED\r\n"
                "di@example.com: accepted\r\n"
                "Sending di@example.com : success\r\n"
                "7 recipients, 4 rejected\r\n" +
                totals(3, 0, messages));
  // No question and no box in an unattended run without errors.
  EXPECT_EQ(boxes(), 0);
  EXPECT_EQ(send_.counters().candidates, 7);
  EXPECT_EQ(send_.counters().rejected, 4);
  std::string setting = "127.0.0.1:" + std::to_string(g_server->port());
  ASSERT_FALSE(env_.stored_settings.empty());
  EXPECT_EQ(env_.stored_settings.back(), setting);
  EXPECT_FALSE(env_.running);
}

TEST_F(SendTest, WithoutRecyclingEachMessageHasItsOwnConnection) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  recipients("ann@example.com\nbob@example.com\ncy@example.com");
  ASSERT_TRUE(send_.send());
  auto messages = received();
  ASSERT_EQ(messages.size(), 3u);
  std::set<int> ports;
  for (const auto& m : messages) ports.insert(m.peer_port);
  EXPECT_EQ(ports.size(), 3u);
}

// A server that offers pipelining gets each envelope in one write, sent
// with the end of the message before. Every recipient still gets exactly
// one message, the log reads as it does without pipelining, and a refused
// recipient costs no new connection (RSET ends its transaction).
TEST_F(SendTest, APipeliningServerGetsEveryMessageOnceOverOneConnection) {
  g_pipelining_server->clear();
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().check(kFieldRecycle).set(kFieldSmtpPort,
                                     String::formatted("%d", g_pipelining_server->port()));
  recipients("ann@example.com\nrefused@example.com\nbob@example.com\ncy@example.com");
  EXPECT_FALSE(send_.send());
  auto messages = g_pipelining_server->received();
  ASSERT_EQ(messages.size(), 3u);
  const char* to[] = {"ann@example.com", "bob@example.com", "cy@example.com"};
  const char* bodies[] = {"Dear  #1\r\n", "Dear  #3\r\n", "Dear  #4\r\n"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(messages[i].rcpt_to, std::vector<std::string>{to[i]});
    EXPECT_EQ(body_of(messages[i].data), std::string(bodies[i]) + "\r\n");
    EXPECT_EQ(messages[i].peer_port, messages[0].peer_port);
  }
  EXPECT_EQ(env_.log(),
            heading() +
                "ann@example.com: accepted\r\n"
                "Sending ann@example.com : success\r\n"
                "refused@example.com: accepted\r\n"
                "Sending refused@example.com :\r\nSMTP Error 4590\nInvalid response to recipient "
                "refused@example.com\r\n550 5.1.1 <refused@example.com>: mailbox unavailable"
                "\r\n\r\n"
                "bob@example.com: accepted\r\n"
                "Sending bob@example.com : success\r\n"
                "cy@example.com: accepted\r\n"
                "Sending cy@example.com : success\r\n"
                "4 recipients, 0 rejected\r\n" +
                totals(3, 1, messages));
}

// With a CC list the server takes the pipelined DATA of a message whose
// recipient it refused (the CC addresses were taken): that message must
// reach nobody, so its connection ends there and the next message goes
// over a new one.
TEST_F(SendTest, AMessageWhoseRecipientAPipeliningServerRefusedReachesNoCcAddress) {
  g_pipelining_server->clear();
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().check(kFieldRecycle).set(kFieldSmtpPort,
                                     String::formatted("%d", g_pipelining_server->port()));
  project().set(kFieldCc, "cc@example.com");
  recipients("ann@example.com\nrefused@example.com\nbob@example.com");
  EXPECT_FALSE(send_.send());
  auto messages = g_pipelining_server->received();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rcpt_to, (std::vector<std::string>{"ann@example.com", "cc@example.com"}));
  EXPECT_EQ(messages[1].rcpt_to, (std::vector<std::string>{"bob@example.com", "cc@example.com"}));
  EXPECT_EQ(body_of(messages[1].data), "Dear  #3\r\n\r\n");
  EXPECT_NE(messages[1].peer_port, messages[0].peer_port);
  EXPECT_NE(env_.log().find("Sending refused@example.com :\r\nSMTP Error 4590\n"),
            std::string::npos);
}

// No Preview personalises and sends each recipient as it is gathered, yet
// each message after the first has its commands sent with the end of the
// one before: the send reads the next accepted recipient ahead. Rejected
// candidates in between, a limit that ends the send, and a resume that
// skips what it delivered before must not change what goes out or what
// the log says.
TEST_F(SendTest, NoPreviewSendsEachEnvelopeWithTheEndOfTheMessageBefore) {
  struct Case {
    const char* what;
    const char* recipients;
    int limit;
    std::vector<JournalOutcome> resumed;  // empty: a fresh send
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {"rejected and duplicate candidates between", "ann@example.com\n!no@example.com\n\n"
       "bob@example.com\nANN@example.com\nbad@@example.com\ncy@example.com",
       0, {}, {"ann@example.com", "bob@example.com", "cy@example.com"}},
      {"a limit: nothing is sent ahead past it",
       "ann@example.com\nbob@example.com\ncy@example.com\ndi@example.com", 2, {},
       {"ann@example.com", "bob@example.com"}},
      {"a resume skips one delivered before",
       "ann@example.com\nbob@example.com\ncy@example.com\ndi@example.com", 0,
       {JournalOutcome::kNone, JournalOutcome::kDelivered, JournalOutcome::kNone,
        JournalOutcome::kDelivered},
       {"ann@example.com", "cy@example.com"}},
  };
  std::vector<std::string> trace;
  set_smtp_trace([&](std::string_view line) { trace.emplace_back(line); });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string logs[2];
    for (bool pipelining : {false, true}) {
      SmtpTestServer* server = pipelining ? g_pipelining_server : g_server;
      server->clear();
      trace.clear();
      TestEnvironment env;
      testing::set_up_unattended_send(env);
      env.project_values.set(kFieldSmtpPort, String::formatted("%d", server->port()))
          .set(kFieldCc, "boss@example.com")
          .check(kFieldEliminateDuplicates)
          .set(kFieldRecipientText, c.recipients);
      SendOptions options;
      options.limit = c.limit;
      if (!c.resumed.empty()) {
        testing::write_killed_journal(env, {"ann@example.com", "bob@example.com",
                                            "cy@example.com", "di@example.com"},
                                      c.resumed);
        options.resume = true;
      }
      SendOperation operation(env);
      ASSERT_TRUE(operation.send(options));
      logs[pipelining] = env.log();

      auto messages = server->received();
      ASSERT_EQ(messages.size(), c.sent.size());
      for (size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(messages[i].rcpt_to, (std::vector<std::string>{c.sent[i], "boss@example.com"}));
        EXPECT_EQ(messages[i].peer_port, messages[0].peer_port);
      }
      if (!pipelining) continue;
      // One MAIL FROM per message, none for a message that never came,
      // and each after the first in the write of the end of data before.
      size_t mail_from = 0;
      for (size_t i = 0; i < trace.size(); ++i) {
        EXPECT_EQ(trace[i].find("connecting again"), std::string::npos) << trace[i];
        if (trace[i].rfind("-> MAIL FROM:", 0) != 0) continue;
        if (mail_from++ > 0) {
          EXPECT_EQ(trace[i - 1], "-> .") << "message " << mail_from;
        }
      }
      EXPECT_EQ(mail_from, c.sent.size());
    }
    EXPECT_EQ(logs[1], logs[0]);
    EXPECT_NE(logs[1].find("Sending " + c.sent.back() + " : success\r\n"), std::string::npos)
        << logs[1];
  }
  set_smtp_trace(nullptr);
}

// Each message's lines reach the log, and its kept copy, with one write
// each, also when it is refused, in No Preview (its "accepted" line too) and
// in Normal mode; the log's bytes are those of the writes in order.
TEST_F(SendTest, EachMessageCostsOneWriteToTheLogAndOneToItsCopy) {
  for (int send_mode : {SendOperation::kNoPreview, SendOperation::kNormal}) {
    SCOPED_TRACE(send_mode);
    g_server->clear();
    TestEnvironment env;
    env.project_values = project();
    env.project_values.set(kFieldSendMode, String::formatted("%d", send_mode))
        .check(kFieldRecycle)
        .set(kFieldRecipientText, "ann@example.com\nrefused@example.com\nbob@example.com");
    env.command_line = true;
    env.review_answers = {true};
    SendOperation operation(env);
    std::vector<std::string> writes[2];
    operation.log().set_write_hook(
        [&](bool copy, std::string_view text) { writes[copy].emplace_back(text); });
    EXPECT_FALSE(operation.send());
    std::string whole;
    for (const std::string& w : writes[0]) whole += w;
    EXPECT_EQ(whole, env.log());
    EXPECT_EQ(writes[1], writes[0]);  // the kept copy
    for (const char* r : {"ann@example.com", "refused@example.com", "bob@example.com"}) {
      SCOPED_TRACE(r);
      const std::string sending = std::string("Sending ") + r + " :";
      int with = 0;
      for (const std::string& w : writes[0]) {
        if (w.find(sending) == std::string::npos) continue;
        ++with;
        // The outcome is in the same write; No Preview's verdict too.
        EXPECT_NE(w.find(r == std::string("refused@example.com") ? "SMTP Error 4590"
                                                                  : " : success\r\n"),
                  std::string::npos)
            << w;
        if (send_mode == SendOperation::kNoPreview) {
          EXPECT_EQ(w.rfind(std::string(r) + ": accepted\r\n", 0), 0u) << w;
        }
      }
      EXPECT_EQ(with, 1);
    }
  }
}

TEST_F(SendTest, NoPreviewAnsweredNoSendsNothing) {
  mode(SendOperation::kNoPreview);
  recipients("ann@example.com");
  ui().reply_yes_no(false);
  EXPECT_TRUE(send_.send());
  const RecordingUi::Event* question = ui().last(Kind::kYesNo);
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(question->message.std_string(),
            "You have selected the \"No Preview\" mode.  This is your last chance to stop the "
            "operation.\n\nDo you wish to begin sending messages?");
  EXPECT_EQ(question->caption.std_string(), "Send Messages");
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(env_.log(), "");
}

TEST_F(SendTest, LongLinesAreWrappedAtTheLineLengthButNeverBelowTwenty) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().set(kFieldLineLength, "5").set(kFieldBody, std::string(50, 'x').c_str());
  recipients("ann@example.com");
  ASSERT_TRUE(send_.send());
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  std::string twenty(20, 'x');
  EXPECT_EQ(body_of(messages[0].data), twenty + "\r\n" + twenty + "\r\n" + "xxxxxxxxxx\r\n\r\n");
}

TEST_F(SendTest, AnAbortWhileSendingLogsEveryMessageNotSent) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  recipients("ann@example.com\nbob@example.com");
  ui().abort_progress_at(1);
  EXPECT_TRUE(send_.send());
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(env_.log(), heading() +
                            "ann@example.com: accepted\r\n"
                            "ann@example.com\r\nUser aborted: message not sent\r\n\r\n"
                            "bob@example.com: accepted\r\n"
                            "bob@example.com\r\nUser aborted: message not sent\r\n\r\n"
                            "2 recipients, 0 rejected\r\n" +
                            totals(0, 0, {}));
}

TEST_F(SendTest, AFailedUnattendedSendOffersTheLogAndShowsItsCopy) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  recipients("refused@example.com\nann@example.com");
  ui().reply_yes_no(true);
  EXPECT_FALSE(send_.send());

  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  std::string log = heading() +
                    "refused@example.com: accepted\r\n"
                    "Sending refused@example.com :\r\n"
                    "SMTP Error 4590\nInvalid response to recipient refused@example.com\r\n"
                    "550 5.1.1 <refused@example.com>: mailbox unavailable\r\n\r\n"
                    "ann@example.com: accepted\r\n"
                    "Sending ann@example.com : success\r\n"
                    "2 recipients, 0 rejected\r\n" +
                    totals(1, 1, messages);
  EXPECT_EQ(env_.log(), log);
  const RecordingUi::Event* prompt = ui().last(Kind::kYesNo);
  ASSERT_NE(prompt, nullptr);
  EXPECT_EQ(prompt->message.std_string(),
            "The operation completed, with errors.\n\nDo you wish to view the log?");
  EXPECT_EQ(prompt->caption.std_string(), "Operation Complete");
  // The copy is taken from the open log.
  std::string copy = (env_.folder / "TempLog.TXT").std_string();
  EXPECT_EQ(env_.opened, std::vector<std::string>{copy});
  EXPECT_EQ(testing::read_text(copy), log);
}

// A server's refusal reaches the log only in part: a long one cut to a few
// KB with the cut marked, one beyond what the client reads given up on as
// too long. Either way the send goes on with the next recipient.
TEST_F(SendTest, AServersLongRefusalIsCutInTheLog) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  recipients("verbose@example.com\nendless@example.com\nann@example.com");
  EXPECT_FALSE(send_.send());

  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rcpt_to, std::vector<std::string>{"ann@example.com"});
  const std::string log = env_.log();
  // The part of the log about one recipient: from its verdict to the next.
  auto entry = [&](const std::string& who, const std::string& next) {
    size_t from = log.find(who + ": accepted\r\n");
    size_t to = log.find(next, from);
    if (from == std::string::npos || to == std::string::npos) return std::string();
    return log.substr(from, to - from);
  };
  const std::string verbose = entry("verbose@example.com", "endless@example.com: accepted");
  EXPECT_TRUE(verbose.starts_with(
      "verbose@example.com: accepted\r\nSending verbose@example.com :\r\nSMTP Error 4590\n"
      "Invalid response to recipient verbose@example.com\r\n"
      "550-5.1.1 reason 0 for refusing <verbose@example.com>\r\n"))
      << verbose.substr(0, 300);
  EXPECT_NE(verbose.find(" more bytes of the reply not shown]\r\n\r\n"), std::string::npos);
  EXPECT_LE(verbose.size(), static_cast<size_t>(kReplyExcerpt + 300));

  const std::string endless = entry("endless@example.com", "ann@example.com: accepted");
  EXPECT_TRUE(endless.starts_with(
      "endless@example.com: accepted\r\nSending endless@example.com :\r\nSMTP Error 4590\n"
      "The SMTP server's answer to RCPT TO was longer than " +
      std::to_string(ReplyAssembler::kMaxReply) +
      " bytes and was given up on:\r\n550-5.1.1 reason 0 for refusing <endless@example.com>\r\n"))
      << endless.substr(0, 300);
  EXPECT_NE(endless.find(" more bytes of the reply not shown]\r\n\r\n"), std::string::npos);
  EXPECT_LE(endless.size(), static_cast<size_t>(kReplyExcerpt + 300));

  EXPECT_NE(log.find("ann@example.com: accepted\r\nSending ann@example.com : success\r\n"
                     "3 recipients, 0 rejected\r\n"),
            std::string::npos);
  EXPECT_TRUE(log.ends_with(totals(1, 2, messages)));
}

// A port that kills its own process when the send reaches a recipient.
class KillingUi : public RecordingUi {
 public:
  void set_progress_text(const String& text) override {
    if (text.contains("bob@example.com")) raise(SIGKILL);
  }
};

class KillingEnvironment : public TestEnvironment {
 public:
  Ui& ui() override { return killer; }
  KillingUi killer;
};

TEST_F(SendTest, AKilledSendLeavesALogOfWhomItSentTo) {
  KillingEnvironment env;
  env.project_values = project();
  env.project_values.set(kFieldSendMode, "101")
      .set(kFieldRecipientText, "ann@example.com\nbob@example.com\ncy@example.com");
  env.command_line = true;
  pid_t pid = fork();
  if (pid == 0) {
    SendOperation operation(env);
    operation.send();
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(received().size(), 1u);
  // Bob's lines wait for his message's outcome, so none of them is there:
  // a message on its way is the journal's to account for.
  EXPECT_EQ(env.log(), heading() +
                           "ann@example.com: accepted\r\n"
                           "Sending ann@example.com : success\r\n");
}

// The log is the person's only record of whom the send reached: a line it
// cannot take (here a file size limit; a full disk alike) stops the send
// before the next message, and the person is told why.
TEST_F(SendTest, ALogLineThatCannotBeWrittenStopsTheSendBeforeTheNextMessage) {
  const std::string ann_lines = "ann@example.com: accepted\r\nSending ann@example.com : success\r\n";
  const int heading_size = static_cast<int>(heading().size());
  const int ann_sent = heading_size + static_cast<int>(ann_lines.size());
  struct Case {
    const char* name;
    int mode;
    int log_limit;  // bytes the log may grow to
    std::vector<std::string> sent;
    const char* unrecorded;  // sent, its lines cut
  } cases[] = {
      {"heading cut", SendOperation::kNoPreview, 40, {}, nullptr},
      // A message's lines are written once it went: it is named.
      {"Sending line cut", SendOperation::kNoPreview, ann_sent - 12, {"ann@example.com"},
       "ann@example.com"},
      {"success cut", SendOperation::kNoPreview, ann_sent - 4, {"ann@example.com"},
       "ann@example.com"},
      {"next verdict cut", SendOperation::kNoPreview, ann_sent + 8,
       {"ann@example.com", "bob@example.com"}, "bob@example.com"},
      // Normal: the verdicts come first; the review never opens.
      {"verdicts cut", SendOperation::kNormal, 60, {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_server->clear();
    TestEnvironment env;
    env.project_values = project();
    env.project_values.set(kFieldSendMode, String::formatted("%d", c.mode))
        .set(kFieldRecipientText, "ann@example.com\nbob@example.com\ncy@example.com");
    env.command_line = true;
    env.review_answers = {true};
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(c.log_limit), static_cast<rlim_t>(c.log_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      SendOperation operation(env);
      bool sent = operation.send();
      const RecordingUi::Event* box = env.recorder.last_box();
      String expected = "The send log could not be written:\n" + env.folder / kSendLogName +
                        "\nFile too large\n\nThe send was stopped so that no message goes out "
                        "without its record; the recipients after the last one in the log were "
                        "not sent" +
                        (c.unrecorded ? ", but for the message to " + String(c.unrecorded) +
                                            ", which was sent before its lines could be written."
                                      : String("."));
      bool told = box != nullptr && box->kind == Kind::kError && box->message == expected;
      _exit((sent ? 1 : 0) + (told ? 0 : 2) + (env.reviews.empty() ? 0 : 4));
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    // 1: the send reported success, 2: the person was not told, 4: reviewed.
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::vector<std::string> delivered;
    for (const auto& r : received()) delivered.insert(delivered.end(), r.rcpt_to.begin(), r.rcpt_to.end());
    EXPECT_EQ(delivered, c.sent);
    // The log holds what fitted, and nothing written after the failure.
    EXPECT_EQ(static_cast<int>(env.log().size()), c.log_limit);
  }
}

TEST_F(SendTest, ViewingTheLastLogCopiesTheClosedLog) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  recipients("ann@example.com");
  ASSERT_TRUE(send_.send());
  send_.view_log(false, false);
  std::string copy = (env_.folder / "TempLog.TXT").std_string();
  EXPECT_EQ(env_.opened, std::vector<std::string>{copy});
  EXPECT_EQ(testing::read_text(copy), env_.log());

  // A log that cannot be copied (a folder stands in the copy's place).
  ASSERT_EQ(unlink(copy.c_str()), 0);
  ASSERT_EQ(mkdir(copy.c_str(), 0700), 0);
  send_.view_log(false, false);
  ASSERT_NE(ui().last_box(), nullptr);
  EXPECT_EQ(ui().last_box()->message.std_string(),
            "The log cannot be viewed.  Make sure you do not have it open in another program.");
  rmdir(copy.c_str());
}

TEST_F(SendTest, ADataTagErrorStopsTheSend) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().set(kFieldBody, "Dear [[-FirstName-");
  recipients("ann@example.com\nbob@example.com");
  EXPECT_FALSE(send_.send());
  EXPECT_TRUE(received().empty());
  ASSERT_NE(ui().last_box(), nullptr);
  EXPECT_EQ(ui().last_box()->kind, Kind::kError);
  EXPECT_EQ(env_.log(), heading() + "ann@example.com: accepted\r\n");
}

// --- what each recipient's message says -------------------------------------------------

testing::ReaderView read_as_reader(const std::string& data) {
  TestDirectory folder;
  testing::ReaderView view;
  std::string error;
  EXPECT_TRUE(testing::read_as_mail_reader(data, folder.path().std_string(), &view, &error))
      << error;
  return view;
}

TEST_F(SendTest, EachRecipientGetsItsOwnSubjectUnsubscribeAddressAndMessageId) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().check(kFieldRecycle);
  // A line break in the subject, as a project file can hold one, ends up
  // a blank like the values of its tags.
  project().set(kFieldSubject, "Gr\xc3\xbc\xc3\x9f" "e, [[-FirstName-:friend]]!\r\nBcc: all@example.com");
  project().set(kFieldUnsubscribe,
                "mailto:leave@example.com?subject=leave%20[[-Email-]] "
                "https://example.com/leave?who=[[-FullName-]]&n=[[-Index-]]");
  recipients("Ann Ames <ann@example.com>\nbob@example.com\nJos\xc3\xa9 Lee <jose@example.com>");
  ASSERT_TRUE(send_.send()) << env_.log();

  auto messages = received();
  ASSERT_EQ(messages.size(), 3u);
  struct Expected {
    const char* subject;
    const char* unsubscribe;
  } expected[] = {
      {"Gr\xc3\xbc\xc3\x9f" "e, Ann! Bcc: all@example.com",
       "<mailto:leave@example.com?subject=leave%20ann%40example.com>, "
       "<https://example.com/leave?who=Ann%20Ames&n=1>"},
      {"Gr\xc3\xbc\xc3\x9f" "e, friend! Bcc: all@example.com",
       "<mailto:leave@example.com?subject=leave%20bob%40example.com>, "
       "<https://example.com/leave?who=&n=2>"},
      {"Gr\xc3\xbc\xc3\x9f" "e, Jos\xc3\xa9! Bcc: all@example.com",
       "<mailto:leave@example.com?subject=leave%20jose%40example.com>, "
       "<https://example.com/leave?who=Jos%C3%A9%20Lee&n=3>"},
  };
  std::set<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    testing::ReaderView mail = read_as_reader(messages[i].data);
    EXPECT_EQ(mail.header("Subject"), expected[i].subject);
    EXPECT_EQ(mail.count("Bcc"), 0);
    EXPECT_EQ(mail.header("List-Unsubscribe"), expected[i].unsubscribe);
    EXPECT_EQ(mail.header("List-Unsubscribe-Post"), "List-Unsubscribe=One-Click");
    ASSERT_EQ(mail.dates.size(), 1u);
    EXPECT_EQ(mail.dates[0].second, "2026-12-10T03:04:05+00:00");
    std::string id = mail.header("Message-ID");
    EXPECT_TRUE(id.starts_with("<") && id.ends_with("@example.com>")) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 3u);
}

TEST_F(SendTest, ASubjectWithoutTagsIsSentAsItStands) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().set(kFieldSubject, "50% off ]] [ today -Index-");
  recipients("ann@example.com");
  ASSERT_TRUE(send_.send());
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(has_header(messages[0].data, "Subject: 50% off ]] [ today -Index-"));
  EXPECT_FALSE(messages[0].data.find("List-Unsubscribe") != std::string::npos);
}

TEST_F(SendTest, ErrorsInTheSubjectAndUnsubscribeFieldsStopTheSendThere) {
  struct Case {
    const char* subject;
    const char* unsubscribe;
    const char* message;
    const char* field;
    const char* log;
  } cases[] = {
      {"Hello [[-FirstName-", "",
       "The subject contains an unclosed data tag at position 8.  Every occurrence of the string "
       "\"[[\" must be followed by \"]]\".",
       "subject", "ann@example.com: accepted\r\n"},
      {"Hello", "https://example.com/?id=[[-Index-",
       "The unsubscribe address contains an unclosed data tag at position 26.  Every occurrence "
       "of the string \"[[\" must be followed by \"]]\".",
       "unsubscribe", "ann@example.com: accepted\r\n"},
      // Checked before anything else happens: the log stays empty.
      {"Hello", "mailto:leave@example.com ftp://example.com/leave",
       "The unsubscribe address must be a \"mailto:\" or an \"https:\" address:\n"
       "ftp://example.com/leave",
       "unsubscribe", ""},
      {"Hello", "http://example.com/leave?id=[[ -Index- ]]",
       "The unsubscribe address must be a \"mailto:\" or an \"https:\" address:\n"
       "http://example.com/leave?id=[[ -Index- ]]",
       "unsubscribe", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TestEnvironment env;
    env.project_values = project();
    env.command_line = true;
    env.project_values.set(kFieldSendMode, String::formatted("%d", SendOperation::kNoPreview));
    env.project_values.set(kFieldSubject, c.subject).set(kFieldUnsubscribe, c.unsubscribe);
    env.project_values.set(kFieldRecipientText, "ann@example.com\nbob@example.com");
    SendOperation operation(env);
    EXPECT_FALSE(operation.send());
    ASSERT_NE(env.recorder.last_box(), nullptr);
    EXPECT_EQ(env.recorder.last_box()->message.std_string(), c.message);
    ASSERT_NE(env.recorder.last(Kind::kFocus), nullptr);
    EXPECT_EQ(env.recorder.last(Kind::kFocus)->field.std_string(), c.field);
    EXPECT_EQ(env.log(), *c.log ? heading() + c.log : std::string());
  }
  EXPECT_TRUE(received().empty());
}

TEST_F(SendTest, IdenticalSendsTheSubjectAsWrittenAndRefusesTagsInIt) {
  mode(SendOperation::kIdentical);
  project().set(kFieldBody, "Same").set(kFieldSubject, "News [[-FirstName-]]");
  recipients("ann@example.com\nbob@example.com");
  ui().reply_yes_no(true);
  EXPECT_FALSE(send_.send());
  EXPECT_EQ(ui().last_box()->message.std_string(),
            "The subject cannot contain data tags if the send mode is \"Identical\".");
  EXPECT_EQ(ui().last(Kind::kFocus)->field.std_string(), "subject");
  EXPECT_TRUE(received().empty());

  project().set(kFieldSubject, "News").set(kFieldUnsubscribe, "mailto:leave@example.com");
  ui().reply_yes_no(true);
  ui().reply_yes_no(false);
  ASSERT_TRUE(send_.send());
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(has_header(messages[0].data, "Subject: News"));
  EXPECT_TRUE(has_header(messages[0].data, "List-Unsubscribe: <mailto:leave@example.com>"));
}

// --- DKIM ----------------------------------------------------------------------------------

TEST_F(SendTest, AKeyThatCannotBeReadStopsTheSendAtItsChecks) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().check(kFieldRecycle);
  recipients("ann@example.com");
  env_.dkim.selector = "s1";
  env_.dkim.domain = "example.com";
  env_.dkim.key_file = env_.folder / "no-such-key.pem";
  EXPECT_FALSE(send_.send());
  ASSERT_NE(ui().last_box(), nullptr);
  EXPECT_TRUE(ui().last_box()->message.starts_with(
      "The DKIM private key file cannot be read:\n" + env_.dkim.key_file.std_string() + "\n"))
      << ui().last_box()->message.c_str();
  EXPECT_EQ(env_.log(), "");
  EXPECT_TRUE(received().empty());
  EXPECT_FALSE(smtp_connection().is_open());
}

TEST_F(SendTest, EveryMessageOfASendIsSignedWithTheConfiguredKey) {
  testing::DkimTestKey key;
  ASSERT_TRUE(testing::make_dkim_key(env_.folder.path().std_string(), "ed25519", &key));
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().set(kFieldSubject, "Hello [[-FirstName-]]");
  project().set(kFieldUnsubscribe, "https://example.com/leave?n=[[-Index-]]");
  recipients("Ann Ames <ann@example.com>\nbob@example.com");
  env_.dkim.selector = "s1";
  env_.dkim.domain = "example.com";
  env_.dkim.key_file = String(key.private_pem);
  ASSERT_TRUE(send_.send()) << env_.log();
  auto messages = received();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& message : messages) {
    std::string answer;
    EXPECT_TRUE(testing::dkim_verifies(message.data, key, "s1", "example.com",
                                       env_.folder.path().std_string(), &answer))
        << answer;
  }
}

// --- direct delivery -----------------------------------------------------------------

TEST_F(SendTest, DirectDeliveryFallsBackToTheProjectsServer) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().check(kFieldDirectDelivery).check(kFieldRecycle);
  recipients("ann@direct.test\nbob@nowhere.test");
  ASSERT_TRUE(send_.send());
  auto messages = received();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rcpt_to, std::vector<std::string>{"ann@direct.test"});
  EXPECT_EQ(messages[1].rcpt_to, std::vector<std::string>{"bob@nowhere.test"});
  // Each message was first tried at its domain's server.
  auto asked = [](const char* host) {
    return std::count(g_resolved.begin(), g_resolved.end(), host);
  };
  EXPECT_EQ(asked("mail.direct.test"), 1);
  EXPECT_EQ(asked("mail.nowhere.test"), 1);
  EXPECT_GE(asked("127.0.0.1"), 1);
  // Direct delivery never keeps a connection.
  EXPECT_NE(messages[0].peer_port, messages[1].peer_port);
  EXPECT_EQ(env_.log(), heading() +
                            "ann@direct.test: accepted\r\n"
                            "Sending ann@direct.test : success\r\n"
                            "bob@nowhere.test: accepted\r\n"
                            "Sending bob@nowhere.test : success\r\n"
                            "2 recipients, 0 rejected\r\n" +
                            totals(2, 0, messages));
}

// --- Normal and Last Recipient Only -------------------------------------------------

TEST_F(SendTest, NormalSendsWhatTheReviewReleasesWithTheCcList) {
  project().set(kFieldCc, "cc1@example.com; Cc Two <cc2@example.com>;");
  project().check(kFieldRecycle);
  recipients("ann@example.com\nbob@example.com");
  env_.review_answers = {true};
  ui().reply_yes_no(false);  // the completion prompt
  ASSERT_TRUE(send_.send());

  ASSERT_EQ(env_.reviews.size(), 1u);
  EXPECT_EQ(env_.reviews[0].recipients,
            (std::vector<std::string>{"ann@example.com", "bob@example.com"}));
  EXPECT_TRUE(env_.reviews[0].has_text_body);
  EXPECT_FALSE(env_.reviews[0].has_html_body);
  auto messages = received();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rcpt_to, (std::vector<std::string>{"ann@example.com", "cc1@example.com",
                                                            "cc2@example.com"}));
  EXPECT_TRUE(has_header(messages[0].data, "CC: cc1@example.com; Cc Two <cc2@example.com>;"));
  EXPECT_EQ(env_.log(), "ann@example.com: accepted\r\n"
                        "bob@example.com: accepted\r\n"
                        "2 recipients, 0 rejected\r\n" +
                            heading() +
                            "Sending ann@example.com : success\r\n"
                            "Sending bob@example.com : success\r\n" +
                            totals(2, 0, messages));
  const RecordingUi::Event* prompt = ui().last(Kind::kYesNo);
  ASSERT_NE(prompt, nullptr);
  EXPECT_EQ(prompt->message.std_string(),
            "The operation completed successfully.\n\nDo you wish to view the log?");
  EXPECT_EQ(ui().unanswered, 0);
}

TEST_F(SendTest, AFailedMessageIsReviewedAgainUntilTheReviewAborts) {
  recipients("ann@example.com\nrefused@example.com");
  env_.review_answers = {true, false};
  ui().reply_yes_no(false);
  EXPECT_FALSE(send_.send());
  ASSERT_EQ(env_.reviews.size(), 2u);
  EXPECT_EQ(env_.reviews[1].recipients, std::vector<std::string>{"refused@example.com"});
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(env_.log(), "ann@example.com: accepted\r\n"
                        "refused@example.com: accepted\r\n"
                        "2 recipients, 0 rejected\r\n" +
                            heading() +
                            "Sending ann@example.com : success\r\n"
                            "Sending refused@example.com :\r\n"
                            "SMTP Error 4590\nInvalid response to recipient "
                            "refused@example.com\r\n"
                            "550 5.1.1 <refused@example.com>: mailbox unavailable\r\n\r\n" +
                            totals(1, 1, messages) + "\r\nAborted by user\r\n");
}

TEST_F(SendTest, AnEarlierFailureDoesNotFailASendThatSendsNothing) {
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  recipients("refused@example.com");
  ui().reply_yes_no(false);
  EXPECT_FALSE(send_.send());
  // Normal mode: the operation ends before any sending phase.
  mode(SendOperation::kNormal);
  recipients("not an address");
  EXPECT_TRUE(send_.send());
  EXPECT_EQ(send_.counters().errors, 0);
  EXPECT_EQ(ui().unanswered, 0);
}

TEST_F(SendTest, TheReviewCanSendSingleMessagesBeforeReleasingTheRest) {
  recipients("ann@example.com\nbob@example.com");
  // The preview's "Send to this recipient only" sends a copy; the message
  // itself stays queued and goes out again with the rest.
  env_.during_review = [](SendOperation& operation) {
    MessageQueue single;
    single.append(operation.queue()[0]);
    operation.send_batch(single);
  };
  env_.review_answers = {true};
  ui().reply_yes_no(false);
  ui().reply_yes_no(false);
  ASSERT_TRUE(send_.send());
  auto messages = received();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].rcpt_to, std::vector<std::string>{"ann@example.com"});
  EXPECT_EQ(messages[1].rcpt_to, std::vector<std::string>{"ann@example.com"});
  EXPECT_EQ(messages[2].rcpt_to, std::vector<std::string>{"bob@example.com"});
  EXPECT_EQ(ui().count(Kind::kYesNo), 2);
}

TEST_F(SendTest, AbortingTheReviewSendsNothing) {
  recipients("ann@example.com");
  EXPECT_TRUE(send_.send());
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(env_.log(),
            "ann@example.com: accepted\r\n1 recipients, 0 rejected\r\n\r\nAborted by user\r\n");
}

TEST_F(SendTest, AnAbortWhileGatheringEndsQuietly) {
  recipients("ann@example.com\nbob@example.com\ncy@example.com");
  ui().abort_progress_at(2);
  EXPECT_TRUE(send_.send());
  EXPECT_TRUE(env_.reviews.empty());
  EXPECT_EQ(env_.log(), "ann@example.com: accepted\r\n");
  EXPECT_EQ(boxes(), 0);
  EXPECT_FALSE(ui().progress_open);
}

TEST_F(SendTest, LastRecipientOnlySendsTheLastAcceptedRecipient) {
  mode(SendOperation::kLastRecipientOnly);
  recipients("a@example.com\nb@example.com\nc@example.com\nd@example.com\ne@example.com\nbad");
  env_.review_answers = {true};
  ui().reply_yes_no(false);
  ASSERT_TRUE(send_.send());
  ASSERT_EQ(env_.reviews.size(), 1u);
  EXPECT_EQ(env_.reviews[0].recipients, std::vector<std::string>{"e@example.com"});
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rcpt_to, std::vector<std::string>{"e@example.com"});
  EXPECT_EQ(body_of(messages[0].data), "Dear  #5\r\n\r\n");
}

TEST_F(SendTest, NoQualifiedRecipientEndsWithTheNoRecipientPrompt) {
  for (int send_mode : {SendOperation::kNormal, SendOperation::kIdentical}) {
    TestEnvironment env;
    env.project_values = project();
    env.project_values.set(kFieldSendMode, String::formatted("%d", send_mode));
    env.project_values.set(kFieldRecipientText, "!x@example.com\nnot an address");
    env.project_values.set(kFieldBody, "Same for all");
    if (send_mode == SendOperation::kIdentical) env.recorder.reply_yes_no(true);  // begin
    env.recorder.reply_yes_no(false);  // the prompt
    SendOperation operation(env);
    EXPECT_TRUE(operation.send());
    const RecordingUi::Event* prompt = env.recorder.last(Kind::kYesNo);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(prompt->message.std_string(),
              "Error:  no recipients qualified.\n\nDo you wish to view the log?");
    EXPECT_EQ(env.log(), "!x@example.com: EXCLAMATION POINT\r\n"
                         "not an address: ILLEGAL ADDRESS\r\n"
                         "2 recipients, 2 rejected\r\n"
                         "\r\nNo recipients qualified.");
    EXPECT_TRUE(env.reviews.empty());
    EXPECT_EQ(env.recorder.unanswered, 0);
  }
  EXPECT_TRUE(received().empty());
}

// --- Identical ----------------------------------------------------------------------

TEST_F(SendTest, IdenticalSendsOneMessageToEveryAcceptedRecipient) {
  mode(SendOperation::kIdentical);
  project().set(kFieldBody, "The same for everyone").set(kFieldCc, "cc@example.com");
  recipients("ann@example.com\nbob@example.com\nbad\ncy@example.com");
  ui().reply_yes_no(true);
  ui().reply_yes_no(false);
  ASSERT_TRUE(send_.send());
  const RecordingUi::Event* question = &ui().events[0];
  EXPECT_EQ(question->message.std_string(),
            "You have selected the \"Identical\" mode.  A single message will be sent, addressed "
            "to all recipients.  This is your last chance to stop the operation.\n\nDo you wish "
            "to begin sending the message?");
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  // No CC and no To header: the message is addressed to everyone.
  EXPECT_EQ(messages[0].rcpt_to, (std::vector<std::string>{"ann@example.com", "bob@example.com",
                                                            "cy@example.com"}));
  EXPECT_EQ(messages[0].data.find("\r\nTo: "), std::string::npos);
  EXPECT_EQ(messages[0].data.find("\r\nCC: "), std::string::npos);
  EXPECT_EQ(body_of(messages[0].data), "The same for everyone\r\n\r\n");
  EXPECT_EQ(env_.log(), "ann@example.com: accepted\r\n"
                        "bob@example.com: accepted\r\n"
                        "bad: ILLEGAL ADDRESS\r\n"
                        "cy@example.com: accepted\r\n"
                        "4 recipients, 1 rejected\r\n" +
                            heading() + "Sending to all recipients : success\r\n" +
                            totals(0, 0, messages, /*identical=*/true));
}

TEST_F(SendTest, IdenticalRefusesDataTags) {
  mode(SendOperation::kIdentical);
  recipients("ann@example.com");
  ui().reply_yes_no(true);
  EXPECT_FALSE(send_.send());
  ASSERT_NE(ui().last_box(), nullptr);
  EXPECT_EQ(ui().last_box()->message.std_string(),
            "The message body cannot contain data tags if the send mode is \"Identical\".");
  EXPECT_TRUE(received().empty());
}

// --- attachments ------------------------------------------------------------------------

TEST_F(SendTest, AttachmentsWithWildcardsAreSentWithEveryMessage) {
  TestDirectory files;
  ASSERT_TRUE(files.put("a.pdf", "first"));
  ASSERT_TRUE(files.put("b.pdf", "second"));
  ASSERT_TRUE(files.put("c.txt", "third"));
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().set(kFieldAttachments, (files / "*.pdf") + "\n" + (files / "c.txt"));
  recipients("ann@example.com");
  ASSERT_TRUE(send_.send());
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  for (const char* part : {"name=\"a.pdf\"", "name=\"b.pdf\"", "name=\"c.txt\"",
                           "Zmlyc3Q=", "c2Vjb25k", "dGhpcmQ="}) {
    EXPECT_NE(messages[0].data.find(part), std::string::npos) << part;
  }
}

// --- recipients from a database table -------------------------------------------------

TEST_F(SendTest, RecipientsFromATableAreFilteredAndTheirRowsPersonaliseAndRecord) {
  Database& db = database();
  ASSERT_TRUE(db.open(testing::TestDataSources::kSqliteName)) << db.last_error().c_str();
  auto exec = [&](const char* sql) { ASSERT_TRUE(db.execute(sql)) << db.last_error().c_str(); };
  exec("DROP TABLE IF EXISTS Members");
  exec("CREATE TABLE Members (id INTEGER PRIMARY KEY, email VARCHAR(100), name VARCHAR(100), "
       "visits INTEGER, sent INTEGER)");
  exec("INSERT INTO Members VALUES (1, 'ann@example.com', 'Ann', 3, 0), "
       "(2, '!bob@example.com', 'Bob', 5, 0), (3, 'cy@example.com', 'Cy', 1, 0), "
       "(4, 'Di <di@example.com>', 'Di', 8, 0)");
  env_.db = &db;
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project()
      .check(kFieldUseRecipientText, false)
      .check(kFieldUseDatabase)
      .set(kFieldDbName, testing::TestDataSources::kSqliteName)
      .set(kFieldTableName, "Members")
      .set(kFieldRecipientColumn, "email")
      .set(kFieldIdentityColumn, "id")
      .set(kFieldOrderBy, "visits")
      .set(kFieldBody, "Hello [[name]], [[visits]] visits, [[-Email-]][[let sent = 1]]");
  project().clauses = {{"visits", 4, "2", false}};
  ASSERT_TRUE(send_.send()) << (ui().last_box() ? ui().last_box()->message.c_str() : "");

  auto messages = received();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(body_of(messages[0].data), "Hello Ann, 3 visits, ann@example.com\r\n\r\n");
  EXPECT_EQ(body_of(messages[1].data), "Hello Di, 8 visits, di@example.com\r\n\r\n");
  EXPECT_EQ(env_.log(), heading() +
                            "ann@example.com: accepted\r\n"
                            "Sending ann@example.com : success\r\n"
                            "!bob@example.com: EXCLAMATION POINT\r\n"
                            "Di <di@example.com>: accepted\r\n"
                            "Sending Di <di@example.com> : success\r\n"
                            "3 recipients, 1 rejected\r\n" +
                            totals(2, 0, messages));

  // The tag wrote into the rows of the recipients it was processed for.
  db.set_filter(String());
  db.clear_tables();
  db.add_table_info("Members");
  ASSERT_TRUE(db.load_all("Members", DBClause()));
  std::vector<std::string> sent;
  while (db.bulk_load_row()) {
    String name, flag;
    ASSERT_TRUE(db.get("name", name) && db.get("sent", flag));
    sent.push_back(name.std_string() + "=" + flag.std_string());
  }
  EXPECT_EQ(sent, (std::vector<std::string>{"Ann=1", "Bob=0", "Cy=0", "Di=1"}));
}

}  // namespace
}  // namespace tessaline

namespace tessaline {
namespace {

// A spreadsheet export as the recipients: each row's columns personalise
// its message, and every row has its verdict in the log.
TEST_F(SendTest, RecipientsFromASpreadsheetPersonaliseFromTheirColumns) {
  TestDirectory dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(dir.put("people.csv",
                      "email;First Name;city\r\n"
                      "Ann Ames <ann@example.com>;Ann;\"Leeds; West \"\"Yorks\"\"\"\r\n"
                      "bob@example.com;Bob\r\n"
                      "!cy@example.com;Cy;York\r\n"
                      "ANN@example.com;Annie;Leeds\r\n"
                      "di@example.com;Di;A&B\r\n"));
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project()
      .check(kFieldRecycle)
      .check(kFieldEliminateDuplicates)
      .check(kFieldUseRecipientText, false)
      .check(kFieldUseRecipientFile)
      .set(kFieldRecipientFile, dir / "people.csv")
      .set(kFieldRecipientFileFormat, "2")
      .set(kFieldRecipientFileColumn, "email")
      .set(kFieldBody, "Dear [[{First Name}]] of [[city]] ([[-FirstName-:-]]) #[[-Index-]]")
      .check(kFieldUseHtmlText)
      .set(kFieldHtmlBody, "<p>[[city]]</p>");
  ASSERT_TRUE(send_.send()) << (ui().last_box() ? ui().last_box()->message.c_str() : "");

  auto messages = received();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rcpt_to, std::vector<std::string>{"ann@example.com"});
  EXPECT_NE(messages[0].data.find("Dear Ann of Leeds; West \"Yorks\" (Ann) #1\r\n"),
            std::string::npos)
      << messages[0].data;
  EXPECT_EQ(messages[1].rcpt_to, std::vector<std::string>{"di@example.com"});
  EXPECT_NE(messages[1].data.find("Dear Di of A&B (-) #2\r\n"), std::string::npos);
  EXPECT_NE(messages[1].data.find("<p>A&amp;B</p>"), std::string::npos);
  EXPECT_EQ(env_.log(),
            heading() +
                "Ann Ames <ann@example.com>: accepted\r\n"
                "Sending Ann Ames <ann@example.com> : success\r\n"
                "bob@example.com: SHORT ROW (line 3 has 2 of the header's 3 fields)\r\n"
                "!cy@example.com: EXCLAMATION POINT\r\n"
                "ANN@example.com: DUPLICATE\r\n"
                "di@example.com: accepted\r\n"
                "Sending di@example.com : success\r\n"
                "5 recipients, 3 rejected\r\n" +
                totals(2, 0, messages));
}

// Cuts the recipient file short once the sources are prepared: the first
// thing a No Preview send does after preparing them is to store its SMTP
// settings.
class CuttingEnvironment : public testing::TestEnvironment {
 public:
  std::function<void()> after_prepare;
  void store_smtp_settings(const String& server, int port) override {
    if (after_prepare) after_prepare();
    after_prepare = nullptr;
    TestEnvironment::store_smtp_settings(server, port);
  }
};

TEST_F(SendTest, ASpreadsheetThatCannotBeReadToItsEndStopsTheSend) {
  TestDirectory dir;
  ASSERT_TRUE(dir.ok());
  // One recipient, then marked rows that are rejected without a message,
  // beyond the first piece of the file that the sources have read.
  std::string rows = "email\nann@example.com\n";
  while (rows.size() < 200 * 1024) rows += "!r" + std::to_string(rows.size()) + "@example.com\n";
  ASSERT_TRUE(dir.put("people.csv", String(rows)));
  CuttingEnvironment env;
  env.after_prepare = [&] { ASSERT_TRUE(dir.put("people.csv", String(rows.substr(0, 100000)))); };
  env.command_line = true;
  env.project_values.set(kFieldFrom, "Sender <sender@example.com>")
      .set(kFieldSmtpPort, String::formatted("%d", g_server->port()))
      .set(kFieldSendMode, String::formatted("%d", SendOperation::kNoPreview))
      .check(kFieldUseBodyText)
      .set(kFieldBody, "Hello")
      .check(kFieldUseRecipientFile)
      .set(kFieldRecipientFile, dir / "people.csv")
      .set(kFieldRecipientFileFormat, "2")
      .set(kFieldRecipientFileColumn, "email");
  SendOperation send(env);
  EXPECT_FALSE(send.send());

  EXPECT_EQ(received().size(), 1u);
  String message = "The recipient file could not be read: Read past end of file\n" +
                   (dir / "people.csv");
  ASSERT_NE(env.recorder.last_box(), nullptr);
  EXPECT_EQ(env.recorder.last_box()->message, message);
  std::string log = env.log();
  EXPECT_TRUE(log.ends_with(message.std_string() + "\r\n")) << log.substr(log.size() - 200);
  EXPECT_NE(log.find("ann@example.com: accepted\r\nSending ann@example.com : success\r\n"),
            std::string::npos);
  EXPECT_EQ(log.find("recipients, "), std::string::npos);  // no totals of a whole gathering
}

}  // namespace
}  // namespace tessaline

namespace tessaline {
namespace {

// --- a server that cannot be used ----------------------------------------------------

std::string unreached_text(int port) {
  return "The SMTP server 127.0.0.1:" + std::to_string(port) +
         " could not be reached, so the send stops here: the messages after this one are not "
         "sent.";
}

// A server the send never reached (a wrong port, a wrong name, no network)
// is not tried again for minutes, message after message: the first
// connection that cannot be made stops the send, with the reason.
TEST_F(SendTest, AServerNeverReachedStopsTheSendAtTheFirstMessageWithoutWaiting) {
  testing::HeldPort closed(testing::HeldPort::kRefusing);
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  project().set(kFieldSmtpPort, String::formatted("%d", closed.port()));
  recipients("a@example.com\nb@example.com\nc@example.com");
  EXPECT_FALSE(send_.send());
  std::string log = heading() + "a@example.com: accepted\r\nSending a@example.com :\r\n" +
                    "SMTP Error 4515\nUnable to connect to server 127.0.0.1:" +
                    std::to_string(closed.port()) + ": Connection refused\r\n\r\n" +
                    unreached_text(closed.port()) + "\r\n\r\n";
  for (const char* r : {"b", "c"}) {
    log += std::string(r) + "@example.com: accepted\r\n" + r +
           "@example.com\r\nSend stopped: message not sent\r\n\r\n";
  }
  log += "3 recipients, 0 rejected\r\n\r\n0 sent successfully, 1 errors\r\n";
  EXPECT_EQ(env_.log().substr(0, log.size()), log);
  EXPECT_EQ(send_.counters().attempted, 1);
  EXPECT_TRUE(env_.slept_ms.empty());
  // An unattended run names the failed message, then why it stopped.
  const RecordingUi::Event* stop = ui().last(Kind::kError);
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(stop->message.std_string(), unreached_text(closed.port()));
  int named = 0;
  for (const auto& e : ui().events) {
    if (e.kind == Kind::kInformation && e.caption.starts_with("Not sent to ")) ++named;
  }
  EXPECT_EQ(named, 1);
}

// A server that takes the connection and never greets was never reached
// either: it costs the time limit once, not once per try or recipient.
TEST_F(SendTest, ASilentServerCostsTheTimeLimitOnce) {
  testing::HeldPort silent(testing::HeldPort::kSilent);
  set_smtp_timeout(1);
  mode(SendOperation::kNormal);
  project().set(kFieldSmtpPort, String::formatted("%d", silent.port()));
  recipients("a@example.com\nb@example.com\nc@example.com\nd@example.com");
  env_.review_answers = {true, false};  // send, then close the second review
  ui().reply_yes_no(false);             // the completion prompt
  EXPECT_FALSE(send_.send());
  set_smtp_timeout(20);
  std::string log = env_.log();
  std::string silence = "SMTP Error 4515\nSMTP server 127.0.0.1:" +
                        std::to_string(silent.port()) + " did not greet within 1 seconds";
  int timeouts = 0;
  for (size_t at = log.find(silence); at != std::string::npos; at = log.find(silence, at + 1)) {
    ++timeouts;
  }
  EXPECT_EQ(timeouts, 1) << log;
  EXPECT_NE(log.find(unreached_text(silent.port()) + "\r\n\r\nb@example.com\r\nSend stopped: "
                                                     "message not sent\r\n\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("try 2 of"), std::string::npos) << log;
  // The messages not sent stay in the queue, as failed ones do.
  EXPECT_EQ(send_.queue().count(), 4);
}

TEST_F(SendTest, ALoginThatCannotSucceedStopsAtTheFirstMessage) {
  DeliverySettings settings;
  settings.user = "ann";
  settings.password_command = "echo secret";
  settings.login_without_tls = true;
  set_delivery_settings(settings);
  env_.command_line = true;
  mode(SendOperation::kNoPreview);
  recipients("a@example.com\nb@example.com");
  EXPECT_FALSE(send_.send());
  set_delivery_settings(DeliverySettings());
  EXPECT_TRUE(received().empty());
  std::string log = env_.log();
  EXPECT_NE(log.find("SMTP Error 4559\nNo login at the SMTP server 127.0.0.1:" +
                     std::to_string(g_server->port()) + " is possible: the server offers no login"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" did not take the login, so the send stops here: the messages after this "
                     "one are not sent.\r\n\r\nb@example.com: accepted\r\nb@example.com\r\nSend "
                     "stopped: message not sent\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("secret"), std::string::npos);
}

}  // namespace
}  // namespace tessaline
