// open_document.h - hands a document, web address or mailto: link to the
// desktop's default program for it.
//
// The opener is xdg-open, found on PATH and started directly with the
// document as its one argument: no shell ever reads the text, so blanks,
// quotes, "$(...)" and ";" in a path arrive as they are. It runs in the
// program's own folder, in a session of its own, and is not waited for:
// the caller goes on at once and never collects it (it is started through
// a short-lived intermediate process, which is reaped here).
//
// Not for: programs whose output or exit status matters.
//
// Failures: false when the opener could not be started (no xdg-open on
// PATH, or the system refused to run it). Whether the desktop then finds a
// program for the document is xdg-open's business and is not reported.
#pragma once

#include "core/string.h"

namespace tessaline {

bool open_document(const String& document);

}  // namespace tessaline
