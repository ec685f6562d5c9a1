// Fuzzes the reading of a server's EHLO reply: whatever the server sends,
// the keywords and mechanisms kept stay within their bounds, and every
// mechanism kept is found again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/smtp_extensions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaline::SmtpExtensions;
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  SmtpExtensions e = SmtpExtensions::parse(reply);
  if (e.auth_mechanisms().count() > SmtpExtensions::kMaxKeywords) __builtin_trap();
  if (e.parameters("AUTH").length() > SmtpExtensions::kMaxParameters) __builtin_trap();
  for (const auto& mechanism : e.auth_mechanisms()) {
    if (!e.offers_auth(mechanism.view())) __builtin_trap();
  }
  e.offers("STARTTLS");
  return 0;
}
