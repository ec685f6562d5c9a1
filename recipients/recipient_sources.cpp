// recipient_sources.cpp - preparing the sources and taking the candidates.
#include "recipients/recipient_sources.h"

#include "storage/paths.h"
#include "db/database.h"

namespace tessaline {

namespace {

constexpr char kDatabaseError[] = "Database Error";

}  // namespace

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
  addresses_.clear();
  if (use_database_) {
    if (!prepare_database()) return false;
  } else if (!prepare_lines()) {
    return false;
  }
  if (!prepare_exclusions()) return false;
  return !use_database_ || run_query();
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
  if (!use_database_) return lines_.next(candidate) ? Next::kCandidate : Next::kEnd;
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
