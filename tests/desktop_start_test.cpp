// The start of the desktop program, with real processes: a start without a
// switch opens the window (on Qt's offscreen platform), a second start hands
// itself over to the first, and a send from the command line that did not
// complete opens the window on its project. What the running window did is
// read back from its settings file, which it writes when it closes (on
// SIGTERM, as at the end of a desktop session).
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/recording_ui.h"
#include "storage/test_directory.h"
#include "app/application.h"
#include "app/settings.h"
#include "tests/program_run.h"

namespace tessaline {
namespace {

// Without a display variable of the test machine's own: only the platform
// that draws into memory.
const std::vector<std::pair<String, String>> kOffscreen = {{"QT_QPA_PLATFORM", "offscreen"}};
const std::vector<std::pair<String, String>> kNoDisplay = {{"QT_QPA_PLATFORM", ""}};

class DesktopStart : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok() && work_.ok());
    setenv("TESSALINE_HOME", home_.path().c_str(), 1);
  }
  void TearDown() override {
    if (window_pid_ > 0) kill(window_pid_, SIGKILL);
    if (window_.joinable()) window_.join();
  }

  ProgramRun program(std::vector<String> args,
                     std::vector<std::pair<String, String>> environment = kOffscreen) {
    ProgramRun r;
    r.args = std::move(args);
    r.directory = work_.path();
    r.home = home_.path();
    r.environment = std::move(environment);
    // Qt wants the session's runtime folder, which a desktop session sets.
    r.environment.push_back({"XDG_RUNTIME_DIR", home_.path()});
    return r;
  }
  ProgramResult run(std::vector<String> args,
                    std::vector<std::pair<String, String>> environment = kOffscreen) {
    return run_program(program(std::move(args), std::move(environment)));
  }

  // Starts a program that opens the window, and returns once the window
  // listens for later starts (false if it ended first).
  bool start_window(std::vector<String> args) {
    std::atomic<pid_t> pid{0};
    window_ = std::thread([this, args, &pid] {
      ProgramRun r = program(args);
      r.started = [&pid](pid_t started) { pid = started; };
      window_result_ = run_program(r);
      window_done_ = true;
    });
    while (pid == 0 && !window_done_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    window_pid_ = pid;
    while (!window_done_) {
      if (listening()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Ends the window as a session's end does, and returns how it ended.
  ProgramResult close_window() {
    kill(window_pid_, SIGTERM);
    window_.join();
    window_pid_ = 0;
    return window_result_;
  }

  bool listening() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    String path = home_ / "instance.socket";
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
  }

  // A project; without a sender its send stops at the first check.
  String make_project(const char* name, bool with_sender) {
    RecordingUi ui;
    Application app(ui);
    EXPECT_TRUE(app.new_project());
    if (with_sender) app.fields().set_text("from", "Ann <ann@example.com>");
    app.fields().set_flag("use_recipient_text", true);
    app.fields().set_text("recipient_text", "bob@example.com");
    EXPECT_TRUE(app.save_project_as(work_ / name));
    EXPECT_TRUE(app.close_project());
    return work_ / name;
  }

  ProgramSettings settings() {
    ProgramSettings s;
    load_settings(home_ / "Mailer.DAT", s);
    return s;
  }

  TestDirectory home_;
  TestDirectory work_;
  std::thread window_;
  std::atomic<bool> window_done_{false};
  pid_t window_pid_ = 0;
  ProgramResult window_result_;
};

TEST_F(DesktopStart, WithoutADisplayAStartWithoutASwitchSaysWhyAndEnds) {
  ProgramResult r = run({}, kNoDisplay);
  EXPECT_EQ(r.status, 4);
  EXPECT_TRUE(r.err.contains("no display")) << r.err.c_str();
  EXPECT_TRUE(r.err.contains("Usage: tessaline-mailer")) << r.err.c_str();
  EXPECT_FALSE(listening());
}

TEST_F(DesktopStart, ADisplayQtCannotOpenEndsWithTheNoDisplayStatusNotACrash) {
  ProgramResult r = run({}, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":9999"}});
  EXPECT_EQ(r.status, 4) << r.err.c_str();
  EXPECT_TRUE(r.err.contains("tessaline-mailer: ")) << r.err.c_str();
}

TEST_F(DesktopStart, ASecondPlainStartBringsTheFirstForwardAndEnds) {
  ASSERT_TRUE(start_window({})) << window_result_.err.c_str();
  ProgramResult second = run({});
  EXPECT_EQ(second.status, 0) << second.err.c_str();
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(kill(window_pid_, 0), 0) << "the first window ended";
  EXPECT_TRUE(listening());

  ProgramResult first = close_window();
  EXPECT_EQ(first.status, 0) << first.err.c_str();
  EXPECT_FALSE(listening());  // a closed window leaves no socket behind
}

TEST_F(DesktopStart, ASecondStartWithAProjectHandsTheProjectToTheFirst) {
  String project = make_project("news.zqj", true);
  ASSERT_TRUE(start_window({})) << window_result_.err.c_str();
  // Named as a file manager or a shell names it: relative to its folder.
  ProgramResult second = run({"news.zqj"});
  EXPECT_EQ(second.status, 0) << second.err.c_str();

  // The window opens it from its event loop; it is in the settings once
  // the window has closed it.
  ProgramResult first = close_window();
  EXPECT_EQ(first.status, 0) << first.err.c_str();
  ProgramSettings s = settings();
  ASSERT_GE(s.recent_projects.count(), 1) << first.err.c_str();
  EXPECT_EQ(s.recent_projects[0], project);
}

TEST_F(DesktopStart, AStartWithAProjectOpensIt) {
  String project = make_project("news.zqj", true);
  ASSERT_TRUE(start_window({"news.zqj"})) << window_result_.err.c_str();
  ProgramResult first = close_window();
  EXPECT_EQ(first.status, 0) << first.err.c_str();
  ProgramSettings s = settings();
  ASSERT_GE(s.recent_projects.count(), 1);
  EXPECT_EQ(s.recent_projects[0], project);
}

TEST_F(DesktopStart, AFailedSendWithADisplayOpensTheWindowOnTheProject) {
  String project = make_project("news.zqj", false);
  // The send stops at its check of the sender, then the window opens.
  ASSERT_TRUE(start_window({"-s", "news.zqj"})) << window_result_.err.c_str();
  ProgramResult run = close_window();
  EXPECT_EQ(run.status, 3) << run.err.c_str();
  EXPECT_TRUE(run.err.contains("You must enter the originating email address.")) << run.err.c_str();
  ProgramSettings s = settings();
  ASSERT_GE(s.recent_projects.count(), 1);
  EXPECT_EQ(s.recent_projects[0], project);
}

TEST_F(DesktopStart, AFailedSendHandsItsProjectToARunningWindowAndEnds) {
  String project = make_project("news.zqj", false);
  ASSERT_TRUE(start_window({})) << window_result_.err.c_str();
  ProgramResult send = run({"-o", "bob@example.com", "news.zqj"});
  EXPECT_EQ(send.status, 3) << send.err.c_str();

  ProgramResult first = close_window();
  EXPECT_EQ(first.status, 0);
  ProgramSettings s = settings();
  ASSERT_GE(s.recent_projects.count(), 1);
  EXPECT_EQ(s.recent_projects[0], project);
}

TEST_F(DesktopStart, AFailedSendWithoutADisplayEndsAtOnce) {
  make_project("news.zqj", false);
  ProgramResult r = run({"-s", "news.zqj"}, kNoDisplay);
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(listening());
}

}  // namespace
}  // namespace tessaline
