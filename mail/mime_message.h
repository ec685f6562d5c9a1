// mime_message.h - one outgoing e-mail and the builder of its MIME text,
// plus the small address functions the SMTP dialogue and the send
// operation share.
//
// A MimeMessage holds an e-mail exactly as the send operation personalised
// it; compose() turns it into the one text sent after DATA: a header block
// and a body nesting up to three multiparts (mixed for attachments,
// alternative for text plus HTML, related for HTML plus embedded files).
//
// The text arrives as it was written: header texts with bytes above 127
// go out as encoded words (addresses keep their bytes), a body that the
// way to the reader cannot carry as it is goes out quoted-printable, no
// line is longer than 998 characters, and every message has a Message-ID
// of its own and a Date with a four-digit year. Texts that need none of
// this (ASCII, short lines) go out exactly as stored. Attachments and
// embedded files are always base64; their encoded forms are kept from one
// message to the next while the files stay unchanged (see
// mail/encoded_file_cache.h). With a DKIM signer the composed text is
// signed last, and its signature header comes first.
//
// Not for: parsing mail, the encodings themselves (mail/mime_encoding.h),
// signing (mail/dkim.h), or delivering (mail/smtp_client.h).
//
// Failures: fail() keeps "SMTP Error <code>\n<text>" in `error` and the
// failing operation returns false; compose()'s codes are 4615 (illegal
// encoding), 4617 (an embedded file cannot be read), 4619 (the message
// could not be signed), 4620 (an attachment cannot be read).
#pragma once

#include <functional>
#include <string_view>

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

class DkimSigner;

// Called with the fraction of the current message sent (0.0 to 1.0);
// returns true when the user asks to stop.
using ProgressCallback = std::function<bool(double fraction)>;

// Who a message goes to as SMTP's envelope says it: the sender and every
// recipient (the To address and the CC list's), and whether its body may
// go as 8-bit text. Enough to give MAIL FROM and RCPT TO for a message
// before it is composed.
struct Envelope {
  String from;
  Vector<String> recipients;
  int encoding = 0;  // MimeMessage::k7Bit or k8Bit
};

// The envelope recipients a message to `recipient` with the CC list `cc`
// has, in the order MimeMessage::add_recipient() then set_cc() give them.
Vector<String> envelope_recipients(const String& recipient, const String& cc);

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
  // The unsubscribe addresses (mailto: and https: URLs) of the
  // List-Unsubscribe header: the text split at blanks and line breaks, each
  // piece without a trailing "," and enclosing "<" ">".
  void set_unsubscribe(const String& text);
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
  // `eight_bit_transport` says that the server takes 8-bit text
  // (8BITMIME): only then does a body of encoding 8bit that is not pure
  // ASCII go out as 8bit; otherwise it, like a 7bit body that is not
  // pure ASCII, goes out quoted-printable.
  bool compose(String* output, bool eight_bit_transport = false);

  Vector<String> attachments;
  ProgressCallback progress;
  // Called right before the end-of-data marker goes out: from then on the
  // server may accept the message whatever happens to this program. False
  // keeps the marker back: the message fails (4622) and the connection
  // ends, so the server drops the text.
  std::function<bool()> before_end_of_data;
  // Asked right before the end-of-data marker goes out, on a connection
  // that is kept: true with the envelope of the message that will be sent
  // next on it, whose commands may then go out with the marker
  // (PIPELINING). Unset, or false: no message is known to follow.
  std::function<bool(Envelope* next)> next_envelope;
  String cc;
  bool direct_delivery = false;
  int encoding = k7Bit;
  String error;
  // The code of the last fail() (4505 ... 4640), and of the last reply the
  // server gave while the message was sent (0 when none came).
  int error_code = 0;
  int reply_code = 0;
  String from;
  String extra_headers;
  Vector<String> embedded_files;
  String html_body;
  int message_size = 0;
  Vector<String> recipients;
  String reply_to;
  String subject;
  String text_body;
  Vector<String> unsubscribe;
  // Signs every composed message when set; owned by the caller.
  const DkimSigner* dkim = nullptr;

 private:
  void append_unsubscribe(String* out) const;
};

// The Message-ID of a message from `from`: "<" unique part "@" the domain
// of the From address ">" ("localhost" when it has none that may stand
// there).
String make_message_id(std::string_view from);

// Where the unique part of each Message-ID comes from: by default 128 bits
// of the system's random source, written in 26 letters and digits. Tests
// install a repeatable source; null puts the system's back. Returns the
// source installed before.
using UniquePartSource = String (*)();
UniquePartSource set_unique_part_source(UniquePartSource source);

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
