// Direct delivery's look-ups against a real DNS server (dnslib) on
// 127.0.0.1, and its deliveries to a real SMTP server (aiosmtpd) that the
// MX records point at.
#include "mail/mx_lookup.h"

#include <gtest/gtest.h>
#include <netdb.h>
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
using testing::TestDnsServer;

// The MX records are listed against their preference order, so that the
// order must come from the preferences. 127.0.0.2 is loopback too, but
// nothing listens there: a connection to it is refused at once.
const char kZone[] =
    "example.test. 60 IN MX 30 never.example.test.\n"
    "example.test. 60 IN MX 20 good.example.test.\n"
    "example.test. 60 IN MX 10 refusing.example.test.\n"
    "refusing.example.test. 60 IN A 127.0.0.2\n"
    "good.example.test. 60 IN A 127.0.0.1\n"
    "never.example.test. 60 IN A 127.0.0.1\n"
    "plain.test. 60 IN A 127.0.0.1\n"
    "nomail.test. 60 IN MX 0 .\n"
    "mail.gone.test. 60 IN A 127.0.0.1\n"
    "dead.test. 60 IN MX 5 refusing.example.test.\n";

class DirectDelivery : public ::testing::Test {
 protected:
  // One DNS server and one SMTP server for the suite.
  static void SetUpTestSuite() {
    folder_ = new TestDirectory;
    dns_ = new TestDnsServer;
    smtp_ = new SecureSmtpServer;
    ::mkdir((*folder_ / "dns").c_str(), 0700);
    ::mkdir((*folder_ / "smtp").c_str(), 0700);
    String error;
    started_ = dns_->start(*folder_ / "dns", kZone, &error) &&
               smtp_->start(*folder_ / "smtp", {}, &error);
    if (!started_) std::fprintf(stderr, "%s\n", error.c_str());
  }
  static void TearDownTestSuite() {
    delete smtp_;
    delete dns_;
    delete folder_;
  }

  void SetUp() override {
    ASSERT_TRUE(started_);
    ASSERT_TRUE(set_name_server(String::formatted("127.0.0.1:%d", dns_->port())));
    set_name_server_patience(2, 1);
    set_smtp_server("relay.test");  // only named in the greeting
    set_smtp_port(smtp_->port());   // direct delivery's port
    set_smtp_timeout(10);
    // What earlier tests asked and sent does not count here.
    dns_->new_queries();
    smtp_->listener(0).new_messages();
  }
  void TearDown() override {
    quit();
    set_name_server("");
    set_name_server_patience(5, 2);
  }

  bool deliver(const char* recipient, String* error) {
    MimeMessage message;
    message.from = "ann@example.test";
    message.add_recipient(recipient);
    message.text_body = "Straight to you";
    message.direct_delivery = true;
    bool sent = send_message(message);
    *error = message.error;
    return sent;
  }

  static TestDirectory* folder_;
  static TestDnsServer* dns_;
  static SecureSmtpServer* smtp_;
  static bool started_;
};

TestDirectory* DirectDelivery::folder_ = nullptr;
TestDnsServer* DirectDelivery::dns_ = nullptr;
SecureSmtpServer* DirectDelivery::smtp_ = nullptr;
bool DirectDelivery::started_ = false;

TEST_F(DirectDelivery, LooksUpMailHostsByPreferenceAndTheImplicitMx) {
  struct Case {
    const char* domain;
    MxStatus status;
    const char* hosts;
    const char* note;
  } cases[] = {
      {"example.test", MxStatus::kFound,
       "refusing.example.test good.example.test never.example.test", ""},
      {"plain.test", MxStatus::kNone, "plain.test", ""},
      {"nomail.test", MxStatus::kNullMx, "", "the domain nomail.test takes no mail (its MX record is \".\")"},
      {"missing.test", MxStatus::kNoDomain, "", "the domain missing.test does not exist"},
  };
  for (const Case& c : cases) {
    MailHosts found = mail_hosts_of(c.domain);
    String hosts;
    for (const MailHost& host : found.hosts) hosts += (hosts.empty() ? "" : " ") + host.name;
    EXPECT_EQ(found.status, c.status) << c.domain;
    EXPECT_EQ(hosts, c.hosts) << c.domain;
    EXPECT_EQ(found.note, c.note) << c.domain;
  }
  Address address;
  int code = 0;
  ASSERT_TRUE(resolve_mail_host("good.example.test", &address, &code));
  EXPECT_EQ(address.text(), "127.0.0.1");
  EXPECT_FALSE(resolve_mail_host("missing.test", &address, &code));
  EXPECT_EQ(code, EAI_NONAME);
}

TEST_F(DirectDelivery, TriesTheMailHostsInOrderUntilOneTakesTheMessage) {
  String error;
  ASSERT_TRUE(deliver("Bob <bob@example.test>", &error)) << error.c_str();
  // The first host refused the connection; the second took the message;
  // the third was never looked up.
  EXPECT_EQ(dns_->new_queries(),
            "example.test MX\nrefusing.example.test A\ngood.example.test A\n");
  std::vector<testing::ReceivedMail> received = smtp_->listener(0).new_messages();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].recipients[0], "bob@example.test");
}

TEST_F(DirectDelivery, ADomainWithoutMxAndTheLastResorts) {
  String error;
  ASSERT_TRUE(deliver("carol@plain.test", &error)) << error.c_str();  // its own address
  ASSERT_TRUE(deliver("dave@gone.test", &error)) << error.c_str();    // "mail." + the domain
  EXPECT_EQ(smtp_->listener(0).new_messages().size(), 2u);

  EXPECT_FALSE(deliver("erin@dead.test", &error));
  EXPECT_EQ(error, String::formatted(
                       "SMTP Error 4515\nNo mail host of dead.test could be reached:\n"
                       "Unable to connect to server refusing.example.test:%d: Connection refused\n"
                       "Unable to locate SMTP server: mail.dead.test\nSecondary error code: %d",
                       smtp_->port(), EAI_NONAME));
  EXPECT_EQ(last_smtp_failure(), SmtpFailure::kServer);

  EXPECT_FALSE(deliver("frank@nomail.test", &error));
  EXPECT_TRUE(error.starts_with("SMTP Error 4515\nNo mail host of nomail.test could be reached "
                                "(the domain nomail.test takes no mail (its MX record is \".\")):"))
      << error.c_str();
  EXPECT_TRUE(smtp_->listener(0).new_messages().empty());
}

}  // namespace
}  // namespace tessaline
