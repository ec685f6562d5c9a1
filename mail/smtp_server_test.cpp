#include "mail/smtp_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "storage/registry.h"
#include "storage/test_directory.h"
#include "mail/msmtprc.h"
#include "mail/test_support.h"

namespace tessaline {
namespace {

struct MsmtpCase {
  const char* name;
  const char* text;
  bool found;
  const char* host;
  int port;
};

class MsmtpDefaultAccount : public ::testing::TestWithParam<MsmtpCase> {};

TEST_P(MsmtpDefaultAccount, TakesHostAndPort) {
  const MsmtpCase& c = GetParam();
  MsmtpAccount account;
  EXPECT_EQ(read_msmtp_default_account(c.text, &account), c.found);
  EXPECT_EQ(account.host, c.host);
  EXPECT_EQ(account.port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MsmtpDefaultAccount,
    ::testing::Values(
        MsmtpCase{"account_named_default",
                  "# mine\naccount default\nhost smtp.example.test\nport 2525\n", true,
                  "smtp.example.test", 2525},
        MsmtpCase{"default_inherits_another_account",
                  "defaults\nport 587\ntls on\n\n"
                  "account work\nhost mail.work.test\nuser me\n\n"
                  "account home\nhost mail.home.test\nport 465\n\n"
                  "account default : work\n",
                  true, "mail.work.test", 587},
        MsmtpCase{"later_parent_wins", "account a\nhost a.test\naccount b\nhost b.test\nport 26\n"
                                       "account default : a, b\n",
                  true, "b.test", 26},
        MsmtpCase{"own_lines_override_the_parent",
                  "account work\nhost mail.work.test\naccount default : work\nport 2526\n", true,
                  "mail.work.test", 2526},
        MsmtpCase{"quoted_values_and_crlf", "account default\r\nhost \"smtp.example.test\"\r\n",
                  true, "smtp.example.test", 0},
        MsmtpCase{"no_default_account", "account work\nhost mail.work.test\n", false, "", 0},
        MsmtpCase{"default_without_host", "account default\nport 25\n", false, "", 0},
        MsmtpCase{"empty", "", false, "", 0},
        MsmtpCase{"bad_port_and_host_are_ignored",
                  "account default\nhost ok.test\nhost \"bad host\"\nport 70000\nport -1\nport x\n",
                  true, "ok.test", 0},
        MsmtpCase{"unterminated_quote", "account default\nhost \"smtp.test\n", false, "", 0},
        MsmtpCase{"defaults_after_an_account_do_not_reach_back",
                  "account default\nhost a.test\ndefaults\nport 2600\n", true, "a.test", 0}),
    [](const auto& info) { return info.param.name; });

TEST(MsmtpDefaultAccount, ReadsOnlyTheBoundedPrefix) {
  std::string text = "account default\nhost first.test\n";
  text += std::string(kMaxMsmtprcText, '#');
  text += "\nhost beyond.test\n";
  MsmtpAccount account;
  ASSERT_TRUE(read_msmtp_default_account(text, &account));
  EXPECT_EQ(account.host, "first.test");
}

// A registry with a few values, keyed "key|name".
class FakeRegistry : public RegistryReader {
 public:
  std::map<std::string, std::string> texts;
  std::map<std::string, int> numbers;
  bool key_exists(std::string_view key) const override {
    std::string prefix = std::string(key) + "|";
    for (const auto& [k, v] : texts)
      if (k.starts_with(prefix)) return true;
    for (const auto& [k, v] : numbers)
      if (k.starts_with(prefix)) return true;
    return false;
  }
  bool read_text(std::string_view key, std::string_view name, String* value) const override {
    auto found = texts.find(std::string(key) + "|" + std::string(name));
    if (found == texts.end()) return false;
    *value = found->second.c_str();
    return true;
  }
  bool read_number(std::string_view key, std::string_view name, int* value) const override {
    auto found = numbers.find(std::string(key) + "|" + std::string(name));
    if (found == numbers.end()) return false;
    *value = found->second;
    return true;
  }
};

const std::string kAccount = std::string(kMailAccountKey) + "\\Accounts\\Main";
const char kMsmtprc[] = "account default\nhost msmtp.test\nport 2525\n";

TEST(DefaultSmtpSettings, RegistryAccountThenMsmtpThenPort25) {
  struct Case {
    const char* name;
    bool registry;
    std::map<std::string, std::string> texts;
    std::map<std::string, int> numbers;
    const char* msmtprc;
    const char* server;
    int port;
    int timeout;
  } cases[] = {
      {"nothing", false, {}, {}, "", "", 25, 60},
      {"msmtp_only", false, {}, {}, kMsmtprc, "msmtp.test", 2525, 60},
      {"registry_account_wins",
       true,
       {{std::string(kMailAccountKey) + "|Default Mail Account", "Main"},
        {kAccount + "|SMTP Server", "account.test"}},
       {{kAccount + "|SMTP Port", 587}},
       kMsmtprc,
       "account.test",
       587,
       60},
      {"registry_port_0_becomes_25",
       true,
       {{std::string(kMailAccountKey) + "|Default Mail Account", "Main"},
        {kAccount + "|SMTP Server", "account.test"}},
       {{kAccount + "|SMTP Port", 0}},
       "",
       "account.test",
       25,
       60},
      {"registry_without_account_falls_to_msmtp",
       true,
       {{std::string(kMailAccountKey) + "|Default Mail Account", "Missing"}},
       {},
       kMsmtprc,
       "msmtp.test",
       2525,
       60},
      {"stored_settings_win",
       true,
       {{std::string(kToolkitKey) + "|SMTP_Server", "stored.test"}},
       {{std::string(kToolkitKey) + "|SMTP_Port", 26}, {std::string(kToolkitKey) + "|SMTP_Timeout", 5}},
       kMsmtprc,
       "stored.test",
       26,
       5},
  };
  for (const Case& c : cases) {
    FakeRegistry registry;
    registry.texts = c.texts;
    registry.numbers = c.numbers;
    SmtpSettings settings = default_smtp_settings(c.registry ? &registry : nullptr, c.msmtprc);
    EXPECT_EQ(settings.server, c.server) << c.name;
    EXPECT_EQ(settings.port, c.port) << c.name;
    EXPECT_EQ(settings.timeout_seconds, c.timeout) << c.name;
  }
}

TEST(MsmtprcPaths, HomeFileThenXdgConfig) {
  Vector<String> paths = msmtprc_paths("/home/ann", nullptr);
  ASSERT_EQ(paths.count(), 2);
  EXPECT_EQ(paths[0], "/home/ann/.msmtprc");
  EXPECT_EQ(paths[1], "/home/ann/.config/msmtp/config");
  paths = msmtprc_paths("/home/ann", "/cfg");
  ASSERT_EQ(paths.count(), 2);
  EXPECT_EQ(paths[1], "/cfg/msmtp/config");
  EXPECT_EQ(msmtprc_paths(nullptr, "").count(), 0);
}

// Each test here gets its own home: its own registry file and msmtprc.
class NetStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok());
    const char* old = std::getenv("HOME");
    saved_home_ = old ? old : "";
    setenv("HOME", home_.path().c_str(), 1);
    setenv("TESSALINE_HOME", home_.path().c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
  }
  void TearDown() override {
    setenv("HOME", saved_home_.c_str(), 1);
    unsetenv("TESSALINE_HOME");
  }
  TestDirectory home_;
  std::string saved_home_;
};

TEST_F(NetStartup, TakesTheServerFromTheUsersMsmtpConfiguration) {
  ASSERT_TRUE(home_.put(".msmtprc", kMsmtprc));
  net_startup();
  EXPECT_EQ(smtp_server_name(), "msmtp.test");
  EXPECT_EQ(smtp_port(), 2525);
  EXPECT_EQ(smtp_timeout(), 60);
}

TEST_F(NetStartup, ReadsTheMailAccountAndStoredSettingsFromTheRegistry) {
  using registry::Root;
  ASSERT_TRUE(home_.put(".msmtprc", kMsmtprc));
  ASSERT_NE(registry::open_key(Root::kUsers,
                               ".DEFAULT\\Software\\Microsoft\\Internet Account Manager"),
            registry::kOpenFailed);
  registry::set_string("Default Mail Account", "Main");
  ASSERT_NE(registry::open_subkey("Accounts\\Main"), registry::kOpenFailed);
  registry::set_string("SMTP Server", "account.test");
  registry::set_int("SMTP Port", 587);
  registry::close_key();
  registry::close_key();
  net_startup();
  EXPECT_EQ(smtp_server_name(), "account.test");
  EXPECT_EQ(smtp_port(), 587);

  ASSERT_NE(registry::open_software_key("Tessaline\\Loomwork"), registry::kOpenFailed);
  registry::set_int("SMTP_Timeout", 15);
  registry::close_key();
  net_startup();
  EXPECT_EQ(smtp_server_name(), "account.test");
  EXPECT_EQ(smtp_timeout(), 15);
  EXPECT_FALSE(registry::key_is_open());
}

}  // namespace
}  // namespace tessaline
