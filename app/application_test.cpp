#include "app/application.h"

#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/recording_ui.h"
#include "storage/glob_file.h"
#include "storage/paths.h"
#include "storage/test_directory.h"
#include "mail/smtp_server.h"
#include "web/test_support.h"
#include "send/test_environment.h"
#include "app/project_file.h"

namespace tessaline {
namespace {

using Kind = RecordingUi::EventKind;

// The bytes of a literal that may hold NUL bytes, without its terminator.
template <size_t N>
String bytes_of(const char (&literal)[N]) {
  return String(literal, static_cast<int>(N - 1));
}

// An Application on a RecordingUi, with the per-user folders in a fresh
// folder of its own.
class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok());
    ASSERT_TRUE(folder_.ok());
    const char* old = std::getenv("TESSALINE_HOME");
    old_home_ = old ? old : "";
    setenv("TESSALINE_HOME", home_.path().c_str(), 1);
  }
  void TearDown() override {
    if (old_home_.empty()) {
      unsetenv("TESSALINE_HOME");
    } else {
      setenv("TESSALINE_HOME", old_home_.c_str(), 1);
    }
  }

  String path(const char* name) { return folder_ / name; }

  // A project file holding `from`, made through a second Application.
  void make_project(const char* name, const char* from) {
    RecordingUi ui;
    Application app(ui);
    ASSERT_TRUE(app.new_project());
    app.fields().set_text("from", from);
    ASSERT_TRUE(app.save_project_as(path(name)));
    ASSERT_TRUE(app.close_project());
  }

  // Entries of the per-user folder, to see that no scratch file stays.
  int home_entries() {
    int n = 0;
    DIR* dir = opendir(home_.path().c_str());
    while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
    closedir(dir);
    return n;
  }

  TestDirectory home_;
  TestDirectory folder_;
  String old_home_;
  RecordingUi ui_;
  Application app_{ui_};
};

TEST_F(ApplicationTest, EveryFieldAndClauseRowSurvivesSaveAndOpen) {
  ASSERT_TRUE(app_.new_project());
  Project& p = app_.fields();
  p.set_text("from", "Ann <ann@example.com>");
  p.set_text("exclusion text", "x@example.com\ny@example.com");
  p.set_text("body", String("line\r\nwith \xc3\xa9 and a NUL-free tail"));
  p.set_flag("use_database", true);
  p.set_flag("Recycle", true);
  p.set_number("SendMode", kSendLastRecipientOnly);
  p.set_number("Encoding", kEncodingBase64);
  p.set_text("LineLength", "");
  p.set_text("SMTPport", "2525");
  p.clauses().append(ClauseRow{"age", 4, "18", false});
  p.clauses().append(ClauseRow{"", 0, "", true});
  p.clauses().append(ClauseRow{"name", 0, "", false});
  Project saved = p;
  ASSERT_TRUE(app_.save_project_as(path("all.zqj")));
  ASSERT_TRUE(app_.close_project());

  RecordingUi ui;
  Application other(ui);
  ASSERT_TRUE(other.open_project(path("all.zqj")));
  EXPECT_TRUE(other.fields() == saved);
  EXPECT_EQ(other.project_file_name(), path("all.zqj"));
  EXPECT_EQ(ui.events.count(), 0);
}

TEST_F(ApplicationTest, ProjectFileHoldsEachKindInItsStoredForm) {
  ASSERT_TRUE(app_.new_project());
  app_.fields().set_number("SendMode", kSendNoPreview);
  app_.fields().set_flag("Recycle", true);
  app_.fields().clauses().append(ClauseRow{"age", 4, "", false});
  ASSERT_TRUE(app_.save_project_as(path("kinds.zqj")));
  String bytes = TestDirectory::read(path("kinds.zqj"));
  struct Case {
    const char* what;
    String encoded;
  } cases[] = {
      // name length, name, type code with the single-value bit, value
      {"choice as 32-bit number", bytes_of("\x08SendMode\xAE\x65\x00\x00\x00")},
      {"check box as signed byte", bytes_of("\x07Recycle\x87\x01")},
      {"number box as 16-bit string", bytes_of("\x0ALineLength\xE7\x02\x00" "75")},
      {"empty text still written", bytes_of("\x04" "from\xE7\x00\x00")},
      // one element of two fields: "column" and "operator"; empty value and 0 ignore left out
      {"clause rows",
       bytes_of("\x07" "clauses\x7E\x01\x00\x00\x00\x02\x00\x00\x00"
                        "\x06" "column\xE7\x03\x00" "age"
                        "\x08" "operator\xAE\x04\x00\x00\x00")},
  };
  for (const Case& c : cases) {
    EXPECT_NE(bytes.view().find(c.encoded.view()), std::string_view::npos) << c.what;
  }
}

TEST_F(ApplicationTest, AnEmptyClauseTableIsStoredAsAnEmptyArray) {
  ASSERT_TRUE(app_.new_project());
  ASSERT_TRUE(app_.save_project_as(path("empty.zqj")));
  String bytes = TestDirectory::read(path("empty.zqj"));
  EXPECT_NE(bytes.view().find(bytes_of("\x07" "clauses\x7E\x00\x00\x00\x00").view()),
            std::string_view::npos);
  ASSERT_TRUE(app_.open_project(path("empty.zqj")));
  EXPECT_EQ(app_.fields().clauses().count(), 0);
}

TEST_F(ApplicationTest, SavingIsDeterministic) {
  ASSERT_TRUE(app_.new_project());
  app_.fields().set_text("subject", "Hello");
  app_.fields().clauses().append(ClauseRow{"a", 1, "b", true});
  String first, second, error;
  ASSERT_TRUE(build_project_file(app_.fields(), first, error)) << error.c_str();
  ASSERT_TRUE(build_project_file(app_.fields(), second, error)) << error.c_str();
  EXPECT_TRUE(first == second);
}

TEST_F(ApplicationTest, UnchangedProjectClosesWithoutAQuestionAndLeavesNoScratchFile) {
  make_project("p.zqj", "a@example.com");
  int entries = home_entries();
  ASSERT_TRUE(app_.open_project(path("p.zqj")));
  EXPECT_FALSE(app_.project_changed());
  EXPECT_TRUE(app_.close_project());
  EXPECT_EQ(ui_.events.count(), 0);
  EXPECT_EQ(home_entries(), entries);
}

TEST_F(ApplicationTest, ClosingAChangedProjectAsksAndActsOnTheAnswer) {
  struct Case {
    Ui::Reply reply;
    bool closed;
    const char* from_on_disk;
  } cases[] = {
      {Ui::Reply::kYes, true, "b@example.com"},
      {Ui::Reply::kNo, true, "a@example.com"},
      {Ui::Reply::kCancel, false, "a@example.com"},
  };
  for (const Case& c : cases) {
    make_project("p.zqj", "a@example.com");
    RecordingUi ui;
    Application app(ui);
    ASSERT_TRUE(app.open_project(path("p.zqj")));
    app.fields().set_text("from", "b@example.com");
    ui.reply(c.reply);
    EXPECT_EQ(app.close_project(), c.closed);
    EXPECT_EQ(app.project_open(), !c.closed);
    ASSERT_EQ(ui.count(Kind::kYesNoCancel), 1);
    EXPECT_EQ(ui.last(Kind::kYesNoCancel)->message,
              "Do you want to save your changes to " + path("p.zqj") + "?");
    EXPECT_EQ(ui.last(Kind::kYesNoCancel)->caption, "Close");
    Project on_disk;
    ASSERT_EQ(read_project_file(path("p.zqj"), on_disk), GlobFile::kOpened);
    EXPECT_EQ(on_disk.text("from"), c.from_on_disk);
  }
}

TEST_F(ApplicationTest, AutoSaveSavesANamedProjectButAsksForAnUnnamedOne) {
  make_project("p.zqj", "a@example.com");
  app_.settings().auto_save = true;
  ASSERT_TRUE(app_.open_project(path("p.zqj")));
  app_.fields().set_text("from", "b@example.com");
  EXPECT_TRUE(app_.close_project());
  EXPECT_EQ(ui_.events.count(), 0);
  Project on_disk;
  read_project_file(path("p.zqj"), on_disk);
  EXPECT_EQ(on_disk.text("from"), "b@example.com");

  ASSERT_TRUE(app_.new_project());
  ui_.reply(Ui::Reply::kNo);
  EXPECT_TRUE(app_.close_project());
  ASSERT_NE(ui_.last(Kind::kYesNoCancel), nullptr);
  EXPECT_EQ(ui_.last(Kind::kYesNoCancel)->message, "Do you want to save your changes?");
}

TEST_F(ApplicationTest, DiscardingCloseAsksNothingAndKeepsTheFile) {
  make_project("p.zqj", "a@example.com");
  String before = TestDirectory::read(path("p.zqj"));
  ASSERT_TRUE(app_.open_project(path("p.zqj")));
  app_.fields().set_text("recipient_text", "only@example.com");
  EXPECT_TRUE(app_.close_project(Application::CloseMode::kDiscard));
  EXPECT_EQ(ui_.events.count(), 0);
  EXPECT_TRUE(TestDirectory::read(path("p.zqj")) == before);
}

TEST_F(ApplicationTest, BackupKeepsThePreviousFileWhenSavingOverIt) {
  struct Case {
    bool auto_backup;
    bool existing;
    bool backup_made;
  } cases[] = {{true, true, true}, {true, false, false}, {false, true, false}};
  for (const Case& c : cases) {
    delete_file(path("b.zqj"));
    delete_file(path("b.BAK"));
    if (c.existing) make_project("b.zqj", "old@example.com");
    String old_bytes = TestDirectory::read(path("b.zqj"));
    RecordingUi ui;
    Application app(ui);
    app.settings().auto_backup = c.auto_backup;
    ASSERT_TRUE(app.new_project());
    app.fields().set_text("from", "new@example.com");
    ASSERT_TRUE(app.save_project_as(path("b.zqj")));
    EXPECT_EQ(file_attributes(path("b.BAK")) != kNoFileAttributes, c.backup_made);
    if (c.backup_made) {
      EXPECT_TRUE(TestDirectory::read(path("b.BAK")) == old_bytes);
    }
  }
  EXPECT_EQ(Application::backup_path("/x/news.zqj"), "/x/news.BAK");
}

TEST_F(ApplicationTest, OpenFailuresShowTheirMessageAndLeaveNoProjectOpen) {
  ASSERT_TRUE(folder_.put("text.zqj", "just some text, not a project\n"));
  ASSERT_TRUE(folder_.put("empty.zqj", ""));
  struct Case {
    const char* name;
    const char* message;
  } cases[] = {
      {"missing.zqj", "Unable to open project file:\n"},
      {"text.zqj", "This is not a valid project file:\n"},
      {"empty.zqj", "This is not a valid project file:\n"},
  };
  for (const Case& c : cases) {
    make_project("previous.zqj", "a@example.com");
    RecordingUi ui;
    Application app(ui);
    ASSERT_TRUE(app.open_project(path("previous.zqj")));
    EXPECT_FALSE(app.open_project(path(c.name)));
    EXPECT_FALSE(app.project_open());
    ASSERT_NE(ui.last(Kind::kError), nullptr);
    EXPECT_EQ(ui.last(Kind::kError)->message, c.message + path(c.name));
    EXPECT_EQ(ui.last(Kind::kError)->caption, "Error");
  }
}

TEST_F(ApplicationTest, SaveFailuresAndSavesWithoutAProject) {
  EXPECT_FALSE(app_.save_project());
  EXPECT_FALSE(app_.save_project_as(path("x.zqj")));
  EXPECT_EQ(ui_.count(Kind::kBeep), 2);

  ASSERT_TRUE(app_.new_project());
  EXPECT_FALSE(app_.save_project());  // no name and no window to ask for one
  String missing = path("no/such/folder/x.zqj");
  EXPECT_FALSE(app_.save_project_as(missing));
  ASSERT_NE(ui_.last(Kind::kError), nullptr);
  // The file, then why it could not be written.
  EXPECT_EQ(ui_.last(Kind::kError)->message,
            "Failed to create project file:\n" + missing +
                "\n\nCannot create a temporary file beside " + missing +
                ": No such file or directory");
}

TEST_F(ApplicationTest, RecentProjectsKeepTheNineLastClosedMostRecentFirst) {
  for (int i = 0; i < 11; ++i) {
    String name = String::formatted("p%d.zqj", i);
    make_project(name.c_str(), "a@example.com");
    ASSERT_TRUE(app_.open_project(path(name.c_str())));
    ASSERT_TRUE(app_.close_project());
  }
  const Vector<String>& recent = app_.settings().recent_projects;
  ASSERT_EQ(recent.count(), 9);
  EXPECT_EQ(recent[0], path("p10.zqj"));
  EXPECT_EQ(recent[8], path("p2.zqj"));
  // Opening takes a project off the list; closing puts it back on top.
  ASSERT_TRUE(app_.open_project(path("p5.zqj")));
  EXPECT_EQ(recent.count(), 8);
  ASSERT_TRUE(app_.close_project());
  EXPECT_EQ(recent[0], path("p5.zqj"));
  EXPECT_EQ(app_.settings().project_path, path("p5.zqj"));
}

TEST_F(ApplicationTest, SettingsSurviveSaveAndLoad) {
  ProgramSettings& s = app_.settings();
  s.auto_open = true;
  s.auto_backup = true;
  s.project_path = "/srv/news.zqj";
  s.main_window_position = "10,20,630,470";
  s.recent_projects = Vector<String>{"/a.zqj", "/b.zqj"};
  ASSERT_TRUE(app_.save_settings());
  EXPECT_EQ(file_attributes(home_ / "Mailer.DAT") != kNoFileAttributes, true);

  RecordingUi ui;
  Application other(ui);
  other.load_settings();
  const ProgramSettings& t = other.settings();
  EXPECT_TRUE(t.auto_open);
  EXPECT_FALSE(t.auto_save);
  EXPECT_TRUE(t.auto_backup);
  EXPECT_EQ(t.project_path, "/srv/news.zqj");
  EXPECT_EQ(t.main_window_position, "10,20,630,470");
  ASSERT_EQ(t.recent_projects.count(), 2);
  EXPECT_EQ(t.recent_projects[1], "/b.zqj");
  EXPECT_EQ(t.lock_time_limit_seconds, ProgramSettings::kDefaultLockTimeLimit);
}

TEST_F(ApplicationTest, TheLockTimeLimitIsKeptWithinItsRange) {
  const struct {
    int stored;
    int loaded;
  } cases[] = {{5, 5}, {0, 0}, {86400, 86400}, {86401, 86400}, {-1, 60}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    app_.settings().lock_time_limit_seconds = c.stored;
    ASSERT_TRUE(app_.save_settings());
    RecordingUi ui;
    Application other(ui);
    other.load_settings();
    EXPECT_EQ(other.settings().lock_time_limit_seconds, c.loaded);
  }
}

TEST_F(ApplicationTest, MissingOrBadSettingsFileLeavesTheDefaults) {
  for (const char* contents : {static_cast<const char*>(nullptr), "garbage"}) {
    if (contents) {
      ASSERT_TRUE(home_.put("Mailer.DAT", contents));
    }
    RecordingUi ui;
    Application app(ui);
    app.load_settings();
    EXPECT_FALSE(app.settings().auto_open);
    EXPECT_EQ(app.settings().recent_projects.count(), 0);
    EXPECT_EQ(app.settings().project_path, current_directory() + "/");
    EXPECT_EQ(ui.events.count(), 0);
  }
}

TEST_F(ApplicationTest, ProjectValuesSeeTheOpenProjectByExactKey) {
  ProjectValues& values = app_.project();
  EXPECT_FALSE(values.is_open());
  ASSERT_TRUE(app_.new_project());
  EXPECT_TRUE(values.is_open());
  values.set_text(kFieldRecipientText, "a@example.com");
  values.set_flag(kFieldUseRecipientText, true);
  values.set_number(kFieldSendMode, kSendNoPreview);
  values.set_text("recipient_Text", "ignored");
  EXPECT_EQ(app_.fields().text("recipient_text"), "a@example.com");
  EXPECT_TRUE(values.flag(kFieldUseRecipientText));
  EXPECT_EQ(values.text("sendmode"), "");
  EXPECT_FALSE(values.flag("Use_recipient_text"));

  struct Case {
    const char* key;
    const char* typed;  // null: leave the field alone
    bool is_number;
    int number;
  } cases[] = {
      {kFieldSendMode, nullptr, true, kSendNoPreview},
      {kFieldSmtpPort, nullptr, true, 25},
      {kFieldSmtpPort, "0", true, 0},
      {kFieldSmtpPort, "abc", false, 0},
      {kFieldLineLength, "", false, 0},
      {kFieldFrom, nullptr, false, 0},
      {"SMTPPort", nullptr, false, 0},
  };
  for (const Case& c : cases) {
    if (c.typed) values.set_text(c.key, c.typed);
    int n = -99;
    EXPECT_EQ(values.number(c.key, &n), c.is_number) << c.key;
    if (c.is_number) {
      EXPECT_EQ(n, c.number) << c.key;
    }
  }

  app_.fields().clauses().append(ClauseRow{"age", 4, "18", false});
  ASSERT_EQ(values.clause_count(), 1);
  EXPECT_EQ(values.clause(0).value, "18");
  values.focus_clause_cell(0, kClauseValue);
  ASSERT_NE(ui_.last(Kind::kFocus), nullptr);
  EXPECT_EQ(ui_.last(Kind::kFocus)->field, "ClauseTable row 1 value");
}

TEST_F(ApplicationTest, SendMessagesSavesFirstAndSendsOnlyAfterASuccessfulSave) {
  EXPECT_FALSE(app_.send_messages());  // no project: the save only beeps
  EXPECT_EQ(ui_.count(Kind::kBeep), 1);
  EXPECT_EQ(ui_.count(Kind::kError), 0);

  ASSERT_TRUE(app_.new_project());
  EXPECT_FALSE(app_.send_messages());  // no file name and no dialog to ask for one
  EXPECT_EQ(ui_.count(Kind::kError), 0);

  ASSERT_TRUE(app_.save_project_as(path("s.zqj")));
  app_.fields().set_text("subject", "changed since the save");
  EXPECT_FALSE(app_.send_messages());
  // The save came first, then the send's first check.
  Project on_disk;
  read_project_file(path("s.zqj"), on_disk);
  EXPECT_EQ(on_disk.text("subject"), "changed since the save");
  ASSERT_NE(ui_.last(Kind::kError), nullptr);
  EXPECT_EQ(ui_.last(Kind::kError)->message, "You must enter the originating email address.");
  EXPECT_EQ(ui_.last(Kind::kFocus)->field, "from");
}

// A window that holds an edit until it is committed, and shows the project
// afresh (dropping what it holds) on refresh, as the Qt window does.
class EditingWindow : public ProjectWindow {
 public:
  explicit EditingWindow(Application& app) : app_(app) {}
  void commit_edits() override {
    if (!pending.empty()) app_.fields().set_text("subject", pending);
    pending.clear();
  }
  void refresh() override { pending.clear(); }
  bool choose_save_path(const String&, String& path) override {
    path = chosen;
    return true;
  }
  String pending;
  String chosen;

 private:
  Application& app_;
};

TEST_F(ApplicationTest, SaveAsWritesTheWindowsPendingEditsBeforeShowingTheProjectAgain) {
  EditingWindow window(app_);
  app_.set_window(&window);
  ASSERT_TRUE(app_.new_project());
  window.pending = "typed, not yet committed";
  window.chosen = path("first.zqj");
  ASSERT_TRUE(app_.save_project());  // no name yet: save as
  Project saved;
  ASSERT_EQ(read_project_file(path("first.zqj"), saved), GlobFile::kOpened);
  EXPECT_EQ(saved.text("subject"), "typed, not yet committed");
  EXPECT_FALSE(app_.project_changed());
  app_.set_window(nullptr);
}

TEST_F(ApplicationTest, WithoutOdbcTheWindowsClearUseDatabaseButACommandLineRunKeepsIt) {
  {
    RecordingUi ui;
    Application maker(ui);
    ASSERT_TRUE(maker.new_project());
    maker.fields().set_flag("use_database", true);
    ASSERT_TRUE(maker.save_project_as(path("db.zqj")));
  }
  app_.set_database_available(false);
  ASSERT_TRUE(app_.open_project(path("db.zqj")));
  EXPECT_FALSE(app_.fields().flag("use_database"));
  ASSERT_TRUE(app_.close_project(Application::CloseMode::kDiscard));

  app_.set_command_line_run(true);
  ASSERT_TRUE(app_.open_project(path("db.zqj")));
  EXPECT_TRUE(app_.fields().flag("use_database"));
}

TEST_F(ApplicationTest, TheHelpMenusWebEntriesUseTheAddressesOfTheProgramSettings) {
  testing::FakeOpener opener;
  // Nothing is set until the program has a web site of its own.
  WebAddresses none = read_web_addresses(program_registry());
  EXPECT_EQ(none.home_page, "");
  EXPECT_EQ(none.support_page, "");
  EXPECT_EQ(none.support_address, "");
  EXPECT_FALSE(app_.open_home_page());
  ASSERT_NE(ui_.last(Kind::kError), nullptr);
  EXPECT_EQ(ui_.last(Kind::kError)->message,
            "The program's home-page address is not set.  Set it as the program setting "
            "\"Home_Page\" (see the manual).");
  EXPECT_FALSE(app_.check_for_update());
  EXPECT_EQ(ui_.last(Kind::kError)->message,
            "Unable to fetch product information file:\nthe program's home-page address is not "
            "set\n\nThe most recent version cannot be determined.");
  // Feedback without a support page or address: a message to be addressed.
  ui_.clear_events();
  EXPECT_TRUE(app_.send_feedback());
  EXPECT_EQ(ui_.events.count(), 0);
  EXPECT_TRUE(opener.opened().starts_with("mailto:?subject=Feedback%20-%20Tessaline%20Mailer%206.0%20("))
      << opener.opened().c_str();

  // Set by hand in the registry file, read at each use.
  ASSERT_TRUE(home_.put("registry.reg",
                        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork]\n"
                        "\"Home_Page\"=\"https://mailer.example/ \"\n"
                        "\"Support_Page\"=\"https://mailer.example/help\"\n"
                        "\"Support_Address\"=\"help@mailer.example\"\n"));
  WebAddresses set = read_web_addresses(program_registry());
  EXPECT_EQ(set.home_page, "https://mailer.example/");
  EXPECT_EQ(set.support_page, "https://mailer.example/help");
  EXPECT_EQ(set.support_address, "help@mailer.example");
  String before = opener.opened();
  EXPECT_TRUE(app_.open_home_page());
  EXPECT_EQ(opener.opened(2), before + "https://mailer.example/\n");
  ui_.reply_button(0);
  EXPECT_TRUE(app_.send_feedback());
  EXPECT_EQ(opener.opened(3), before + "https://mailer.example/\nhttps://mailer.example/help\n");
}

TEST_F(ApplicationTest, TheServerAndPortASendUsedAreKeptForTheNextStart) {
  // Nothing sent: nothing written, so the mail configuration's defaults
  // stay in force.
  app_.set_smtp_server_field("typed.example.com");
  ASSERT_TRUE(app_.save_smtp_settings());
  EXPECT_EQ(default_smtp_settings(&program_registry(), "account default\nhost mail.example\n").server,
            "mail.example");

  app_.store_smtp_settings("smtp.example.com", 587);
  ASSERT_TRUE(app_.save_smtp_settings());
  SmtpSettings stored = default_smtp_settings(&program_registry(), "account default\nhost mail.example\n");
  EXPECT_EQ(stored.server, "smtp.example.com");
  EXPECT_EQ(stored.port, 587);

  // A server cleared for the send gives the default back.
  app_.store_smtp_settings("", 25);
  ASSERT_TRUE(app_.save_smtp_settings());
  stored = default_smtp_settings(&program_registry(), "account default\nhost mail.example\n");
  EXPECT_EQ(stored.server, "mail.example");
  EXPECT_EQ(stored.port, 25);
}

}  // namespace
}  // namespace tessaline

namespace tessaline {
namespace {

// The send reads file names relative to the project file's folder; the
// project itself keeps them as typed.
TEST_F(ApplicationTest, RelativeFileNamesAreTakenFromTheProjectsFolder) {
  ASSERT_TRUE(app_.new_project());
  Project& p = app_.fields();
  p.set_text("body_file", "texts/body.txt");
  p.set_text("recipient_file", "/srv/lists/people.csv");
  p.set_text("ExclusionFile", "");
  p.set_text("attachments", "flyer.pdf\r\n  /srv/shared/*.pdf \r\n\r\nimages/*.png");
  p.set_text("subject", "notes/not-a-file.txt");
  ProjectValues& values = app_.project();

  // Not saved yet: no folder, the names stand as typed.
  EXPECT_EQ(app_.project_folder(), "");
  EXPECT_EQ(values.text("body_file"), "texts/body.txt");

  ASSERT_TRUE(app_.save_project_as(path("news.zqj")));
  String folder = folder_.path();
  EXPECT_EQ(app_.project_folder(), folder);
  struct Case {
    const char* key;
    String expected;
  } cases[] = {
      {"body_file", folder + "/texts/body.txt"},
      {"recipient_file", "/srv/lists/people.csv"},
      {"ExclusionFile", ""},
      {"attachments", folder + "/flyer.pdf\n/srv/shared/*.pdf\n\n" + folder + "/images/*.png"},
      {"subject", "notes/not-a-file.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(values.text(c.key), c.expected) << c.key;
  EXPECT_EQ(p.text("body_file"), "texts/body.txt");
}

TEST_F(ApplicationTest, AProjectOpenedByARelativeNameHasAnAbsoluteFolder) {
  make_project("p.zqj", "Ann <ann@example.com>");
  String here = current_directory();
  ASSERT_EQ(chdir(folder_.path().c_str()), 0);
  ASSERT_TRUE(app_.open_project("p.zqj"));
  app_.fields().set_text("html_file", "body.html");
  String placed = app_.project().text("html_file");
  ASSERT_EQ(chdir(here.c_str()), 0);
  EXPECT_EQ(placed, folder_.path() + "/body.html");
}

// --- the review step ---------------------------------------------------------------

// A window whose preview runs a script instead of taking input, and notes
// what each preview showed.
class PreviewingWindow : public ProjectWindow {
 public:
  void review(SendPreview& preview) override {
    std::vector<std::string> shown;
    for (const Message& m : preview.queue()) shown.push_back(m.recipient.std_string());
    seen.push_back(shown);
    bodies.push_back({preview.has_text_body(), preview.has_html_body()});
    if (script) script(preview);
  }
  std::function<void(SendPreview&)> script;
  std::vector<std::vector<std::string>> seen;
  std::vector<std::pair<bool, bool>> bodies;
};

class ApplicationReviewTest : public testing::WithSuiteSmtpServer<ApplicationTest> {
 protected:
  void SetUp() override {
    ApplicationTest::SetUp();
    server_->clear();
    app_.set_window(&window_);
    app_.set_smtp_server_field("127.0.0.1");
    ASSERT_TRUE(app_.new_project());
    Project& p = app_.fields();
    p.set_text(kFieldFrom, "Sender <sender@example.com>");
    p.set_text(kFieldSubject, "Hello");
    p.set_number(kFieldSmtpPort, server_->port());
    p.set_flag(kFieldUseBodyText, true);
    p.set_text(kFieldBody, "Dear [[-Email-]]");
    p.set_flag(kFieldUseRecipientText, true);
    p.set_text(kFieldRecipientText, "ann@example.com\nbob@example.com\ncy@example.com");
  }
  void TearDown() override {
    app_.set_window(nullptr);
    ApplicationTest::TearDown();
  }

  std::vector<std::string> delivered_to() const {
    std::vector<std::string> to;
    for (const auto& m : server_->received()) {
      for (const std::string& r : m.rcpt_to) to.push_back(r);
    }
    return to;
  }
  std::string log() { return testing::read_text(app_.send_log_path().std_string()); }

  PreviewingWindow window_;
};


TEST_F(ApplicationReviewTest, ANormalSendStopsInThePreviewAndSendsWhatItReleases) {
  app_.fields().set_number(kFieldSendMode, kSendNormal);
  window_.script = [](SendPreview& preview) {
    preview.select(2);
    preview.fields().text_body = "edited for Cy";
    preview.select(1);
    preview.discard_message();
    preview.send_messages();
  };
  ui_.reply_yes_no(false);  // the completion prompt
  ASSERT_TRUE(app_.send());
  ASSERT_EQ(window_.seen.size(), 1u);
  EXPECT_EQ(window_.seen[0],
            (std::vector<std::string>{"ann@example.com", "bob@example.com", "cy@example.com"}));
  EXPECT_EQ(window_.bodies[0], std::make_pair(true, false));
  EXPECT_EQ(delivered_to(), (std::vector<std::string>{"ann@example.com", "cy@example.com"}));
  auto received = server_->received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_NE(received[1].data.find("edited for Cy"), std::string::npos);
  EXPECT_EQ(log().find("Aborted by user"), std::string::npos) << log();
  EXPECT_EQ(ui_.unanswered, 0);
}

TEST_F(ApplicationReviewTest, AbortingOrClosingThePreviewSendsNothingAndLogsTheAbort) {
  struct Case {
    const char* name;
    std::function<void(SendPreview&)> script;
  } cases[] = {
      {"Abort", [](SendPreview& preview) { preview.abort(); }},
      // The window closed by its title bar: the preview never closed itself.
      {"closed", [](SendPreview&) {}},
      {"every message discarded",
       [](SendPreview& preview) {
         while (!preview.closed()) {
           preview.select(0);
           preview.discard_message();
         }
       }},
  };
  app_.fields().set_number(kFieldSendMode, kSendNormal);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.script = c.script;
    EXPECT_TRUE(app_.send());
    EXPECT_TRUE(server_->received().empty());
    EXPECT_TRUE(log().ends_with("3 recipients, 0 rejected\r\n\r\nAborted by user\r\n")) << log();
  }
  // Nothing went out, so no completion prompt was offered.
  EXPECT_EQ(ui_.count(Kind::kYesNo), 0);
}

TEST_F(ApplicationReviewTest, LastRecipientOnlyPreviewsAndSendsOnlyTheLastMessage) {
  app_.fields().set_number(kFieldSendMode, kSendLastRecipientOnly);
  app_.fields().set_flag(kFieldUseHtmlText, true);
  app_.fields().set_text(kFieldHtmlBody, "<p>Dear [[-Email-]]</p>");
  window_.script = [](SendPreview& preview) { preview.send_messages(); };
  ui_.reply_yes_no(false);
  ASSERT_TRUE(app_.send());
  ASSERT_EQ(window_.seen.size(), 1u);
  EXPECT_EQ(window_.seen[0], std::vector<std::string>{"cy@example.com"});
  EXPECT_EQ(window_.bodies[0], std::make_pair(true, true));
  EXPECT_EQ(delivered_to(), std::vector<std::string>{"cy@example.com"});
}

TEST_F(ApplicationReviewTest, WithoutAWindowNothingIsReleased) {
  app_.set_window(nullptr);
  app_.fields().set_number(kFieldSendMode, kSendNormal);
  EXPECT_TRUE(app_.send());
  EXPECT_TRUE(server_->received().empty());
  EXPECT_TRUE(log().ends_with("\r\nAborted by user\r\n")) << log();
}

}  // namespace
}  // namespace tessaline
