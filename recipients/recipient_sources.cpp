// recipient_sources.cpp - preparing the sources and taking the candidates.
#include "recipients/recipient_sources.h"

#include "storage/paths.h"
#include "db/database.h"

namespace tessaline {

namespace {

constexpr char kDatabaseError[] = "Database Error";

// The delimiters of `recipient_file_delimiter`, by value.
constexpr char kChosenDelimiters[] = {0, ',', ';', '\t', '|'};

constexpr char kNoAddressColumn[] = "You must enter the address column of the recipient file.";

}  // namespace

// --- the recipient file with columns ------------------------------------------

char recipient_file_delimiter(const ProjectValues& project) {
  int chosen = kDelimiterDetect;
  project.number(kFieldRecipientFileDelimiter, &chosen);
  return chosen > 0 && chosen < static_cast<int>(sizeof kChosenDelimiters)
             ? kChosenDelimiters[chosen]
             : 0;
}

int read_recipient_file_header(DelimitedFile& file, const ProjectValues& project,
                               const String& name, String* message, const char** field) {
  String column = project.text(kFieldRecipientFileColumn);
  column.trim(" \t");
  if (column.empty()) {
    *message = kNoAddressColumn;
    *field = kFieldRecipientFileColumn;
    return -1;
  }
  String error;
  if (!file.read_header(recipient_file_delimiter(project), &error)) {
    *message = error + "\n" + name;
    *field = kFieldRecipientFile;
    return -1;
  }
  int index = file.column(column);
  if (index < 0) {
    String names;
    for (const String& header : file.header()) {
      if (header.empty()) continue;
      if (!names.empty()) names += ", ";
      names += header;
    }
    *message = String::formatted(
        "The address column '%s' is not in the header row of the recipient file:\n%s\n\nIts "
        "columns are: %s",
        column.c_str(), name.c_str(), names.c_str());
    *field = kFieldRecipientFileColumn;
  }
  return index;
}

// --- TableColumns ------------------------------------------------------------

bool TableColumns::column_type(const String& name, int* sql_type) {
  const DBColumn* column = table_.columns.find(name);
  if (!column) return false;
  *sql_type = column->type;
  return true;
}

String TableColumns::quote_name(const String& name) { return database_.quote_name(name); }

bool TableColumns::hash_dates() {
  // Only the Access drivers read #date# literals.
  return database_.dbms_name().find("ACCESS", 0, false) >= 0;
}

// --- FileRow -------------------------------------------------------------------

bool FileRow::read_column(const String& name, Var& value) {
  int i = file_.column(name);
  if (i < 0) return false;
  value.set_text(i < file_.field_count() ? file_.field(i) : String());
  return true;
}

bool FileRow::write_column(const String&, int32_t, const String&, const Var&) { return false; }

String FileRow::last_error() { return "The columns of a recipient file cannot be written."; }

// --- RecipientSources ---------------------------------------------------------

bool RecipientSources::fail(const String& message, const char* field) {
  show_error(ui_, message);
  if (field) ui_.focus_field(field);
  return false;
}

bool RecipientSources::database_error() {
  database_->report_error(ui_, kDatabaseError);
  return false;
}

bool RecipientSources::prepare() {
  use_database_ = project_.flag(kFieldUseDatabase);
  table_ = nullptr;
  file_columns_ = false;
  file_done_ = false;
  addresses_.clear();
  if (use_database_) {
    if (!prepare_database()) return false;
  } else if (!prepare_lines()) {
    return false;
  }
  if (!prepare_exclusions()) return false;
  return !use_database_ || run_query();
}

DBTable* RecipientSources::check_database() {
  table_ = nullptr;
  return prepare_database() ? table_ : nullptr;
}

bool RecipientSources::prepare_database() {
  String name = project_.text(kFieldDbName);
  if (!database_) {
    ui_.error_box(String::formatted("The database '%s' cannot be used: the ODBC driver manager "
                                    "(libodbc.so.2) could not be loaded.",
                                    name.c_str()),
                  kDatabaseError);
    ui_.focus_field(kFieldUseDatabase);
    return false;
  }
  Database& db = *database_;
  // The connection stays open between sends, until the data source changes.
  if (!db.is_open() || db.data_source_name() != name) {
    if (!db.open(name)) return database_error();
  }
  String table_name = project_.text(kFieldTableName);
  if (!db.table_exists(table_name)) {
    return fail(String::formatted("The table '%s' does not exist.", table_name.c_str()),
                kFieldTableName);
  }
  db.clear_tables();
  DBTable& table = db.add_table_info(table_name);
  if (!db.load_columns(table)) return database_error();

  String order_by = project_.text(kFieldOrderBy);
  table.order_by.clear();
  if (!order_by.empty() && order_by.find_not_any(" \t\r\n") >= 0) {
    if (!table.columns.find(order_by)) {
      return fail(String::formatted("The order column '%s' does not belong to table '%s'.",
                                    order_by.c_str(), table_name.c_str()),
                  kFieldOrderBy);
    }
    table.order_by = db.quote_name(order_by);
  }
  recipient_column_ = project_.text(kFieldRecipientColumn);
  if (!table.columns.find(recipient_column_)) {
    return fail(String::formatted("The recipient column '%s' does not belong to table '%s'.",
                                  recipient_column_.c_str(), table_name.c_str()),
                kFieldRecipientColumn);
  }
  String identity = project_.text(kFieldIdentityColumn);
  if (!identity.empty() && identity.find_not_any(" \t\r\n") >= 0 &&
      !table.columns.find(identity)) {
    return fail(String::formatted("The identity column '%s' does not belong to table '%s'.",
                                  identity.c_str(), table_name.c_str()),
                kFieldIdentityColumn);
  }
  table_ = &table;
  return true;
}

bool RecipientSources::read_list(const char* use_file, const char* file, const char* use_text,
                                 const char* typed, const char* message, String* text) {
  text->clear();
  if (project_.flag(use_file)) {
    String name = project_.text(file);
    if (!read_whole_file(name, *text)) return fail(message + name, file);
    // Editors on other systems start a UTF-8 file with a byte-order mark;
    // left in, it would spoil the first address, and an exclusion spoilt so
    // would let its address through.
    if (text->starts_with("\xEF\xBB\xBF")) text->remove_first(3);
  }
  if (project_.flag(use_text)) {
    text->trim_right(" \t\r\n");
    if (!text->empty()) *text += '\n';
    *text += project_.text(typed);
  }
  return true;
}

bool RecipientSources::prepare_lines() {
  int format = kAddressPerLine;
  project_.number(kFieldRecipientFileFormat, &format);
  if (project_.flag(kFieldUseRecipientFile) && format == kColumnsWithHeader) {
    int rows = 0;
    if (!prepare_columns(&rows)) return false;
    String typed;
    if (project_.flag(kFieldUseRecipientText)) typed = project_.text(kFieldRecipientText);
    if (rows == 0 && typed.empty()) {
      show_error(ui_, "No recipients have been specified.");
      project_.show_folder("Recipients");
      return false;
    }
    lines_ = LineCursor(std::move(typed));
    file_columns_ = true;
    return true;
  }
  String text;
  if (!read_list(kFieldUseRecipientFile, kFieldRecipientFile, kFieldUseRecipientText,
                 kFieldRecipientText, "Unable to open recipient file:\n", &text)) {
    return false;
  }
  if (text.empty()) {
    show_error(ui_, "No recipients have been specified.");
    project_.show_folder("Recipients");
    return false;
  }
  lines_ = LineCursor(std::move(text));
  return true;
}

bool RecipientSources::prepare_columns(int* rows) {
  file_name_ = project_.text(kFieldRecipientFile);
  // Before the file is opened: a missing file is the second thing to mend.
  if (is_blank(project_.text(kFieldRecipientFileColumn))) {
    return fail(kNoAddressColumn, kFieldRecipientFileColumn);
  }
  if (!open_columns()) return false;
  // Once through, so that a file that breaks off stops the send before
  // anything is sent.
  String error;
  *rows = 0;
  for (;;) {
    switch (file_.next(&error)) {
      case DelimitedFile::Row::kRow:
        ++*rows;
        continue;
      case DelimitedFile::Row::kError:
        return fail(error + "\n" + file_name_, kFieldRecipientFile);
      case DelimitedFile::Row::kEnd:
        break;
    }
    break;
  }
  return open_columns();
}

bool RecipientSources::open_columns() {
  String error;
  if (!file_.open(file_name_, &error)) {
    return fail("Unable to open recipient file:\n" + file_name_, kFieldRecipientFile);
  }
  const char* field = nullptr;
  address_column_ = read_recipient_file_header(file_, project_, file_name_, &error, &field);
  if (address_column_ < 0) return fail(error, field);
  named_width_ = 0;
  for (int i = 0; i < file_.header().count(); ++i) {
    if (!file_.header()[i].empty()) named_width_ = i + 1;
  }
  return true;
}

RecipientSources::Next RecipientSources::next_file_row(String* candidate, String* error) {
  String reason;
  switch (file_.next(&reason)) {
    case DelimitedFile::Row::kEnd:
      file_done_ = true;
      return Next::kEnd;
    case DelimitedFile::Row::kError:
      file_done_ = true;
      *error = reason + "\n" + file_name_;
      return Next::kFileError;
    case DelimitedFile::Row::kRow:
      break;
  }
  int fields = file_.field_count();
  int width = file_.header().count();
  long long line = static_cast<long long>(file_.line());
  *candidate = address_column_ < fields ? file_.field(address_column_) : String();
  // A field too few or too many usually means the columns have shifted:
  // the message would greet the person with their city.
  if (fields < named_width_) {
    *error = String::formatted("SHORT ROW (line %lld has %d of the header's %d fields)", line,
                               fields, width);
    return Next::kFaultyRow;
  }
  for (int i = width; i < fields; ++i) {
    if (!file_.field(i).empty()) {
      *error = String::formatted("LONG ROW (line %lld has %d fields, the header %d)", line,
                                 fields, width);
      return Next::kFaultyRow;
    }
  }
  return Next::kCandidate;
}

bool RecipientSources::prepare_exclusions() {
  String text;
  if (!read_list(kFieldUseExclusionFile, kFieldExclusionFile, kFieldUseExclusionText,
                 kFieldExclusionText, "Unable to open exclusion file:\n", &text)) {
    return false;
  }
  addresses_.add_exclusions(text);
  return true;
}

bool RecipientSources::run_query() {
  TableColumns columns(*database_, *table_);
  String where;
  if (!build_where_text(project_, columns, ui_, &where)) return false;
  database_->set_filter(where);
  if (!database_->load_all(table_->name, DBClause())) return database_error();
  return true;
}

RecipientSources::Next RecipientSources::next(String* candidate, String* error) {
  if (!use_database_) {
    if (file_columns_ && !file_done_) {
      Next next = next_file_row(candidate, error);
      if (next != Next::kEnd) return next;
    }
    return lines_.next(candidate) ? Next::kCandidate : Next::kEnd;
  }
  if (!database_ || !database_->bulk_active()) return Next::kEnd;
  if (!database_->bulk_load_row()) {
    if (!database_->bulk_failed()) return Next::kEnd;
    *error = database_->last_error();
    return Next::kReadError;
  }
  if (!database_->get(recipient_column_, *candidate)) {
    *error = database_->last_error();
    return Next::kReadError;
  }
  return Next::kCandidate;
}

}  // namespace tessaline
