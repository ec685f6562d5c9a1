// update_check.h - "Check for update": is there a newer version of the
// program on its web site?
//
// The site serves a product-information file, "/Products.INI" below the
// home-page address. For each product it holds a line with the product's
// name, a separator and the latest version, and a later line with the name,
// a separator and the path of the product's page relative to the site:
//
//     [Products]
//     Tessaline Mailer=6.5
//     ...
//     Tessaline Mailer=mailer/index.html
//
// The name is found without regard to letter case; its first mention gives
// the version, the next one the page. Section headers and other lines do not
// matter. A newer version than the running one is offered with a question
// whose second button opens the product's page.
//
// Not for: downloading or installing anything.
//
// Failures: every failure ends in one box captioned "Check For Update" and
// a false result: the file could not be fetched (also without libcurl, or
// without a home-page address), the program is not listed, or its version
// is not a positive number. A page that cannot be opened gives an error box
// too. The fetch's own reason is not shown.
#pragma once

#include "core/string.h"
#include "core/ui.h"

namespace tessaline {

// The running version as a number (program_version, 6.0).
double program_version_number();

// What the update check compares and how long it waits. The defaults are
// the program's own; tests give their own.
struct UpdateCheck {
  String product;           // the name looked up (the program's name)
  double running_version;   // program_version_number()
  int time_limit_ms = 15000;

  UpdateCheck();
};

// --- reading the product-information file (pure) ---
enum class ProductVersion { kFound, kNotListed, kInvalid };
// The version listed for `product` in `text`: from just after the first
// mention of the name (any letter case), the first digit, "+", "-" or "."
// starts the number, read from the rest of the text with its commas
// dropped. kInvalid when no such character follows or the number is not
// greater than 0. `version` is 0 unless the result is kFound.
ProductVersion find_product_version(const String& text, const String& product,
                                    double& version);
// The address the second button opens: `base_url`, "/" and the rest of the
// line after the second mention of the name and the one character after it
// (the separator); `base_url` alone when the name is not mentioned again.
String product_page_address(const String& text, const String& product,
                            const String& base_url);

// The whole check, with `base_url` the home-page address. True when it
// ended well: the most recent version is running, or a newer one was
// offered (and its page opened when asked).
bool check_for_update(Ui& ui, const String& base_url, const UpdateCheck& check = UpdateCheck());

}  // namespace tessaline
