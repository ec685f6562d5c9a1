// The SMTP client's TLS and login against aiosmtpd, a real server no one
// here wrote, on 127.0.0.1 with certificates made by openssl for the test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "storage/test_directory.h"
#include "mail/mime_message.h"
#include "mail/smtp_client.h"
#include "mail/smtp_server.h"
#include "mail/test_support.h"
#include "mail/testing/test_servers.h"

namespace tessaline {
namespace {

using testing::SecureSmtpServer;
using testing::SmtpMailbox;
using testing::TestCertificates;

// The kinds of server the tests talk to: the listeners of one aiosmtpd
// process that the whole suite shares.
enum Server {
  kRequireStartTls,
  kStartTls,
  kPlain,  // offers no STARTTLS
  kImplicit,
  kWrongName,  // STARTTLS with a certificate made out to another name
  kExpired,
  kImplicitUnknownCa,
  kStartTlsUnknownCa,
  kLogin,  // STARTTLS required, then a password or a token
  kLoginWithoutTls,
  kOldTls,  // TLS from the start, but only TLS 1.0 and 1.1
};

class SecureDelivery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TestDirectory;
    certificates_ = new TestCertificates;
    server_ = new SecureSmtpServer;
    String error;
    ::mkdir((*folder_ / "certificates").c_str(), 0700);
    ::mkdir((*folder_ / "server").c_str(), 0700);
    if (!certificates_->make(*folder_ / "certificates", &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return;
    }
    auto with = [](std::vector<std::string> options, const char* certificate) {
      options.insert(options.end(), {"--cert", certificates_->certificate(certificate).std_string(),
                                     "--key", certificates_->key(certificate).std_string()});
      return options;
    };
    // In the order of Server.
    started_ = server_->start_listeners(
        *folder_ / "server",
        {with({"--require-starttls"}, "good"), with({"--starttls"}, "good"), with({}, "good"),
         with({"--implicit"}, "good"), with({"--starttls"}, "wrong_name"),
         with({"--starttls"}, "expired"), with({"--implicit"}, "unknown_ca"),
         with({"--starttls"}, "unknown_ca"),
         with({"--require-starttls", "--login", "ann:Secret-42", "--token",
               "ann@example.test:ya29.Token-42"},
              "good"),
         with({"--login", "ann:Secret-42", "--login-without-tls"}, "good"),
         with({"--implicit", "--old-tls"}, "good")},
        &error);
    if (!started_) std::fprintf(stderr, "%s\n", error.c_str());
  }
  static void TearDownTestSuite() {
    delete server_;  // stops it
    delete certificates_;
    delete folder_;
  }

  void SetUp() override {
    ASSERT_TRUE(started_);
    ASSERT_TRUE(work_.ok());
    set_smtp_timeout(10);
    set_smtp_trace([this](std::string_view line) { trace_.emplace_back(line); });
  }
  void TearDown() override {
    quit();
    set_smtp_trace(nullptr);
    forget_smtp_secret();
    set_smtp_route(SmtpRoute());
  }

  // The listener of this kind, with what earlier tests sent it set aside.
  static SmtpMailbox& server(Server kind) {
    SmtpMailbox& mailbox = server_->listener(kind);
    mailbox.new_messages();
    mailbox.new_sessions();
    return mailbox;
  }

  static SmtpRoute route(const SmtpMailbox& server, TlsMode mode) {
    SmtpRoute r;
    r.host = "127.0.0.1";
    r.port = server.port();
    r.tls = mode;
    r.trust_file = certificates_->ca_file();
    return r;
  }

  static void fill(MimeMessage& message) {
    message.from = "ann@example.test";
    message.add_recipient("bob@example.test");
    message.subject = "Over TLS";
    message.text_body = "Hello Bob";
  }

  std::string trace_text() const {
    std::string all;
    for (const std::string& line : trace_) all += line + "\n";
    return all;
  }

  static TestDirectory* folder_;
  static TestCertificates* certificates_;
  static SecureSmtpServer* server_;
  static bool started_;
  TestDirectory work_;
  std::vector<std::string> trace_;
};

TestDirectory* SecureDelivery::folder_ = nullptr;
TestCertificates* SecureDelivery::certificates_ = nullptr;
SecureSmtpServer* SecureDelivery::server_ = nullptr;
bool SecureDelivery::started_ = false;

TEST_F(SecureDelivery, EachTlsModeAgainstServersThatOfferItOrNot) {
  struct Case {
    const char* name;
    Server server;
    TlsMode mode;
    bool check_certificate;
    const char* session;  // what the server saw; empty: nothing received
    const char* error;    // with PORT for the server's port
  } cases[] = {
      {"required STARTTLS", kRequireStartTls, TlsMode::kStartTls, true,
       "tls=yes login=-\n", ""},
      {"STARTTLS when offered, offered", kStartTls, TlsMode::kOpportunistic, true,
       "tls=yes login=-\n", ""},
      {"STARTTLS when offered, not offered", kPlain, TlsMode::kOpportunistic, true,
       "tls=no login=-\n", ""},
      {"no encryption, though offered", kStartTls, TlsMode::kOff, true,
       "tls=no login=-\n", ""},
      {"TLS from the start", kImplicit, TlsMode::kImplicit, true,
       "tls=yes login=-\n", ""},
      {"required STARTTLS, not offered", kPlain, TlsMode::kStartTls, true, "",
       "SMTP Error 4558\nThe SMTP server 127.0.0.1:PORT does not offer STARTTLS, and the "
       "connection must be encrypted: nothing was sent."},
      {"a certificate for another name", kWrongName, TlsMode::kStartTls, true, "",
       "SMTP Error 4558\nTLS with the SMTP server 127.0.0.1:PORT failed: the server's "
       "certificate is not accepted: it is made out to another host than 127.0.0.1 (IP address "
       "mismatch)"},
      {"an expired certificate", kExpired, TlsMode::kOpportunistic, true, "",
       "SMTP Error 4558\nTLS with the SMTP server 127.0.0.1:PORT failed: the server's "
       "certificate is not accepted: it has expired (certificate has expired)"},
      {"a certificate of an unknown authority", kImplicitUnknownCa, TlsMode::kImplicit, true, "",
       "SMTP Error 4515\nTLS with the SMTP server 127.0.0.1:PORT failed: the server's "
       "certificate is not accepted: it is not signed by an authority this computer trusts "
       "(unable to get local issuer certificate)"},
      {"a server that speaks only TLS 1.1", kOldTls, TlsMode::kImplicit, true, "",
       "SMTP Error 4515\nTLS with the SMTP server 127.0.0.1:PORT failed: the server closed the "
       "connection during the TLS handshake (it may speak no TLS version from 1.2 on, or no TLS "
       "on this port)"},
      {"an unknown authority, checking turned off", kStartTlsUnknownCa, TlsMode::kStartTls, false,
       "tls=yes login=-\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpMailbox& mailbox = server(c.server);
    SmtpRoute r = route(mailbox, c.mode);
    r.check_certificate = c.check_certificate;
    set_smtp_route(r);
    MimeMessage message;
    fill(message);
    bool sent = send_message(message);
    quit();
    String expected = c.error;
    expected.replace_all("PORT", std::to_string(mailbox.port()).c_str());
    EXPECT_EQ(sent, *c.error == 0);
    EXPECT_EQ(message.error, expected);
    if (!sent) {
      EXPECT_EQ(last_smtp_failure(), SmtpFailure::kServer);
    }
    EXPECT_EQ(mailbox.new_sessions(), c.session);
    std::vector<testing::ReceivedMail> received = mailbox.new_messages();
    if (*c.session) {
      ASSERT_EQ(received.size(), 1u);
      EXPECT_TRUE(received[0].data.contains("Hello Bob"));
    } else {
      EXPECT_TRUE(received.empty());
    }
  }
}

TEST_F(SecureDelivery, NamesTheServerInTheHandshakeAndChecksTheCertificateAgainstThatName) {
  struct Case {
    const char* host;
    bool sent;
    const char* server_name;  // what the server was told (SNI)
  } cases[] = {
      {"localhost", true, "localhost\n"},  // the certificate holds DNS:localhost
      {"127.0.0.1", true, "-\n"},          // an address is never sent as a name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    SmtpMailbox& mailbox = server(kImplicit);
    std::string before = mailbox.server_names();
    SmtpRoute r = route(mailbox, TlsMode::kImplicit);
    r.host = c.host;
    set_smtp_route(r);
    MimeMessage message;
    fill(message);
    EXPECT_EQ(send_message(message), c.sent) << message.error.c_str();
    quit();
    std::string names = mailbox.server_names();
    ASSERT_GE(names.size(), before.size());
    EXPECT_EQ(names.substr(before.size()), c.server_name);
  }
}

TEST_F(SecureDelivery, LogsInWithEachMechanismAndNeverShowsTheSecret) {
  struct Case {
    AuthSetting auth;
    const char* user;
    const char* secret;
    const char* command_in_trace;
    const char* error;  // empty: accepted
  } cases[] = {
      {AuthSetting::kOn, "ann", "Secret-42", "-> AUTH PLAIN ********", ""},
      {AuthSetting::kLogin, "ann", "Secret-42", "-> AUTH LOGIN", ""},
      {AuthSetting::kXoauth2, "ann@example.test", "ya29.Token-42", "-> AUTH XOAUTH2 ********", ""},
      {AuthSetting::kPlain, "ann", "Wrong-42", "-> AUTH PLAIN ********",
       "SMTP Error 4559\nThe SMTP server 127.0.0.1:PORT refused the login as ann:\r\n535 5.7.8 "
       "Authentication credentials invalid"},
      {AuthSetting::kXoauth2, "ann@example.test", "ya29.Stale-42", "-> AUTH XOAUTH2 ********",
       "SMTP Error 4559\nThe SMTP server 127.0.0.1:PORT refused the login as ann@example.test:"
       "\r\n535 5.7.8 Authentication credentials invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command_in_trace);
    trace_.clear();
    forget_smtp_secret();
    SmtpMailbox& mailbox = server(kLogin);
    SmtpRoute r = route(mailbox, TlsMode::kStartTls);
    r.auth = c.auth;
    r.user = c.user;
    r.password = c.secret;
    set_smtp_route(r);
    MimeMessage message;
    fill(message);
    bool sent = send_message(message);
    quit();
    String expected = c.error;
    expected.replace_all("PORT", std::to_string(mailbox.port()).c_str());
    EXPECT_EQ(message.error, expected);
    EXPECT_EQ(sent, *c.error == 0);
    if (!sent) {
      EXPECT_EQ(last_smtp_failure(), SmtpFailure::kLogin);
    }
    std::string trace = trace_text();
    EXPECT_NE(trace.find(std::string(c.command_in_trace) + "\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("-42"), std::string::npos) << trace;
    EXPECT_EQ(trace.find(base64_line(c.secret).std_string()), std::string::npos) << trace;
    EXPECT_NE(trace.find("<- 220 Ready to start TLS"), std::string::npos) << trace;
    EXPECT_EQ(mailbox.new_sessions(), sent ? "tls=yes login=" + std::string(c.user) + "\n" : "");
  }
}

TEST_F(SecureDelivery, AKeptConnectionStaysEncryptedAndLoggedIn) {
  SmtpMailbox& mailbox = server(kLogin);
  SmtpRoute r = route(mailbox, TlsMode::kStartTls);
  r.auth = AuthSetting::kOn;
  r.user = "ann";
  // The password command runs once for the whole send, not per message.
  String count_file = work_ / "runs";
  r.password_command = "echo run >> '" + count_file + "'; echo Secret-42";
  set_smtp_route(r);
  for (int i = 0; i < 3; ++i) {
    MimeMessage message;
    fill(message);
    ASSERT_TRUE(send_message(message)) << message.error.c_str();
  }
  quit();
  std::string trace = trace_text();
  auto count = [&](const std::string& what) {
    int n = 0;
    for (size_t at = trace.find(what); at != std::string::npos; at = trace.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("-> STARTTLS\n"), 1) << trace;
  EXPECT_EQ(count("-> AUTH PLAIN"), 1) << trace;
  EXPECT_EQ(count("-> EHLO"), 2) << trace;  // before and after STARTTLS, once
  EXPECT_EQ(TestDirectory::read(count_file), "run\n");
  EXPECT_EQ(mailbox.new_sessions(), "tls=yes login=ann\ntls=yes login=ann\ntls=yes login=ann\n");
}

TEST_F(SecureDelivery, APasswordGoesOverPlainTextOnlyWhenAllowed) {
  SmtpMailbox& mailbox = server(kLoginWithoutTls);
  SmtpRoute r = route(mailbox, TlsMode::kOpportunistic);  // the server offers no STARTTLS
  r.auth = AuthSetting::kOn;
  r.user = "ann";
  r.password = "Secret-42";
  set_smtp_route(r);
  MimeMessage message;
  fill(message);
  EXPECT_FALSE(send_message(message));
  EXPECT_TRUE(message.error.starts_with(
      String::formatted("SMTP Error 4559\nThe login at the SMTP server 127.0.0.1:%d would send "
                        "the password over a connection that is not encrypted, so nothing was "
                        "sent.",
                        mailbox.port())))
      << message.error.c_str();
  EXPECT_EQ(last_smtp_failure(), SmtpFailure::kLogin);
  EXPECT_EQ(trace_text().find("-> AUTH"), std::string::npos);

  r.login_without_tls = true;
  set_smtp_route(r);
  EXPECT_TRUE(send_message(message)) << message.error.c_str();
  quit();
  EXPECT_EQ(mailbox.new_sessions(), "tls=no login=ann\n");
}

TEST_F(SecureDelivery, APasswordCommandThatFailsStopsBeforeTheLogin) {
  SmtpMailbox& mailbox = server(kLogin);
  SmtpRoute r = route(mailbox, TlsMode::kStartTls);
  r.auth = AuthSetting::kOn;
  r.user = "ann";
  r.account = "work";
  r.password_command = "exit 4";
  set_smtp_route(r);
  MimeMessage message;
  fill(message);
  EXPECT_FALSE(send_message(message));
  EXPECT_EQ(message.error,
            "SMTP Error 4559\nThe password command of msmtp account \"work\" gave no password: it "
            "ended with exit status 4.");
  EXPECT_EQ(last_smtp_failure(), SmtpFailure::kLogin);
  EXPECT_TRUE(mailbox.new_messages().empty());
}

}  // namespace
}  // namespace tessaline
