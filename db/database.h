// database.h - the program's one ODBC connection and its table registry.
//
// Database holds the connection to one data source chosen by name, a
// registry of DBTables with their DBColumns read from the data source's
// catalogue, and the one open result set (a "bulk load") whose current row
// the data-tag processor and the recipient gathering read. It writes the
// SQL for keyed reads, whole-table reads, updates and inserts in the dialect
// of the data source: names in square brackets where the data source takes
// them (SQLite, SQL Server, Access), elsewhere quoted with the driver's own
// identifier quote character.
//
// Values written into the data source (Database::set, insert) are always
// bound as parameters of the column's type, never pasted into SQL text; a
// value that is not a valid one for its column is refused with a message.
// Key values are integers. The filter is the project's own condition text
// and is used as written.
//
// Not for: more than one connection at a time, threads, transactions.
//
// Failures: every operation that returns bool returns false after it set
// the last error: the driver's diagnostic (when there is one), two line
// breaks, then the layer's own message. report_error shows it. Breaking an
// internal rule (registering a table twice) is a FatalError.
#pragma once

#include <sql.h>

#include "core/containers.h"
#include "core/string.h"
#include "core/var.h"

namespace tessaline {

class Ui;

// One column as the catalogue describes it.
struct DBColumn {
  String name;
  int type = 0;        // ODBC SQL data type code (SQL_VARCHAR, SQL_INTEGER, ...)
  int length = 0;      // the catalogue's LENGTH
  bool nullable = false;
  int position = 0;    // 1-based in the current result set, 0 when not selected
};

// A key index of a table: the column whose value the clause gives.
struct DBIndex {
  String column;
};

// A registered table.
struct DBTable {
  String name;            // as registered; used in messages
  String alias;           // what SQL calls it: the alias, or the name
  Vector<DBIndex> indices;
  // ORDER BY text as written into SQL, empty for none; names in it go
  // through Database::quote_name.
  String order_by;
  String omitted_column;  // a column inserts leave out (an auto-number)
  HashTable<DBColumn> columns;  // in catalogue order; empty until load_columns

  int index_count() const { return indices.count(); }
  int column_count() const { return columns.count(); }
};

// Integer values of the leading key indices of a table, in index order.
struct DBClause {
  Vector<int> values;
  DBClause() = default;
  DBClause(std::initializer_list<int> v) : values(v) {}
};

// Mask bits of list_tables.
enum TableTypeBits {
  kTableTypeTable = 1,
  kTableTypeView = 2,
  kTableTypeSystemTable = 4,
  kTableTypeGlobalTemporary = 8,
  kTableTypeLocalTemporary = 16,
  kTableTypeAlias = 32,
  kTableTypeSynonym = 64,
  // What the program offers the user: everything except system tables.
  kTableTypesOffered = 0x7B,
};

// The comma-separated type list SQLTables is given for a mask.
String table_type_list(int mask);

class Database {
 public:
  Database();
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // --- connection ---
  // Connects to data source `name` without prompting (no driver can show a
  // window here); user and password are added when given.
  bool open(const String& name, const char* user = nullptr, const char* password = nullptr);
  bool close();
  bool is_open() const { return main_.handle != SQL_NULL_HSTMT; }
  const String& data_source_name() const { return data_source_name_; }
  bool transactions_supported() const { return transactions_supported_; }
  // What the driver reported as the DBMS name, and whether names are
  // written in square brackets for it.
  const String& dbms_name() const { return dbms_name_; }
  bool uses_brackets() const { return brackets_; }

  // --- catalogue ---
  bool list_data_sources(Vector<String>& names);
  bool list_tables(Vector<String>& names, int type_mask);
  bool table_exists(const String& name);

  // --- table registry ---
  // A second registration of one name is a fatal error.
  DBTable& add_table_info(const String& name, const char* alias = nullptr);
  // Empties the registry.
  void clear_tables();
  static void add_index(DBTable& table, const String& column);
  static void clear_indices(DBTable& table);
  DBTable* find_table(const char* name);
  bool load_columns(DBTable& table);
  bool column_names(const String& table_name, Vector<String>& names);
  void set_default_table(const String& name) { default_table_ = name; }
  const String& default_table() const { return default_table_; }

  // A condition joined with " AND " to every generated row condition.
  void set_filter(const String& filter) { filter_ = filter; }
  const String& filter() const { return filter_; }

  // A name as SQL text for this data source.
  String quote_name(const String& name) const;
  // Orders the table's bulk loads by one of its columns, in ascending order.
  void set_order_column(DBTable& table, const String& column) const {
    table.order_by = column.empty() ? String() : quote_name(column);
  }

  // --- reading ---
  bool bulk_load(DBTable* table, const DBClause& clause, const Vector<String>* columns);
  bool load_all(const String& table_name, const DBClause& clause);
  bool bulk_load_row();
  bool bulk_active() const { return main_.bulk.active; }
  // bulk_load_row returned false because the driver failed, not because
  // the rows ran out; the last error says why.
  bool bulk_failed() const { return main_.bulk.failed; }
  bool get(const String& column, String& text);
  bool bulk_get(int position, Var& value);
  bool bulk_get(const String& column, Var& value);
  bool bulk_get_all(Vector<Var>& values);
  bool bulk_modify(int position, const Var& value);
  bool bulk_modify(const String& column, const Var& value);
  bool has_column(const String& name) const;
  // The table of the current bulk load, or null.
  DBTable* bulk_table() const { return main_.bulk.table; }

  // --- writing ---
  bool set(const Var& value, DBTable* table, const String& column, const DBClause& clause);
  bool insert(DBTable& table, const DBClause& keys, const Vector<String>& columns,
              const Vector<Var>& values);
  bool execute(const String& sql);
  void set_create_missing_rows(bool on) { create_missing_rows_ = on; }

  bool push_statement();
  bool pop_statement();

  bool parse_field(const String& text, String& table, String& column);

  // --- errors ---
  const String& last_error() const { return last_error_; }
  void clear_error() { last_error_.clear(); }
  // Sets the last error to a message of the caller's (no diagnostic).
  void set_error_message(const String& message) { last_error_ = message; }
  // Shows the last error in a box with `title` and OK; nothing when there
  // is none.
  void report_error(Ui& ui, const char* title);
  // Where break-on-error shows its box before the program stops.
  void set_break_on_error(bool on, Ui* ui = nullptr) {
    break_on_error_ = on;
    break_ui_ = ui;
  }

 private:
  struct BulkState {
    DBTable* table = nullptr;
    bool active = false;
    bool failed = false;            // the last fetch failed (not: ended)
    Vector<DBColumn> columns;       // the selected columns, in order
    HashTable<int> result_columns;  // name -> 1-based position
    Vector<Var> row;                // the current row's values
  };
  struct Statement {
    SQLHSTMT handle = SQL_NULL_HSTMT;
    BulkState bulk;
  };
  // A value ready to be bound as a statement parameter.
  struct Parameter;

  bool set_error(const char* message, SQLHSTMT statement = SQL_NULL_HSTMT);
  bool set_error_text(const String& message, SQLHSTMT statement = SQL_NULL_HSTMT);
  String diagnostic(SQLHSTMT statement) const;
  bool require_open();
  bool allocate_statement(SQLHSTMT& statement);
  void free_statement(SQLHSTMT& statement);
  void reset_bulk(BulkState& bulk);
  bool key_condition(DBTable& table, const DBClause& clause, bool with_filter,
                     String& condition);
  bool execute_bound(const String& sql, Vector<Parameter>& parameters);
  bool read_row(BulkState& bulk);
  bool check_bulk_position(int position, const char* call);
  bool make_parameter(const Var& value, const DBColumn& column, Parameter& parameter);
  const DBColumn* find_column(DBTable& table, const String& column);
  void detect_dialect();

  SQLHDBC connection_ = SQL_NULL_HDBC;
  Statement main_;
  Stack<Statement> saved_;
  SQLHSTMT catalogue_ = SQL_NULL_HSTMT;
  String data_source_name_;
  String dbms_name_;
  bool brackets_ = true;
  char quote_char_ = '"';
  bool transactions_supported_ = false;
  HashTable<DBTable> tables_;
  String default_table_;
  String filter_;
  String last_error_;
  bool break_on_error_ = false;
  Ui* break_ui_ = nullptr;
  bool create_missing_rows_ = true;
};

// The program's one connection.
Database& database();

}  // namespace tessaline
