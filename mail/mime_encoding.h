// mime_encoding.h - the encodings that keep a message's text intact on its
// way through mail servers: quoted-printable bodies (RFC 2045), encoded
// words in headers (RFC 2047) and header folding (RFC 5322).
//
// A mail server may carry only 7-bit text, and no line of a message may
// be longer than 998 characters. The message builder (mail/mime_message.h)
// asks these functions whether a text needs help (is_ascii, longest_line)
// and, when it does, writes it in a form that stays 7-bit clean and within
// the line limit while a reader decodes it back to the same bytes. Text
// that needs no help comes out exactly as it went in.
//
// Text is UTF-8 (valid UTF-8 is labelled "utf-8", anything else
// "windows-1252": the code page legacy files on this side are written in);
// a character of several bytes is never split between two encoded words.
//
// Not for: decoding mail, addresses' own bytes (an address is never
// encoded), or choosing between the encodings (the builder does that).
//
// Failures: none; every input has an output.
#pragma once

#include <string_view>
#include <vector>

#include "core/string.h"

namespace tessaline {

// No line of a message may be longer than this (RFC 5322 section 2.1.1).
inline constexpr int kMaxLineLength = 998;
// Folded header lines stay within this length where they can: the limit
// RFC 2047 sets for lines holding encoded words, inside the 78 that
// RFC 5322 asks of every line.
inline constexpr int kFoldedLineLength = 76;

bool is_ascii(std::string_view text);
bool is_utf8(std::string_view text);
// The name of the character set of a text that is not pure ASCII: "utf-8"
// when it is valid UTF-8, else "windows-1252".
const char* charset_name(std::string_view text);
// The length of the longest line, line breaks (CR, LF) not counted.
int longest_line(std::string_view text);

// The quoted-printable form of a text (RFC 2045 section 6.7). Every line
// break of the text (CR LF, LF, CR, LF CR) is a hard line break, written
// CR LF; no encoded line is longer than 76 characters; a blank or tab at
// the end of a line is encoded, so nothing a server strips matters.
String quoted_printable(std::string_view text);

// The whole header line "Name: value\r\n" for an unstructured text such as
// the subject. Line breaks and NUL bytes in the value become blanks (a
// value cannot add header lines). An ASCII value comes out as it is; a
// value with bytes above 127 gets its words from the first to the last
// such word written as encoded words, and the line is folded at blanks to
// stay within 76 characters. A line that would still be longer than 998
// is written wholly in encoded words.
String unstructured_header(std::string_view name, std::string_view value);

// The whole header line for a text of addresses ("Name <address>", a bare
// address, or several of them separated by ";"). An ASCII text stays as it
// is. Otherwise a piece whose display name holds bytes above 127 becomes
// the name in encoded words followed by "<address>", the address keeping
// its bytes, other pieces stay as they are, and the pieces are separated
// by "," as an address list is. Folded like unstructured_header.
String address_header(std::string_view name, std::string_view value);

// The whole header line for a list of URLs, each in angle brackets, the
// list separated by ", " and folded between its items (List-Unsubscribe).
// The URLs must be ASCII without blanks (see url_for_header).
String angle_list_header(std::string_view name, const std::vector<String>& items);
// A URL as it may stand between angle brackets: bytes that cannot (blanks,
// controls, "<", ">", quotes, bytes above 127) in their %XX form.
String url_for_header(std::string_view url);

// A parameter of a Content-Type line (";name=..." with the separator): an
// ASCII value as ";NAME=\"value\"" with quotes and backslashes escaped;
// other values in the RFC 2231 form ";NAME*=utf-8''%XX...", on a line of
// their own.
String header_parameter(std::string_view name, std::string_view value);

// A value with line breaks and NUL bytes turned into blanks.
String single_line(std::string_view value);

}  // namespace tessaline
