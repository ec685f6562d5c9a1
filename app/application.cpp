#include "app/application.h"

#include <time.h>

#include <random>

#include "core/fiber.h"
#include "platform/atomic_write.h"
#include "platform/open_document.h"
#include "platform/user_folders.h"
#include "storage/glob_file.h"
#include "storage/paths.h"
#include "storage/registry.h"
#include "mail/smtp_server.h"
#include "db/database.h"
#include "web/feedback.h"
#include "web/open_address.h"
#include "web/update_check.h"
#include "recipients/remove_recipients.h"
#include "send/send_operation.h"
#include "app/folder_lock.h"
#include "app/project_file.h"

namespace tessaline {

namespace {

// A path as a person can paste it into a shell: quoted when it holds
// anything but plain characters.
String shell_word(const String& path) {
  bool plain = !path.empty();
  for (char c : path) {
    plain = plain && (is_letter(c) || is_digit(c) || c == '/' || c == '.' || c == '_' ||
                      c == '-' || c == '+' || c == ',' || c == '@' || c == ':');
  }
  if (plain) return path;
  String quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

}  // namespace

// The open project as the recipient gathering and the send operation see
// it. Keys outside the field table read as empty and are not written.
class Application::OpenProject : public ProjectValues {
 public:
  explicit OpenProject(Application& app) : app_(app) {}

  bool is_open() const override { return app_.project_open_; }

  // File names come back as paths to open: relative ones below the
  // project file's folder.
  String text(const char* key) const override {
    const ProjectFieldInfo* field = value_field(key);
    if (field == nullptr) return String();
    return place_file_names(app_.project_.text(key), field->control, app_.project_folder());
  }
  bool flag(const char* key) const override {
    return value_field(key) && app_.project_.flag(key);
  }
  bool number(const char* key, int* value) const override {
    const ProjectFieldInfo* field = value_field(key);
    if (field == nullptr || field->kind == FieldKind::kText) return false;
    int n = app_.project_.number(key);
    if (field->kind == FieldKind::kNumber && n < 0) return false;
    *value = n;
    return true;
  }
  void set_text(const char* key, const String& value) override {
    if (value_field(key)) app_.project_.set_text(key, value);
  }
  void set_flag(const char* key, bool value) override {
    if (value_field(key)) app_.project_.set_flag(key, value);
  }
  void set_number(const char* key, int value) override {
    if (value_field(key)) app_.project_.set_number(key, value);
  }

  int clause_count() const override { return app_.project_.clauses().count(); }
  ClauseRow clause(int row) const override { return app_.project_.clauses()[row]; }

  void show_folder(const char* title) override {
    if (app_.window_) app_.window_->show_folder(title);
  }
  void focus_clause_cell(int row, const char* cell) override {
    if (app_.window_ && app_.window_->focus_clause_cell(row, cell)) return;
    // Without the table on screen, the person is at least told where.
    app_.ui_.focus_field(String::formatted("%s row %d %s", kFieldClauseTable, row + 1, cell));
  }

 private:
  static const ProjectFieldInfo* value_field(const char* key) {
    const ProjectFieldInfo* field = find_project_field(key);
    return field && field->kind != FieldKind::kClauseTable ? field : nullptr;
  }

  Application& app_;
};

Application::Application(Ui& ui) : ui_(ui), values_(std::make_unique<OpenProject>(*this)) {}

// The send operation holds on to the project view: it goes first.
Application::~Application() { send_.reset(); }

void Application::load_settings(const String& path) {
  tessaline::load_settings(path.empty() ? settings_file_path() : path, settings_);
}

bool Application::save_settings(const String& path) {
  return tessaline::save_settings(path.empty() ? settings_file_path() : path, settings_);
}

String Application::project_folder() const {
  if (file_name_.empty()) return String();
  String folder = directory_part(file_name_);
  if (folder.empty()) return current_directory();
  make_absolute(folder, current_directory());
  return folder;
}

String Application::backup_path(const String& project_path) {
  return change_extension(project_path, "BAK");
}

bool Application::new_project() {
  if (!close_project()) return false;
  project_.reset();
  project_open_ = true;
  if (window_) window_->refresh();
  return true;
}

bool Application::open_project(const String& path) {
  if (path.empty()) return false;
  if (!close_project()) return false;
  Project loaded;
  int code = read_project_file(path, loaded);
  if (code == GlobFile::kCannotOpen) {
    show_error(ui_, String::formatted("Unable to open project file:\n%s", path.c_str()));
    return false;
  }
  if (code != GlobFile::kOpened) {
    show_error(ui_, String::formatted("This is not a valid project file:\n%s", path.c_str()));
    return false;
  }
  settings_.forget_project(path);
  file_name_ = path;
  settings_.project_path = path;
  project_ = loaded;
  project_open_ = true;
  // The windows cannot show a database source without ODBC. A command-line
  // run leaves the field alone: it may save the project, and the send
  // reports the missing database itself.
  if (!database_available_ && !command_line_run_) project_.set_flag(kFieldUseDatabase, false);
  if (window_) window_->refresh();
  return true;
}

bool Application::store_project(const String& path) {
  if (!project_open_) return true;
  String bytes, error;
  if (!build_project_file(project_, bytes, error) ||
      !write_file_atomically(path, bytes, error)) {
    // The reason (a full disk, a folder that cannot be written) follows.
    show_error(ui_, String::formatted("Failed to create project file:\n%s", path.c_str()) +
                        "\n\n" + error);
    return false;
  }
  return true;
}

bool Application::write_project(const String& path, bool with_backup) {
  if (window_ && window_->veto_save()) return false;
  if (window_) window_->commit_edits();
  if (with_backup && settings_.auto_backup && file_attributes(path) != kNoFileAttributes) {
    // A backup that cannot be made does not stop the save.
    copy_file(path, backup_path(path), false);
  }
  return store_project(path);
}

bool Application::project_changed() {
  if (!project_open_) return false;
  if (file_name_.empty()) return true;
  String on_disk, image, error;
  if (!read_whole_file(file_name_, on_disk)) return true;
  if (!build_project_file(project_, image, error)) return true;
  return !(image == on_disk);
}

bool Application::save_project(bool with_backup) {
  if (!project_open_) {
    ui_.beep();
    return false;
  }
  if (window_ && window_->veto_save()) return false;
  if (file_name_.empty()) return save_project_as();
  if (!write_project(file_name_, with_backup)) return false;
  if (project_changed()) {
    show_error(ui_, String::formatted("The project did not save properly to file:\n%s",
                                      file_name_.c_str()));
    return false;
  }
  return true;
}

bool Application::save_project_as(const String& path) {
  if (!project_open_) {
    ui_.beep();
    return false;
  }
  String chosen = path;
  if (chosen.empty() &&
      !(window_ && window_->choose_save_path(settings_.project_path, chosen) && !chosen.empty())) {
    return false;
  }
  file_name_ = chosen;
  settings_.project_path = chosen;
  // Written before the window shows the project again under its new name:
  // showing it first would drop the edits not yet committed.
  bool written = write_project(chosen, true);
  if (window_) window_->refresh();
  return written;
}

bool Application::close_project(CloseMode mode) {
  if (!project_open_) return true;
  if (window_) window_->commit_edits();
  if (mode == CloseMode::kAsk && project_changed()) {
    if (settings_.auto_save && !file_name_.empty()) {
      if (!save_project(true)) return false;
    } else {
      String question = "Do you want to save your changes";
      if (!file_name_.empty()) question += " to " + file_name_;
      question += "?";
      switch (ui_.ask_yes_no_cancel(question, "Close")) {
        case Ui::Reply::kYes:
          if (!save_project(true)) return false;
          break;
        case Ui::Reply::kNo:
          break;
        case Ui::Reply::kCancel:
          return false;
      }
    }
  }
  project_.reset();
  settings_.remember_project(file_name_);
  file_name_.clear();
  project_open_ = false;
  if (window_) window_->refresh();
  return true;
}

int Application::remove_from_command_line(const CommandLine& line, std::FILE* out) {
  String addresses;
  for (const String& address : line.remove_addresses) addresses += address + "\n";
  RemoveResult result = remove_recipients(project(), ui_, database(), addresses,
                                          initially_checked_sources(project()), line.preview);
  if (result.outcome == RemoveResult::Outcome::kReported) {
    String report = result.report + "\n";
    std::fwrite(report.c_str(), 1, report.length(), out);
    std::fflush(out);
  }
  if (result.outcome == RemoveResult::Outcome::kRefused &&
      result.refusal != RemoveResult::Refusal::kNoIdentityColumn) {
    return kExitCommandLine;
  }
  int code = result.outcome == RemoveResult::Outcome::kReported && !result.source_failed
                 ? kExitDone
                 : kExitSend;
  if (result.lists_changed && !save_project(true)) code = kExitProject;
  return code;
}

int Application::run_command_line(const CommandLine& line, std::FILE* out) {
  String path = resolve_project_path(line.project, current_directory());
  // Concurrent -a and -e runs on the projects of a folder follow one
  // another, so that none loses another's address. A run that cannot get
  // the lock in time leaves the project alone: changing it regardless could
  // drop the change of the run that holds the lock. (A folder that cannot
  // be opened holds no project that can: the open below says so.)
  FolderLock lock;
  if (line.mode == CommandMode::kAddRecipient || line.mode == CommandMode::kAddExclusion ||
      line.mode == CommandMode::kRemove) {
    const int seconds = settings_.lock_time_limit_seconds;
    if (lock.acquire(path, seconds * 1000) == FolderLock::Result::kTimedOut) {
      show_error(ui_, String::formatted(
          "%s, because another run has kept the projects of its folder "
          "locked for more than %d seconds:\n%s",
          line.mode == CommandMode::kRemove ? "No recipient was removed"
                                            : "The project was not changed",
          seconds, path.c_str()));
      return kExitProject;
    }
  }
  command_line_run_ = true;
  server_option_ = line.server;
  account_option_ = line.account;
  if (!open_project(path)) {
    command_line_run_ = false;
    server_option_.clear();
    account_option_.clear();
    return kExitProject;
  }

  int code = kExitDone;
  switch (line.mode) {
    case CommandMode::kAddRecipient:
    case CommandMode::kAddExclusion: {
      const char* key =
          line.mode == CommandMode::kAddRecipient ? kFieldRecipientText : kFieldExclusionText;
      String list = project_.text(key);
      if (!list.empty() && list.last() != '\r' && list.last() != '\n') list += '\n';
      list += line.address;
      project_.set_text(key, list);
      if (!save_project(true)) {
        code = kExitProject;
        break;
      }
      warn_when_list_unused(line.mode == CommandMode::kAddRecipient);
      break;
    }
    case CommandMode::kSendOnly:
      project_.set_flag(kFieldUseDatabase, false);
      project_.set_flag(kFieldUseRecipientFile, false);
      project_.set_flag(kFieldUseRecipientText, true);
      project_.set_text(kFieldRecipientText, line.address);
      [[fallthrough]];
    case CommandMode::kSend:
    case CommandMode::kResume: {
      SendOptions options;
      options.resume = line.mode == CommandMode::kResume;
      options.dry_run_folder = line.dry_run;
      options.limit = line.limit_count;
      options.test_address = line.test_address;
      options.rate_given = !line.rate.empty();
      options.rate = line.rate_value;
      options.connections = line.connections_count;
      // -o's one address is not the project's mailing.
      options.journal = line.mode != CommandMode::kSendOnly;
      if (line.mode == CommandMode::kSend) warn_when_send_unfinished(line, path);
      project_.set_number(kFieldSendMode, kSendNoPreview);
      if (!send(options)) {
        // The windows would open on the project here; an unattended run
        // says where to look instead and ends with a status that says so.
        ui_.information_box(
            String::formatted("The mailing did not complete.  The send log is:\n%s",
                              send_log_path().c_str()),
            application_name);
        code = kExitSend;
      }
      break;
    }
    case CommandMode::kRemove:
      code = remove_from_command_line(line, out);
      break;
    case CommandMode::kNone:
      break;
  }
  close_project(CloseMode::kDiscard);
  command_line_run_ = false;
  server_option_.clear();
  account_option_.clear();
  return code;
}

void Application::warn_when_send_unfinished(const CommandLine& line, const String& path) {
  // A dry run or a test sends no one the mailing; the last send stays
  // resumable after them all the same.
  if (!line.dry_run.empty() || !line.test_address.empty()) return;
  int done = 0, total = 0;
  if (!last_send_unfinished(&done, &total)) return;
  ui_.information_box(
      String::formatted("The last send of this project did not finish: %d of its %d recipients "
                        "were done.  This run starts a new send to every recipient, so those "
                        "may get the message twice.  To continue the last send instead, run:\n"
                        "  tessaline-mailer --resume %s",
                        done, total, shell_word(path).c_str()),
      "Warning");
}

void Application::warn_when_list_unused(bool recipients) {
  // The address is kept all the same: the list may be switched on later.
  String why;
  if (recipients && project_.flag(kFieldUseDatabase)) {
    why = "the project takes its recipients from a database, so the address does not receive "
          "the mailing";
  } else if (recipients && !project_.flag(kFieldUseRecipientText)) {
    why = "\"Use the list below for the recipients\" (use_recipient_text) is off, so the address "
          "does not receive the mailing";
  } else if (!recipients && !project_.flag(kFieldUseExclusionText)) {
    why = "\"Exclude the recipients listed below\" (UseExclusionText) is off, so the address is "
          "not excluded from the mailing";
  } else {
    return;
  }
  ui_.information_box(String::formatted("The address was added to the project's typed %s list, "
                                        "but the project does not use that list: %s.",
                                        recipients ? "recipient" : "exclusion", why.c_str()),
                      "Warning");
}

SendOperation& Application::send_operation() {
  if (!send_) send_ = std::make_unique<SendOperation>(*this);
  return *send_;
}

bool Application::send_messages() { return save_project(true) && send(); }

bool Application::send(const SendOptions& options) { return send_operation().send(options); }

bool Application::resume_last_send() {
  SendOptions options;
  options.resume = true;
  return save_project(true) && send(options);
}

bool Application::last_send_unfinished(int* done, int* total) {
  if (!project_open_ || file_name_.empty()) return false;
  String path;
  JournalState state;
  if (!send_operation().last_send(&path, &state) || !state.unfinished()) return false;
  if (total) *total = state.entries.count();
  if (done) {
    *done = 0;
    for (const JournalEntry& entry : state.entries) *done += is_final(entry.outcome);
  }
  return true;
}

void Application::view_log() { send_operation().view_log(false, false); }

String Application::send_log_path() {
  String folder, error;
  if (!log_folder(folder, error)) return String();
  return join_path(folder, "Trenk.LOG");
}

ProjectValues& Application::project() { return *values_; }

void Application::store_smtp_settings(const String& server, int port) {
  smtp_server_ = server;
  smtp_port_ = port;
  smtp_settings_stored_ = true;
}

bool Application::save_smtp_settings() {
  if (!smtp_settings_stored_) return true;
  // The key net_startup() reads the stored settings from (kToolkitKey).
  if (registry::open_software_key("Tessaline\\Loomwork") == registry::kOpenFailed) return false;
  // An empty server leaves the mail configuration's default in force.
  bool saved = registry::set_string(kSmtpServerSetting.name, smtp_server_, registry::kDeleteEmpty) &&
               registry::set_int(kSmtpPortSetting.name, smtp_port_);
  registry::close_key();
  return saved;
}

DkimSettings Application::dkim_settings() { return read_dkim_settings(program_registry()); }

SendSettings Application::send_settings() {
  return read_send_settings(program_registry());
}

Database* Application::database() {
  return database_available_ ? &tessaline::database() : nullptr;
}

bool Application::log_folder(String& folder, String& error) {
  return make_user_folder(UserFolder::kState, folder, error);
}

int64_t Application::milliseconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void Application::sleep_ms(int64_t ms) {
  if (ms <= 0) return;
  // A signal (Ctrl-C) ends the wait early; the send then asks the port.
  // Messages on their way over other connections go on meanwhile.
  sleep_until(FiberClock::now() + std::chrono::milliseconds(ms));
}

double Application::unit_random() {
  static std::mt19937_64 generator{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

bool Application::review(SendOperation& operation, bool has_text_body, bool has_html_body) {
  SendPreview preview(operation, ui_, project(), has_text_body, has_html_body);
  if (window_ != nullptr) {
    window_->review(preview);
  } else {
    preview.abort();
  }
  // Only Send Messages releases the queue; a window closed otherwise is an
  // abort, which the operation logs.
  return preview.closed() && preview.result_send();
}

bool Application::open_document(const String& path) { return tessaline::open_document(path); }

bool Application::check_for_update() {
  return tessaline::check_for_update(ui_, read_web_addresses(program_registry()).home_page);
}

bool Application::send_feedback() {
  WebAddresses addresses = read_web_addresses(program_registry());
  return technical_support(ui_, addresses.support_address, addresses.support_page);
}

bool Application::open_home_page() {
  const char* caption = "Home Page";
  String home = read_web_addresses(program_registry()).home_page;
  if (home.empty()) {
    ui_.error_box("The program's home-page address is not set.  Set it as the program setting "
                  "\"Home_Page\" (see the manual).",
                  caption);
    return false;
  }
  return open_address(ui_, home, caption);
}

}  // namespace tessaline
