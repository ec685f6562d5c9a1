#include "app/command_line.h"

#include <cstdio>
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
    {"remove", CommandMode::kRemove},
    {"remove-from", CommandMode::kRemove},
    {"resume", CommandMode::kResume},
};

// The options of a send that take a value, where it goes, and whether it
// changes what the send does (rather than how it reaches the server).
struct ValueOption {
  const char* name;
  String CommandLine::*value;
  bool shapes_the_send;
};

const ValueOption kValueOptions[] = {
    {"--server", &CommandLine::server, false},
    {"--account", &CommandLine::account, false},
    {"--rate", &CommandLine::rate, false},
    {"--connections", &CommandLine::connections, false},
    {"--dry-run", &CommandLine::dry_run, true},
    {"--limit", &CommandLine::limit, true},
    {"--test", &CommandLine::test_address, true},
};

constexpr char kRemoveFrom[] = "--remove-from";

// --remove takes every other argument as an address, so the project cannot
// be told apart until all are read.
bool names_remove(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--remove") == 0 || std::strncmp(argv[i], "--remove=", 9) == 0) {
      return true;
    }
  }
  return false;
}

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

// "--name VALUE" or "--name=VALUE" for the options of kValueOptions, and
// "--verbose". True when argv[*i] was one (*i then points at its last
// word).
bool read_send_option(int argc, const char* const* argv, int* i, CommandLine* line) {
  std::string_view token = argv[*i];
  if (token == "--verbose") {
    line->verbose = true;
    return true;
  }
  for (const ValueOption& option : kValueOptions) {
    std::string_view name = option.name;
    if (!token.starts_with(name)) continue;
    String value;
    if (token.size() > name.size() && token[name.size()] == '=') {
      value = String(token.substr(name.size() + 1));
    } else if (token.size() == name.size()) {
      if (*i + 1 >= argc) FatalError("The %s option needs a value.", option.name);
      value = argv[++*i];
    } else {
      continue;
    }
    if (value.empty()) FatalError("The %s option needs a value.", option.name);
    String& slot = line->*option.value;
    if (!slot.empty()) FatalError("The %s option was given twice.", option.name);
    slot = value;
    return true;
  }
  return false;
}

// The first option of a send that was given, or null; with `shaping`,
// only those that change what the send does (not allowed with --resume).
const char* first_send_option(const CommandLine& line, bool shaping) {
  for (const ValueOption& option : kValueOptions) {
    if ((!shaping || option.shapes_the_send) && !(line.*option.value).empty()) {
      return option.name;
    }
  }
  return !shaping && line.verbose ? "--verbose" : nullptr;
}

// The value of --limit or --connections: digits only, and few enough that
// the number cannot wrap; -1 for anything else.
int whole_number(const String& text) {
  if (text.length() > 9) return -1;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

bool is_send(CommandMode mode) {
  return mode == CommandMode::kSend || mode == CommandMode::kSendOnly ||
         mode == CommandMode::kResume;
}

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

  const bool removing = names_remove(argc, argv);
  Vector<String> positional;
  for (int i = 1; i < argc; ++i) {
    String token(argv[i]);
    if (read_send_option(argc, argv, &i, &line)) continue;
    if (token.first() != '-') {
      if (removing) {
        positional.append(token);
        continue;
      }
      if (!line.project.empty()) FatalError("Invalid command line parameter:\n%s", token.c_str());
      line.project = token;
      continue;
    }
    if (token == "--preview") {
      line.preview = true;
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

    if (line.mode == CommandMode::kRemove) {
      if (line.switch_text == kRemoveFrom) {
        // The file may be "-", which reads like a switch.
        if (!joined && i + 1 < argc) argument = argv[++i];
        line.address_file = argument;
      } else if (joined) {
        positional.insert(0, argument);
      }
      continue;
    }
    if (line.mode == CommandMode::kSend || line.mode == CommandMode::kResume) {
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
  if (removing && line.mode == CommandMode::kRemove) {
    // The last is the project, every other an address.
    if (!positional.empty()) {
      line.project = positional.last();
      positional.remove(positional.count() - 1);
    }
    line.remove_addresses = std::move(positional);
  }
  if (line.preview && line.mode != CommandMode::kRemove) {
    FatalError("The --preview switch goes with --remove or --remove-from only.");
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

String check_remove_address(const String& address) {
  String clean = clean_address(address);
  // "Ann <ann@example.com>" is ann@example.com.
  int open = clean.rfind('<');
  if (open >= 0 && clean.last() == '>') {
    clean = clean.substr(open + 1, clean.length() - open - 2);
    clean.trim();
  }
  int at = clean.find('@');
  if (at <= 0 || at == clean.length() - 1 || clean.find('@', at + 1) >= 0 ||
      clean.find_any(" \t\r\n") >= 0) {
    FatalError("This email address is not valid:\n%s", clean.c_str());
  }
  if (clean.length() < 6) {
    FatalError("Because of the potential for catastrophic consequences, the email address must "
               "be at least 6 characters long.");
  }
  return clean;
}

void load_address_file(CommandLine& line) {
  if (line.mode != CommandMode::kRemove || line.address_file.empty()) return;
  String text;
  bool read = true;
  if (line.address_file == "-") {
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, stdin)) > 0) {
      text.append(std::string_view(block, n));
    }
    read = !std::ferror(stdin);
  } else {
    read = read_whole_file(line.address_file, text);
  }
  if (!read) FatalError("Unable to read the address file:\n%s", line.address_file.c_str());
  line.remove_addresses.clear();
  for (int start = 0; start < text.length();) {
    int end = text.find_any("\r\n", start);
    if (end < 0) end = text.length();
    String entry = text.substr(start, end - start);
    start = end + 1;
    entry.trim();
    if (!entry.empty()) line.remove_addresses.append(check_remove_address(entry));
  }
  if (line.remove_addresses.empty()) {
    FatalError("The address file holds no email address:\n%s", line.address_file.c_str());
  }
}

void complete_command_line(CommandLine& line, ClipboardReader clipboard) {
  if (const char* option = first_send_option(line, false)) {
    if (!is_send(line.mode)) {
      FatalError("The %s option works only with a send (-s, -o or --resume).", option);
    }
  }
  if (const char* option = first_send_option(line, true)) {
    if (line.mode == CommandMode::kResume) {
      FatalError("The %s option cannot be used with --resume: a resumed send goes on as it "
                 "began.",
                 option);
    }
  }
  if (!line.server.empty()) {
    String host, error;
    int port = 0;
    if (!parse_server_option(line.server.view(), &host, &port, &error)) {
      FatalError("%s", error.c_str());
    }
  }
  if (!line.limit.empty()) {
    int n = whole_number(line.limit);
    if (n <= 0) FatalError("The --limit option needs a whole number above 0.");
    line.limit_count = n;
  }
  if (!line.rate.empty() && !parse_send_rate(line.rate.view(), &line.rate_value)) {
    FatalError("The --rate option needs a number of messages per unit of time, such as 30/min "
               "or 500/hour:\n%s",
               line.rate.c_str());
  }
  if (!line.connections.empty()) {
    int n = whole_number(line.connections);
    if (n <= 0 || n > kMostConnections) {
      FatalError("The --connections option needs a whole number from 1 to %d.", kMostConnections);
    }
    line.connections_count = n;
  }
  if (!line.test_address.empty()) {
    if (line.mode == CommandMode::kSendOnly) {
      FatalError("The --test option cannot be used with -o, which sends to its own address.");
    }
    line.test_address = clean_address(line.test_address);
    int at = line.test_address.find('@');
    if (at < 0 || line.test_address.find('@', at + 1) >= 0 ||
        line.test_address.find_any("\r\n") >= 0) {
      FatalError("This email address is not valid:\n%s", line.test_address.c_str());
    }
  }
  if (line.mode == CommandMode::kNone) return;
  if (line.project.empty()) FatalError("No project file was specified.");
  if (line.mode == CommandMode::kRemove) {
    if (line.switch_text == kRemoveFrom) {
      if (line.address_file.empty()) {
        FatalError("No address file followed the %s switch.", line.switch_text.c_str());
      }
      return;
    }
    if (line.remove_addresses.empty()) {
      FatalError("No email address followed the %s switch.", line.switch_text.c_str());
    }
    for (String& address : line.remove_addresses) address = check_remove_address(address);
    return;
  }
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
