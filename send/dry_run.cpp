// dry_run.cpp - the folder of a dry run.
#include "send/dry_run.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include "platform/atomic_write.h"
#include "storage/file.h"
#include "storage/paths.h"

namespace tessaline {

namespace {

bool holds_files(const String& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool any = false;
  while (dirent* entry = readdir(dir)) {
    String name(entry->d_name);
    if (!(name == ".") && !(name == "..")) {
      any = true;
      break;
    }
  }
  closedir(dir);
  return any;
}

}  // namespace

bool DryRunFolder::open(const String& folder, String* error) {
  folder_ = folder;
  count_ = 0;
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    *error = "The folder for the dry run cannot be made:\n" + folder + "\n" + system_message(errno);
    return false;
  }
  if (!directory_exists(folder)) {
    *error = "The dry run needs a folder, and this is a file:\n" + folder;
    return false;
  }
  if (holds_files(folder)) {
    *error = "The folder for the dry run is not empty:\n" + folder +
             "\nChoose a new or empty folder, so that no earlier file is taken for one of this "
             "run's messages.";
    return false;
  }
  return true;
}

String envelope_text(const MimeMessage& message) {
  String text;
  if (!message.from.empty()) text += "MAIL FROM:<" + extract_address(message.from.view()) + ">\r\n";
  for (const String& recipient : message.recipients) {
    String bare = extract_address(recipient.view());
    text += "RCPT TO:<" + (bare.empty() ? recipient : bare) + ">\r\n";
  }
  return text;
}

bool DryRunFolder::write(MimeMessage& message, String* name) {
  message.message_size = 0;
  String text;
  if (!message.compose(&text, false)) return false;
  int length = text.length();
  // The end-of-data marker ends the last line: what arrives holds it.
  text += "\r\n";
  String base = String::formatted("%06d", count_ + 1);
  String error;
  if (!write_file_atomically(join_path(folder_, base + ".eml"), text, error) ||
      !write_file_atomically(join_path(folder_, base + ".envelope"), envelope_text(message),
                             error)) {
    message.error = "The dry run could not write its files:\n" + error;
    return false;
  }
  ++count_;
  message.message_size = length;
  *name = base + ".eml";
  return true;
}

}  // namespace tessaline
