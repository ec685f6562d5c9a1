// project_fields.h - the fields of a mailing project, by key.
//
// A project is the set of values a person prepares for one mailing: who it
// is from, the bodies, the recipient sources, the send options, and the
// clause table that filters database rows. Every other part of the program
// names a value by its key, exactly as written in the table in the .cpp
// (`use_database` beside `SendMode`, `CC` beside `from`); a key is matched
// byte for byte, so "sendmode" finds nothing.
//
// The table also carries what the windows and the manual show for each
// field (folder, label, help key, help text, list items, the control it is
// shown with and that control's details), so that the field is described
// in one place: the main window lays out its folders from this table, and
// a field added here appears there without window code.
//
// Kinds and how values are held:
//   text    a String (edit boxes, file names, multi-line lists)
//   check   a Boolean
//   choice  a whole number, one of the field's list items (Encoding, SendMode)
//   number  a number box: held as the text typed, because the send checks
//           must be able to refuse text that is not a whole number
//
// Not for: the program settings (SMTP_Server, SMTP_Port, the options of the
// settings file), nor reading or writing files (project_file.h does that).
//
// Failures: asking a Project for a key that is not in the table is a bug of
// the caller and a fatal error ("Trenk LINE"); find_project_field() is the
// lookup that may fail and returns null.
#pragma once

#include "core/containers.h"
#include "core/string.h"
#include "core/var.h"
#include "merge/merge_ports.h"
#include "recipients/project_values.h"

namespace tessaline {

enum class FieldKind { kText, kCheck, kChoice, kNumber, kClauseTable };

// How the main window shows a field. kAuto follows the kind: an edit box
// for text, a check box, a drop-down list of the choices, a number box, the
// clause table.
enum class FieldControl {
  kAuto,
  kMultiLine,    // a multi-line edit box
  kBodyText,     // the text body's editor: the insert commands in its menu
  kHtmlText,     // the HTML body's editor: those and Paste and canonicalize
  kDataSources,  // a drop-down of the system's ODBC data sources
  kTables,       // a drop-down of the data source's tables
  kColumns,      // a drop-down of the table's columns
  kFileName,     // a file name with a chooser (and maybe an Edit button)
  kFileList,     // file specifications, one a line, with a chooser
};

// One item of a drop-down list: what it shows and the number it stands for.
struct FieldChoice {
  const char* label;
  int value;
};

struct ProjectFolder {
  const char* title;     // "Identification", ...
  const char* help_key;  // "identification folder", ...
};

struct ProjectFieldInfo {
  const char* key;
  FieldKind kind;
  int folder;              // index into project_folders()
  const char* label;       // "" where the field has none of its own
  const char* help_key;
  const char* help_text;   // the tooltip
  const char* default_text;  // text and number fields
  int default_value;         // check (0/1) and choice fields
  const FieldChoice* choices;  // choice fields; null otherwise
  int choice_count;
  // --- how the window shows it; fields that leave these out get the
  // control of their kind ---
  FieldControl control = FieldControl::kAuto;
  const char* chooser_title = nullptr;  // file name and file list boxes
  // A file name box with an Edit button beside it: the button's tooltip.
  const char* edit_help = nullptr;
  int digits = 0;  // a number box: the longest number it takes (0: any)
};

// The eight folders of the main window, in order.
int project_folder_count();
const ProjectFolder& project_folder(int i);

// Every field, in folder and screen order (the order the project file
// stores them in). The clause table is the entry of kind kClauseTable.
int project_field_count();
const ProjectFieldInfo& project_field(int i);

// The field with exactly this key, or null.
const ProjectFieldInfo* find_project_field(const char* key);

// The value of a field shown with `control`, with the relative file names
// it holds placed below the absolute `folder`: the whole value of a
// kFileName field, each line (trimmed) of a kFileList field. Absolute
// names, blank values and lines, the values of other controls, and every
// value when `folder` is empty come back as they are. The send takes a
// project's file names from the project file's folder so (Application).
String place_file_names(const String& value, FieldControl control, const String& folder);

// The send modes of `SendMode` are merge/merge_ports.h's SendMode; the
// encodings of `Encoding`:
enum BodyEncoding { kEncoding7Bit = 1, kEncoding8Bit = 2, kEncodingBase64 = 3 };

// The rows of the clause table are ClauseRow (recipients/project_values.h);
// recipients/where_clause.h names their operators.

class Project {
 public:
  // A project with every field at its default and no clause rows.
  Project();

  // Puts every field back to its default and empties the clause table.
  void reset();

  // --- by key; the key must be one of the table's (else a fatal error) ---
  // The text of a text or number field; a choice or check field's value as
  // decimal text.
  const String& text(const char* key) const;
  bool flag(const char* key) const;
  // A choice field's value; a check field's 0/1; a number field's text read
  // as a whole number, or -1 when it is not one (empty, a sign, other
  // characters, or more than nine digits).
  int number(const char* key) const;

  void set_text(const char* key, const String& text);
  void set_flag(const char* key, bool on);
  void set_number(const char* key, int value);

  // The value as the field store reads and writes it: a Boolean for check
  // fields, a 32-bit integer for choice fields, a string otherwise.
  Var& value(const char* key);
  const Var& value(const char* key) const;

  // After values were loaded from a store, which hands them back in the
  // kind it stored (an old file may hold a choice as text): gives every
  // field its own kind again.
  void normalize();

  Vector<ClauseRow>& clauses() { return clauses_; }
  const Vector<ClauseRow>& clauses() const { return clauses_; }

  bool operator==(const Project& other) const;

 private:
  int index_of(const char* key) const;

  Vector<Var> values_;  // parallel to the field table
  Vector<ClauseRow> clauses_;
};

}  // namespace tessaline
