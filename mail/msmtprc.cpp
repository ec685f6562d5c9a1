#include "mail/msmtprc.h"

#include "core/containers.h"

namespace tessaline {

namespace {

struct NamedAccount {
  String name;
  MsmtpAccount account;
};

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

NamedAccount* find_account(Vector<NamedAccount>& accounts, std::string_view name) {
  for (NamedAccount& entry : accounts) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

void inherit(MsmtpAccount* into, const MsmtpAccount& from) {
  if (!from.host.empty()) into->host = from.host;
  if (from.port) into->port = from.port;
}

}  // namespace

bool read_msmtp_default_account(std::string_view text, MsmtpAccount* account) {
  *account = MsmtpAccount();
  if (text.size() > static_cast<size_t>(kMaxMsmtprcText)) text = text.substr(0, kMaxMsmtprcText);

  Vector<NamedAccount> accounts;
  MsmtpAccount defaults;
  MsmtpAccount* target = &defaults;
  int target_index = -1;  // accounts may move when the vector grows

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
      target = &defaults;
      target_index = -1;
    } else if (command == "account") {
      size_t colon = argument.find(':');
      String name;
      if (!unquote(trimmed(argument.substr(0, colon)), &name) || name.empty()) {
        target = nullptr;  // the lines up to the next account go nowhere
        target_index = -1;
        continue;
      }
      NamedAccount fresh;
      fresh.name = name;
      fresh.account = defaults;
      if (colon != std::string_view::npos) {
        std::string_view parents = argument.substr(colon + 1);
        while (!parents.empty()) {
          size_t comma = parents.find(',');
          std::string_view parent = trimmed(parents.substr(0, comma));
          parents.remove_prefix(comma == std::string_view::npos ? parents.size() : comma + 1);
          if (NamedAccount* found = find_account(accounts, parent)) inherit(&fresh.account, found->account);
        }
      }
      if (NamedAccount* existing = find_account(accounts, name.view())) {
        existing->account = fresh.account;
        target_index = static_cast<int>(existing - accounts.begin());
      } else {
        accounts.append(std::move(fresh));
        target_index = accounts.count() - 1;
      }
      target = nullptr;
    } else {
      MsmtpAccount* into = target_index >= 0 ? &accounts[target_index].account : target;
      if (!into) continue;
      String value;
      if (!unquote(argument, &value)) continue;
      if (command == "host") {
        if (valid_host(value)) into->host = value;
      } else if (command == "port") {
        if (int port = parse_port(value)) into->port = port;
      }
    }
  }

  NamedAccount* chosen = find_account(accounts, "default");
  if (!chosen || chosen->account.host.empty()) return false;
  *account = chosen->account;
  return true;
}

}  // namespace tessaline
