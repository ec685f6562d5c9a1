// window_placement.h - where a window was: its placement text and the
// registry values that keep it between openings.
//
// A placement is the window's normal rectangle with "max " or "min " in
// front when it is maximised or minimised (storage/registry.h). Putting a
// window back checks the rectangle first: an empty one, or one on no
// screen that is still there, leaves the window where it is, so a screen
// that was unplugged cannot hide it.
//
// Not for: what a window keeps beside its placement (the preview's
// splitter), the settings file of the main window (app/settings.h).
//
// Failures: none; an unreadable value is not used and a value that cannot
// be written is skipped.
#pragma once

#include "core/string.h"

class QWidget;

namespace tessaline {

// The window's placement text.
String placement_of(const QWidget& window);
// Puts the window where the text says; false when the text is not used.
bool place(QWidget& window, const String& placement);

// The same through the registry, as the value `name` under the program's
// windows key (app/settings.h kWindowsKey).
void save_placement(const QWidget& window, const char* name);
bool restore_placement(QWidget& window, const char* name);

}  // namespace tessaline
