#include "web/feedback.h"

#include <sys/utsname.h>

#include <cstdio>

#include "core/fatal_error.h"
#include "core/text_format.h"
#include "web/open_address.h"
#include "web/update_check.h"

namespace tessaline {

namespace {

constexpr const char* kCaption = "Send Feedback";
// An os-release file is a few hundred bytes; more is not one.
constexpr size_t kMaxOsReleaseBytes = 64 * 1024;

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

// The value of an os-release assignment as the shell would read it: quotes
// removed, and inside double quotes the escapes \" \\ \$ \` undone.
String unquote(std::string_view value) {
  String text;
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
    return String(value.substr(1, value.size() - 2));
  }
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
    for (size_t i = 0; i < value.size(); ++i) {
      char c = value[i];
      if (c == '\\' && i + 1 < value.size() &&
          std::string_view("\"\\$`").find(value[i + 1]) != std::string_view::npos) {
        c = value[++i];
      }
      text.append(c);
    }
    return text;
  }
  return String(value);
}

// The file's text, or empty when it cannot be read.
String read_small_file(const char* path) {
  String text;
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return text;
  char block[4096];
  size_t n;
  while (static_cast<size_t>(text.length()) < kMaxOsReleaseBytes &&
         (n = std::fread(block, 1, sizeof block, file)) > 0) {
    text.append(std::string_view(block, n));
  }
  std::fclose(file);
  return text;
}

}  // namespace

String percent_encode(std::string_view text, const char* keep) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string_view kept(keep);
  String encoded;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (is_unreserved(u) || (c != 0 && kept.find(c) != std::string_view::npos)) {
      encoded.append(c);
    } else {
      encoded.append('%');
      encoded.append(kHex[u >> 4]);
      encoded.append(kHex[u & 15]);
    }
  }
  return encoded;
}

String distribution_name(std::string_view os_release) {
  String pretty, name;
  while (!os_release.empty()) {
    size_t end = os_release.find('\n');
    std::string_view line = os_release.substr(0, end);
    os_release = end == std::string_view::npos ? std::string_view() : os_release.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    // Later assignments win, as when the shell reads the file.
    if (line.starts_with("PRETTY_NAME=")) {
      pretty = unquote(line.substr(12));
    } else if (line.starts_with("NAME=")) {
      name = unquote(line.substr(5));
    }
  }
  if (!pretty.empty()) return pretty;
  if (!name.empty()) return name;
  return "Linux";
}

String system_description(const String& distribution, const String& kernel,
                          const String& release) {
  String text = distribution;
  String kernel_text = kernel;
  if (!release.empty()) {
    if (!kernel_text.empty()) kernel_text += ' ';
    kernel_text += release;
  }
  if (!text.empty() && !kernel_text.empty()) text += ", ";
  text += kernel_text;
  text.trim();
  return text;
}

String this_system_description() {
  String distribution;
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    String text = read_small_file(path);
    if (!text.empty()) {
      distribution = distribution_name(text);
      break;
    }
  }
  struct utsname system {};
  if (uname(&system) != 0) return system_description(distribution, "Linux", "");
  return system_description(distribution, system.sysname, system.release);
}

String feedback_link(const String& address, const String& system) {
  String subject = String("Feedback - ") + application_name + " " +
                   format_double(program_version_number(), 1) + " (" + system + ")";
  return "mailto:" + percent_encode(address, "@+") + "?subject=" + percent_encode(subject, "()/,");
}

bool send_feedback(Ui& ui, const String& address) {
  return open_address(ui, feedback_link(address, this_system_description()), kCaption);
}

bool technical_support(Ui& ui, const String& address, const String& support_page) {
  if (support_page.empty()) return send_feedback(ui, address);
  Vector<String> buttons{"Visit the technical support website", "Send email to technical support",
                         "Cancel"};
  switch (ui.ask_buttons("Before asking a question, you may want to see if there is an answer "
                         "on the technical support web site.",
                         kCaption, buttons)) {
    case 0: return open_address(ui, support_page, kCaption);
    case 1: return send_feedback(ui, address);
    default: return true;
  }
}

}  // namespace tessaline
