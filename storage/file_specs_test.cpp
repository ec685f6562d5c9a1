#include "storage/file_specs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "storage/test_directory.h"

namespace tessaline {
namespace {

class FileSpecsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    for (const char* name : {"a.txt", "b.txt", "logo.png", "sub/c.txt", "sub/d.txt"}) {
      if (String(name).starts_with("sub/")) mkdir((dir / "sub").c_str(), 0755);
      // Each file's size is its name's length.
      ASSERT_TRUE(dir.put(name, name));
    }
  }
  // Writes "@" as the test folder.
  String here(const char* text) const {
    String result = text;
    result.replace_all("@", dir.path().c_str());
    return result;
  }
  static String joined(const Vector<String>& list) {
    String result;
    for (const String& item : list) result += item + "|";
    return result;
  }

  TestDirectory dir;
};

TEST_F(FileSpecsTest, ExpandsLineByLine) {
  struct Case {
    const char* what;
    const char* specifications;
    const char* default_directory;
    const char* paths;
    const char* messages;
    uint64_t total;
  };
  const Case cases[] = {
      {"two good lines and a bad third", "@/a.txt\n@/sub/*.txt\n@/none.txt", "",
       "@/a.txt|@/sub/c.txt|@/sub/d.txt|",
       "The file specification '@/none.txt' on line 3 did not match any files.\n", 23},
      {"a folder names no files", "@/sub\n@/sub/", "", "",
       "The file specification '@/sub' on line 1 did not match any files.\n"
       "The file specification '@/sub/' on line 2 did not match any files.\n",
       0},
      {"blanks, tabs and all four line breaks; empty lines count", "\t @/a.txt \r\n\r\n@/x\n\r\r  @/b.txt",
       "", "@/a.txt|@/b.txt|",
       "The file specification '@/x' on line 3 did not match any files.\n", 10},
      {"relative lines without a default folder", "a.txt\n@/*.png", "", "@/logo.png|",
       "The file specification 'a.txt' on line 1 is not an absolute path.\n", 8},
      {"relative lines below the default folder", "*.txt\nsub/c.txt\n@/logo.png", "@",
       "@/a.txt|@/b.txt|@/sub/c.txt|@/logo.png|", "", 27},
      {"a default folder that does not exist", "a.txt\n@/b.txt", "@/gone", "@/b.txt|",
       "The default directory '@/gone' does not exist.\n"
       "The file specification '@/gone/a.txt' on line 1 did not match any files.\n",
       5},
      {"nothing at all", "\n \n\t\n", "", "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Vector<String> result, second;
    result.append("stale");
    second.append("stale");
    String messages = "stale";
    uint64_t total = 99;
    expand_file_specs(here(c.specifications), result, here(c.default_directory), &messages,
                      &second, &total);
    EXPECT_EQ(joined(result), here(c.paths));
    EXPECT_EQ(joined(second), here(c.paths));
    EXPECT_EQ(messages, here(c.messages));
    EXPECT_EQ(total, c.total);
  }
}

TEST_F(FileSpecsTest, OptionalOutputsMayBeLeftOut) {
  Vector<String> result;
  expand_file_specs(here("@/a.txt\n@/missing"), result, "");
  EXPECT_EQ(joined(result), here("@/a.txt|"));
}

}  // namespace
}  // namespace tessaline
