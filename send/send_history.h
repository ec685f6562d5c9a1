// send_history.h - the folder of kept sends beside the send log: the
// journal of each send (send/send_journal.h) and a copy of the send log of
// each run, named after the project and the moment the run began.
//
//   STATE/Trenk.LOG                               the last operation's log, as ever
//   STATE/sends/news-20250301-142233.journal      a send of news.zqj begun then
//   STATE/sends/news-20250301-142233.LOG          the log of its first run
//   STATE/sends/news-20250301-150102.LOG          the log of a run that resumed it
//
// "Trenk.LOG" is replaced by every operation; the copies are not, up to a
// bound: prune() keeps the newest copies and journals and removes the
// oldest, but the newest journal of each project stays whatever its age,
// so the project's last send can always be resumed.
//
// A project is known by its file's absolute path with links resolved
// (project_identity()), so the same file reached two ways is one project.
//
// Not for: the formats of the files (send_log.h, send_journal.h).
//
// Failures: a folder that cannot be made returns false with the system's
// text; files that cannot be read are passed over (a journal that is not a
// journal belongs to no project); a file that cannot be removed stays.
#pragma once

#include "core/containers.h"
#include "core/date.h"
#include "core/string.h"
#include "send/send_journal.h"

namespace tessaline {

inline constexpr char kSendHistoryFolder[] = "sends";
inline constexpr char kJournalExtension[] = "journal";
inline constexpr char kKeptLogExtension[] = "LOG";

// The absolute path of a project file, links resolved when it exists.
String project_identity(const String& project_file);

class SendHistory {
 public:
  // `folder` is the folder of kept sends (the log folder's "sends").
  explicit SendHistory(const String& folder) : folder_(folder) {}
  const String& folder() const { return folder_; }

  // Creates the folder when it is missing.
  bool make(String* error) const;

  // "<project file name without extension>-YYYYMMDD-HHMMSS" for a run of
  // the project that begins at `start` (local time). Characters other than
  // letters, digits, "." "_" and "-" become "_"; the name part is cut to 40
  // bytes.
  static String stem(const String& project, const DateTime& start);

  // Creates a new, empty file "<stem>.<extension>", or "<stem>-2.<extension>"
  // and so on when that exists, and gives its path.
  bool create_unique(const String& stem, const char* extension, String* path,
                     String* error) const;

  // The journal of the project's last send: of the journals whose identity
  // names `project` (project_identity()), the one begun last. False when
  // there is none.
  bool last_send(const String& project, String* path, JournalState* state) const;

  // Keeps the newest `keep` kept logs and the newest `keep` journals (by
  // the time their names carry) and removes the others, except each
  // project's newest journal.
  void prune(int keep) const;

 private:
  String folder_;
};

}  // namespace tessaline
