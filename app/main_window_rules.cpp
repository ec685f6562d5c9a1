#include "app/main_window_rules.h"

#include <cstring>

#include "merge/merge_ports.h"
#include "recipients/project_values.h"

namespace tessaline {

namespace {

bool same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool blank(const Project& project, const char* key) {
  String text = project.text(key);
  text.trim();
  return text.empty();
}

// The check box, file name and text of one "from a file or typed in"
// source: the file box and the text are usable while their box is checked.
struct Source {
  const char* use_file;
  const char* file;
  const char* use_text;
  const char* text;
  bool needs_no_database;  // the recipients: only while no database is used
};

const Source kSources[] = {
    {kFieldUseRecipientFile, kFieldRecipientFile, kFieldUseRecipientText, kFieldRecipientText,
     true},
    {kFieldUseExclusionFile, kFieldExclusionFile, kFieldUseExclusionText, kFieldExclusionText,
     false},
    {kFieldUseBodyFile, kFieldBodyFile, kFieldUseBodyText, kFieldBody, false},
    {kFieldUseHtmlFile, kFieldHtmlFile, kFieldUseHtmlText, kFieldHtmlBody, false},
};

const char* const kStateCommands[] = {
    kCommandSaveProject,      kCommandSaveProjectAs, kCommandCloseProject,
    kCommandSendMessages,     kCommandRemoveRecipients, kCommandAddClause,
    kCommandDeleteClause,     kCommandResumeLastSend,
};

}  // namespace

String edit_button_key(const char* field_key) { return String(field_key) + kEditButtonSuffix; }

Vector<WindowControl> folder_controls(int folder) {
  Vector<WindowControl> controls;
  auto add_special = [&controls](WindowControl::Kind kind, const char* key, const char* label,
                                 const char* help_key, const char* help_text) {
    WindowControl& control = controls.append();
    control.kind = kind;
    control.key = key;
    control.label = label;
    control.help_key = help_key;
    control.help_text = help_text;
  };
  bool send_folder = same(project_folder(folder).title, "Send");
  for (int i = 0; i < project_field_count(); ++i) {
    const ProjectFieldInfo& field = project_field(i);
    if (field.folder != folder) continue;
    if (send_folder && same(field.key, kFieldSmtpPort)) {
      add_special(WindowControl::Kind::kSmtpServer, kFieldSmtpServer, "SMTP server:",
                  "smtp server",
                  "This is the name of your SMTP server, for example:  smtp.example.com");
    }
    WindowControl& control = controls.append();
    control.field = &field;
    control.key = field.key;
    control.label = field.label;
    control.help_key = field.help_key;
    control.help_text = field.help_text;
    if (field.edit_help != nullptr) {
      WindowControl& edit = controls.append();
      edit.kind = WindowControl::Kind::kEditButton;
      edit.field = &field;
      edit.key = edit_button_key(field.key);
      edit.label = " Edit ";
      edit.help_text = field.edit_help;
    }
  }
  if (send_folder) {
    add_special(WindowControl::Kind::kSendButton, kCommandSendMessages, "Send Messages",
                "send button", "Click here to send the messages.");
  }
  return controls;
}

bool is_enabled(const EnablingState& state, const char* key) {
  const Project& project = *state.project;
  const bool p = state.project_open;
  const bool b = p && state.database_available && project.flag(kFieldUseDatabase);

  // --- commands ---
  if (same(key, kCommandSaveProject) || same(key, kCommandSaveProjectAs) ||
      same(key, kCommandCloseProject) || same(key, kCommandSendMessages) ||
      same(key, kCommandRemoveRecipients)) {
    return p;
  }
  if (same(key, kCommandResumeLastSend)) return p && state.last_send_unfinished;
  if (same(key, kCommandAddClause)) return p && project.flag(kFieldUseDatabase);
  if (same(key, kCommandDeleteClause)) return p && project.clauses().count() > 0;
  if (same(key, kFieldSmtpServer) || same(key, kFieldSmtpPort)) return true;

  // --- the database ---
  if (same(key, kFieldUseDatabase)) return p && state.database_available;
  if (same(key, kFieldDbName)) return b && state.has_data_sources;
  if (same(key, kFieldTableName)) return b && !blank(project, kFieldDbName);
  if (same(key, kFieldRecipientColumn) || same(key, kFieldIdentityColumn) ||
      same(key, kFieldOrderBy)) {
    return b && !blank(project, kFieldTableName);
  }
  if (same(key, kFieldClauseTable) || same(key, kFieldWhere)) return b;

  // --- the sources: recipients, exclusions, bodies ---
  // The layout of a recipient file goes with its box; its address column
  // and delimiter only with a file of columns.
  bool recipient_file = p && !b && project.flag(kFieldUseRecipientFile);
  if (same(key, kFieldRecipientFileFormat)) return recipient_file;
  if (same(key, kFieldRecipientFileColumn) || same(key, kFieldRecipientFileDelimiter)) {
    return recipient_file && project.number(kFieldRecipientFileFormat) == kColumnsWithHeader;
  }
  for (const Source& source : kSources) {
    bool usable = p && !(source.needs_no_database && b);
    if (same(key, source.use_file) || same(key, source.use_text)) return usable;
    if (same(key, source.file)) return usable && project.flag(source.use_file);
    if (same(key, source.text)) return usable && project.flag(source.use_text);
    if (edit_button_key(source.file) == key) {
      return usable && project.flag(source.use_file) && !blank(project, source.file);
    }
  }
  if (same(key, kFieldHtmlAttach)) {
    return p && (project.flag(kFieldUseHtmlFile) || project.flag(kFieldUseHtmlText));
  }

  // --- sending ---
  int mode = project.number(kFieldSendMode);
  if (same(key, kFieldDirectDelivery)) return p && mode != kSendIdentical;
  if (same(key, kFieldRecycle)) {
    return p && (mode == kSendNormal || mode == kSendNoPreview) &&
           !project.flag(kFieldDirectDelivery);
  }

  // Everything else (from, subject, reply, CC, EliminateDuplicates,
  // Encoding, LineLength, attachments, SendMode, and fields added later).
  return p;
}

Vector<String> enabling_keys() {
  Vector<String> keys;
  for (int folder = 0; folder < project_folder_count(); ++folder) {
    for (const WindowControl& control : folder_controls(folder)) keys.append(control.key);
  }
  for (const char* command : kStateCommands) {
    bool listed = false;
    for (const String& key : keys) listed = listed || key == command;
    if (!listed) keys.append(String(command));
  }
  return keys;
}

const char* exclusive_partner(const char* key) {
  static const char* const kPairs[][2] = {
      {kFieldUseBodyFile, kFieldUseBodyText},
      {kFieldUseHtmlFile, kFieldUseHtmlText},
  };
  for (const auto& pair : kPairs) {
    if (same(key, pair[0])) return pair[1];
    if (same(key, pair[1])) return pair[0];
  }
  return nullptr;
}

}  // namespace tessaline
