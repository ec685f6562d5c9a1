// Fuzzes the reader of the send journal, which reads a file a kill may have
// cut anywhere or a person may have damaged. Besides crashes, it checks that
// the good part it reports reads back alone as the same journal, undamaged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "send/send_journal.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  JournalState state = read_journal(bytes);
  check(state.valid_length >= 0 && static_cast<size_t>(state.valid_length) <= size);
  JournalIdentity identity;
  check(read_journal_identity(bytes, &identity) == state.valid || !state.valid);
  if (!state.valid) return 0;
  JournalState again = read_journal(bytes.substr(0, static_cast<size_t>(state.valid_length)));
  check(again.valid && !again.damaged);
  check(again.entries.count() == state.entries.count());
  check(again.runs.count() == state.runs.count());
  check(again.plan_complete == state.plan_complete);
  check(again.unfinished() == state.unfinished());
  for (int i = 0; i < state.entries.count(); ++i) {
    check(again.entries[i].outcome == state.entries[i].outcome);
    check(again.entries[i].in_flight == state.entries[i].in_flight);
  }
  return 0;
}
