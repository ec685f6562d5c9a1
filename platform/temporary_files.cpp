#include "platform/temporary_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <string>

namespace tessaline {

namespace {

constexpr std::string_view kPrefix = ".tessaline-";
constexpr int kRandomLength = 6;

bool host_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '-' || c == '_';
}

String in_folder(const String& folder, const String& name) {
  String base = folder.empty() ? String(".") : folder;
  if (base.last() != '/') base += '/';
  return base + name;
}

// Whether a process of that number runs here; one that exists but is not
// ours to signal runs too.
bool process_runs(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

}  // namespace

String temporary_host_name() {
  char buffer[256] = "";
  if (gethostname(buffer, sizeof buffer - 1) != 0) buffer[0] = 0;
  buffer[sizeof buffer - 1] = 0;
  String host;
  for (const char* c = buffer; *c; ++c) host += host_character(*c) ? *c : '_';
  return host.empty() ? String("localhost") : host;
}

String temporary_name_pattern() {
  return String::formatted("%.*s%ld-%s-XXXXXX", static_cast<int>(kPrefix.size()), kPrefix.data(),
                           static_cast<long>(getpid()), temporary_host_name().c_str());
}

bool parse_temporary_name(std::string_view name, long* pid, String* host) {
  if (name.substr(0, kPrefix.size()) != kPrefix) return false;
  name.remove_prefix(kPrefix.size());
  if (!name.empty() && name[0] == '0') return false;  // never written so
  size_t digits = 0;
  long number = 0;
  while (digits < name.size() && digits < 10 && name[digits] >= '0' && name[digits] <= '9') {
    number = number * 10 + (name[digits] - '0');
    ++digits;
  }
  if (digits == 0 || number <= 0 || digits >= name.size() || name[digits] != '-') return false;
  name.remove_prefix(digits + 1);
  // HOST-XXXXXX: the host is everything up to the dash before the last six.
  if (name.size() < kRandomLength + 2 || name[name.size() - kRandomLength - 1] != '-') return false;
  std::string_view machine = name.substr(0, name.size() - kRandomLength - 1);
  std::string_view random = name.substr(name.size() - kRandomLength);
  for (char c : machine) {
    if (!host_character(c)) return false;
  }
  for (char c : random) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) return false;
  }
  *pid = number;
  *host = String(machine);
  return true;
}

int remove_stale_temporary_files(const String& folder) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return 0;
  const String here = temporary_host_name();
  const long me = static_cast<long>(getpid());
  int removed = 0;
  while (dirent* entry = readdir(dir)) {
    long pid = 0;
    String host;
    if (!parse_temporary_name(entry->d_name, &pid, &host)) continue;
    if (!(host == here) || pid == me || process_runs(pid)) continue;
    String path = in_folder(folder, entry->d_name);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (unlink(path.c_str()) == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

int create_temporary_file(const String& folder, String* path) {
  {
    // Once per folder: a run that saves often need not read the folder
    // every time.
    static std::mutex mutex;
    static std::set<std::string> cleared;
    std::lock_guard<std::mutex> lock(mutex);
    if (cleared.insert(folder.std_string()).second) remove_stale_temporary_files(folder);
  }
  String name = in_folder(folder, temporary_name_pattern());
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) *path = name;
  return fd;
}

}  // namespace tessaline
