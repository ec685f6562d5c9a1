// project_values.h - the open project as the recipient gathering and the
// send operation see it: its fields by key, the clause table, and the two
// places in the main window that a check can send the person to.
//
// The application implements this over its project fields (app/); tests
// implement it in memory. Keys are the project field keys, exactly as
// written, in their mixed letter case ("use_database" beside "SendMode",
// "CC" beside "from", "exclusion text" with its blank): a field is found
// only under its exact key. kFieldFrom ... below name every key this
// folder and send/ use.
//
// Not for: storing projects, the window's widgets, or program settings
// (the SMTP server box is a setting, not a project field: see
// send/send_environment.h).
//
// Failures: none. An unknown key reads as empty text, an unchecked box and
// no number; reading a key of the wrong kind is the implementation's to
// answer sensibly (a number field's text() is the text its box shows).
#pragma once

#include "core/string.h"

namespace tessaline {

// One row of the clause table (project field `ClauseTable`).
struct ClauseRow {
  String column;      // `column`: a column of the table; may be empty
  int op = 0;         // `operator`: 1 "=", 2 "<>", 3 "<=", 4 ">=", 5 "<", 6 ">"; 0 none chosen
  String value;       // `value`: the text compared with the column
  bool ignore = false;  // `ignore`: a checked row takes no part
};

// The keys of the clause table's cells, for focus_clause_cell().
inline constexpr char kClauseColumn[] = "column";
inline constexpr char kClauseOperator[] = "operator";
inline constexpr char kClauseValue[] = "value";
inline constexpr char kClauseIgnore[] = "ignore";

class ProjectValues {
 public:
  virtual ~ProjectValues() = default;

  // A project (new or from a file) is open.
  virtual bool is_open() const = 0;

  // --- fields by key ---
  // Text fields (edit boxes, file names, multi-line texts) as they stand;
  // a number field as the text its box shows.
  virtual String text(const char* key) const = 0;
  // Check boxes.
  virtual bool flag(const char* key) const = 0;
  // Number fields and drop-down lists stored as numbers (`SendMode`,
  // `Encoding`, `LineLength`, `SMTPport`). False when the field does not
  // hold a whole number (a number box holding other text, or nothing).
  virtual bool number(const char* key, int* value) const = 0;
  virtual void set_text(const char* key, const String& value) = 0;
  virtual void set_flag(const char* key, bool value) = 0;
  virtual void set_number(const char* key, int value) = 0;

  // --- the clause table, rows from 0 in screen order ---
  virtual int clause_count() const = 0;
  virtual ClauseRow clause(int row) const = 0;

  // --- where a failed check sends the person ---
  // Field focus goes through Ui::focus_field(key); these two are the
  // places the port has no key for.
  // Brings the main window's folder with this title ("Recipients") into view.
  virtual void show_folder(const char* title) = 0;
  // Brings a cell of the clause table into view and focuses it: row from 0,
  // the cell by its key (kClauseColumn, kClauseOperator, ...).
  virtual void focus_clause_cell(int row, const char* cell) = 0;
};

// Values of `recipient_file_format`.
enum RecipientFileFormat : int {
  kAddressPerLine = 1,     // one candidate per line
  kColumnsWithHeader = 2,  // a spreadsheet export whose first row names the columns
};

// Values of `recipient_file_delimiter`: 0 detects the delimiter from the
// header row.
enum RecipientFileDelimiter : int {
  kDelimiterDetect = 0,
  kDelimiterComma = 1,
  kDelimiterSemicolon = 2,
  kDelimiterTab = 3,
  kDelimiterBar = 4,
};

// --- the project field keys used by recipients/ and send/ ---
inline constexpr char kFieldFrom[] = "from";
inline constexpr char kFieldSubject[] = "subject";
inline constexpr char kFieldReply[] = "reply";
inline constexpr char kFieldCc[] = "CC";
inline constexpr char kFieldUnsubscribe[] = "unsubscribe";
inline constexpr char kFieldUseDatabase[] = "use_database";
inline constexpr char kFieldDbName[] = "db_name";
inline constexpr char kFieldTableName[] = "table_name";
inline constexpr char kFieldRecipientColumn[] = "recipient_col";
inline constexpr char kFieldIdentityColumn[] = "identity_col";
inline constexpr char kFieldOrderBy[] = "order_by";
inline constexpr char kFieldClauseTable[] = "ClauseTable";
inline constexpr char kFieldWhere[] = "where";
inline constexpr char kFieldEliminateDuplicates[] = "EliminateDuplicates";
inline constexpr char kFieldUseRecipientFile[] = "use_recipient_file";
inline constexpr char kFieldRecipientFile[] = "recipient_file";
inline constexpr char kFieldRecipientFileFormat[] = "recipient_file_format";
inline constexpr char kFieldRecipientFileColumn[] = "recipient_file_column";
inline constexpr char kFieldRecipientFileDelimiter[] = "recipient_file_delimiter";
inline constexpr char kFieldUseRecipientText[] = "use_recipient_text";
inline constexpr char kFieldRecipientText[] = "recipient_text";
inline constexpr char kFieldUseExclusionFile[] = "UseExclusionFile";
inline constexpr char kFieldExclusionFile[] = "ExclusionFile";
inline constexpr char kFieldUseExclusionText[] = "UseExclusionText";
inline constexpr char kFieldExclusionText[] = "exclusion text";
inline constexpr char kFieldUseBodyFile[] = "use_body_file";
inline constexpr char kFieldBodyFile[] = "body_file";
inline constexpr char kFieldUseBodyText[] = "use_body_text";
inline constexpr char kFieldBody[] = "body";
inline constexpr char kFieldEncoding[] = "Encoding";
inline constexpr char kFieldLineLength[] = "LineLength";
inline constexpr char kFieldUseHtmlFile[] = "use_html_file";
inline constexpr char kFieldHtmlFile[] = "html_file";
inline constexpr char kFieldUseHtmlText[] = "use_html_text";
inline constexpr char kFieldHtmlBody[] = "html_body";
inline constexpr char kFieldHtmlAttach[] = "html_attach";
inline constexpr char kFieldAttachments[] = "attachments";
inline constexpr char kFieldSendMode[] = "SendMode";
inline constexpr char kFieldDirectDelivery[] = "DirectDelivery";
inline constexpr char kFieldRecycle[] = "Recycle";
inline constexpr char kFieldSmtpPort[] = "SMTPport";
inline constexpr char kFieldSmtpAccount[] = "SMTPaccount";
inline constexpr char kFieldSmtpSecurity[] = "SMTPsecurity";
// The SMTP server box of the Send folder: not a project field, but the key
// by which a check focuses it.
inline constexpr char kFieldSmtpServer[] = "SMTP_Server";

}  // namespace tessaline
