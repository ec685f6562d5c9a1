#include "storage/find_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include "storage/test_directory.h"

namespace tessaline {
namespace {

class FindFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    for (const char* name : {"a.txt", "b.txt", "B.TXT", ".hidden.txt", "c.doc", "x[1].pdf",
                             "back\\slash", "two words.txt"}) {
      // Each file's size is its name's length, so totals show which counted.
      ASSERT_TRUE(dir.put(name, name));
    }
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_TRUE(dir.put("sub/inner.txt", "inner"));
  }

  // The names list_files gives, each followed by a blank, and their total.
  String listed(const char* component, bool skip_directories, uint64_t* total = nullptr) {
    Vector<String> names;
    uint64_t size = list_files(dir / component, names, skip_directories);
    if (total) *total = size;
    String result;
    for (const String& name : names) result += name + " ";
    return result;
  }

  TestDirectory dir;
};

TEST_F(FindFileTest, OnlyStarAndQuestionMarkAreWildcards) {
  struct Case {
    const char* pattern;
    bool skip_directories;
    const char* names;
  };
  const Case cases[] = {
      {"*.txt", true, ".hidden.txt a.txt b.txt two words.txt "},
      {"?.txt", true, "a.txt b.txt "},
      {"*.TXT", true, "B.TXT "},
      {"*", true,
       ".hidden.txt B.TXT a.txt b.txt back\\slash c.doc two words.txt x[1].pdf "},
      {"*", false,
       ".hidden.txt B.TXT a.txt b.txt back\\slash c.doc sub two words.txt x[1].pdf "},
      {"x[1].pdf", true, "x[1].pdf "},
      {"x[1]*", true, "x[1].pdf "},
      {"x1*", true, ""},
      {"back\\slash", true, "back\\slash "},
      {"back\\*", true, "back\\slash "},
      {"sub", true, ""},
      {"sub", false, "sub "},
      {"sub/*", true, "inner.txt "},
      {"a.txt", true, "a.txt "},
      {"A.txt", true, ""},
      {"missing*", true, ""},
      {"missing", true, ""},
      {"", false, ""},
      {"no-folder/*", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pattern << (c.skip_directories ? " skipping" : ""));
    EXPECT_EQ(listed(c.pattern, c.skip_directories), c.names);
  }
}

TEST_F(FindFileTest, ListFilesAddsToTheListAndTotalsTheSizes) {
  uint64_t total = 0;
  EXPECT_EQ(listed("?.txt", true, &total), "a.txt b.txt ");
  EXPECT_EQ(total, 10u);
  // A folder counts no bytes of its own.
  EXPECT_EQ(listed("s*", false, &total), "sub ");
  EXPECT_EQ(total, 0u);

  Vector<String> names;
  names.append("kept");
  list_files(dir / "c.*", names, true);
  ASSERT_EQ(names.count(), 2);
  EXPECT_EQ(names[0], "kept");
  EXPECT_EQ(names[1], "c.doc");
}

TEST_F(FindFileTest, EntriesAreDescribed) {
  const time_t when = 946684799;  // 1999-12-31 23:59:59 UTC
  struct timeval times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimes((dir / "c.doc").c_str(), times), 0);
  ASSERT_EQ(chmod((dir / "c.doc").c_str(), 0444), 0);

  FileInfo info;
  ASSERT_TRUE(begin_find_file(dir / "c.*", info));
  EXPECT_EQ(info.name, "c.doc");
  EXPECT_EQ(info.short_name, "c.doc");
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.attributes, kAttributeReadOnly);
  EXPECT_EQ(info.last_write.format(), "12/31/1999 11:59:59p");
  EXPECT_EQ(info.last_access.format(), "12/31/1999 11:59:59p");
  EXPECT_FALSE(next_find_file(info));
  end_find_file();

  ASSERT_TRUE(begin_find_file(dir / "sub", info));
  EXPECT_EQ(info.attributes, kAttributeDirectory);
  EXPECT_EQ(info.size, 0u);
  end_find_file();
}

TEST_F(FindFileTest, SearchesNest) {
  FileInfo outer, inner;
  String order;
  for (bool found = begin_find_file(dir / "?.txt", outer); found; found = next_find_file(outer)) {
    order += outer.name + ":";
    for (bool more = begin_find_file(dir / "sub/*.txt", inner); more; more = next_find_file(inner)) {
      order += inner.name + " ";
    }
    end_find_file();
    // A search that finds nothing is a level of its own as well.
    EXPECT_FALSE(begin_find_file(dir / "none*", inner));
    end_find_file();
  }
  end_find_file();
  EXPECT_EQ(order, "a.txt:inner.txt b.txt:inner.txt ");

  EXPECT_EXIT(end_find_file(), ::testing::ExitedWithCode(1), "Too many calls to end_find_file\\(\\)");
  EXPECT_EXIT(
      {
        FileInfo info;
        begin_find_file(dir / "*", info);
        end_find_file();
        end_find_file();
      },
      ::testing::ExitedWithCode(1), "Too many calls to end_find_file\\(\\)");
}

}  // namespace
}  // namespace tessaline
