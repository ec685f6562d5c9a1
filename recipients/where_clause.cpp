// where_clause.cpp - the WHERE text from the clause table.
#include "recipients/where_clause.h"

namespace tessaline {

namespace {

// ODBC SQL data type codes (sql.h, sqlext.h, sqlucode.h).
constexpr int kChar = 1, kVarchar = 12, kLongVarchar = -1, kWChar = -8, kWVarchar = -9,
              kWLongVarchar = -10;
constexpr int kDate = 9, kTime = 10, kTimestamp = 11, kTypeDate = 91, kTypeTime = 92,
              kTypeTimestamp = 93;
constexpr int kBit = -7, kTinyInt = -6, kBigInt = -5, kInteger = 4, kSmallInt = 5,
              kNumeric = 2, kDecimal = 3, kFloat = 6, kReal = 7, kDouble = 8;

bool is_character_type(int type) {
  return type == kChar || type == kVarchar || type == kLongVarchar || type == kWChar ||
         type == kWVarchar || type == kWLongVarchar;
}

bool is_date_type(int type) {
  return type == kDate || type == kTime || type == kTimestamp || type == kTypeDate ||
         type == kTypeTime || type == kTypeTimestamp;
}

bool is_number_type(int type) {
  return type == kBit || type == kTinyInt || type == kBigInt || type == kInteger ||
         type == kSmallInt || type == kNumeric || type == kDecimal || type == kFloat ||
         type == kReal || type == kDouble;
}

// A decimal number: sign, digits with at most one point, an exponent.
bool is_number_text(const String& text) {
  int i = 0, n = text.length();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  int digits = 0;
  bool point = false;
  for (; i < n; ++i) {
    if (is_digit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    int exponent_digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == n;
}

// A word that any SQL reads as one token: letters, digits, "_", ".",
// "+", "-" (TRUE, 0x1F, 2.5e3, an enumeration's name).
bool is_plain_token(const String& text) {
  for (char c : text) {
    if (!is_letter_or_digit(c) && c != '_' && c != '.' && c != '+' && c != '-') return false;
  }
  return true;
}

String quoted(const String& value) {
  String sql("'");
  for (char c : value) {
    sql += c;
    if (c == '\'') sql += '\'';
  }
  sql += '\'';
  return sql;
}

bool fail_at(ProjectValues& project, Ui& ui, int row, const char* cell, const String& message) {
  show_error(ui, message);
  project.focus_clause_cell(row, cell);
  return false;
}

}  // namespace

const char* clause_operator_text(int op) {
  static const char* const kOperators[] = {"=", "<>", "<=", ">=", "<", ">"};
  if (op < 1 || op > 6) return nullptr;
  return kOperators[op - 1];
}

bool format_clause_value(int sql_type, const String& value, bool hash_dates, String* sql) {
  if (value.empty()) {
    *sql = "NULL";
    return true;
  }
  if (is_character_type(sql_type)) {
    *sql = quoted(value);
    return true;
  }
  if (is_date_type(sql_type)) {
    if (!hash_dates) {
      *sql = quoted(value);
      return true;
    }
    // "#" has no escape inside a date literal.
    if (value.contains('#')) return false;
    *sql = "#" + value + "#";
    return true;
  }
  if (is_number_type(sql_type)) {
    // BIT columns also take TRUE and FALSE.
    if (!is_number_text(value) && !(sql_type == kBit && is_plain_token(value))) return false;
    *sql = value;
    return true;
  }
  // Any other type is used as typed, as long as it stays one token.
  if (!is_plain_token(value)) return false;
  *sql = value;
  return true;
}

bool build_where_text(ProjectValues& project, ClauseColumns& columns, Ui& ui, String* where) {
  where->clear();
  int rows = project.clause_count();
  for (int row = 0; row < rows; ++row) {
    ClauseRow clause = project.clause(row);
    if (clause.ignore) continue;
    int number = row + 1;
    if (clause.column.empty()) {
      return fail_at(project, ui, row, kClauseColumn,
                     String::formatted("The clause on row %d has no column name.", number));
    }
    const char* op = clause_operator_text(clause.op);
    if (!op) {
      return fail_at(project, ui, row, kClauseOperator,
                     String::formatted("The clause on row %d has no operator.", number));
    }
    int type = 0;
    if (!columns.column_type(clause.column, &type)) {
      return fail_at(project, ui, row, kClauseColumn,
                     String::formatted("The clause on row %d contains an invalid column: \"%s\".",
                                       number, clause.column.c_str()));
    }
    String value;
    if (!format_clause_value(type, clause.value, columns.hash_dates(), &value)) {
      return fail_at(project, ui, row, kClauseValue,
                     String::formatted("The clause on row %d has an invalid value: \"%s\".",
                                       number, clause.value.c_str()));
    }
    if (!where->empty()) *where += "\nAND ";
    where->append_format("%s %s %s", columns.quote_name(clause.column).c_str(), op,
                         value.c_str());
  }
  String custom = project.text(kFieldWhere);
  if (!custom.empty()) {
    if (where->empty()) {
      *where = custom;
    } else {
      // In parentheses, so that an OR of the typed text cannot reach past
      // the clauses and take in rows they leave out; the line break keeps
      // a trailing "--" comment from swallowing the closing parenthesis.
      *where += "\nAND (" + custom + "\n)";
    }
  }
  return true;
}

}  // namespace tessaline
