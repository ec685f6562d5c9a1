// Unattended sends of the real program through a server that wants TLS and
// a login (aiosmtpd with STARTTLS required and a login required), with the
// server, port, TLS and credentials of the user's msmtp account.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/recording_ui.h"
#include "storage/test_directory.h"
#include "mail/testing/test_servers.h"
#include "app/application.h"
#include "tests/program_run.h"

namespace tessaline {
namespace {

const char kSecret[] = "Pa55-word-of-Ann";

// Every file under the folder, with its bytes.
void read_tree(const std::string& folder, std::vector<std::pair<std::string, std::string>>* files) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = folder + "/" + name;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      read_tree(path, files);
    } else if (S_ISREG(info.st_mode)) {
      files->emplace_back(path, TestDirectory::read(path.c_str()).std_string());
    }
  }
  closedir(dir);
}

class ProviderRun : public ::testing::Test {
 protected:
  // One server for the suite: STARTTLS required, then a login.
  static void SetUpTestSuite() {
    folder_ = new TestDirectory;
    certificates_ = new testing::TestCertificates;
    server_ = new testing::SecureSmtpServer;
    String error;
    ::mkdir((*folder_ / "certificates").c_str(), 0700);
    ::mkdir((*folder_ / "server").c_str(), 0700);
    started_ = certificates_->make(*folder_ / "certificates", &error) &&
               server_->start(*folder_ / "server",
                              {"--require-starttls", "--login", std::string("ann:") + kSecret,
                               "--cert", certificates_->certificate("good").std_string(), "--key",
                               certificates_->key("good").std_string()},
                              &error);
    if (!started_) std::fprintf(stderr, "%s\n", error.c_str());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete certificates_;
    delete folder_;
  }

  void SetUp() override {
    ASSERT_TRUE(started_);
    ASSERT_TRUE(home_.ok() && work_.ok());
    // What earlier tests sent does not count here.
    server_->listener(0).new_messages();
    server_->listener(0).new_sessions();
    // No SMTP server setting of its own: the program finds msmtp's account.
    ASSERT_TRUE(home_.put("registry.reg", "REGEDIT4\r\n"));
  }

  // The account as a Linux user keeps it; the password comes from a command.
  void write_msmtprc(const std::string& password_command, int port) {
    std::string text = "defaults\ntls on\n\naccount provider\nhost 127.0.0.1\nport " +
                       std::to_string(port) + "\nfrom Ann <ann@example.test>\ntls_trust_file " +
                       certificates_->ca_file().std_string() +
                       "\nauth on\nuser ann\npasswordeval \"" + password_command +
                       "\"\n\naccount default : provider\n";
    ASSERT_TRUE(home_.put(".msmtprc", String(text)));
  }

  // A project with no From of its own and the default port 25, which the
  // account's port must win over.
  void make_project(const char* recipients, bool recycle = true) {
    RecordingUi ui;
    Application app(ui);
    ASSERT_TRUE(app.new_project());
    Project& p = app.fields();
    p.set_text("subject", "News");
    p.set_flag("use_body_text", true);
    p.set_text("body", "Hello [[-Email-]]");
    p.set_flag("use_recipient_text", true);
    p.set_text("recipient_text", recipients);
    p.set_flag("Recycle", recycle);
    ASSERT_TRUE(app.save_project_as(work_ / "news.zqj"));
    ASSERT_TRUE(app.close_project());
  }

  ProgramResult run(std::vector<String> args) {
    ProgramRun r;
    r.args = std::move(args);
    r.directory = work_.path();
    r.home = home_.path();
    r.environment = {{"HOME", home_.path()}, {"XDG_CONFIG_HOME", home_.path()}};
    r.time_limit_seconds = 120;
    return run_program(r);
  }

  static TestDirectory* folder_;
  static testing::TestCertificates* certificates_;
  static testing::SecureSmtpServer* server_;
  static bool started_;
  TestDirectory home_;
  TestDirectory work_;
};

TestDirectory* ProviderRun::folder_ = nullptr;
testing::TestCertificates* ProviderRun::certificates_ = nullptr;
testing::SecureSmtpServer* ProviderRun::server_ = nullptr;
bool ProviderRun::started_ = false;

TEST_F(ProviderRun, SendsWithTheAccountsTlsAndLoginAndNeverWritesThePassword) {
  write_msmtprc(std::string("echo ") + kSecret, server_->port());
  make_project("bob@example.test\ncarol@example.test");
  ProgramResult r = run({"-s", "news", "--verbose"});
  EXPECT_EQ(r.status, 0) << r.err.c_str();

  auto messages = server_->listener(0).new_messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].mail_from, "ann@example.test");  // the account's from
  EXPECT_EQ(server_->listener(0).new_sessions(), "tls=yes login=ann\ntls=yes login=ann\n");

  // The trace shows the dialogue with the login masked.
  std::string err = r.err.std_string();
  EXPECT_NE(err.find("Sending through 127.0.0.1:" + std::to_string(server_->port()) +
                     ", STARTTLS required, login as ann (msmtp account \"default\")\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("-> STARTTLS\n"), std::string::npos) << err;
  EXPECT_NE(err.find("TLS: TLSv1."), std::string::npos) << err;
  EXPECT_NE(err.find("-> AUTH PLAIN ********\n<- 235"), std::string::npos) << err;
  EXPECT_NE(err.find("-> (the message text, "), std::string::npos) << err;
  EXPECT_NE(err.find(" bytes)\n-> .\n<- 250 Message accepted\n"), std::string::npos) << err;
  EXPECT_EQ(err.find(kSecret), std::string::npos);
  EXPECT_EQ(r.out.std_string().find(kSecret), std::string::npos);
  // No file the program wrote or read holds the password but the
  // account's own configuration, where the person put its command.
  std::vector<std::pair<std::string, std::string>> files;
  read_tree(home_.path().std_string(), &files);
  read_tree(work_.path().std_string(), &files);
  int written = 0;
  for (const auto& [path, bytes] : files) {
    if (path.ends_with("/.msmtprc")) continue;
    ++written;
    EXPECT_EQ(bytes.find(kSecret), std::string::npos) << path;
  }
  EXPECT_GE(written, 2);  // at least the project and the send log
}

TEST_F(ProviderRun, ARefusedLoginStopsAtTheFirstMessageWithTheServersReply) {
  write_msmtprc("echo not-the-password", server_->port());
  make_project("bob@example.test\ncarol@example.test\ndave@example.test");
  ProgramResult r = run({"-s", "news"});
  EXPECT_EQ(r.status, 3);
  std::string err = r.err.std_string();
  // The server's line end is the terminal's here: a line feed alone.
  EXPECT_NE(err.find("refused the login as ann:\n535 5.7.8 Authentication credentials invalid"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("did not take the login, so the send stops here"), std::string::npos) << err;
  String log = home_.get("Trenk.LOG");
  EXPECT_TRUE(log.contains("carol@example.test\r\nSend stopped: message not sent\r\n"))
      << log.c_str();
  EXPECT_TRUE(log.contains("dave@example.test\r\nSend stopped: message not sent\r\n"));
  EXPECT_FALSE(log.contains("Sending carol@example.test"));
  EXPECT_TRUE(server_->listener(0).new_messages().empty());
}

TEST_F(ProviderRun, TheCommandLinesServerWinsAndAClosedPortStopsTheSend) {
  write_msmtprc(std::string("echo ") + kSecret, server_->port());
  // A connection per message: with one kept connection, the send would stop
  // before its first message, at the connection.
  make_project("bob@example.test\ncarol@example.test\ndave@example.test\nerin@example.test", false);
  testing::HeldPort refusing(testing::HeldPort::kRefusing);
  int closed = refusing.port();
  // A server never reached is not waited for: the send stops at once.
  ProgramResult r = run({"-s", "news", String::formatted("--server=127.0.0.1:%d", closed)});
  EXPECT_EQ(r.status, 3);
  String log = home_.get("Trenk.LOG");
  String refused = String::formatted("Unable to connect to server 127.0.0.1:%d: Connection refused",
                                     closed);
  String stop = String::formatted("The SMTP server 127.0.0.1:%d could not be reached, so the send "
                                  "stops here: the messages after this one are not sent.",
                                  closed);
  EXPECT_TRUE(log.contains(refused.c_str())) << log.c_str();
  EXPECT_TRUE(log.contains(stop.c_str())) << log.c_str();
  EXPECT_FALSE(log.contains("try 2 of")) << log.c_str();
  EXPECT_TRUE(log.contains("carol@example.test\r\nSend stopped: message not sent\r\n"))
      << log.c_str();
  EXPECT_TRUE(log.contains("erin@example.test\r\nSend stopped: message not sent\r\n"))
      << log.c_str();
  EXPECT_TRUE(r.err.contains(refused.c_str())) << r.err.c_str();
  EXPECT_TRUE(r.err.contains(stop.c_str())) << r.err.c_str();

  ProgramResult bad = run({"-s", "news", "--server", "[::1]:25"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(bad.err.contains("The server given with --server is not valid: [::1]:25"))
      << bad.err.c_str();
  ProgramResult alone = run({"-a", "x@example.test", "news", "--account", "provider"});
  EXPECT_EQ(alone.status, 1);
  EXPECT_TRUE(alone.err.contains("The --account option works only with a send (-s, -o or --resume)."));
}

}  // namespace
}  // namespace tessaline
