// Opens arbitrary bytes as a glob file and loads every slot, walking every
// field, array and element; then rewrites slot 0 in place, as a settings
// file is saved, and loads it again. Every input must end in success or in
// one of the format's fatal errors, which are thrown here so the run goes on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

#include "core/fatal_error.h"
#include "core/string.h"
#include "storage/glob_file_walk.h"

namespace {

tessaline::String input_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessaline::set_fatal_throws(true);
  input_path = tessaline::String::formatted("/tmp/glob_file_fuzz.%d.zqj", static_cast<int>(getpid()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(input_path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  try {
    tessaline::walk_glob_file(input_path);
  } catch (const tessaline::FatalErrorException&) {
    // A clean end in one of the format's errors.
  }
  try {
    tessaline::GlobFile glob;
    if (glob.open(input_path, false) == tessaline::GlobFile::kOpened) {
      glob.begin_record(0);
      tessaline::Var value = tessaline::Var::of_text("rewritten");
      glob.transfer("field", value);
      glob.begin_array("rows");
      glob.transfer("cell", value);
      glob.end_array();
      glob.end_record();
      glob.close();
      tessaline::walk_glob_file(input_path);
    }
  } catch (const tessaline::FatalErrorException&) {
  }
  return 0;
}
