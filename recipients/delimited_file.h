// delimited_file.h - reading a spreadsheet export: a CSV or TSV file whose
// first row names its columns.
//
// DelimitedFile reads such a file one row at a time, so a file of any
// length needs only its current row in memory. The layout is the one
// spreadsheets write (RFC 4180, read leniently):
//   - fields are separated by one delimiter: ',' ';' TAB or '|', given, or
//     detected from the header row (the one of the four that occurs most
//     often outside quotes; ',' on a tie or when none occurs);
//   - a field that starts with '"' is quoted: it runs to the next '"' that
//     is not doubled, and may hold delimiters, doubled quotes ("" for ") and
//     line breaks; text between the closing quote and the next delimiter is
//     kept as written;
//   - a row ends at CR LF, LF or CR outside quotes; blank lines (nothing,
//     or only blanks and tabs) are no rows;
//   - a UTF-8 byte-order mark before the header is dropped.
// Header names are trimmed of blanks and tabs; field values are kept byte
// for byte. Line numbers count physical lines from 1 (the header's first
// line), so a row with a line break inside a quoted field spans several.
// Byte offsets count from the first byte of the input (a byte-order mark
// included), so a row can be cut out of the bytes it was read from.
//
// Not for: judging rows or mapping them to recipients
// (recipient_sources.h), files of other encodings (a UTF-16 file is
// refused, other bytes are passed through as they are), or writing CSV.
//
// Failures: open() fails with the system's text when the file cannot be
// opened. read_header() and next() return false / Row::kError with a
// sentence for the person in *error (without the file's name, which the
// caller adds): the file cannot be read, is in UTF-16, has no header row, a
// row is longer than kMaxRowBytes or has more than kMaxFields fields (a
// closing quote is usually missing), or the file ends inside a quoted
// field. After an error the reader stays at its end.
#pragma once

#include <cstdint>
#include <string>

#include "core/containers.h"
#include "core/string.h"
#include "storage/file.h"

namespace tessaline {

class DelimitedFile {
 public:
  // A row, quoted line breaks and all, may not be longer than this...
  static constexpr int kMaxRowBytes = 1 << 20;
  // ... nor have more fields than a spreadsheet has columns.
  static constexpr int kMaxFields = 16384;
  // The delimiters detection chooses from, in the order that breaks ties.
  static constexpr char kDelimiters[] = ",\t;|";

  DelimitedFile() = default;
  DelimitedFile(const DelimitedFile&) = delete;
  DelimitedFile& operator=(const DelimitedFile&) = delete;

  // Opens the file; then read_header().
  bool open(const String& path, String* error);
  // Reads bytes held in memory instead (tests, the fuzzer).
  void open_text(const String& bytes);
  // Reads the header row, first of all. `delimiter` 0 detects it.
  bool read_header(char delimiter, String* error);

  char delimiter() const { return delimiter_; }
  const Vector<String>& header() const { return header_; }
  // The index of the first header column of exactly this name, or -1.
  int column(const String& name) const;

  enum class Row { kRow, kEnd, kError };
  // Reads the next row; its fields are field(0) ... field(field_count() - 1).
  Row next(String* error);
  int field_count() const { return field_count_; }
  const String& field(int i) const { return fields_[i]; }
  // The line the current row starts on.
  int64_t line() const { return row_line_; }
  // The bytes of the current row: from its first byte (after the blank
  // lines before it) to just past its line break (CR LF, LF or CR), or to
  // the end of the input for a last row without one.
  int64_t row_begin() const { return row_begin_; }
  int64_t row_end() const { return row_end_; }

 private:
  // Makes at least one more byte available; false at the end or on a read
  // error (read_error_ set).
  bool fill();
  bool peek(char* c);
  void take() { ++pos_; }
  int64_t offset() const { return base_ + static_cast<int64_t>(pos_); }
  char detect_delimiter();
  Row read_row(Vector<String>& fields, int* count, String* error);
  Row fail(String* error, const String& message);
  bool end_field(Vector<String>& fields, int* count);

  File file_;
  bool from_file_ = false;
  int64_t remaining_ = 0;  // bytes of the file not yet in buf_
  std::string buf_;
  size_t pos_ = 0;  // next unread byte of buf_
  int64_t base_ = 0;  // the input offset of buf_[0]
  bool read_error_ = false;
  bool at_end_ = false;

  char delimiter_ = ',';
  Vector<String> header_;
  HashTable<int, String> columns_;  // header name -> first index
  Vector<String> fields_;           // reused from row to row
  int field_count_ = 0;
  std::string scratch_;             // the field being read
  int64_t line_ = 1;                // the line of the next unread byte
  int64_t row_line_ = 0;
  int64_t row_begin_ = 0;
  int64_t row_end_ = 0;
  int row_bytes_ = 0;
};

}  // namespace tessaline
