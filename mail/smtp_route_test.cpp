#include "mail/smtp_route.h"

#include <gtest/gtest.h>

#include "mail/test_support.h"

namespace tessaline {
namespace {

const char kMsmtprc[] =
    "defaults\ntls on\n"
    "account work\nhost smtp.work.test\nport 587\nfrom ann@work.test\nauth on\nuser ann\n"
    "passwordeval pass show work\n"
    "account tunnel\nhost smtp.tunnel.test\ntls_starttls off\nauth plain\nuser t\npassword pw\n"
    "account plainrelay\nhost relay.test\ntls off\n"
    "account odd\nhost odd.test\nauth cram-md5\n"
    "account default : work\n";

RouteSources sources() {
  RouteSources s;
  s.msmtprc = kMsmtprc;
  s.msmtprc_path = "/home/ann/.msmtprc";
  s.project_port = 25;
  return s;
}

// What the route says, in one line a test can compare.
std::string summary(const SmtpRoute& r) { return describe_smtp_route(r).std_string(); }

TEST(SmtpRoute, EachSourceInItsOrder) {
  struct Case {
    const char* name;
    void (*fill)(RouteSources&);
    const char* expected;
  } cases[] = {
      {"the server box holding the default account's host uses that account",
       [](RouteSources& s) { s.server_field = " SMTP.work.test "; },
       "smtp.work.test:587, STARTTLS required, login as ann (msmtp account \"default\")"},
      {"a server the person typed gets the project's port and no account's password",
       [](RouteSources& s) { s.server_field = "mail.other.test"; s.project_port = 2525; },
       "mail.other.test:2525, STARTTLS when offered, no login"},
      {"port 465 without an account is TLS from the start",
       [](RouteSources& s) { s.server_field = "mail.other.test"; s.project_port = 465; },
       "mail.other.test:465, TLS from the start, no login"},
      {"a named account brings its own host and port, whatever the box says",
       [](RouteSources& s) { s.server_field = "mail.other.test"; s.project_account = "tunnel"; },
       "smtp.tunnel.test:465, TLS from the start, login as t (plain) (msmtp account \"tunnel\")"},
      {"--account wins over the project's and the setting's",
       [](RouteSources& s) {
         s.account_option = "plainrelay";
         s.project_account = "tunnel";
         s.settings.account = "work";
       },
       "relay.test:25, no encryption, no login (msmtp account \"plainrelay\")"},
      {"the setting names the account when nothing else does",
       [](RouteSources& s) { s.settings.account = "tunnel"; },
       "smtp.tunnel.test:465, TLS from the start, login as t (plain) (msmtp account \"tunnel\")"},
      {"--server's host and port win, with the account's login",
       [](RouteSources& s) { s.server_option = "127.0.0.1:2526"; s.account_option = "work"; },
       "127.0.0.1:2526, STARTTLS required, login as ann (msmtp account \"work\")"},
      {"--server without a port keeps the project's",
       [](RouteSources& s) { s.server_option = "relay.lan"; s.project_port = 26; },
       "relay.lan:26, STARTTLS when offered, no login"},
      {"the project's security mode wins over the account's",
       [](RouteSources& s) { s.server_field = "smtp.work.test"; s.project_security = 2; },
       "smtp.work.test:587, STARTTLS when offered, login as ann (msmtp account \"default\")"},
      {"the program's own login settings, with an unchecked certificate",
       [](RouteSources& s) {
         s.msmtprc = "";
         s.server_field = "mail.isp.test";
         s.project_port = 587;
         s.project_security = 3;
         s.settings.user = "bob";
         s.settings.check_certificate = false;
       },
       "mail.isp.test:587, STARTTLS required, certificate not checked, login as bob"},
      {"SMTP_Auth off keeps a user from logging in",
       [](RouteSources& s) { s.server_field = "m.test"; s.settings.user = "bob"; s.settings.auth = "off"; },
       "m.test:25, STARTTLS when offered, no login"},
  };
  for (const Case& c : cases) {
    RouteSources s = sources();
    c.fill(s);
    SmtpRoute route;
    String error;
    ASSERT_TRUE(choose_smtp_route(s, &route, &error)) << c.name << ": " << error.c_str();
    EXPECT_EQ(summary(route), c.expected) << c.name;
  }
}

TEST(SmtpRoute, CarriesTheAccountsTrustAndPasswordSources) {
  RouteSources s = sources();
  s.account_option = "work";
  s.project_port = 2600;
  SmtpRoute route;
  String error;
  ASSERT_TRUE(choose_smtp_route(s, &route, &error));
  EXPECT_EQ(route.from, "ann@work.test");
  EXPECT_EQ(route.password_command, "pass show work");
  EXPECT_EQ(route.password, "");
  EXPECT_FALSE(route.login_without_tls);  // "auth on" picks only what is safe
  EXPECT_EQ(route.direct_port, 2600);     // direct delivery keeps the project's port
  EXPECT_EQ(route.configuration, "/home/ann/.msmtprc");
  s.account_option = "tunnel";
  ASSERT_TRUE(choose_smtp_route(s, &route, &error));
  EXPECT_EQ(route.password, "pw");
  EXPECT_TRUE(route.login_without_tls);  // msmtp's rule: a named method is the person's choice
  EXPECT_EQ(route.auth, AuthSetting::kPlain);
}

TEST(SmtpRoute, RefusesWhatCannotBeUsed) {
  struct Case {
    void (*fill)(RouteSources&);
    const char* error_part;
  } cases[] = {
      {[](RouteSources& s) { s.account_option = "nowhere"; },
       "The mail account \"nowhere\" is not in the msmtp configuration /home/ann/.msmtprc"},
      {[](RouteSources& s) { s.msmtprc = ""; s.project_account = "work"; },
       "no msmtp configuration was found"},
      {[](RouteSources& s) { s.account_option = "odd"; },
       "asks for the login method cram-md5, which this program does not speak"},
      {[](RouteSources& s) { s.server_field = "m.test"; s.settings.auth = "ntlm"; },
       "The setting SMTP_Auth holds \"ntlm\""},
      {[](RouteSources& s) { s.server_field = "m.test"; s.settings.auth = "on"; },
       "A login is set up for m.test:25, but no user name"},
      {[](RouteSources& s) { s.server_option = "host:0"; }, "The port must be a number"},
  };
  for (const Case& c : cases) {
    RouteSources s = sources();
    c.fill(s);
    SmtpRoute route;
    String error;
    EXPECT_FALSE(choose_smtp_route(s, &route, &error)) << c.error_part;
    EXPECT_TRUE(error.contains(c.error_part)) << error.c_str();
  }
}

TEST(ServerOption, ReadsHostAndPort) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {"smtp.example.test", true, "smtp.example.test", 0},
      {"smtp.example.test:587", true, "smtp.example.test", 587},
      {"127.0.0.1:65535", true, "127.0.0.1", 65535},
      {"", false, "", 0},
      {":25", false, "", 0},
      {"host:", false, "", 0},
      {"host:65536", false, "", 0},
      {"host:2x", false, "", 0},
      {"[::1]:25", false, "", 0},
      {"::1", false, "", 0},
      {"a b:25", false, "", 0},
      {"user@host", false, "", 0},
  };
  for (const Case& c : cases) {
    String host, error;
    int port = -1;
    EXPECT_EQ(parse_server_option(c.text, &host, &port, &error), c.ok) << c.text;
    EXPECT_EQ(host, c.host) << c.text;
    if (c.ok) {
      EXPECT_EQ(port, c.port) << c.text;
    } else {
      EXPECT_TRUE(error.starts_with("The server given with --server is not valid: ")) << c.text;
    }
  }
}

TEST(SmtpSecret, ComesFromThePasswordLineOrTheCommand) {
  SmtpRoute route;
  route.host = "smtp.test";
  route.user = "ann";
  String secret, error;
  EXPECT_FALSE(obtain_smtp_secret(route, 5, &secret, &error));
  EXPECT_TRUE(error.starts_with("No password is set up for the login as ann at smtp.test:25"))
      << error.c_str();
  route.password_command = "printf 'from-command\\nsecond line'";
  ASSERT_TRUE(obtain_smtp_secret(route, 5, &secret, &error)) << error.c_str();
  EXPECT_EQ(secret, "from-command");
  route.account = "work";
  route.password_command = "echo nope; exit 2";
  EXPECT_FALSE(obtain_smtp_secret(route, 5, &secret, &error));
  EXPECT_EQ(error,
            "The password command of msmtp account \"work\" gave no password: it ended with exit "
            "status 2.");
  EXPECT_EQ(secret, "");
  route.password = "line";
  ASSERT_TRUE(obtain_smtp_secret(route, 5, &secret, &error));
  EXPECT_EQ(secret, "line");
}

}  // namespace
}  // namespace tessaline
