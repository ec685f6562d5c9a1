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
using testing::TestCertificates;

class SecureDelivery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificate_folder_ = new TestDirectory;
    certificates_ = new TestCertificates;
    String error;
    made_ = certificates_->make(certificate_folder_->path(), &error);
    if (!made_) std::fprintf(stderr, "%s\n", error.c_str());
  }
  static void TearDownTestSuite() {
    delete certificates_;
    delete certificate_folder_;
  }

  void SetUp() override {
    ASSERT_TRUE(made_);
    ASSERT_TRUE(folder_.ok());
    set_smtp_timeout(10);
    set_smtp_trace([this](std::string_view line) { trace_.emplace_back(line); });
  }
  void TearDown() override {
    quit();
    set_smtp_trace(nullptr);
    forget_smtp_secret();
    set_smtp_route(SmtpRoute());
    server_.stop();
  }

  // Starts the server with the options of secure_smtp.py; `certificate`
  // names the kind of certificate it shows.
  void start(std::vector<std::string> options, const char* certificate = "good") {
    options.insert(options.end(), {"--cert", certificates_->certificate(certificate).std_string(),
                                   "--key", certificates_->key(certificate).std_string()});
    String folder = folder_ / std::to_string(++servers_).c_str();
    ::mkdir(folder.c_str(), 0700);
    String error;
    ASSERT_TRUE(server_.start(folder, options, &error)) << error.c_str();
  }

  SmtpRoute route(TlsMode mode) const {
    SmtpRoute r;
    r.host = "127.0.0.1";
    r.port = server_.port();
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

  static TestDirectory* certificate_folder_;
  static TestCertificates* certificates_;
  static bool made_;
  TestDirectory folder_;
  SecureSmtpServer server_;
  int servers_ = 0;  // each server gets a folder of its own
  std::vector<std::string> trace_;
};

TestDirectory* SecureDelivery::certificate_folder_ = nullptr;
TestCertificates* SecureDelivery::certificates_ = nullptr;
bool SecureDelivery::made_ = false;

TEST_F(SecureDelivery, EachTlsModeAgainstServersThatOfferItOrNot) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    TlsMode mode;
    bool check_certificate;
    const char* certificate;
    const char* session;  // what the server saw; empty: nothing received
    const char* error;    // with PORT for the server's port
  } cases[] = {
      {"required STARTTLS", {"--require-starttls"}, TlsMode::kStartTls, true, "good",
       "tls=yes login=-\n", ""},
      {"STARTTLS when offered, offered", {"--starttls"}, TlsMode::kOpportunistic, true, "good",
       "tls=yes login=-\n", ""},
      {"STARTTLS when offered, not offered", {}, TlsMode::kOpportunistic, true, "good",
       "tls=no login=-\n", ""},
      {"no encryption, though offered", {"--starttls"}, TlsMode::kOff, true, "good",
       "tls=no login=-\n", ""},
      {"TLS from the start", {"--implicit"}, TlsMode::kImplicit, true, "good",
       "tls=yes login=-\n", ""},
      {"required STARTTLS, not offered", {}, TlsMode::kStartTls, true, "good", "",
       "SMTP Error 4558\nThe SMTP server 127.0.0.1:PORT does not offer STARTTLS, and the "
       "connection must be encrypted: nothing was sent."},
      {"a certificate for another name", {"--starttls"}, TlsMode::kStartTls, true, "wrong_name",
       "",
       "SMTP Error 4558\nTLS with the SMTP server 127.0.0.1:PORT failed: the server's "
       "certificate is not accepted: it is made out to another host than 127.0.0.1 (IP address "
       "mismatch)"},
      {"an expired certificate", {"--starttls"}, TlsMode::kOpportunistic, true, "expired", "",
       "SMTP Error 4558\nTLS with the SMTP server 127.0.0.1:PORT failed: the server's "
       "certificate is not accepted: it has expired (certificate has expired)"},
      {"a certificate of an unknown authority", {"--implicit"}, TlsMode::kImplicit, true,
       "unknown_ca", "",
       "SMTP Error 4515\nTLS with the SMTP server 127.0.0.1:PORT failed: the server's "
       "certificate is not accepted: it is not signed by an authority this computer trusts "
       "(unable to get local issuer certificate)"},
      {"an unknown authority, checking turned off", {"--starttls"}, TlsMode::kStartTls, false,
       "unknown_ca", "tls=yes login=-\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.options, c.certificate);
    SmtpRoute r = route(c.mode);
    r.check_certificate = c.check_certificate;
    set_smtp_route(r);
    MimeMessage message;
    fill(message);
    bool sent = send_message(message);
    quit();
    String expected = c.error;
    expected.replace_all("PORT", std::to_string(server_.port()).c_str());
    EXPECT_EQ(sent, *c.error == 0);
    EXPECT_EQ(message.error, expected);
    if (!sent) {
      EXPECT_EQ(last_smtp_failure(), SmtpFailure::kServer);
    }
    server_.stop();  // the server has written all it received
    EXPECT_EQ(server_.sessions(), c.session);
    if (*c.session) {
      ASSERT_EQ(server_.messages().size(), 1u);
      EXPECT_TRUE(server_.messages()[0].data.contains("Hello Bob"));
    } else {
      EXPECT_TRUE(server_.messages().empty());
    }
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
    start({"--require-starttls", "--login", "ann:Secret-42", "--token",
           "ann@example.test:ya29.Token-42"});
    SmtpRoute r = route(TlsMode::kStartTls);
    r.auth = c.auth;
    r.user = c.user;
    r.password = c.secret;
    set_smtp_route(r);
    MimeMessage message;
    fill(message);
    bool sent = send_message(message);
    quit();
    String expected = c.error;
    expected.replace_all("PORT", std::to_string(server_.port()).c_str());
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
    server_.stop();
    EXPECT_EQ(server_.sessions(), sent ? "tls=yes login=" + std::string(c.user) + "\n" : "");
  }
}

TEST_F(SecureDelivery, AKeptConnectionStaysEncryptedAndLoggedIn) {
  start({"--require-starttls", "--login", "ann:Secret-42"});
  SmtpRoute r = route(TlsMode::kStartTls);
  r.auth = AuthSetting::kOn;
  r.user = "ann";
  // The password command runs once for the whole send, not per message.
  String count_file = folder_ / "runs";
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
  EXPECT_EQ(count("-> EHLO"), 4) << trace;  // before and after STARTTLS, then per message
  EXPECT_EQ(TestDirectory::read(count_file), "run\n");
  server_.stop();
  EXPECT_EQ(server_.sessions(), "tls=yes login=ann\ntls=yes login=ann\ntls=yes login=ann\n");
}

TEST_F(SecureDelivery, APasswordGoesOverPlainTextOnlyWhenAllowed) {
  start({"--login", "ann:Secret-42", "--login-without-tls"});
  SmtpRoute r = route(TlsMode::kOpportunistic);  // the server offers no STARTTLS
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
                        server_.port())))
      << message.error.c_str();
  EXPECT_EQ(last_smtp_failure(), SmtpFailure::kLogin);
  EXPECT_EQ(trace_text().find("-> AUTH"), std::string::npos);

  r.login_without_tls = true;
  set_smtp_route(r);
  EXPECT_TRUE(send_message(message)) << message.error.c_str();
  quit();
  server_.stop();
  EXPECT_EQ(server_.sessions(), "tls=no login=ann\n");
}

TEST_F(SecureDelivery, APasswordCommandThatFailsStopsBeforeTheLogin) {
  start({"--require-starttls", "--login", "ann:Secret-42"});
  SmtpRoute r = route(TlsMode::kStartTls);
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
}

}  // namespace
}  // namespace tessaline
