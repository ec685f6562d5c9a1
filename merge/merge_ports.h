// merge_ports.h - what the data-tag processor needs from the rest of the
// program, as two small interfaces.
//
// MergeRow is the current row of a send: the database layer implements it
// over its open query, the recipient gathering over the current row of a
// recipient file with columns (which tags read but never write); without
// either there is no row.
// MergeProject is the handful of project fields the processor reads; the
// application implements it over its project. Tests implement both in
// memory. Neither interface knows about windows, ODBC or files.
#pragma once

#include <cstdint>

#include "core/string.h"
#include "core/var.h"

namespace tessaline {

class MergeRow {
 public:
  virtual ~MergeRow() = default;

  // Whether the current query selected a column of exactly this name.
  virtual bool has_column(const String& name) = 0;
  // The current row's value of that column, in the column's own type;
  // false when there is no such column.
  virtual bool read_column(const String& name, Var& value) = 0;
  // Whether write_column() can work at all: false for the columns of a
  // recipient file, which are only read.
  virtual bool writable() = 0;
  // Writes value into `column` of the row whose `identity_column` holds
  // `identity` (a statement of its own, since the recipients' query is still
  // open) and, on success, into the current row as well, so that later reads
  // see it. On failure nothing has changed and last_error() says why.
  virtual bool write_column(const String& identity_column, int32_t identity,
                            const String& column, const Var& value) = 0;
  // The database layer's text for the last failure.
  virtual String last_error() = 0;
};

// Values of the `SendMode` field.
enum SendMode : int {
  kSendNormal = 100,
  kSendNoPreview = 101,
  kSendIdentical = 102,
  kSendLastRecipientOnly = 103,
};

class MergeProject {
 public:
  virtual ~MergeProject() = default;

  // `SendMode`.
  virtual int send_mode() = 0;
  // `identity_col`: the column that identifies rows when a tag writes one.
  virtual String identity_column() = 0;
  // Whether the text body (`use_body_file`) or the HTML body
  // (`use_html_file`) is taken from a file rather than typed in.
  virtual bool body_from_file(bool html) = 0;
};

// The keys of the fields an error in a data tag points at.
inline constexpr char kTextBodyField[] = "body";
inline constexpr char kTextBodyFileField[] = "body_file";
inline constexpr char kHtmlBodyField[] = "html_body";
inline constexpr char kHtmlBodyFileField[] = "html_file";
inline constexpr char kSubjectField[] = "subject";
inline constexpr char kUnsubscribeField[] = "unsubscribe";

}  // namespace tessaline
