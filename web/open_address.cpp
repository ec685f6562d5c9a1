#include "web/open_address.h"

#include "platform/open_document.h"

namespace tessaline {

bool open_address(Ui& ui, const String& address, const String& caption) {
  if (open_document(address)) return true;
  ui.error_box("Unable to open\n" + address +
                   "\n\nNo program could be started for it: xdg-open, which hands web "
                   "addresses and e-mail links to the desktop's programs, is missing or "
                   "failed to run.",
               caption);
  return false;
}

}  // namespace tessaline
