// Tests of the spreadsheet-export reader on awkward files.
#include "recipients/delimited_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "storage/test_directory.h"

namespace tessaline {
namespace {

// A row as "LINE:[field][field]...", line breaks inside fields as \r \n.
std::string render(const DelimitedFile& file) {
  std::string s = std::to_string(file.line()) + ":";
  for (int i = 0; i < file.field_count(); ++i) {
    s += '[';
    for (char c : file.field(i)) {
      if (c == '\r') {
        s += "\\r";
      } else if (c == '\n') {
        s += "\\n";
      } else {
        s += c;
      }
    }
    s += ']';
  }
  return s;
}

std::string render_header(const DelimitedFile& file) {
  std::string s;
  for (const String& name : file.header()) s += "[" + name.std_string() + "]";
  return s;
}

struct Read {
  bool opened = false;
  std::string header;
  char delimiter = 0;
  std::vector<std::string> rows;
  std::string error;
};

Read read_all(DelimitedFile& file, bool opened, const String& error) {
  Read r;
  r.opened = opened;
  if (!opened) {
    r.error = error.std_string();
    return r;
  }
  r.header = render_header(file);
  r.delimiter = file.delimiter();
  String e;
  for (;;) {
    DelimitedFile::Row row = file.next(&e);
    if (row == DelimitedFile::Row::kEnd) break;
    if (row == DelimitedFile::Row::kError) {
      r.error = e.std_string();
      break;
    }
    r.rows.push_back(render(file));
  }
  // The end stays the end.
  EXPECT_EQ(file.next(&e), DelimitedFile::Row::kEnd);
  return r;
}

Read read_text(const std::string& text, char delimiter = 0) {
  DelimitedFile file;
  String error;
  file.open_text(String(text));
  bool opened = file.read_header(delimiter, &error);
  return read_all(file, opened, error);
}

struct Case {
  const char* name;
  std::string text;
  char delimiter;  // 0: detect
  std::string header;
  char detected;
  std::vector<std::string> rows;
  std::string error;  // the start of the error, "" for none
};

TEST(DelimitedFile, ReadsAwkwardFiles) {
  const Case cases[] = {
      {"plain LF", "email,name\na@x.org,Ann\nb@x.org,Bob\n", 0, "[email][name]", ',',
       {"2:[a@x.org][Ann]", "3:[b@x.org][Bob]"}, ""},
      {"CRLF, last row without a break", "email,name\r\na@x.org,Ann\r\nb@x.org,Bob", 0,
       "[email][name]", ',', {"2:[a@x.org][Ann]", "3:[b@x.org][Bob]"}, ""},
      {"old Mac CR", "email,name\ra@x.org,Ann\rb@x.org,Bob\r", 0, "[email][name]", ',',
       {"2:[a@x.org][Ann]", "3:[b@x.org][Bob]"}, ""},
      {"quoted comma", "email,name,city\na@x.org,\"Archer, Ann\",Leeds\n", 0,
       "[email][name][city]", ',', {"2:[a@x.org][Archer, Ann][Leeds]"}, ""},
      {"doubled quotes", "email,nick\na@x.org,\"The \"\"Ace\"\"\"\nb@x.org,\"\"\"\"\n", 0,
       "[email][nick]", ',', {"2:[a@x.org][The \"Ace\"]", "3:[b@x.org][\"]"}, ""},
      {"line breaks inside a field count as lines",
       "email,address\na@x.org,\"1 Main St\nLeeds\"\nb@x.org,\"x\r\ny\"\nc@x.org,z\n", 0,
       "[email][address]", ',',
       {"2:[a@x.org][1 Main St\\nLeeds]", "4:[b@x.org][x\\r\\ny]", "6:[c@x.org][z]"}, ""},
      {"a byte-order mark is not part of the first name",
       "\xEF\xBB\xBF" "email;name\na@x.org;Ann\n", 0, "[email][name]", ';',
       {"2:[a@x.org][Ann]"}, ""},
      {"blank lines are no rows, but count", "\nemail,name\n\n   \na@x.org,Ann\n\n", 0,
       "[email][name]", ',', {"5:[a@x.org][Ann]"}, ""},
      {"a short row keeps its fields", "email,name,city\na@x.org,Ann\n", 0,
       "[email][name][city]", ',', {"2:[a@x.org][Ann]"}, ""},
      {"empty fields and a trailing delimiter", "email,name,city\n,,\na@x.org,,\n", 0,
       "[email][name][city]", ',', {"2:[][][]", "3:[a@x.org][][]"}, ""},
      {"text after a closing quote is kept", "email,name\na@x.org,\"Ann\" Archer\n", 0,
       "[email][name]", ',', {"2:[a@x.org][Ann Archer]"}, ""},
      {"a quote inside an unquoted field is text", "email,name\na@x.org,Ann \"A\" Archer\n", 0,
       "[email][name]", ',', {"2:[a@x.org][Ann \"A\" Archer]"}, ""},
      {"values keep their blanks, header names do not", " email , name\n a@x.org , Ann \n", 0,
       "[email][name]", ',', {"2:[ a@x.org ][ Ann ]"}, ""},
      {"tabs", "email\tname\tcity\na@x.org\tArcher, Ann\tLeeds\n", 0, "[email][name][city]",
       '\t', {"2:[a@x.org][Archer, Ann][Leeds]"}, ""},
      {"vertical bars", "email|name\na@x.org|Ann\n", 0, "[email][name]", '|',
       {"2:[a@x.org][Ann]"}, ""},
      {"delimiters inside quotes of the header do not count",
       "\"a,b,c\";name\nx;\"y,z\"\n", 0, "[a,b,c][name]", ';', {"2:[x][y,z]"}, ""},
      {"a tie goes to the comma", "a,b;c\n1,2;3\n", 0, "[a][b;c]", ',', {"2:[1][2;3]"}, ""},
      {"one column", "email\na@x.org\n", 0, "[email]", ',', {"2:[a@x.org]"}, ""},
      {"a given delimiter wins", "email;name,city\na@x.org;Ann,Leeds\n", ',',
       "[email;name][city]", ',', {"2:[a@x.org;Ann][Leeds]"}, ""},
      {"header only", "email,name\n", 0, "[email][name]", ',', {}, ""},
      {"empty file", "", 0, "", 0, {}, "The recipient file is empty: it has no header row"},
      {"only blank lines", "\r\n \r\n", 0, "", 0, {},
       "The recipient file is empty: it has no header row"},
      {"only a byte-order mark", "\xEF\xBB\xBF", 0, "", 0, {},
       "The recipient file is empty: it has no header row"},
      {"UTF-16", std::string("\xFF\xFE" "e\0m\0", 6), 0, "", 0, {},
       "The recipient file is in UTF-16."},
      {"a quote never closed", "email,name\na@x.org,Ann\nb@x.org,\"Bob\nc@x.org,Cy\n", 0,
       "[email][name]", ',', {"2:[a@x.org][Ann]"},
       "The recipient file ends inside the quoted field that begins on line 3."},
      {"a quote never closed in the header", "email,\"name\n", 0, "", 0, {},
       "The recipient file ends inside the quoted field that begins on line 1."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Read r = read_text(c.text, c.delimiter);
    if (c.header.empty()) {
      EXPECT_FALSE(r.opened);
    } else {
      ASSERT_TRUE(r.opened) << r.error;
      EXPECT_EQ(r.header, c.header);
      EXPECT_EQ(r.delimiter, c.detected);
      EXPECT_EQ(r.rows, c.rows);
    }
    if (c.error.empty()) {
      EXPECT_EQ(r.error, "");
    } else {
      EXPECT_EQ(r.error.substr(0, c.error.size()), c.error) << r.error;
    }
  }
}

TEST(DelimitedFile, FindsColumnsByExactName) {
  DelimitedFile file;
  String error;
  file.open_text("Email,first name,city,Email,,city\n");
  ASSERT_TRUE(file.read_header(0, &error));
  EXPECT_EQ(file.column("Email"), 0);
  EXPECT_EQ(file.column("first name"), 1);
  EXPECT_EQ(file.column("city"), 2);  // the first of two
  EXPECT_EQ(file.column("email"), -1);
  EXPECT_EQ(file.column(""), -1);
}

TEST(DelimitedFile, RefusesRowsWithoutBound) {
  // A stray quote would otherwise take the rest of a large file into one
  // field.
  std::string text = "email,note\na@x.org,\"" +
                     std::string(DelimitedFile::kMaxRowBytes, 'x') + "\"\n";
  Read r = read_text(text);
  ASSERT_TRUE(r.opened);
  EXPECT_TRUE(r.rows.empty());
  EXPECT_EQ(r.error,
            "The row that begins on line 2 of the recipient file is longer than 1 MB.  A closing "
            "quote may be missing.");

  std::string many = "email\n" + std::string(DelimitedFile::kMaxFields, ',') + "\n";
  r = read_text(many);
  ASSERT_TRUE(r.opened);
  EXPECT_EQ(r.error, "The row that begins on line 2 of the recipient file has more than 16384 "
                     "fields.");
}

// A file is read in pieces: fields, quotes, doubled quotes and CR LF pairs
// that straddle two pieces must come out as from one piece.
TEST(DelimitedFile, ReadsLargeFilesInPieces) {
  TestDirectory dir;
  ASSERT_TRUE(dir.ok());
  std::string text = "email,note\r\n";
  std::string expected_text;
  std::vector<std::string> expected;
  int line = 2;
  for (int i = 0; text.size() < 300 * 1024; ++i) {
    std::string note = "n" + std::to_string(i) + " \"\"q\"\", " + std::string(i % 97, 'y');
    std::string shown = "n" + std::to_string(i) + " \"q\", " + std::string(i % 97, 'y');
    if (i % 5 == 0) {
      note += "\r\nmore";
      shown += "\\r\\nmore";
    }
    text += "r" + std::to_string(i) + "@x.org,\"" + note + "\"\r\n";
    expected.push_back(std::to_string(line) + ":[r" + std::to_string(i) + "@x.org][" + shown +
                       "]");
    line += i % 5 == 0 ? 2 : 1;
  }
  ASSERT_TRUE(dir.put("big.csv", String(text)));

  DelimitedFile file;
  String error;
  ASSERT_TRUE(file.open(dir / "big.csv", &error)) << error.c_str();
  ASSERT_TRUE(file.read_header(0, &error)) << error.c_str();
  Read r = read_all(file, true, error);
  EXPECT_EQ(r.error, "");
  ASSERT_EQ(r.rows.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(r.rows[i], expected[i]) << "row " << i;
  }

  // Row offsets count from the start of the file across the pieces: the
  // rows follow the header without a gap, each with its own line break.
  ASSERT_TRUE(file.open(dir / "big.csv", &error)) << error.c_str();
  ASSERT_TRUE(file.read_header(0, &error)) << error.c_str();
  int64_t at = static_cast<int64_t>(std::strlen("email,note\r\n"));
  for (int i = 0; file.next(&error) == DelimitedFile::Row::kRow; ++i) {
    ASSERT_EQ(file.row_begin(), at) << "row " << i;
    std::string bytes = text.substr(static_cast<size_t>(at),
                                    static_cast<size_t>(file.row_end() - at));
    ASSERT_EQ(bytes.rfind("r" + std::to_string(i) + "@x.org,\"", 0), 0u) << bytes;
    ASSERT_EQ(bytes.substr(bytes.size() - 3), "\"\r\n") << bytes;
    at = file.row_end();
  }
  EXPECT_EQ(at, static_cast<int64_t>(text.size()));
}

TEST(DelimitedFile, GivesTheBytesOfEachRow) {
  // Each row's bytes as read back from the input, separated by |.
  struct Case {
    const char* name;
    std::string text;
    std::string rows;
  };
  const Case cases[] = {
      {"line breaks of each kind", "a,b\nx,1\r\ny,2\rz,3", "x,1\r\n|y,2\r|z,3"},
      {"blank lines stay outside the rows", "a\n\n  \nx\n\ny\n\n", "x\n|y\n"},
      {"a quoted line break inside the row", "a,b\nx,\"1\r\n2\"\ny,3\n",
       "x,\"1\r\n2\"\n|y,3\n"},
      {"after a byte-order mark", "\xEF\xBB\xBF" "a\nx\n", "x\n"},
      {"LF CR ends a row and leaves a blank line", "a\nx\n\ry\n", "x\n|y\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DelimitedFile file;
    String error;
    file.open_text(String(c.text));
    ASSERT_TRUE(file.read_header(0, &error)) << error.c_str();
    std::string rows;
    while (file.next(&error) == DelimitedFile::Row::kRow) {
      if (!rows.empty()) rows += "|";
      rows += c.text.substr(static_cast<size_t>(file.row_begin()),
                            static_cast<size_t>(file.row_end() - file.row_begin()));
    }
    EXPECT_EQ(rows, c.rows);
  }
}

TEST(DelimitedFile, ReportsAFileThatCannotBeOpened) {
  DelimitedFile file;
  String error;
  EXPECT_FALSE(file.open("/nonexistent/list.csv", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tessaline
