// glob_file_walk.h - opens a glob file and reads everything in it.
//
// For the tests and the fuzz target: loads every slot and walks every
// field, array and element through the loading operations, fetching each
// value as a window would. Not used by the program.
#pragma once

#include "core/var.h"
#include "storage/glob_file.h"

namespace tessaline {

// Fetches every field of the cursor's record and descends into its arrays.
// Returns the number of values fetched.
inline int walk_glob_record(GlobFile& glob, int depth = 0) {
  int fetched = 0;
  const GlobRecord* record = glob.cursor_record();
  if (!record) return 0;
  // Names are copied first: descending moves the cursor.
  Vector<String> names;
  for (const auto& entry : *record) names.append(entry.key);
  for (const String& name : names) {
    Var value;
    if (glob.transfer(name, value)) ++fetched;
    const GlobBucket* bucket = glob.field(name);
    for (int i = 1; bucket && i < bucket->count; ++i) fetched += bucket->get(i, value);
    if (glob.begin_array(name)) {
      do {
        fetched += walk_glob_record(glob, depth + 1);
      } while (glob.next_element());
      glob.end_array();
    }
  }
  return fetched;
}

// Opens the file and walks every slot. -1 when open() fails.
inline int walk_glob_file(const String& path) {
  GlobFile glob;
  if (glob.open(path, false) != GlobFile::kOpened) return -1;
  int fetched = 0;
  for (int32_t slot = 0; slot < glob.slot_count(); ++slot) {
    if (glob.load_record(slot)) fetched += walk_glob_record(glob);
  }
  return fetched;
}

}  // namespace tessaline
