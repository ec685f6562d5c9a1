// database_lists.h - the lists behind the main window's database
// drop-downs: the system's data sources, the tables of the chosen data
// source, and the columns of the chosen table.
//
// The loading rules:
//   1. Data sources: loaded when the window is built and by "Refresh list".
//   2. Tables: loaded the first time they are asked for after the data
//      source changed, over the program's one connection (db/database.h),
//      which is made to the data source when it is not open on it.
//   3. Columns: loaded once for the table, the same way, with the busy
//      cursor; used by the column drop-downs, the clause table's Column
//      cells and Insert database column.
//   4. The data source changed: the connection is closed and the table and
//      column lists are forgotten.
//   5. The table changed: the column list is forgotten.
// The lists are kept for the source and table they were loaded for, so a
// request for another source or table loads again even when the window
// did not report the change.
//
// Not for: widgets (the window clears its drop-downs' choices when told
// to by these rules), or the send's own use of the connection.
//
// Failures: a list that cannot be loaded shows the database layer's text
// in a box captioned "Database Error" and is empty; the next request tries
// again. Without the ODBC driver manager every list is empty and nothing
// is shown.
#pragma once

#include "core/containers.h"
#include "core/string.h"
#include "core/ui.h"

namespace tessaline {

class Database;

class DatabaseLists {
 public:
  // `database` is null when the ODBC driver manager could not be loaded.
  DatabaseLists(Database* database, Ui& ui);

  // Rule 1.
  void load_data_sources();
  const Vector<String>& data_sources() const { return sources_; }

  // Rule 2: the tables of `source`; false after the error box.
  bool load_tables(const String& source);
  const Vector<String>& tables() const { return tables_; }

  // Rule 3: the columns of `table` of `source`; false after the error box.
  bool load_columns(const String& source, const String& table);
  const Vector<String>& columns() const { return columns_; }

  // Rules 4 and 5.
  void data_source_changed();
  void table_changed();

 private:
  bool connect(const String& source);
  bool fail();

  Database* database_;
  Ui& ui_;
  Vector<String> sources_;
  Vector<String> tables_;
  Vector<String> columns_;
  bool tables_loaded_ = false;
  bool columns_loaded_ = false;
  String tables_source_;   // what tables_ was loaded for
  String columns_source_;  // what columns_ was loaded for
  String columns_table_;
};

}  // namespace tessaline
