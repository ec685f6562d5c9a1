#include "tests/small_disk.h"

#include <stdlib.h>
#include <unistd.h>

namespace tessaline {

namespace {

constexpr char kUnshare[] = "/usr/bin/unshare";

// An empty folder to mount on; outside the namespace it stays empty.
String fresh_mount_point() {
  char pattern[] = "/tmp/tessaline-disk-XXXXXX";
  return mkdtemp(pattern) ? String(pattern) : String();
}

ProgramResult run_in_namespace(const std::vector<String>& unshare_options, int size_kb,
                               const String& script,
                               const std::vector<std::pair<String, String>>& environment) {
  String disk = fresh_mount_point();
  if (disk.empty()) return ProgramResult();
  ProgramRun run;
  run.program = kUnshare;
  run.args = unshare_options;
  run.args.push_back("--propagation");
  run.args.push_back("private");
  run.args.push_back("/bin/sh");
  run.args.push_back("-c");
  // 125: the file system could not be made, which no script ends with.
  run.args.push_back("mount -t tmpfs -o size=\"$SIZE_KB\"k tessaline-test \"$DISK\" || exit 125\n"
                     "cd \"$DISK\" || exit 125\n" + script);
  run.environment = environment;
  run.environment.push_back({"DISK", disk});
  run.environment.push_back({"SIZE_KB", String::formatted("%d", size_kb)});
  ProgramResult result = run_program(run);
  rmdir(disk.c_str());
  return result;
}

// How this machine makes the namespace: as root, or inside a user
// namespace; empty when neither works.
const std::vector<String>* namespace_options(String* why) {
  static bool probed = false;
  static std::vector<String> options;
  static bool works = false;
  static String reason;
  if (!probed) {
    probed = true;
    if (access(kUnshare, X_OK) != 0) {
      reason = String(kUnshare) + " is missing";
    } else {
      for (const std::vector<String>& candidate :
           {std::vector<String>{"-m"}, std::vector<String>{"-r", "-m"}}) {
        ProgramResult probe = run_in_namespace(candidate, 64, "exit 0", {});
        if (probe.status == 0) {
          options = candidate;
          works = true;
          break;
        }
        reason = "unshare and mount refused: " + probe.err;
      }
    }
  }
  if (why) *why = reason;
  return works ? &options : nullptr;
}

}  // namespace

bool small_disk_available(String* why) { return namespace_options(why) != nullptr; }

ProgramResult run_on_small_disk(int size_kb, const String& script,
                                const std::vector<std::pair<String, String>>& environment) {
  const std::vector<String>* options = namespace_options(nullptr);
  if (!options) return ProgramResult();
  return run_in_namespace(*options, size_kb, script, environment);
}

}  // namespace tessaline
