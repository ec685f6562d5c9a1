#include "app/help.h"

#include <cstring>

#include "platform/open_document.h"
#include "platform/program_path.h"
#include "storage/paths.h"
#include "app/project_fields.h"

// Where the manual lies, seen from the folder of the program: the install
// rules compute the first from the install folders; the second is the build
// tree's layout (every program sits one folder below the build's top).
#ifndef TESSALINE_MANUAL_FROM_BIN
#define TESSALINE_MANUAL_FROM_BIN "../share/doc/tessaline-mailer/manual.html"
#endif
#ifndef TESSALINE_MANUAL_IN_BUILD
#define TESSALINE_MANUAL_IN_BUILD "../docs/manual.html"
#endif

namespace tessaline {

namespace {

const char* const kWindowTopics[] = {
    kHelpSmtpServer,     kHelpSendButton,  kHelpSendPreview,      kHelpDiscardMessage,
    kHelpPreviewSend,    kHelpTestMessage, kHelpRemoveRecipients,
};

void add_topic(Vector<String>& topics, const char* topic) {
  if (topic == nullptr || *topic == 0) return;
  for (const String& known : topics) {
    if (known == topic) return;
  }
  topics.append(String(topic));
}

bool is_word_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_file(const String& path) {
  uint32_t attributes = file_attributes(path);
  return attributes != kNoFileAttributes && (attributes & kAttributeDirectory) == 0;
}

}  // namespace

Vector<String> help_topics() {
  Vector<String> topics;
  for (int i = 0; i < project_folder_count(); ++i) add_topic(topics, project_folder(i).help_key);
  for (int i = 0; i < project_field_count(); ++i) add_topic(topics, project_field(i).help_key);
  for (const char* topic : kWindowTopics) add_topic(topics, topic);
  return topics;
}

String help_anchor(const char* topic) {
  String anchor;
  if (topic == nullptr || std::strcmp(topic, kProgramHelp) == 0) return anchor;
  bool gap = false;
  for (const char* p = topic; *p; ++p) {
    if (!is_word_byte(*p)) {
      gap = true;
      continue;
    }
    if (gap && !anchor.empty()) anchor += '-';
    gap = false;
    anchor += to_lower(*p);
  }
  return anchor;
}

String find_manual(const String& program) {
  String folder = directory_part(program);
  if (!is_absolute(folder)) return String();
  for (const char* relative : {TESSALINE_MANUAL_FROM_BIN, TESSALINE_MANUAL_IN_BUILD}) {
    String candidate = join_path(folder, relative);
    if (is_file(candidate)) return candidate;
  }
  return String();
}

String file_url(const String& path, const String& anchor) {
  static const char kHex[] = "0123456789ABCDEF";
  String url = "file://";
  for (char c : path) {
    if (is_word_byte(c) || std::strchr("/-._~", c) != nullptr) {
      url += c;
    } else {
      unsigned char byte = static_cast<unsigned char>(c);
      url += '%';
      url += kHex[byte >> 4];
      url += kHex[byte & 15];
    }
  }
  if (!anchor.empty()) url += "#" + anchor;
  return url;
}

String help_url(const char* topic) {
  String manual = find_manual(program_path());
  return manual.empty() ? manual : file_url(manual, help_anchor(topic));
}

bool open_help(Ui& ui, const char* topic, DocumentOpener opener) {
  String url = help_url(topic);
  if (url.empty()) {
    show_error(ui,
               "The manual was not found.  It is installed with the program as "
               "share/doc/tessaline-mailer/manual.html.");
    return false;
  }
  if (!(opener ? opener : open_document)(url)) {
    show_error(ui, "Unable to open the manual:\n" + url);
    return false;
  }
  return true;
}

}  // namespace tessaline
