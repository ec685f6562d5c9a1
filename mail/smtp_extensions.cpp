#include "mail/smtp_extensions.h"

namespace tessaline {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// An ehlo-keyword: a letter or digit, then letters, digits and "-".
bool is_keyword(std::string_view word) {
  if (word.empty() || !is_letter_or_digit(word.front())) return false;
  for (char c : word) {
    if (!is_letter_or_digit(c) && c != '-') return false;
  }
  return true;
}

String upper(std::string_view text) {
  String result(text);
  result.to_upper();
  return result;
}

bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (to_upper(a[i]) != to_upper(b[i])) return false;
  }
  return true;
}

// The words of a parameter text joined by single spaces, cut at a bound.
String single_spaced(std::string_view text) {
  String result;
  size_t i = 0;
  while (i < text.size() && result.length() < SmtpExtensions::kMaxParameters) {
    while (i < text.size() && is_blank(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !is_blank(text[i])) ++i;
    if (i == start) break;
    if (!result.empty()) result += ' ';
    result.append(text.substr(start, i - start));
  }
  if (result.length() > SmtpExtensions::kMaxParameters) {
    result.set_length(SmtpExtensions::kMaxParameters);
  }
  return result;
}

}  // namespace

SmtpExtensions SmtpExtensions::parse(std::string_view reply) {
  SmtpExtensions extensions;
  bool first = true;
  while (!reply.empty()) {
    size_t end = reply.find('\n');
    std::string_view line = reply.substr(0, end);
    reply.remove_prefix(end == std::string_view::npos ? reply.size() : end + 1);
    while (!line.empty() && (line.back() == '\r' || is_blank(line.back()))) line.remove_suffix(1);
    // "250-" or "250 " before the text; the first line names the server.
    if (line.size() < 4 || (line[3] != '-' && line[3] != ' ')) continue;
    if (first) {
      first = false;
      continue;
    }
    std::string_view text = line.substr(4);
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    size_t split = 0;
    while (split < text.size() && !is_blank(text[split]) && text[split] != '=') ++split;
    std::string_view word = text.substr(0, split);
    std::string_view rest = split < text.size() ? text.substr(split + 1) : std::string_view();
    if (!is_keyword(word)) continue;
    bool old_auth = split < text.size() && text[split] == '=';
    if (old_auth && !same_word(word, "AUTH")) continue;
    if (same_word(word, "AUTH")) extensions.add_mechanisms(rest);
    if (extensions.find(word)) continue;
    if (extensions.keywords_.count() >= kMaxKeywords) continue;
    extensions.keywords_.append({upper(word), single_spaced(rest)});
  }
  return extensions;
}

void SmtpExtensions::add_mechanisms(std::string_view parameters) {
  String words = single_spaced(parameters);
  std::string_view rest = words.view();
  while (!rest.empty() && mechanisms_.count() < kMaxKeywords) {
    size_t space = rest.find(' ');
    std::string_view mechanism = rest.substr(0, space);
    rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
    if (!offers_auth(mechanism)) mechanisms_.append(upper(mechanism));
  }
}

const SmtpExtensions::Keyword* SmtpExtensions::find(std::string_view keyword) const {
  for (const Keyword& entry : keywords_) {
    if (same_word(entry.name.view(), keyword)) return &entry;
  }
  return nullptr;
}

bool SmtpExtensions::offers(std::string_view keyword) const { return find(keyword) != nullptr; }

String SmtpExtensions::parameters(std::string_view keyword) const {
  const Keyword* entry = find(keyword);
  return entry ? entry->parameters : String();
}

bool SmtpExtensions::offers_auth(std::string_view mechanism) const {
  for (const String& entry : mechanisms_) {
    if (same_word(entry.view(), mechanism)) return true;
  }
  return false;
}

}  // namespace tessaline
