// remove_recipients.h - taking people off every recipient source of a
// project, with a report of what was found.
//
// People ask to be left out of a mailing. Given their addresses, the
// operation deletes every line that contains one of them from the recipient
// file, the typed recipient list, the exclusion file and the typed
// exclusion list, and marks every such row of the database table as
// ignored by putting "!" in front of its address (the gathering of a send
// rejects such rows). It works through the chosen sources in that fixed
// order: the database, the recipient file, the recipient list, the
// exclusion file, the exclusion list. A preview runs the same search and
// changes nothing at all.
//
// Matching is a plain, case-sensitive substring test: a line or row matches
// when it contains one of the addresses anywhere, so "ann@example.com" also
// takes "joann@example.com" and "ann@example.com.au". That is why every
// address must have at least 6 characters.
//
// The report, one section per chosen source, reads for example:
//
//     RECIPIENT FILE: /srv/lists/news.txt
//
//     Removed recipient on line 3: ann@example.com
//     Removed recipient on line 5: Ann <ann@example.com>
//
//
//     EXPLICIT EXCLUSIONS:
//
//     No changes.
//
// Line numbers count the lines as they were read. A recipient file that is
// a spreadsheet export (`recipient_file_format`) is read as the send reads
// it (recipient_sources.h): its header row stays, a row goes when its
// address column contains an address, the report shows that column's value
// and the line the row starts on, and a file the send could not read (no
// address column, a missing closing quote) is reported and left as it is.
// A file is rewritten
// atomically (platform/atomic_write.h): every line that stays keeps its
// bytes and its own line ending, a missing final line ending stays missing,
// and a byte-order mark stays at the start. The typed lists are replaced in
// the project; saving it is the caller's business.
//
// Not for: the dialog (toolkit/), the address checks of a send.
//
// Failures: an address text that cannot be used stops the run before
// anything is touched, with a message or a beep (RemoveResult::refusal). A
// file that cannot be read or written and a database that cannot be opened
// or read are reported inside the report, and the run goes on with the next
// source. A failed row update asks, in a "Database Error" box, whether to
// abort the whole operation: Yes ends it at once without a report (rows
// marked before stay marked), No goes on with the next row.
#pragma once

#include <array>

#include "core/containers.h"
#include "core/string.h"
#include "core/ui.h"
#include "recipients/project_values.h"

namespace tessaline {

class Database;

// The five sources, in the order a run works through them.
enum RemoveSource : int {
  kRemoveFromDatabase,
  kRemoveFromRecipientFile,
  kRemoveFromRecipientList,
  kRemoveFromExclusionFile,
  kRemoveFromExclusionList,
  kRemoveSourceCount,
};

// What the dialog shows of a source: its check box's object name, caption
// and tooltip.
struct RemoveSourceInfo {
  const char* key;
  const char* caption;
  const char* tooltip;
};
extern const RemoveSourceInfo kRemoveSourceInfo[kRemoveSourceCount];

// Whether a source's box can be checked, and whether it is checked when
// the dialog opens, from the project's fields:
//   database        enabled when `db_name` is not empty; checked when also
//                   `use_database` is set
//   recipient file  enabled when `recipient_file` is not empty; checked when
//                   also `use_recipient_file` is set and `use_database` is not
//   recipient list  enabled when `recipient_text` is not empty; checked when
//                   also `use_recipient_text` is set and `use_database` is not
//   exclusion file  enabled when `ExclusionFile` is not empty; checked when
//                   also `UseExclusionFile` is set
//   exclusion list  enabled when `exclusion text` is not empty; checked when
//                   also `UseExclusionText` is set
struct RemoveSourceState {
  bool enabled = false;
  bool checked = false;
};
RemoveSourceState remove_source_state(const ProjectValues& project, RemoveSource source);

// The sources chosen for a run, indexed by RemoveSource.
using RemoveSources = std::array<bool, kRemoveSourceCount>;
// The boxes checked when the dialog opens.
RemoveSources initially_checked_sources(const ProjectValues& project);

// --- the parts of a run (pure) ---
// The address text split into lines (a line ends at LF, CR, or both), each
// trimmed of blanks, tabs and line ends, lines under 6 characters dropped.
Vector<String> addresses_to_remove(const String& text);
// Cuts every line of `text` that contains one of `addresses` and reports
// each one ("Found" in a preview, "Removed" in a run), or "No occurrences."
// / "No changes."; then an empty line. A line runs to the start of the
// next one and includes its line ending: LF, CR, CR LF or LF CR. True when
// a line was cut.
bool remove_matching_lines(String& text, const Vector<String>& addresses, bool preview,
                           String& report);

struct RemoveResult {
  enum class Outcome {
    kRefused,   // stopped before anything was touched (see refusal)
    kReported,  // the sources were worked through; `report` says how
    kAborted,   // a failed row update was answered with "abort"
  };
  enum class Refusal {
    kNone,
    kNoIdentityColumn,  // the database is chosen and `identity_col` is empty (message shown)
    kEmpty,             // nothing but blanks was given (a beep)
    kTooShort,          // the text has fewer than 6 characters (message shown)
    kNoLongAddress,     // no line has 6 characters or more (a beep)
  };
  Outcome outcome = Outcome::kRefused;
  Refusal refusal = Refusal::kNone;
  // Blanks and line ends trimmed from its end; shown in a window titled
  // "Remove Recipients".
  String report;
  // A file or the database could not be read or written, or a row update
  // failed.
  bool source_failed = false;
  // A typed list was replaced (only outside a preview).
  bool lists_changed = false;
};

// The whole operation, on the project's fields and files and on the
// program's database connection (`database`; null when the database layer
// is not available).
RemoveResult remove_recipients(ProjectValues& project, Ui& ui, Database* database,
                               const String& addresses, const RemoveSources& sources,
                               bool preview);

}  // namespace tessaline
