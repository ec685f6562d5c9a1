// file_specs.h - lists of file specifications: one path or wildcard
// pattern (find_file.h) per line, as attachments and embedded files are
// given.
//
// Not for: searching below folders; a line names files of one folder.
//
// Failures: lines that name nothing, or that cannot be placed, add a line
// to the messages and are skipped; the lines that match still count. The
// caller decides whether to show the messages.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

// Expands a file-specification list into the paths of the files it names, in
// line order and, within a line, in the order of the search. Relative lines
// are placed below `default_directory`; without one (empty), a relative
// line is reported and skipped. Folders never match. `messages`,
// `second_result` and `total_size` may be null; `result` and
// `second_result` are emptied first and receive the same paths.
void expand_file_specs(const String& specifications, Vector<String>& result,
                       const String& default_directory, String* messages = nullptr,
                       Vector<String>* second_result = nullptr, uint64_t* total_size = nullptr);

}  // namespace tessaline
