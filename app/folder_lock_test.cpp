#include "app/folder_lock.h"

#include <gtest/gtest.h>

#include "storage/test_directory.h"

namespace tessaline {
namespace {

using Result = FolderLock::Result;

TEST(FolderLock, OneHolderAtATimeUntilReleased) {
  TestDirectory folder;
  ASSERT_TRUE(folder.ok());
  String project = folder / "p.zqj";
  FolderLock first, second;
  ASSERT_EQ(first.acquire(project, 0), Result::kLocked);
  EXPECT_EQ(second.acquire(project, 50), Result::kTimedOut);  // each acquire opens the folder anew
  EXPECT_FALSE(second.held());
  first.release();
  EXPECT_EQ(second.acquire(project, 0), Result::kLocked);
  EXPECT_EQ(FolderLock().acquire(folder / "missing/p.zqj", 0), Result::kNoFolder);
}

}  // namespace
}  // namespace tessaline
