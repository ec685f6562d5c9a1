// Fuzzes the reading of a DNS answer about a domain's mail hosts: however
// the answer is made, at most kMaxMailHosts hosts come out, sorted by
// preference, each with a name.
#include <cstddef>
#include <cstdint>

#include "mail/mx_lookup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  Vector<MailHost> hosts;
  MxStatus status = parse_mx_response(data, static_cast<int>(size), &hosts);
  if (hosts.count() > kMaxMailHosts) __builtin_trap();
  if (status == MxStatus::kFound && hosts.empty()) __builtin_trap();
  for (int i = 0; i < hosts.count(); ++i) {
    if (hosts[i].name.empty()) __builtin_trap();
    if (i > 0 && hosts[i - 1].preference > hosts[i].preference) __builtin_trap();
  }
  return 0;
}
