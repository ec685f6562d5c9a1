// Fuzzes the reading of the command line: the input is split at NUL bytes
// into arguments, parsed, completed with a clipboard text (the last
// argument), and its project name resolved. Command-line mistakes end in
// FatalError, which throws here so the next input can run.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/fatal_error.h"
#include "core/string.h"
#include "app/command_line.h"

namespace {

tessaline::String clipboard_text;
tessaline::String clipboard() { return clipboard_text; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  if (size > 4096) return 0;
  set_fatal_throws(true);
  std::vector<String> words;
  words.emplace_back("tessaline-mailer");
  String current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(current);
      current.clear();
    } else {
      current.append(static_cast<char>(data[i]));
    }
  }
  words.push_back(current);
  clipboard_text = words.back();
  std::vector<const char*> argv;
  for (const String& w : words) argv.push_back(w.c_str());
  try {
    CommandLine line = parse_command_line(static_cast<int>(argv.size()), argv.data());
    complete_command_line(line, clipboard);
    if (!line.project.empty()) resolve_project_path(line.project, "/home/user");
  } catch (const FatalErrorException&) {
  }
  return 0;
}
