// mime_message.h - one outgoing e-mail and the builder of its MIME text,
// plus the small address functions the SMTP dialogue and the send
// operation share.
//
// A MimeMessage holds an e-mail exactly as the send operation personalised
// it; compose() turns it into the one text sent after DATA: an RFC 822
// header block and a body nesting up to three multiparts (mixed for
// attachments, alternative for text plus HTML, related for HTML plus
// embedded files). Header values are neither folded nor encoded: they go
// out as stored. Attachments and embedded files are always base64.
//
// Not for: parsing mail, encoding header words, or delivering (see
// mail/smtp_client.h).
//
// Failures: fail() keeps "SMTP Error <code>\n<text>" in `error` and the
// failing operation returns false; compose()'s codes are 4615 (illegal
// encoding), 4617 (an embedded file cannot be read), 4620 (an attachment
// cannot be read).
#pragma once

#include <functional>
#include <string_view>

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

// Called with the fraction of the current message sent (0.0 to 1.0);
// returns true when the user asks to stop.
using ProgressCallback = std::function<bool(double fraction)>;

class MimeMessage {
 public:
  // Transfer encodings of the text body.
  static constexpr int k7Bit = 1;
  static constexpr int k8Bit = 2;
  static constexpr int kBase64 = 3;

  // --- attachments: the message is also the list of attached paths ---
  void add(const String& path) { attachments.append(path); }
  void clear() { attachments.clear(); }
  int count() const { return attachments.count(); }
  // Iteration with a cursor: first() then next() yield each path in order
  // and false at the end.
  bool first(int* cursor, String* path) const;
  bool next(int* cursor, String* path) const;

  void add_recipient(const String& text) { recipients.append(text); }
  // Sets the CC header text and adds each ";"-separated, non-blank piece
  // (trimmed) to the envelope recipients.
  void set_cc(const String& text);
  // One path per line (CR LF, LF or CR), trimmed, blank lines skipped.
  void set_attachments(const String& text);
  void add_embedded_file(const String& path) { embedded_files.append(path); }
  void clear_embedded_files() { embedded_files.clear(); }

  bool has_alternative() const;
  // The text after the first recipient's first "@", cut at ">" and at the
  // first white space; empty when it holds no "@".
  String recipient_domain() const;

  // Sets `error` to "SMTP Error <code>\n" and the formatted text; texts
  // from outside must be passed as arguments, never as the format.
  void fail(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Builds the MIME text into *output (replaced); false after fail().
  // `seven_bit_only` is set when the server refused EHLO and took HELO:
  // the text body's high-bit bytes then become 0x7F whatever `encoding`
  // says (its label stays as it was).
  bool compose(String* output, bool seven_bit_only = false);

  Vector<String> attachments;
  ProgressCallback progress;
  String cc;
  bool direct_delivery = false;
  int encoding = k7Bit;
  String error;
  String from;
  String extra_headers;
  Vector<String> embedded_files;
  String html_body;
  int message_size = 0;
  Vector<String> recipients;
  String reply_to;
  String subject;
  String text_body;
};

// Twelve characters from 0-9, A-Z, a-z, each from the runtime generator
// (std::rand, so std::srand makes them repeatable).
String make_boundary();

// Replaces *text by its base64 form, with CR LF after every 72 output
// characters (none after a shorter last line).
void base64_encode(String* text);

// Empty, or only space, CR, LF and tab.
bool is_blank(std::string_view text);

// True when the text holds exactly one "@".
bool is_valid_address(std::string_view text);

// Splits "John Smith <john@example.com>", "(John) john@example.com",
// "john@example.com" and the like into the display text, the first and last
// names (only for a display text of more than one word) and the bare
// address. False, with every output empty, when the text holds no "@", starts
// with one, or holds a second one after the first.
struct ParsedAddress {
  String display;
  String first_name;
  String last_name;
  String address;
};
bool parse_address(std::string_view text, ParsedAddress* parsed);

// The bare address of the text, or empty when parse_address fails.
String extract_address(std::string_view text);

}  // namespace tessaline
