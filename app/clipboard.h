// clipboard.h - the clipboard's text for a command-line run.
//
// `-a`, `-e` and `-o` without an address take the clipboard's text. A
// command-line run has no window of its own, so it asks the desktop's
// clipboard tools: `wl-paste` when a Wayland display is set
// (WAYLAND_DISPLAY), else `xclip` when an X display is set (DISPLAY).
// Without a display (cron, a server, CI) there is no clipboard and nothing
// is started. The tool is found on PATH and started directly (no shell),
// with its standard error discarded.
//
// Not for: the windows, which read the clipboard through Qt.
//
// Failures: none reported; an empty text means "nothing on the clipboard":
// no display, no tool, a tool that fails, or one that does not answer
// within the time limit (it is then killed). At most 64 KB are read.
#pragma once

#include "core/string.h"

namespace tessaline {

// The clipboard's text, or "" (see above). `time_limit_ms` bounds the wait
// for the tool.
String read_clipboard_text(int time_limit_ms = 5000);

}  // namespace tessaline
