// help.h - the program's help: the user manual, opened at a topic.
//
// Every Help command of the windows (the Help menu, F1) calls show_help()
// with the help key of what the person is looking at ("trenk" for the
// manual as a whole, a folder's or field's help key otherwise).
//
// Not for: tooltips, which the field table holds.
//
// Failures: false when the manual could not be handed to the desktop; the
// caller tells the person.
#pragma once

#include "core/string.h"

namespace tessaline {

// The manual's path as installed beside the program
// (PREFIX/share/doc/tessaline-mailer/manual.html for PREFIX/bin/...).
String manual_path();

// Opens the manual at the topic of help key `topic`.
bool show_help(const String& topic);

}  // namespace tessaline
