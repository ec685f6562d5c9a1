#include "app/window_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "core/fatal_error.h"
#include "merge/html_encode.h"
#include "recipients/project_values.h"
#include "app/database_lists.h"

namespace tessaline {

namespace {

bool choose_tag(Ui& ui, const char* caption, const char* prompt, const Vector<String>& items,
                String& inserted) {
  int chosen = ui.choose_one(prompt, caption, items, 0);
  if (chosen < 0 || chosen >= items.count()) return false;
  inserted = "[[" + items[chosen] + "]]";
  return true;
}

String blank_trimmed(const String& text) {
  String copy = text;
  copy.trim();
  return copy;
}

}  // namespace

bool is_body_editor(const char* key) {
  return key != nullptr &&
         (std::strcmp(key, kFieldBody) == 0 || std::strcmp(key, kFieldHtmlBody) == 0);
}

bool insert_basic_tag(Ui& ui, const char* focused, String& inserted) {
  if (!is_body_editor(focused)) {
    ui.beep();
    return false;
  }
  static const Vector<String> kTags{"-Recipient-", "-FullName-", "-FirstName-", "-LastName-",
                                    "-Email-",     "-Now-",      "-Index-"};
  return choose_tag(ui, "Insert Basic Tag",
                    "Choose the Basic tag you wish to insert.  The data for Basic tags is taken "
                    "from your computer or from the recipient's address.  Therefore, you do not "
                    "need to be using a database to use Basic tags.",
                    kTags, inserted);
}

bool insert_database_column(Ui& ui, const Project& project, DatabaseLists& lists,
                            const char* focused, String& inserted) {
  if (!is_body_editor(focused)) {
    ui.beep();
    return false;
  }
  if (!project.flag(kFieldUseDatabase)) {
    show_error(ui, "You can insert a database column if you're not using a database.");
    return false;
  }
  String source = blank_trimmed(project.text(kFieldDbName));
  String table = blank_trimmed(project.text(kFieldTableName));
  if (source.empty() || table.empty()) {
    show_error(ui, "You must choose a database and table first.");
    return false;
  }
  if (!lists.load_columns(project.text(kFieldDbName), project.text(kFieldTableName)) ||
      lists.columns().empty()) {
    return false;
  }
  return choose_tag(ui, "Insert Database Column",
                    "Choose the database column you wish to insert into the message body.",
                    lists.columns(), inserted);
}

String canonicalize_html(const String& pasted) {
  String out;
  const char* text = pasted.c_str();
  const int n = pasted.length();
  int start = 0;
  int i = 0;
  while (i < n) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    append_html_encoded(out, text + start, i - start);
    out.append("<br>\n");
    // A pair of different line-end characters is one line end.
    char other = c == '\r' ? '\n' : '\r';
    i += i + 1 < n && text[i + 1] == other ? 2 : 1;
    start = i;
  }
  append_html_encoded(out, text + start, n - start);
  return out;
}

bool edit_file(Ui& ui, const String& path, const std::function<bool(const String&)>& open) {
  if (path.empty() || std::strlen(path.c_str()) != static_cast<size_t>(path.length())) {
    show_error(ui, String::formatted("Unable to create file: %s", path.c_str()));
    return false;
  }
  if (access(path.c_str(), F_OK) != 0) {
    // O_EXCL: a file that appears meanwhile is left as it is.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) {
      show_error(ui, String::formatted("Unable to create file: %s", path.c_str()));
      return false;
    }
    if (fd >= 0) close(fd);
  }
  if (!open(path)) {
    show_error(ui, String::formatted("Unable to edit file: %s", path.c_str()));
    return false;
  }
  return true;
}

String about_text() {
  return String::formatted(
      "%s v%s\n\n"
      "Sends one personalised e-mail message to each of many recipients: from a database, a "
      "file or a typed list, less the addresses you exclude.\n\n"
      "The manual is in the Help menu.",
      application_name, program_version);
}

}  // namespace tessaline
