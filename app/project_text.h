// project_text.h - a project as text a person types and reads: the
// settings that tessaline-make-project takes, and the listing it prints.
//
// A setting changes one field by its exact key:
//   KEY=VALUE   text fields take VALUE as typed; check boxes yes or no (also
//               true/false, on/off, 1/0, in any letter case); drop-down
//               lists the number or the name of one of their items
//               (SendMode=101, SendMode=No Preview); number boxes a whole
//               number
//   KEY@FILE    the value is the whole text of FILE (the tool reads it)
//   clause=COLUMN,OPERATOR,VALUE[,ignore]
//               one more row of the clause table; OPERATOR is one of
//               = <> <= >= < >, and VALUE may hold commas
//
// The listing has one line "key = value" per field, in the order of the
// field table (folder by folder), so two listings can be compared line by
// line: check boxes as yes or no, drop-down lists as their number, and the
// clause table as its rows in the setting's own form. A value of several
// lines, and the clause table, start on the next line, each line indented
// by four blanks.
//
// Not for: reading or writing project files (project_file.h, Application).
//
// Failures: parse_setting() and apply_setting() return false with a
// message that names the setting and says what is accepted; the project is
// then unchanged.
#pragma once

#include "core/string.h"
#include "app/project_fields.h"

namespace tessaline {

struct Setting {
  String key;
  String value;
  bool from_file = false;  // KEY@FILE: `value` names the file
};

// Splits a setting at its first "=" or "@" (whichever comes first).
bool parse_setting(const String& text, Setting* setting, String* error);

// Sets the field (or adds the clause row) from the value's text.
bool apply_setting(Project& project, const String& key, const String& value, String* error);

// Every field, one "key = value" line each, with "\n" line ends.
String project_listing(const Project& project);

}  // namespace tessaline
