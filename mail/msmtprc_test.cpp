#include "mail/msmtprc.h"

#include <gtest/gtest.h>

#include "mail/test_support.h"

namespace tessaline {
namespace {

const char kConfig[] =
    "# accounts of Ann\n"
    "defaults\n"
    "tls on\n"
    "tls_trust_file system\n"
    "\n"
    "account work\n"
    "host smtp.work.test\n"
    "port 587\n"
    "from ann@work.test\n"
    "auth on\n"
    "user ann\n"
    "passwordeval \"pass show mail/work | head -n 1\"\n"
    "\n"
    "account provider\n"
    "host smtp.provider.test\n"
    "tls_starttls off\n"
    "tls_trust_file ~/certs/provider.pem\n"
    "auth xoauth2\n"
    "user ann@provider.test\n"
    "password s3cret\n"
    "\n"
    "account lan : work\n"
    "host relay.lan.test\n"
    "tls off\n"
    "tls_certcheck off\n"
    "auth off\n"
    "\n"
    "account default : provider\n";

TEST(MsmtpAccount, ReadsTheNamedAccountWithItsTlsAndLogin) {
  MsmtpAccount a;
  ASSERT_TRUE(read_msmtp_account(kConfig, "work", &a, "/home/ann"));
  EXPECT_EQ(a.name, "work");
  EXPECT_EQ(a.host, "smtp.work.test");
  EXPECT_EQ(a.port, 587);
  EXPECT_EQ(a.from, "ann@work.test");
  EXPECT_TRUE(a.tls);  // from the defaults
  EXPECT_TRUE(a.tls_starttls);
  EXPECT_EQ(a.tls_trust_file, "");  // "system"
  EXPECT_TRUE(a.tls_certcheck);
  EXPECT_TRUE(a.auth_given);
  EXPECT_EQ(a.auth, "on");
  EXPECT_EQ(a.user, "ann");
  EXPECT_FALSE(a.password_given);
  EXPECT_EQ(a.passwordeval, "pass show mail/work | head -n 1");
}

TEST(MsmtpAccount, TheDefaultAccountInheritsEverything) {
  MsmtpAccount a;
  ASSERT_TRUE(read_msmtp_account(kConfig, "", &a, "/home/ann"));
  EXPECT_EQ(a.name, "default");
  EXPECT_EQ(a.host, "smtp.provider.test");
  EXPECT_EQ(a.port, 0);
  EXPECT_TRUE(a.tls);
  EXPECT_FALSE(a.tls_starttls);
  EXPECT_EQ(a.tls_trust_file, "/home/ann/certs/provider.pem");
  EXPECT_EQ(a.auth, "xoauth2");
  EXPECT_TRUE(a.password_given);
  EXPECT_EQ(a.password, "s3cret");
  EXPECT_EQ(a.passwordeval, "");
}

TEST(MsmtpAccount, AnAccountsOwnLinesWinOverWhatItInherits) {
  MsmtpAccount a;
  ASSERT_TRUE(read_msmtp_account(kConfig, "lan", &a));
  EXPECT_EQ(a.host, "relay.lan.test");
  EXPECT_EQ(a.port, 587);       // from work
  EXPECT_EQ(a.user, "ann");     // from work
  EXPECT_FALSE(a.tls);
  EXPECT_FALSE(a.tls_certcheck);
  EXPECT_EQ(a.auth, "off");
}

TEST(MsmtpAccount, BadLinesLeaveTheValueBeforeThem) {
  MsmtpAccount a;
  ASSERT_TRUE(read_msmtp_account("account x\nhost h.test\ntls on\ntls maybe\nport 25\nport 0\n"
                                 "tls_certcheck\n",
                                 "x", &a));
  EXPECT_TRUE(a.tls);
  EXPECT_EQ(a.port, 25);
  EXPECT_TRUE(a.tls_certcheck);  // an empty argument means on
  EXPECT_FALSE(read_msmtp_account(kConfig, "missing", &a));
  EXPECT_EQ(a.host, "");
  // The trust file is taken as written without a home to expand "~" with.
  ASSERT_TRUE(read_msmtp_account(kConfig, "provider", &a));
  EXPECT_EQ(a.tls_trust_file, "~/certs/provider.pem");
}

}  // namespace
}  // namespace tessaline
