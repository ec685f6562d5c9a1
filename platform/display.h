// display.h - whether this process can show windows.
//
// The desktop program needs a display; the command-line runs never do. A
// display is there when a Wayland or X11 session is named (WAYLAND_DISPLAY,
// DISPLAY), or when QT_QPA_PLATFORM names a Qt platform that draws without
// one (offscreen, minimal, vnc, eglfs, linuxfb, ...: the window tests run
// on "offscreen"). A QT_QPA_PLATFORM that asks only for xcb or wayland
// still needs the session variable of that platform.
//
// Not for: telling whether the display answers; a DISPLAY that names no
// running server is still taken as a display, and Qt then says why it
// cannot open it.
//
// Failures: none.
#pragma once

namespace tessaline {

// Reads the environment through `get` (getenv when null), so that tests can
// give their own.
using EnvironmentReader = const char* (*)(const char* name);
bool display_available(EnvironmentReader get = nullptr);

}  // namespace tessaline
