#include "toolkit/main_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QUrl>

#include "core/recording_ui.h"
#include "storage/glob_file.h"
#include "storage/paths.h"
#include "db/database.h"
#include "db/odbc_library.h"
#include "db/testing/test_data_sources.h"
#include "app/main_window_rules.h"
#include "app/project_file.h"
#include "app/settings.h"
#include "toolkit/dialog_hooks.h"
#include "toolkit/field_widgets.h"
#include "toolkit/qt_text.h"
#include "toolkit/testing/window_test.h"

// The ODBC drivers keep the configuration they read through unixODBC's
// libodbcinst for the life of the process; LeakSanitizer is told so, and
// only about those libraries.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libodbcinst.so\nleak:libsqlite3odbc.so\n";
}
// The drivers are built without frame pointers: the slow unwinder is
// needed to see the library a leak comes from.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace tessaline {
namespace {

using dialog_hooks::Answer;
using dialog_hooks::Kind;
using testing::WindowTest;

class MainWindowTest : public WindowTest {
 public:
  // A new project, with the window active so that focus moves work.
  void new_project() {
    trigger(kCommandNewProject);
    ASSERT_TRUE(app_->project_open());
    QApplication::setActiveWindow(window_.get());
  }
  QCheckBox* check(const char* key) { return widget<QCheckBox>(key); }
  QLineEdit* line(const char* key) { return widget<QLineEdit>(key); }
  QPlainTextEdit* text_box(const char* key) { return widget<QPlainTextEdit>(key); }
  DropDown* drop_down(const char* key) { return widget<DropDown>(key); }
  void focus(QWidget* w) {
    w->setFocus(Qt::OtherFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), w);
  }
  // A project file made by a second Application, from `from`.
  void make_project(const String& file, const char* from, bool use_database = false) {
    RecordingUi ui;
    Application app(ui);
    ASSERT_TRUE(app.new_project());
    app.fields().set_text("from", from);
    app.fields().set_flag("use_database", use_database);
    ASSERT_TRUE(app.save_project_as(file));
    app.close_project();
  }
  QStringList file_menu_items() {
    QStringList items;
    for (QAction* item : window_->menuBar()->actions().first()->menu()->actions()) {
      if (item->isVisible() && !item->isSeparator()) items << item->text();
    }
    return items;
  }
};

// --- menus ------------------------------------------------------------------------

TEST_F(MainWindowTest, MenusInOrderWithTheirTextsAndShortcuts) {
  MainWindow& window = open_window();
  QStringList seen;
  for (QAction* menu : window.menuBar()->actions()) {
    seen << menu->text();
    for (QAction* item : menu->menu()->actions()) {
      if (!item->isVisible()) continue;
      seen << (item->isSeparator() ? QString("  -") : "  " + item->text());
    }
  }
  EXPECT_EQ(seen.join('\n').toStdString(),
            "&File\n"
            "  &New project\n"
            "  &Open project\n"
            "  &Save project\n"
            "  Save project &as\n"
            "  &Close project\n"
            "  -\n"
            "  Send messages\tF5\n"
            "  Remove recipients\tF6\n"
      "  Resume last send\n"
            "  View last send log\n"
            "  -\n"
            "  E&xit\n"
            "&Clauses\n"
            "  &Add clause\tF2\n"
            "  &Delete clause\tCtrl+F2\n"
            "&Options\n"
            "  Auto-open last project\n"
            "  Auto-save project\n"
            "  Auto-backup\n"
            "&Window\n"
            "  Center window\n"
            "  Copy window to clipboard\n"
            "  Maximize\n"
            "  Minimize\n"
            "  Refresh\n"
            "  Restore\n"
            "  Above all\n"
            "&Help\n"
            "  &Help\n"
            "  Send &feedback\n"
            "  Tessaline home page\n"
            "  Check for update\n"
            "  About");

  struct {
    const char* command;
    QKeySequence keys;
  } shortcuts[] = {
      {"help", QKeySequence(Qt::Key_F1)},
      {"add_clause", QKeySequence(Qt::Key_F2)},
      {"delete_clause", QKeySequence(Qt::CTRL | Qt::Key_F2)},
      {"send_messages", QKeySequence(Qt::Key_F5)},
      {"remove_recipients", QKeySequence(Qt::Key_F6)},
      {"insert_database_column", QKeySequence(Qt::ALT | Qt::Key_Insert)},
      {"insert_basic_tag", QKeySequence(Qt::SHIFT | Qt::ALT | Qt::Key_Insert)},
  };
  for (const auto& s : shortcuts) {
    ASSERT_NE(action(s.command), nullptr) << s.command;
    EXPECT_EQ(action(s.command)->shortcut(), s.keys) << s.command;
  }
}

TEST_F(MainWindowTest, RemoveRecipientsIsOffUntilPluggedIn) {
  open_window();
  new_project();
  int runs = 0;
  EXPECT_FALSE(action(kCommandRemoveRecipients)->isEnabled());
  window_->set_command(kCommandRemoveRecipients, [&runs] { ++runs; });
  EXPECT_TRUE(action(kCommandRemoveRecipients)->isEnabled());
  QTest::keyClick(window_.get(), Qt::Key_F6);
  EXPECT_EQ(runs, 1);
  dialog_hooks::answer(Answer::kNo);
  trigger(kCommandCloseProject);
  EXPECT_FALSE(action(kCommandRemoveRecipients)->isEnabled());  // needs a project
}

TEST_F(MainWindowTest, AboutNamesTheProgramAndItsVersion) {
  open_window();
  trigger(kCommandAbout);
  const dialog_hooks::Shown* about = dialog_hooks::last(Kind::kInformation);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->caption, "About");
  EXPECT_TRUE(about->text.startsWith("Tessaline Mailer v6.0")) << about->text.toStdString();
}

// --- folders ------------------------------------------------------------------------

TEST_F(MainWindowTest, EveryFieldIsInItsFolderInTableOrderWithItsTexts) {
  MainWindow& window = open_window();
  QTabWidget* folders = window.folders();
  ASSERT_EQ(folders->count(), project_folder_count());
  for (int i = 0; i < project_folder_count(); ++i) {
    EXPECT_EQ(folders->tabText(i), project_folder(i).title);
  }
  int last_folder = -1;
  int last_y = -1;
  for (int i = 0; i < project_field_count(); ++i) {
    const ProjectFieldInfo& field = project_field(i);
    SCOPED_TRACE(field.key);
    QWidget* input = widget(field.key);
    ASSERT_NE(input, nullptr);
    QWidget* page = folders->widget(field.folder);
    ASSERT_TRUE(page->isAncestorOf(input));
    EXPECT_EQ(input->toolTip(), QString::fromUtf8(field.help_text));
    folders->setCurrentIndex(field.folder);
    int y = input->mapTo(page, QPoint(0, 0)).y();
    if (field.folder == last_folder) {
      EXPECT_GT(y, last_y);
    }
    last_folder = field.folder;
    last_y = y;

    if (field.kind == FieldKind::kCheck) {
      EXPECT_EQ(static_cast<QCheckBox*>(input)->text(), QString::fromUtf8(field.label));
    } else if (field.label[0] != '\0') {
      auto* label = widget<QLabel>((String(field.key) + ".label").c_str());
      ASSERT_NE(label, nullptr);
      EXPECT_EQ(label->text(), QString::fromUtf8(field.label));
    }
    if (field.kind == FieldKind::kChoice) {
      auto* combo = static_cast<QComboBox*>(input);
      ASSERT_EQ(combo->count(), field.choice_count);
      for (int c = 0; c < field.choice_count; ++c) {
        EXPECT_EQ(combo->itemText(c), field.choices[c].label);
        EXPECT_EQ(combo->itemData(c).toInt(), field.choices[c].value);
      }
    }
    if (field.digits > 0) {
      EXPECT_EQ(static_cast<QLineEdit*>(input)->maxLength(), field.digits);
    }
    if (field.edit_help) {
      auto* edit = widget<QPushButton>((String(field.key) + ".edit").c_str());
      ASSERT_NE(edit, nullptr);
      EXPECT_EQ(edit->text(), " Edit ");
      EXPECT_EQ(edit->toolTip(), field.edit_help);
    }
  }
  auto* send = widget<QPushButton>("send_messages");
  ASSERT_NE(send, nullptr);
  EXPECT_EQ(send->text(), "Send Messages");
  EXPECT_EQ(send->toolTip(), "Click here to send the messages.");
  ASSERT_NE(line("SMTP_Server"), nullptr);
  auto* table = widget<QTableWidget>("ClauseTable");
  QStringList heads;
  for (int c = 0; c < table->columnCount(); ++c) heads << table->horizontalHeaderItem(c)->text();
  EXPECT_EQ(heads, (QStringList{"Column", "Operator", "Value", "Ignore"}));
}

TEST_F(MainWindowTest, LineLengthTakesThreeDigitsAndNothingElse) {
  open_window();
  new_project();
  QLineEdit* length = line("LineLength");
  length->clear();
  QTest::keyClicks(length, "x12-3456");
  EXPECT_EQ(length->text(), "123");
  EXPECT_EQ(app_->fields().text("LineLength"), "123");
}

// --- enabling -------------------------------------------------------------------------

// Every widget and command the rules decide is enabled exactly when they
// say so.
void expect_enabling_applied(MainWindow& window, Application& app, bool has_sources) {
  EnablingState state;
  state.project_open = app.project_open();
  state.database_available = app.database_available();
  state.has_data_sources = has_sources;
  state.project = &app.fields();
  for (const String& key : enabling_keys()) {
    SCOPED_TRACE(key.c_str());
    bool expected = is_enabled(state, key.c_str());
    QString name = qt_text(key);
    if (QAction* action = window.action(key.c_str())) {
      if (key != kCommandRemoveRecipients) {
        EXPECT_EQ(action->isEnabled(), expected);
      }
    }
    QWidget* widget = window.findChild<QWidget*>(name);
    if (window.action(key.c_str()) == nullptr) {
      ASSERT_NE(widget, nullptr);
    }
    if (widget) {
      EXPECT_EQ(widget->isEnabled(), expected);
    }
  }
}

TEST_F(MainWindowTest, EnablingFollowsTheProjectAsThePersonChangesIt) {
  MainWindow& window = open_window();
  expect_enabling_applied(window, *app_, false);  // no project
  new_project();
  expect_enabling_applied(window, *app_, false);

  struct Step {
    const char* what;
    std::function<void(MainWindowTest&)> act;
  } steps[] = {
      {"use the database", [](MainWindowTest& t) { t.check("use_database")->click(); }},
      {"recipient file box under a database",
       [](MainWindowTest& t) { t.check("use_recipient_file")->setChecked(true); }},
      {"no database", [](MainWindowTest& t) { t.check("use_database")->click(); }},
      {"a recipient file name",
       [](MainWindowTest& t) { QTest::keyClicks(t.line("recipient_file"), "list.txt"); }},
      {"exclusions typed in", [](MainWindowTest& t) { t.check("UseExclusionText")->click(); }},
      {"HTML from a file", [](MainWindowTest& t) { t.check("use_html_file")->click(); }},
      {"Identical mode",
       [](MainWindowTest& t) { t.widget<QComboBox>("SendMode")->setCurrentIndex(2); }},
      {"Last Recipient Only",
       [](MainWindowTest& t) { t.widget<QComboBox>("SendMode")->setCurrentIndex(3); }},
      {"No Preview, direct", [](MainWindowTest& t) {
         t.widget<QComboBox>("SendMode")->setCurrentIndex(1);
         t.check("DirectDelivery")->click();
       }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act(*this);
    expect_enabling_applied(window, *app_, false);
  }
  EXPECT_FALSE(check("Recycle")->isEnabled());
  EXPECT_TRUE(widget("recipient_file.edit")->isEnabled());

  dialog_hooks::answer(Answer::kNo);
  trigger(kCommandCloseProject);
  ASSERT_FALSE(app_->project_open());
  expect_enabling_applied(window, *app_, false);
  EXPECT_TRUE(line("SMTP_Server")->isEnabled());
  EXPECT_TRUE(line("SMTPport")->isEnabled());
}

TEST_F(MainWindowTest, UsingTheDatabaseSetsTheRecipientBoxesAsideAndBackAsTheyWere) {
  open_window();
  new_project();
  check("use_recipient_text")->click();
  QTest::keyClicks(text_box("recipient_text"), "ann@example.com");
  check("use_database")->click();
  EXPECT_FALSE(check("use_recipient_file")->isEnabled());
  EXPECT_FALSE(check("use_recipient_text")->isEnabled());
  EXPECT_FALSE(text_box("recipient_text")->isEnabled());
  check("use_database")->click();
  EXPECT_TRUE(check("use_recipient_text")->isEnabled());
  EXPECT_TRUE(check("use_recipient_text")->isChecked());
  EXPECT_FALSE(check("use_recipient_file")->isChecked());
  EXPECT_TRUE(text_box("recipient_text")->isEnabled());
  EXPECT_FALSE(line("recipient_file")->isEnabled());
}

TEST_F(MainWindowTest, TheBodySourcesExcludeEachOtherTheListsDoNot) {
  open_window();
  new_project();
  struct Pair {
    const char* a;
    const char* b;
    bool exclusive;
  } pairs[] = {
      {"use_body_file", "use_body_text", true},
      {"use_html_file", "use_html_text", true},
      {"use_recipient_file", "use_recipient_text", false},
      {"UseExclusionFile", "UseExclusionText", false},
  };
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(pair.a);
    check(pair.a)->click();
    check(pair.b)->click();
    EXPECT_TRUE(check(pair.b)->isChecked());
    EXPECT_EQ(check(pair.a)->isChecked(), !pair.exclusive);
    EXPECT_EQ(app_->fields().flag(pair.a), !pair.exclusive);
    EXPECT_TRUE(app_->fields().flag(pair.b));
    if (pair.exclusive) {
      check(pair.a)->click();
      EXPECT_FALSE(check(pair.b)->isChecked());
      EXPECT_FALSE(app_->fields().flag(pair.b));
    }
  }
}

TEST_F(MainWindowTest, WithoutTheDriverManagerUseDatabaseIsOffAndClearedOnOpen) {
  String file = path("with database.zqj");
  make_project(file, "ann@example.com", /*use_database=*/true);
  open_window(/*database_available=*/false);
  ASSERT_TRUE(app_->open_project(file));
  EXPECT_FALSE(check("use_database")->isChecked());
  EXPECT_FALSE(check("use_database")->isEnabled());
  EXPECT_FALSE(app_->fields().flag("use_database"));
  EXPECT_TRUE(check("use_recipient_file")->isEnabled());
  new_project();
  EXPECT_FALSE(check("use_database")->isEnabled());
}

// --- editing commands ---------------------------------------------------------------

TEST_F(MainWindowTest, InsertBasicTagBeepsOutsideTheBodiesAndInsertsAtTheCursor) {
  open_window();
  new_project();
  focus(line("subject"));
  dialog_hooks::answer_choice(1);
  trigger(kCommandInsertBasicTag);
  EXPECT_EQ(dialog_hooks::count(Kind::kBeep), 1);
  EXPECT_EQ(dialog_hooks::count(Kind::kChoice), 0);
  EXPECT_TRUE(line("subject")->text().isEmpty());

  check("use_body_text")->click();
  QPlainTextEdit* body = text_box("body");
  focus(body);
  QTest::keyClicks(body, "Dear !");
  QTest::keyClick(body, Qt::Key_Left);
  QTest::keyClick(window_.get(), Qt::Key_Insert, Qt::ShiftModifier | Qt::AltModifier);
  ASSERT_EQ(dialog_hooks::count(Kind::kChoice), 1);
  EXPECT_EQ(dialog_hooks::last(Kind::kChoice)->caption, "Insert Basic Tag");
  EXPECT_EQ(dialog_hooks::last(Kind::kChoice)->items.size(), 7);
  EXPECT_EQ(body->toPlainText(), "Dear [[-FullName-]]!");
  window_->commit_edits();
  EXPECT_EQ(app_->fields().text("body"), "Dear [[-FullName-]]!");
}

TEST_F(MainWindowTest, InsertDatabaseColumnSaysWhatIsMissing) {
  open_window();
  new_project();
  check("use_html_text")->click();
  focus(text_box("html_body"));
  trigger(kCommandInsertDatabaseColumn);
  ASSERT_NE(dialog_hooks::last(Kind::kError), nullptr);
  EXPECT_EQ(dialog_hooks::last(Kind::kError)->text,
            "You can insert a database column if you're not using a database.");
  check("use_database")->click();
  focus(text_box("html_body"));
  trigger(kCommandInsertDatabaseColumn);
  EXPECT_EQ(dialog_hooks::last(Kind::kError)->text, "You must choose a database and table first.");
}

TEST_F(MainWindowTest, PasteAndCanonicalizeMakesThePastedTextHtml) {
  open_window();
  new_project();
  check("use_html_text")->click();
  QPlainTextEdit* html = text_box("html_body");
  focus(html);
  QTest::keyClicks(html, "<p></p>");
  QTest::keyClick(html, Qt::Key_Left);
  QTest::keyClick(html, Qt::Key_Left);
  QTest::keyClick(html, Qt::Key_Left);
  QTest::keyClick(html, Qt::Key_Left);
  QGuiApplication::clipboard()->setText(QString::fromUtf8("a < b\ncaf\xc3\xa9"));
  trigger(kCommandPasteCanonicalize);
  EXPECT_EQ(html->toPlainText(), QString::fromUtf8("<p>a &lt; b<br>\ncaf&eacute;</p>"));

  check("use_body_text")->click();
  focus(text_box("body"));
  trigger(kCommandPasteCanonicalize);
  EXPECT_EQ(dialog_hooks::count(Kind::kBeep), 1);
  EXPECT_TRUE(text_box("body")->toPlainText().isEmpty());
}

TEST_F(MainWindowTest, AnEditButtonCreatesAMissingFileAndOpensIt) {
  open_window();
  new_project();
  auto* edit = widget<QPushButton>("body_file.edit");
  EXPECT_FALSE(edit->isEnabled());
  check("use_body_file")->click();
  EXPECT_FALSE(edit->isEnabled());  // no name yet
  String file = path("body text.txt");
  QTest::keyClicks(line("body_file"), qt_text(file));
  ASSERT_TRUE(edit->isEnabled());
  edit->click();
  String contents = "unread";
  ASSERT_TRUE(read_whole_file(file, contents));
  EXPECT_TRUE(contents.empty());
  EXPECT_EQ(app_->opened, std::vector<std::string>{file.std_string()});
  EXPECT_EQ(dialog_hooks::count(Kind::kError), 0);

  app_->open_result = false;
  edit->click();
  ASSERT_NE(dialog_hooks::last(Kind::kError), nullptr);
  EXPECT_EQ(dialog_hooks::last(Kind::kError)->text, qt_text("Unable to edit file: " + file));
}

TEST_F(MainWindowTest, TheFileChooserFillsTheBoxAndTheListChooserAddsLines) {
  open_window();
  new_project();
  check("use_recipient_file")->click();
  dialog_hooks::answer_file("/tmp/list.txt");
  widget<QPushButton>("recipient_file.choose")->click();
  EXPECT_EQ(line("recipient_file")->text(), "/tmp/list.txt");
  EXPECT_EQ(app_->fields().text("recipient_file"), "/tmp/list.txt");
  EXPECT_EQ(dialog_hooks::last(Kind::kOpenFile)->caption,
            "Choose the file containing the recipients' email addresses");

  QTest::keyClicks(text_box("attachments"), "/tmp/a.pdf");
  dialog_hooks::answer_files({"/tmp/b.pdf", "/tmp/c d.pdf"});
  widget<QPushButton>("attachments.choose")->click();
  window_->commit_edits();
  EXPECT_EQ(app_->fields().text("attachments"), "/tmp/a.pdf\n/tmp/b.pdf\n/tmp/c d.pdf");
}

TEST_F(MainWindowTest, ClausesAreAddedWithF2AndDeletedWithCtrlF2InTheTable) {
  open_window();
  new_project();
  window_->folders()->setCurrentIndex(0);
  EXPECT_FALSE(action(kCommandAddClause)->isEnabled());
  check("use_database")->click();
  ASSERT_TRUE(action(kCommandAddClause)->isEnabled());
  EXPECT_FALSE(action(kCommandDeleteClause)->isEnabled());
  window_->folders()->setCurrentIndex(0);
  QTest::keyClick(window_.get(), Qt::Key_F2);
  QTest::keyClick(window_.get(), Qt::Key_F2);
  auto* table = widget<QTableWidget>("ClauseTable");
  ASSERT_EQ(table->rowCount(), 2);
  EXPECT_EQ(current_folder(), "Database");
  QWidget* column = table->cellWidget(1, 0);
  ASSERT_NE(column, nullptr);
  EXPECT_TRUE(column == QApplication::focusWidget() || column->isAncestorOf(QApplication::focusWidget()));
  EXPECT_EQ(app_->fields().clauses().count(), 2);
  EXPECT_TRUE(action(kCommandDeleteClause)->isEnabled());

  // Filled in, the row goes into the project.
  ClauseTableWidget* clauses = static_cast<ClauseTableWidget*>(window_->field_widget("ClauseTable"));
  static_cast<QComboBox*>(clauses->cell_widget(0, "column"))->setEditText("visits");
  static_cast<QComboBox*>(clauses->cell_widget(0, "operator"))->setCurrentIndex(4);
  QTest::keyClicks(static_cast<QLineEdit*>(clauses->cell_widget(0, "value")), "3");
  static_cast<QCheckBox*>(clauses->cell_widget(0, "ignore"))->click();
  const ClauseRow& row = app_->fields().clauses()[0];
  EXPECT_EQ(row.column, "visits");
  EXPECT_EQ(row.op, 4);
  EXPECT_EQ(row.value, "3");
  EXPECT_TRUE(row.ignore);

  // Ctrl+F2 deletes the row holding the cursor, and only in the table.
  focus(text_box("where"));
  trigger(kCommandDeleteClause);
  EXPECT_EQ(dialog_hooks::count(Kind::kBeep), 1);
  EXPECT_EQ(table->rowCount(), 2);
  focus(table->cellWidget(1, 2));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_F2, Qt::ControlModifier);
  ASSERT_EQ(table->rowCount(), 1);
  EXPECT_EQ(app_->fields().clauses().count(), 1);
  EXPECT_EQ(app_->fields().clauses()[0].column, "visits");
}

TEST_F(MainWindowTest, AFocusRequestBringsTheFolderForwardWithTheCaretAtItsCharacter) {
  open_window();
  new_project();
  check("use_body_text")->click();
  // Two letters of two bytes and a CR LF before the place asked for.
  app_->fields().set_text("body", String("\xc3\xa9\xc3\xa9\r\n[[bad]]"));
  window_->refresh();
  window_->folders()->setCurrentIndex(0);
  ui_.focus_field_at("body", 6);
  EXPECT_EQ(current_folder(), "Text Body");
  EXPECT_EQ(QApplication::focusWidget(), text_box("body"));
  EXPECT_EQ(text_box("body")->textCursor().position(), 3);
  ui_.focus_field("SMTP_Server");
  EXPECT_EQ(current_folder(), "Send");
  EXPECT_EQ(QApplication::focusWidget(), line("SMTP_Server"));
  ui_.focus_field("ClauseTable row 1 column");  // not a widget: nothing moves
  EXPECT_EQ(current_folder(), "Send");
}

// --- project files ----------------------------------------------------------------

TEST_F(MainWindowTest, OpenAndSaveAsAskWithTheirTitlesFiltersAndStart) {
  String file = path("mailing.zqj");
  make_project(file, "ann@example.com");
  open_window();
  dialog_hooks::answer_file(qt_text(file));
  trigger(kCommandOpenProject);
  const dialog_hooks::Shown* open = dialog_hooks::last(Kind::kOpenFile);
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->caption, "Open Project");
  EXPECT_EQ(open->items,
            (QStringList{"Tessaline Mailer Project Files (*.ZQJ)", "All Files (*.*)"}));
  ASSERT_TRUE(app_->project_open());
  EXPECT_EQ(line("from")->text(), "ann@example.com");
  EXPECT_EQ(window_->windowTitle(), qt_text("Tessaline Mailer - " + file));

  String copy = path("copy.zqj");
  dialog_hooks::answer_file(qt_text(copy));
  trigger(kCommandSaveProjectAs);
  const dialog_hooks::Shown* save = dialog_hooks::last(Kind::kSaveFile);
  ASSERT_NE(save, nullptr);
  EXPECT_EQ(save->caption, "Save Project");
  EXPECT_EQ(save->start, qt_text(file));  // the project path
  EXPECT_EQ(app_->project_file_name(), copy);
  trigger(kCommandCloseProject);
  EXPECT_EQ(dialog_hooks::count(Kind::kYesNoCancel), 0);  // nothing changed

  // The next open starts where the last project was.
  dialog_hooks::answer_file("");
  trigger(kCommandOpenProject);
  EXPECT_EQ(dialog_hooks::last(Kind::kOpenFile)->start, qt_text(copy));
  EXPECT_FALSE(app_->project_open());
}

TEST_F(MainWindowTest, TheSaveQuestionNamesTheFileWhenThereIsOne) {
  open_window();
  new_project();
  QTest::keyClicks(line("from"), "ann@example.com");
  dialog_hooks::answer(Answer::kCancel);
  trigger(kCommandCloseProject);
  const dialog_hooks::Shown* question = dialog_hooks::last(Kind::kYesNoCancel);
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(question->caption, "Close");
  EXPECT_EQ(question->text, "Do you want to save your changes?");
  EXPECT_TRUE(app_->project_open());  // cancelled

  String file = path("named.zqj");
  dialog_hooks::answer_file(qt_text(file));
  trigger(kCommandSaveProject);  // no name yet: save as
  ASSERT_EQ(app_->project_file_name(), file);
  check("use_body_text")->click();
  QTest::keyClicks(text_box("body"), "Hello");  // a multi-line edit counts too
  dialog_hooks::answer(Answer::kYes);
  trigger(kCommandCloseProject);
  EXPECT_EQ(dialog_hooks::last(Kind::kYesNoCancel)->text,
            qt_text("Do you want to save your changes to " + file + "?"));
  EXPECT_FALSE(app_->project_open());
  Project saved;
  ASSERT_EQ(read_project_file(file, saved), GlobFile::kOpened);
  EXPECT_EQ(saved.text("body"), "Hello");
  EXPECT_EQ(saved.text("from"), "ann@example.com");
}

TEST_F(MainWindowTest, AutoSaveSavesANamedProjectWithoutAsking) {
  String file = path("auto.zqj");
  make_project(file, "ann@example.com");
  open_window();
  trigger(kCommandAutoSave);
  EXPECT_TRUE(app_->settings().auto_save);
  ASSERT_TRUE(app_->open_project(file));
  line("subject")->setText("Spring news");
  trigger(kCommandCloseProject);
  EXPECT_EQ(dialog_hooks::count(Kind::kYesNoCancel), 0);
  Project saved;
  ASSERT_EQ(read_project_file(file, saved), GlobFile::kOpened);
  EXPECT_EQ(saved.text("subject"), "Spring news");

  // A project without a name is still asked about.
  new_project();
  line("subject")->setText("Unsaved");
  trigger(kCommandCloseProject);
  EXPECT_EQ(dialog_hooks::count(Kind::kYesNoCancel), 1);
}

TEST_F(MainWindowTest, TheFileMenuListsAtMostNineRecentProjectsMostRecentFirst) {
  open_window();
  std::vector<String> files;
  for (int i = 1; i <= 10; ++i) {
    files.push_back(path(String::formatted("p%d.zqj", i).c_str()));
    make_project(files.back(), "ann@example.com");
    ASSERT_TRUE(app_->open_project(files.back()));
    trigger(kCommandCloseProject);
  }
  QStringList items = file_menu_items();
  QStringList recent;
  for (const QString& item : items) {
    if (item.startsWith('&') && item[1].isDigit()) recent << item;
  }
  ASSERT_EQ(recent.size(), 9);
  EXPECT_EQ(recent.first(), qt_text(String("&1 ") + files[9]));
  EXPECT_EQ(recent.last(), qt_text(String("&9 ") + files[1]));
  // The list sits before Exit.
  EXPECT_EQ(items.last(), "E&xit");
  EXPECT_EQ(items[items.size() - 2], recent.last());

  // Choosing one opens it and takes it off the list while it is open.
  trigger("recent_project_3");
  ASSERT_TRUE(app_->project_open());
  EXPECT_EQ(app_->project_file_name(), files[7]);
  EXPECT_EQ(action("recent_project_9"), nullptr);
  trigger(kCommandCloseProject);
  EXPECT_EQ(file_menu_items()[file_menu_items().indexOf("E&xit") - 9],
            qt_text(String("&1 ") + files[7]));
}

TEST_F(MainWindowTest, ADroppedProjectFileIsOpened) {
  String file = path("dropped.zqj");
  make_project(file, "dropped@example.com");
  open_window();
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(qt_text(file))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_.get(), &drop);
  QApplication::processEvents();
  ASSERT_TRUE(app_->project_open());
  EXPECT_EQ(line("from")->text(), "dropped@example.com");
}

TEST_F(MainWindowTest, TheLastProjectIsOpenedOnceTheEventLoopRuns) {
  String file = path("last.zqj");
  make_project(file, "last@example.com");
  {
    ProgramSettings settings;
    settings.auto_open = true;
    settings.project_path = file;
    ASSERT_TRUE(save_settings(settings_file_path(), settings));
  }
  open_window();
  EXPECT_FALSE(app_->project_open());  // not before the loop runs
  EXPECT_TRUE(action(kCommandAutoOpen)->isChecked());
  QApplication::processEvents();
  ASSERT_TRUE(app_->project_open());
  EXPECT_EQ(app_->project_file_name(), file);
  close_window();

  // A command-line run drops it.
  open_window();
  window_->cancel_auto_open();
  QApplication::processEvents();
  EXPECT_FALSE(app_->project_open());
  close_window();

  // A folder (no project opened yet) opens nothing; a project that is gone
  // says so.
  for (const String& last : {folder_.path() + "/", path("gone.zqj")}) {
    ProgramSettings settings;
    settings.auto_open = true;
    settings.project_path = last;
    ASSERT_TRUE(save_settings(settings_file_path(), settings));
    dialog_hooks::clear_shown();
    open_window();
    QApplication::processEvents();
    EXPECT_FALSE(app_->project_open());
    close_window();
  }
  EXPECT_EQ(dialog_hooks::count(Kind::kError), 1);
  EXPECT_EQ(dialog_hooks::last(Kind::kError)->text,
            qt_text("Unable to open project file:\n" + path("gone.zqj")));
}

TEST_F(MainWindowTest, ClosingTheWindowAsksThenSavesTheSettingsAndPlace) {
  open_window();
  window_->setGeometry(40, 50, 700, 500);
  new_project();
  line("from")->setText("ann@example.com");
  trigger(kCommandAutoBackup);
  dialog_hooks::answer(Answer::kCancel);
  EXPECT_FALSE(window_->close());
  EXPECT_TRUE(window_->isVisible());
  EXPECT_TRUE(app_->project_open());
  dialog_hooks::answer(Answer::kNo);
  QRect placed = window_->geometry();
  EXPECT_TRUE(window_->close());
  EXPECT_FALSE(app_->project_open());

  ProgramSettings saved;
  load_settings(settings_file_path(), saved);
  EXPECT_TRUE(saved.auto_backup);
  EXPECT_EQ(saved.main_window_position,
            String::formatted("%d,%d,%d,%d", placed.left(), placed.top(),
                              placed.left() + placed.width(), placed.top() + placed.height()));
  window_.reset();
  app_.reset();
  open_window();
  EXPECT_EQ(window_->geometry(), placed);
  EXPECT_TRUE(action(kCommandAutoBackup)->isChecked());
}

// --- the database drop-downs, on a real SQLite data source ----------------------------

class DatabaseDropDowns : public MainWindowTest {
 public:
  static void SetUpTestSuite() {
    sources_ = new ::tessaline::testing::TestDataSources();
    ASSERT_TRUE(sources_->start(/*with_postgres=*/false)) << sources_->error().c_str();
    ASSERT_TRUE(iniz_gdb()) << "unixODBC (libodbc.so.2) could not be loaded";
    Database& db = database();
    ASSERT_TRUE(db.open(kSource)) << db.last_error().c_str();
    for (const char* sql :
         {"DROP TABLE IF EXISTS people", "DROP TABLE IF EXISTS visits",
          "CREATE TABLE people (id INTEGER PRIMARY KEY, email VARCHAR(200), name VARCHAR(50))",
          "CREATE TABLE visits (person INTEGER, day VARCHAR(10))"}) {
      ASSERT_TRUE(db.execute(sql)) << db.last_error().c_str();
    }
    db.close();
  }
  static void TearDownTestSuite() {
    database().close();
    delete sources_;
    sources_ = nullptr;
  }

  // The items a drop-down shows once opened.
  QStringList dropped(QComboBox* combo) {
    combo->showPopup();
    combo->hidePopup();
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    return items;
  }

  static constexpr const char* kSource = ::tessaline::testing::TestDataSources::kSqliteName;
  static ::tessaline::testing::TestDataSources* sources_;
};

::tessaline::testing::TestDataSources* DatabaseDropDowns::sources_ = nullptr;

TEST_F(DatabaseDropDowns, ListsLoadWhenTheyDropDownAndAgainAfterTheDataSourceChanges) {
  open_window();
  new_project();
  check("use_database")->click();
  DropDown* source = drop_down("db_name");
  ASSERT_TRUE(source->isEnabled());
  EXPECT_TRUE(dropped(source).contains(kSource));
  EXPECT_FALSE(drop_down("table_name")->isEnabled());

  source->setEditText(kSource);
  ASSERT_TRUE(drop_down("table_name")->isEnabled());
  EXPECT_FALSE(drop_down("recipient_col")->isEnabled());
  QStringList tables = dropped(drop_down("table_name"));
  EXPECT_TRUE(tables.contains("people"));
  EXPECT_TRUE(tables.contains("visits"));
  EXPECT_TRUE(database().is_open());

  drop_down("table_name")->setCurrentText("people");
  EXPECT_EQ(app_->fields().text("table_name"), "people");
  for (const char* key : {"recipient_col", "identity_col", "order_by"}) {
    ASSERT_TRUE(drop_down(key)->isEnabled()) << key;
    EXPECT_EQ(dropped(drop_down(key)), (QStringList{"id", "email", "name"})) << key;
  }
  trigger(kCommandAddClause);
  auto* table = widget<QTableWidget>("ClauseTable");
  EXPECT_EQ(dropped(static_cast<QComboBox*>(table->cellWidget(0, 0))),
            (QStringList{"id", "email", "name"}));

  // Another table: the columns are read again.
  drop_down("table_name")->setCurrentText("visits");
  EXPECT_EQ(drop_down("recipient_col")->count(), 0);
  EXPECT_EQ(static_cast<QComboBox*>(table->cellWidget(0, 0))->count(), 0);
  EXPECT_EQ(dropped(drop_down("order_by")), (QStringList{"person", "day"}));

  // Another data source: disconnected, the choices emptied, the texts kept;
  // a source that does not exist says so when the tables drop down.
  source->setEditText("no_such_source");
  EXPECT_FALSE(database().is_open());
  EXPECT_EQ(drop_down("table_name")->count(), 0);
  EXPECT_EQ(drop_down("order_by")->count(), 0);
  EXPECT_EQ(drop_down("table_name")->currentText(), "visits");
  EXPECT_TRUE(dropped(drop_down("table_name")).isEmpty());
  ASSERT_NE(dialog_hooks::last(Kind::kError), nullptr);
  EXPECT_EQ(dialog_hooks::last(Kind::kError)->caption, "Database Error");
  EXPECT_TRUE(dialog_hooks::last(Kind::kError)->text.contains("no_such_source"));

  // Back: the next drop-down reconnects.
  source->setEditText(kSource);
  EXPECT_TRUE(dropped(drop_down("table_name")).contains("people"));
  EXPECT_TRUE(database().is_open());
  EXPECT_EQ(dialog_hooks::count(Kind::kError), 1);
}

TEST_F(DatabaseDropDowns, InsertDatabaseColumnOffersTheTablesColumns) {
  open_window();
  new_project();
  check("use_database")->click();
  drop_down("db_name")->setEditText(kSource);
  drop_down("table_name")->setEditText("people");
  check("use_body_text")->click();
  QPlainTextEdit* body = text_box("body");
  ASSERT_TRUE(body->isEnabled());
  focus(body);
  dialog_hooks::answer_choice(1);
  QTest::keyClick(body, Qt::Key_Insert, Qt::AltModifier);
  const dialog_hooks::Shown* choice = dialog_hooks::last(Kind::kChoice);
  ASSERT_NE(choice, nullptr);
  EXPECT_EQ(choice->caption, "Insert Database Column");
  EXPECT_EQ(choice->text, "Choose the database column you wish to insert into the message body.");
  EXPECT_EQ(choice->items, (QStringList{"id", "email", "name"}));
  EXPECT_EQ(body->toPlainText(), "[[email]]");
}

TEST_F(DatabaseDropDowns, RefreshListReadsTheDataSourcesAgain) {
  open_window();
  new_project();
  check("use_database")->click();
  // The data sources the window was built with, less the test's own.
  DropDown* source = drop_down("db_name");
  source->set_choices(Vector<String>{"stale"});
  trigger(kCommandRefreshList);
  EXPECT_TRUE(dropped(source).contains(kSource));
  EXPECT_FALSE(dropped(source).contains("stale"));
}

// --- sending --------------------------------------------------------------------------

TEST_F(MainWindowTest, AFailedSendCheckBringsItsFolderForwardWithTheFocusInItsField) {
  open_window();
  new_project();
  window_->folders()->setCurrentIndex(7);
  dialog_hooks::answer_file(qt_text(path("check.zqj")));
  trigger(kCommandSendMessages);  // saved first (no name yet: save as)
  EXPECT_EQ(app_->project_file_name(), path("check.zqj"));
  ASSERT_NE(dialog_hooks::last(Kind::kError), nullptr);
  EXPECT_EQ(dialog_hooks::last(Kind::kError)->text,
            "You must enter the originating email address.");
  EXPECT_EQ(current_folder(), "Identification");
  EXPECT_EQ(QApplication::focusWidget(), line("from"));

  line("from")->setText("ann@example.com");
  line("SMTP_Server")->clear();
  window_->folders()->setCurrentIndex(0);
  widget<QPushButton>("send_messages")->click();
  EXPECT_EQ(dialog_hooks::last(Kind::kError)->text, "You must enter the name of the SMTP server.");
  EXPECT_EQ(current_folder(), "Send");
  EXPECT_EQ(QApplication::focusWidget(), line("SMTP_Server"));
}

}  // namespace
}  // namespace tessaline
