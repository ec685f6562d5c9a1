#include "toolkit/window_placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "storage/registry.h"
#include "app/settings.h"

namespace tessaline {

String placement_of(const QWidget& window) {
  QRect normal = window.isMaximized() || window.isMinimized() ? window.normalGeometry()
                                                              : window.geometry();
  if (!normal.isValid()) normal = window.geometry();
  registry::Rect rect{normal.left(), normal.top(), normal.left() + normal.width(),
                      normal.top() + normal.height()};
  using registry::WindowState;
  WindowState state = window.isMaximized()   ? WindowState::kMaximized
                      : window.isMinimized() ? WindowState::kMinimized
                                             : WindowState::kNormal;
  return registry::placement_text(rect, state);
}

bool place(QWidget& window, const String& placement) {
  registry::Rect rect;
  registry::WindowState state = registry::WindowState::kNormal;
  if (!registry::parse_placement(placement, rect, state)) return false;
  QRect where(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  if (where.width() <= 0 || where.height() <= 0) return false;
  bool visible = false;
  for (QScreen* screen : QGuiApplication::screens()) {
    visible = visible || screen->availableGeometry().intersects(where);
  }
  if (!visible) return false;
  window.setGeometry(where);
  if (state == registry::WindowState::kMaximized) window.setWindowState(Qt::WindowMaximized);
  if (state == registry::WindowState::kMinimized) window.setWindowState(Qt::WindowMinimized);
  return true;
}

void save_placement(const QWidget& window, const char* name) {
  if (registry::open_software_key(kWindowsKey) == registry::kOpenFailed) return;
  registry::set_string(name, placement_of(window));
  registry::close_key();
}

bool restore_placement(QWidget& window, const char* name) {
  if (registry::open_software_key(kWindowsKey, true, registry::kOpenOnly) ==
      registry::kOpenFailed) {
    return false;
  }
  String text;
  bool found = registry::get_string(name, text);
  registry::close_key();
  return found && place(window, text);
}

}  // namespace tessaline
