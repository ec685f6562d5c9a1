#include "app/command_line.h"

#include <cstring>
#include <string_view>

#include "core/fatal_error.h"
#include "storage/paths.h"
#include "mail/smtp_route.h"

namespace tessaline {

namespace {

struct LongSwitch {
  const char* name;
  CommandMode mode;
};

const LongSwitch kLongSwitches[] = {
    {"add-recipient", CommandMode::kAddRecipient},
    {"add-exclusion", CommandMode::kAddExclusion},
    {"send-only", CommandMode::kSendOnly},
    {"send", CommandMode::kSend},
};

CommandMode mode_of_letter(char letter) {
  switch (to_lower(letter)) {
    case 'a':
      return CommandMode::kAddRecipient;
    case 'e':
      return CommandMode::kAddExclusion;
    case 'o':
      return CommandMode::kSendOnly;
    case 's':
      return CommandMode::kSend;
    default:
      return CommandMode::kNone;
  }
}

bool takes_address(CommandMode mode) {
  return mode == CommandMode::kAddRecipient || mode == CommandMode::kAddExclusion ||
         mode == CommandMode::kSendOnly;
}

// The options of a send: "--server HOST", "--server=HOST", "--account
// NAME", "--verbose". True when argv[*i] was one (*i then points at its
// last word).
bool read_send_option(int argc, const char* const* argv, int* i, CommandLine* line) {
  std::string_view token = argv[*i];
  if (token == "--verbose") {
    line->verbose = true;
    return true;
  }
  for (const char* name : {"--server", "--account"}) {
    std::string_view word = name;
    if (!token.starts_with(word)) continue;
    String* value = word == "--server" ? &line->server : &line->account;
    if (token.size() > word.size() && token[word.size()] == '=') {
      *value = String(token.substr(word.size() + 1));
    } else if (token.size() == word.size()) {
      if (*i + 1 >= argc) FatalError("The %s option needs a value.", name);
      *value = argv[++*i];
    } else {
      continue;
    }
    if (value->empty()) FatalError("The %s option needs a value.", name);
    return true;
  }
  return false;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      line.help = true;
      return line;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      line.version = true;
      return line;
    }
  }

  for (int i = 1; i < argc; ++i) {
    String token(argv[i]);
    if (read_send_option(argc, argv, &i, &line)) continue;
    if (token.first() != '-') {
      if (!line.project.empty()) FatalError("Invalid command line parameter:\n%s", token.c_str());
      line.project = token;
      continue;
    }

    // A switch. Its text without the leading "-" (or "--") is what the
    // messages show of it.
    bool long_form = token.starts_with("--");
    String name = token.substr(long_form ? 2 : 1);
    if (line.mode != CommandMode::kNone) {
      FatalError("Invalid command line switch:\n%s", name.c_str());
    }

    String argument;
    bool joined = false;  // an argument was given inside the token
    if (long_form) {
      int equals = name.find('=');
      String word = equals < 0 ? name : name.substr(0, equals);
      for (const LongSwitch& candidate : kLongSwitches) {
        if (word == candidate.name) line.mode = candidate.mode;
      }
      if (line.mode == CommandMode::kNone) {
        FatalError("Invalid command line switch:\n%s", name.c_str());
      }
      line.switch_text = "--" + word;
      if (equals >= 0) {
        argument = name.substr(equals + 1);
        joined = true;
      }
    } else {
      line.mode = name.empty() ? CommandMode::kNone : mode_of_letter(name.first());
      if (line.mode == CommandMode::kNone) {
        FatalError("Invalid command line switch:\n%s", name.c_str());
      }
      line.switch_text = token.substr(0, 2);
      argument = name.substr(1);
      joined = !argument.empty();
    }

    if (line.mode == CommandMode::kSend) {
      if (joined) {
        FatalError("The %s switch cannot be followed by an email address.",
                   line.switch_text.c_str());
      }
      continue;
    }
    if (argument.empty() && !joined && i + 1 < argc && std::strchr(argv[i + 1], '@') != nullptr) {
      argument = argv[++i];
    }
    line.address = argument;
  }
  return line;
}

String clean_address(const String& address) {
  String clean = address;
  clean.trim();
  clean.strip_enclosing('"');
  clean.strip_enclosing('<', '>');
  clean.trim();
  return clean;
}

void complete_command_line(CommandLine& line, ClipboardReader clipboard) {
  bool sending = line.mode == CommandMode::kSend || line.mode == CommandMode::kSendOnly;
  const char* option = !line.server.empty() ? "--server"
                       : !line.account.empty() ? "--account"
                       : line.verbose ? "--verbose"
                                      : nullptr;
  if (option && !sending) FatalError("The %s option works only with a send (-s or -o).", option);
  if (!line.server.empty()) {
    String host, error;
    int port = 0;
    if (!parse_server_option(line.server.view(), &host, &port, &error)) {
      FatalError("%s", error.c_str());
    }
  }
  if (line.mode == CommandMode::kNone) return;
  if (line.project.empty()) FatalError("No project file was specified.");
  if (!takes_address(line.mode)) return;

  if (line.address.empty() && clipboard != nullptr) line.address = clipboard();
  if (line.address.empty()) {
    FatalError(
        "No email address followed the %s switch.  Nor was an email address found in the "
        "clipboard.",
        line.switch_text.c_str());
  }
  line.address = clean_address(line.address);
  int at = line.address.find('@');
  // The address becomes one line of a list: a line break inside it would
  // add a second entry the person never meant.
  if (at < 0 || line.address.find('@', at + 1) >= 0 || line.address.find_any("\r\n") >= 0) {
    FatalError("This email address is not valid:\n%s", line.address.c_str());
  }
}

String resolve_project_path(const String& name, const String& current_directory) {
  String path = name;
  if (!is_absolute(path)) path = join_path(current_directory, path);
  return default_extension(path, "zqj");
}

}  // namespace tessaline
