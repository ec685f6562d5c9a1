// odbc_library.h - the ODBC driver manager, loaded at run time.
//
// The program never links against ODBC: iniz_gdb() opens unixODBC's
// libodbc.so.2 with dlopen and resolves every entry point it uses by name
// from one table. Every entry point is optional; a missing one leaves its
// pointer null, and the code that would call it reports the fact instead of
// crashing. Only a library that cannot be loaded, or an environment that
// cannot be made, fails the start, and then the database features of the
// program stay off (database_available() is false) while everything else
// works.
//
// The ODBC headers are included for their types and constants only.
//
// Not for: anything but the driver manager. Database connections, SQL and
// diagnostics live in db/database.h.
#pragma once

#include <cstddef>

#include <sql.h>
#include <sqlext.h>

namespace tessaline {

// The entry points, resolved by name; null when the library lacks one.
struct OdbcEntryPoints {
  decltype(&::SQLAllocConnect) SQLAllocConnect = nullptr;
  decltype(&::SQLAllocEnv) SQLAllocEnv = nullptr;
  decltype(&::SQLAllocStmt) SQLAllocStmt = nullptr;
  decltype(&::SQLBindCol) SQLBindCol = nullptr;
  decltype(&::SQLBindParameter) SQLBindParameter = nullptr;
  decltype(&::SQLBulkOperations) SQLBulkOperations = nullptr;
  decltype(&::SQLColumns) SQLColumns = nullptr;
  decltype(&::SQLDataSources) SQLDataSources = nullptr;
  decltype(&::SQLDisconnect) SQLDisconnect = nullptr;
  decltype(&::SQLDriverConnect) SQLDriverConnect = nullptr;
  decltype(&::SQLEndTran) SQLEndTran = nullptr;
  decltype(&::SQLError) SQLError = nullptr;
  decltype(&::SQLExecDirect) SQLExecDirect = nullptr;
  decltype(&::SQLExecute) SQLExecute = nullptr;
  decltype(&::SQLExtendedFetch) SQLExtendedFetch = nullptr;
  decltype(&::SQLFetch) SQLFetch = nullptr;
  decltype(&::SQLFreeConnect) SQLFreeConnect = nullptr;
  decltype(&::SQLFreeEnv) SQLFreeEnv = nullptr;
  decltype(&::SQLFreeHandle) SQLFreeHandle = nullptr;
  decltype(&::SQLFreeStmt) SQLFreeStmt = nullptr;
  decltype(&::SQLGetData) SQLGetData = nullptr;
  decltype(&::SQLGetInfo) SQLGetInfo = nullptr;
  decltype(&::SQLGetTypeInfo) SQLGetTypeInfo = nullptr;
  decltype(&::SQLPrepare) SQLPrepare = nullptr;
  decltype(&::SQLSetConnectAttr) SQLSetConnectAttr = nullptr;
  decltype(&::SQLSetConnectOption) SQLSetConnectOption = nullptr;
  decltype(&::SQLSetStmtAttr) SQLSetStmtAttr = nullptr;
  decltype(&::SQLSetStmtOption) SQLSetStmtOption = nullptr;
  decltype(&::SQLTables) SQLTables = nullptr;
};

// One row of the resolution table: the exported name, the offset of its
// pointer in OdbcEntryPoints, and whether the program can do without it.
struct OdbcEntryPointRow {
  const char* name;
  size_t offset;
  bool optional;
};

// The resolution table and its length.
extern const OdbcEntryPointRow kOdbcEntryPointTable[];
extern const int kOdbcEntryPointCount;

// The library name dlopen is given when iniz_gdb has none.
inline constexpr const char* kOdbcLibrary = "libodbc.so.2";

// Loads the driver manager (`library`, or kOdbcLibrary when null), resolves
// the entry points and allocates the process-wide environment. Returns
// whether the database features can be used; the outcome is also kept in
// database_available(). Calling it again after a success does nothing and
// returns true. The library and the environment are released at exit.
bool iniz_gdb(const char* library = nullptr);

// The database-available flag: iniz_gdb has succeeded.
bool database_available();

// The loaded entry points (all null before iniz_gdb succeeds).
const OdbcEntryPoints& odbc();

// The process-wide environment handle, or SQL_NULL_HENV.
SQLHENV odbc_environment();

// Closes what the release hook closes (the program's connection), frees the
// environment and forgets the entry points; the library stays mapped until
// the process ends. Registered with atexit by iniz_gdb; tests call it to
// load another library.
void release_gdb();

// Called by release_gdb before the environment goes, so that connections
// made in it are closed while the entry points still exist.
void set_odbc_release_hook(void (*hook)());

}  // namespace tessaline
