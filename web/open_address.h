// open_address.h - hands a web address or mailto: link to the desktop and
// says so when that cannot be done.
//
// The Help menu's entries open pages and mail messages in the person's own
// programs (platform/open_document.h). A click that does nothing at all
// would leave the person guessing, so a failure shows an error box naming
// the address.
//
// Not for: documents the program writes (send/ shows its own message).
//
// Failures: false, after the box, when no opener could be started.
#pragma once

#include "core/string.h"
#include "core/ui.h"

namespace tessaline {

bool open_address(Ui& ui, const String& address, const String& caption);

}  // namespace tessaline
