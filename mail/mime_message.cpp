#include "mail/mime_message.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/date.h"
#include "core/text_format.h"
#include "platform/random_bytes.h"
#include "storage/paths.h"
#include "mail/dkim.h"
#include "mail/encoded_file_cache.h"
#include "mail/mime_encoding.h"

namespace tessaline {

namespace {

// What ends an address inside a text: blanks, line breaks, brackets and
// quotes. A switch, not a search of a list: every address of every
// envelope and header passes through here a character at a time.
bool is_delimiter(char c) {
  switch (c) {
    case ' ': case '\t': case '\r': case '\n': case '<': case '>': case '(': case ')':
    case '\'': case '"':
      return true;
    default:
      return false;
  }
}

// ";charset=..." for a text part that is not pure ASCII.
String charset_parameter(std::string_view text, bool ascii) {
  if (ascii) return String();
  return String(";charset=") + charset_name(text);
}

// Writes one text part: its Content-Type, how it is carried, and the text
// and the line break after it. A text that is ASCII with short lines goes
// as it is (labelled only when `always_labelled`); an 8bit text goes as
// it is when the server takes 8-bit text; anything else goes
// quoted-printable, which every server carries.
void append_text_part(String* out, const char* type, const String& text, int encoding,
                      bool eight_bit_transport, bool always_labelled) {
  const std::string_view v = text.view();
  const bool short_lines = longest_line(v) <= kMaxLineLength;
  const bool ascii = is_ascii(v);
  const bool clean = short_lines && ascii;
  const char* label = nullptr;
  enum { kAsIs, kQuoted, kBase64Form } form = kAsIs;
  if (encoding == MimeMessage::kBase64) {
    form = kBase64Form;
    label = "base64";
  } else if (clean) {
    if (always_labelled) label = encoding == MimeMessage::k8Bit ? "8bit" : "7bit";
  } else if (encoding == MimeMessage::k8Bit && eight_bit_transport && short_lines) {
    label = "8bit";
  } else {
    form = kQuoted;
    label = "quoted-printable";
  }
  out->append_format("Content-Type: %s%s\r\n", type, charset_parameter(v, ascii).c_str());
  if (label) out->append_format("Content-Transfer-Encoding: %s\r\n", label);
  out->append("\r\n");
  if (form == kAsIs) {
    out->append(text);
  } else if (form == kQuoted) {
    out->append(quoted_printable(v));
  } else {
    String encoded = text;
    base64_encode(&encoded);
    out->append(encoded);
  }
  out->append("\r\n");
}

// 128 bits from the system's random source, in letters and digits.
String system_unique_part() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
  unsigned char bytes[16] = {};
  random_bytes(bytes, sizeof bytes);
  String part;
  uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char b : bytes) {
    buffer = buffer << 8 | b;
    bits += 8;
    while (bits >= 5) {
      part.append(kAlphabet[(buffer >> (bits - 5)) & 31]);
      bits -= 5;
    }
  }
  if (bits > 0) part.append(kAlphabet[(buffer << (5 - bits)) & 31]);
  return part;
}

UniquePartSource g_unique_part = system_unique_part;

// A domain that may stand in a Message-ID as it is: letters, digits,
// hyphens and dots.
bool plain_domain(std::string_view domain) {
  if (domain.empty() || domain.size() > 253 || domain.front() == '.' || domain.back() == '.') {
    return false;
  }
  for (char c : domain) {
    if (!is_letter(c) && !is_digit(c) && c != '-' && c != '.') return false;
  }
  return true;
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

// Whether every CR of the text is followed by LF and every LF follows a
// CR: then each line break is CR LF already. Nearly every message is such
// a text, and this test reads it eight bytes at a time, not line by line.
bool only_crlf_breaks(const char* s, size_t n) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kLow = 0x7F7F7F7F7F7F7F7Full;
  // The high bit of each byte that equals c (exact: no carry between bytes).
  auto bytes_equal = [](uint64_t word, unsigned char c) {
    uint64_t x = word ^ (kOnes * c);
    return ~(((x & kLow) + kLow) | x) & ~kLow;
  };
  uint64_t carry = 0;  // the high bit of byte 0 when the byte before the word is CR
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, s + i, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    const uint64_t cr = bytes_equal(word, '\r');
    // In memory order, the byte after byte k is byte k + 1, eight bits up.
    if (((cr << 8) | carry) != bytes_equal(word, '\n')) return false;
    carry = cr >> 56;
  }
  bool after_cr = carry != 0;
  for (; i < n; ++i) {
    if ((s[i] == '\n') != after_cr) return false;
    after_cr = s[i] == '\r';
  }
  return !after_cr;
}

// Every line break (CR LF, lone LF, lone CR, LF CR) becomes CR LF.
void normalise_line_breaks(String* text) {
  const char* s = text->c_str();
  const int n = text->length();
  if (only_crlf_breaks(s, n)) return;
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

Vector<String> envelope_recipients(const String& recipient, const String& cc) {
  Vector<String> recipients;
  recipients.append(recipient);
  split_trimmed(cc, ';', false, &recipients);
  return recipients;
}

void MimeMessage::set_cc(const String& text) {
  cc = text;
  split_trimmed(text, ';', false, &recipients);
}

void MimeMessage::set_attachments(const String& text) {
  split_trimmed(text, 0, true, &attachments);
}

void MimeMessage::set_unsubscribe(const String& text) {
  unsubscribe.clear();
  const std::string_view v = text.view();
  size_t i = 0;
  while (i < v.size()) {
    while (i < v.size() && is_white(v[i])) ++i;
    size_t end = i;
    while (end < v.size() && !is_white(v[end])) ++end;
    String url(v.substr(i, end - i));
    i = end;
    url.strip_trailing(',');
    url.strip_enclosing('<', '>');
    if (!url.empty()) unsubscribe.append(std::move(url));
  }
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
  error_code = code;
  error.format("SMTP Error %d\n", code);
  va_list args;
  va_start(args, format);
  error.append_vformat(format, args);
  va_end(args);
}

bool MimeMessage::compose(String* output, bool eight_bit_transport) {
  const bool T = !is_blank(text_body.view());
  const bool H = !is_blank(html_body.view());
  const bool A = !attachments.empty();
  const bool E = !embedded_files.empty();

  // Header values are single lines: a line break inside one (a subject
  // typed over two lines, an address read from a database) would end the
  // header block early or add header lines of its own.
  String out;
  if (!from.empty()) out.append(address_header("From", from.view()));
  if (recipients.count() == 1) out.append(address_header("To", recipients[0].view()));
  if (!subject.empty()) out.append(unstructured_header("Subject", subject.view()));
  if (!reply_to.empty()) out.append(address_header("Reply-To", reply_to.view()));
  ClockReading now = read_clock();
  out.append_format("Date: %s %s\r\n", format_date_time(now.local, "dd M yy HH:ii:ss").c_str(),
                    time_zone_text(now.utc_offset_minutes).c_str());
  out.append_format("Message-ID: %s\r\n", make_message_id(from.view()).c_str());
  if (!cc.empty()) out.append(address_header("CC", cc.view()));
  append_unsubscribe(&out);
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
    if (encoding != k7Bit && encoding != k8Bit && encoding != kBase64) {
      fail(4615, "Illegal encoding: %d", encoding);
      return false;
    }
    append_text_part(&out, "text/plain", text_body, encoding, eight_bit_transport, true);
  }
  if (H) {
    if (T) out.append_format("\r\n--%s\r\n", alternative.c_str());
    if (E) {
      related = make_boundary();
      out.append_format("Content-Type: multipart/related;boundary=\"%s\"\r\n\r\n--%s\r\n",
                        related.c_str(), related.c_str());
    }
    // The HTML part has no encoding of its own to choose: base64 is the
    // text body's choice, and quoted-printable keeps HTML readable.
    append_text_part(&out, "text/html", html_body, encoding == kBase64 ? k7Bit : encoding,
                     eight_bit_transport, false);
    if (E) {
      for (const String& path : embedded_files) {
        String name = file_part(path);
        // The HTML names the file by this Content-ID ("cid:NAME"), so it
        // keeps the name's bytes; only line breaks could break it.
        out.append_format("\r\n--%s\r\nContent-Disposition: inline\r\nContent-ID: %s\r\n",
                          related.c_str(), single_line(name.view()).c_str());
        out.append_format("Content-Type: %s%s\r\nContent-Transfer-Encoding: base64\r\n",
                          embedded_type(name), header_parameter("name", name.view()).c_str());
        if (!EncodedFileCache::shared().append_file_base64(path, &out)) {
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
          "Content-Type: application/octet-stream%s\r\n"
          "Content-Transfer-Encoding: base64\r\n",
          mixed.c_str(), header_parameter("name", name.view()).c_str());
      if (!EncodedFileCache::shared().append_file_base64(path, &out)) {
        fail(4620, "Failed to load attachment: %s", path.c_str());
        return false;
      }
    }
    out.append_format("\r\n--%s--", mixed.c_str());
  }
  normalise_line_breaks(&out);
  if (dkim) {
    String signature, why;
    if (!dkim->sign(out.view(), static_cast<int64_t>(std::time(nullptr)), &signature, &why)) {
      fail(4619, "The message could not be signed: %s", why.c_str());
      return false;
    }
    out.insert(0, signature);
  }
  *output = std::move(out);
  return true;
}

void MimeMessage::append_unsubscribe(String* out) const {
  if (unsubscribe.empty()) return;
  std::vector<String> urls;
  bool one_click = false;
  for (const String& url : unsubscribe) {
    urls.push_back(url_for_header(url.view()));
    one_click = one_click || url.starts_with_ignore_case("https:");
  }
  out->append(angle_list_header("List-Unsubscribe", urls));
  // A receiver may unsubscribe with one POST to the https: address, with
  // no page for the person to confirm on (RFC 8058).
  if (one_click) out->append("List-Unsubscribe-Post: List-Unsubscribe=One-Click\r\n");
}

// --- free functions -----------------------------------------------------------

String make_message_id(std::string_view from) {
  String domain = extract_address(from);
  int at = domain.find('@');
  domain = at < 0 ? String() : domain.substr(at + 1);
  if (!plain_domain(domain.view())) domain = "localhost";
  return "<" + g_unique_part() + "@" + domain + ">";
}

UniquePartSource set_unique_part_source(UniquePartSource source) {
  UniquePartSource previous = g_unique_part;
  g_unique_part = source ? source : system_unique_part;
  return previous;
}

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
