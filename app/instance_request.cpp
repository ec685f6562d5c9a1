#include "app/instance_request.h"

#include <sys/un.h>

#include "platform/user_folders.h"

namespace tessaline {

namespace {

constexpr std::string_view kVersion = "TESSALINE/1 ";
constexpr std::string_view kRaise = "raise";
constexpr std::string_view kOpen = "open ";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

String encode_instance_request(const InstanceRequest& request) {
  static const char kHex[] = "0123456789ABCDEF";
  String line(kVersion);
  if (request.project.empty()) {
    line.append(kRaise);
  } else {
    line.append(kOpen);
    for (char c : request.project) {
      unsigned char byte = static_cast<unsigned char>(c);
      if (byte > ' ' && byte <= '~' && byte != '%') {
        line += c;
      } else {
        line += '%';
        line += kHex[byte >> 4];
        line += kHex[byte & 15];
      }
    }
  }
  line += '\n';
  return line;
}

bool decode_instance_request(std::string_view line, InstanceRequest& request) {
  if (line.size() > static_cast<size_t>(kMaxInstanceRequest)) return false;
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.starts_with(kVersion)) return false;
  line.remove_prefix(kVersion.size());
  if (line == kRaise) {
    request.project.clear();
    return true;
  }
  if (!line.starts_with(kOpen)) return false;
  line.remove_prefix(kOpen.size());

  String path;
  for (size_t i = 0; i < line.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(line[i]);
    if (byte == '%') {
      int high = i + 1 < line.size() ? hex_value(line[i + 1]) : -1;
      int low = i + 2 < line.size() ? hex_value(line[i + 2]) : -1;
      if (high < 0 || low < 0) return false;
      byte = static_cast<unsigned char>(high * 16 + low);
      i += 2;
    } else if (byte <= ' ' || byte > '~') {
      return false;  // the encoder escapes these: not a request of ours
    }
    if (byte == 0) return false;
    path += static_cast<char>(byte);
  }
  if (path.first() != '/') return false;
  request.project = path;
  return true;
}

bool instance_socket_path(String& path, String& error) {
  String candidate;
  if (!user_file_path(UserFolder::kRuntime, "instance.socket", candidate, error)) return false;
  if (candidate.length() >= static_cast<int>(sizeof(sockaddr_un{}.sun_path))) {
    error = "the path is too long for a local socket: " + candidate;
    return false;
  }
  path = candidate;
  return true;
}

}  // namespace tessaline
