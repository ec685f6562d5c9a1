// candidate.h - judging one recipient candidate: cleaning its text, the
// address parse, the exclusion and duplicate table, the verdict and its
// log text; and the check of a CC list.
//
// A candidate is one database value or one line of a recipient list. The
// gathering of a send (recipients/recipient_sources.h, send/) takes each
// candidate through judge_candidate(): a blank one is skipped without a
// trace, every other one is accepted or rejected with a reason that goes
// to the send log as "<candidate>: <verdict>".
//
// Not for: reading the sources (recipient_sources.h), writing the log
// (send/send_log.h), or MIME addresses (mail/mime_message.h parses them;
// this unit uses that parse).
//
// Failures: none of these ends anything; rejections are verdicts, and
// check_cc_list() names the first entry that fails.
#pragma once

#include <string_view>

#include "core/containers.h"
#include "core/string.h"
#include "core/ui.h"
#include "mail/mime_message.h"

namespace tessaline {

// Trims blanks, tabs, CRs and LFs at both ends, then turns every remaining
// tab, CR and LF into a blank.
void clean_candidate(String& text);

// The exclusions and the addresses already accepted during one send,
// keyed by the address with its ASCII letters in lower case.
class AddressTable {
 public:
  static constexpr int kBuckets = 500;

  AddressTable() : table_(kBuckets) {}

  // Enters every line of the text as an exclusion (any line break form).
  // A line that does not parse enters the empty address, which no
  // candidate can match.
  void add_exclusions(const String& lines);
  void add_exclusion(std::string_view line);
  // Enters an accepted address (already folded) unless it is there.
  void add_accepted(const String& folded);

  enum class Entry { kAbsent, kExcluded, kAccepted };
  Entry find(const String& folded) const;
  int count() const { return table_.count(); }
  void clear() { table_.init(kBuckets); }

 private:
  // true: an exclusion; false: accepted before.
  HashTable<bool, String> table_;
};

enum class Verdict {
  kSkipped,  // blank: not counted, not logged
  kAccepted,
  kExclamationPoint,
  kIllegalAddress,
  kExcluded,
  kDuplicate,
};

// "accepted", "EXCLAMATION POINT", "ILLEGAL ADDRESS", "EXCLUDED",
// "DUPLICATE"; "" for kSkipped.
const char* verdict_text(Verdict verdict);

// Cleans the candidate in place and judges it against the table. On
// kAccepted, *parsed holds the parse and, with eliminate_duplicates, the
// address has been entered as accepted. The "!" mark that removed database
// entries carry is tested first, whatever the source.
Verdict judge_candidate(String& candidate, AddressTable& table, bool eliminate_duplicates,
                        ParsedAddress* parsed);

// The line the send log gets for a judged candidate (not for kSkipped):
// the candidate, ": ", the verdict and CR LF.
String verdict_log_line(const String& candidate, Verdict verdict);

// The CC list check: the text is split at ";", each piece trimmed, empty
// pieces dropped; every piece left must hold exactly one "@". False with
// the first piece that does not in *bad_entry.
bool check_cc_list(std::string_view cc, String* bad_entry);
// The same, showing "Invalid recipient in CC list:\n<entry>" in an error
// box when it fails.
bool check_cc_list(std::string_view cc, Ui& ui);

// Walks the lines of a text without copying it: a line ends at LF, CR,
// CR LF or LF CR; a last line without a break counts, an empty text has
// no line.
class LineCursor {
 public:
  LineCursor() = default;
  explicit LineCursor(String text) : text_(std::move(text)) {}
  bool next(String* line);
  bool empty() const { return text_.empty(); }

 private:
  String text_;
  int at_ = 0;
};

}  // namespace tessaline
