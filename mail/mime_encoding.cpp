#include "mail/mime_encoding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "mail/mime_message.h"

namespace tessaline {

namespace {

const char kHex[] = "0123456789ABCDEF";

bool is_blank_char(char c) { return c == ' ' || c == '\t'; }

void append_percent(String* out, char c) {
  auto u = static_cast<unsigned char>(c);
  out->append('%');
  out->append(kHex[u >> 4]);
  out->append(kHex[u & 15]);
}

// The length of the UTF-8 sequence that starts at s[i], or 1 for a byte
// that does not start a valid one (it is then a character of its own).
int sequence_length(std::string_view s, size_t i) {
  auto c = static_cast<unsigned char>(s[i]);
  int n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 1;
  if (n == 1 || i + n > s.size()) return 1;
  return is_utf8(s.substr(i, n)) ? n : 1;
}

// --- encoded words (RFC 2047) --------------------------------------------------

// Characters that stand for themselves in the "Q" encoding wherever an
// encoded word may stand, phrases of address headers included.
bool q_literal(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
}

int q_length(char c) { return q_literal(c) || c == ' ' ? 1 : 3; }

void append_q(String* out, char c) {
  if (q_literal(c)) {
    out->append(c);
  } else if (c == ' ') {
    out->append('_');
  } else {
    auto u = static_cast<unsigned char>(c);
    out->append('=');
    out->append(kHex[u >> 4]);
    out->append(kHex[u & 15]);
  }
}

void append_base64(String* out, std::string_view bytes) {
  String chunk(bytes);
  base64_encode(&chunk);
  out->append(chunk);
}

// One encoded word holds at most 75 characters (RFC 2047).
constexpr int kMaxEncodedWord = 75;

// The longest encoded word of a header: one that fits on the header's
// first line behind "Name: " as well as on a folded line.
int encoded_word_limit(std::string_view name) {
  int room = kFoldedLineLength - static_cast<int>(name.size()) - 2;
  return room > kMaxEncodedWord ? kMaxEncodedWord : room < 32 ? 32 : room;
}

// The text as a run of encoded words, each at most `limit` characters, no
// character split between two.
std::vector<String> encoded_words(std::string_view text, int limit) {
  const char* charset = charset_name(text);
  int q_total = 0;
  for (char c : text) q_total += q_length(c);
  // "Q" keeps mostly Latin text readable in the raw message; "B" is
  // shorter for scripts where most characters need several bytes.
  const int b_total = static_cast<int>((text.size() + 2) / 3 * 4);
  const bool use_q = 2 * q_total <= 3 * b_total;
  const String head = String::formatted("=?%s?%c?", charset, use_q ? 'q' : 'b');
  const int room = limit - head.length() - 2;  // "?=" closes it
  const bool utf8 = is_utf8(text);

  std::vector<String> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    int length = 0;
    while (end < text.size()) {
      int n = utf8 ? sequence_length(text, end) : 1;
      int more = 0;
      if (use_q) {
        for (int k = 0; k < n; ++k) more += q_length(text[end + k]);
      } else {
        more = static_cast<int>((end + n - start + 2) / 3 * 4) - length;
      }
      if (length + more > room) break;
      length += more;
      end += n;
    }
    if (end == start) end = start + 1;  // cannot happen with room >= 12
    String word = head;
    if (use_q) {
      for (size_t i = start; i < end; ++i) append_q(&word, text[i]);
    } else {
      append_base64(&word, text.substr(start, end - start));
    }
    word.append("?=");
    words.push_back(std::move(word));
    start = end;
  }
  return words;
}

// --- folding ----------------------------------------------------------------------

// A piece of a header value that a fold may come before: the blanks that
// separate it from the piece before (none for the first) and its text.
struct Token {
  String separator;
  String text;
};

// The words of a text, each with the blanks before it; blanks at the end
// go with the last word.
void append_words(std::string_view text, std::vector<Token>* tokens) {
  size_t i = 0;
  while (i < text.size()) {
    size_t word = i;
    while (word < text.size() && is_blank_char(text[word])) ++word;
    size_t end = word;
    while (end < text.size() && !is_blank_char(text[end])) ++end;
    if (word == text.size() && !tokens->empty()) {
      tokens->back().text.append(text.substr(i));  // trailing blanks
      break;
    }
    tokens->push_back({String(text.substr(i, word - i)), String(text.substr(word, end - word))});
    i = end;
  }
}

void append_encoded(std::string_view text, std::string_view separator, int limit,
                    std::vector<Token>* tokens) {
  bool first = true;
  for (String& word : encoded_words(text, limit)) {
    tokens->push_back({first ? String(separator) : String(" "), std::move(word)});
    first = false;
  }
}

// "Name: " and the tokens, a fold (CR LF before a separator) wherever the
// line would pass the folding length; the first token never moves.
String fold(std::string_view name, const std::vector<Token>& tokens) {
  String line(name);
  line.append(": ");
  int column = line.length();
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    int width = token.separator.length() + token.text.length();
    if (i > 0 && !token.separator.empty() && column + width > kFoldedLineLength) {
      line.append("\r\n");
      column = 0;
    }
    line.append(token.separator);
    line.append(token.text);
    column += width;
  }
  line.append("\r\n");
  return line;
}

String plain_line(std::string_view name, std::string_view value) {
  String line(name);
  line.append(": ");
  line.append(value);
  line.append("\r\n");
  return line;
}

// Folds at blanks only when the plain line is too long for the servers.
String ascii_header(std::string_view name, const String& value) {
  if (static_cast<int>(name.size()) + 2 + value.length() <= kMaxLineLength) {
    return plain_line(name, value.view());
  }
  std::vector<Token> tokens;
  append_words(value.view(), &tokens);
  return fold(name, tokens);
}

bool has_overlong_line(const String& lines) { return longest_line(lines.view()) > kMaxLineLength; }

// One address of an address header as tokens; `separator` goes before it.
void append_address(std::string_view piece, std::string_view separator, int limit,
                    std::vector<Token>* tokens) {
  ParsedAddress parsed;
  if (is_ascii(piece)) {
    size_t before = tokens->size();
    append_words(piece, tokens);
    if (tokens->size() > before) (*tokens)[before].separator = String(separator);
    return;
  }
  if (!parse_address(piece, &parsed)) {
    append_encoded(piece, separator, limit, tokens);
    return;
  }
  if (parsed.display.empty() || is_ascii(parsed.display.view())) {
    // Only the address holds such bytes, and an address keeps them.
    String trimmed(piece);
    trimmed.trim(" \t");
    size_t before = tokens->size();
    append_words(trimmed.view(), tokens);
    if (tokens->size() > before) (*tokens)[before].separator = String(separator);
    return;
  }
  append_encoded(parsed.display.view(), separator, limit, tokens);
  tokens->push_back({String(" "), "<" + parsed.address + ">"});
}

}  // namespace

// --- classification ----------------------------------------------------------------

bool is_ascii(std::string_view text) {
  // Eight bytes at a time: every body and header value of every message
  // passes through here, and a loop that stops at the first high byte
  // is one that the compiler cannot widen.
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  const char* s = text.data();
  size_t n = text.size();
  for (; n >= 32; s += 32, n -= 32) {
    uint64_t w[4];
    std::memcpy(w, s, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3]) & kHighBits) return false;
  }
  for (; n >= 8; s += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, s, sizeof w);
    if (w & kHighBits) return false;
  }
  for (; n > 0; ++s, --n) {
    if (static_cast<unsigned char>(*s) >= 0x80) return false;
  }
  return true;
}

bool is_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    int more;
    uint32_t code;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= n) return false;
    for (int k = 1; k <= more; ++k) {
      unsigned char d = s[i + k];
      if ((d & 0xC0) != 0x80) return false;
      code = (code << 6) | (d & 0x3F);
    }
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    if ((more == 2 && code < 0x800) || (more == 3 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += more + 1;
  }
  return true;
}

const char* charset_name(std::string_view text) {
  return is_utf8(text) ? "utf-8" : "windows-1252";
}

int longest_line(std::string_view text) {
  // The text is walked from LF to LF with memchr; a stretch no longer
  // than the longest line so far cannot hold a longer one, so only the
  // rare longer stretch is searched for CRs.
  const char* s = text.data();
  const char* const end = s + text.size();
  size_t longest = 0;
  while (s < end) {
    const auto* lf = static_cast<const char*>(std::memchr(s, '\n', end - s));
    const char* stop = lf ? lf : end;
    if (static_cast<size_t>(stop - s) > longest) {
      for (const char* line = s; line <= stop;) {
        const auto* cr = static_cast<const char*>(std::memchr(line, '\r', stop - line));
        const char* line_end = cr ? cr : stop;
        longest = std::max(longest, static_cast<size_t>(line_end - line));
        line = line_end + 1;
      }
    }
    s = stop + 1;
  }
  return static_cast<int>(std::min<size_t>(longest, String::kMaxLength));
}

String single_line(std::string_view value) {
  String safe(value);
  char* bytes = safe.data();
  for (int i = 0; i < safe.length(); ++i) {
    if (bytes[i] == '\r' || bytes[i] == '\n' || bytes[i] == 0) bytes[i] = ' ';
  }
  return safe;
}

// --- quoted-printable ----------------------------------------------------------------

String quoted_printable(std::string_view text) {
  constexpr int kMaxEncodedLine = 76;
  // Built in a buffer reserved for the worst case (every byte escaped, a
  // soft break every 25 of them): a String grows by a few bytes at a time,
  // and a body of megabytes grown byte by byte would be copied over and over.
  const size_t n = text.size();
  std::string out;
  out.reserve(n * 3 + (n / 25 + 1) * 3);
  int column = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      // CR LF and LF CR are one break, as everywhere in a message.
      char pair = c == '\r' ? '\n' : '\r';
      if (i + 1 < n && text[i + 1] == pair) ++i;
      out += "\r\n";
      column = 0;
      continue;
    }
    const bool line_ends = i + 1 == n || text[i + 1] == '\r' || text[i + 1] == '\n';
    auto u = static_cast<unsigned char>(c);
    const bool literal = (u >= 33 && u <= 126 && c != '=') || (is_blank_char(c) && !line_ends);
    const int width = literal ? 1 : 3;
    // A line that goes on keeps a column for its soft break "=".
    if (column + width > (line_ends ? kMaxEncodedLine : kMaxEncodedLine - 1)) {
      out += "=\r\n";
      column = 0;
    }
    if (literal) {
      out += c;
    } else {
      out += '=';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
    column += width;
  }
  return String(std::string_view(out));
}

// --- headers ----------------------------------------------------------------------------

String unstructured_header(std::string_view name, std::string_view value) {
  const String text = single_line(value);
  const std::string_view v = text.view();
  if (is_ascii(v)) {
    String line = ascii_header(name, text);
    if (!has_overlong_line(line)) return line;
    std::vector<Token> tokens;
    append_encoded(v, "", encoded_word_limit(name), &tokens);
    return fold(name, tokens);
  }
  // The encoded words run from the first word that needs them to the last;
  // the words around them stay readable.
  size_t first = 0;
  while (static_cast<unsigned char>(v[first]) < 0x80) ++first;
  while (first > 0 && !is_blank_char(v[first - 1])) --first;
  size_t last = v.size() - 1;
  while (static_cast<unsigned char>(v[last]) < 0x80) --last;
  while (last + 1 < v.size() && !is_blank_char(v[last + 1])) ++last;
  size_t separator = first;
  while (separator > 0 && is_blank_char(v[separator - 1])) --separator;

  std::vector<Token> tokens;
  append_words(v.substr(0, separator), &tokens);
  append_encoded(v.substr(first, last + 1 - first), v.substr(separator, first - separator),
                 encoded_word_limit(name), &tokens);
  append_words(v.substr(last + 1), &tokens);
  String line = fold(name, tokens);
  if (!has_overlong_line(line)) return line;
  tokens.clear();
  append_encoded(v, "", encoded_word_limit(name), &tokens);
  return fold(name, tokens);
}

String address_header(std::string_view name, std::string_view value) {
  const String text = single_line(value);
  const std::string_view v = text.view();
  if (is_ascii(v)) return ascii_header(name, text);
  std::vector<Token> tokens;
  size_t start = 0;
  for (;;) {
    size_t end = v.find(';', start);
    std::string_view piece = v.substr(start, end == std::string_view::npos ? end : end - start);
    size_t before = tokens.size();
    append_address(piece, start == 0 ? "" : " ", encoded_word_limit(name), &tokens);
    if (end == std::string_view::npos) break;
    if (tokens.size() == before) tokens.push_back({String(start == 0 ? "" : " "), String()});
    // A list that is rewritten anyway is written as readers expect one,
    // with commas (a ";" would end an address group).
    tokens.back().text.append(',');
    start = end + 1;
  }
  return fold(name, tokens);
}

String angle_list_header(std::string_view name, const std::vector<String>& items) {
  std::vector<Token> tokens;
  for (size_t i = 0; i < items.size(); ++i) {
    String text = "<" + items[i] + ">";
    if (i + 1 < items.size()) text.append(',');
    tokens.push_back({String(i == 0 ? "" : " "), std::move(text)});
  }
  return fold(name, tokens);
}

String url_for_header(std::string_view url) {
  String safe;
  for (char c : url) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == '<' || c == '>' || c == '"') {
      append_percent(&safe, c);
    } else {
      safe.append(c);
    }
  }
  return safe;
}

String header_parameter(std::string_view name, std::string_view value) {
  String parameter;
  if (is_ascii(value)) {
    parameter.append(';');
    parameter.append(name);
    parameter.append("=\"");
    for (char c : single_line(value)) {
      if (c == '"' || c == '\\') parameter.append('\\');
      parameter.append(c);
    }
    parameter.append('"');
    return parameter;
  }
  parameter.append(";\r\n ");
  parameter.append(name);
  parameter.append("*=");
  parameter.append(charset_name(value));
  parameter.append("''");
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 (u < 0x80 && std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos);
    if (plain) {
      parameter.append(c);
    } else {
      append_percent(&parameter, c);
    }
  }
  return parameter;
}

}  // namespace tessaline
