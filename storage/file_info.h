// file_info.h - FileTime, a file's calendar time, and FileInfo, one
// directory entry as a directory search describes it.
//
// FileTime is plain calendar fields, not an instant: whether it holds
// universal or local time depends on who filled it (directory searches give
// universal time, File::get_file_time local time). Its text form is the
// program's month/day/year, 12-hour one ("12/31/1999 11:05:09p").
//
// Not for: time-zone arithmetic or date calculations (see the date record).
//
// Failures: FileTime::parse returns false and leaves the time unchanged when
// the text does not hold exactly six numbers.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/string.h"

namespace tessaline {

struct FileTime {
  int32_t year = 0;    // four digits
  int32_t month = 0;   // 1-12
  int32_t day = 0;     // 1-31
  int32_t hour = 0;    // 0-23
  int32_t minute = 0;
  int32_t second = 0;

  // "%d/%d/%02d %d:%02d:%02d%c": month, day, year, hour on a 12-hour clock
  // (0 shows as 12), minute, second, then "a" or "p".
  String format() const;

  // Reads the first six numbers of the text as month, day, year, hour,
  // minute and second. A text ending in "a" or "p" (either case) is on the
  // 12-hour clock that format() writes, so format() and parse() round-trip.
  bool parse(const char* text);

  // Orders by year, month, day, hour, minute, then second: negative, 0 or
  // positive.
  int compare(const FileTime& other) const;
  bool operator==(const FileTime& other) const { return compare(other) == 0; }

  // The calendar fields of an instant, as universal or as local time.
  static FileTime from_universal(time_t t);
  static FileTime from_local(time_t t);
};

// File attribute bits. Linux has no attribute word; a FileInfo carries the
// bits that the program tests, derived from the file's type and mode.
enum FileAttribute : uint32_t {
  kAttributeReadOnly = 0x01,   // the owner has no write permission
  kAttributeDirectory = 0x10,
  kAttributeNormal = 0x80,     // neither of the above
};
// file_attributes() of a name that does not exist.
constexpr uint32_t kNoFileAttributes = 0xFFFFFFFFu;

// The attribute bits of a file with this st_mode.
uint32_t attributes_from_mode(uint32_t mode);

struct FileInfo {
  FileTime last_access;  // universal time
  uint32_t attributes = 0;
  FileTime last_write;   // universal time
  // Universal time. The birth time where the file system records it, else
  // the last write.
  FileTime creation;
  String name;        // without directory
  String short_name;  // Linux has no separate short names: the same as name
  uint64_t size = 0;

  bool is_directory() const { return (attributes & kAttributeDirectory) != 0; }
};

}  // namespace tessaline
