// odbc_library.cpp - dlopen of the driver manager and its entry-point table.
#include "db/odbc_library.h"

#include <dlfcn.h>

#include <cstdlib>

namespace tessaline {
namespace {

OdbcEntryPoints g_entry_points;
void* g_library = nullptr;
SQLHENV g_environment = SQL_NULL_HENV;
bool g_available = false;
bool g_exit_registered = false;
void (*g_release_hook)() = nullptr;

void release_at_exit() { release_gdb(); }

}  // namespace

#define TESSALINE_ODBC_ROW(name) {#name, offsetof(OdbcEntryPoints, name), true}

// Every entry point is optional: the code that needs one checks for it.
const OdbcEntryPointRow kOdbcEntryPointTable[] = {
    TESSALINE_ODBC_ROW(SQLAllocConnect),   TESSALINE_ODBC_ROW(SQLAllocEnv),
    TESSALINE_ODBC_ROW(SQLAllocStmt),      TESSALINE_ODBC_ROW(SQLBindCol),
    TESSALINE_ODBC_ROW(SQLBindParameter),  TESSALINE_ODBC_ROW(SQLBulkOperations),
    TESSALINE_ODBC_ROW(SQLColumns),        TESSALINE_ODBC_ROW(SQLDataSources),
    TESSALINE_ODBC_ROW(SQLDisconnect),     TESSALINE_ODBC_ROW(SQLDriverConnect),
    TESSALINE_ODBC_ROW(SQLEndTran),        TESSALINE_ODBC_ROW(SQLError),
    TESSALINE_ODBC_ROW(SQLExecDirect),     TESSALINE_ODBC_ROW(SQLExecute),
    TESSALINE_ODBC_ROW(SQLExtendedFetch),  TESSALINE_ODBC_ROW(SQLFetch),
    TESSALINE_ODBC_ROW(SQLFreeConnect),    TESSALINE_ODBC_ROW(SQLFreeEnv),
    TESSALINE_ODBC_ROW(SQLFreeHandle),     TESSALINE_ODBC_ROW(SQLFreeStmt),
    TESSALINE_ODBC_ROW(SQLGetData),        TESSALINE_ODBC_ROW(SQLGetInfo),
    TESSALINE_ODBC_ROW(SQLGetTypeInfo),    TESSALINE_ODBC_ROW(SQLPrepare),
    TESSALINE_ODBC_ROW(SQLSetConnectAttr), TESSALINE_ODBC_ROW(SQLSetConnectOption),
    TESSALINE_ODBC_ROW(SQLSetStmtAttr),    TESSALINE_ODBC_ROW(SQLSetStmtOption),
    TESSALINE_ODBC_ROW(SQLTables),
};
const int kOdbcEntryPointCount =
    static_cast<int>(sizeof(kOdbcEntryPointTable) / sizeof(kOdbcEntryPointTable[0]));
static_assert(sizeof(kOdbcEntryPointTable) / sizeof(kOdbcEntryPointTable[0]) ==
              sizeof(OdbcEntryPoints) / sizeof(void*));

bool iniz_gdb(const char* library) {
  if (g_available) return true;
  release_gdb();
  g_library = dlopen(library ? library : kOdbcLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!g_library) return false;

  for (int i = 0; i < kOdbcEntryPointCount; ++i) {
    const OdbcEntryPointRow& row = kOdbcEntryPointTable[i];
    void* address = dlsym(g_library, row.name);
    if (!address && !row.optional) {
      release_gdb();
      return false;
    }
    *reinterpret_cast<void**>(reinterpret_cast<char*>(&g_entry_points) + row.offset) = address;
  }

  if (!g_entry_points.SQLAllocEnv || g_entry_points.SQLAllocEnv(&g_environment) != SQL_SUCCESS) {
    g_environment = SQL_NULL_HENV;
    release_gdb();
    return false;
  }
  if (!g_exit_registered) {
    std::atexit(release_at_exit);
    g_exit_registered = true;
  }
  g_available = true;
  return true;
}

bool database_available() { return g_available; }

const OdbcEntryPoints& odbc() { return g_entry_points; }

SQLHENV odbc_environment() { return g_environment; }

void set_odbc_release_hook(void (*hook)()) { g_release_hook = hook; }

void release_gdb() {
  if (g_available && g_release_hook) g_release_hook();
  if (g_environment != SQL_NULL_HENV && g_entry_points.SQLFreeEnv) {
    SQLRETURN r = g_entry_points.SQLFreeEnv(g_environment);
    // An environment that will not go still has connections that use the
    // library: leave both alone rather than unload code in use.
    if (r != SQL_SUCCESS && r != SQL_SUCCESS_WITH_INFO) return;
  }
  g_environment = SQL_NULL_HENV;
  g_entry_points = OdbcEntryPoints();
  g_available = false;
  // The library itself stays mapped until the process ends: drivers and
  // their libraries may still have exit handlers in it.
  g_library = nullptr;
}

}  // namespace tessaline
