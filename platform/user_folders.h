// user_folders.h - where the program keeps its per-user files.
//
// Three folders, chosen by the XDG base-directory rules:
//   configuration  settings file, registry file    $XDG_CONFIG_HOME/tessaline-mailer
//                                                   (default ~/.config/tessaline-mailer)
//   state          send log and its viewing copy   $XDG_STATE_HOME/tessaline-mailer
//                                                   (default ~/.local/state/tessaline-mailer)
//   runtime        scratch files                   $XDG_RUNTIME_DIR/tessaline-mailer, else
//                                                   $TMPDIR (or /tmp)/tessaline-mailer-UID
// When TESSALINE_HOME is set and not empty, it is all three folders at once
// (tests and portable installs use it). XDG variables that hold a relative
// path are ignored, as the XDG rules ask.
//
// Not for: the program's own installed files, or paths inside a project.
//
// Failures: user_folder() never fails; it only names the folder.
// make_user_folder() creates it (mode 0700, parents as needed) and on
// failure returns false with the system's error text.
#pragma once

#include "core/string.h"

namespace tessaline {

enum class UserFolder { kConfiguration, kState, kRuntime };

// The folder's path, without a trailing "/"; nothing is created.
String user_folder(UserFolder which);

// The folder's path in `path`, creating it when missing. A runtime folder
// under a shared temporary directory must be a real directory owned by this
// user, else the call fails rather than use a folder another user prepared.
bool make_user_folder(UserFolder which, String& path, String& error);

// The file `name` inside the folder, which is created when missing.
// False with the error text when the folder cannot be made.
bool user_file_path(UserFolder which, const char* name, String& path, String& error);

}  // namespace tessaline
