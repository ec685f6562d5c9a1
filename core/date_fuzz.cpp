// Fuzzes the date and time readers, and the formatter with the input as its
// format. A date-time that reads as valid must also survive a round trip
// through the four-digit-year format.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/date.h"
#include "core/string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  if (size > 1 << 12) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  Date date;
  std::optional<int> end = read_date(text, &date);
  if (end && (*end < 0 || static_cast<size_t>(*end) > size)) __builtin_trap();
  if (!end && !date.empty() && date.day != 1) __builtin_trap();

  DateTime value;
  read_time(text, &value);
  bool valid = read_date_time(text, &value);
  if (valid && is_valid_date(value.date) && value.date.year >= 101) {
    String written = format_date_time(value, "m/d/yy h:ii:ssap");
    DateTime again;
    if (!read_date_time(written, &again) || !(again == value)) __builtin_trap();
  }

  String format(reinterpret_cast<const char*>(data), static_cast<int>(size));
  format_date_time(value, format.c_str());
  format_date(date, format.c_str());
  return 0;
}
