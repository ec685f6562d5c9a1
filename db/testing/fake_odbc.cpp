// fake_odbc.cpp - a driver manager that has almost nothing, for the test
// that the program copes with missing entry points. It exports only the
// environment and connection handles.
#include <sql.h>

extern "C" {

SQLRETURN SQLAllocEnv(SQLHENV* environment) {
  static int handle;
  *environment = &handle;
  return SQL_SUCCESS;
}

SQLRETURN SQLFreeEnv(SQLHENV) { return SQL_SUCCESS; }

SQLRETURN SQLAllocConnect(SQLHENV, SQLHDBC* connection) {
  static int handle;
  *connection = &handle;
  return SQL_SUCCESS;
}

SQLRETURN SQLFreeConnect(SQLHDBC) { return SQL_SUCCESS; }

}  // extern "C"
