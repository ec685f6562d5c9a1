#include <gtest/gtest.h>
#include <string>

#include "core/string.h"
#include "storage/reg_file.h"

namespace tessaline {
namespace {

const char* const kKey = "HKEY_CURRENT_USER\\Software\\Tessaline\\Tessaline Mailer";

std::string text_of(const String& s) { return s.std_string(); }

TEST(RegDocument, WritesEveryValueKindInTheExportFormat) {
  RegDocument doc;
  String bytes;
  for (int i = 0; i < 30; ++i) bytes.append(static_cast<char>(i * 9));
  ASSERT_TRUE(doc.set_value(kKey, "Text", kRegSz, RegDocument::sz_data("C:\\a \"b\"")));
  ASSERT_TRUE(doc.set_value(kKey, "Lines", kRegSz, RegDocument::sz_data("a\nb")));
  ASSERT_TRUE(doc.set_value(kKey, "Count", kRegDword, RegDocument::dword_data(0xc8)));
  ASSERT_TRUE(doc.set_value(kKey, "", kRegSz, RegDocument::sz_data("unnamed")));
  ASSERT_TRUE(doc.set_value(kKey, "Empty", kRegBinary, String()));
  ASSERT_TRUE(doc.set_value(kKey, "Multi", kRegMultiSz, String("a\0\0", 3)));
  ASSERT_TRUE(doc.set_value("HKEY_CURRENT_USER\\Software\\Other", "Data", kRegBinary, bytes));
  EXPECT_EQ(text_of(doc.serialize()),
            "REGEDIT4\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\Tessaline\\Tessaline Mailer]\n"
            "\"Text\"=\"C:\\\\a \\\"b\\\"\"\n"
            "\"Lines\"=hex(1):61,0a,62,00\n"
            "\"Count\"=dword:000000c8\n"
            "@=\"unnamed\"\n"
            "\"Empty\"=hex:\n"
            "\"Multi\"=hex(7):61,00,00\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\Other]\n"
            "\"Data\"=hex:00,09,12,1b,24,2d,36,3f,48,51,5a,63,6c,75,7e,87,90,99,a2,ab,b4,bd,\\\n"
            "  c6,cf,d8,e1,ea,f3,fc,05\n");
  // Read back, the wrapped list and every other value are the same bytes.
  RegDocument again;
  again.parse(doc.serialize());
  EXPECT_EQ(text_of(again.serialize()), text_of(doc.serialize()));
  const RegValue* data = again.find_value("HKEY_CURRENT_USER\\Software\\Other", "data");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->type, kRegBinary);
  EXPECT_TRUE(data->data == bytes);
  const RegValue* lines = again.find_value(kKey, "Lines");
  ASSERT_NE(lines, nullptr);
  EXPECT_EQ(lines->type, kRegSz);
  EXPECT_TRUE(lines->data == String("a\nb\0", 4));
}

TEST(RegDocument, ReadsAFileAPersonEdited) {
  const char* edited =
      "\xEF\xBB\xBF; my settings\r\n"
      "[HKEY_CURRENT_USER\\Software\\Tessaline\\Tessaline Mailer\\]\r\n"
      "\"Folder\" = \"C:\\temp\"\r\n"  // a backslash that escapes nothing
      "\"Size\"=DWORD:1F\r\n"
      "\"Bytes\"=hex:01,02,\\\r\n"
      "      03 , ff\r\n"
      "; remember to change this\r\n"
      "\"Size\"=dword:20\r\n"  // the last one wins
      "this line means nothing\r\n"
      "\"Gone\"=\"x\"\r\n"
      "\"Gone\"=-\r\n"
      "\r\n"
      "[hkey_current_user\\software\\tessaline\\tessaline mailer]\r\n"
      "\"Late\"=\"same key\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\Dropped\\Sub]\r\n"
      "\"v\"=dword:1\r\n"
      "[-HKEY_CURRENT_USER\\Software\\Dropped]\r\n";
  RegDocument doc;
  doc.parse(edited);
  EXPECT_EQ(doc.key_count(), 1);
  struct Expect {
    const char* name;
    uint32_t type;
    String data;
  } expected[] = {
      {"Folder", kRegSz, RegDocument::sz_data("C:\\temp")},
      {"size", kRegDword, RegDocument::dword_data(0x20)},
      {"Bytes", kRegBinary, String("\x01\x02\x03\xff", 4)},
      {"Late", kRegSz, RegDocument::sz_data("same key")},
  };
  for (const Expect& e : expected) {
    const RegValue* v = doc.find_value(kKey, e.name);
    ASSERT_NE(v, nullptr) << e.name;
    EXPECT_EQ(v->type, e.type) << e.name;
    EXPECT_TRUE(v->data == e.data) << e.name;
  }
  EXPECT_EQ(doc.find_value(kKey, "Gone"), nullptr);
  EXPECT_FALSE(doc.key_exists("HKEY_CURRENT_USER\\Software\\Dropped\\Sub"));
  // Comments and the line that meant nothing survive a rewrite in place.
  EXPECT_EQ(text_of(doc.serialize()),
            "REGEDIT4\n"
            "; my settings\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\Tessaline\\Tessaline Mailer]\n"
            "\"Folder\"=\"C:\\\\temp\"\n"
            "\"Size\"=dword:00000020\n"
            "\"Bytes\"=hex:01,02,03,ff\n"
            "; remember to change this\n"
            "this line means nothing\n"
            "\"Late\"=\"same key\"\n");
}

TEST(RegDocument, ABrokenContinuedLineSwallowsNothingAndRereadsTheSame) {
  RegDocument doc;
  doc.parse("junk\\\n\n[HKEY_USERS\\K]\n\"Bad\"=hex:zz,\\\n\"Good\"=dword:1\n\"Cut\"=hex:01,\\\n");
  const RegValue* good = doc.find_value("HKEY_USERS\\K", "Good");
  ASSERT_NE(good, nullptr);
  EXPECT_TRUE(good->data == RegDocument::dword_data(1));
  EXPECT_EQ(doc.find_value("HKEY_USERS\\K", "Bad"), nullptr);
  // Written out and read again, the text does not change any more: a kept
  // line ending in a backslash is set apart by a blank line.
  String once = doc.serialize();
  RegDocument again;
  again.parse(once);
  EXPECT_EQ(text_of(again.serialize()), text_of(once));
  EXPECT_EQ(text_of(once),
            "REGEDIT4\njunk\\\n\n[HKEY_USERS\\K]\n\"Bad\"=hex:zz,\\\n\n\"Good\"=dword:00000001\n"
            "\"Cut\"=hex:01,\\\n");
}

TEST(RegDocument, KeysBelowMakeTheirParentsExist) {
  RegDocument doc;
  doc.parse("REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork\\Standard Dialogs]\n");
  const struct {
    const char* path;
    bool exists;
  } cases[] = {
      {"HKEY_CURRENT_USER\\Software\\Tessaline", true},
      {"HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork\\Standard Dialogs", true},
      {"HKEY_CURRENT_USER\\Software\\Tessa", false},
      {"HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork\\Standard Dialogs\\Find", false},
  };
  for (const auto& c : cases) EXPECT_EQ(doc.key_exists(c.path), c.exists) << c.path;
}

TEST(RegDocument, RefusesWhatALineCannotHold) {
  RegDocument doc;
  EXPECT_FALSE(doc.set_value(kKey, "two\nlines", kRegSz, RegDocument::sz_data("x")));
  EXPECT_FALSE(doc.set_value("", "name", kRegSz, RegDocument::sz_data("x")));
  EXPECT_FALSE(doc.set_value("-HKEY_USERS\\x", "name", kRegSz, RegDocument::sz_data("x")));
  EXPECT_EQ(doc.key_count(), 0);
}

}  // namespace
}  // namespace tessaline
