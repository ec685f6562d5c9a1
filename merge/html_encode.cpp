#include "merge/html_encode.h"

#include <cstdint>

namespace tessaline {

namespace {

// Entity names for 160-255, in order.
const char* const kLatin1Entities[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",
    "uml",    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",
    "deg",    "plusmn", "sup2",   "sup3",   "acute",  "micro",  "para",   "middot",
    "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12", "frac34", "iquest",
    "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",
    "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",
    "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",
    "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide",
    "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",
};

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at s (of n bytes), or 0 when the
// bytes there are not one. Overlong forms, surrogates and code points above
// U+10FFFF are not valid.
int utf8_length(const uint8_t* s, int n, uint32_t& code_point) {
  const uint8_t b = s[0];
  if (b >= 0xC2 && b <= 0xDF) {
    if (n < 2 || !is_continuation(s[1])) return 0;
    code_point = ((b & 0x1Fu) << 6) | (s[1] & 0x3Fu);
    return 2;
  }
  if (b >= 0xE0 && b <= 0xEF) {
    if (n < 3 || !is_continuation(s[1]) || !is_continuation(s[2])) return 0;
    if (b == 0xE0 && s[1] < 0xA0) return 0;  // overlong
    if (b == 0xED && s[1] > 0x9F) return 0;  // surrogate
    code_point = ((b & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (n < 4 || !is_continuation(s[1]) || !is_continuation(s[2]) || !is_continuation(s[3])) {
      return 0;
    }
    if (b == 0xF0 && s[1] < 0x90) return 0;  // overlong
    if (b == 0xF4 && s[1] > 0x8F) return 0;  // beyond U+10FFFF
    code_point = ((b & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) |
                 (s[3] & 0x3Fu);
    return 4;
  }
  return 0;
}

// Appends the reference for one character 0-255 that needs one; false when
// the character stands as it is.
bool append_reference(String& out, uint32_t c) {
  switch (c) {
    case '<': out.append("&lt;"); return true;
    case '>': out.append("&gt;"); return true;
    case '&': out.append("&amp;"); return true;
    case '"': out.append("&quot;"); return true;
    case '\t': case '\r': case '\n': return false;
    default: break;
  }
  if (c >= 160 && c <= 255) {
    out.append('&');
    out.append(kLatin1Entities[c - 160]);
    out.append(';');
    return true;
  }
  if (c < 32 || (c >= 128 && c <= 159)) {
    out.append_format("&#%u;", c);
    return true;
  }
  return false;
}

}  // namespace

void append_html_encoded(String& out, const char* text, int n) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
  int plain_start = 0;  // runs that need nothing are copied in one piece
  int i = 0;
  while (i < n) {
    uint32_t c = s[i];
    int length = 1;
    if (c >= 0x80) {
      uint32_t code_point = 0;
      int sequence = utf8_length(s + i, n - i, code_point);
      if (sequence > 0) {
        c = code_point;
        length = sequence;
      }
    }
    if (c <= 255 && (c == '<' || c == '>' || c == '&' || c == '"' || c < 32 || c >= 128)) {
      if (plain_start < i) out.append(text + plain_start, i - plain_start);
      if (!append_reference(out, c)) out.append(text + i, length);
      plain_start = i + length;
    }
    i += length;
  }
  if (plain_start < n) out.append(text + plain_start, n - plain_start);
}

}  // namespace tessaline
