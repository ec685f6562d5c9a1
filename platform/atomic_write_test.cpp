#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/string.h"
#include "platform/atomic_write.h"

namespace tessaline {
namespace {

std::string read_all(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  fclose(f);
  return text;
}

int entries_in(const std::string& folder) {
  int count = 0;
  DIR* d = opendir(folder.c_str());
  while (dirent* e = readdir(d)) count += e->d_name[0] != '.';
  closedir(d);
  return count;
}

class AtomicWrite : public testing::Test {
 protected:
  void SetUp() override {
    char base_template[] = "/tmp/atomic_write_test.XXXXXX";
    ASSERT_NE(mkdtemp(base_template), nullptr);
    folder_ = base_template;
  }
  void TearDown() override { std::system(("rm -rf " + folder_).c_str()); }
  std::string folder_;
  String error_;
};

TEST_F(AtomicWrite, ReplacesContentsAndKeepsThePermissions) {
  std::string path = folder_ + "/settings.reg";
  ASSERT_TRUE(write_file_atomically(String(path.c_str()), String("old contents"), error_));
  chmod(path.c_str(), 0640);
  String binary("a\0b", 3);
  ASSERT_TRUE(write_file_atomically(String(path.c_str()), binary, error_)) << error_.c_str();
  EXPECT_EQ(read_all(path), std::string("a\0b", 3));
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(entries_in(folder_), 1);  // no temporary file left
}

TEST_F(AtomicWrite, ALinkKeepsPointingAtTheReplacedFile) {
  std::string target = folder_ + "/real.reg";
  std::string link = folder_ + "/link.reg";
  ASSERT_TRUE(write_file_atomically(String(target.c_str()), String("one"), error_));
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(write_file_atomically(String(link.c_str()), String("two"), error_));
  struct stat info;
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(read_all(target), "two");
}

TEST_F(AtomicWrite, AFailureLeavesTheOldFileAndNoTemporaryFile) {
  std::string path = folder_ + "/kept";
  ASSERT_TRUE(write_file_atomically(String(path.c_str()), String("whole"), error_));
  // A folder of that name cannot be replaced by a file: the rename fails.
  std::string folder_in_the_way = folder_ + "/sub";
  mkdir(folder_in_the_way.c_str(), 0700);
  EXPECT_FALSE(write_file_atomically(String(folder_in_the_way.c_str()), String("x"), error_));
  EXPECT_NE(error_.find("sub"), -1);
  EXPECT_EQ(entries_in(folder_), 2);
  EXPECT_EQ(read_all(path), "whole");
  EXPECT_FALSE(write_file_atomically(String((folder_ + "/missing/f").c_str()), String("x"), error_));
}

}  // namespace
}  // namespace tessaline
