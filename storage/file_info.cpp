#include "storage/file_info.h"

#include <sys/stat.h>

namespace tessaline {

String FileTime::format() const {
  int twelve = hour % 12 == 0 ? 12 : hour % 12;
  return String::formatted("%d/%d/%02d %d:%02d:%02d%c", month, day, year, twelve, minute,
                           second, hour < 12 ? 'a' : 'p');
}

bool FileTime::parse(const char* text) {
  if (!text) return false;
  int32_t numbers[6];
  int found = 0;
  const char* p = text;
  while (*p) {
    if (!is_digit(*p)) {
      ++p;
      continue;
    }
    // Nine digits always fit; a longer run is no time field.
    int32_t value = 0;
    int digits = 0;
    for (; is_digit(*p); ++p, ++digits) {
      if (digits == 9) return false;
      value = value * 10 + (*p - '0');
    }
    if (found == 6) return false;
    numbers[found++] = value;
  }
  if (found != 6) return false;

  int32_t h = numbers[3];
  char suffix = p > text ? to_lower(p[-1]) : 0;
  // A 12-hour clock: 12a is midnight and 12p noon, so that the text that
  // format() writes reads back to the same time.
  if (suffix == 'p' && h < 12) h += 12;
  if (suffix == 'a' && h == 12) h = 0;

  month = numbers[0];
  day = numbers[1];
  year = numbers[2];
  hour = h;
  minute = numbers[4];
  second = numbers[5];
  return true;
}

int FileTime::compare(const FileTime& other) const {
  const int32_t mine[] = {year, month, day, hour, minute, second};
  const int32_t theirs[] = {other.year, other.month, other.day,
                            other.hour, other.minute, other.second};
  for (int i = 0; i < 6; ++i) {
    if (mine[i] != theirs[i]) return mine[i] < theirs[i] ? -1 : 1;
  }
  return 0;
}

namespace {

FileTime from_tm(const struct tm& t) {
  FileTime result;
  result.year = t.tm_year + 1900;
  result.month = t.tm_mon + 1;
  result.day = t.tm_mday;
  result.hour = t.tm_hour;
  result.minute = t.tm_min;
  result.second = t.tm_sec;
  return result;
}

}  // namespace

FileTime FileTime::from_universal(time_t t) {
  struct tm parts {};
  gmtime_r(&t, &parts);
  return from_tm(parts);
}

FileTime FileTime::from_local(time_t t) {
  struct tm parts {};
  localtime_r(&t, &parts);
  return from_tm(parts);
}

uint32_t attributes_from_mode(uint32_t mode) {
  uint32_t attributes = 0;
  if (S_ISDIR(mode)) attributes |= kAttributeDirectory;
  if (!(mode & S_IWUSR)) attributes |= kAttributeReadOnly;
  return attributes ? attributes : kAttributeNormal;
}

}  // namespace tessaline
