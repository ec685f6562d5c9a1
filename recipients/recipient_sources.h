// recipient_sources.h - where the candidates of a send come from: a query
// on a database table, or the lines of a recipient file and the typed
// list; and the exclusions they are judged against.
//
// prepare() runs the checks and reads the sources in their fixed order
// (database checks, or the recipient file and list; the exclusions; the
// WHERE text and the query), showing the first problem in an error box
// with the focus on its field. next() then yields one candidate text at a
// time: a database row's recipient column, or a list line.
//
// Not for: judging candidates (candidate.h) or the send log.
//
// Failures: prepare() returns false after it has shown its message (a
// database error in a box captioned "Database Error"); next() reports a
// database read error with the database's text and ends the candidates.
#pragma once

#include "core/string.h"
#include "core/ui.h"
#include "merge/merge_ports.h"
#include "recipients/candidate.h"
#include "recipients/delimited_file.h"
#include "recipients/project_values.h"
#include "recipients/where_clause.h"

namespace tessaline {

class Database;
struct DBTable;

// The columns of a registered table of the database layer.
class TableColumns : public ClauseColumns {
 public:
  TableColumns(Database& database, DBTable& table) : database_(database), table_(table) {}
  bool column_type(const String& name, int* sql_type) override;
  String quote_name(const String& name) override;
  bool hash_dates() override;

 private:
  Database& database_;
  DBTable& table_;
};

// The current row of a recipient file with columns, as the data tags read
// it: every named header column, as text; a column the row lacks reads as
// empty text. Nothing can be written.
class FileRow : public MergeRow {
 public:
  explicit FileRow(const DelimitedFile& file) : file_(file) {}
  bool has_column(const String& name) override { return file_.column(name) >= 0; }
  bool read_column(const String& name, Var& value) override;
  bool writable() override { return false; }
  bool write_column(const String& identity_column, int32_t identity, const String& column,
                    const Var& value) override;
  String last_error() override;

 private:
  const DelimitedFile& file_;
};

// The delimiter `recipient_file_delimiter` chooses; 0 detects it from the
// header row.
char recipient_file_delimiter(const ProjectValues& project);
// Reads the header row of the recipient file with columns, opened in `file`
// from `name`, with the project's delimiter, and returns the index of the
// project's address column (`recipient_file_column`). -1 when no column is
// named, the header cannot be read or lacks the column: then *message is
// the person's message (naming the file) and *field the field to mend.
int read_recipient_file_header(DelimitedFile& file, const ProjectValues& project,
                               const String& name, String* message, const char** field);

class RecipientSources {
 public:
  // `database` is the program's connection, null when the database layer
  // is not available.
  RecipientSources(ProjectValues& project, Ui& ui, Database* database)
      : project_(project), ui_(ui), database_(database) {}

  bool prepare();
  // The database part of prepare() alone: connects to the data source
  // named by `db_name` and checks `table_name`, `order_by`,
  // `recipient_col` and `identity_col`, with the same messages. Returns the
  // registered table, or null after the message.
  DBTable* check_database();

  enum class Next {
    kCandidate,
    kEnd,
    kReadError,   // the database's error text is in *error; the candidates end
    kFaultyRow,   // a file row to reject: the reason for the log is in *error
    kFileError,   // the recipient file cannot be read on: the message is in *error
  };
  Next next(String* candidate, String* error);

  bool from_database() const { return use_database_; }
  // The row of the recipient file with columns that the last candidate came
  // from, for the data tags; null when the recipients do not come from such
  // a file.
  MergeRow* file_row() { return file_columns_ ? &file_row_ : nullptr; }
  // The exclusions, and the addresses accepted so far.
  AddressTable& addresses() { return addresses_; }
  // The recipient table of the query, while it runs.
  DBTable* table() const { return table_; }

 private:
  bool prepare_database();
  bool prepare_lines();
  // Opens the recipient file with columns and checks its header and rows.
  bool prepare_columns(int* rows);
  bool open_columns();
  Next next_file_row(String* candidate, String* error);
  bool prepare_exclusions();
  bool run_query();
  // Reads the file and the typed list of one source into *text.
  bool read_list(const char* use_file, const char* file, const char* use_text,
                 const char* typed, const char* message, String* text);
  bool fail(const String& message, const char* field);
  bool database_error();

  ProjectValues& project_;
  Ui& ui_;
  Database* database_;
  bool use_database_ = false;
  DBTable* table_ = nullptr;
  String recipient_column_;
  bool file_columns_ = false;  // the candidates start with a file's rows
  bool file_done_ = false;
  String file_name_;
  int address_column_ = -1;
  int named_width_ = 0;  // the header's fields up to its last named one
  DelimitedFile file_;
  FileRow file_row_{file_};
  LineCursor lines_;
  AddressTable addresses_;
};

}  // namespace tessaline
