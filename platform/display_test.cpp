#include "platform/display.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tessaline {
namespace {

// The environment of one case: up to three NAME=VALUE texts.
const char* const* environment = nullptr;

const char* lookup(const char* name) {
  for (const char* const* e = environment; *e; ++e) {
    size_t n = std::strlen(name);
    if (std::strncmp(*e, name, n) == 0 && (*e)[n] == '=') return *e + n + 1;
  }
  return nullptr;
}

TEST(Display, SessionVariablesAndDrawingPlatformsAreDisplays) {
  struct Case {
    const char* variables[4];
    bool display;
  };
  const Case cases[] = {
      {{nullptr}, false},
      {{"DISPLAY=:0", nullptr}, true},
      {{"WAYLAND_DISPLAY=wayland-0", nullptr}, true},
      {{"DISPLAY=", "WAYLAND_DISPLAY=", nullptr}, false},  // set but empty: none
      {{"QT_QPA_PLATFORM=offscreen", nullptr}, true},
      {{"QT_QPA_PLATFORM=vnc:size=800x600", nullptr}, true},
      {{"QT_QPA_PLATFORM=xcb", nullptr}, false},  // needs DISPLAY
      {{"QT_QPA_PLATFORM=wayland-egl", nullptr}, false},
      {{"QT_QPA_PLATFORM=wayland;xcb", nullptr}, false},
      {{"QT_QPA_PLATFORM=wayland;offscreen", nullptr}, true},
      {{"QT_QPA_PLATFORM=xcb", "DISPLAY=:1", nullptr}, true},
      {{"QT_QPA_PLATFORM=", nullptr}, false},
      {{"QT_QPA_PLATFORM=;:x", nullptr}, false},
  };
  for (const Case& c : cases) {
    environment = c.variables;
    std::string shown;
    for (const char* const* e = c.variables; *e; ++e) shown += std::string(*e) + " ";
    EXPECT_EQ(display_available(lookup), c.display) << "[" << shown << "]";
  }
}

}  // namespace
}  // namespace tessaline
