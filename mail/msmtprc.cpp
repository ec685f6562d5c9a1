#include "mail/msmtprc.h"

#include "core/containers.h"

namespace tessaline {

namespace {

// What one account (or the defaults) set: each command once, the last
// value winning, in the order first set.
struct Setting {
  String command;
  String value;
};
using Settings = Vector<Setting>;

struct NamedAccount {
  String name;
  Settings settings;
};

const char* const kCommands[] = {"host", "port", "from", "tls", "tls_starttls", "tls_trust_file",
                                 "tls_certcheck", "auth", "user", "password", "passwordeval"};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// An argument as msmtp writes it: bare, or in double quotes with
// backslash escapes. An unterminated quote makes the line unusable.
bool unquote(std::string_view text, String* value) {
  value->clear();
  if (text.empty() || text.front() != '"') {
    value->append(text);
    return true;
  }
  for (size_t i = 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return trimmed(text.substr(i + 1)).empty();
    if (c == '\\' && i + 1 < text.size()) c = text[++i];
    value->append(c);
  }
  return false;
}

bool known(std::string_view command) {
  for (const char* name : kCommands) {
    if (command == name) return true;
  }
  return false;
}

void set(Settings& settings, std::string_view command, const String& value) {
  for (Setting& s : settings) {
    if (s.command == command) {
      s.value = value;
      return;
    }
  }
  settings.append({String(command), value});
}

const String* get(const Settings& settings, const char* command) {
  for (const Setting& s : settings) {
    if (s.command == command) return &s.value;
  }
  return nullptr;
}

NamedAccount* find_account(Vector<NamedAccount>& accounts, std::string_view name) {
  for (NamedAccount& entry : accounts) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

bool valid_host(const String& host) {
  if (host.empty() || host.length() > 255) return false;
  for (char c : host) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return false;
  }
  return true;
}

int parse_port(const String& text) {
  if (text.empty() || text.length() > 5) return 0;
  int port = 0;
  for (char c : text) {
    if (!is_digit(c)) return 0;
    port = port * 10 + (c - '0');
  }
  return port >= 1 && port <= 65535 ? port : 0;
}

// msmtp's on/off: an empty argument means on.
bool parse_switch(const String& text, bool* on) {
  if (text.empty() || text == "on") {
    *on = true;
  } else if (text == "off") {
    *on = false;
  } else {
    return false;
  }
  return true;
}

// Checks a value when it is set, so that a bad line leaves the one before
// it in force, as msmtp would have refused it.
bool acceptable(std::string_view command, const String& value) {
  bool on;
  if (command == "host") return valid_host(value);
  if (command == "port") return parse_port(value) != 0;
  if (command == "tls" || command == "tls_starttls" || command == "tls_certcheck") {
    return parse_switch(value, &on);
  }
  return true;
}

void interpret(const Settings& settings, std::string_view home, MsmtpAccount* account) {
  if (const String* v = get(settings, "host")) account->host = *v;
  if (const String* v = get(settings, "port")) account->port = parse_port(*v);
  if (const String* v = get(settings, "from")) account->from = *v;
  if (const String* v = get(settings, "tls")) parse_switch(*v, &account->tls);
  if (const String* v = get(settings, "tls_starttls")) parse_switch(*v, &account->tls_starttls);
  if (const String* v = get(settings, "tls_certcheck")) parse_switch(*v, &account->tls_certcheck);
  if (const String* v = get(settings, "tls_trust_file")) {
    if (*v != "system") account->tls_trust_file = *v;
    if (account->tls_trust_file.starts_with("~/") && !home.empty()) {
      account->tls_trust_file = String(home) + account->tls_trust_file.substr(1);
    }
  }
  if (const String* v = get(settings, "auth")) {
    account->auth_given = true;
    account->auth = *v;
  }
  if (const String* v = get(settings, "user")) account->user = *v;
  if (const String* v = get(settings, "password")) {
    account->password_given = !v->empty();
    account->password = *v;
  }
  if (const String* v = get(settings, "passwordeval")) account->passwordeval = *v;
}

}  // namespace

bool read_msmtp_account(std::string_view text, std::string_view name, MsmtpAccount* account,
                        std::string_view home) {
  *account = MsmtpAccount();
  if (name.empty()) name = "default";
  if (text.size() > static_cast<size_t>(kMaxMsmtprcText)) text = text.substr(0, kMaxMsmtprcText);

  Vector<NamedAccount> accounts;
  Settings defaults;
  int target = -1;         // the account the lines go to; -1: the defaults
  bool discarding = false;  // after an account line that could not be read

  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;

    size_t split = 0;
    while (split < line.size() && !is_space(line[split])) ++split;
    std::string_view command = line.substr(0, split);
    std::string_view argument = trimmed(line.substr(split));

    if (command == "defaults") {
      target = -1;
      discarding = false;
    } else if (command == "account") {
      size_t colon = argument.find(':');
      String account_name;
      if (!unquote(trimmed(argument.substr(0, colon)), &account_name) || account_name.empty()) {
        discarding = true;  // the lines up to the next account go nowhere
        continue;
      }
      discarding = false;
      NamedAccount fresh;
      fresh.name = account_name;
      fresh.settings = defaults;
      if (colon != std::string_view::npos) {
        std::string_view parents = argument.substr(colon + 1);
        while (!parents.empty()) {
          size_t comma = parents.find(',');
          std::string_view parent = trimmed(parents.substr(0, comma));
          parents.remove_prefix(comma == std::string_view::npos ? parents.size() : comma + 1);
          if (NamedAccount* found = find_account(accounts, parent)) {
            for (const Setting& s : found->settings) set(fresh.settings, s.command.view(), s.value);
          }
        }
      }
      if (NamedAccount* existing = find_account(accounts, account_name.view())) {
        existing->settings = fresh.settings;
        target = static_cast<int>(existing - accounts.begin());
      } else {
        accounts.append(std::move(fresh));
        target = accounts.count() - 1;
      }
    } else if (!discarding && known(command)) {
      String value;
      if (!unquote(argument, &value) || !acceptable(command, value)) continue;
      set(target >= 0 ? accounts[target].settings : defaults, command, value);
    }
  }

  NamedAccount* chosen = find_account(accounts, name);
  if (!chosen) return false;
  account->name = String(name);
  interpret(chosen->settings, home, account);
  if (account->host.empty()) {
    *account = MsmtpAccount();
    return false;
  }
  return true;
}

bool read_msmtp_default_account(std::string_view text, MsmtpAccount* account) {
  return read_msmtp_account(text, "default", account);
}

}  // namespace tessaline
