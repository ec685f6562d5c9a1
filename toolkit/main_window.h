// main_window.h - the main window: the menu bar, the eight folders of the
// project's fields, and the commands that act on them.
//
// A thin shell over the Application (app/application.h), which owns the
// project: the window lays out its folders from the field table
// (app/main_window_rules.h folder_controls()), shows the project's values
// in the widgets and writes the person's edits back (commit_edits), enables
// widgets and commands by the rules of app/main_window_rules.h, and
// forwards every command to the Application or to app/window_commands.h.
// Every action, widget and button is named: actions and the Send button
// after their command (kCommandSendMessages, ...), field widgets after the
// field's key, Edit buttons KEY ".edit", the SMTP server box
// kFieldSmtpServer.
//
// Construction loads the settings file, places the window where it was,
// fills the data-source list, and, with auto-open on, queues the opening of
// the last project for when the event loop runs (cancel_auto_open() drops
// it: a command-line run never auto-opens). Closing the window closes the
// project (asking to save) and saves the settings (and the SMTP server and
// port a send used); a cancelled question keeps the window open. A file dropped on the window is opened as a
// project.
//
// Remove recipients, a window of its own, is plugged in with set_command();
// until then its menu item is disabled. The review step of a send (the
// preview) is plugged in with set_review() (toolkit/preview_window.h
// plug_preview_window()); until then a send that reviews aborts there.
//
// Not for: the rules themselves (app/), the Qt side of the port
// (toolkit/qt_ui.h), the start-up of the program (app/main.cpp).
//
// Failures: those of the commands, shown through the port.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>

#include "core/string.h"
#include "app/application.h"
#include "app/database_lists.h"
#include "toolkit/qt_ui.h"

class QAction;
class QLineEdit;
class QMenu;
class QPushButton;
class QTabWidget;

namespace tessaline {

class ClauseTableWidget;
class DropDown;
class FieldWidget;
class FileNameWidget;
class ListFieldWidget;

class MainWindow : public QMainWindow, public ProjectWindow, public FieldFocus {
 public:
  MainWindow(Application& app, QtUi& ui);
  ~MainWindow() override;

  // Drops the queued auto-open (before the event loop runs).
  void cancel_auto_open();

  // Plugs in a command of another window (Remove recipients): its menu
  // item runs `run` and is enabled by the rules (an open project).
  void set_command(const char* command, std::function<void()> run);
  using Review = std::function<void(SendPreview&)>;
  void set_review(Review review) { review_ = std::move(review); }

  // The action of a command (menu items, shortcuts; "recent_project_1" ...
  // for the recent projects), or null.
  QAction* action(const char* command) const;
  // The widget of a field by its key, or null.
  FieldWidget* field_widget(const char* key) const;
  // The folders, in order.
  QTabWidget* folders() const { return folders_; }

  // --- ProjectWindow ---
  void commit_edits() override;
  void refresh() override;
  bool choose_save_path(const String& start, String& path) override;
  void show_folder(const char* title) override;
  bool focus_clause_cell(int row, const char* cell) override;
  void review(SendPreview& preview) override;

  // --- FieldFocus ---
  void focus_field(const String& key, int caret) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void build_menus();
  void build_folders();
  QAction* add_action(QMenu* menu, const char* command, const char* text,
                      std::function<void()> run, const QKeySequence& shortcut = {});
  void rebuild_recent_projects();
  void apply_enabling();
  void field_changed(FieldWidget& widget);
  void update_title();
  void restore_placement();
  void store_placement();

  // Commands.
  void open_project();
  void send_messages();
  void resume_last_send();
  void after_send();
  void add_clause();
  void delete_clause();
  void refresh_list();
  void insert_tag(bool database_column);
  void paste_and_canonicalize();
  void edit_file(FileNameWidget& widget);
  void about();
  void help();
  void load_tables(ListFieldWidget& widget);
  void load_columns(DropDown& drop_down);
  // The key of the field whose widget has the focus, or null.
  const char* focused_field() const;
  int folder_of(const char* key) const;

  Application& app_;
  QtUi& ui_;
  DatabaseLists lists_;
  QTabWidget* folders_ = nullptr;
  QLineEdit* smtp_server_ = nullptr;
  QPushButton* send_button_ = nullptr;
  std::vector<std::unique_ptr<FieldWidget>> fields_;
  std::map<std::string, FieldWidget*> by_key_;
  std::map<std::string, QWidget*> edit_buttons_;
  ClauseTableWidget* clause_table_ = nullptr;
  std::map<std::string, QAction*> actions_;
  std::map<std::string, std::function<void()>> plugged_;
  QMenu* file_menu_ = nullptr;
  QAction* recent_separator_ = nullptr;
  std::vector<QAction*> recent_actions_;
  Review review_;
  bool auto_open_pending_ = false;
  bool refreshing_ = false;
  bool resumable_ = false;  // the project's last send did not finish
};

}  // namespace tessaline
