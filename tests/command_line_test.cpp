// The command line of the real program: switches, messages, exit status,
// and what -a and -e do to a project file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/recording_ui.h"
#include "storage/glob_file.h"
#include "storage/paths.h"
#include "storage/test_directory.h"
#include "db/database.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"
#include "app/application.h"
#include "app/project_file.h"
#include "app/usage.h"
#include "tests/program_run.h"

// The ODBC drivers keep the configuration they read through unixODBC's
// libodbcinst for the life of the process; LeakSanitizer is told so, and
// only about those libraries.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libodbcinst.so\nleak:libsqlite3odbc.so\n";
}

namespace tessaline {
namespace {

class CommandLineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok() && work_.ok());
    // This process makes project files too: its scratch files go to the
    // same temporary home.
    setenv("TESSALINE_HOME", home_.path().c_str(), 1);
  }

  ProgramResult run(std::vector<String> args,
                    std::vector<std::pair<String, String>> environment = {}) {
    ProgramRun r;
    r.args = std::move(args);
    r.directory = work_.path();
    r.home = home_.path();
    r.environment = std::move(environment);
    return run_program(r);
  }

  // Saves a project made by `fill` as work/name.
  template <typename Fill>
  void make_project(const char* name, Fill fill) {
    RecordingUi ui;
    Application app(ui);
    ASSERT_TRUE(app.new_project());
    fill(app.fields());
    ASSERT_TRUE(app.save_project_as(work_ / name));
    ASSERT_TRUE(app.close_project());
  }
  void make_project(const char* name) {
    make_project(name, [](Project& p) { p.set_text("from", "Ann <ann@example.com>"); });
  }

  Project read_project(const char* name) {
    Project p;
    EXPECT_EQ(read_project_file(work_ / name, p), GlobFile::kOpened);
    return p;
  }

  // A fake xclip on PATH for the clipboard, holding `text`.
  std::vector<std::pair<String, String>> clipboard_holding(const char* text) {
    String tools = work_ / "tools";
    mkdir(tools.c_str(), 0755);
    String script = String("#!/bin/sh\nprintf '%s' '") + text + "'\n";
    EXPECT_TRUE(write_whole_file(tools + "/xclip", script.c_str(), script.length()));
    chmod((tools + "/xclip").c_str(), 0755);
    return {{"DISPLAY", ":42"}, {"PATH", tools + ":" + std::getenv("PATH")}};
  }

  static String fatal(const char* message) {
    return String("FATAL ERROR - Tessaline Mailer\n") + message + "\n";
  }

  TestDirectory home_;
  TestDirectory work_;
};

TEST_F(CommandLineRun, HelpAndVersion) {
  ProgramResult help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, usage_text());
  EXPECT_EQ(run({"-h"}).out, usage_text());
  ProgramResult version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "Tessaline Mailer 6.0\n");
  EXPECT_EQ(version.err, "");
}

TEST_F(CommandLineRun, EveryCommandLineErrorEndsWithStatus1AndItsMessage) {
  make_project("p.zqj");
  String before = TestDirectory::read(work_ / "p.zqj");
  struct Case {
    std::vector<String> args;
    const char* message;
  } cases[] = {
      {{"p.zqj", "q.zqj"}, "Invalid command line parameter:\nq.zqj"},
      {{"-x", "p"}, "Invalid command line switch:\nx"},
      {{"--frobnicate", "p"}, "Invalid command line switch:\nfrobnicate"},
      {{"-s", "-e", "p"}, "Invalid command line switch:\ne"},
      {{"-sa@example.com", "p"}, "The -s switch cannot be followed by an email address."},
      {{"--send=a@example.com", "p"},
       "The --send switch cannot be followed by an email address."},
      {{"-s"}, "No project file was specified."},
      {{"-a", "p"},
       "No email address followed the -a switch.  Nor was an email address found in the "
       "clipboard."},
      {{"-E", "p"},
       "No email address followed the -E switch.  Nor was an email address found in the "
       "clipboard."},
      {{"-anobody", "p"}, "This email address is not valid:\nnobody"},
      {{"-o", "a@b@example.com", "p"}, "This email address is not valid:\na@b@example.com"},
  };
  for (const Case& c : cases) {
    ProgramResult r = run(c.args);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal(c.message));
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(TestDirectory::read(work_ / "p.zqj") == before);  // no project changed
}

// Without a display (or in a build without the window) there is no window
// to open; tests/desktop_start_test.cpp starts it.
TEST_F(CommandLineRun, WithoutASwitchAndWithoutADisplayThereIsNoWindow) {
  ProgramResult r = run({"p.zqj"}, {{"QT_QPA_PLATFORM", ""}});
  EXPECT_EQ(r.status, 4);
  EXPECT_TRUE(r.err.contains("give a switch to work on a project from the command line"))
      << r.err.c_str();
}

TEST_F(CommandLineRun, AddRecipientAndExclusionAppendALineAndSave) {
  make_project("news.zqj", [](Project& p) {
    p.set_text("from", "Ann <ann@example.com>");
    p.set_text("recipient_text", "first@example.com");      // no line end yet
    p.set_text("exclusion text", "gone@example.com\r\n");   // ends with one
    p.set_number("SendMode", kSendIdentical);
    p.set_flag("use_recipient_text", true);
    p.set_flag("UseExclusionText", true);
  });
  Project expected = read_project("news.zqj");

  struct Case {
    std::vector<String> args;
    const char* key;
    const char* appended;
  } cases[] = {
      {{"-asecond@example.com", "news"}, "recipient_text", "\nsecond@example.com"},
      {{"news.zqj", "-A", "third@example.com"}, "recipient_text", "\nthird@example.com"},
      {{"--add-recipient=<fourth@example.com>", "news"}, "recipient_text", "\nfourth@example.com"},
      {{"-a\"Fifth Person <fifth@example.com>\"", "news"}, "recipient_text",
       "\nFifth Person <fifth@example.com>"},
      {{"-e", "old@example.com", "news"}, "exclusion text", "old@example.com"},
      {{"--add-exclusion", "older@example.com", work_ / "news.zqj"}, "exclusion text",
       "\nolder@example.com"},
  };
  for (const Case& c : cases) {
    ProgramResult r = run(c.args);
    SCOPED_TRACE(c.appended);
    EXPECT_EQ(r.status, 0) << r.err.c_str();
    EXPECT_EQ(r.err, "");
    expected.set_text(c.key, expected.text(c.key) + c.appended);
    EXPECT_TRUE(read_project("news.zqj") == expected);
  }
}

// An address added to a list the project does not read is kept, but the
// run says so: nobody should believe an exclusion is in force when it is
// not.
TEST_F(CommandLineRun, AddingToAListTheProjectDoesNotUseSaysSo) {
  const String unused_recipients =
      "Warning: The address was added to the project's typed recipient list, but the project "
      "does not use that list: \"Use the list below for the recipients\" (use_recipient_text) is "
      "off, so the address does not receive the mailing.\n";
  const String database =
      "Warning: The address was added to the project's typed recipient list, but the project "
      "does not use that list: the project takes its recipients from a database, so the address "
      "does not receive the mailing.\n";
  const String unused_exclusions =
      "Warning: The address was added to the project's typed exclusion list, but the project "
      "does not use that list: \"Exclude the recipients listed below\" (UseExclusionText) is "
      "off, so the address is not excluded from the mailing.\n";
  struct Case {
    const char* sw;
    bool use_text;      // use_recipient_text, or UseExclusionText for -e
    bool use_database;
    String warning;
  } cases[] = {
      {"-a", false, false, unused_recipients},
      {"-a", true, true, database},
      {"-a", true, false, ""},
      {"-e", false, false, unused_exclusions},
      {"-e", false, true, unused_exclusions},
      {"-e", true, true, ""},  // exclusions hold for databases too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(String::formatted("%s %d %d", c.sw, c.use_text, c.use_database).c_str());
    bool recipients = String(c.sw) == "-a";
    make_project("p.zqj", [&](Project& p) {
      p.set_text("from", "Ann <ann@example.com>");
      p.set_flag(recipients ? "use_recipient_text" : "UseExclusionText", c.use_text);
      p.set_flag("use_database", c.use_database);
    });
    ProgramResult r = run({c.sw, "new@example.com", "p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.warning);
    EXPECT_EQ(read_project("p.zqj").text(recipients ? "recipient_text" : "exclusion text"),
              "new@example.com");
  }
}

TEST_F(CommandLineRun, ConcurrentAddsToOneProjectLoseNoAddress) {
  make_project("shared.zqj");
  constexpr int kRuns = 12;
  std::vector<std::thread> threads;
  std::vector<int> status(kRuns, -2);
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      status[i] = run({String::formatted("-areader%d@example.com", i), "shared"}).status;
    });
  }
  for (std::thread& t : threads) t.join();
  String list = read_project("shared.zqj").text("recipient_text");
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(status[i], 0);
    EXPECT_TRUE(list.contains(String::formatted("reader%d@example.com\n", i).c_str()) ||
                list.ends_with(String::formatted("reader%d@example.com", i).view()))
        << i << "\n" << list.c_str();
  }
}

TEST_F(CommandLineRun, AddressFromTheClipboardOnlyWhenADisplayIsSet) {
  make_project("p.zqj");
  ProgramResult r = run({"-a", "p"}, clipboard_holding("  <clip@example.com>\n"));
  EXPECT_EQ(r.status, 0) << r.err.c_str();
  EXPECT_EQ(read_project("p.zqj").text("recipient_text"), "clip@example.com");

  auto environment = clipboard_holding("clip@example.com");
  environment.erase(environment.begin());  // no DISPLAY: the tool is not asked
  r = run({"-a", "p"}, environment);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.contains("Nor was an email address found in the clipboard."));
}

TEST_F(CommandLineRun, AProjectThatCannotBeOpenedEndsWithStatus2) {
  ASSERT_TRUE(work_.put("notes.zqj", "not a project\n"));
  struct Case {
    const char* name;
    String message;
  } cases[] = {
      {"missing", "Error: Unable to open project file:\n" + (work_ / "missing.zqj") + "\n"},
      {"notes", "Error: This is not a valid project file:\n" + (work_ / "notes.zqj") + "\n"},
  };
  for (const Case& c : cases) {
    ProgramResult r = run({"-aa@example.com", c.name});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.message);
  }
  EXPECT_EQ(TestDirectory::read(work_ / "notes.zqj"), "not a project\n");
}

TEST_F(CommandLineRun, ADamagedProjectEndsInAFatalErrorAndStaysAsItWas) {
  make_project("whole.zqj");
  String bytes = TestDirectory::read(work_ / "whole.zqj");
  String cut = bytes.substr(0, bytes.length() - 5);
  ASSERT_TRUE(work_.put("cut.zqj", cut));
  ProgramResult r = run({"-aa@example.com", "cut"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("FATAL ERROR - Tessaline Mailer\n")) << r.err.c_str();
  EXPECT_TRUE(r.err.contains("Read past end of file")) << r.err.c_str();
  EXPECT_TRUE(TestDirectory::read(work_ / "cut.zqj") == cut);
}

TEST_F(CommandLineRun, AutoBackupOfTheSettingsFileKeepsThePreviousProject) {
  make_project("p.zqj");
  String before = TestDirectory::read(work_ / "p.zqj");
  {
    RecordingUi ui;
    Application app(ui);
    app.settings().auto_backup = true;
    ASSERT_TRUE(app.save_settings());
  }
  ProgramResult r = run({"-aa@example.com", "p"});
  ASSERT_EQ(r.status, 0) << r.err.c_str();
  EXPECT_TRUE(TestDirectory::read(work_ / "p.BAK") == before);
  EXPECT_FALSE(TestDirectory::read(work_ / "p.zqj") == before);
}

// --- removing recipients ----------------------------------------------------------

// A project whose recipients come from a file and a typed list, less an
// exclusion file and list.
class RemoveRun : public CommandLineRun {
 protected:
  void SetUp() override {
    CommandLineRun::SetUp();
    ASSERT_TRUE(work_.put("readers.txt", kReaders));
    ASSERT_TRUE(work_.put("gone.txt", kGone));
    make_project("news.zqj", [this](Project& p) {
      p.set_text("from", "Ann <ann@example.com>");
      p.set_flag("use_recipient_file", true);
      p.set_text("recipient_file", work_ / "readers.txt");
      p.set_flag("use_recipient_text", true);
      p.set_text("recipient_text", "typed@example.com\r\nleaving@example.com");
      p.set_flag("UseExclusionFile", true);
      p.set_text("ExclusionFile", work_ / "gone.txt");
      p.set_text("exclusion text", "leaving@example.com.au");  // not used: its box stays clear
    });
  }

  static constexpr char kReaders[] =
      "cy@example.com\nleaving@example.com\nLEAVING@EXAMPLE.COM\nBo <bo@example.com>\ndi@example.com";
  static constexpr char kGone[] = "old@example.com\r\n";
};

TEST_F(RemoveRun, ARemovalReportsOnStandardOutputAndSavesTheChangedList) {
  String project_before = TestDirectory::read(work_ / "news.zqj");
  ProgramResult preview = run({"--preview", "--remove", "leaving@example.com", "bo@example.com", "news"});
  EXPECT_EQ(preview.status, 0) << preview.err.c_str();
  EXPECT_EQ(preview.err, "");
  EXPECT_EQ(preview.out, "RECIPIENT FILE: " + (work_ / "readers.txt") +
                             "\n\n"
                             "Found recipient on line 2: leaving@example.com\n"
                             "Found recipient on line 4: Bo <bo@example.com>\n"
                             "\n\n"
                             "EXPLICIT RECIPIENTS:\n\n"
                             "Found recipient on line 2: leaving@example.com\n"
                             "\n\n"
                             "EXCLUSION FILE: " + (work_ / "gone.txt") +
                             "\n\n"
                             "No occurrences.\n");
  // A preview changes nothing at all.
  EXPECT_TRUE(TestDirectory::read(work_ / "news.zqj") == project_before);
  EXPECT_EQ(work_.get("readers.txt"), kReaders);
  EXPECT_EQ(work_.get("gone.txt"), kGone);

  ProgramResult r = run({"--remove", "leaving@example.com", "Bo <bo@example.com>", "news"});
  EXPECT_EQ(r.status, 0) << r.err.c_str();
  EXPECT_EQ(r.out, "RECIPIENT FILE: " + (work_ / "readers.txt") +
                       "\n\n"
                       "Removed recipient on line 2: leaving@example.com\n"
                       "Removed recipient on line 4: Bo <bo@example.com>\n"
                       "\n\n"
                       "EXPLICIT RECIPIENTS:\n\n"
                       "Removed recipient on line 2: leaving@example.com\n"
                       "\n\n"
                       "EXCLUSION FILE: " + (work_ / "gone.txt") +
                       "\n\n"
                       "No changes.\n");
  EXPECT_EQ(work_.get("readers.txt"), "cy@example.com\nLEAVING@EXAMPLE.COM\ndi@example.com");
  EXPECT_EQ(work_.get("gone.txt"), kGone);
  Project after = read_project("news.zqj");
  EXPECT_EQ(after.text("recipient_text"), "typed@example.com\r\n");
  EXPECT_EQ(after.text("exclusion text"), "leaving@example.com.au");
}

TEST_F(RemoveRun, AddressesFromAFileOrStandardInput) {
  ASSERT_TRUE(work_.put("requests.txt", "\n  leaving@example.com \r\n\n"));
  ProgramResult from_file = run({"--remove-from", "requests.txt", "--preview", "news"});
  EXPECT_EQ(from_file.status, 0) << from_file.err.c_str();
  EXPECT_TRUE(from_file.out.contains("Found recipient on line 2: leaving@example.com\n"));

  ASSERT_TRUE(work_.put("requests.txt", "cy@example.com\n"));
  ProgramRun r;
  r.args = {"--remove-from", "-", "news"};
  r.directory = work_.path();
  r.home = home_.path();
  r.input_file = work_ / "requests.txt";
  ProgramResult from_input = run_program(r);
  EXPECT_EQ(from_input.status, 0) << from_input.err.c_str();
  EXPECT_TRUE(from_input.out.contains("Removed recipient on line 1: cy@example.com\n"));
  EXPECT_EQ(work_.get("readers.txt"),
            "leaving@example.com\nLEAVING@EXAMPLE.COM\nBo <bo@example.com>\ndi@example.com");
  // The typed list did not change, so the project was not saved.
  EXPECT_EQ(read_project("news.zqj").text("recipient_text"),
            "typed@example.com\r\nleaving@example.com");
}

TEST_F(RemoveRun, EveryExitStatus) {
  String project_before = TestDirectory::read(work_ / "news.zqj");
  ASSERT_TRUE(work_.put("empty.txt", "\n \n"));
  ASSERT_TRUE(work_.put("bad.txt", "ann@example.com\nexample.com\n"));
  struct Case {
    std::vector<String> args;
    int status;
    const char* err;  // the start of standard error
  } cases[] = {
      {{"--remove", "@example.com", "news"}, 1,
       "FATAL ERROR - Tessaline Mailer\nThis email address is not valid:\n@example.com\n"},
      {{"--remove", "a@b.cd", "x@y.z", "news"}, 1,
       "FATAL ERROR - Tessaline Mailer\nBecause of the potential for catastrophic consequences, "
       "the email address must be at least 6 characters long.\n"},
      {{"--remove-from", "missing.txt", "news"}, 1,
       "FATAL ERROR - Tessaline Mailer\nUnable to read the address file:\nmissing.txt\n"},
      {{"--remove-from", "empty.txt", "news"}, 1,
       "FATAL ERROR - Tessaline Mailer\nThe address file holds no email address:\nempty.txt\n"},
      {{"--remove-from", "bad.txt", "news"}, 1,
       "FATAL ERROR - Tessaline Mailer\nThis email address is not valid:\nexample.com\n"},
      {{"--preview", "-s", "news"}, 1,
       "FATAL ERROR - Tessaline Mailer\nThe --preview switch goes with --remove or "
       "--remove-from only.\n"},
      {{"--remove", "leaving@example.com", "missing"}, 2,
       "Error: Unable to open project file:\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    ProgramResult r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.err.starts_with(c.err)) << r.err.c_str();
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(TestDirectory::read(work_ / "news.zqj") == project_before);
  EXPECT_EQ(work_.get("readers.txt"), kReaders);

  // A source that cannot be read: the others are still worked through.
  ASSERT_EQ(::remove((work_ / "gone.txt").c_str()), 0);
  ProgramResult r = run({"--remove", "leaving@example.com", "news"});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(r.out.ends_with("EXCLUSION FILE: " + (work_ / "gone.txt").std_string() +
                              "\n\nERROR: Failed to open file.\n"))
      << r.out.c_str();
  EXPECT_EQ(work_.get("readers.txt"),
            "cy@example.com\nLEAVING@EXAMPLE.COM\nBo <bo@example.com>\ndi@example.com");
  EXPECT_EQ(read_project("news.zqj").text("recipient_text"), "typed@example.com\r\n");
}

TEST_F(RemoveRun, ConcurrentRemovalsAndAddsLoseNothing) {
  constexpr int kRuns = 6;
  std::vector<std::thread> threads;
  std::vector<int> status(2 * kRuns, -2);
  make_project("shared.zqj", [](Project& p) {
    p.set_text("from", "Ann <ann@example.com>");
    p.set_flag("use_recipient_text", true);
    String list;
    for (int i = 0; i < kRuns; ++i) list += String::formatted("leaving%d@example.com\n", i);
    p.set_text("recipient_text", list);
  });
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      status[i] = run({"--remove", String::formatted("leaving%d@example.com", i), "shared"}).status;
    });
    threads.emplace_back([&, i] {
      status[kRuns + i] = run({String::formatted("-ajoining%d@example.com", i), "shared"}).status;
    });
  }
  for (std::thread& t : threads) t.join();
  String list = read_project("shared.zqj").text("recipient_text");
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(status[i], 0);
    EXPECT_EQ(status[kRuns + i], 0);
    EXPECT_FALSE(list.contains(String::formatted("leaving%d@", i).c_str())) << list.c_str();
    EXPECT_TRUE(list.contains(String::formatted("joining%d@example.com", i).c_str())) << list.c_str();
  }
}

TEST_F(RemoveRun, AKillDuringTheWriteBackLeavesTheOldOrTheNewFileWhole) {
  // Large enough that the write takes a while.
  std::string readers;
  for (int i = 0; i < 200000; ++i) {
    readers += "reader" + std::to_string(i) + "@example.com\n";
    if (i == 1000) readers += "leaving@example.com\n";
  }
  std::string without = readers;
  without.erase(without.find("leaving@example.com\n"), 20);
  for (int delay_ms : {0, 5, 10, 20, 40, 80, 160}) {
    SCOPED_TRACE(delay_ms);
    ASSERT_TRUE(work_.put("readers.txt", String(readers)));
    ProgramRun r;
    r.args = {"--remove", "leaving@example.com", "news"};
    r.directory = work_.path();
    r.home = home_.path();
    r.started = [delay_ms](pid_t pid) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      kill(pid, SIGKILL);
    };
    run_program(r);
    std::string after = work_.get("readers.txt").std_string();
    EXPECT_TRUE(after == readers || after == without) << after.size();
  }
}

TEST_F(CommandLineRun, ARemovalEditsTheFilesTheSendReadsBesideTheProject) {
  // Relative file names are taken from the project file's folder, not from
  // where the program was started; a file of the same name there is a
  // decoy that must stay as it is.
  String folder = work_ / "newsletter";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((folder + "/lists").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((work_ / "lists").c_str(), 0755), 0);
  const char* readers = "cy@example.com\nleaving@example.com\n";
  const char* gone = "leaving@example.com\nold@example.com\n";
  for (const String& base : {folder, work_.path()}) {
    ASSERT_TRUE(write_whole_file(base + "/lists/readers.txt", readers, std::strlen(readers)));
    ASSERT_TRUE(write_whole_file(base + "/gone.txt", gone, std::strlen(gone)));
  }
  make_project("newsletter/news.zqj", [](Project& p) {
    p.set_flag("use_recipient_file", true);
    p.set_text("recipient_file", "lists/readers.txt");
    p.set_flag("UseExclusionFile", true);
    p.set_text("ExclusionFile", "gone.txt");
  });

  ProgramResult r = run({"--remove", "leaving@example.com", "newsletter/news"});
  EXPECT_EQ(r.status, 0) << r.err.c_str();
  EXPECT_EQ(r.out, "RECIPIENT FILE: " + folder + "/lists/readers.txt\n\n"
                   "Removed recipient on line 2: leaving@example.com\n"
                   "\n\n"
                   "EXCLUSION FILE: " + folder + "/gone.txt\n\n"
                   "Removed recipient on line 1: leaving@example.com\n");
  EXPECT_EQ(TestDirectory::read(folder + "/lists/readers.txt"), "cy@example.com\n");
  EXPECT_EQ(TestDirectory::read(folder + "/gone.txt"), "old@example.com\n");
  EXPECT_EQ(work_.get("lists/readers.txt"), readers);
  EXPECT_EQ(work_.get("gone.txt"), gone);
  // The project keeps the names as they were typed.
  Project after = read_project("newsletter/news.zqj");
  EXPECT_EQ(after.text("recipient_file"), "lists/readers.txt");
  EXPECT_EQ(after.text("ExclusionFile"), "gone.txt");
}

TEST_F(CommandLineRun, ARemovalMarksTheRowsOfTheProjectsDatabase) {
  testing::TestDataSources sources;
  ASSERT_TRUE(sources.start(/*with_postgres=*/false)) << sources.error().c_str();
  ASSERT_TRUE(iniz_gdb());
  {
    Database db;
    ASSERT_TRUE(db.open(testing::TestDataSources::kSqliteName)) << db.last_error().c_str();
    ASSERT_TRUE(db.execute("CREATE TABLE readers (id INTEGER PRIMARY KEY, email VARCHAR(100))"));
    ASSERT_TRUE(db.execute("INSERT INTO readers VALUES (7, 'leaving@example.com'), "
                           "(8, 'staying@example.com')"));
  }
  make_project("db.zqj", [](Project& p) {
    p.set_text("from", "Ann <ann@example.com>");
    p.set_flag("use_database", true);
    p.set_text("db_name", testing::TestDataSources::kSqliteName);
    p.set_text("table_name", "readers");
    p.set_text("recipient_col", "email");
    p.set_text("identity_col", "id");
  });
  // The driver is unloaded before the program's own leak check, where no
  // suppression can name it.
  std::vector<std::pair<String, String>> no_leak_check = {{"LSAN_OPTIONS", "detect_leaks=0"}};
  ProgramResult r = run({"--remove", "leaving@example.com", "db"}, no_leak_check);
  EXPECT_EQ(r.status, 0) << r.err.c_str();
  EXPECT_EQ(r.out, String("DATABASE: ") + testing::TestDataSources::kSqliteName +
                       "\n\nRemoved [7]: leaving@example.com\n");
  Database db;
  ASSERT_TRUE(db.open(testing::TestDataSources::kSqliteName));
  DBTable& table = db.add_table_info("readers");
  db.set_order_column(table, "id");
  Vector<String> columns{"email"};
  ASSERT_TRUE(db.bulk_load(&table, DBClause(), &columns));
  String email;
  ASSERT_TRUE(db.bulk_load_row() && db.get("email", email));
  EXPECT_EQ(email, "!leaving@example.com");
  ASSERT_TRUE(db.bulk_load_row() && db.get("email", email));
  EXPECT_EQ(email, "staying@example.com");

  // Without an identity column nothing is touched.
  make_project("noid.zqj", [](Project& p) {
    p.set_flag("use_database", true);
    p.set_text("db_name", testing::TestDataSources::kSqliteName);
    p.set_text("table_name", "readers");
    p.set_text("recipient_col", "email");
  });
  ProgramResult no_identity = run({"--remove", "staying@example.com", "noid"}, no_leak_check);
  EXPECT_EQ(no_identity.status, 3);
  EXPECT_TRUE(no_identity.err.starts_with("Error: You must specify an Identity Column"))
      << no_identity.err.c_str();
  EXPECT_EQ(no_identity.out, "");
}

}  // namespace
}  // namespace tessaline
