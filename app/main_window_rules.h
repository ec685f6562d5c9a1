// main_window_rules.h - what the main window shows and when each part of
// it can be used, without any window.
//
// The window (toolkit/main_window.h) is laid out and enabled from here:
//   - the folders' contents in screen order: every project field of the
//     folder (app/project_fields.h), an Edit button after each file name box
//     that has one, and the two controls of the Send folder that are not
//     project fields: the "SMTP server:" box (the program setting
//     SMTP_Server) before the "SMTP port:" box, and the "Send Messages"
//     button last;
//   - the enabling rules, a function of the project's state: which fields,
//     buttons and commands can be used;
//   - the two exclusive check-box pairs (a body from a file or typed in).
// Widgets and commands are named by keys: a field's key, a field's key
// followed by kEditButtonSuffix for its Edit button, kFieldSmtpServer, and
// the command names below (which the window also gives its menu items,
// shortcuts and the Send button as object names).
//
// Not for: widgets, the commands' effects (app/window_commands.h, the
// Application), or the lists behind the drop-downs (app/database_lists.h).
//
// Failures: none. A key the rules do not know (a field added to the table
// later) is enabled while a project is open.
#pragma once

#include "core/containers.h"
#include "core/string.h"
#include "app/project_fields.h"

namespace tessaline {

// --- command names ---
inline constexpr char kCommandNewProject[] = "new_project";
inline constexpr char kCommandOpenProject[] = "open_project";
inline constexpr char kCommandSaveProject[] = "save_project";
inline constexpr char kCommandSaveProjectAs[] = "save_project_as";
inline constexpr char kCommandCloseProject[] = "close_project";
inline constexpr char kCommandSendMessages[] = "send_messages";
inline constexpr char kCommandRemoveRecipients[] = "remove_recipients";
inline constexpr char kCommandViewLog[] = "view_log";
inline constexpr char kCommandResumeLastSend[] = "resume_last_send";
inline constexpr char kCommandExit[] = "exit";
inline constexpr char kCommandAddClause[] = "add_clause";
inline constexpr char kCommandDeleteClause[] = "delete_clause";
inline constexpr char kCommandAutoOpen[] = "auto_open";
inline constexpr char kCommandAutoSave[] = "auto_save";
inline constexpr char kCommandAutoBackup[] = "auto_backup";
inline constexpr char kCommandHelp[] = "help";
inline constexpr char kCommandSendFeedback[] = "send_feedback";
inline constexpr char kCommandHomePage[] = "home_page";
inline constexpr char kCommandCheckForUpdate[] = "check_for_update";
inline constexpr char kCommandAbout[] = "about";
inline constexpr char kCommandRefreshList[] = "refresh_list";
inline constexpr char kCommandInsertDatabaseColumn[] = "insert_database_column";
inline constexpr char kCommandInsertBasicTag[] = "insert_basic_tag";
inline constexpr char kCommandPasteCanonicalize[] = "paste_and_canonicalize";

// The Edit button of file name box KEY is named KEY + ".edit".
inline constexpr char kEditButtonSuffix[] = ".edit";
String edit_button_key(const char* field_key);

// --- the folders' contents ---
struct WindowControl {
  enum class Kind {
    kField,        // a project field (`field`)
    kEditButton,   // " Edit " beside the file name box `field`
    kSmtpServer,   // "SMTP server:", the program setting SMTP_Server
    kSendButton,   // "Send Messages": the send command
  };
  Kind kind = Kind::kField;
  const ProjectFieldInfo* field = nullptr;  // kField, kEditButton
  String key;            // the widget's name
  const char* label = "";
  const char* help_key = "";
  const char* help_text = "";
};

// What folder `folder` (project_folder()) shows, in screen order.
Vector<WindowControl> folder_controls(int folder);

// --- enabling ---
struct EnablingState {
  bool project_open = false;
  bool database_available = false;  // the ODBC driver manager is loaded
  bool has_data_sources = false;    // the list behind `db_name` is not empty
  const Project* project = nullptr; // the values (required)
  bool last_send_unfinished = false;  // the project's last send can be resumed
};

// Whether the widget or command named `key` can be used in this state.
bool is_enabled(const EnablingState& state, const char* key);

// Every key is_enabled() decides for the window: the folders' controls in
// screen order, then the commands whose enabling depends on the state.
Vector<String> enabling_keys();

// --- the exclusive pairs ---
// The check box that checking `key` unchecks, or null: use_body_file and
// use_body_text, use_html_file and use_html_text.
const char* exclusive_partner(const char* key);

}  // namespace tessaline
