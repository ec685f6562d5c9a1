// database.cpp - connection, catalogue, SQL text and the current row.
#include "db/database.h"

#include <sqlext.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/fatal_error.h"
#include "core/ui.h"
#include "core/var.h"
#include "db/odbc_library.h"

namespace tessaline {
namespace {

bool succeeded(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

const char* index_word(int n) { return n == 1 ? "index" : "indices"; }

// How a column's values are read into a Var.
enum class ReadAs { kText, kBoolean, kInteger, kDouble, kDate, kTime, kTimestamp, kUnknown };

ReadAs read_class(int type) {
  switch (type) {
    case SQL_WVARCHAR:
    case SQL_WCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_GUID:
    case SQL_LONGVARBINARY:
    case SQL_VARBINARY:
    case SQL_BINARY:
    case SQL_LONGVARCHAR:
    case SQL_CHAR:
    case SQL_VARCHAR:
      return ReadAs::kText;
    case SQL_BIT:
      return ReadAs::kBoolean;
    case SQL_TINYINT:
    case SQL_BIGINT:
    case SQL_INTEGER:
    case SQL_SMALLINT:
      return ReadAs::kInteger;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return ReadAs::kDouble;
    case SQL_DATE:
    case SQL_TYPE_DATE:
      return ReadAs::kDate;
    case SQL_TIME:
    case SQL_TYPE_TIME:
      return ReadAs::kTime;
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP:
      return ReadAs::kTimestamp;
    default:
      return ReadAs::kUnknown;
  }
}

// Reads one text column of the current row; false on a driver error.
bool read_text(SQLHSTMT statement, int position, String& text, bool& is_null) {
  text.clear();
  is_null = false;
  char buffer[1024];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN r = odbc().SQLGetData(statement, static_cast<SQLUSMALLINT>(position), SQL_C_CHAR,
                                    buffer, sizeof buffer, &indicator);
    if (r == SQL_NO_DATA) return true;
    if (!succeeded(r)) return false;
    if (indicator == SQL_NULL_DATA) {
      is_null = true;
      return true;
    }
    if (r == SQL_SUCCESS_WITH_INFO &&
        (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer))) {
      // Truncated: the buffer holds its size less the terminator; more follows.
      text.append(buffer, static_cast<int>(sizeof buffer) - 1);
      continue;
    }
    // A driver that cannot tell the length (SQL_NO_TOTAL) still ends the
    // text with a terminator.
    int n = indicator >= 0 && indicator < static_cast<SQLLEN>(sizeof buffer)
                ? static_cast<int>(indicator)
                : static_cast<int>(strnlen(buffer, sizeof buffer - 1));
    text.append(buffer, n);
    return true;
  }
}

// The first entry point a connection cannot do without that the driver
// manager lacks, or null when it has them all.
const char* missing_entry_point() {
  const OdbcEntryPoints& api = odbc();
  const struct {
    const char* name;
    bool present;
  } needed[] = {
      {"SQLAllocConnect", api.SQLAllocConnect != nullptr},
      {"SQLDriverConnect", api.SQLDriverConnect != nullptr},
      {"SQLDisconnect", api.SQLDisconnect != nullptr},
      {"SQLFreeConnect", api.SQLFreeConnect != nullptr},
      {"SQLAllocStmt", api.SQLAllocStmt != nullptr},
      {"SQLFreeStmt", api.SQLFreeStmt != nullptr},
      {"SQLExecDirect", api.SQLExecDirect != nullptr},
      {"SQLFetch", api.SQLFetch != nullptr},
      {"SQLGetData", api.SQLGetData != nullptr},
      {"SQLTables", api.SQLTables != nullptr},
      {"SQLColumns", api.SQLColumns != nullptr},
  };
  for (const auto& entry : needed)
    if (!entry.present) return entry.name;
  return nullptr;
}

Database* g_database = nullptr;

void close_database_at_release() {
  if (g_database) g_database->close();
}

}  // namespace

String table_type_list(int mask) {
  static const char* const kWords[] = {"TABLE,",           "VIEW,",  "SYSTEM TABLE,",
                                       "GLOBAL TEMPORARY,", "LOCAL TEMPORARY,", "ALIAS,",
                                       "SYNONYM,"};
  String list;
  for (int bit = 0; bit < 7; ++bit)
    if (mask & (1 << bit)) list += kWords[bit];
  list.strip_trailing(',');
  return list;
}

// A value bound to a parameter marker of the statement being run.
struct Database::Parameter {
  SQLSMALLINT c_type = SQL_C_CHAR;
  SQLSMALLINT sql_type = SQL_VARCHAR;
  SQLULEN column_size = 1;
  SQLSMALLINT digits = 0;
  String text;
  SQLBIGINT integer = 0;
  DATE_STRUCT date{};
  TIME_STRUCT time{};
  TIMESTAMP_STRUCT stamp{};
  SQLLEN indicator = 0;

  SQLPOINTER buffer() {
    switch (c_type) {
      case SQL_C_SBIGINT: return &integer;
      case SQL_C_DATE: return &date;
      case SQL_C_TIME: return &time;
      case SQL_C_TIMESTAMP: return &stamp;
      default: return const_cast<char*>(text.c_str());
    }
  }
};

Database& database() {
  if (!g_database) {
    // Never destroyed: release_gdb closes it while the library is loaded.
    g_database = new Database();
    set_odbc_release_hook(close_database_at_release);
  }
  return *g_database;
}

Database::Database() { tables_.init(200); }

Database::~Database() {
  if (g_database == this) g_database = nullptr;
  close();
}

// --- errors ----------------------------------------------------------------

String Database::diagnostic(SQLHSTMT statement) const {
  if (!odbc().SQLError || odbc_environment() == SQL_NULL_HENV) return String();
  SQLCHAR state[6] = {0};
  SQLINTEGER native = 0;
  SQLCHAR message[512] = {0};
  SQLSMALLINT length = 0;
  SQLRETURN r = odbc().SQLError(odbc_environment(), connection_, statement, state, &native,
                                message, sizeof message, &length);
  if (!succeeded(r)) return String();
  String text = String::formatted("Error Code: %d, Native State: %s\n",
                                  static_cast<int>(native), reinterpret_cast<char*>(state));
  String driver_text(reinterpret_cast<char*>(message));
  // The driver's bracketed prefix ("[unixODBC][Driver Manager]") stands on
  // a line of its own.
  int bracket = driver_text.rfind(']');
  if (bracket >= 0) driver_text.insert(bracket + 1, '\n');
  text += driver_text;
  return text;
}

bool Database::set_error_text(const String& message, SQLHSTMT statement) {
  // Only a failing statement has a diagnostic of its own; the connection's
  // records may be notices left from connecting.
  String text = statement != SQL_NULL_HSTMT ? diagnostic(statement) : String();
  if (!text.empty()) text += "\n\n";
  text += message;
  last_error_ = text;
  if (break_on_error_) {
    if (break_ui_) {
      break_ui_->error_box(
          String("The following ODBC error has occurred.  The program will now enter the "
                 "debugger because Database::set_break_on_error(true) has been called.\n\n") +
              last_error_,
          "ODBC Error");
    }
    FatalError("%s", last_error_.c_str());
  }
  return false;
}

bool Database::set_error(const char* message, SQLHSTMT statement) {
  return set_error_text(String(message), statement);
}

void Database::report_error(Ui& ui, const char* title) {
  if (last_error_.empty()) return;
  ui.error_box(last_error_, title);
}

bool Database::require_open() {
  if (is_open()) return true;
  return set_error("Database not open");
}

// --- connection ------------------------------------------------------------

bool Database::allocate_statement(SQLHSTMT& statement) {
  statement = SQL_NULL_HSTMT;
  if (!odbc().SQLAllocStmt || !succeeded(odbc().SQLAllocStmt(connection_, &statement))) {
    statement = SQL_NULL_HSTMT;
    return set_error("Unable to allocate statement handle");
  }
  if (odbc().SQLSetStmtOption) {
    // Hints: a driver that cannot honour one keeps its own default.
    odbc().SQLSetStmtOption(statement, SQL_CURSOR_TYPE, SQL_CURSOR_KEYSET_DRIVEN);
    odbc().SQLSetStmtOption(statement, SQL_QUERY_TIMEOUT, 5);
    odbc().SQLSetStmtOption(statement, SQL_NOSCAN, SQL_NOSCAN_ON);
  }
  return true;
}

void Database::free_statement(SQLHSTMT& statement) {
  if (statement == SQL_NULL_HSTMT) return;
  if (!odbc().SQLFreeStmt || !succeeded(odbc().SQLFreeStmt(statement, SQL_DROP))) {
    set_error("free_statement() error", statement);
  }
  statement = SQL_NULL_HSTMT;
}

void Database::reset_bulk(BulkState& bulk) {
  bulk.table = nullptr;
  bulk.active = false;
  bulk.columns.clear();
  bulk.result_columns.clear();
  bulk.row.clear();
  bulk.failed = false;
}

bool Database::open(const String& name, const char* user, const char* password) {
  if (odbc_environment() == SQL_NULL_HENV) {
    return set_error(
        "Database::open() was called but the iniz_gdb() function has never been called");
  }
  close();
  String failure = String::formatted("Unable to open data source '%s'", name.c_str());
  // Every entry point is optional when the library is loaded; a connection
  // is made only when those it will call are all there.
  if (const char* missing = missing_entry_point()) {
    return set_error_text(String::formatted("The ODBC driver manager does not provide %s.",
                                            missing) + "\n\n" + failure);
  }
  // Neither the driver manager nor every driver honours braces around a
  // value, so a value that would end its attribute is refused rather than
  // let it add attributes of its own (another driver, another file).
  const struct {
    const char* what;
    const char* value;
  } parts[] = {{"data source name", name.c_str()}, {"user name", user}, {"password", password}};
  for (const auto& part : parts) {
    if (part.value && std::strpbrk(part.value, ";{}")) {
      return set_error_text(String::formatted("The %s may not contain \";\", \"{\" or \"}\".",
                                              part.what) +
                            "\n\n" + failure);
    }
  }
  if (!succeeded(odbc().SQLAllocConnect(odbc_environment(), &connection_))) {
    connection_ = SQL_NULL_HDBC;
    return set_error_text(failure);
  }
  if (odbc().SQLSetConnectOption) odbc().SQLSetConnectOption(connection_, SQL_LOGIN_TIMEOUT, 10);

  String connect = "DSN=" + name + ";";
  if (user) connect = connect + "UID=" + user + ";";
  if (password) connect = connect + "PWD=" + password + ";";
  // No driver can prompt in a window here: what is missing is an error.
  SQLRETURN r = odbc().SQLDriverConnect(
      connection_, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connect.c_str())),
      SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  if (!succeeded(r)) {
    String text = diagnostic(SQL_NULL_HSTMT);
    if (odbc().SQLFreeConnect) odbc().SQLFreeConnect(connection_);
    connection_ = SQL_NULL_HDBC;
    if (!text.empty()) text += "\n\n";
    text += failure;
    return set_error_text(text);
  }

  if (!allocate_statement(main_.handle) || !allocate_statement(catalogue_)) {
    String reason = last_error_;
    close();
    return set_error_text(reason + "\n\n" + failure);
  }
  data_source_name_ = name;
  transactions_supported_ = false;
  if (odbc().SQLGetInfo) {
    SQLUSMALLINT capable = 0;
    if (succeeded(odbc().SQLGetInfo(connection_, SQL_TXN_CAPABLE, &capable, sizeof capable,
                                    nullptr))) {
      transactions_supported_ = capable == SQL_TC_ALL;
    }
  }
  detect_dialect();
  return true;
}

void Database::detect_dialect() {
  dbms_name_.clear();
  brackets_ = true;
  quote_char_ = '"';
  if (!odbc().SQLGetInfo) return;
  char text[256] = {0};
  SQLSMALLINT length = 0;
  if (succeeded(odbc().SQLGetInfo(connection_, SQL_DBMS_NAME, text, sizeof text, &length))) {
    dbms_name_ = text;
  }
  // Data sources that read [name] keep the brackets; every other one gets
  // its own identifier quote.
  brackets_ = dbms_name_.find("SQLite", 0, false) >= 0 ||
              dbms_name_.find("SQL Server", 0, false) >= 0 ||
              dbms_name_.find("ACCESS", 0, false) >= 0;
  char quote[8] = {0};
  if (succeeded(odbc().SQLGetInfo(connection_, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote,
                                  &length))) {
    quote_char_ = quote[0] == ' ' ? 0 : quote[0];
  }
}

bool Database::close() {
  bool ok = true;
  auto drop = [&](SQLHSTMT& statement) {
    if (statement == SQL_NULL_HSTMT) return;
    free_statement(statement);
    if (statement != SQL_NULL_HSTMT) ok = false;
  };
  String error_before = last_error_;
  while (!saved_.empty()) {
    Statement s = saved_.pop();
    drop(s.handle);
  }
  drop(main_.handle);
  drop(catalogue_);
  if (last_error_ != error_before) ok = false;
  if (connection_ != SQL_NULL_HDBC) {
    if (!odbc().SQLDisconnect || !succeeded(odbc().SQLDisconnect(connection_))) {
      ok = set_error("Unable to disconnect from database");
    }
    if (!odbc().SQLFreeConnect || !succeeded(odbc().SQLFreeConnect(connection_))) {
      ok = set_error("Unable to free database connection");
    }
    connection_ = SQL_NULL_HDBC;
  }
  reset_bulk(main_.bulk);
  return ok;
}

// --- catalogue -------------------------------------------------------------

bool Database::list_data_sources(Vector<String>& names) {
  names.clear();
  if (odbc_environment() == SQL_NULL_HENV || !odbc().SQLDataSources) return true;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    // unixODBC allows names longer than the classic 32 bytes.
    SQLCHAR name[256] = {0};
    SQLCHAR description[256] = {0};
    SQLSMALLINT name_length = 0, description_length = 0;
    SQLRETURN r = odbc().SQLDataSources(odbc_environment(), direction, name, sizeof name,
                                        &name_length, description, sizeof description,
                                        &description_length);
    if (!succeeded(r)) break;
    names.append(String(reinterpret_cast<char*>(name)));
    direction = SQL_FETCH_NEXT;
  }
  return true;
}

bool Database::list_tables(Vector<String>& names, int type_mask) {
  names.clear();
  if (!require_open()) return false;
  String types = table_type_list(type_mask);
  odbc().SQLFreeStmt(main_.handle, SQL_CLOSE);
  odbc().SQLFreeStmt(main_.handle, SQL_UNBIND);
  reset_bulk(main_.bulk);
  if (!odbc().SQLTables) return set_error("Unable to list the tables");
  SQLRETURN r = odbc().SQLTables(main_.handle, nullptr, 0, nullptr, 0, nullptr, 0,
                                 reinterpret_cast<SQLCHAR*>(const_cast<char*>(types.c_str())),
                                 static_cast<SQLSMALLINT>(types.length()));
  if (!succeeded(r)) return set_error("Unable to list the tables", main_.handle);
  for (;;) {
    r = odbc().SQLFetch(main_.handle);
    if (r == SQL_NO_DATA) break;
    if (!succeeded(r)) {
      set_error("Unable to list the tables", main_.handle);
      odbc().SQLFreeStmt(main_.handle, SQL_CLOSE);
      return false;
    }
    String name;
    bool is_null = false;
    if (read_text(main_.handle, 3, name, is_null) && !is_null) names.append(name);
  }
  odbc().SQLFreeStmt(main_.handle, SQL_CLOSE);
  return true;
}

bool Database::table_exists(const String& name) {
  if (!require_open()) return false;
  odbc().SQLFreeStmt(catalogue_, SQL_CLOSE);
  SQLRETURN r = odbc().SQLTables(catalogue_, nullptr, 0, nullptr, 0,
                                 reinterpret_cast<SQLCHAR*>(const_cast<char*>(name.c_str())),
                                 static_cast<SQLSMALLINT>(name.length()), nullptr, 0);
  bool found = succeeded(r) && succeeded(odbc().SQLFetch(catalogue_));
  odbc().SQLFreeStmt(catalogue_, SQL_CLOSE);
  return found;
}

// --- table registry --------------------------------------------------------

DBTable& Database::add_table_info(const String& name, const char* alias) {
  if (tables_.find(name)) FatalError("Duplicate call to Database::add_table_info(%s)", name.c_str());
  DBTable& table = tables_.add_bucket(name);
  table.name = name;
  table.alias = alias ? String(alias) : name;
  table.columns.init(32);
  return table;
}

void Database::clear_tables() {
  // Results that point into the registry are forgotten with it.
  reset_bulk(main_.bulk);
  for (int i = 0; i < saved_.count(); ++i) reset_bulk(saved_[i].bulk);
  tables_.init(200);
}

void Database::add_index(DBTable& table, const String& column) {
  if (column.empty()) return;
  table.indices.append().column = column;
}

void Database::clear_indices(DBTable& table) { table.indices.clear(); }

DBTable* Database::find_table(const char* name) {
  if (!name) {
    set_error("find_table(NULL)");
    return nullptr;
  }
  DBTable* table = tables_.find(String(name));
  if (!table) set_error_text(String::formatted("Invalid table: '%s'", name));
  return table;
}

bool Database::load_columns(DBTable& table) {
  if (table.column_count() > 0) return true;
  if (!require_open()) return false;
  odbc().SQLFreeStmt(catalogue_, SQL_CLOSE);
  odbc().SQLFreeStmt(catalogue_, SQL_UNBIND);
  if (!odbc().SQLColumns) {
    return set_error_text(
        String::formatted("Unable to get column info for table '%s'", table.name.c_str()));
  }
  SQLRETURN r = odbc().SQLColumns(
      catalogue_, nullptr, 0, nullptr, 0,
      reinterpret_cast<SQLCHAR*>(const_cast<char*>(table.alias.c_str())),
      static_cast<SQLSMALLINT>(table.alias.length()), nullptr, 0);
  if (r == SQL_INVALID_HANDLE) {
    return set_error("Internal error: load_columns() is using an invalid handle");
  }
  if (!succeeded(r)) {
    return set_error_text(
        String::formatted("Unable to get column info for table '%s'", table.name.c_str()),
        catalogue_);
  }
  // The table name is a search pattern ("_" matches any character) and
  // several schemas may hold a table of that name: the columns of the table
  // whose name matches exactly win, and a name is taken once.
  struct Row {
    String table;
    DBColumn column;
  };
  Vector<Row> rows;
  bool exact = false;
  for (;;) {
    r = odbc().SQLFetch(catalogue_);
    if (!succeeded(r)) break;
    Row& row = rows.append();
    bool is_null = false;
    read_text(catalogue_, 3, row.table, is_null);
    read_text(catalogue_, 4, row.column.name, is_null);
    SQLSMALLINT type = 0, nullable = 0;
    SQLINTEGER length = 0;
    SQLLEN indicator = 0;
    odbc().SQLGetData(catalogue_, 5, SQL_C_SSHORT, &type, 0, &indicator);
    odbc().SQLGetData(catalogue_, 8, SQL_C_SLONG, &length, 0, &indicator);
    odbc().SQLGetData(catalogue_, 11, SQL_C_SSHORT, &nullable, 0, &indicator);
    row.column.type = type;
    row.column.length = length;
    row.column.nullable = nullable == SQL_NULLABLE;
    if (row.table == table.alias) exact = true;
  }
  odbc().SQLFreeStmt(catalogue_, SQL_CLOSE);
  for (const Row& row : rows) {
    if (exact && row.table != table.alias) continue;
    if (row.column.name.empty() || table.columns.find(row.column.name)) continue;
    table.columns.add_bucket(row.column.name) = row.column;
  }
  if (table.column_count() == 0) {
    return set_error_text(
        String::formatted("Database does not recognize table '%s'", table.name.c_str()));
  }
  return true;
}

bool Database::column_names(const String& table_name, Vector<String>& names) {
  names.clear();
  DBTable* table = find_table(table_name.c_str());
  if (!table || !load_columns(*table)) return false;
  for (const auto& entry : table->columns) names.append(entry.key);
  return true;
}

const DBColumn* Database::find_column(DBTable& table, const String& column) {
  const DBColumn* found = table.columns.find(column);
  if (!found) {
    set_error_text(String::formatted("Column '%s' does not exist in table '%s'", column.c_str(),
                                     table.name.c_str()));
  }
  return found;
}

String Database::quote_name(const String& name) const {
  if (brackets_) {
    if (name.find_any(" -") < 0) return name;
    String quoted("[");
    for (char c : name) {
      quoted += c;
      if (c == ']') quoted += ']';
    }
    quoted += ']';
    return quoted;
  }
  // Names come from the catalogue with their exact case, so they are always
  // quoted: a bare name would be folded to the server's case.
  if (!quote_char_) return name;
  String quoted;
  quoted += quote_char_;
  for (char c : name) {
    quoted += c;
    if (c == quote_char_) quoted += c;
  }
  quoted += quote_char_;
  return quoted;
}

// --- SQL text --------------------------------------------------------------

bool Database::key_condition(DBTable& table, const DBClause& clause, bool with_filter,
                             String& condition) {
  condition.clear();
  for (int i = 0; i < table.index_count(); ++i) {
    if (i >= clause.values.count()) continue;
    if (!condition.empty()) condition += " AND ";
    condition += quote_name(table.indices[i].column);
    condition.append_format(" = %d", clause.values[i]);
  }
  if (with_filter && !filter_.empty()) {
    if (!condition.empty()) condition += " AND ";
    condition += filter_;
  }
  return true;
}

bool Database::execute(const String& sql) {
  Vector<Parameter> none;
  return execute_bound(sql, none);
}

bool Database::execute_bound(const String& sql, Vector<Parameter>& parameters) {
  if (!require_open()) return false;
  odbc().SQLFreeStmt(main_.handle, SQL_UNBIND);
  odbc().SQLFreeStmt(main_.handle, SQL_CLOSE);
  odbc().SQLFreeStmt(main_.handle, SQL_RESET_PARAMS);
  reset_bulk(main_.bulk);
  SQLCHAR* text = reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str()));
  SQLRETURN r;
  if (parameters.empty()) {
    r = odbc().SQLExecDirect ? odbc().SQLExecDirect(main_.handle, text, SQL_NTS) : SQL_ERROR;
  } else {
    if (!odbc().SQLPrepare || !odbc().SQLBindParameter || !odbc().SQLExecute) {
      return set_error("The ODBC driver manager cannot bind parameters");
    }
    r = odbc().SQLPrepare(main_.handle, text, SQL_NTS);
    for (int i = 0; succeeded(r) && i < parameters.count(); ++i) {
      Parameter& p = parameters[i];
      r = odbc().SQLBindParameter(main_.handle, static_cast<SQLUSMALLINT>(i + 1),
                                  SQL_PARAM_INPUT, p.c_type, p.sql_type, p.column_size,
                                  p.digits, p.buffer(),
                                  p.c_type == SQL_C_CHAR ? p.text.length() + 1 : 0,
                                  &p.indicator);
    }
    if (succeeded(r)) r = odbc().SQLExecute(main_.handle);
  }
  if (succeeded(r) || r == SQL_NO_DATA) return true;
  return set_error_text(sql.substr(0, 2000), main_.handle);
}

// --- reading ---------------------------------------------------------------

bool Database::bulk_load(DBTable* table, const DBClause& clause, const Vector<String>* columns) {
  reset_bulk(main_.bulk);
  if (!table) return set_error("bulk_load() received no table");
  if (!columns) {
    return set_error_text(String::formatted("bulk_load(%s) receive a NULL value for 'columns'",
                                            table->name.c_str()));
  }
  if (!require_open()) return false;
  if (clause.values.count() > table->index_count()) {
    return set_error_text(String::formatted(
        "Table '%s' only requires %d %s, but %d were specified", table->name.c_str(),
        table->index_count(), index_word(table->index_count()), clause.values.count()));
  }
  String condition;
  key_condition(*table, clause, true, condition);
  if (!load_columns(*table)) return false;
  if (columns->empty()) {
    return set_error_text(
        String::formatted("bulk_load(%s) received no columns", table->name.c_str()));
  }
  Vector<DBColumn> selected;
  String sql("SELECT ");
  for (int i = 0; i < columns->count(); ++i) {
    const DBColumn* column = find_column(*table, (*columns)[i]);
    if (!column) return false;
    if (i > 0) sql += ", ";
    sql += quote_name(column->name);
    selected.append(*column).position = i + 1;
  }
  sql += " FROM ";
  sql += quote_name(table->alias);
  if (!condition.empty()) sql += "\r\nWHERE " + condition;
  String order = table->order_by;
  order.trim();
  if (!order.empty()) sql += "\r\nORDER BY " + table->order_by;
  if (!execute(sql)) return false;

  BulkState& bulk = main_.bulk;
  bulk.table = table;
  bulk.columns = std::move(selected);
  bulk.result_columns.init(64);
  for (const DBColumn& column : bulk.columns) {
    // A column selected twice answers to its first position.
    if (!bulk.result_columns.find(column.name)) {
      bulk.result_columns.add_bucket(column.name) = column.position;
    }
  }
  bulk.row.set_count(bulk.columns.count());
  bulk.active = true;
  return true;
}

bool Database::load_all(const String& table_name, const DBClause& clause) {
  DBTable* table = find_table(table_name.c_str());
  if (!table || !load_columns(*table)) return false;
  Vector<String> names;
  for (const auto& entry : table->columns) names.append(entry.key);
  return bulk_load(table, clause, &names);
}

bool Database::bulk_load_row() {
  BulkState& bulk = main_.bulk;
  if (!bulk.active) return set_error("bulk_load_row() should not have been called");
  SQLRETURN r = odbc().SQLFetch(main_.handle);
  if (succeeded(r) && read_row(bulk)) return true;
  String table_name = bulk.table ? bulk.table->name : String();
  if (r != SQL_NO_DATA) {
    set_error_text(
        String::formatted("Unable to read the next row of table '%s'", table_name.c_str()),
        main_.handle);
  }
  bool failed = r != SQL_NO_DATA;
  bulk.table = nullptr;
  bulk.active = false;
  bulk.failed = failed;
  odbc().SQLFreeStmt(main_.handle, SQL_UNBIND);
  odbc().SQLFreeStmt(main_.handle, SQL_CLOSE);
  return false;
}

// Fills the row buffer from the current row: each column read in the form
// its type calls for.
bool Database::read_row(BulkState& bulk) {
  SQLHSTMT statement = main_.handle;
  for (int i = 0; i < bulk.columns.count(); ++i) {
    const DBColumn& column = bulk.columns[i];
    Var& value = bulk.row[i];
    value = Var();
    SQLUSMALLINT position = static_cast<SQLUSMALLINT>(i + 1);
    SQLLEN indicator = 0;
    SQLRETURN r = SQL_SUCCESS;
    switch (read_class(column.type)) {
      case ReadAs::kText: {
        String text;
        bool is_null = false;
        if (!read_text(statement, position, text, is_null)) return false;
        if (!is_null) value.set_text(text);
        continue;
      }
      case ReadAs::kBoolean: {
        unsigned char bit = 0;
        r = odbc().SQLGetData(statement, position, SQL_C_BIT, &bit, 0, &indicator);
        if (succeeded(r) && indicator != SQL_NULL_DATA) value.set_bool(bit != 0);
        break;
      }
      case ReadAs::kInteger: {
        SQLBIGINT n = 0;
        r = odbc().SQLGetData(statement, position, SQL_C_SBIGINT, &n, 0, &indicator);
        if (succeeded(r) && indicator != SQL_NULL_DATA) {
          // A value beyond 32 bits stays exact as a number rather than wrap.
          if (n >= INT32_MIN && n <= INT32_MAX) {
            value.set_int32(static_cast<int>(n));
          } else {
            value.set_double(static_cast<double>(n));
          }
        }
        break;
      }
      case ReadAs::kDouble: {
        double d = 0;
        r = odbc().SQLGetData(statement, position, SQL_C_DOUBLE, &d, 0, &indicator);
        if (succeeded(r) && indicator != SQL_NULL_DATA) value.set_double(d);
        break;
      }
      case ReadAs::kDate: {
        DATE_STRUCT d{};
        r = odbc().SQLGetData(statement, position, SQL_C_DATE, &d, 0, &indicator);
        if (succeeded(r) && indicator != SQL_NULL_DATA) value.set_date(make_date(d.month, d.day, d.year));
        break;
      }
      case ReadAs::kTime: {
        TIME_STRUCT t{};
        r = odbc().SQLGetData(statement, position, SQL_C_TIME, &t, 0, &indicator);
        if (succeeded(r) && indicator != SQL_NULL_DATA) {
          DateTime dt;
          dt.hour = t.hour;
          dt.minute = t.minute;
          dt.second = t.second;
          value.set_date_time(dt);
        }
        break;
      }
      case ReadAs::kTimestamp: {
        TIMESTAMP_STRUCT t{};
        r = odbc().SQLGetData(statement, position, SQL_C_TIMESTAMP, &t, 0, &indicator);
        if (succeeded(r) && indicator != SQL_NULL_DATA) {
          DateTime dt;
          dt.date = make_date(t.month, t.day, t.year);
          dt.hour = t.hour;
          dt.minute = t.minute;
          dt.second = t.second;
          value.set_date_time(dt);
        }
        break;
      }
      case ReadAs::kUnknown:
        // Not read: bulk_get reports the type when the value is asked for.
        continue;
    }
    if (!succeeded(r) && r != SQL_NO_DATA) return false;
  }
  return true;
}

bool Database::has_column(const String& name) const {
  return main_.bulk.result_columns.find(name) != nullptr;
}

bool Database::check_bulk_position(int position, const char* call) {
  if (!main_.bulk.active) {
    return set_error_text(String::formatted("%s() should not have been called", call));
  }
  if (position < 1 || position > main_.bulk.columns.count()) {
    return set_error_text(String::formatted("%s() received bad index %d", call, position));
  }
  return true;
}

bool Database::bulk_get(int position, Var& value) {
  if (!check_bulk_position(position, "bulk_get")) return false;
  const DBColumn& column = main_.bulk.columns[position - 1];
  if (read_class(column.type) == ReadAs::kUnknown) {
    return set_error_text(String::formatted("Unrecognized database data type %d", column.type));
  }
  value = main_.bulk.row[position - 1];
  return true;
}

bool Database::bulk_get(const String& column, Var& value) {
  const int* position = main_.bulk.result_columns.find(column);
  if (!position) return set_error_text(String::formatted("Illegal column: %s", column.c_str()));
  return bulk_get(*position, value);
}

bool Database::get(const String& column, String& text) {
  Var value;
  if (!bulk_get(column, value)) return false;
  text = value.as_text();
  return true;
}

bool Database::bulk_get_all(Vector<Var>& values) {
  values.clear();
  if (!check_bulk_position(1, "bulk_get")) return false;
  for (int i = 1; i <= main_.bulk.columns.count(); ++i) {
    Var value;
    if (!bulk_get(i, value)) return false;
    values.append(value);
  }
  return true;
}

bool Database::bulk_modify(int position, const Var& value) {
  if (!check_bulk_position(position, "bulk_modify")) return false;
  main_.bulk.row[position - 1] = value;
  return true;
}

bool Database::bulk_modify(const String& column, const Var& value) {
  const int* position = main_.bulk.result_columns.find(column);
  if (!position) return set_error_text(String::formatted("Illegal column: %s", column.c_str()));
  return bulk_modify(*position, value);
}

// --- writing ---------------------------------------------------------------

namespace {

// "2024-03-05", "2024-03-05 14:30" or "2024-03-05 14:30:15" (a "T" may
// stand for the blank): the form databases print dates in.
bool read_iso_date_time(const String& text, DateTime& result) {
  int y = 0, mo = 0, d = 0, h = -1, mi = -1, s = -1;
  char separator = 0;
  int consumed = 0;
  String t = text;
  t.trim();
  if (std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &consumed) != 3) return false;
  if (consumed == 10 && t.length() > 10) {
    int more = 0;
    if (std::sscanf(t.c_str() + 10, "%c%2d:%2d%n", &separator, &h, &mi, &more) != 3 ||
        (separator != ' ' && separator != 'T')) {
      return false;
    }
    consumed += more;
    s = 0;
    if (t.char_at(consumed) == ':') {
      int more_seconds = 0;
      if (std::sscanf(t.c_str() + consumed, ":%2d%n", &s, &more_seconds) != 1) return false;
      consumed += more_seconds;
    }
  }
  if (consumed != t.length()) return false;
  result = DateTime();
  result.date = make_date(mo, d, y);
  result.hour = h;
  result.minute = mi;
  result.second = s;
  return true;
}

// An integer written in decimal digits with an optional sign and nothing else.
bool parse_integer(const String& text, long long& n) {
  String t = text;
  t.trim();
  if (t.empty()) return false;
  int start = (t.first() == '-' || t.first() == '+') ? 1 : 0;
  if (start == t.length()) return false;
  for (int i = start; i < t.length(); ++i)
    if (!is_digit(t[i])) return false;
  errno = 0;
  char* end = nullptr;
  n = std::strtoll(t.c_str(), &end, 10);
  return errno == 0;
}

// A decimal number: sign, digits, point, digits, exponent; no hex, no
// infinities.
bool parse_number(const String& text, String& normalized) {
  String t = text;
  t.trim();
  if (t.empty() || t.find_not_any("0123456789+-.eE") >= 0) return false;
  errno = 0;
  char* end = nullptr;
  double d = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.length() || errno != 0 || !std::isfinite(d)) return false;
  normalized = t;
  return true;
}

}  // namespace

bool Database::make_parameter(const Var& value, const DBColumn& column, Parameter& p) {
  p = Parameter();
  p.sql_type = static_cast<SQLSMALLINT>(column.type);
  ReadAs as = read_class(column.type);
  auto refuse = [&](const char* what) {
    return set_error_text(String::formatted(
        "The value \"%s\" is not a valid %s for the column '%s'.", value.as_text().c_str(), what,
        column.name.c_str()));
  };
  auto bind_null = [&]() {
    p.c_type = SQL_C_CHAR;
    if (as == ReadAs::kUnknown) p.sql_type = SQL_VARCHAR;
    p.indicator = SQL_NULL_DATA;
    return true;
  };
  // An empty value is NULL: no value, an empty text, a date that is not
  // one. A number is a number, zero included.
  VarKind kind = value.kind();
  if (kind == kKindEmpty) return bind_null();
  if (kind == kKindText && value.as_text().empty()) return bind_null();
  if (kind == kKindDate && value.is_empty()) return bind_null();

  switch (as) {
    case ReadAs::kText:
    case ReadAs::kUnknown:
      p.c_type = SQL_C_CHAR;
      if (as == ReadAs::kUnknown) p.sql_type = SQL_VARCHAR;
      p.text = value.as_text();
      p.column_size = p.text.length() > 0 ? p.text.length() : 1;
      p.indicator = p.text.length();
      return true;
    case ReadAs::kBoolean:
    case ReadAs::kInteger: {
      long long n = 0;
      if (kind == kKindInteger) {
        n = value.type() == kTypeUInt32 ? static_cast<long long>(value.as_uint32())
                                        : value.as_int();
      } else if (kind == kKindFloating) {
        double d = value.as_double();
        if (d != std::trunc(d) || std::fabs(d) > 9.2e18) return refuse("whole number");
        n = static_cast<long long>(d);
      } else if (kind != kKindText || !parse_integer(value.as_text(), n)) {
        return refuse("whole number");
      }
      if (as == ReadAs::kBoolean && n != 0 && n != 1) return refuse("Boolean (0 or 1)");
      p.c_type = SQL_C_SBIGINT;
      p.integer = n;
      p.column_size = 19;
      return true;
    }
    case ReadAs::kDouble: {
      String number;
      if (kind == kKindInteger || kind == kKindFloating) {
        number = value.as_text();
      } else if (kind != kKindText || !parse_number(value.as_text(), number)) {
        return refuse("number");
      }
      // Sent as its decimal text so that NUMERIC columns keep every digit.
      p.c_type = SQL_C_CHAR;
      p.text = number;
      p.column_size = column.length > 0 ? column.length : 38;
      if (p.column_size < static_cast<SQLULEN>(number.length())) p.column_size = number.length();
      p.digits = 0;
      if (int point = number.find('.'); point >= 0) {
        p.digits = static_cast<SQLSMALLINT>(number.length() - point - 1);
      }
      p.indicator = number.length();
      return true;
    }
    case ReadAs::kDate:
    case ReadAs::kTime:
    case ReadAs::kTimestamp: {
      DateTime dt;
      if (kind == kKindDate) {
        dt = value.as_date_time();
      } else if (kind == kKindText) {
        if (!read_iso_date_time(value.as_text(), dt)) dt = value.as_date_time();
      } else if (kind == kKindInteger && (value.type() == kTypeInt32 || value.type() == kTypeUInt32)) {
        dt.date = value.as_date();
      }
      bool time_set = !(dt.hour == -1 && dt.minute == -1 && dt.second == -1);
      bool time_ok = dt.hour >= 0 && dt.hour <= 23 && dt.minute >= 0 && dt.minute <= 59 &&
                     dt.second >= 0 && dt.second <= 59;
      if (as == ReadAs::kTime) {
        if (!time_ok) return refuse("time");
        p.c_type = SQL_C_TIME;
        p.sql_type = SQL_TIME;
        p.time = {static_cast<SQLUSMALLINT>(dt.hour), static_cast<SQLUSMALLINT>(dt.minute),
                  static_cast<SQLUSMALLINT>(dt.second)};
        p.column_size = 8;
        return true;
      }
      if (!is_valid_date(dt.date) || (time_set && !time_ok)) return refuse("date");
      if (!time_set) dt.hour = dt.minute = dt.second = 0;
      if (as == ReadAs::kDate) {
        p.c_type = SQL_C_DATE;
        p.sql_type = SQL_DATE;
        p.date = {static_cast<SQLSMALLINT>(dt.date.year), static_cast<SQLUSMALLINT>(dt.date.month),
                  static_cast<SQLUSMALLINT>(dt.date.day)};
        p.column_size = 10;
        return true;
      }
      p.c_type = SQL_C_TIMESTAMP;
      p.sql_type = SQL_TIMESTAMP;
      p.stamp = {static_cast<SQLSMALLINT>(dt.date.year), static_cast<SQLUSMALLINT>(dt.date.month),
                 static_cast<SQLUSMALLINT>(dt.date.day),  static_cast<SQLUSMALLINT>(dt.hour),
                 static_cast<SQLUSMALLINT>(dt.minute),    static_cast<SQLUSMALLINT>(dt.second),
                 0};
      p.column_size = 19;
      return true;
    }
  }
  return refuse("value");
}

bool Database::set(const Var& value, DBTable* table, const String& column_name,
                   const DBClause& clause) {
  if (!table) return set_error("Database::set(NULL table)");
  if (column_name.empty()) {
    return set_error_text(
        String::formatted("Database::set() invalid column: \"%s\"", column_name.c_str()));
  }
  if (clause.values.count() != table->index_count()) {
    return set_error_text(String::formatted(
        "Table '%s' requires %d %s but %d were specified", table->name.c_str(),
        table->index_count(), index_word(table->index_count()), clause.values.count()));
  }
  if (!require_open() || !load_columns(*table)) return false;
  const DBColumn* column = find_column(*table, column_name);
  if (!column) return false;
  // Checked before anything is written, so that a refused value leaves no
  // half-made row behind.
  Vector<Parameter> parameters;
  if (!make_parameter(value, *column, parameters.append())) return false;

  // The row is the one the key names; the recipients' filter chose which
  // rows to read, and a write must not miss its row (and insert another)
  // because an earlier write changed a filtered column.
  String condition;
  key_condition(*table, clause, false, condition);
  if (!condition.empty()) condition = "\r\nWHERE " + condition;

  String sql = String::formatted("SELECT %s FROM %s%s", quote_name(column->name).c_str(),
                                 quote_name(table->alias).c_str(), condition.c_str());
  if (!execute(sql)) return false;
  SQLRETURN r = odbc().SQLFetch(main_.handle);
  odbc().SQLFreeStmt(main_.handle, SQL_CLOSE);
  if (!succeeded(r)) {
    if (r != SQL_NO_DATA) return set_error_text(sql.substr(0, 2000), main_.handle);
    if (!create_missing_rows_) {
      return set_error_text(String::formatted(
          "Attempt to set a value in a non-existant record for table '%s'", table->name.c_str()));
    }
    if (!insert(*table, clause, Vector<String>(), Vector<Var>())) return false;
  }
  sql = String::formatted("UPDATE %s\r\nSET %s = ?%s", quote_name(table->alias).c_str(),
                          quote_name(column->name).c_str(), condition.c_str());
  return execute_bound(sql, parameters);
}

bool Database::insert(DBTable& table, const DBClause& keys, const Vector<String>& columns,
                      const Vector<Var>& values) {
  TESSALINE_CHECK(columns.count() == values.count(), "Gdb");
  if (!require_open() || !load_columns(table)) return false;
  String names, markers;
  Vector<Parameter> parameters;
  auto add_name = [&](const String& name) {
    if (!names.empty()) {
      names += ", ";
      markers += ", ";
    }
    names += quote_name(name);
  };
  for (int i = 0; i < table.index_count() && i < keys.values.count(); ++i) {
    if (table.indices[i].column == table.omitted_column) continue;
    add_name(table.indices[i].column);
    markers.append_format("%d", keys.values[i]);
  }
  for (int i = 0; i < columns.count(); ++i) {
    if (columns[i].empty()) continue;
    const DBColumn* column = find_column(table, columns[i]);
    if (!column || !make_parameter(values[i], *column, parameters.append())) return false;
    add_name(column->name);
    markers += "?";
  }
  String sql;
  if (names.empty()) {
    sql.format("INSERT INTO %s DEFAULT VALUES", quote_name(table.alias).c_str());
  } else {
    sql.format("INSERT INTO %s(%s) VALUES(%s)", quote_name(table.alias).c_str(), names.c_str(),
               markers.c_str());
  }
  return execute_bound(sql, parameters);
}

// --- statements ------------------------------------------------------------

bool Database::push_statement() {
  if (!require_open()) return false;
  SQLHSTMT fresh = SQL_NULL_HSTMT;
  if (!allocate_statement(fresh)) return false;
  saved_.push(std::move(main_));
  main_ = Statement();
  main_.handle = fresh;
  return true;
}

bool Database::pop_statement() {
  if (saved_.empty()) return set_error("pop_statement() was called without push_statement()");
  free_statement(main_.handle);
  main_ = saved_.pop();
  return true;
}

bool Database::parse_field(const String& text, String& table, String& column) {
  table.clear();
  column.clear();
  if (text.empty()) {
    return set_error_text(String::formatted("Invalid database field: (\"%s\")", text.c_str()));
  }
  int period = text.find('.');
  if (period < 0) {
    if (default_table_.empty()) {
      return set_error_text(String::formatted("Database field '%s' has no period", text.c_str()));
    }
    table = default_table_;
    column = text;
    return true;
  }
  table = text.substr(0, period);
  column = text.substr(period + 1);
  if (table.empty()) {
    return set_error_text(
        String::formatted("Database field '%s' has no table name", text.c_str()));
  }
  if (column.empty()) {
    return set_error_text(
        String::formatted("Database field '%s' has no column name", text.c_str()));
  }
  return true;
}

}  // namespace tessaline
