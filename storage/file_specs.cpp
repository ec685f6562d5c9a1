#include "storage/file_specs.h"

#include "storage/find_file.h"
#include "storage/paths.h"

namespace tessaline {

void expand_file_specs(const String& specifications, Vector<String>& result,
                       const String& default_directory, String* messages,
                       Vector<String>* second_result, uint64_t* total_size) {
  String notes;
  if (!default_directory.empty() && !directory_exists(default_directory)) {
    notes.append_format("The default directory '%s' does not exist.\n", default_directory.c_str());
  }
  result.clear();
  if (second_result) second_result->clear();
  uint64_t total = 0;

  String text = specifications;
  for (int number = 1; !text.empty(); ++number) {
    String line = text.extract_line();
    line.trim(" \r\n\t");
    if (line.empty()) continue;
    if (!default_directory.empty()) {
      make_absolute(line, default_directory);
    } else if (!is_absolute(line)) {
      notes.append_format("The file specification '%s' on line %d is not an absolute path.\n",
                          line.c_str(), number);
      continue;
    }
    Vector<String> names;
    uint64_t size = list_files(line, names, true);
    if (names.empty()) {
      notes.append_format("The file specification '%s' on line %d did not match any files.\n",
                          line.c_str(), number);
      continue;
    }
    total += size;
    String directory = directory_part(line);
    for (const String& name : names) {
      String path = join_path(directory, name);
      if (second_result) second_result->append(path);
      result.append(std::move(path));
    }
  }

  if (messages) *messages = std::move(notes);
  if (total_size) *total_size = total;
}

}  // namespace tessaline
