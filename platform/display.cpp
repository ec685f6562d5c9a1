#include "platform/display.h"

#include <cstdlib>
#include <string_view>

namespace tessaline {

namespace {

bool set(EnvironmentReader get, const char* name) {
  const char* value = get(name);
  return value != nullptr && *value != 0;
}

// Qt's platform names, "name:options", several separated by ";" (the
// first that loads wins).
bool platform_draws_alone(std::string_view platforms) {
  while (!platforms.empty()) {
    size_t end = platforms.find(';');
    std::string_view entry = platforms.substr(0, end);
    entry = entry.substr(0, entry.find(':'));
    if (!entry.empty() && entry != "xcb" && !entry.starts_with("wayland")) return true;
    if (end == std::string_view::npos) break;
    platforms.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace

bool display_available(EnvironmentReader get) {
  if (get == nullptr) get = [](const char* name) -> const char* { return std::getenv(name); };
  if (set(get, "WAYLAND_DISPLAY") || set(get, "DISPLAY")) return true;
  const char* platform = get("QT_QPA_PLATFORM");
  return platform != nullptr && platform_draws_alone(platform);
}

}  // namespace tessaline
