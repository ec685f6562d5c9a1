// database_row.h - the data-tag processor's current row, on the database.
//
// DatabaseRow is the MergeRow the send hands to the data-tag processor: the
// row the recipients' bulk load stands on. Column tags read it; a [[let]] on
// a column writes the value to that row, found by its identity column, on a
// statement of its own so that the recipients' query stays open, and then
// into the row's buffer so that later tags see the new value.
//
// Not for: choosing or moving the row (the recipient gathering does that
// with Database::bulk_load and bulk_load_row).
//
// Failures: a write that fails changes nothing, neither the data source nor
// the row's buffer, and last_error() holds the database layer's text.
#pragma once

#include <cstdint>

#include "core/string.h"
#include "core/var.h"
#include "db/database.h"
#include "merge/merge_ports.h"

namespace tessaline {

class DatabaseRow : public MergeRow {
 public:
  explicit DatabaseRow(Database& db) : db_(db) {}

  bool has_column(const String& name) override { return db_.has_column(name); }
  bool read_column(const String& name, Var& value) override { return db_.bulk_get(name, value); }
  bool writable() override { return true; }
  bool write_column(const String& identity_column, int32_t identity, const String& column,
                    const Var& value) override;
  String last_error() override { return db_.last_error(); }

 private:
  Database& db_;
};

}  // namespace tessaline
