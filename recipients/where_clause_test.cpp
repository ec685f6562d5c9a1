// Tests of the WHERE text built from the clause table.
#include "recipients/where_clause.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/recording_ui.h"
#include "recipients/test_project.h"

namespace tessaline {
namespace {

using testing::MemoryProject;

// ODBC type codes used below.
constexpr int kVarchar = 12, kWLongVarchar = -10, kInteger = 4, kDouble = 8, kBit = -7,
              kTimestamp = 93, kDate = 9, kGuid = -11;

// A table whose names need brackets when they hold a blank or a hyphen.
class FakeColumns : public ClauseColumns {
 public:
  std::map<std::string, int> types{{"email", kVarchar},   {"Last Name", kVarchar},
                                   {"notes", kWLongVarchar}, {"visits", kInteger},
                                   {"score", kDouble},     {"active", kBit},
                                   {"joined", kTimestamp}, {"born", kDate},
                                   {"e-mail-ok", kBit},    {"uid", kGuid}};
  bool hash = true;

  bool column_type(const String& name, int* sql_type) override {
    auto it = types.find(name.std_string());
    if (it == types.end()) return false;
    *sql_type = it->second;
    return true;
  }
  String quote_name(const String& name) override {
    return name.find_any(" -") >= 0 ? "[" + name + "]" : name;
  }
  bool hash_dates() override { return hash; }
};

TEST(WhereClause, ValuesAreWrittenByTheirColumnsType) {
  struct Case {
    int type;
    const char* value;
    bool hash;
    const char* sql;  // null: refused
  } cases[] = {
      {kVarchar, "", true, "NULL"},
      {kInteger, "", true, "NULL"},
      {kVarchar, "O'Brien", true, "'O''Brien'"},
      {kWLongVarchar, "it's 'quoted'", true, "'it''s ''quoted'''"},
      {kDate, "1/2/2020", true, "#1/2/2020#"},
      {kTimestamp, "2020-01-02 10:00", false, "'2020-01-02 10:00'"},
      {kTimestamp, "2020#01", true, nullptr},
      {kInteger, "-17", true, "-17"},
      {kDouble, "2.5e3", true, "2.5e3"},
      {kDouble, ".5", true, ".5"},
      {kInteger, "1 OR 1=1", true, nullptr},
      {kInteger, "12abc", true, nullptr},
      {kDouble, "1e", true, nullptr},
      {kBit, "TRUE", true, "TRUE"},
      {kBit, "1; DROP TABLE x", true, nullptr},
      {kGuid, "0x1F", true, "0x1F"},
      {kGuid, "'x'", true, nullptr},
  };
  for (const Case& c : cases) {
    String sql;
    bool ok = format_clause_value(c.type, c.value, c.hash, &sql);
    EXPECT_EQ(ok, c.sql != nullptr) << c.type << " " << c.value;
    if (ok && c.sql) {
      EXPECT_EQ(sql.std_string(), c.sql) << c.type << " " << c.value;
    }
  }
}

TEST(WhereClause, RowsAreJoinedWithAndAndTheCustomTextComesLast) {
  MemoryProject project;
  project.clauses = {
      {"Last Name", 2, "O'Brien", false},
      {"visits", 4, "3", false},
      {"email", 1, "skipped@example.com", true},
      {"e-mail-ok", 1, "", false},
      {"joined", 6, "1/1/2020", false},
  };
  project.set(kFieldWhere, "score > 0.5 OR score IS NULL");
  FakeColumns columns;
  RecordingUi ui;
  String where;
  ASSERT_TRUE(build_where_text(project, columns, ui, &where));
  EXPECT_EQ(where.std_string(),
            "[Last Name] <> 'O''Brien'\nAND visits >= 3\nAND [e-mail-ok] = NULL\n"
            "AND joined > #1/1/2020#\nAND (score > 0.5 OR score IS NULL\n)");
  EXPECT_EQ(ui.events.count(), 0);
}

TEST(WhereClause, EveryOperatorHasItsText) {
  const char* texts[] = {"=", "<>", "<=", ">=", "<", ">"};
  for (int op = 1; op <= 6; ++op) {
    MemoryProject project;
    project.clauses = {{"visits", op, "1", false}};
    FakeColumns columns;
    RecordingUi ui;
    String where;
    ASSERT_TRUE(build_where_text(project, columns, ui, &where));
    EXPECT_EQ(where.std_string(), std::string("visits ") + texts[op - 1] + " 1");
  }
}

TEST(WhereClause, OnlyTheCustomTextOrNothing) {
  FakeColumns columns;
  RecordingUi ui;
  String where("stale");
  MemoryProject empty;
  ASSERT_TRUE(build_where_text(empty, columns, ui, &where));
  EXPECT_EQ(where.std_string(), "");
  MemoryProject custom;
  custom.clauses = {{"email", 1, "x", true}};
  custom.set(kFieldWhere, "visits > 2");
  ASSERT_TRUE(build_where_text(custom, columns, ui, &where));
  EXPECT_EQ(where.std_string(), "visits > 2");
}

TEST(WhereClause, ABadRowIsNamedByItsNumberAndItsCellGetsTheFocus) {
  struct Case {
    ClauseRow bad;
    const char* message;
    const char* cell;
  } cases[] = {
      {{"", 1, "x", false}, "The clause on row 3 has no column name.", kClauseColumn},
      {{"email", 0, "x", false}, "The clause on row 3 has no operator.", kClauseOperator},
      {{"email", 7, "x", false}, "The clause on row 3 has no operator.", kClauseOperator},
      {{"Email", 1, "x", false}, "The clause on row 3 contains an invalid column: \"Email\".",
       kClauseColumn},
      {{"visits", 1, "3 OR 1=1", false},
       "The clause on row 3 has an invalid value: \"3 OR 1=1\".", kClauseValue},
  };
  for (const Case& c : cases) {
    MemoryProject project;
    // Row 2 is ignored, so its own faults do not count; row 3 is counted
    // from 1 all the same.
    project.clauses = {{"email", 1, "a@example.com", false}, {"", 0, "", true}, c.bad};
    FakeColumns columns;
    RecordingUi ui;
    String where;
    EXPECT_FALSE(build_where_text(project, columns, ui, &where)) << c.message;
    const RecordingUi::Event* box = ui.last_box();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->kind, RecordingUi::EventKind::kError);
    EXPECT_EQ(box->message.std_string(), c.message);
    EXPECT_EQ(box->caption.std_string(), "Error");
    ASSERT_EQ(project.cells_focused.size(), 1u) << c.message;
    EXPECT_EQ(project.cells_focused[0].row, 2);
    EXPECT_EQ(project.cells_focused[0].cell, c.cell);
  }
}

}  // namespace
}  // namespace tessaline
