// database_row.cpp - column writes of the data tags.
#include "db/database_row.h"

namespace tessaline {

bool DatabaseRow::write_column(const String& identity_column, int32_t identity,
                               const String& column, const Var& value) {
  DBTable* table = db_.bulk_table();
  if (!table) {
    db_.set_error_message("There is no current database row to write to.");
    return false;
  }
  // The table's keys become the identity column alone for this write, and
  // are given back afterwards.
  Vector<DBIndex> keys = std::move(table->indices);
  Database::clear_indices(*table);
  Database::add_index(*table, identity_column);
  bool written = false;
  if (db_.push_statement()) {
    written = db_.set(value, table, column, DBClause{identity});
    String error = db_.last_error();
    db_.pop_statement();
    if (!written) db_.set_error_message(error);
  }
  table->indices = std::move(keys);
  return written && db_.bulk_modify(column, value);
}

}  // namespace tessaline
