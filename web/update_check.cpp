#include "web/update_check.h"

#include "core/fatal_error.h"
#include "core/text_format.h"
#include "core/var.h"
#include "web/open_address.h"
#include "web/web_fetch.h"

namespace tessaline {

namespace {

constexpr const char* kCaption = "Check For Update";
// No cookies, nothing asked, a fresh copy, nothing kept.
constexpr int kUpdateFetchOptions =
    kFetchNoCookies | kFetchUnattended | kFetchReload | kFetchNoCacheWrite;

bool starts_number(char c) { return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'; }

String version_text(double version) { return format_double(version, 1); }

}  // namespace

double program_version_number() {
  Var version;
  version.set_string(program_version);
  return version.as_double();
}

UpdateCheck::UpdateCheck()
    : product(application_name), running_version(program_version_number()) {}

ProductVersion find_product_version(const String& text, const String& product,
                                    double& version) {
  version = 0.0;
  int at = product.empty() ? -1 : text.find(product, 0, false);
  if (at < 0) return ProductVersion::kNotListed;
  int start = at + product.length();
  while (start < text.length() && !starts_number(text[start])) ++start;
  if (start >= text.length()) return ProductVersion::kInvalid;
  String rest = text.substr(start);
  rest.remove_char(',');
  Var number;
  number.set_string(rest);
  double listed = number.as_double();
  // Also false for a number that is not a number at all.
  if (!(listed > 0.0)) return ProductVersion::kInvalid;
  version = listed;
  return ProductVersion::kFound;
}

String product_page_address(const String& text, const String& product,
                            const String& base_url) {
  int first = product.empty() ? -1 : text.find(product, 0, false);
  if (first < 0) return base_url;
  int second = text.find(product, first + product.length(), false);
  if (second < 0) return base_url;
  int start = second + product.length() + 1;  // past the separator
  if (start > text.length()) start = text.length();
  int end = text.find_any("\r\n", start);
  if (end < 0) end = text.length();
  return base_url + "/" + text.substr(start, end - start);
}

bool check_for_update(Ui& ui, const String& base_url, const UpdateCheck& check) {
  // "https://site/" and "https://site" name the same site.
  String base = base_url;
  base.trim_right("/");
  String url = base + "/Products.INI";

  ui.begin_busy();
  web_startup();
  String text;
  bool fetched = !base.empty() && web_fetch(url, text, kUpdateFetchOptions, check.time_limit_ms);
  ui.end_busy();

  if (!fetched || text.empty()) {
    String where = base.empty() ? String("the program's home-page address is not set") : url;
    ui.error_box("Unable to fetch product information file:\n" + where +
                     "\n\nThe most recent version cannot be determined.",
                 kCaption);
    return false;
  }

  double latest = 0.0;
  switch (find_product_version(text, check.product, latest)) {
    case ProductVersion::kNotListed:
      ui.error_box("Sorry, but no information could be found about this program.  Please "
                   "contact the manufacturer.",
                   kCaption);
      return false;
    case ProductVersion::kInvalid:
      ui.error_box("Sorry, but the product information is invalid.  Please contact the "
                   "manufacturer.",
                   kCaption);
      return false;
    case ProductVersion::kFound:
      break;
  }

  // The full values are compared: 6.05 is newer than 6.0, though both
  // print as "6.0".
  if (!(latest > check.running_version)) {
    ui.information_box("You have the most recent version of " + check.product + ", version " +
                           version_text(check.running_version) + ".",
                       kCaption);
    return true;
  }

  Vector<String> buttons{"OK, I'll worry about it later", "Open the product's home page"};
  String question = "There is a new version of " + check.product + ":  version " +
                    version_text(latest) + ".  Your current version is " +
                    version_text(check.running_version) + ".";
  if (ui.ask_buttons(question, kCaption, buttons) != 1) return true;
  return open_address(ui, product_page_address(text, check.product, base), kCaption);
}

}  // namespace tessaline
