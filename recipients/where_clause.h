// where_clause.h - the WHERE text of a send's database query, built from
// the project's clause table and its custom WHERE text.
//
// Each row of the clause table that is not ignored becomes
// "<column> <operator> <value>", the rows joined by "\nAND ", and the
// custom text (`where`) is appended as typed, in parentheses after rows
// ("\nAND (" text "\n)"), so that it narrows what they chose. A value is
// written by its column's type: an empty value is NULL, text is quoted
// with its single quotes doubled, a date or time is put between "#"
// (data sources that read that form) or quoted like text, and a number
// must look like one. Columns come from ClauseColumns, so this is testable
// without a database; recipient_sources.h adapts the database layer.
//
// Not for: the SELECT around it (db/database.h composes that).
//
// Failures: a row that names no column, no operator or an unknown column,
// or whose value does not fit its column, is shown in an error box with
// the focus on the cell, and the result is false.
#pragma once

#include "core/string.h"
#include "core/ui.h"
#include "recipients/project_values.h"

namespace tessaline {

// What the WHERE text needs to know of the recipient table.
class ClauseColumns {
 public:
  virtual ~ClauseColumns() = default;
  // The ODBC SQL data type code of the column (SQL_VARCHAR = 12, ...);
  // false when the table has no column of that name.
  virtual bool column_type(const String& name, int* sql_type) = 0;
  // The column's name as SQL text: in square brackets when it holds a
  // blank or a hyphen, or in the data source's own identifier quotes.
  virtual String quote_name(const String& name) = 0;
  // Whether date and time values are written between "#" characters; data
  // sources that do not read that form get them as quoted text.
  virtual bool hash_dates() = 0;
};

// "=", "<>", "<=", ">=", "<", ">" for 1-6; null otherwise.
const char* clause_operator_text(int op);

// The value of a clause as SQL text for a column of the given type. False
// when the value cannot stand for that type (a number column given text
// that is not a number, or any value that would end its own literal).
bool format_clause_value(int sql_type, const String& value, bool hash_dates, String* sql);

// Builds the WHERE text into *where (emptied first). Shows the first
// problem with its message and cell focus and returns false.
bool build_where_text(ProjectValues& project, ClauseColumns& columns, Ui& ui, String* where);

}  // namespace tessaline
