#include "platform/user_folders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaline {

namespace {

constexpr const char* kProgramFolder = "tessaline-mailer";

// An environment variable's value when it is set and absolute.
bool absolute_variable(const char* name, String& value) {
  const char* text = std::getenv(name);
  if (!text || text[0] != '/') return false;
  value = text;
  return true;
}

String home_folder() {
  String home;
  if (absolute_variable("HOME", home)) return home;
  if (const passwd* entry = getpwuid(getuid())) {
    if (entry->pw_dir && entry->pw_dir[0] == '/') return String(entry->pw_dir);
  }
  return String("/tmp");
}

void drop_trailing_slashes(String& path) {
  while (path.length() > 1 && path.last() == '/') path.remove_last(1);
}

// Creates every missing folder of `path` with mode 0700.
bool make_folders(const String& path, String& error) {
  for (int i = 1; i <= path.length(); ++i) {
    if (i < path.length() && path[i] != '/') continue;
    String partial = path.substr(0, i);
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      error.format("Cannot create the folder %s: %s", partial.c_str(), std::strerror(errno));
      return false;
    }
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error.format("%s is not a folder", path.c_str());
    return false;
  }
  return true;
}

bool runtime_in_shared_temp(UserFolder which) {
  String ignored;
  return which == UserFolder::kRuntime && !absolute_variable("TESSALINE_HOME", ignored) &&
         !absolute_variable("XDG_RUNTIME_DIR", ignored);
}

}  // namespace

String user_folder(UserFolder which) {
  String path;
  const char* home_override = std::getenv("TESSALINE_HOME");
  if (home_override && home_override[0]) {
    path = home_override;
    drop_trailing_slashes(path);
    return path;
  }
  switch (which) {
    case UserFolder::kConfiguration:
      if (!absolute_variable("XDG_CONFIG_HOME", path)) path = home_folder() + "/.config";
      break;
    case UserFolder::kState:
      if (!absolute_variable("XDG_STATE_HOME", path)) path = home_folder() + "/.local/state";
      break;
    case UserFolder::kRuntime:
      if (absolute_variable("XDG_RUNTIME_DIR", path)) break;
      if (!absolute_variable("TMPDIR", path)) path = "/tmp";
      drop_trailing_slashes(path);
      path.append_format("/%s-%u", kProgramFolder, static_cast<unsigned>(getuid()));
      return path;
  }
  drop_trailing_slashes(path);
  path.append_format("/%s", kProgramFolder);
  return path;
}

bool make_user_folder(UserFolder which, String& path, String& error) {
  path = user_folder(which);
  if (runtime_in_shared_temp(which)) {
    // Anyone may create names in a shared temporary directory: only a
    // folder of our own making, not a link, is used.
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      error.format("Cannot create the folder %s: %s", path.c_str(), std::strerror(errno));
      return false;
    }
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
      error.format("The folder %s is not a folder of this user", path.c_str());
      return false;
    }
    return true;
  }
  return make_folders(path, error);
}

bool user_file_path(UserFolder which, const char* name, String& path, String& error) {
  if (!make_user_folder(which, path, error)) return false;
  path.append_format("/%s", name);
  return true;
}

}  // namespace tessaline
