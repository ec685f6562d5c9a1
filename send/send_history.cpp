// send_history.cpp - the folder of kept sends.
#include "send/send_history.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core/text_format.h"
#include "storage/file.h"
#include "storage/find_file.h"
#include "storage/paths.h"

namespace tessaline {

namespace {

constexpr int kStemNameBytes = 40;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The "YYYYMMDD-HHMMSS" and uniqueness number a kept file's name carries,
// as one key that sorts by time; empty for names of another shape.
std::string time_key(const String& name) {
  std::string s = name.std_string();
  size_t dot = s.rfind('.');
  if (dot == std::string::npos) return std::string();
  s.resize(dot);
  int number = 1;
  size_t dash = s.rfind('-');
  // A trailing "-N" after the time is the uniqueness number.
  if (dash != std::string::npos && s.size() - dash - 1 < 6 && s.size() - dash - 1 > 0 &&
      std::all_of(s.begin() + dash + 1, s.end(), is_digit)) {
    number = std::atoi(s.c_str() + dash + 1);
    s.resize(dash);
  }
  if (s.size() < 15) return std::string();
  std::string stamp = s.substr(s.size() - 15);
  for (int i = 0; i < 15; ++i) {
    if (i == 8 ? stamp[i] != '-' : !is_digit(stamp[i])) return std::string();
  }
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%06d", number);
  return stamp + suffix;
}

bool read_head(const String& path, String* head) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  head->set_length(kJournalHeadBytes);
  ssize_t n = ::read(fd, head->data(), kJournalHeadBytes);
  ::close(fd);
  if (n < 0) return false;
  head->set_length(static_cast<int>(n));
  return true;
}

}  // namespace

String project_identity(const String& project_file) {
  String path = project_file;
  make_absolute(path, current_directory());
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) return String(resolved);
  return path;
}

bool SendHistory::make(String* error) const {
  if (mkdir(folder_.c_str(), 0700) == 0 || errno == EEXIST) {
    if (directory_exists(folder_)) return true;
    errno = ENOTDIR;
  }
  if (error) *error = system_message(errno);
  return false;
}

String SendHistory::stem(const String& project, const DateTime& start) {
  String name = file_part(project);
  int dot = extension_position(name);
  if (dot >= 0) name.set_length(dot);
  String safe;
  for (char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '.' ||
                 c == '_' || c == '-';
    safe.append(plain ? c : '_');
    if (safe.length() >= kStemNameBytes) break;
  }
  if (safe.empty()) safe = "project";
  return safe + "-" + format_date_time(start, "yymmdd-HHiiss");
}

bool SendHistory::create_unique(const String& stem, const char* extension, String* path,
                                String* error) const {
  for (int n = 1; n < 1000; ++n) {
    String name = n == 1 ? stem : String::formatted("%s-%d", stem.c_str(), n);
    String candidate = join_path(folder_, name + "." + extension);
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      *path = candidate;
      return true;
    }
    if (errno != EEXIST) break;
  }
  if (error) *error = system_message(errno == EEXIST ? EEXIST : errno);
  return false;
}

bool SendHistory::last_send(const String& project, String* path, JournalState* state) const {
  Vector<String> names;
  list_files(join_path(folder_, String("*.") + kJournalExtension), names, true);
  String best;
  int64_t best_start = 0;
  std::string best_key;
  for (const String& name : names) {
    String candidate = join_path(folder_, name);
    String head;
    JournalIdentity identity;
    if (!read_head(candidate, &head) || !read_journal_identity(head.view(), &identity) ||
        !(identity.project == project)) {
      continue;
    }
    std::string key = time_key(name);
    if (best.empty() || identity.start_ms > best_start ||
        (identity.start_ms == best_start && key > best_key)) {
      best = candidate;
      best_start = identity.start_ms;
      best_key = key;
    }
  }
  if (best.empty()) return false;
  String bytes;
  if (!read_whole_file(best, bytes)) return false;
  *state = read_journal(bytes.view());
  if (!state->valid) return false;
  *path = best;
  return true;
}

void SendHistory::prune(int keep) const {
  if (keep < 1) keep = 1;
  // Kept logs: by the time in their names.
  {
    Vector<String> names;
    list_files(join_path(folder_, String("*.") + kKeptLogExtension), names, true);
    std::vector<std::pair<std::string, String>> logs;
    for (const String& name : names) {
      std::string key = time_key(name);
      if (!key.empty()) logs.emplace_back(key, name);
    }
    std::sort(logs.begin(), logs.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = static_cast<size_t>(keep); i < logs.size(); ++i) {
      delete_file(join_path(folder_, logs[i].second));
    }
  }
  // Journals: by their start; each project's newest one is kept.
  Vector<String> names;
  list_files(join_path(folder_, String("*.") + kJournalExtension), names, true);
  struct Kept {
    int64_t start;
    std::string key;
    String name;
    String project;
  };
  std::vector<Kept> journals;
  for (const String& name : names) {
    String head;
    JournalIdentity identity;
    if (!read_head(join_path(folder_, name), &head) ||
        !read_journal_identity(head.view(), &identity)) {
      continue;  // not a journal: not ours to remove
    }
    journals.push_back({identity.start_ms, time_key(name), name, identity.project});
  }
  std::sort(journals.begin(), journals.end(), [](const Kept& a, const Kept& b) {
    return a.start != b.start ? a.start > b.start : a.key > b.key;
  });
  std::map<std::string, bool> newest_seen;
  for (size_t i = 0; i < journals.size(); ++i) {
    bool newest_of_project = newest_seen.emplace(journals[i].project.std_string(), true).second;
    if (i >= static_cast<size_t>(keep) && !newest_of_project) {
      delete_file(join_path(folder_, journals[i].name));
    }
  }
}

}  // namespace tessaline
