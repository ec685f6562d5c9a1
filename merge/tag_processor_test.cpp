#include "merge/tag_processor.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/containers.h"
#include "core/date.h"
#include "core/recording_ui.h"
#include "core/string.h"
#include "core/var.h"
#include "merge/merge_ports.h"

namespace tessaline {
namespace {

using Kind = RecordingUi::EventKind;

class TestProject : public MergeProject {
 public:
  int mode = kSendNormal;
  String identity = "id";
  bool text_from_file = false;
  bool html_from_file = false;

  int send_mode() override { return mode; }
  String identity_column() override { return identity; }
  bool body_from_file(bool html) override { return html ? html_from_file : text_from_file; }
};

// One row in memory; writes are logged and can be made to fail.
class TestRow : public MergeRow {
 public:
  HashTable<Var, String> columns{16};
  struct Write {
    String identity_column;
    int32_t identity;
    String column;
    String value;
  };
  std::vector<Write> writes;
  bool fail_writes = false;
  bool read_only = false;  // a recipient file's row

  bool has_column(const String& name) override { return columns.contains(name); }
  bool writable() override { return !read_only; }
  bool read_column(const String& name, Var& value) override {
    const Var* column = columns.find(name);
    if (!column) return false;
    value = *column;
    return true;
  }
  bool write_column(const String& identity_column, int32_t identity, const String& column,
                    const Var& value) override {
    if (fail_writes) return false;
    writes.push_back({identity_column, identity, column, value.as_text()});
    columns.find_or_add(column) = value;
    return true;
  }
  String last_error() override { return "[driver] UPDATE failed: table is read-only"; }
};

DateTime pinned_now() {
  DateTime now;
  now.date = make_date(12, 31, 1999);
  now.hour = 23;
  now.minute = 5;
  now.second = 9;
  return now;
}

class TagProcessorTest : public testing::Test {
 protected:
  void SetUp() override {
    Var v;
    v.set_text("Ann Smith <ann@example.com>");
    processor.set_variable("-Recipient-", v);
    processor.set_variable("-FirstName-", Var::of_text("Ann"));
    processor.set_variable("-Now-", Var::of_date_time(pinned_now()));
    processor.set_variable("-Index-", Var::of_int(3));
    processor.set_variable("iffy", Var::of_text("a variable named iffy"));
    row.columns.add_bucket("id").set_int32(7);
    row.columns.add_bucket("Last Name").set_text("Smith");
    row.columns.add_bucket("Company").set_text("A&B <Ltd>");
    row.columns.add_bucket("City").set_text("Z\xc3\xbcrich");
    row.columns.add_bucket("Balance").set_double(1234.5);
    row.columns.add_bucket("Empty").set_text("");
    row.columns.add_bucket("Status").set_text("yes");
  }

  // Runs one body; returns the output, or "FAILED" with the body unchanged.
  std::string run(const char* text, bool html = false) {
    String body(text);
    if (!processor.process_tags(html, body, &row)) {
      EXPECT_EQ(body.std_string(), text) << "a failed body must be left as it was";
      return "FAILED";
    }
    return body.std_string();
  }

  RecordingUi ui;
  TestProject project;
  TestRow row;
  TagProcessor processor{ui, project};
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Whole bodies: merge/testdata/tags/NAME.{txt,html}.in against NAME....ref.
TEST_F(TagProcessorTest, GoldenBodies) {
  const std::string folder = std::string(TESSALINE_SOURCE_DIR) + "/merge/testdata/tags/";
  std::vector<std::string> inputs;
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr) << folder;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".in") == 0) inputs.push_back(name);
  }
  closedir(dir);
  std::sort(inputs.begin(), inputs.end());
  ASSERT_GE(inputs.size(), 3u);
  for (const std::string& name : inputs) {
    SCOPED_TRACE(name);
    const std::string stem = name.substr(0, name.size() - 3);
    const bool html = stem.find(".html") != std::string::npos;
    const std::string input = read_file(folder + name);
    const std::string expected = read_file(folder + stem + ".ref");
    ASSERT_FALSE(expected.empty());
    String body(input);
    ASSERT_TRUE(processor.process_tags(html, body, &row))
        << (ui.last_box() ? ui.last_box()->message.c_str() : "");
    EXPECT_EQ(body.std_string(), expected);
  }
  EXPECT_EQ(ui.events.count(), 0);
}

struct BodyCase {
  const char* body;
  bool html;
  const char* expected;
};

TEST_F(TagProcessorTest, Bodies) {
  const BodyCase cases[] = {
      // text outside tags is copied as it is
      {"", false, ""},
      {"no tags ]] at all [", false, "no tags ]] at all ["},
      {"<b>\xe9</b>", true, "<b>\xe9</b>"},
      {"[[[[Status]]]]", false, "FAILED"},  // the tag is "[[Status", a bad name
      {"[[ Status ]]]", false, "yes]"},
      // values: HTML encoding only in the HTML body
      {"[[Company]]", false, "A&B <Ltd>"},
      {"[[Company]]", true, "A&amp;B &lt;Ltd&gt;"},
      {"[[\"caf\xc3\xa9 \xe9\"]]", true, "caf&eacute; &eacute;"},
      // defaults and formats
      {"[[Empty:n/a]]", false, "n/a"},
      {"[[Status:n/a]]", false, "yes"},
      {"[[Empty:]]", false, ""},
      {"[[Balance:n/a]]", false, "1234.5"},
      {"[[-Now-:dd M y HH:ii:ss]]", false, "31 Dec 99 23:05:09"},
      {"[[#12/31/1999#]]", false, "12/31/99"},
      {"[[#12/31/1999# + 1:MM D]]", false, "January 1st"},
      {"[[#2/30/1999#:fallback]]", false, ""},
      {"[[\"a:b\":c]]", false, "a:b"},
      {"[[\"\":c:d]]", false, "c:d"},
      // mappings
      {"[[Status|yes|Y|no|N|other]]", false, "Y"},
      {"[[\"no\"|yes|Y|no|N|other]]", false, "N"},
      {"[[\"maybe\"|yes|Y|no|N|other]]", false, "other"},
      {"[[\"maybe\"|yes|Y|no|N]]", false, ""},
      {"[[\"YES\"|yes|Y|no|N|other]]", false, "other"},
      {"[[Status|   ]]", false, "yes"},
      {"[[Company|A&B <Ltd>|<ok>]]", true, "&lt;ok&gt;"},
      // statements in any case; keywords may touch the expression
      {"[[If TRUE]]a[[EndIf]]", false, "a"},
      {"[[if(1 = 1)]]a[[endif]]", false, "a"},
      {"[[if TRUE]][[if FALSE]]a[[else]]b[[endif]][[endif]]", false, "b"},
      // An elseif never switches text off: once a condition has held, the
      // text behind each later elseif is produced too; else switches over.
      {"[[if TRUE]]a[[elseif TRUE]]b[[else]]c[[endif]]", false, "ab"},
      {"[[if TRUE]]a[[elseif FALSE]]b[[else]]c[[endif]]", false, "ab"},
      {"[[if FALSE]]a[[elseif TRUE]]b[[elseif TRUE]]c[[else]]d[[endif]]", false, "bc"},
      {"[[if FALSE]]a[[elseif TRUE]]b[[elseif FALSE]]c[[else]]d[[endif]]", false, "bc"},
      {"[[if FALSE]]a[[elseif FALSE]]b[[elseif TRUE]]c[[else]]d[[endif]]", false, "c"},
      {"[[if FALSE]]a[[elseif FALSE]]b[[else]]c[[endif]]", false, "c"},
      {"[[if TRUE]]a[[else]]b[[else]]c[[endif]]", false, "ac"},
      // in a block that is not produced, an elseif is not even evaluated
      {"[[if FALSE]][[if TRUE]]a[[elseif nosuch]]b[[endif]][[endif]]ok", false, "ok"},
      // an elseif keeps a while loop going, as it keeps an if's text on
      {"[[var i = 0]][[while i < 3]][[let i = i + 1]][[i]][[elseif FALSE]],[[endw]]", false,
       "1,2,3,"},
      // variables
      {"[[var x = 2]][[x * 3]]", false, "6"},
      {"[[var x = \"s\"]][[let x = x + \"t\"]][[x]]", false, "st"},
      {"[[if FALSE]][[var unset = 1]][[endif]][[if FALSE]][[unset]][[endif]]ok", false, "ok"},
      {"[[VAR Status2 = Status]][[Status2]]", false, "yes"},
      // a name that is both: the variable wins, braces reach the column
      {"[[var City2 = 1]][[let City2 = \"v\"]][[City2]]/[[{City}]]", true, "v/Z&uuml;rich"},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(run(c.body, c.html), c.expected);
  }
}

TEST_F(TagProcessorTest, LetWritesTheColumnOfTheCurrentRow) {
  EXPECT_EQ(run("[[let City = \"Bern\" + 1]][[City]]"), "Bern1");
  ASSERT_EQ(row.writes.size(), 1u);
  EXPECT_EQ(row.writes[0].identity_column.std_string(), "id");
  EXPECT_EQ(row.writes[0].identity, 7);
  EXPECT_EQ(row.writes[0].column.std_string(), "City");
  EXPECT_EQ(row.writes[0].value.std_string(), "Bern1");
  EXPECT_FALSE(processor.is_variable("City"));

  // A failed write shows the database's own text and changes nothing.
  row.fail_writes = true;
  EXPECT_EQ(run("[[let City = \"Paris\"]]"), "FAILED");
  const RecordingUi::Event* box = ui.last_box();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->message.std_string(), "[driver] UPDATE failed: table is read-only");
  EXPECT_EQ(box->caption.std_string(), "Database Error");
  EXPECT_EQ(ui.count(Kind::kFocus), 0);
  EXPECT_EQ(row.columns.find("City")->as_text().std_string(), "Bern1");
}

TEST_F(TagProcessorTest, VariablesLiveAcrossBodiesAndRecipients) {
  EXPECT_EQ(run("[[var first = -Index-]][[var count = 1]]"), "");
  processor.set_variable("-Index-", Var::of_int(4));
  EXPECT_EQ(run("[[first]] [[-Index-]] [[let count = count + 1]][[count]]", true), "3 4 2");
  EXPECT_EQ(processor.variable("count")->type(), kTypeDouble);
  processor.clear_variables();
  EXPECT_FALSE(processor.is_variable("first"));
  EXPECT_EQ(run("[[first]]"), "FAILED");
}

TEST_F(TagProcessorTest, WhileLoopRunsOncePerTrueCondition) {
  EXPECT_EQ(run("[[var go = TRUE]][[while go]]x[[let go = FALSE]][[endw]]."), "x.");
  EXPECT_EQ(run("[[var n = 3]][[while n > 0]][[n]][[let n = n - 1]][[endw]]"), "321");
}

TEST_F(TagProcessorTest, IdenticalModeRejectsTagsButNotPlainBodies) {
  project.mode = kSendIdentical;
  EXPECT_EQ(run("plain ]] body"), "plain ]] body");
  EXPECT_EQ(run("Hello [[-FirstName-]]"), "FAILED");
  ASSERT_NE(ui.last_box(), nullptr);
  EXPECT_EQ(ui.last_box()->message.std_string(),
            "The message body cannot contain data tags if the send mode is \"Identical\".");
  EXPECT_EQ(ui.last(Kind::kFocus)->caret, 6);
}

struct ErrorCase {
  const char* body;
  const char* message;
  int caret;
};

TEST_F(TagProcessorTest, ErrorsAndWhereTheCaretGoes) {
  project.identity = "id";
  const ErrorCase cases[] = {
      {"ab [[x", "The message body contains an unclosed data tag at position 5.  Every "
                 "occurrence of the string \"[[\" must be followed by \"]]\".", 3},
      {"[[if FALSE]] [[x ]", "The message body contains an unclosed data tag at position 15.  "
                             "Every occurrence of the string \"[[\" must be followed by \"]]\".",
       13},
      {"[[elseif TRUE]]", "Unexpected [[ELSEIF]] tag encountered.  No matching [[IF]] statement "
                          "could be found.", 8},
      {"x[[ else ]]", "Unexpected [[ELSE]] tag encountered.  No matching [[IF]] statement could "
                      "be found.", 8},
      {"[[endif]]", "Unexpected [[ENDIF]] tag encountered.  No matching [[IF]] statement was "
                    "found.", 7},
      {"[[endw]]", "Unexpected [[ENDW]] tag encountered.  No matching [[WHILE]] statement was "
                   "found.", 6},
      {"ab[[if TRUE]]x[[endw]]", "IF-statement must close before [[ENDW]] tag.", 2},
      {"a[[while FALSE]]x", "Error: unclosed IF statement.  There must be one [[ENDIF]] tag for "
                            "every [[IF]] tag.", 1},
      {"[[if TRUE]][[if TRUE]][[endif]]", "Error: unclosed IF statement.  There must be one "
                                          "[[ENDIF]] tag for every [[IF]] tag.", 0},
      {"[[var 5 = 1]]", "Variable name must follow the 'var' keyword.", 6},
      {"[[var x 1]]", "Variable name must be followed by the \"=\" sign.", 8},
      {"[[let = 1]]", "Variable or column name must follow the 'let' keyword.", 6},
      {"[[let x]]", "Column/variable name must be followed by the \"=\" sign.", 7},
      {"[[var City = 1]]", "Variable cannot be named 'City'.  A database column of that name "
                           "already exists.", 12},
      {"[[let nosuch = 1]]", "Unknown variable/column name:\nnosuch", 16},
      {"[[var x = nosuch]]", "Invalid variable or database column:\nnosuch", 16},
      {"[[Status Status]]", "Syntax error:  no more characters were expected.", 9},
      {"[[Status\"x\":y]]", "Syntax error:  no more characters were expected.", 8},
      {"..[[if 1]]", "Expression is not Boolean.", 4},
      {"[[if TRUE]][[elseif 1]]", "Expression is not Boolean.", 13},
      {"[[if TRUE]]a[[else]]b[[if nosuch]]c[[endif]][[endif]]", "FAILS NOT", -1},
      // an error found while a loop re-reads its condition points into the
      // opening tag
      {"[[var flag = FALSE]][[while !flag]]x[[let flag = 5]][[endw]]",
       "Boolean atom expected after exclamation point.", 33},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.body);
    ui.clear_events();
    std::string result = run(c.body);
    if (c.caret < 0) {  // inactive branches are not evaluated
      EXPECT_NE(result, "FAILED");
      continue;
    }
    EXPECT_EQ(result, "FAILED");
    ASSERT_EQ(ui.count(Kind::kError), 1);
    const RecordingUi::Event* box = ui.last(Kind::kError);
    EXPECT_EQ(box->message.std_string(), c.message);
    EXPECT_EQ(box->caption.std_string(), "Error");
    const RecordingUi::Event* focus = ui.last(Kind::kFocus);
    ASSERT_NE(focus, nullptr);
    EXPECT_EQ(focus->field.std_string(), "body");
    EXPECT_EQ(focus->caret, c.caret);
  }
}

// A recipient file's row is read like a database row, but a let on one of
// its columns is refused before anything is evaluated or written, and a
// var may not take a column's name.
TEST_F(TagProcessorTest, ColumnsOfAReadOnlyRowCannotBeAssigned) {
  row.read_only = true;
  project.identity = "id";
  EXPECT_EQ(run("[[City]] [[{Last Name}]] [[if Status = \"yes\"]]on[[endif]]"),
            "Z\xc3\xbcrich Smith on");
  const ErrorCase cases[] = {
      {"[[let City = \"Bern\"]]", "The column 'City' is read from the recipient file and cannot "
                                  "be assigned.  Only database columns can be written with "
                                  "'let'; use a variable of another name.", 19},
      {"[[var City = 1]]", "Variable cannot be named 'City'.  A column of the recipient file has "
                           "that name.", 12},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.body);
    ui.clear_events();
    EXPECT_EQ(run(c.body), "FAILED");
    ASSERT_EQ(ui.count(Kind::kError), 1);
    EXPECT_EQ(ui.last(Kind::kError)->message.std_string(), c.message);
    EXPECT_EQ(ui.last(Kind::kError)->caption.std_string(), "Error");
    EXPECT_EQ(ui.last(Kind::kFocus)->caret, c.caret);
  }
  EXPECT_TRUE(row.writes.empty());
  EXPECT_EQ(row.columns.find("City")->as_text().std_string(), "Z\xc3\xbcrich");
  // A variable of its own name is the way to keep a changed value.
  EXPECT_EQ(run("[[var town = City + \"!\"]][[let town = town + \"?\"]][[town]]"),
            "Z\xc3\xbcrich!?");
}

TEST_F(TagProcessorTest, IdentityColumnChecks) {
  struct Case {
    const char* identity;
    const char* message;
  } cases[] = {
      {"  ", "It is necessary to specify an \"Identity Column\" when assigning values to a "
             "database column."},
      {"nosuch", "The \"Identity Column\" is invalid:\nnosuch"},
      {"Status", "The \"Identity Column\" must be an integer:\nStatus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.identity);
    project.identity = c.identity;
    ui.clear_events();
    EXPECT_EQ(run("[[let City = \"Bern\" ]]"), "FAILED");
    ASSERT_NE(ui.last(Kind::kError), nullptr);
    EXPECT_EQ(ui.last(Kind::kError)->message.std_string(), c.message);
    EXPECT_EQ(ui.last(Kind::kFocus)->caret, 20);
  }
  EXPECT_TRUE(row.writes.empty());
}

TEST_F(TagProcessorTest, TheErrorPointsAtTheBodysField) {
  struct Case {
    bool html;
    bool from_file;
    const char* field;
    int caret;
  } cases[] = {
      {false, false, "body", 3},
      {true, false, "html_body", 3},
      {false, true, "body_file", -1},
      {true, true, "html_file", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    project.text_from_file = project.html_from_file = c.from_file;
    ui.clear_events();
    EXPECT_EQ(run("[[x]]", c.html), "FAILED");
    ASSERT_EQ(ui.count(Kind::kFocus), 1);
    EXPECT_EQ(ui.last(Kind::kFocus)->field.std_string(), c.field);
    EXPECT_EQ(ui.last(Kind::kFocus)->caret, c.caret);
  }
}

// The subject and the unsubscribe address carry tags too: each writes the
// values in the form its text needs, and an error in it points at it,
// wherever the bodies come from.
TEST_F(TagProcessorTest, EachKindOfTextWritesValuesInItsOwnForm) {
  struct Case {
    TagText kind;
    const char* out;
  } cases[] = {
      {TagText::kTextBody, "A&B <Ltd>, Z\xc3\xbcrich, ann 3"},
      {TagText::kSubject, "A&B <Ltd>, Z\xc3\xbcrich, ann 3"},
      {TagText::kHtmlBody, "A&amp;B &lt;Ltd&gt;, Z&uuml;rich, ann 3"},
      // One component of a URL each: text outside the tags stays.
      {TagText::kUnsubscribe, "A%26B%20%3CLtd%3E, Z%C3%BCrich, ann 3"},
  };
  for (const Case& c : cases) {
    String text("[[Company]], [[City]], [[\"ann\"]] [[-Index-]]");
    ASSERT_TRUE(processor.process_tags(c.kind, text, &row));
    EXPECT_EQ(text.std_string(), c.out);
  }
}

TEST_F(TagProcessorTest, ErrorsInTheSubjectAndTheUnsubscribeAddressPointAtThem) {
  project.text_from_file = project.html_from_file = true;
  struct Case {
    TagText kind;
    const char* text;
    const char* field;
    const char* message;
    int caret;
  } cases[] = {
      {TagText::kSubject, "Hi [[-FirstName-", "subject",
       "The subject contains an unclosed data tag at position 5.  Every occurrence of the string "
       "\"[[\" must be followed by \"]]\".", 3},
      {TagText::kSubject, "Hi [[1 2]]", "subject",
       "Syntax error:  no more characters were expected.", 7},
      {TagText::kUnsubscribe, "https://x.test/?id=[[if 1 = 1]]", "unsubscribe",
       "Error: unclosed IF statement.  There must be one [[ENDIF]] tag for every [[IF]] tag.", 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ui.clear_events();
    String text(c.text);
    EXPECT_FALSE(processor.process_tags(c.kind, text, &row));
    EXPECT_EQ(text.std_string(), c.text);
    ASSERT_NE(ui.last_box(), nullptr);
    EXPECT_EQ(ui.last_box()->message.std_string(), c.message);
    ASSERT_EQ(ui.count(Kind::kFocus), 1);
    EXPECT_EQ(ui.last(Kind::kFocus)->field.std_string(), c.field);
    EXPECT_EQ(ui.last(Kind::kFocus)->caret, c.caret);
  }
  project.mode = kSendIdentical;
  String subject("Hello [[-FirstName-]]");
  EXPECT_FALSE(processor.process_tags(TagText::kSubject, subject, &row));
  EXPECT_EQ(ui.last_box()->message.std_string(),
            "The subject cannot contain data tags if the send mode is \"Identical\".");
}

TEST_F(TagProcessorTest, RunawayLoopsAndBodiesAreStopped) {
  processor.set_limits(1000, 1 << 20);
  EXPECT_EQ(run("ab[[while TRUE]]x[[endw]]"), "FAILED");
  EXPECT_EQ(ui.last(Kind::kError)->message.std_string(),
            "The [[WHILE]] loops of this message body have gone round 1000 times in all and "
            "have been stopped at the loop [[while TRUE]].  The condition of every loop must "
            "become false for the loop to end.");
  EXPECT_EQ(ui.last(Kind::kFocus)->caret, 2);

  // A loop that ends just below the limit is unaffected.
  EXPECT_EQ(run("[[var n = 999]][[while n > 0]][[let n = n - 1]][[endw]]done"), "done");

  // Nested loops share the one budget: 40 rounds of an outer loop of 40
  // inner rounds each pass 1000 together, though neither loop does alone.
  // The message names the loop that used the last round.
  const char* nested =
      "[[var i = 0]][[while i < 40]][[var j = 0]]"
      "[[while j < 40]][[let j = j + 1]][[endw]][[let i = i + 1]][[endw]]";
  EXPECT_EQ(run(nested), "FAILED");
  EXPECT_EQ(ui.last(Kind::kError)->message.std_string(),
            "The [[WHILE]] loops of this message body have gone round 1000 times in all and "
            "have been stopped at the loop [[while j < 40]].  The condition of every loop must "
            "become false for the loop to end.");
  EXPECT_EQ(ui.last(Kind::kFocus)->caret, 42);  // its "[["
  // Below the budget together, they run to their end; each body has its
  // own budget, so the next one starts afresh.
  EXPECT_EQ(run("[[var i = 0]][[while i < 20]][[var j = 0]]"
                "[[while j < 20]][[let j = j + 1]][[endw]][[let i = i + 1]][[endw]]done"),
            "done");
  EXPECT_EQ(run("[[var n = 999]][[while n > 0]][[let n = n - 1]][[endw]]again"), "again");

  processor.set_limits(1000000, 1000);
  EXPECT_EQ(run("[[while TRUE]]0123456789[[endw]]"), "FAILED");
  EXPECT_EQ(ui.last(Kind::kError)->message.std_string(),
            "The personalized message body has grown beyond 1000 bytes and has been stopped.  "
            "Check that every [[WHILE]] loop ends.");

  // Doubling a text in a loop stops at the text limit, not at memory's end.
  processor.set_limits(1000, 1 << 20);
  EXPECT_EQ(run("[[var s = \"abcdefgh\"]][[while TRUE]][[let s = s + s]][[endw]]"), "FAILED");
  EXPECT_EQ(ui.last(Kind::kError)->message.std_string(),
            "The \"+\" operator cannot make a text longer than 16777216 bytes.");
}

}  // namespace
}  // namespace tessaline
