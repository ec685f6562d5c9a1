#include "app/window_commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/recording_ui.h"
#include "storage/paths.h"
#include "storage/test_directory.h"
#include "app/database_lists.h"

namespace tessaline {
namespace {

using Kind = RecordingUi::EventKind;

TEST(InsertBasicTag, OutsideTheBodyEditorsItOnlyBeeps) {
  for (const char* focused : {"subject", "from", "html_attach", "Body", static_cast<const char*>(nullptr)}) {
    RecordingUi ui;
    ui.reply_choice(0);
    String inserted = "kept";
    EXPECT_FALSE(insert_basic_tag(ui, focused, inserted));
    EXPECT_EQ(inserted, "kept");
    EXPECT_EQ(ui.count(Kind::kBeep), 1);
    EXPECT_EQ(ui.count(Kind::kChooseOne), 0);
  }
}

TEST(InsertBasicTag, OffersTheSevenTagsAndWrapsTheChoice) {
  for (const char* focused : {"body", "html_body"}) {
    RecordingUi ui;
    ui.reply_choice(6);
    String inserted;
    ASSERT_TRUE(insert_basic_tag(ui, focused, inserted));
    EXPECT_EQ(inserted, "[[-Index-]]");
    const RecordingUi::Event* box = ui.last(Kind::kChooseOne);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->caption, "Insert Basic Tag");
    EXPECT_EQ(box->message,
              "Choose the Basic tag you wish to insert.  The data for Basic tags is taken from "
              "your computer or from the recipient's address.  Therefore, you do not need to be "
              "using a database to use Basic tags.");
  }
  RecordingUi ui;  // cancelled
  String inserted;
  EXPECT_FALSE(insert_basic_tag(ui, "body", inserted));
  EXPECT_TRUE(inserted.empty());
  EXPECT_EQ(ui.count(Kind::kBeep), 0);
}

TEST(InsertDatabaseColumn, SaysWhatIsMissingBeforeAnyDatabaseIsAsked) {
  struct Case {
    const char* focused;
    bool use_database;
    const char* db_name;
    const char* table;
    Kind kind;
    const char* message;
  } cases[] = {
      {"subject", true, "mail", "people", Kind::kBeep, ""},
      {"body", false, "mail", "people", Kind::kError,
       "You can insert a database column if you're not using a database."},
      {"html_body", true, "", "people", Kind::kError,
       "You must choose a database and table first."},
      {"body", true, "mail", " ", Kind::kError, "You must choose a database and table first."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    RecordingUi ui;
    Project project;
    project.set_flag("use_database", c.use_database);
    project.set_text("db_name", c.db_name);
    project.set_text("table_name", c.table);
    DatabaseLists lists(nullptr, ui);
    String inserted;
    EXPECT_FALSE(insert_database_column(ui, project, lists, c.focused, inserted));
    ASSERT_EQ(ui.events.count(), 1);
    EXPECT_EQ(ui.events[0].kind, c.kind);
    EXPECT_EQ(ui.events[0].message, c.message);
  }
}

TEST(CanonicalizeHtml, EntitiesControlCharactersAndLineEnds) {
  struct Case {
    std::string pasted;
    std::string html;
  } cases[] = {
      // Two lines with a less-than sign and an e with acute accent (UTF-8).
      {"a < b\ncaf\xc3\xa9", "a &lt; b<br>\ncaf&eacute;"},
      {"x > y & \"z\"", "x &gt; y &amp; &quot;z&quot;"},
      {"1\r\n2\r3\n4\n\r5\n\n6", "1<br>\n2<br>\n3<br>\n4<br>\n5<br>\n<br>\n6"},
      {"\n", "<br>\n"},
      {"\r\n\r\n", "<br>\n<br>\n"},
      {"tab\tstays, bell\x07 and escape\x1b do not", "tab\tstays, bell&#7; and escape&#27; do not"},
      {std::string("nul\0end", 7), "nul&#0;end"},
      {"\xc2\xa0\xc3\xbf", "&nbsp;&yuml;"},
      // A character beyond Latin-1 stays; a lone byte is Latin-1.
      {"\xe2\x82\xac and \xe9", "\xe2\x82\xac and &eacute;"},
      {"plain text", "plain text"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pasted);
    String pasted(c.pasted.data(), static_cast<int>(c.pasted.size()));
    EXPECT_EQ(canonicalize_html(pasted).std_string(), c.html);
  }
}

class EditFile : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.ok()); }

  std::function<bool(const String&)> opener(bool result) {
    return [this, result](const String& path) {
      opened_.push_back(path.std_string());
      return result;
    };
  }

  TestDirectory folder_;
  RecordingUi ui_;
  std::vector<std::string> opened_;
};

TEST_F(EditFile, AMissingFileIsCreatedEmptyAndOpened) {
  String path = folder_ / "new list.txt";
  ASSERT_TRUE(edit_file(ui_, path, opener(true)));
  String contents = "not read";
  ASSERT_TRUE(read_whole_file(path, contents));
  EXPECT_TRUE(contents.empty());
  EXPECT_EQ(opened_, std::vector<std::string>{path.std_string()});
  EXPECT_TRUE(ui_.events.empty());
}

TEST_F(EditFile, AnExistingFileIsOpenedAsItIs) {
  ASSERT_TRUE(folder_.put("list.txt", "ann@example.com\n"));
  String path = folder_ / "list.txt";
  ASSERT_TRUE(edit_file(ui_, path, opener(true)));
  String contents;
  ASSERT_TRUE(read_whole_file(path, contents));
  EXPECT_EQ(contents, "ann@example.com\n");
  EXPECT_EQ(opened_.size(), 1u);
}

TEST_F(EditFile, FailuresSayWhichFile) {
  String unmakeable = folder_ / "no such folder/list.txt";
  EXPECT_FALSE(edit_file(ui_, unmakeable, opener(true)));
  ASSERT_NE(ui_.last_box(), nullptr);
  EXPECT_EQ(ui_.last_box()->message, "Unable to create file: " + unmakeable);
  EXPECT_EQ(ui_.last_box()->caption, "Error");
  EXPECT_TRUE(opened_.empty());

  String path = folder_ / "list.txt";
  EXPECT_FALSE(edit_file(ui_, path, opener(false)));
  EXPECT_EQ(ui_.last_box()->message, "Unable to edit file: " + path);
}

TEST(AboutText, StartsWithTheNameAndVersion) {
  String text = about_text();
  EXPECT_EQ(text.find("Tessaline Mailer v6.0"), 0);
  EXPECT_GT(text.length(), 30);
}

}  // namespace
}  // namespace tessaline
