// Fuzzes the reader of the user's msmtp configuration.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/msmtprc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  MsmtpAccount account;
  if (read_msmtp_default_account(std::string_view(reinterpret_cast<const char*>(data), size),
                                 &account)) {
    if (account.host.empty() || account.port < 0 || account.port > 65535) __builtin_trap();
    for (char c : account.host) {
      if (static_cast<unsigned char>(c) <= 0x20) __builtin_trap();
    }
  }
  return 0;
}
