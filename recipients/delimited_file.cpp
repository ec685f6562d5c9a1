// delimited_file.cpp - the row reader of spreadsheet exports.
#include "recipients/delimited_file.h"

#include <algorithm>
#include <cstring>

namespace tessaline {

namespace {

// Bytes read from the file at a time.
constexpr int64_t kChunk = 64 * 1024;

bool is_blank_text(const String& text) {
  for (char c : text) {
    if (c != ' ' && c != '\t') return false;
  }
  return true;
}

}  // namespace

bool DelimitedFile::open(const String& path, String* error) {
  open_text(String());
  if (!file_.open_existing(path, /*read=*/true, /*write=*/false, /*exclusive=*/false)) {
    *error = file_.last_error();
    return false;
  }
  from_file_ = true;
  remaining_ = std::max<int64_t>(file_.size(), 0);
  return true;
}

void DelimitedFile::open_text(const String& bytes) {
  file_.close();
  from_file_ = false;
  remaining_ = 0;
  buf_.assign(bytes.c_str(), static_cast<size_t>(bytes.length()));
  pos_ = 0;
  base_ = 0;
  read_error_ = false;
  at_end_ = false;
  line_ = 1;
  row_line_ = 0;
  row_begin_ = row_end_ = 0;
  field_count_ = 0;
  header_.clear();
  columns_.init(64);
}

bool DelimitedFile::read_header(char delimiter, String* error) {
  while (buf_.size() < 3 && fill()) {
  }
  if (read_error_) {
    fail(error, "The recipient file could not be read: " + file_.last_error());
    return false;
  }
  if (buf_.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    pos_ = 3;
  } else if (buf_.compare(0, 2, "\xFF\xFE") == 0 || buf_.compare(0, 2, "\xFE\xFF") == 0) {
    fail(error, "The recipient file is in UTF-16.  Save it as CSV in UTF-8 and try again.");
    return false;
  }
  delimiter_ = delimiter ? delimiter : detect_delimiter();

  int count = 0;
  switch (read_row(fields_, &count, error)) {
    case Row::kError:
      return false;
    case Row::kEnd:
      fail(error, "The recipient file is empty: it has no header row that names its columns.");
      return false;
    case Row::kRow:
      break;
  }
  for (int i = 0; i < count; ++i) {
    String name = fields_[i];
    name.trim(" \t");
    if (!name.empty() && !columns_.contains(name)) columns_.add_bucket(name) = i;
    header_.append(std::move(name));
  }
  return true;
}

int DelimitedFile::column(const String& name) const {
  const int* index = columns_.find(name);
  return index ? *index : -1;
}

bool DelimitedFile::fill() {
  if (!from_file_ || remaining_ <= 0 || read_error_) return false;
  // Keep every unread byte; drop the ones already taken.
  buf_.erase(0, pos_);
  base_ += static_cast<int64_t>(pos_);
  pos_ = 0;
  size_t old = buf_.size();
  int n = static_cast<int>(std::min(remaining_, kChunk));
  buf_.resize(old + static_cast<size_t>(n));
  if (!file_.read(&buf_[old], n)) {
    buf_.resize(old);
    read_error_ = true;
    return false;
  }
  remaining_ -= n;
  return true;
}

bool DelimitedFile::peek(char* c) {
  if (pos_ >= buf_.size() && !fill()) return false;
  *c = buf_[pos_];
  return true;
}

char DelimitedFile::detect_delimiter() {
  // The first row that is not blank, read ahead without taking it.
  int counts[4] = {0, 0, 0, 0};
  bool quoted = false;
  bool seen = false;  // something other than blanks on this line
  for (size_t i = 0; i < static_cast<size_t>(kMaxRowBytes); ++i) {
    if (pos_ + i >= buf_.size() && !fill()) break;
    char c = buf_[pos_ + i];
    if (c == '"') {
      quoted = !quoted;
      seen = true;
    } else if (!quoted && (c == '\r' || c == '\n')) {
      if (seen) break;
    } else if (!quoted) {
      const char* d = std::strchr(kDelimiters, c);
      if (c != '\0' && d) ++counts[d - kDelimiters];
      if (c != ' ' && c != '\t') seen = true;
    }
  }
  int best = 0;
  for (int k = 1; k < 4; ++k) {
    if (counts[k] > counts[best]) best = k;
  }
  return kDelimiters[best];
}

DelimitedFile::Row DelimitedFile::fail(String* error, const String& message) {
  *error = message;
  at_end_ = true;
  field_count_ = 0;
  return Row::kError;
}

bool DelimitedFile::end_field(Vector<String>& fields, int* count) {
  if (*count >= kMaxFields) return false;
  int n = static_cast<int>(scratch_.size());
  if (*count < fields.count()) {
    fields[*count].assign(scratch_.data(), n);
  } else {
    fields.append(String(scratch_.data(), n));
  }
  scratch_.clear();
  ++*count;
  return true;
}

DelimitedFile::Row DelimitedFile::next(String* error) {
  if (at_end_) {
    field_count_ = 0;
    return Row::kEnd;
  }
  Row row = read_row(fields_, &field_count_, error);
  if (row != Row::kRow) {
    at_end_ = true;
    if (row == Row::kEnd) field_count_ = 0;
  }
  return row;
}

DelimitedFile::Row DelimitedFile::read_row(Vector<String>& fields, int* count, String* error) {
  enum class State { kFieldStart, kUnquoted, kQuoted, kAfterQuote };
  for (;;) {
    *count = 0;
    scratch_.clear();
    row_line_ = line_;
    row_begin_ = offset();
    int bytes = 0;
    int64_t quote_line = 0;
    bool any_quoted = false;
    State state = State::kFieldStart;
    for (;;) {
      char c;
      if (!peek(&c)) {
        if (read_error_) {
          return fail(error, "The recipient file could not be read: " + file_.last_error());
        }
        if (state == State::kQuoted) {
          return fail(error, String::formatted(
                                 "The recipient file ends inside the quoted field that begins "
                                 "on line %lld.  A closing quote is missing.",
                                 static_cast<long long>(quote_line)));
        }
        if (bytes == 0) return Row::kEnd;
        break;  // the last row has no line break
      }
      take();
      if (++bytes > kMaxRowBytes) {
        return fail(error, String::formatted(
                               "The row that begins on line %lld of the recipient file is longer "
                               "than %d MB.  A closing quote may be missing.",
                               static_cast<long long>(row_line_), kMaxRowBytes >> 20));
      }
      if (state == State::kQuoted) {
        if (c == '"') {
          char d;
          if (peek(&d) && d == '"') {
            take();
            ++bytes;
            scratch_ += '"';
          } else {
            state = State::kAfterQuote;
          }
          continue;
        }
        // A CR LF inside the field counts as one line, at its LF.
        char d;
        if (c == '\n' || (c == '\r' && !(peek(&d) && d == '\n'))) ++line_;
        scratch_ += c;
        continue;
      }
      if (c == delimiter_) {
        if (!end_field(fields, count)) break;
        state = State::kFieldStart;
        continue;
      }
      if (c == '\r' || c == '\n') {
        char d;
        if (c == '\r' && peek(&d) && d == '\n') take();
        ++line_;
        break;
      }
      if (state == State::kFieldStart && c == '"') {
        state = State::kQuoted;
        any_quoted = true;
        quote_line = line_;
        continue;
      }
      if (state == State::kFieldStart) state = State::kUnquoted;
      scratch_ += c;
    }
    if (!end_field(fields, count)) {
      return fail(error, String::formatted(
                             "The row that begins on line %lld of the recipient file has more "
                             "than %d fields.",
                             static_cast<long long>(row_line_), kMaxFields));
    }
    // A blank line is no row.
    if (*count == 1 && !any_quoted && is_blank_text(fields[0])) continue;
    row_end_ = offset();
    return Row::kRow;
  }
}

}  // namespace tessaline
