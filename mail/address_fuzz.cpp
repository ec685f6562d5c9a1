// Fuzzes the address functions with texts from recipient lists and
// databases: the parser, the retry form, the recipient's domain and the
// command builder, which must never let a line break through.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/mime_message.h"
#include "mail/smtp_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  if (size > 1 << 16) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ParsedAddress parsed;
  if (parse_address(text, &parsed)) {
    // The address is a piece of the text holding its one "@".
    if (!is_valid_address(parsed.address.view())) __builtin_trap();
    if (text.find(parsed.address.view()) == std::string_view::npos) __builtin_trap();
  }
  String command = smtp_command("RCPT TO:", smtp_path(text).view());
  String raw = smtp_command("RCPT TO:", text);
  for (const String* c : {&command, &raw}) {
    int first_break = c->find_any("\r\n");
    if (first_break != c->length() - 2) __builtin_trap();
  }
  MimeMessage message;
  message.add_recipient(String(text));
  message.recipient_domain();
  message.set_cc(String(text));
  message.set_attachments(String(text));
  return 0;
}
