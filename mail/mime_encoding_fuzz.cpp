// Fuzzes the encodings of texts that come from projects, files and
// databases: quoted-printable bodies must decode to the text (line breaks
// as CR LF) within 76-character lines of printable ASCII; header lines must
// stay single header fields (every line break is CR LF followed by a blank,
// except the last) and 7-bit outside the addresses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/mime_encoding.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text as a reader decodes it: soft breaks vanish, =XX is a byte.
std::string decode_quoted_printable(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
    } else if (text.substr(i + 1, 2) == "\r\n") {
      i += 2;
    } else {
      int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
      int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
      if (high < 0 || low < 0) __builtin_trap();
      out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return out;
}

std::string crlf(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      out += c;
      continue;
    }
    char pair = c == '\r' ? '\n' : '\r';
    if (i + 1 < text.size() && text[i + 1] == pair) ++i;
    out += "\r\n";
  }
  return out;
}

void check_quoted_printable(std::string_view text) {
  tessaline::String encoded = tessaline::quoted_printable(text);
  int column = 0;
  for (char c : encoded) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      column = 0;
      continue;
    }
    if (c != '\r' && (u < 0x20 || u >= 0x7F) && c != ' ' && c != '\t') __builtin_trap();
    if (c != '\r' && ++column > 76) __builtin_trap();
  }
  if (decode_quoted_printable(encoded.view()) != crlf(text)) __builtin_trap();
}

void check_header(const tessaline::String& line, bool addresses) {
  std::string_view v = line.view();
  if (!v.ends_with("\r\n")) __builtin_trap();
  for (size_t i = 0; i + 2 < v.size(); ++i) {
    if (v[i] == '\0') __builtin_trap();
    if (v[i] == '\n' && v[i - 1] != '\r') __builtin_trap();
    if (v[i] == '\r' && (v[i + 1] != '\n' || (v[i + 2] != ' ' && v[i + 2] != '\t'))) {
      __builtin_trap();
    }
    if (!addresses && static_cast<unsigned char>(v[i]) >= 0x80) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  check_quoted_printable(text);
  check_header(unstructured_header("Subject", text), false);
  check_header(address_header("From", text), true);
  header_parameter("name", text);
  return 0;
}
