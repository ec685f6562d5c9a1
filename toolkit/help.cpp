#include "toolkit/help.h"

#include "platform/open_document.h"
#include "storage/paths.h"

namespace tessaline {

String manual_path() {
  String bin = program_directory();
  if (bin.empty()) return String();
  return join_path(directory_part(bin), "share/doc/tessaline-mailer/manual.html");
}

bool show_help(const String& topic) {
  (void)topic;  // the manual opens at its start until it has topic anchors
  String manual = manual_path();
  return !manual.empty() && open_document(manual);
}

}  // namespace tessaline
