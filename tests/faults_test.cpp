// The real program under faults: a folder lock held too long, a full disk
// for -a, -e and -s, and runs killed in the middle of a save. In each, no
// project loses what it held, no failure passes for success, and nothing
// the program made is left behind for good.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/recording_ui.h"
#include "platform/temporary_files.h"
#include "storage/glob_file.h"
#include "storage/paths.h"
#include "storage/test_directory.h"
#include "app/application.h"
#include "app/project_file.h"
#include "tests/program_run.h"
#include "tests/small_disk.h"
#include "tests/smtp_recorder.h"

namespace tessaline {
namespace {

// The entries of a folder that are temporary files of this program.
std::vector<String> temporaries_in(const String& folder) {
  std::vector<String> found;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      long pid = 0;
      String host;
      if (parse_temporary_name(entry->d_name, &pid, &host)) found.push_back(entry->d_name);
    }
    closedir(dir);
  }
  return found;
}

class FaultRun : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok() && work_.ok());
    setenv("TESSALINE_HOME", home_.path().c_str(), 1);
  }

  ProgramResult run(std::vector<String> args) {
    ProgramRun r;
    r.args = std::move(args);
    r.directory = work_.path();
    r.home = home_.path();
    r.environment = {{"HOME", home_.path()}, {"XDG_CONFIG_HOME", home_.path()}};
    return run_program(r);
  }

  template <typename Fill>
  void make_project(const String& path, Fill fill) {
    RecordingUi ui;
    Application app(ui);
    ASSERT_TRUE(app.new_project());
    app.fields().set_text("from", "Ann <ann@example.com>");
    app.fields().set_text("recipient_text", "first@example.com");
    fill(app.fields());
    ASSERT_TRUE(app.save_project_as(path));
    ASSERT_TRUE(app.close_project());
  }
  void make_project(const String& path) {
    make_project(path, [](Project&) {});
  }

  Project read_project(const String& path) {
    Project p;
    EXPECT_EQ(read_project_file(path, p), GlobFile::kOpened) << path.c_str();
    return p;
  }

  TestDirectory home_;
  TestDirectory work_;
};

// --- the lock of a project's folder ---------------------------------------------

// Another process holding the lock of a folder (flock, as the program
// takes it) until it is stopped by its id.
class OutsideLock {
 public:
  explicit OutsideLock(const String& folder) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
      char held = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
      if (write(ready[1], &held, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char held = 'n';
    held_ = pid_ > 0 && read(ready[0], &held, 1) == 1 && held == 'y';
    close(ready[0]);
  }
  ~OutsideLock() { release(); }
  bool held() const { return held_; }
  void release() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

TEST_F(FaultRun, ARunThatCannotGetTheFolderLockInTimeLeavesTheProjectAlone) {
  const String project = work_ / "news.zqj";
  ASSERT_TRUE(work_.put("readers.txt", "first@example.com\n"));
  make_project(project, [this](Project& p) {
    p.set_flag("use_recipient_text", true);
    p.set_flag("use_recipient_file", true);
    p.set_text("recipient_file", work_ / "readers.txt");
  });
  const String before = TestDirectory::read(project);
  {
    // The limit is a program setting; a second keeps the test short.
    RecordingUi ui;
    Application app(ui);
    app.settings().lock_time_limit_seconds = 1;
    ASSERT_TRUE(app.save_settings());
  }
  OutsideLock lock(work_.path());
  ASSERT_TRUE(lock.held());

  struct Case {
    std::vector<String> args;
    const char* outcome;
  } cases[] = {
      {{"-alate@example.com", "news"}, "The project was not changed"},
      {{"-elate@example.com", "news"}, "The project was not changed"},
      // A removal would edit the recipient file as well as the project.
      {{"--remove", "first@example.com", "news"}, "No recipient was removed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0].c_str());
    ProgramResult r = run(c.args);
    EXPECT_EQ(r.status, kExitProject);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: " + String(c.outcome) + ", because another run has kept the "
                     "projects of its folder locked for more than 1 seconds:\n" + project + "\n");
    EXPECT_TRUE(TestDirectory::read(project) == before);
    EXPECT_EQ(work_.get("readers.txt"), "first@example.com\n");
  }

  // Once the lock is free, the same run goes through.
  lock.release();
  ProgramResult r = run({"-alate@example.com", "news"});
  EXPECT_EQ(r.status, kExitDone) << r.err.c_str();
  EXPECT_EQ(read_project(project).text("recipient_text"), "first@example.com\nlate@example.com");
}

// --- a full disk --------------------------------------------------------------------

class FullDisk : public FaultRun {
 protected:
  void SetUp() override {
    FaultRun::SetUp();
    String why;
    if (!small_disk_available(&why)) GTEST_SKIP() << "no small file system here: " << why.c_str();
    ASSERT_TRUE(out_.ok());
  }

  // Runs the program on a 1 MB disk holding the project (and the
  // program's own folder, TESSALINE_HOME), which `fill` fills first. The
  // disk's listing and its files come out into out_.
  ProgramResult run_on_full_disk(const std::vector<String>& args, const char* fill,
                                 const std::vector<std::pair<String, String>>& environment = {}) {
    String script =
        "mkdir home && cp \"$WORK\"/home/* home/ && cp \"$WORK\"/news.zqj news.zqj || exit 125\n"
        "dd if=/dev/zero of=filler bs=4096 2>/dev/null\n" + String(fill) + "\n"
        "TESSALINE_HOME=\"$DISK/home\" \"$PROGRAM\" \"$@\"\n"
        "status=$?\n"
        "ls -A . home > \"$OUT/listing\"\n"
        "cp news.zqj \"$OUT/news.zqj\"\n"
        "cp home/Trenk.LOG \"$OUT/Trenk.LOG\" 2>/dev/null\n"
        "exit $status\n";
    // The arguments reach the script as "$@".
    String quoted;
    for (const String& a : args) quoted += " '" + a + "'";
    script = "set --" + quoted + "\n" + script;
    std::vector<std::pair<String, String>> variables = {
        {"WORK", work_.path()},
        {"OUT", out_.path()},
        {"PROGRAM", program_path_for_tests()},
        {"HOME", home_.path()},
        {"XDG_CONFIG_HOME", home_.path()}};
    for (const auto& v : environment) variables.push_back(v);
    return run_on_small_disk(1024, script, variables);
  }

  // The project and the program's own files, made where the disk copies
  // them from.
  void prepare(const std::vector<String>& recipients = {}, int port = 0) {
    mkdir((work_ / "home").c_str(), 0700);
    make_project(work_ / "news.zqj", [&](Project& p) {
      String list;
      for (const String& r : recipients) list += r + "\n";
      if (!recipients.empty()) p.set_text("recipient_text", list);
      p.set_flag("use_recipient_text", true);
      p.set_text("subject", "News");
      p.set_flag("use_body_text", true);
      p.set_text("body", "To [[-Email-]].");
      p.set_text("SMTPport", String::formatted("%d", port));
      p.set_flag("Recycle", true);
    });
    ASSERT_TRUE(work_.put("home/registry.reg",
                          "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork]\r\n"
                          "\"SMTP_Server\"=\"127.0.0.1\"\r\n"));
  }

  std::set<std::string> listing() {
    std::set<std::string> names;
    std::string text = out_.get("listing").std_string();
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      if (!line.empty() && line.back() != ':') names.insert(line);
      at = end + 1;
    }
    return names;
  }

  TestDirectory out_;
};

TEST_F(FullDisk, ASaveFailsWithTheProjectsNameAndTheOldProjectStaysWhole) {
  prepare();
  const String before = TestDirectory::read(work_ / "news.zqj");
  for (const char* option : {"-anew@example.com", "-enew@example.com"}) {
    SCOPED_TRACE(option);
    ProgramResult r = run_on_full_disk({option, "news"}, "");
    ASSERT_NE(r.status, 125) << r.err.c_str();
    EXPECT_EQ(r.status, kExitProject);
    // The save failure it is, naming the file and the reason.
    EXPECT_TRUE(r.err.starts_with("Error: Failed to create project file:\n")) << r.err.c_str();
    EXPECT_NE(r.err.find("/news.zqj\n\n"), -1) << r.err.c_str();
    EXPECT_NE(r.err.find("No space left on device"), -1) << r.err.c_str();
    EXPECT_EQ(r.err.find("FATAL"), -1) << r.err.c_str();
    // The old project whole, and nothing else made on the disk: no
    // temporary file, no scratch file in the program's folder.
    EXPECT_TRUE(out_.get("news.zqj") == before);
    EXPECT_EQ(listing(), (std::set<std::string>{"filler", "home", "news.zqj", "registry.reg"}));
  }
}

TEST_F(FullDisk, ASendStopsBeforeTheFirstMessageItsLogOrJournalCannotRecord) {
  SmtpRecorder server;
  ASSERT_TRUE(server.start(work_ / "received")) << server.error().c_str();
  std::vector<String> recipients;
  for (int i = 1; i <= 400; ++i) recipients.push_back(String::formatted("r%d@example.com", i));
  prepare(recipients, server.port());

  // The send's records find room for some 24 KB: the journal with its
  // plan of 400, then a few dozen recipients in the log, its kept copy and
  // the journal. Whichever record is the first that cannot be written
  // stops the send.
  ProgramResult r = run_on_full_disk({"-s", "news"}, "truncate -s -24K filler");
  ASSERT_NE(r.status, 125) << r.err.c_str();
  EXPECT_EQ(r.status, kExitSend);
  bool log_full = r.err.find("The send log could not be written:\n") >= 0 &&
                  r.err.find("/home/Trenk.LOG\nNo space left on device\n") >= 0;
  bool journal_full = r.err.find("The send journal could not be written:\n") >= 0 &&
                      r.err.find(".journal\nUnable to write the send journal: No space left on "
                                 "device\n") >= 0;
  EXPECT_TRUE(log_full || journal_full) << r.err.c_str();
  EXPECT_NE(r.err.find("The mailing did not complete."), -1) << r.err.c_str();

  // The first recipients, in order, up to where the log stopped; every one
  // but the last has its line in the log, and no one after it was sent.
  auto messages = server.messages();
  ASSERT_GT(messages.size(), 10u);
  ASSERT_LT(messages.size(), recipients.size());
  String log = out_.get("Trenk.LOG");
  for (size_t i = 0; i < messages.size(); ++i) {
    ASSERT_EQ(messages[i].recipients.size(), 1u);
    EXPECT_EQ(messages[i].recipients[0], recipients[i]);
    if (i + 1 < messages.size()) {
      EXPECT_NE(log.find(("Sending " + recipients[i] + " : success\r\n").c_str()), -1) << i;
    }
  }
  EXPECT_EQ(log.find(("Sending " + recipients[messages.size()] + " ").c_str()), -1);
}

// --- runs killed while they save ------------------------------------------------------

// Kills a run with SIGKILL the moment a temporary file of it shows in the
// folder, unless the run ends first.
struct KillWhenTemporaryShows {
  String folder;
  std::atomic<int>* kills;
  void operator()(pid_t pid) const {
    for (;;) {
      siginfo_t info{};
      if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
        return;  // it ended on its own; run_program reaps it
      }
      for (const String& name : temporaries_in(folder)) {
        if (name.contains(String::formatted("-%d-", static_cast<int>(pid)).c_str())) {
          kill(pid, SIGKILL);
          ++*kills;
          return;
        }
      }
    }
  }
};

TEST_F(FaultRun, TemporariesOfKilledSavesAreRemovedByTheNextRunThatSaves) {
  const String project = work_ / "big.zqj";
  // A project large enough that its save takes a moment; auto-backup on,
  // so that a save also copies the old file.
  make_project(project, [](Project& p) { p.set_text("body", String(std::string(2 << 20, 'b'))); });
  {
    RecordingUi ui;
    Application app(ui);
    app.settings().auto_backup = true;
    ASSERT_TRUE(app.save_settings());
  }
  // Killed saves, until one is killed while its temporary file exists (a
  // kill may come just after the rename). Each run clears away what the
  // one before it left, so at most one is there at a time.
  std::atomic<int> kills{0};
  std::vector<String> left;
  for (int attempt = 0; attempt < 20 && left.empty(); ++attempt) {
    ProgramRun r;
    r.args = {String::formatted("-akilled%d@example.com", attempt), "big"};
    r.directory = work_.path();
    r.home = home_.path();
    r.started = KillWhenTemporaryShows{work_.path(), &kills};
    run_program(r);
    left = temporaries_in(work_.path());
    ASSERT_LE(left.size(), 1u);
  }
  ASSERT_EQ(left.size(), 1u) << kills.load() << " kills left nothing behind";
  long pid = 0;
  String host;
  ASSERT_TRUE(parse_temporary_name(left[0].view(), &pid, &host));
  EXPECT_EQ(kill(static_cast<pid_t>(pid), 0), -1);  // its writer is gone
  // What a killed save leaves is the old file or the new one, whole, and
  // the program's own folder holds no scratch file.
  EXPECT_TRUE(read_project(project).text("recipient_text").starts_with("first@example.com"));
  std::vector<String> home_entries;
  if (DIR* dir = opendir(home_.path().c_str())) {
    while (dirent* e = readdir(dir)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") {
        home_entries.push_back(e->d_name);
      }
    }
    closedir(dir);
  }
  EXPECT_EQ(home_entries, std::vector<String>{"Mailer.DAT"});

  ProgramResult r = run({"-alast@example.com", "big"});
  EXPECT_EQ(r.status, kExitDone) << r.err.c_str();
  EXPECT_EQ(temporaries_in(work_.path()).size(), 0u);
  EXPECT_TRUE(read_project(project).text("recipient_text").ends_with("\nlast@example.com"));
}

}  // namespace
}  // namespace tessaline
