#include "app/project_fields.h"

#include <cstring>

#include "core/fatal_error.h"
#include "storage/paths.h"
#include "recipients/candidate.h"

namespace tessaline {

namespace {

const ProjectFolder kFolders[] = {
    {"Identification", "identification folder"},
    {"Database", "database folder"},
    {"Recipients", "recipients folder"},
    {"Exclusions", "exclusions folder"},
    {"Text Body", "body folder"},
    {"HTML Body", "HTML folder"},
    {"Attachments", "attachments folder"},
    {"Send", "send folder"},
};

enum : int { kIdentification, kDatabase, kRecipients, kExclusions, kTextBody, kHtmlBody,
             kAttachments, kSend };

const FieldChoice kEncodings[] = {{"7-bit", kEncoding7Bit}, {"8-bit", kEncoding8Bit},
                                  {"Base-64", kEncodingBase64}};
const FieldChoice kRecipientFileFormats[] = {
    {"One address per line", kAddressPerLine},
    {"Columns with a header row (CSV, TSV)", kColumnsWithHeader}};
const FieldChoice kRecipientFileDelimiters[] = {{"Detect", kDelimiterDetect},
                                                {"Comma (,)", kDelimiterComma},
                                                {"Semicolon (;)", kDelimiterSemicolon},
                                                {"Tab", kDelimiterTab},
                                                {"Vertical bar (|)", kDelimiterBar}};
// The values are those of mail/smtp_route.h's TlsMode.
const FieldChoice kSecurityModes[] = {{"Automatic", 0},
                                      {"No encryption", 1},
                                      {"STARTTLS when offered", 2},
                                      {"STARTTLS required", 3},
                                      {"TLS from the start (port 465)", 4}};
const FieldChoice kSendModes[] = {{"Normal", kSendNormal},
                                  {"No Preview", kSendNoPreview},
                                  {"Identical", kSendIdentical},
                                  {"Last Recipient Only", kSendLastRecipientOnly}};

constexpr FieldKind T = FieldKind::kText;
constexpr FieldKind C = FieldKind::kCheck;

// Folder and screen order; the project file stores the fields in this order.
const ProjectFieldInfo kFields[] = {
    {"from", T, kIdentification, "From:", "from",
     "The name and email address of the person the message is from, for example:  "
     "John Smith <john.smith@example.com>",
     "", 0, nullptr, 0},
    {"subject", T, kIdentification, "Subject:", "subject", "The subject of the message.", "", 0,
     nullptr, 0},
    {"reply", T, kIdentification, "Reply to:", "reply to",
     "The email address that the recipient can reply to regarding the message.", "", 0, nullptr,
     0},
    {"CC", T, kIdentification, "CC:", "cc",
     "A \"Carbon Copy\" of the message will be sent to the recipient(s) named here.  If you have "
     "more than one recipient, you must separate them with a semi-colon (;).",
     "", 0, nullptr, 0},
    {"unsubscribe", T, kIdentification, "Unsubscribe:", "unsubscribe",
     "Where a recipient can unsubscribe with one click: a mailto: address, an https: address, or "
     "one of each separated by a blank, for example:  https://example.com/leave?id=[[id]]  Data "
     "tags are allowed; the values they insert are written as parts of the address.",
     "", 0, nullptr, 0},

    {"use_database", C, kDatabase, "Use database:", "use database",
     "If checked, recipient information will be pulled from a database.", "", 0, nullptr, 0},
    {"db_name", T, kDatabase, "Database name:", "database name",
     "From the drop down list, choose the system data source you wish to use.  Only data sources "
     "that are registered in \"Control Panel | ODBC Data Sources\" will appear in the list.",
     "", 0, nullptr, 0, FieldControl::kDataSources},
    {"table_name", T, kDatabase, "Table name:", "table name",
     "The name of the table from which data will be extracted.", "", 0, nullptr, 0,
     FieldControl::kTables},
    {"recipient_col", T, kDatabase, "Recipient column name:", "recipient column name",
     "This is the name of the column that hold's the recipient's email address.", "", 0, nullptr,
     0, FieldControl::kColumns},
    {"identity_col", T, kDatabase, "Identity column name:", "identity column",
     "This is the name of the column that hold's the row's unique identity (aka: autonumber, "
     "primary key).",
     "", 0, nullptr, 0, FieldControl::kColumns},
    {"order_by", T, kDatabase, "Order by:", "order by",
     "Recipients will be ordered according to this column.  This is generally only important if "
     "the send mode is \"Last Recipient Only\".  You can leave this blank.",
     "", 0, nullptr, 0, FieldControl::kColumns},
    {"ClauseTable", FieldKind::kClauseTable, kDatabase, "Clause Table:", "clause table",
     "This table allows you to filter out recipients whom you do not want the message to go to.  "
     "All of the clauses in this table must be true in order for the recipient to be included.  "
     "Press F2 to add a clause.",
     "", 0, nullptr, 0},
    {"where", T, kDatabase, "Custom WHERE clauses:", "custom where clauses",
     "Here you can enter your own SQL WHERE clauses.  The text you enter here will be appended to "
     "the clauses in the Clause Table.",
     "", 0, nullptr, 0, FieldControl::kMultiLine},

    {"EliminateDuplicates", C, kRecipients, "Eliminate duplicate recipients",
     "eliminate duplicates", "If checked, no more than one message is sent to a recipient.", "", 0,
     nullptr, 0},
    {"use_recipient_file", C, kRecipients, "Use a file for the list of recipients",
     "recipient list file", "If checked, the list of recipients will be loaded from a file.", "",
     0, nullptr, 0},
    {"recipient_file", T, kRecipients, "", "recipient list file",
     "This is the full path and filename of the list of recipients.  The file should be flat "
     "ASCII text with one address per line, or a spreadsheet saved as CSV or TSV whose first row "
     "names the columns (see \"File format\").",
     "", 0, nullptr, 0, FieldControl::kFileName,
     "Choose the file containing the recipients' email addresses", "Edit the recipient file."},
    {"recipient_file_format", FieldKind::kChoice, kRecipients, "File format:",
     "recipient file format",
     "How the recipient file is laid out: one address per line, or a spreadsheet saved as CSV or "
     "TSV whose first row names the columns.  Every column of such a file can be used in the "
     "data tags by its name.",
     "", kAddressPerLine, kRecipientFileFormats, 2},
    {"recipient_file_column", T, kRecipients, "Address column:", "recipient file format",
     "The name of the column of the recipient file that holds each recipient's email address, "
     "exactly as the first row writes it.",
     "", 0, nullptr, 0},
    {"recipient_file_delimiter", FieldKind::kChoice, kRecipients, "Delimiter:",
     "recipient file format",
     "The character that separates the columns of the recipient file.  \"Detect\" takes the "
     "one that occurs most often in the first row.",
     "", kDelimiterDetect, kRecipientFileDelimiters, 5},
    {"use_recipient_text", C, kRecipients, "Use the list below for the recipients",
     "explicit recipient list",
     "If checked, the recipient list will be taken from the editbox directly below this checkbox.",
     "", 0, nullptr, 0},
    {"recipient_text", T, kRecipients, "", "explicit recipient list",
     "The list of recipient email addresses.  There should be one address per line.", "", 0,
     nullptr, 0, FieldControl::kMultiLine},

    {"UseExclusionFile", C, kExclusions, "Exclude the recipients listed in a file",
     "exclusion file",
     "If checked, the file specified below this checkbox will be used to exclude recipients.  The "
     "file should be plain ASCII text, with one email address per line.",
     "", 0, nullptr, 0},
    {"ExclusionFile", T, kExclusions, "", "exclusion file",
     "The recipients listed in this file will be excluded from the mailing.  The file should be a "
     "plain ASCII text file with one email address per line.",
     "", 0, nullptr, 0, FieldControl::kFileName,
     "Choose the file containing the list of recipients to be excluded.",
     "Edit the exclusion file."},
    {"UseExclusionText", C, kExclusions, "Exclude the recipients listed below",
     "explicit exclusions",
     "If checked, the recipients listed below this checkbox will be excluded from the mailing.  "
     "There should be one email address per line.",
     "", 0, nullptr, 0},
    {"exclusion text", T, kExclusions, "", "explicit exclusions",
     "The recipients listed here will be excluded from the mailing.  There should be one email "
     "address per line.",
     "", 0, nullptr, 0, FieldControl::kMultiLine},

    {"use_body_file", C, kTextBody, "Use a file for the text body", "body folder",
     "If checked, the text body will be loaded from a file.  The file should be a plain ASCII "
     "text file",
     "", 0, nullptr, 0},
    {"body_file", T, kTextBody, "", "body folder",
     "This is the full path and filename of the text body.  The file should contain plain ASCII "
     "text.",
     "", 0, nullptr, 0, FieldControl::kFileName, "Choose the file containing the text body",
     "Edit the text body file."},
    {"use_body_text", C, kTextBody, "Use the text below for the text body", "body folder",
     "If checked, the text body will be taken from the editbox that is directly below this "
     "checkbox.",
     "", 0, nullptr, 0},
    {"body", T, kTextBody, "", "body folder", "The text body.", "", 0, nullptr, 0,
     FieldControl::kBodyText},
    {"Encoding", FieldKind::kChoice, kTextBody, "Text body encoding:", "encoding",
     "This is the method in which the text body is encoded.  Choose \"7-bit\" if the message is "
     "plain ASCII text.  Choose \"8-bit\" if the body contains extended ASCII characters "
     "(128-255).  Some user's email clients may not be able to decode \"Base-64\".",
     "", kEncoding7Bit, kEncodings, 3},
    {"LineLength", FieldKind::kNumber, kTextBody, "Line length:", "line length",
     "A carriage return will automatically be inserted at the appropriate position to keep all "
     "lines under this number of characters.",
     "75", 0, nullptr, 0, FieldControl::kAuto, nullptr, nullptr, 3},

    {"use_html_file", C, kHtmlBody, "Use a file for the HTML body", "html folder",
     "If checked, the HTML body will be loaded from a file.", "", 0, nullptr, 0},
    {"html_file", T, kHtmlBody, "", "html folder",
     "This is the full path and filename of the HTML body.", "", 0, nullptr, 0,
     FieldControl::kFileName, "Choose the file containing the HTML body",
     "Edit the HTML body file."},
    {"use_html_text", C, kHtmlBody, "Use the text below for the HTML body", "html folder",
     "If checked, the HTML body will be taken from the editbox that is directly below this "
     "checkbox.",
     "", 0, nullptr, 0},
    {"html_body", T, kHtmlBody, "", "html folder", "The HTML body.", "", 0, nullptr, 0,
     FieldControl::kHtmlText},
    {"html_attach", T, kHtmlBody, "Files embedded in the HTML:", "embedded files",
     "All files that are used by the HTML file must be listed here.", "", 0, nullptr, 0,
     FieldControl::kFileList, "Choose the files embedded in the HTML"},

    {"attachments", T, kAttachments, "Attached files:", "attachments",
     "The files specified here will be attached to each message.  There should be one file per "
     "line, although you can use the asterisk and question mark wildcard characters to specify a "
     "group of files.",
     "", 0, nullptr, 0, FieldControl::kFileList, "Choose the files to attach"},

    {"SendMode", FieldKind::kChoice, kSend, "Send mode:", "send mode",
     "Controls how the messages are sent. See the help file for a complete description of each "
     "mode.",
     "", kSendNormal, kSendModes, 4},
    {"DirectDelivery", C, kSend, "Deliver directly to recipient SMTP server", "direct delivery",
     "If checked, each message will be delivered directly to the recipient's SMTP server.  "
     "Otherwise, all messages will go through your own SMTP server.  Because this method of "
     "message delivery is unreliable, it is strongly recommended that you leave this box "
     "unchecked.",
     "", 0, nullptr, 0},
    {"Recycle", C, kSend, "Recycle SMTP connection", "recycle",
     "If checked, the SMTP connection will be reused for each message.  Otherwise, a new "
     "connection is established for each message.  Leave this box checked unless you are having "
     "problems.",
     "", 0, nullptr, 0},
    {"SMTPport", FieldKind::kNumber, kSend, "SMTP port:", "smtp port",
     "This is the port number that your SMTP server uses for communication.  It is usually 25.",
     "25", 0, nullptr, 0, FieldControl::kAuto, nullptr, nullptr, 5},
    {"SMTPaccount", T, kSend, "Mail account:", "mail account",
     "The account of your msmtp configuration (~/.msmtprc) to send through: its server, port, "
     "encryption and login are used.  Leave it empty to use the program's setting, or msmtp's "
     "default account when the SMTP server is its server.",
     "", 0, nullptr, 0},
    {"SMTPsecurity", FieldKind::kChoice, kSend, "Security:", "security",
     "How the connection to the SMTP server is encrypted.  \"Automatic\" does what the mail "
     "account says, and otherwise uses TLS from the start on port 465 and STARTTLS when the "
     "server offers it on any other port.  With \"STARTTLS required\", nothing is sent to a "
     "server that does not offer it.",
     "", 0, kSecurityModes, 5},
};

constexpr int kFieldCount = static_cast<int>(sizeof kFields / sizeof kFields[0]);

void set_default(Var& value, const ProjectFieldInfo& field) {
  switch (field.kind) {
    case FieldKind::kCheck:
      value.set_bool(field.default_value != 0);
      break;
    case FieldKind::kChoice:
      value.set_int32(field.default_value);
      break;
    case FieldKind::kText:
    case FieldKind::kNumber:
      value.set_string(String(field.default_text));
      break;
    case FieldKind::kClauseTable:
      value.clear();  // the rows live in Project::clauses()
      break;
  }
}

}  // namespace

int project_folder_count() { return static_cast<int>(sizeof kFolders / sizeof kFolders[0]); }

const ProjectFolder& project_folder(int i) {
  TESSALINE_CHECK(i >= 0 && i < project_folder_count(), "Trenk");
  return kFolders[i];
}

int project_field_count() { return kFieldCount; }

const ProjectFieldInfo& project_field(int i) {
  TESSALINE_CHECK(i >= 0 && i < kFieldCount, "Trenk");
  return kFields[i];
}

const ProjectFieldInfo* find_project_field(const char* key) {
  if (key == nullptr) return nullptr;
  for (const ProjectFieldInfo& field : kFields) {
    if (std::strcmp(field.key, key) == 0) return &field;
  }
  return nullptr;
}

String place_file_names(const String& value, FieldControl control, const String& folder) {
  if (folder.empty()) return value;
  if (control == FieldControl::kFileName) {
    String path = value;
    make_absolute(path, folder);
    return path;
  }
  if (control != FieldControl::kFileList) return value;
  String placed;
  LineCursor lines(value);
  String line;
  bool first = true;
  while (lines.next(&line)) {
    if (!first) placed += '\n';
    first = false;
    line.trim(" \t");
    make_absolute(line, folder);
    placed += line;
  }
  return placed;
}

Project::Project() {
  for (int i = 0; i < kFieldCount; ++i) values_.append();
  reset();
}

void Project::reset() {
  for (int i = 0; i < kFieldCount; ++i) set_default(values_[i], kFields[i]);
  clauses_.clear();
}

int Project::index_of(const char* key) const {
  const ProjectFieldInfo* field = find_project_field(key);
  if (field == nullptr || field->kind == FieldKind::kClauseTable) {
    FatalError("Trenk %d\nNo project field has the key \"%s\"", __LINE__, key ? key : "");
  }
  return static_cast<int>(field - kFields);
}

const String& Project::text(const char* key) const { return values_[index_of(key)].as_text(); }

bool Project::flag(const char* key) const { return values_[index_of(key)].as_bool(); }

int Project::number(const char* key) const {
  int i = index_of(key);
  if (kFields[i].kind != FieldKind::kNumber) return values_[i].as_int();
  const String& text = values_[i].as_text();
  if (text.empty() || text.length() > 9) return -1;
  int n = 0;
  for (char c : text) {
    if (!is_digit(c)) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

void Project::set_text(const char* key, const String& text) {
  int i = index_of(key);
  switch (kFields[i].kind) {
    case FieldKind::kCheck:
    case FieldKind::kChoice: {
      Var parsed;
      parsed.set_string(text);
      if (kFields[i].kind == FieldKind::kCheck) {
        values_[i].set_bool(parsed.as_int() != 0);
      } else {
        values_[i].set_int32(parsed.as_int());
      }
      break;
    }
    default:
      values_[i].set_string(text);
      break;
  }
}

void Project::set_flag(const char* key, bool on) {
  int i = index_of(key);
  if (kFields[i].kind == FieldKind::kCheck) {
    values_[i].set_bool(on);
  } else {
    set_number(key, on ? 1 : 0);
  }
}

void Project::set_number(const char* key, int value) {
  int i = index_of(key);
  switch (kFields[i].kind) {
    case FieldKind::kCheck:
      values_[i].set_bool(value != 0);
      break;
    case FieldKind::kChoice:
      values_[i].set_int32(value);
      break;
    default:
      values_[i].set_string(String::formatted("%d", value));
      break;
  }
}

Var& Project::value(const char* key) { return values_[index_of(key)]; }

const Var& Project::value(const char* key) const { return values_[index_of(key)]; }

void Project::normalize() {
  for (int i = 0; i < kFieldCount; ++i) {
    Var& value = values_[i];
    switch (kFields[i].kind) {
      case FieldKind::kCheck:
        if (!value.is_bool()) value.set_bool(value.as_int() != 0);
        break;
      case FieldKind::kChoice:
        if (value.type() != kTypeInt32) value.set_int32(value.as_int());
        break;
      case FieldKind::kText:
      case FieldKind::kNumber:
        if (value.type() != kTypeString) value.set_string(String(value.as_text()));
        break;
      case FieldKind::kClauseTable:
        break;
    }
  }
}

bool Project::operator==(const Project& other) const {
  for (int i = 0; i < kFieldCount; ++i) {
    if (values_[i].type() != other.values_[i].type()) return false;
    if (!(values_[i] == other.values_[i])) return false;
  }
  if (clauses_.count() != other.clauses_.count()) return false;
  for (int i = 0; i < clauses_.count(); ++i) {
    const ClauseRow& a = clauses_[i];
    const ClauseRow& b = other.clauses_[i];
    if (a.column != b.column || a.op != b.op || a.value != b.value || a.ignore != b.ignore) {
      return false;
    }
  }
  return true;
}

}  // namespace tessaline
