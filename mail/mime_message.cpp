#include "mail/mime_message.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "core/date.h"
#include "core/text_format.h"
#include "storage/paths.h"

namespace tessaline {

namespace {

const char kDelimiters[] = " \t\r\n<>()'\"";

bool is_delimiter(char c) { return c != 0 && std::strchr(kDelimiters, c) != nullptr; }

bool is_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool is_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
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

// ";charset=..." for a text part that is not pure ASCII: UTF-8 when the
// bytes are valid UTF-8, else the Windows code page most legacy text
// files are written in.
const char* charset_parameter(std::string_view text) {
  if (is_ascii(text)) return "";
  return is_utf8(text) ? ";charset=utf-8" : ";charset=windows-1252";
}

// A text as a header value, or (quoted) as the value of a quoted
// parameter: line breaks and NUL bytes become spaces, so the text cannot end
// the header it stands in; in a quoted value quotes and backslashes are
// escaped.
String header_safe(const String& name, bool quoted) {
  String safe;
  for (char c : name) {
    if (c == '\r' || c == '\n' || c == 0) {
      safe.append(' ');
    } else {
      if (quoted && (c == '"' || c == '\\')) safe.append('\\');
      safe.append(c);
    }
  }
  return safe;
}

void strip_high_bits(String* text) {
  char* bytes = text->data();
  const int n = text->length();
  for (int i = 0; i < n; ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) bytes[i] = 0x7F;
  }
}

// Walks the line breaks of a text in order (CR LF and LF CR pairs count as
// one), finding them with memchr.
class LineBreaks {
 public:
  LineBreaks(const char* s, int n) : s_(s), n_(n) {
    cr_ = find('\r', 0);
    lf_ = find('\n', 0);
  }
  // The position and length (1 or 2) of the next break; false at the end.
  bool next(int* at, int* length) {
    int i = cr_ < lf_ ? cr_ : lf_;
    if (i >= n_) return false;
    char pair = s_[i] == '\r' ? '\n' : '\r';
    *at = i;
    *length = i + 1 < n_ && s_[i + 1] == pair ? 2 : 1;
    int after = i + *length;
    if (cr_ < after) cr_ = find('\r', after);
    if (lf_ < after) lf_ = find('\n', after);
    return true;
  }

 private:
  int find(char c, int from) const {
    const void* p = from < n_ ? std::memchr(s_ + from, c, n_ - from) : nullptr;
    return p ? static_cast<int>(static_cast<const char*>(p) - s_) : n_;
  }
  const char* s_;
  int n_;
  int cr_;
  int lf_;
};

// Every line break (CR LF, lone LF, lone CR, LF CR) becomes CR LF.
void normalise_line_breaks(String* text) {
  const char* s = text->c_str();
  const int n = text->length();
  int64_t lone = 0;
  bool changes = false;
  LineBreaks count(s, n);
  for (int at, length; count.next(&at, &length);) {
    if (length == 1) ++lone;
    if (length == 1 || s[at] == '\n') changes = true;
  }
  if (!changes) return;
  if (n + lone > String::kMaxLength) return;  // cannot grow; sent as it is
  String result;
  char* out = result.extend(static_cast<int>(n + lone));
  int done = 0;
  LineBreaks copy(s, n);
  for (int at, length; copy.next(&at, &length);) {
    std::memcpy(out, s + done, at - done);
    out += at - done;
    *out++ = '\r';
    *out++ = '\n';
    done = at + length;
  }
  std::memcpy(out, s + done, n - done);
  *text = std::move(result);
}

void split_trimmed(const String& text, char separator, bool lines, Vector<String>* into) {
  int start = 0;
  const int n = text.length();
  for (int i = 0; i <= n; ++i) {
    char c = i < n ? text[i] : 0;
    bool end = i == n || (lines ? (c == '\r' || c == '\n') : c == separator);
    if (!end) continue;
    String piece = text.substr(start, i - start);
    piece.trim();
    if (!piece.empty()) into->append(std::move(piece));
    start = i + 1;
  }
}

const char* embedded_type(const String& name) {
  int dot = name.rfind('.');
  if (dot >= 0) {
    String extension = name.substr(dot);
    if (extension.equals_ignore_case(".GIF")) return "image/gif";
    if (extension.equals_ignore_case(".JPG")) return "image/jpeg";
  }
  return "application/octet-stream";
}

// Reads the file and appends "\r\n", its base64 form and "\r\n"; false
// when it cannot be read or would not fit in a String.
bool append_file_base64(const String& path, String* out) {
  String bytes;
  if (path.empty() || !read_whole_file(path, bytes)) return false;
  int64_t encoded = static_cast<int64_t>(bytes.length()) * 4 / 3 + bytes.length() / 18 * 2 + 16;
  if (out->length() + encoded + 4 > String::kMaxLength) return false;
  base64_encode(&bytes);
  out->append("\r\n");
  out->append(bytes);
  out->append("\r\n");
  return true;
}

}  // namespace

// --- the message --------------------------------------------------------------

bool MimeMessage::first(int* cursor, String* path) const {
  *cursor = 0;
  return next(cursor, path);
}

bool MimeMessage::next(int* cursor, String* path) const {
  if (*cursor < 0 || *cursor >= attachments.count()) return false;
  *path = attachments[(*cursor)++];
  return true;
}

void MimeMessage::set_cc(const String& text) {
  cc = text;
  split_trimmed(text, ';', false, &recipients);
}

void MimeMessage::set_attachments(const String& text) {
  split_trimmed(text, 0, true, &attachments);
}

bool MimeMessage::has_alternative() const {
  return !is_blank(text_body.view()) && !is_blank(html_body.view());
}

String MimeMessage::recipient_domain() const {
  if (recipients.empty()) return String();
  const String& first = recipients[0];
  int at = first.find('@');
  if (at < 0) return String();
  String domain = first.substr(at + 1);
  domain.cut_at('>');
  domain.cut_at_any(" \r\n\t");
  return domain;
}

void MimeMessage::fail(int code, const char* format, ...) {
  error.format("SMTP Error %d\n", code);
  va_list args;
  va_start(args, format);
  error.append_vformat(format, args);
  va_end(args);
}

bool MimeMessage::compose(String* output, bool seven_bit_only) {
  const bool T = !is_blank(text_body.view());
  const bool H = !is_blank(html_body.view());
  const bool A = !attachments.empty();
  const bool E = !embedded_files.empty();

  // Header values are single lines: a line break inside one (a subject
  // typed over two lines, an address read from a database) would end the
  // header block early or add header lines of its own.
  String out;
  if (!from.empty()) out.append_format("From: %s\r\n", header_safe(from, false).c_str());
  if (recipients.count() == 1) {
    out.append_format("To: %s\r\n", header_safe(recipients[0], false).c_str());
  }
  if (!subject.empty()) out.append_format("Subject: %s\r\n", header_safe(subject, false).c_str());
  if (!reply_to.empty()) {
    out.append_format("Reply-To: %s\r\n", header_safe(reply_to, false).c_str());
  }
  ClockReading now = read_clock();
  out.append_format("Date: %s %s\r\n", format_date_time(now.local, "dd M y HH:ii:ss").c_str(),
                    time_zone_text(now.utc_offset_minutes).c_str());
  if (!cc.empty()) out.append_format("CC: %s\r\n", header_safe(cc, false).c_str());
  out.append(extra_headers);
  out.append("Mime-Version: 1.0\r\n");

  String mixed, alternative, related;
  if (A) {
    mixed = make_boundary();
    out.append_format("Content-Type: multipart/mixed;boundary=\"%s\"\r\n\r\n--%s\r\n",
                      mixed.c_str(), mixed.c_str());
  }
  if (T && H) {
    alternative = make_boundary();
    out.append_format("Content-Type: multipart/alternative;boundary=\"%s\"\r\n\r\n--%s\r\n",
                      alternative.c_str(), alternative.c_str());
  }
  if (T) {
    String text = text_body;
    const char* label;
    switch (encoding) {
      case k7Bit:
        strip_high_bits(&text);
        label = "7bit";
        break;
      case k8Bit:
        if (seven_bit_only) strip_high_bits(&text);
        label = "8bit";
        break;
      case kBase64:
        label = "base64";
        break;
      default:
        fail(4615, "Illegal encoding: %d", encoding);
        return false;
    }
    const char* charset = charset_parameter(text.view());
    if (encoding == kBase64) base64_encode(&text);
    out.append_format("Content-Type: text/plain%s\r\nContent-Transfer-Encoding: %s\r\n\r\n",
                      charset, label);
    out.append(text);
    out.append("\r\n");
  }
  if (H) {
    if (T) out.append_format("\r\n--%s\r\n", alternative.c_str());
    if (E) {
      related = make_boundary();
      out.append_format("Content-Type: multipart/related;boundary=\"%s\"\r\n\r\n--%s\r\n",
                        related.c_str(), related.c_str());
    }
    out.append_format("Content-Type: text/html%s\r\n\r\n", charset_parameter(html_body.view()));
    out.append(html_body);
    out.append("\r\n");
    if (E) {
      for (const String& path : embedded_files) {
        String name = file_part(path);
        out.append_format("\r\n--%s\r\nContent-Disposition: inline\r\nContent-ID: %s\r\n",
                          related.c_str(), header_safe(name, false).c_str());
        out.append_format("Content-Type: %s;name=\"%s\"\r\nContent-Transfer-Encoding: base64\r\n",
                          embedded_type(name), header_safe(name, true).c_str());
        if (!append_file_base64(path, &out)) {
          fail(4617, "Failed to load attachment: %s", path.c_str());
          return false;
        }
      }
      out.append_format("\r\n--%s--\r\n", related.c_str());
    }
    if (T) out.append_format("\r\n--%s--\r\n", alternative.c_str());
  }
  if (A) {
    for (const String& path : attachments) {
      String name = file_part(path);
      out.append_format(
          "\r\n--%s\r\nContent-Disposition: attachment\r\n"
          "Content-Type: application/octet-stream;name=\"%s\"\r\n"
          "Content-Transfer-Encoding: base64\r\n",
          mixed.c_str(), header_safe(name, true).c_str());
      if (!append_file_base64(path, &out)) {
        fail(4620, "Failed to load attachment: %s", path.c_str());
        return false;
      }
    }
    out.append_format("\r\n--%s--", mixed.c_str());
  }
  normalise_line_breaks(&out);
  *output = std::move(out);
  return true;
}

// --- free functions -----------------------------------------------------------

String make_boundary() {
  String boundary;
  for (int i = 0; i < 12; ++i) boundary.append(random_letter_or_digit());
  return boundary;
}

void base64_encode(String* text) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* in = reinterpret_cast<const unsigned char*>(text->c_str());
  const int n = text->length();
  // Four characters per three bytes, CR LF after every full 72.
  int64_t size = static_cast<int64_t>((n + 2) / 3) * 4 + static_cast<int64_t>(n / 54) * 2;
  String result;
  if (size == 0) {
    *text = std::move(result);
    return;
  }
  char* out = result.extend(static_cast<int>(size));
  int column = 0;
  for (int i = 0; i < n; i += 3) {
    uint32_t group = in[i] << 16;
    if (i + 1 < n) group |= in[i + 1] << 8;
    if (i + 2 < n) group |= in[i + 2];
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = i + 1 < n ? kAlphabet[(group >> 6) & 63] : '=';
    *out++ = i + 2 < n ? kAlphabet[group & 63] : '=';
    column += 4;
    if (column == 72) {
      *out++ = '\r';
      *out++ = '\n';
      column = 0;
    }
  }
  *text = std::move(result);
}

bool is_blank(std::string_view text) {
  for (char c : text) {
    if (!is_white(c)) return false;
  }
  return true;
}

bool is_valid_address(std::string_view text) {
  int count = 0;
  for (char c : text) count += c == '@';
  return count == 1;
}

bool parse_address(std::string_view text, ParsedAddress* parsed) {
  *parsed = ParsedAddress();
  size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0 || text.find('@', at + 1) != std::string_view::npos) {
    return false;
  }
  size_t start = at;
  while (start > 0 && !is_delimiter(text[start - 1])) --start;
  size_t end = at + 1;  // one past the address
  while (end < text.size() && !is_delimiter(text[end])) ++end;

  String display(text.substr(0, start));
  display.append(text.substr(end));
  display.remove_chars("<>");
  for (bool changed = true; changed;) {
    int before = display.length();
    display.trim();
    if (display.first() == '"') display.strip_enclosing('"');
    if (display.first() == '(') display.strip_enclosing('(', ')');
    changed = display.length() != before;
  }
  int space = display.find(' ', 1);
  if (space > 0) {
    parsed->first_name = display.substr(0, space);
    parsed->last_name = display.substr(display.rfind(' ') + 1);
  }
  parsed->display = std::move(display);
  parsed->address = String(text.substr(start, end - start));
  parsed->address.trim();
  return true;
}

String extract_address(std::string_view text) {
  ParsedAddress parsed;
  if (!parse_address(text, &parsed)) return String();
  return parsed.address;
}

}  // namespace tessaline
