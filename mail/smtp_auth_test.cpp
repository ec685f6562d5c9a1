#include "mail/smtp_auth.h"

#include <gtest/gtest.h>

#include "mail/test_support.h"

namespace tessaline {
namespace {

SmtpExtensions offering(const char* auth_line) {
  return SmtpExtensions::parse(std::string("250-mx\r\n") + auth_line + "\r\n250 8BITMIME");
}

TEST(AuthSetting, ReadsTheWordsOfAnMsmtpAuthLine) {
  struct Case {
    const char* text;
    bool ok;
    AuthSetting setting;
  } cases[] = {
      {"on", true, AuthSetting::kOn},       {"", true, AuthSetting::kOn},
      {"OFF", true, AuthSetting::kOff},     {"plain", true, AuthSetting::kPlain},
      {"Login", true, AuthSetting::kLogin}, {"xoauth2", true, AuthSetting::kXoauth2},
      {"cram-md5", false, AuthSetting::kOff}, {"scram-sha-1", false, AuthSetting::kOff},
      {"plain ", false, AuthSetting::kOff},
  };
  for (const Case& c : cases) {
    AuthSetting setting = AuthSetting::kOff;
    EXPECT_EQ(parse_auth_setting(c.text, &setting), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(setting, c.setting) << c.text;
    }
  }
}

TEST(AuthMechanismChoice, TakesWhatTheServerOffersAndSaysWhyNot) {
  struct Case {
    AuthSetting setting;
    const char* auth_line;
    AuthMechanism chosen;
    const char* reason_part;
  } cases[] = {
      {AuthSetting::kOn, "250-AUTH LOGIN PLAIN", AuthMechanism::kPlain, ""},
      {AuthSetting::kOn, "250-AUTH CRAM-MD5 LOGIN", AuthMechanism::kLogin, ""},
      // a token is not a password: "on" never picks XOAUTH2
      {AuthSetting::kOn, "250-AUTH XOAUTH2", AuthMechanism::kNone, "it offers: XOAUTH2"},
      {AuthSetting::kXoauth2, "250-AUTH PLAIN XOAUTH2", AuthMechanism::kXoauth2, ""},
      {AuthSetting::kLogin, "250-AUTH PLAIN LOGIN", AuthMechanism::kLogin, ""},
      {AuthSetting::kPlain, "250-AUTH LOGIN", AuthMechanism::kNone,
       "does not offer the login method PLAIN (it offers: LOGIN)"},
      {AuthSetting::kOn, "250-SIZE 100", AuthMechanism::kNone, "offers no login"},
      {AuthSetting::kOff, "250-AUTH PLAIN", AuthMechanism::kNone, "no login"},
  };
  for (const Case& c : cases) {
    String why;
    EXPECT_EQ(choose_auth_mechanism(c.setting, offering(c.auth_line), &why), c.chosen)
        << c.auth_line;
    if (c.chosen == AuthMechanism::kNone) {
      EXPECT_TRUE(why.contains(c.reason_part)) << why.c_str();
    } else {
      EXPECT_TRUE(why.empty()) << why.c_str();
    }
  }
}

TEST(Base64Line, EncodesWithoutLineBreaks) {
  EXPECT_EQ(base64_line(""), "");
  EXPECT_EQ(base64_line("f"), "Zg==");
  EXPECT_EQ(base64_line("fo"), "Zm8=");
  EXPECT_EQ(base64_line("foo"), "Zm9v");
  EXPECT_EQ(base64_line(std::string_view("\0ann\0secret", 11)), "AGFubgBzZWNyZXQ=");
  EXPECT_FALSE(base64_line(std::string(300, 'x')).contains('\n'));
}

// The lines each mechanism sends, checked against their definitions
// (RFC 4616 for PLAIN; the user=...^Aauth=Bearer ...^A^A form for XOAUTH2).
TEST(AuthExchange, MakesTheLinesOfEachMechanism) {
  AuthExchange plain(AuthMechanism::kPlain, "ann", "secret");
  EXPECT_EQ(plain.first_command(), "AUTH PLAIN AGFubgBzZWNyZXQ=\r\n");
  // A server that wants PLAIN's data after an empty prompt gets it then.
  EXPECT_EQ(plain.answer(""), "AGFubgBzZWNyZXQ=\r\n");
  EXPECT_EQ(plain.answer(""), "*\r\n");

  AuthExchange login(AuthMechanism::kLogin, "ann", "secret");
  EXPECT_EQ(login.first_command(), "AUTH LOGIN\r\n");
  EXPECT_EQ(login.answer("VXNlcm5hbWU6"), base64_line("ann") + "\r\n");
  EXPECT_EQ(login.answer("UGFzc3dvcmQ6"), base64_line("secret") + "\r\n");
  EXPECT_EQ(login.answer("VXNlcm5hbWU6"), "*\r\n");  // a third prompt is cancelled

  AuthExchange token(AuthMechanism::kXoauth2, "ann@example.test", "ya29.token");
  EXPECT_EQ(token.first_command(),
            "AUTH XOAUTH2 " + base64_line("user=ann@example.test\001auth=Bearer ya29.token\001\001") +
                "\r\n");
  EXPECT_EQ(token.answer("eyJzdGF0dXMiOiI0MDEifQ=="), "\r\n");  // the error report
  EXPECT_EQ(token.answer(""), "*\r\n");
}

TEST(AuthExchange, MasksEverythingButTheCommandWord) {
  EXPECT_EQ(AuthExchange::masked("AUTH PLAIN AGFubgBzZWNyZXQ=\r\n"), "AUTH PLAIN ********");
  EXPECT_EQ(AuthExchange::masked("AUTH LOGIN\r\n"), "AUTH LOGIN");
  EXPECT_EQ(AuthExchange::masked("auth xoauth2 dXNlcj1h\r\n"), "auth xoauth2 ********");
  EXPECT_EQ(AuthExchange::masked("c2VjcmV0\r\n"), "********");
  EXPECT_EQ(AuthExchange::masked("\r\n"), "");
  EXPECT_EQ(AuthExchange::masked("*\r\n"), "*");
}

}  // namespace
}  // namespace tessaline
