// window_commands.h - the main window's own commands, without any window.
//
// The commands that act on the fields rather than on the project as a
// whole: Insert basic tag and Insert database column (into the body editor
// that has the focus), Paste and canonicalize (pasted text made HTML), the
// four Edit buttons (a list or body file opened in the desktop's program
// for it, made empty first when missing), and the About box's text. The
// window finds the editor, reads the clipboard and inserts the result; the
// rules, boxes and beeps are here, where the recording port tests them.
//
// Not for: the project commands (the Application), enabling
// (app/main_window_rules.h).
//
// Failures: a command used where it does not apply (an insert without a
// body editor in focus) only beeps; mendable failures show one error box
// ("You can insert a database column if you're not using a database.",
// "You must choose a database and table first.", "Unable to create file:
// %s", "Unable to edit file: %s"); none changes the project.
#pragma once

#include <functional>

#include "core/containers.h"
#include "core/string.h"
#include "core/ui.h"
#include "app/project_fields.h"

namespace tessaline {

class DatabaseLists;

// True for the keys of the two body editors, "body" and "html_body".
bool is_body_editor(const char* key);

// Insert basic tag. `focused` is the key of the field that has the focus
// (null: none). Asks for one of the basic tags and gives "[[-Tag-]]" in
// `inserted`; false (nothing to insert) after a beep or a cancel.
bool insert_basic_tag(Ui& ui, const char* focused, String& inserted);

// Insert database column: the same for a column of the project's table,
// whose list `lists` loads (with its own "Database Error" box).
bool insert_database_column(Ui& ui, const Project& project, DatabaseLists& lists,
                            const char* focused, String& inserted);

// Paste and canonicalize: the characters with a named HTML entity (< > & "
// and 160-255) become the entity, control characters other than tab, CR
// and LF (and 128-159) become "&#N;", and every line end (LF, CR, CR LF,
// LF CR) becomes "<br>\n". Text is UTF-8; a byte that is not part of a
// valid sequence is the Latin-1 character of its number.
String canonicalize_html(const String& pasted);

// The Edit button of a file name box: creates the file empty when no file
// of that name exists, then hands it to `open` (the desktop's program for
// it, platform/open_document.h in the program). False after an error box.
bool edit_file(Ui& ui, const String& path, const std::function<bool(const String&)>& open);

// The About box's text: "Tessaline Mailer v6.0", then what the program is.
String about_text();

}  // namespace tessaline
