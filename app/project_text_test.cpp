// The listing of a project and the settings that change one.
#include "app/project_text.h"

#include <gtest/gtest.h>

#include "recipients/candidate.h"

namespace tessaline {
namespace {

// The listing's lines for the given keys, in listing order.
String lines_of(const String& listing, std::initializer_list<const char*> keys) {
  String picked;
  LineCursor lines(listing);
  String line;
  bool taking = false;
  while (lines.next(&line)) {
    if (!line.starts_with("    ") && !line.empty()) {
      taking = false;
      for (const char* key : keys) {
        if (line == String(key) + " =" || line.starts_with((String(key) + " = ").view())) {
          taking = true;
        }
      }
    }
    if (taking) picked += line + "\n";
  }
  return picked;
}

TEST(ProjectText, ListsValuesOfSeveralLinesIndentedAndClausesAsTheirSettings) {
  Project project;
  String error;
  const char* settings[][2] = {
      {"recipient_text", "a@example.com\r\n\r\nb@example.com\r\n"},
      {"exclusion text", "x@example.com"},
      {"body", "Dear [[-FirstName-]],\rsee you\n"},
      {"UseExclusionText", "on"},
      {"clause", "name,<>,Archer, Ann"},
      {"clause", "age,>=,18,ignore"},
  };
  for (const auto& s : settings) ASSERT_TRUE(apply_setting(project, s[0], s[1], &error)) << s[0];
  project.clauses().append(ClauseRow{"odd", 0, "", false});  // a row with no operator yet
  EXPECT_EQ(lines_of(project_listing(project),
                     {"ClauseTable", "recipient_text", "UseExclusionText", "exclusion text",
                      "body", "html_body"}),
            "ClauseTable =\n"
            "    name,<>,Archer, Ann\n"
            "    age,>=,18,ignore\n"
            "    odd,,\n"
            "recipient_text =\n"
            "    a@example.com\n"
            "\n"
            "    b@example.com\n"
            "UseExclusionText = yes\n"
            "exclusion text = x@example.com\n"
            "body =\n"
            "    Dear [[-FirstName-]],\n"
            "    see you\n"
            "html_body =\n");
}

TEST(ProjectText, ARefusedSettingChangesNothing) {
  Project project;
  Project fresh;
  String error;
  const char* refused[][2] = {
      {"Recycle", "maybe"}, {"SendMode", "99"}, {"SMTPport", ""}, {"clause", "a,=="},
      {"nosuch", "1"},      {"ClauseTable", ""},
  };
  for (const auto& s : refused) {
    EXPECT_FALSE(apply_setting(project, s[0], s[1], &error)) << s[0];
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(project == fresh);
}

TEST(ProjectText, ASettingSplitsAtItsFirstEqualsOrAt) {
  struct Case {
    const char* text;
    bool ok;
    const char* key;
    const char* value;
    bool from_file;
  } cases[] = {
      {"from=Ann <ann@example.com>", true, "from", "Ann <ann@example.com>", false},
      {"body@texts/a=b.txt", true, "body", "texts/a=b.txt", true},
      {"where=a = b", true, "where", "a = b", false},
      {"=x", false, "", "", false},
      {"@x", false, "", "", false},
      {"plain", false, "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Setting setting;
    String error;
    ASSERT_EQ(parse_setting(c.text, &setting, &error), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(setting.key, c.key);
    EXPECT_EQ(setting.value, c.value);
    EXPECT_EQ(setting.from_file, c.from_file);
  }
}

}  // namespace
}  // namespace tessaline
