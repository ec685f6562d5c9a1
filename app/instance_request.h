// instance_request.h - what a second start of the desktop program asks of
// the window that already runs.
//
// Only one window runs for each user (toolkit/single_instance.h keeps it
// so with a local socket). A second start without a switch asks the
// running window to come forward; a second start that names a project (a
// double-click on a project file) asks it to open that project as well.
// The request is one line on the socket, the reply another:
//
//   request  "TESSALINE/1 raise\n"
//            "TESSALINE/1 open " PATH "\n"
//   reply    "TESSALINE/1 ok\n"        the window has taken the request in
//
// PATH is the project's absolute path with every byte outside "!" to "~"
// and every "%" written as %XX (hex digits), so that a blank, a line break
// or bytes that are not UTF-8 in a file name travel unchanged inside one
// line. The version word lets a window refuse a request of another
// program version instead of misreading it.
//
// Not for: the socket itself (toolkit/single_instance.h), or switches:
// a start with a switch never talks to the running window.
//
// Failures: decode_instance_request() returns false for anything but a
// well-formed request of this version (the line is then ignored); the
// socket's path is "" with the reason when the runtime folder cannot be
// made or its path is too long for a local socket.
#pragma once

#include <string_view>

#include "core/string.h"

namespace tessaline {

struct InstanceRequest {
  String project;  // absolute path; empty: only come forward
};

// The longest request line a window reads, "\n" included; longer ones are
// refused. Paths are far shorter.
inline constexpr int kMaxInstanceRequest = 16 * 1024;

inline constexpr std::string_view kInstanceReply = "TESSALINE/1 ok\n";

// The request line, "\n" included. The project must be absolute (or empty).
String encode_instance_request(const InstanceRequest& request);

// Reads one request line, with or without its "\n". False, with `request`
// unchanged, for a line of another version, an unknown word, a path that is
// empty, relative, badly escaped or holds a 0 byte, or a line too long.
bool decode_instance_request(std::string_view line, InstanceRequest& request);

// The local socket of this user's running window: "instance.socket" in the
// runtime folder (platform/user_folders.h; TESSALINE_HOME moves it, so
// tests do not meet the person's window), created with mode 0700.
bool instance_socket_path(String& path, String& error);

}  // namespace tessaline
