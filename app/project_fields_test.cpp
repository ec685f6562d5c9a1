#include "app/project_fields.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace tessaline {
namespace {

struct Expected {
  const char* key;
  FieldKind kind;
  const char* default_text;  // Project::text() of a new project
};

// Every project field, in the order the project file stores them.
const Expected kAllFields[] = {
    {"from", FieldKind::kText, ""},
    {"subject", FieldKind::kText, ""},
    {"reply", FieldKind::kText, ""},
    {"CC", FieldKind::kText, ""},
    {"unsubscribe", FieldKind::kText, ""},
    {"use_database", FieldKind::kCheck, "0"},
    {"db_name", FieldKind::kText, ""},
    {"table_name", FieldKind::kText, ""},
    {"recipient_col", FieldKind::kText, ""},
    {"identity_col", FieldKind::kText, ""},
    {"order_by", FieldKind::kText, ""},
    {"ClauseTable", FieldKind::kClauseTable, nullptr},
    {"where", FieldKind::kText, ""},
    {"EliminateDuplicates", FieldKind::kCheck, "0"},
    {"use_recipient_file", FieldKind::kCheck, "0"},
    {"recipient_file", FieldKind::kText, ""},
    {"recipient_file_format", FieldKind::kChoice, "1"},
    {"recipient_file_column", FieldKind::kText, ""},
    {"recipient_file_delimiter", FieldKind::kChoice, "0"},
    {"use_recipient_text", FieldKind::kCheck, "0"},
    {"recipient_text", FieldKind::kText, ""},
    {"UseExclusionFile", FieldKind::kCheck, "0"},
    {"ExclusionFile", FieldKind::kText, ""},
    {"UseExclusionText", FieldKind::kCheck, "0"},
    {"exclusion text", FieldKind::kText, ""},
    {"use_body_file", FieldKind::kCheck, "0"},
    {"body_file", FieldKind::kText, ""},
    {"use_body_text", FieldKind::kCheck, "0"},
    {"body", FieldKind::kText, ""},
    {"Encoding", FieldKind::kChoice, "1"},
    {"LineLength", FieldKind::kNumber, "75"},
    {"use_html_file", FieldKind::kCheck, "0"},
    {"html_file", FieldKind::kText, ""},
    {"use_html_text", FieldKind::kCheck, "0"},
    {"html_body", FieldKind::kText, ""},
    {"html_attach", FieldKind::kText, ""},
    {"attachments", FieldKind::kText, ""},
    {"SendMode", FieldKind::kChoice, "100"},
    {"DirectDelivery", FieldKind::kCheck, "0"},
    {"Recycle", FieldKind::kCheck, "0"},
    {"SMTPport", FieldKind::kNumber, "25"},
    {"SMTPaccount", FieldKind::kText, ""},
    {"SMTPsecurity", FieldKind::kChoice, "0"},
};

TEST(ProjectFields, TableHoldsEveryKeyInOrderWithItsKind) {
  constexpr int n = sizeof kAllFields / sizeof kAllFields[0];
  ASSERT_EQ(project_field_count(), n);
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(kAllFields[i].key);
    EXPECT_STREQ(project_field(i).key, kAllFields[i].key);
    EXPECT_EQ(project_field(i).kind, kAllFields[i].kind);
    EXPECT_GE(project_field(i).folder, 0);
    EXPECT_LT(project_field(i).folder, project_folder_count());
    EXPECT_NE(std::strlen(project_field(i).help_text), 0u);
  }
}

TEST(ProjectFields, NewProjectHoldsEveryDefault) {
  Project project;
  for (const Expected& field : kAllFields) {
    if (field.kind == FieldKind::kClauseTable) continue;
    SCOPED_TRACE(field.key);
    EXPECT_EQ(project.text(field.key), field.default_text);
  }
  EXPECT_FALSE(project.flag("use_database"));
  EXPECT_EQ(project.number("Encoding"), kEncoding7Bit);
  EXPECT_EQ(project.number("SendMode"), kSendNormal);
  EXPECT_EQ(project.number("LineLength"), 75);
  EXPECT_EQ(project.number("SMTPport"), 25);
  EXPECT_EQ(project.clauses().count(), 0);
  // The kinds a field store sees.
  EXPECT_EQ(project.value("Recycle").type(), kTypeBool);
  EXPECT_EQ(project.value("SendMode").type(), kTypeInt32);
  EXPECT_EQ(project.value("SMTPport").type(), kTypeString);
  EXPECT_EQ(project.value("exclusion text").type(), kTypeString);
}

TEST(ProjectFields, FoundOnlyUnderTheExactKey) {
  const char* near_misses[] = {"sendmode", "SENDMODE", "Sendmode", "cc", "From", "Use_database",
                               "exclusion_text", "exclusiontext", " from", "from ", "", "clauses"};
  for (const char* key : near_misses) {
    EXPECT_EQ(find_project_field(key), nullptr) << '"' << key << '"';
  }
  for (const Expected& field : kAllFields) {
    ASSERT_NE(find_project_field(field.key), nullptr) << field.key;
    EXPECT_STREQ(find_project_field(field.key)->key, field.key);
  }
  EXPECT_EQ(find_project_field(nullptr), nullptr);
}

TEST(ProjectFields, ChoiceListsHoldTheirItems) {
  const ProjectFieldInfo* mode = find_project_field("SendMode");
  ASSERT_EQ(mode->choice_count, 4);
  EXPECT_STREQ(mode->choices[1].label, "No Preview");
  EXPECT_EQ(mode->choices[1].value, 101);
  EXPECT_STREQ(mode->choices[3].label, "Last Recipient Only");
  EXPECT_EQ(mode->choices[3].value, 103);
  const ProjectFieldInfo* encoding = find_project_field("Encoding");
  ASSERT_EQ(encoding->choice_count, 3);
  EXPECT_STREQ(encoding->choices[2].label, "Base-64");
  EXPECT_EQ(encoding->choices[2].value, 3);
}

TEST(ProjectFields, NumberBoxesReadAsWholeNumbersOrMinusOne) {
  struct Case {
    const char* typed;
    int number;
  } cases[] = {
      {"25", 25}, {"0", 0}, {"025", 25}, {"", -1}, {"abc", -1}, {"2 5", -1},
      {"-5", -1}, {"+5", -1}, {"5x", -1}, {"999999999", 999999999}, {"1234567890", -1},
  };
  Project project;
  for (const Case& c : cases) {
    project.set_text("SMTPport", c.typed);
    EXPECT_EQ(project.number("SMTPport"), c.number) << '"' << c.typed << '"';
    EXPECT_EQ(project.text("SMTPport"), c.typed);
  }
}

TEST(ProjectFields, SettersKeepEachFieldInItsKind) {
  Project project;
  project.set_text("SendMode", "102");
  EXPECT_EQ(project.number("SendMode"), kSendIdentical);
  EXPECT_EQ(project.value("SendMode").type(), kTypeInt32);
  project.set_number("use_database", 1);
  EXPECT_TRUE(project.flag("use_database"));
  EXPECT_EQ(project.value("use_database").type(), kTypeBool);
  project.set_number("LineLength", 60);
  EXPECT_EQ(project.text("LineLength"), "60");
}

TEST(ProjectFields, ResetRestoresDefaultsAndEmptiesTheClauseTable) {
  Project project;
  Project fresh;
  project.set_text("from", "Ann <ann@example.com>");
  project.set_flag("Recycle", true);
  project.set_number("SendMode", kSendNoPreview);
  project.set_text("LineLength", "");
  project.clauses().append(ClauseRow{"age", 4, "18", false});
  EXPECT_FALSE(project == fresh);
  project.reset();
  EXPECT_TRUE(project == fresh);
}

TEST(ProjectFields, NormalizeGivesLoadedValuesTheirFieldsKinds) {
  Project project;
  project.value("SendMode").set_string("103");     // a choice stored as text
  project.value("Recycle").set_int8(1);            // a check box as a signed byte
  project.value("LineLength").set_int32(60);       // a number box as a number
  project.value("from").set_int32(7);
  project.normalize();
  EXPECT_EQ(project.value("SendMode").type(), kTypeInt32);
  EXPECT_EQ(project.number("SendMode"), 103);
  EXPECT_EQ(project.value("Recycle").type(), kTypeBool);
  EXPECT_TRUE(project.flag("Recycle"));
  EXPECT_EQ(project.value("LineLength").type(), kTypeString);
  EXPECT_EQ(project.number("LineLength"), 60);
  EXPECT_EQ(project.text("from"), "7");
}

TEST(ProjectFieldsDeathTest, UnknownKeyIsAFatalError) {
  Project project;
  EXPECT_EXIT(project.text("sendmode"), testing::ExitedWithCode(1), "sendmode");
  EXPECT_EXIT(project.set_flag("ClauseTable", true), testing::ExitedWithCode(1), "ClauseTable");
}

}  // namespace
}  // namespace tessaline

namespace tessaline {
namespace {

// The manual documents every field under its key.
TEST(ProjectFields, ManualNamesEveryKey) {
  FILE* f = std::fopen(TESSALINE_SOURCE_DIR "/docs/manual.md", "rb");
  ASSERT_NE(f, nullptr);
  String manual;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) manual.append(buffer, static_cast<int>(n));
  std::fclose(f);
  for (int i = 0; i < project_field_count(); ++i) {
    String quoted = String("| `") + project_field(i).key + "` |";
    EXPECT_GE(manual.find(quoted), 0) << project_field(i).key;
  }
}

}  // namespace
}  // namespace tessaline
