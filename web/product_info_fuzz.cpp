// Fuzzes the reading of a product-information file, which comes from a web
// server.
#include <cstddef>
#include <cstdint>

#include "core/string.h"
#include "web/update_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  if (size > 1 << 20) return 0;
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  double version = 0.0;
  ProductVersion found = find_product_version(text, "Tessaline Mailer", version);
  if (found == ProductVersion::kFound && !(version > 0.0)) __builtin_trap();
  if (found != ProductVersion::kFound && version != 0.0) __builtin_trap();
  String address = product_page_address(text, "Tessaline Mailer", "https://site.example");
  // The page stays below the site and on one line.
  if (!address.starts_with("https://site.example")) __builtin_trap();
  if (address.contains('\n') || address.contains('\r')) __builtin_trap();
  return 0;
}
