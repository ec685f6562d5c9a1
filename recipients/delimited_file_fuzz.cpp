// Fuzzes the spreadsheet-export reader: the first byte chooses the
// delimiter (detected, or one of the four), the rest is the file. Besides
// crashes and hangs, it checks that rows keep within their bounds and
// start on ever later lines, that a row's bytes follow the last one's
// with only blank lines between them (so a row can be cut out of the
// file), and that the rows read, written back as
// strict CSV (every field quoted, quotes doubled, CR LF line ends) and read
// again, come back field for field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/string.h"
#include "recipients/delimited_file.h"

namespace {

using tessaline::DelimitedFile;
using tessaline::String;

void check(bool condition) {
  if (!condition) std::abort();
}

using Rows = std::vector<std::vector<std::string>>;

// The header and the rows, or false after an error.
bool read_all(const String& bytes, char delimiter, Rows* rows) {
  DelimitedFile file;
  String error;
  file.open_text(bytes);
  if (!file.read_header(delimiter, &error)) {
    check(!error.empty());
    return false;
  }
  std::vector<std::string> header;
  for (const String& name : file.header()) {
    check(name.find_any(" \t") != 0);  // trimmed
    header.push_back(name.std_string());
  }
  rows->push_back(header);
  int64_t last_line = 0;
  int64_t last_end = file.row_end();  // the header's
  for (;;) {
    DelimitedFile::Row row = file.next(&error);
    if (row == DelimitedFile::Row::kEnd) return true;
    if (row == DelimitedFile::Row::kError) {
      check(!error.empty());
      check(file.next(&error) == DelimitedFile::Row::kEnd);
      return false;
    }
    check(file.field_count() >= 1 && file.field_count() <= DelimitedFile::kMaxFields);
    check(file.line() > last_line);
    last_line = file.line();
    check(file.row_begin() >= last_end && file.row_end() > file.row_begin());
    check(file.row_end() <= bytes.length());
    for (int64_t i = last_end; i < file.row_begin(); ++i) {
      char c = bytes[static_cast<int>(i)];
      check(c == ' ' || c == '\t' || c == '\r' || c == '\n');
    }
    last_end = file.row_end();
    std::vector<std::string> fields;
    for (int i = 0; i < file.field_count(); ++i) fields.push_back(file.field(i).std_string());
    rows->push_back(fields);
  }
}

std::string quoted(const std::string& field) {
  std::string out = "\"";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char kChoices[] = {0, ',', ';', '\t', '|'};
  char delimiter = kChoices[data[0] % 5];
  String bytes(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));

  Rows rows;
  if (!read_all(bytes, delimiter, &rows)) return 0;

  char used = delimiter;
  if (used == 0) {
    DelimitedFile file;
    String error;
    file.open_text(bytes);
    check(file.read_header(0, &error));
    used = file.delimiter();
  }
  std::string strict;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) line += used;
      line += quoted(row[i]);
    }
    // Doubled quotes may push a row past the bound: nothing to compare.
    if (line.size() + 2 > static_cast<size_t>(DelimitedFile::kMaxRowBytes)) return 0;
    strict += line + "\r\n";
  }
  Rows again;
  check(read_all(String(strict), used, &again));
  check(again == rows);
  return 0;
}
