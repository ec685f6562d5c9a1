#include "mail/encoded_file_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string_view>

#include "storage/test_directory.h"
#include "mail/mime_message.h"

namespace tessaline {
namespace {

// A clock long after every file of the test was written: every file has
// settled, so the cache keeps what it reads.
int64_t long_after() { return (int64_t{1} << 62); }

// What the builder appends for these bytes without any cache.
String expected_part(const String& bytes) {
  String encoded = bytes;
  base64_encode(&encoded);
  return "\r\n" + encoded + "\r\n";
}

String bytes_of(char c, int n) {
  String bytes;
  for (int i = 0; i < n; ++i) bytes.append(static_cast<char>(c + i % 7));
  return bytes;
}

timespec modified_time(const String& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return info.st_mtim;
}

void set_modified_time(const String& path, timespec t) {
  timespec times[2] = {{0, UTIME_OMIT}, t};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class EncodedFileCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.ok());
    cache.set_clock(long_after);
  }
  // The part for the file, or "<failed>".
  String part(const String& path) {
    String out = "head";
    if (!cache.append_file_base64(path, &out)) {
      EXPECT_EQ(out, "head") << "a failure leaves the text alone";
      return "<failed>";
    }
    EXPECT_TRUE(out.starts_with("head"));
    return out.substr(4);
  }

  TestDirectory folder;
  EncodedFileCache cache;
};

TEST_F(EncodedFileCacheTest, TheSameFileTwiceGivesIdenticalPartsFromOneRead) {
  const String bytes = bytes_of('a', 4096);
  ASSERT_TRUE(folder.put("report.bin", bytes));
  EXPECT_EQ(part(folder / "report.bin"), expected_part(bytes));
  EXPECT_EQ(part(folder / "report.bin"), expected_part(bytes));
  EXPECT_EQ(cache.reads(), 1);
  EXPECT_EQ(cache.kept(), 1);

  ASSERT_TRUE(folder.put("empty.bin", ""));
  EXPECT_EQ(part(folder / "empty.bin"), "\r\n\r\n");
  EXPECT_EQ(part(folder / "empty.bin"), "\r\n\r\n");
  EXPECT_EQ(cache.reads(), 2);
}

TEST_F(EncodedFileCacheTest, AFileChangedBetweenTwoUsesGivesItsNewBytes) {
  const String old_bytes = bytes_of('a', 300);
  const String new_bytes = bytes_of('k', 300);  // the same size
  const String failed = "<failed>";
  struct Change {
    const char* name;
    std::function<void(const String& path)> make;
    String expected;
  } changes[] = {
      {"rewritten in place, a later modification time",
       [&](const String& path) {
         timespec before = modified_time(path);
         ASSERT_TRUE(folder.put("f", new_bytes));
         set_modified_time(path, {before.tv_sec + 1, before.tv_nsec});
       },
       expected_part(new_bytes)},
      {"replaced by another file with the same modification time",
       [&](const String& path) {
         timespec before = modified_time(path);
         // The old file stays linked, so its inode cannot be handed on.
         ASSERT_EQ(::link(path.c_str(), (folder / "old").c_str()), 0);
         ASSERT_TRUE(folder.put("new", new_bytes));
         set_modified_time(folder / "new", before);
         ASSERT_EQ(std::rename((folder / "new").c_str(), path.c_str()), 0);
       },
       expected_part(new_bytes)},
      {"grown", [&](const String&) { ASSERT_TRUE(folder.put("f", old_bytes + "x")); },
       expected_part(old_bytes + "x")},
      {"removed", [&](const String& path) { ASSERT_EQ(::unlink(path.c_str()), 0); }, failed},
      {"replaced by a folder",
       [&](const String& path) {
         ASSERT_EQ(::unlink(path.c_str()), 0);
         ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
       },
       failed},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    const String path = folder / "f";
    ::rmdir(path.c_str());
    ::unlink((folder / "old").c_str());
    ASSERT_TRUE(folder.put("f", old_bytes));
    cache.clear();
    ASSERT_EQ(part(path), expected_part(old_bytes));
    ASSERT_EQ(part(path), expected_part(old_bytes));
    ASSERT_EQ(cache.kept(), 1);
    change.make(path);
    EXPECT_EQ(part(path), change.expected);
    EXPECT_EQ(part(path), change.expected) << "the second use after the change";
  }
}

TEST_F(EncodedFileCacheTest, AFileChangedLessThanTheSettleTimeAgoIsReadEachTime) {
  static int64_t now;
  cache.set_clock([] { return now; });
  const String bytes = bytes_of('a', 100);
  ASSERT_TRUE(folder.put("f", bytes));
  // The change time cannot be set; the clock is set around it instead.
  struct stat info {};
  ASSERT_EQ(::stat((folder / "f").c_str(), &info), 0);
  const int64_t changed = info.st_ctim.tv_sec * 1000000000 + info.st_ctim.tv_nsec;
  const int64_t settle = EncodedFileCache::settle_time(changed);

  now = changed + settle - 1;
  EXPECT_EQ(part(folder / "f"), expected_part(bytes));
  EXPECT_EQ(part(folder / "f"), expected_part(bytes));
  EXPECT_EQ(cache.reads(), 2);
  EXPECT_EQ(cache.kept(), 0);
  now = changed + settle + 1;
  EXPECT_EQ(part(folder / "f"), expected_part(bytes));
  EXPECT_EQ(part(folder / "f"), expected_part(bytes));
  EXPECT_EQ(cache.reads(), 3);
  EXPECT_EQ(cache.kept(), 1);
}

TEST(EncodedFileCache, FilesOfRoundTimesSettleOnlyAfterTheCoarsestTick) {
  constexpr int64_t kSecond = 1000000000;
  struct Case {
    int64_t changed;
    int64_t settle;
  } cases[] = {
      {1700000000 * kSecond + 123456789, EncodedFileCache::kFineSettle},
      {1700000000 * kSecond + 1, EncodedFileCache::kFineSettle},
      {1700000000 * kSecond, EncodedFileCache::kCoarseSettle},              // FAT: 2 s
      {1700000000 * kSecond + 990000000, EncodedFileCache::kCoarseSettle},  // exFAT: 10 ms
  };
  for (const Case& c : cases) EXPECT_EQ(EncodedFileCache::settle_time(c.changed), c.settle) << c.changed;
}

TEST_F(EncodedFileCacheTest, WithTheRealClockAFileRewrittenAtOnceGivesItsNewBytes) {
  // Both writes may fall in one tick of the file times, same size and all:
  // only the settle time tells the two apart.
  cache.set_clock(nullptr);
  ASSERT_TRUE(folder.put("f", bytes_of('a', 100)));
  EXPECT_EQ(part(folder / "f"), expected_part(bytes_of('a', 100)));
  ASSERT_TRUE(folder.put("f", bytes_of('k', 100)));
  EXPECT_EQ(part(folder / "f"), expected_part(bytes_of('k', 100)));
}

TEST_F(EncodedFileCacheTest, OnlyRegularFilesAreKept) {
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(part(folder / "fifo"), "\r\n\r\n");  // no writer: no bytes, as without the cache
  EXPECT_EQ(part(folder / "fifo"), "\r\n\r\n");
  EXPECT_EQ(cache.kept(), 0);
  EXPECT_EQ(cache.reads(), 2);
  EXPECT_EQ(part(""), "<failed>");
  EXPECT_EQ(part(folder.path()), "<failed>");
}

TEST(EncodedFileCache, KeepsTheMostRecentlyUsedFormsWithinItsLimit) {
  TestDirectory folder;
  ASSERT_TRUE(folder.ok());
  // 60 bytes encode to 80 characters and a line break: one form fits, two
  // do not.
  EncodedFileCache cache(150);
  cache.set_clock(long_after);
  ASSERT_TRUE(folder.put("a", bytes_of('a', 60)));
  ASSERT_TRUE(folder.put("b", bytes_of('b', 60)));
  ASSERT_TRUE(folder.put("big", bytes_of('c', 200)));
  auto use = [&](const char* name) {
    String out;
    EXPECT_TRUE(cache.append_file_base64(folder / name, &out)) << name;
    EXPECT_EQ(out, expected_part(folder.get(name))) << name;
  };
  use("a");
  use("a");
  EXPECT_EQ(cache.reads(), 1);
  use("b");  // pushes a out
  use("b");
  EXPECT_EQ(cache.reads(), 2);
  use("a");
  EXPECT_EQ(cache.reads(), 3);
  EXPECT_EQ(cache.kept(), 1);
  use("big");  // never kept, and pushes nothing out
  use("big");
  use("a");
  EXPECT_EQ(cache.reads(), 5);
  EXPECT_EQ(cache.kept(), 1);
}

}  // namespace
}  // namespace tessaline
