// application.h - the application object: the open project and what the
// program does with it, without any window.
//
// The Application owns the open project (its fields and clause table, its
// file name, the open flag), the program settings of the settings file,
// and the flags of a running operation, and it is the environment the send
// operation works in (send/send_environment.h). It talks to the person only
// through the user-interaction port (core/ui.h): the Qt windows plug in a
// Qt port and a ProjectWindow (below); a command-line run plugs in the
// console port and no window.
//
// Project files: open, save (with the backup rule), save as, close (with
// the change test), new. Saving builds the whole file image first and puts
// it in place atomically, so a crash or a full disk leaves the old file
// whole. Unsaved changes are found by building a fresh image of the project
// and comparing it with the file byte for byte.
//
// The send sees the project through project(), which gives the file names
// it holds (bodies, recipient and exclusion files, attachments, embedded
// files) relative to the project file's folder, so that a project folder
// can be moved or shared with its files.
//
// Not for: widgets, menus and enabling rules (toolkit/), the send itself
// (send/), the parsing of the command line (app/command_line.h).
//
// Failures: operations a person can mend show one box through the port and
// return false, leaving the state as it was: "Unable to open project
// file:\n%s", "This is not a valid project file:\n%s", "Failed to create
// project file:\n%s", "The project did not save properly to file:\n%s".
// A failed backup copy does not stop a save.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "core/string.h"
#include "core/ui.h"
#include "recipients/project_values.h"
#include "send/send_environment.h"
#include "send/preview.h"
#include "send/send_options.h"
#include "app/command_line.h"
#include "app/project_fields.h"
#include "app/settings.h"

namespace tessaline {

// The exit status of tessaline-mailer.
enum ExitCode {
  kExitDone = 0,
  kExitCommandLine = 1,  // a command-line error (or any other fatal error)
  kExitProject = 2,      // the project could not be opened or saved
  kExitSend = 3,         // the send stopped at a check or a message failed; a removal
                         // could not read or write a source
  kExitNoWindows = 4,    // started without a switch in a build without windows
  kExitInterrupted = 130,  // Ctrl-C stopped a send (128 + SIGINT, as shells report it)
};

// What the project handling needs of the main window. A command-line run
// has none; the defaults are what a run without a window does.
class ProjectWindow {
 public:
  virtual ~ProjectWindow() = default;
  // A check that may veto saving (an invalid field); true vetoes.
  virtual bool veto_save() { return false; }
  // Commits the controls' pending edits into the project.
  virtual void commit_edits() {}
  // Shows the project again after it was opened, closed or renamed.
  virtual void refresh() {}
  // The save dialog titled "Save Project", starting at `start`; false when
  // cancelled.
  virtual bool choose_save_path(const String& start, String& path) {
    (void)start;
    (void)path;
    return false;
  }
  virtual void show_folder(const char* title) { (void)title; }
  // False when the window has no such cell.
  virtual bool focus_clause_cell(int row, const char* cell) {
    (void)row;
    (void)cell;
    return false;
  }
  // The review step of the Normal and Last Recipient Only modes: shows the
  // preview's queue and runs its commands until preview.closed() (the
  // window closed any other way counts as Abort). Whether the queue is sent
  // is preview.result_send(). Without a window nothing can be reviewed, so
  // nothing is released.
  virtual void review(SendPreview& preview) { preview.abort(); }
};

class Application : public SendEnvironment {
 public:
  explicit Application(Ui& ui);
  ~Application() override;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  void set_window(ProjectWindow* window) { window_ = window; }
  // Set once at start from the ODBC layer: when false, a project opened in
  // the windows has `use_database` cleared.
  void set_database_available(bool available) { database_available_ = available; }
  bool database_available() const { return database_available_; }

  // --- the project ---
  Project& fields() { return project_; }
  bool project_open() const { return project_open_; }
  const String& project_file_name() const { return file_name_; }
  // The folder of the project's file, absolute; empty while the project
  // has no file. Relative file names in the project are taken from it.
  String project_folder() const;

  // --- the settings ---
  ProgramSettings& settings() { return settings_; }
  // Reads the settings file ("Mailer.DAT"; `path` empty: the per-user one).
  void load_settings(const String& path = String());
  bool save_settings(const String& path = String());

  // --- project files ---
  // Closes the current project (asking to save) and opens an empty one.
  bool new_project();
  // Closes the current project (asking to save) and opens the file.
  bool open_project(const String& path);
  // Saves to the project's file (save as when it has none), then checks
  // that the file holds what the project holds.
  bool save_project(bool with_backup = true);
  // Saves under `path` (empty: ask the window's save dialog), which becomes
  // the project's file.
  bool save_project_as(const String& path = String());
  enum class CloseMode {
    kAsk,      // changes are saved (auto-save) or the person is asked
    kDiscard,  // changes are dropped without a question
  };
  // False when the close was cancelled (or its save failed).
  bool close_project(CloseMode mode = CloseMode::kAsk);
  // The project differs from its file (or has none).
  bool project_changed();
  // The veto check, then the backup rule, then the file.
  bool write_project(const String& path, bool with_backup);

  // The backup of a project file: its extension changed to "BAK".
  static String backup_path(const String& project_path);

  // --- sending ---
  // The "Send messages" command: saves the project (the save-as dialog
  // when it has no file yet), and only when that succeeded, sends.
  bool send_messages();
  // The send operation on the open project, without saving it first (an
  // unattended run), with the options of a command-line send.
  bool send(const SendOptions& options = SendOptions());
  // "Resume last send": continues the project's last send, which did not
  // finish (send/send_operation.h), after saving the project as "Send
  // messages" does.
  bool resume_last_send();
  // The project's last send did not finish: the command above applies.
  // *done and *total, when given, count its recipients with a final
  // outcome and all of them.
  bool last_send_unfinished(int* done = nullptr, int* total = nullptr);
  // "View last send log".
  void view_log();
  // The send operation the application owns, made on first use.
  SendOperation& send_operation();
  // The send log's path ("" when its folder cannot be made).
  String send_log_path();

  // --- the Help menu's web entries ---
  // The maker's addresses come from the program settings each time
  // (read_web_addresses in app/settings.h).
  // "Check for update": the update check against the home page.
  bool check_for_update();
  // "Send feedback": the support page or a feedback message.
  bool send_feedback();
  // "Tessaline home page": opens it; an error box when no address is set or
  // nothing could open it.
  bool open_home_page();

  // --- the command line ---
  // Runs a completed command line (complete_command_line() has checked
  // it) on the project it names and returns the exit status. The project
  // is closed afterwards without saving what the run changed for itself
  // (-o's recipient, the send mode of -s).
  // -a and -e say so when the project does not use the list they add to.
  // A send (-s, -o, --resume) runs in No Preview mode, asks nothing, and
  // shows its completion prompt only after a failed message; when it
  // fails, the person is told where the send log is and the status is
  // kExitSend. A plain -s on a project whose last send did not finish says
  // so first, and how to resume it, then sends as -s does. -o sends to its
  // one address and keeps no journal.
  // A removal (--remove, --remove-from) works on the sources whose boxes
  // the Remove Recipients dialog would check at opening, writes its report
  // to `out`, and saves the project when a typed list changed; a source
  // that could not be read or written ends it with kExitSend.
  int run_command_line(const CommandLine& line, std::FILE* out = stdout);

  // --- SendEnvironment ---
  ProjectValues& project() override;
  Ui& ui() override { return ui_; }
  String smtp_server_field() override { return smtp_server_; }
  void store_smtp_settings(const String& server, int port) override;
  DkimSettings dkim_settings() override;
  String server_option() override { return server_option_; }
  String account_option() override { return account_option_; }
  String project_file() override { return file_name_; }
  SendSettings send_settings() override;
  Database* database() override;
  bool log_folder(String& folder, String& error) override;
  bool command_line_run() override { return command_line_run_; }
  bool operation_running() override { return operation_running_; }
  void set_operation_running(bool running) override { operation_running_ = running; }
  int64_t milliseconds() override;
  void sleep_ms(int64_t ms) override;
  double unit_random() override;
  bool review(SendOperation& operation, bool has_text_body, bool has_html_body) override;
  bool open_document(const String& path) override;

  void set_smtp_server_field(const String& server) { smtp_server_ = server; }
  // SMTP_Port as the program started with it (what the Send folder's port
  // box shows while no project is open).
  void set_smtp_port_setting(int port) { smtp_port_ = port; }
  int smtp_port_setting() const { return smtp_port_; }
  // Keeps the SMTP server and port a send used (store_smtp_settings) as the
  // program settings SMTP_Server and SMTP_Port in the registry file, where
  // the next start reads them; nothing when no send stored any, so that
  // defaults read from the mail configuration are not frozen. A windowed
  // run calls it at exit. False when the registry file cannot be written.
  bool save_smtp_settings();
  void set_command_line_run(bool on) { command_line_run_ = on; }

 private:
  class OpenProject;

  bool store_project(const String& path);
  // After -a or -e: says so when the project does not read the typed list
  // the address went into.
  void warn_when_list_unused(bool recipients);
  int remove_from_command_line(const CommandLine& line, std::FILE* out);
  // Before a plain -s: says so when the project's last send did not finish.
  void warn_when_send_unfinished(const CommandLine& line, const String& path);
  bool close_for_change();

  Ui& ui_;
  ProjectWindow* window_ = nullptr;
  std::unique_ptr<OpenProject> values_;
  std::unique_ptr<SendOperation> send_;

  Project project_;
  bool project_open_ = false;
  String file_name_;
  ProgramSettings settings_;

  String smtp_server_;
  int smtp_port_ = 25;
  bool smtp_settings_stored_ = false;
  String server_option_;   // --server of the command-line run
  String account_option_;  // --account of the command-line run
  bool database_available_ = true;
  bool command_line_run_ = false;
  bool operation_running_ = false;
};

}  // namespace tessaline
