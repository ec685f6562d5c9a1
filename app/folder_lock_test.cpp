#include "app/folder_lock.h"

#include <gtest/gtest.h>

#include "storage/test_directory.h"

namespace tessaline {
namespace {

TEST(FolderLock, OneHolderAtATimeUntilReleased) {
  TestDirectory folder;
  ASSERT_TRUE(folder.ok());
  String project = folder / "p.zqj";
  FolderLock first, second;
  ASSERT_TRUE(first.acquire(project, 0));
  EXPECT_FALSE(second.acquire(project, 50));  // each acquire opens the folder anew
  EXPECT_FALSE(second.held());
  first.release();
  EXPECT_TRUE(second.acquire(project, 0));
  EXPECT_FALSE(FolderLock().acquire(folder / "missing/p.zqj", 0));
}

}  // namespace
}  // namespace tessaline
