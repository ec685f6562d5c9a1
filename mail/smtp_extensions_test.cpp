#include "mail/smtp_extensions.h"

#include <gtest/gtest.h>

#include "mail/test_support.h"

namespace tessaline {
namespace {

TEST(SmtpExtensions, ReadsTheKeywordsAfterTheServersName) {
  SmtpExtensions e = SmtpExtensions::parse(
      "250-mail.example.test Hello there\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n"
      "250-8BITMIME\r\n250-AUTH PLAIN LOGIN XOAUTH2\r\n250 STARTTLS");
  EXPECT_TRUE(e.offers("PIPELINING"));
  EXPECT_TRUE(e.offers("8bitmime"));  // keywords are not case-sensitive
  EXPECT_TRUE(e.offers("STARTTLS"));  // the last line counts too
  EXPECT_FALSE(e.offers("mail.example.test"));  // the greeting line is no keyword
  EXPECT_FALSE(e.offers("Hello"));
  EXPECT_FALSE(e.offers("SMTPUTF8"));
  EXPECT_EQ(e.parameters("SIZE"), "10240000");
  EXPECT_EQ(e.parameters("PIPELINING"), "");
  ASSERT_EQ(e.auth_mechanisms().count(), 3);
  EXPECT_EQ(e.auth_mechanisms()[0], "PLAIN");
  EXPECT_TRUE(e.offers_auth("xoauth2"));
  EXPECT_FALSE(e.offers_auth("CRAM-MD5"));
}

TEST(SmtpExtensions, ToleratesTheFormsServersSend) {
  struct Case {
    const char* reply;
    const char* keyword;
    bool offered;
    const char* mechanisms;  // joined by spaces
  };
  const Case cases[] = {
      // a one-line reply offers nothing
      {"250 mail.example.test", "STARTTLS", false, ""},
      // LF line ends only, lower case, extra blanks
      {"250-mx\n250-starttls  \n250 auth   login\tplain", "STARTTLS", true, "LOGIN PLAIN"},
      // the old AUTH= form alone, and beside the standard line (each mechanism once)
      {"250-mx\r\n250 AUTH=LOGIN PLAIN", "AUTH", true, "LOGIN PLAIN"},
      {"250-mx\r\n250-AUTH PLAIN LOGIN\r\n250 AUTH=LOGIN", "AUTH", true, "PLAIN LOGIN"},
      // lines that hold no keyword are skipped, the rest still counts
      {"250-mx\r\n250-\r\n250-!!!\r\n25\r\n250 8BITMIME", "8BITMIME", true, ""},
      // "AUTH=" of another keyword is not an AUTH line
      {"250-mx\r\n250 SIZE=100", "SIZE", false, ""},
      // a code without the separator is not a reply line
      {"250-mx\r\n250STARTTLS", "STARTTLS", false, ""},
      {"", "STARTTLS", false, ""},
  };
  for (const Case& c : cases) {
    SmtpExtensions e = SmtpExtensions::parse(c.reply);
    EXPECT_EQ(e.offers(c.keyword), c.offered) << c.reply;
    String mechanisms;
    for (const String& m : e.auth_mechanisms()) {
      if (!mechanisms.empty()) mechanisms += ' ';
      mechanisms += m;
    }
    EXPECT_EQ(mechanisms, c.mechanisms) << c.reply;
  }
}

TEST(SmtpExtensions, KeepsWhatAHostileServerSendsBounded) {
  std::string reply = "250-mx\r\n";
  for (int i = 0; i < 1000; ++i) reply += "250-K" + std::to_string(i) + "\r\n";
  reply += "250-AUTH";
  for (int i = 0; i < 1000; ++i) reply += " M" + std::to_string(i);
  reply += "\r\n250 X " + std::string(100000, 'p');
  SmtpExtensions e = SmtpExtensions::parse(reply);
  EXPECT_TRUE(e.offers("K0"));
  EXPECT_TRUE(e.offers("K63"));
  EXPECT_FALSE(e.offers("K64"));
  EXPECT_LE(e.auth_mechanisms().count(), SmtpExtensions::kMaxKeywords);
  EXPECT_LE(e.parameters("AUTH").length(), SmtpExtensions::kMaxParameters);
}

}  // namespace
}  // namespace tessaline
