#include "app/main_window_rules.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "merge/merge_ports.h"

namespace tessaline {
namespace {

using Keys = std::set<std::string>;

Keys enabled_keys(const EnablingState& state) {
  Keys keys;
  for (const String& key : enabling_keys()) {
    if (is_enabled(state, key.c_str())) keys.insert(key.std_string());
  }
  return keys;
}

// --- the folders ------------------------------------------------------------

TEST(FolderControls, EveryFieldInTableOrderWithTheWindowsOwnControls) {
  std::vector<std::string> seen;
  for (int folder = 0; folder < project_folder_count(); ++folder) {
    for (const WindowControl& control : folder_controls(folder)) {
      seen.push_back(control.key.std_string());
      if (control.kind == WindowControl::Kind::kField) {
        EXPECT_EQ(control.field->folder, folder) << control.key.c_str();
      }
    }
  }
  // Each field once, in the table's order, between the others.
  std::vector<std::string> fields;
  for (const std::string& key : seen) {
    if (find_project_field(key.c_str())) fields.push_back(key);
  }
  ASSERT_EQ(static_cast<int>(fields.size()), project_field_count());
  for (int i = 0; i < project_field_count(); ++i) EXPECT_EQ(fields[i], project_field(i).key);

  auto after = [&seen](const std::string& key) {
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
      if (seen[i] == key) return seen[i + 1];
    }
    return std::string("(none)");
  };
  EXPECT_EQ(after("recipient_file"), "recipient_file.edit");
  EXPECT_EQ(after("ExclusionFile"), "ExclusionFile.edit");
  EXPECT_EQ(after("body_file"), "body_file.edit");
  EXPECT_EQ(after("html_file"), "html_file.edit");
  EXPECT_EQ(after("SMTP_Server"), "SMTPport");
  EXPECT_EQ(seen.back(), "send_messages");
}

TEST(FolderControls, TheSendFoldersOwnControlsCarryTheirTexts) {
  int send = project_folder_count() - 1;
  ASSERT_STREQ(project_folder(send).title, "Send");
  Vector<WindowControl> controls = folder_controls(send);
  const WindowControl& button = controls[controls.count() - 1];
  EXPECT_EQ(button.kind, WindowControl::Kind::kSendButton);
  EXPECT_STREQ(button.label, "Send Messages");
  EXPECT_STREQ(button.help_key, "send button");
  EXPECT_STREQ(button.help_text, "Click here to send the messages.");
  bool server_seen = false;
  for (const WindowControl& control : controls) {
    if (control.kind != WindowControl::Kind::kSmtpServer) continue;
    server_seen = true;
    EXPECT_STREQ(control.label, "SMTP server:");
    EXPECT_STREQ(control.help_key, "smtp server");
  }
  EXPECT_TRUE(server_seen);
  // The Edit buttons.
  for (const WindowControl& control : folder_controls(2)) {
    if (control.kind != WindowControl::Kind::kEditButton) continue;
    EXPECT_STREQ(control.label, " Edit ");
    EXPECT_STREQ(control.help_text, "Edit the recipient file.");
  }
}

// --- enabling ---------------------------------------------------------------

TEST(EnablingRules, WithoutAProjectOnlyTheSmtpBoxesCanBeUsed) {
  Project project;
  project.set_flag("use_database", true);
  project.set_text("db_name", "mail");
  EnablingState state{false, true, true, &project};
  EXPECT_EQ(enabled_keys(state), (Keys{"SMTP_Server", "SMTPport"}));
}

TEST(EnablingRules, ANewProjectEnablesWhatItsDefaultsAllow) {
  Project project;
  EnablingState state{true, true, true, &project};
  EXPECT_EQ(enabled_keys(state),
            (Keys{"from", "subject", "reply", "CC", "unsubscribe", "use_database",
                  "EliminateDuplicates", "use_recipient_file", "use_recipient_text", "UseExclusionFile",
                  "UseExclusionText", "use_body_file", "use_body_text", "Encoding", "LineLength",
                  "use_html_file", "use_html_text", "attachments", "SendMode", "DirectDelivery",
                  "Recycle", "SMTP_Server", "SMTPport", "SMTPaccount", "SMTPsecurity",
                  "send_messages", "save_project",
                  "save_project_as", "close_project", "remove_recipients"}));
}

struct Case {
  const char* what;
  bool database_available;
  bool has_data_sources;
  std::vector<std::pair<const char*, const char*>> values;  // set_text on a new project
  int clause_rows;
  std::vector<const char*> enabled;
  std::vector<const char*> disabled;
};

const Case kCases[] = {
    {"using a database: the recipient sources step aside",
     true, true, {{"use_database", "1"}, {"use_recipient_file", "1"}, {"use_recipient_text", "1"},
                  {"recipient_file", "list.txt"}}, 0,
     {"db_name", "ClauseTable", "where", "add_clause", "EliminateDuplicates"},
     {"use_recipient_file", "use_recipient_text", "recipient_file", "recipient_file.edit",
      "recipient_text", "table_name", "recipient_col", "delete_clause"}},
    {"not using one: the recipient sources come back as they were",
     true, true, {{"use_recipient_file", "1"}, {"use_recipient_text", "1"},
                  {"recipient_file", "list.txt"}}, 0,
     {"use_recipient_file", "recipient_file", "recipient_file.edit", "use_recipient_text",
      "recipient_text"},
     {"db_name", "ClauseTable", "where", "add_clause"}},
    {"without the driver manager a checked box uses nothing",
     false, false, {{"use_database", "1"}, {"db_name", "mail"}, {"table_name", "people"},
                    {"use_recipient_text", "1"}}, 0,
     {"use_recipient_text", "recipient_text"},
     {"use_database", "db_name", "table_name", "recipient_col", "ClauseTable", "where"}},
    {"no data sources: the list cannot be opened",
     true, false, {{"use_database", "1"}}, 0, {"ClauseTable", "where"}, {"db_name"}},
    {"a blank data source name keeps the table closed",
     true, true, {{"use_database", "1"}, {"db_name", "  "}}, 0, {"db_name"},
     {"table_name", "recipient_col", "identity_col", "order_by"}},
    {"a data source opens the table, a table the columns",
     true, true, {{"use_database", "1"}, {"db_name", "mail"}, {"table_name", "people"}}, 2,
     {"table_name", "recipient_col", "identity_col", "order_by", "delete_clause"}, {}},
    {"a data source without a table",
     true, true, {{"use_database", "1"}, {"db_name", "mail"}}, 0, {"table_name"},
     {"recipient_col", "identity_col", "order_by"}},
    {"a blank file name leaves the Edit buttons off",
     true, true, {{"use_body_file", "1"}, {"body_file", " "}, {"use_html_file", "1"},
                  {"html_file", ""}, {"UseExclusionFile", "1"}}, 0,
     {"body_file", "html_file", "ExclusionFile", "html_attach"},
     {"body_file.edit", "html_file.edit", "ExclusionFile.edit", "body", "html_body"}},
    {"file names enable their Edit buttons",
     true, true, {{"use_body_file", "1"}, {"body_file", "b.txt"}, {"use_html_file", "1"},
                  {"html_file", "h.html"}, {"UseExclusionFile", "1"}, {"ExclusionFile", "x"}},
     0, {"body_file.edit", "html_file.edit", "ExclusionFile.edit"}, {}},
    {"a file name without its box is off",
     true, true, {{"body_file", "b.txt"}, {"ExclusionFile", "x"}, {"recipient_file", "r"}}, 0,
     {}, {"body_file", "body_file.edit", "ExclusionFile", "ExclusionFile.edit",
          "recipient_file", "recipient_file.edit"}},
    {"a recipient file of addresses has no columns to name",
     true, true, {{"use_recipient_file", "1"}}, 0, {"recipient_file", "recipient_file_format"},
     {"recipient_file_column", "recipient_file_delimiter"}},
    {"a recipient file of columns names its address column and delimiter",
     true, true, {{"use_recipient_file", "1"}, {"recipient_file_format", "2"}}, 0,
     {"recipient_file_format", "recipient_file_column", "recipient_file_delimiter"}, {}},
    {"the layout of a file not used, or beside a database, is off",
     true, true, {{"recipient_file_format", "2"}, {"use_database", "0"}}, 0, {},
     {"recipient_file_format", "recipient_file_column", "recipient_file_delimiter"}},
    {"a database sets the recipient file's layout aside",
     true, true, {{"use_database", "1"}, {"use_recipient_file", "1"},
                  {"recipient_file_format", "2"}}, 0, {},
     {"recipient_file_format", "recipient_file_column", "recipient_file_delimiter"}},
    {"typed texts follow their boxes",
     true, true, {{"use_body_text", "1"}, {"UseExclusionText", "1"}}, 0,
     {"body", "exclusion text"}, {"html_body", "html_attach", "body_file", "ExclusionFile"}},
    {"an HTML body typed in enables the embedded files",
     true, true, {{"use_html_text", "1"}}, 0, {"html_body", "html_attach"}, {"html_file"}},
    {"Identical mode: no direct delivery, no recycling",
     true, true, {{"SendMode", "102"}}, 0, {"SendMode"}, {"DirectDelivery", "Recycle"}},
    {"Last Recipient Only: direct delivery but no recycling",
     true, true, {{"SendMode", "103"}}, 0, {"DirectDelivery"}, {"Recycle"}},
    {"No Preview: both",
     true, true, {{"SendMode", "101"}}, 0, {"DirectDelivery", "Recycle"}, {}},
    {"direct delivery cannot recycle",
     true, true, {{"SendMode", "100"}, {"DirectDelivery", "1"}}, 0, {"DirectDelivery"},
     {"Recycle"}},
};

TEST(EnablingRules, TableOfStates) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Project project;
    for (const auto& [key, value] : c.values) project.set_text(key, value);
    for (int i = 0; i < c.clause_rows; ++i) project.clauses().append();
    EnablingState state{true, c.database_available, c.has_data_sources, &project};
    for (const char* key : c.enabled) EXPECT_TRUE(is_enabled(state, key)) << key;
    for (const char* key : c.disabled) EXPECT_FALSE(is_enabled(state, key)) << key;
  }
}

TEST(EnablingRules, ResumeLastSendNeedsAnOpenProjectWhoseLastSendDidNotFinish) {
  Project project;
  for (bool open : {false, true}) {
    for (bool unfinished : {false, true}) {
      EnablingState state{open, true, true, &project, unfinished};
      EXPECT_EQ(is_enabled(state, "resume_last_send"), open && unfinished)
          << open << " " << unfinished;
    }
  }
  // It is one of the keys the window applies.
  bool listed = false;
  for (const String& key : enabling_keys()) listed = listed || key == "resume_last_send";
  EXPECT_TRUE(listed);
}

TEST(EnablingRules, AFieldTheRulesDoNotNameFollowsTheOpenProject) {
  Project project;
  EnablingState open{true, false, false, &project};
  EnablingState closed{false, false, false, &project};
  EXPECT_TRUE(is_enabled(open, "a_field_added_later"));
  EXPECT_FALSE(is_enabled(closed, "a_field_added_later"));
}

// --- the pairs ----------------------------------------------------------------

TEST(ExclusivePairs, OnlyTheBodySourcesExcludeEachOther) {
  EXPECT_STREQ(exclusive_partner("use_body_file"), "use_body_text");
  EXPECT_STREQ(exclusive_partner("use_body_text"), "use_body_file");
  EXPECT_STREQ(exclusive_partner("use_html_file"), "use_html_text");
  EXPECT_STREQ(exclusive_partner("use_html_text"), "use_html_file");
  // A file and a typed list may be used together.
  for (const char* key : {"use_recipient_file", "use_recipient_text", "UseExclusionFile",
                          "UseExclusionText", "use_database", "Use_Body_File"}) {
    EXPECT_EQ(exclusive_partner(key), nullptr) << key;
  }
}

}  // namespace
}  // namespace tessaline
