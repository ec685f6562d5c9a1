#include "storage/file_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tessaline {
namespace {

FileTime make_time(int year, int month, int day, int hour, int minute, int second) {
  FileTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

TEST(FileTime, FormatsOnATwelveHourClockAndParsesBack) {
  struct Case {
    FileTime time;
    const char* text;
  };
  const Case cases[] = {
      {make_time(1999, 12, 31, 23, 5, 9), "12/31/1999 11:05:09p"},
      {make_time(2000, 1, 1, 0, 0, 0), "1/1/2000 12:00:00a"},
      {make_time(2000, 1, 1, 12, 30, 0), "1/1/2000 12:30:00p"},
      {make_time(2024, 7, 4, 11, 59, 59), "7/4/2024 11:59:59a"},
      {make_time(5, 2, 3, 13, 0, 7), "2/3/05 1:00:07p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.time.format(), c.text);
    FileTime back;
    ASSERT_TRUE(back.parse(c.text));
    EXPECT_EQ(back, c.time);
  }
}

TEST(FileTime, ParseTakesExactlySixNumbers) {
  struct Case {
    const char* text;
    bool ok;
    FileTime expected;
  };
  const FileTime untouched = make_time(1, 2, 3, 4, 5, 6);
  const Case cases[] = {
      {"12/31/1999 11:05:09P", true, make_time(1999, 12, 31, 23, 5, 9)},
      {"12/31/1999 23:05:09", true, make_time(1999, 12, 31, 23, 5, 9)},
      {"month 3 day 4 year 2001 at 5.6.7", true, make_time(2001, 3, 4, 5, 6, 7)},
      {"12/31/1999 11:05", false, untouched},
      {"12/31/1999 11:05:09:10p", false, untouched},
      {"12/31/19999999999 11:05:09", false, untouched},
      {"", false, untouched},
      {nullptr, false, untouched},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    FileTime t = untouched;
    EXPECT_EQ(t.parse(c.text), c.ok);
    EXPECT_EQ(t, c.expected);
  }
}

TEST(FileTime, CompareOrdersFieldByFieldFromTheYear) {
  const FileTime base = make_time(2000, 6, 15, 12, 30, 30);
  const FileTime later[] = {
      make_time(2000, 6, 15, 12, 30, 31), make_time(2000, 6, 15, 12, 31, 0),
      make_time(2000, 6, 15, 13, 0, 0),   make_time(2000, 6, 16, 0, 0, 0),
      make_time(2000, 7, 1, 0, 0, 0),     make_time(2001, 1, 1, 0, 0, 0),
  };
  for (const FileTime& t : later) {
    SCOPED_TRACE(t.format().c_str());
    EXPECT_LT(base.compare(t), 0);
    EXPECT_GT(t.compare(base), 0);
  }
  EXPECT_EQ(base.compare(base), 0);
}

TEST(FileTime, FromUniversalSplitsAnInstant) {
  EXPECT_EQ(FileTime::from_universal(946684799), make_time(1999, 12, 31, 23, 59, 59));
  EXPECT_EQ(FileTime::from_universal(0), make_time(1970, 1, 1, 0, 0, 0));
}

TEST(FileAttributes, FollowTypeAndOwnerWritePermission) {
  struct Case {
    uint32_t mode;
    uint32_t attributes;
  };
  const Case cases[] = {
      {S_IFREG | 0644, kAttributeNormal},
      {S_IFREG | 0444, kAttributeReadOnly},
      {S_IFREG | 0066, kAttributeReadOnly},
      {S_IFDIR | 0755, kAttributeDirectory},
      {S_IFDIR | 0555, kAttributeDirectory | kAttributeReadOnly},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    EXPECT_EQ(attributes_from_mode(c.mode), c.attributes);
  }
}

}  // namespace
}  // namespace tessaline
