// project_file.h - a project in a project file (".zqj"), and back.
//
// A project file is a glob file (storage/glob_file.h) whose record 0 holds
// every project field under its key, in the order of the field table
// (app/project_fields.h), and then the clause table as the array "clauses":
// one nested record per row, with "column" (text), "operator" (32-bit
// number), "value" (text) and "ignore" (signed byte), each left out when it
// is empty or 0. Texts are written as strings, check boxes as Booleans (a
// signed byte), drop-down lists as 32-bit numbers and number boxes as the
// text they hold.
//
// Writing is deterministic: the same project gives the same bytes, so
// comparing a fresh image with the file tells whether the project changed.
// The bytes are built in memory (no scratch file: a full disk cannot stop
// the building, and a killed run leaves nothing behind) and handed back
// whole, so the caller can put them in place atomically
// (platform/atomic_write.h): a crash or a full disk never leaves a
// half-written project behind.
//
// Not for: the questions and messages around opening and saving
// (Application does those), or the settings file (app/settings.h).
//
// Failures: building the bytes fails only for a project too large to hold
// in memory (with the glob file's error text). Reading reports the glob file's
// open code. A file that is a glob file but damaged inside ends in the glob
// file's fatal error, which names the file.
#pragma once

#include "core/string.h"
#include "app/project_fields.h"

namespace tessaline {

class GlobFile;

// Moves the project's fields and clause rows between the project and the
// file's current record, in the file's direction (storing or loading).
// Loading keeps a field's value when the record lacks it, and gives every
// loaded value its field's kind again.
void transfer_project(GlobFile& file, Project& project);

// The bytes of a project file holding the project.
bool build_project_file(Project& project, String& bytes, String& error);

// Reads the project file's record 0 into the project (fields the file lacks
// keep their values). Returns the glob file's open code: 8 read, 13 the
// file cannot be opened, 18 it is not a glob file.
int read_project_file(const String& path, Project& project);

}  // namespace tessaline
