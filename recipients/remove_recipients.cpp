#include "recipients/remove_recipients.h"

#include <string>
#include <string_view>

#include "core/var.h"
#include "platform/atomic_write.h"
#include "storage/paths.h"
#include "db/database.h"
#include "recipients/delimited_file.h"
#include "recipients/recipient_sources.h"

namespace tessaline {

namespace {

constexpr int kShortestAddress = 6;
constexpr char kDatabaseError[] = "Database Error";
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// The offset just past the line that starts at `start`, its ending included.
int line_end(const String& text, int start) {
  int end = text.find_any("\r\n", start);
  if (end < 0) return text.length();
  char first = text[end];
  ++end;
  if (end < text.length() && is_line_end(text[end]) && text[end] != first) ++end;
  return end;
}

bool matches(std::string_view entry, const Vector<String>& addresses) {
  for (const String& address : addresses) {
    if (entry.find(address.view()) != std::string_view::npos) return true;
  }
  return false;
}

void no_match_line(bool preview, String& report) {
  report += preview ? "No occurrences.\n" : "No changes.\n";
}

// Works through one chosen source after another, writing the report.
class Removal {
 public:
  Removal(ProjectValues& project, Ui& ui, Database* database, const Vector<String>& addresses,
          bool preview, RemoveResult& result)
      : project_(project),
        ui_(ui),
        database_(database),
        addresses_(addresses),
        preview_(preview),
        result_(result) {}

  // False when the person chose to abort.
  bool database_source();
  // `columns`: the file is a spreadsheet export (recipient_file_format).
  void file_source(const char* title, const char* file_key, bool columns);
  void list_source(const char* title, const char* list_key);

 private:
  // Cuts the rows of a recipient file with columns whose address column
  // matches into `kept`, reporting them; true when a row was cut.
  bool remove_matching_rows(const String& name, const String& text, String& kept);

  ProjectValues& project_;
  Ui& ui_;
  Database* database_;
  const Vector<String>& addresses_;
  bool preview_;
  RemoveResult& result_;
};

void Removal::file_source(const char* title, const char* file_key, bool columns) {
  String& report = result_.report;
  String name = project_.text(file_key);
  report += String(title) + ": " + name + "\n\n";
  String text;
  if (!read_whole_file(name, text)) {
    report += "ERROR: Failed to open file.\n\n";
    result_.source_failed = true;
  } else {
    bool cut = false;
    String kept;
    if (columns) {
      cut = remove_matching_rows(name, text, kept);
    } else {
      // A byte-order mark belongs to the file, not to its first line: it
      // stays at the start whatever is cut.
      if (text.starts_with(kByteOrderMark)) kept = text.cut(0, 3);
      cut = remove_matching_lines(text, addresses_, preview_, report);
      kept += text;
    }
    if (cut && !preview_) {
      String error;
      if (!write_file_atomically(name, kept, error)) {
        report += "ERROR: Failed to save file.\n\n";
        result_.source_failed = true;
      }
    }
  }
  report += "\n";
}

bool Removal::remove_matching_rows(const String& name, const String& text, String& kept) {
  String& report = result_.report;
  // The rows as the send reads them: only the address column is matched,
  // so a row that merely mentions the address elsewhere (a referrer, a
  // note) is somebody else's and stays.
  DelimitedFile file;
  file.open_text(text);
  String error;
  const char* field = nullptr;
  int column = read_recipient_file_header(file, project_, name, &error, &field);
  std::string rest;
  String found;
  int64_t copied = 0;  // the bytes before this offset are decided
  while (column >= 0) {
    DelimitedFile::Row row = file.next(&error);
    if (row == DelimitedFile::Row::kEnd) break;
    if (row == DelimitedFile::Row::kError) {
      error += "\n" + name;
      column = -1;
      break;
    }
    if (column >= file.field_count()) continue;
    String address = file.field(column);
    if (!matches(address.view(), addresses_)) continue;
    address.trim(" \t\r\n");
    found += preview_ ? "Found" : "Removed";
    found += String::formatted(" recipient on line %lld: ", static_cast<long long>(file.line()));
    found += address + "\n";
    rest.append(text.c_str() + copied, static_cast<size_t>(file.row_begin() - copied));
    copied = file.row_end();
  }
  if (column < 0) {
    // A file the send cannot read is not rewritten, and nothing of it is
    // reported as found: its rows are not known for sure.
    report += "ERROR: " + error + "\n\n";
    result_.source_failed = true;
    return false;
  }
  bool cut = !found.empty();
  report += found;
  if (!cut) no_match_line(preview_, report);
  report += "\n";
  rest.append(text.c_str() + copied, static_cast<size_t>(text.length() - copied));
  kept = String(std::string_view(rest));
  return cut;
}

void Removal::list_source(const char* title, const char* list_key) {
  String& report = result_.report;
  report += String(title) + ":\n\n";
  String text = project_.text(list_key);
  if (remove_matching_lines(text, addresses_, preview_, report) && !preview_) {
    project_.set_text(list_key, text);
    result_.lists_changed = true;
  }
  report += "\n";
}

bool Removal::database_source() {
  String& report = result_.report;
  report += "DATABASE: " + project_.text(kFieldDbName) + "\n\n";
  RecipientSources check(project_, ui_, database_);
  DBTable* table = check.check_database();
  if (!table) {
    report += "ERROR:  Failed to open database\n\n";
    result_.source_failed = true;
    return true;
  }
  Database& db = *database_;
  String address_column = project_.text(kFieldRecipientColumn);
  String identity_column = project_.text(kFieldIdentityColumn);
  // Every row: the clause table and the WHERE text choose whom a send
  // reaches, not who asked to be left out.
  db.set_filter(String());
  Vector<String> columns{address_column, identity_column};
  if (!db.bulk_load(table, DBClause(), &columns)) {
    db.report_error(ui_, kDatabaseError);
    report += "ERROR:  Failed to access database\n\n";
    result_.source_failed = true;
    return true;
  }

  struct FoundRow {
    String address;
    Var identity;
  };
  Vector<FoundRow> found;
  while (true) {
    if (!db.bulk_load_row()) {
      if (db.bulk_failed()) {
        db.report_error(ui_, kDatabaseError);
        result_.source_failed = true;
      }
      break;
    }
    Vector<Var> values;
    if (!db.bulk_get_all(values) || values.count() < 2) break;
    String address = values[0].as_text();
    // Marked before: already removed.
    if (address.first() == '!') continue;
    if (!matches(address.view(), addresses_)) continue;
    report += preview_ ? "Found [" : "Removed [";
    report += values[1].as_text() + "]: " + address + "\n";
    FoundRow& row = found.append();
    row.address = address;
    row.identity = values[1];
  }

  if (found.empty()) {
    no_match_line(preview_, report);
  } else if (!preview_) {
    Database::clear_indices(*table);
    Database::add_index(*table, identity_column);
    for (const FoundRow& row : found) {
      Var marked;
      marked.set_string("!" + row.address);
      // A key that is not a whole number would be read as some other
      // row's number: that row is left alone and the failure asked about.
      String key_text = row.identity.as_text();
      int key = row.identity.as_int();
      bool updated = false;
      if (key_text != String::formatted("%d", key)) {
        db.set_error_message(String::formatted(
            "The identity value '%s' is not a whole number, so the row with the address '%s' "
            "cannot be marked.",
            key_text.c_str(), row.address.c_str()));
      } else {
        updated = db.set(marked, table, address_column, DBClause{key});
      }
      if (updated) continue;
      result_.source_failed = true;
      ui_.end_busy();
      bool abort = ui_.ask_yes_no(db.last_error() + "\n\nDo you wish to abort the entire operation?",
                                  kDatabaseError);
      if (abort) return false;
      ui_.begin_busy();
    }
  }
  report += "\n";
  report += "\n";
  return true;
}

}  // namespace

const RemoveSourceInfo kRemoveSourceInfo[kRemoveSourceCount] = {
    {"remove_database", "Remove from database",
     "If checked, then recipients will be removed from the database.  This is done by placing "
     "an exclamation point at the beginning of the column, which signals that the recipient "
     "should be ignored."},
    {"remove_recipient_file", "Remove from recipient file",
     "If checked, then recipients will be removed from the recipient file."},
    {"remove_recipient_list", "Remove from recipient list",
     "If checked, then recipients will be removed from the recipient list."},
    {"remove_exclusion_file", "Remove from exclusions file",
     "If checked, then recipients will be removed from the exclusions file."},
    {"remove_exclusion_list", "Remove from exclusions list",
     "If checked, then recipients will be removed from the exclusions list."},
};

RemoveSourceState remove_source_state(const ProjectValues& project, RemoveSource source) {
  RemoveSourceState state;
  bool database = project.flag(kFieldUseDatabase);
  switch (source) {
    case kRemoveFromDatabase:
      state.enabled = !project.text(kFieldDbName).empty();
      state.checked = state.enabled && database;
      break;
    case kRemoveFromRecipientFile:
      state.enabled = !project.text(kFieldRecipientFile).empty();
      state.checked = state.enabled && project.flag(kFieldUseRecipientFile) && !database;
      break;
    case kRemoveFromRecipientList:
      state.enabled = !project.text(kFieldRecipientText).empty();
      state.checked = state.enabled && project.flag(kFieldUseRecipientText) && !database;
      break;
    case kRemoveFromExclusionFile:
      state.enabled = !project.text(kFieldExclusionFile).empty();
      state.checked = state.enabled && project.flag(kFieldUseExclusionFile);
      break;
    case kRemoveFromExclusionList:
      state.enabled = !project.text(kFieldExclusionText).empty();
      state.checked = state.enabled && project.flag(kFieldUseExclusionText);
      break;
    case kRemoveSourceCount:
      break;
  }
  return state;
}

RemoveSources initially_checked_sources(const ProjectValues& project) {
  RemoveSources sources{};
  for (int i = 0; i < kRemoveSourceCount; ++i) {
    sources[i] = remove_source_state(project, static_cast<RemoveSource>(i)).checked;
  }
  return sources;
}

Vector<String> addresses_to_remove(const String& text) {
  Vector<String> addresses;
  for (int start = 0; start < text.length();) {
    int end = line_end(text, start);
    String line = text.substr(start, end - start);
    line.trim(" \t\r\n");
    if (line.length() >= kShortestAddress) addresses.append(line);
    start = end;
  }
  return addresses;
}

bool remove_matching_lines(String& text, const Vector<String>& addresses, bool preview,
                           String& report) {
  // Built in a buffer that grows by doubling: a file may have many lines.
  std::string kept;
  kept.reserve(static_cast<size_t>(text.length()));
  bool removed = false;
  int number = 0;
  for (int start = 0; start < text.length();) {
    int end = line_end(text, start);
    ++number;
    std::string_view line(text.c_str() + start, static_cast<size_t>(end - start));
    if (matches(line, addresses)) {
      String shown(line);
      shown.trim_right(" \t\r\n");
      report += preview ? "Found" : "Removed";
      report += String::formatted(" recipient on line %d: ", number);
      report += shown + "\n";
      removed = true;
    } else {
      kept.append(line);
    }
    start = end;
  }
  if (!removed) no_match_line(preview, report);
  report += "\n";
  if (removed) text = String(std::string_view(kept));
  return removed;
}

RemoveResult remove_recipients(ProjectValues& project, Ui& ui, Database* database,
                               const String& address_text, const RemoveSources& sources,
                               bool preview) {
  RemoveResult result;
  if (sources[kRemoveFromDatabase] && project.text(kFieldIdentityColumn).empty()) {
    show_error(ui, "You must specify an Identity Column for the database table before you can "
                   "perform this operation on the database.");
    result.refusal = RemoveResult::Refusal::kNoIdentityColumn;
    return result;
  }
  String text = address_text;
  text.trim(" \t\r\n");
  if (text.empty()) {
    ui.beep();
    result.refusal = RemoveResult::Refusal::kEmpty;
    return result;
  }
  if (text.length() < kShortestAddress) {
    show_error(ui, "Because of the potential for catastrophic consequences, the email address "
                   "must be at least 6 characters long.");
    result.refusal = RemoveResult::Refusal::kTooShort;
    return result;
  }

  ui.begin_busy();
  Vector<String> addresses = addresses_to_remove(text);
  if (addresses.empty()) {
    ui.end_busy();
    ui.beep();
    result.refusal = RemoveResult::Refusal::kNoLongAddress;
    return result;
  }

  Removal removal(project, ui, database, addresses, preview, result);
  if (sources[kRemoveFromDatabase] && database) database->set_create_missing_rows(false);
  bool go_on = !sources[kRemoveFromDatabase] || removal.database_source();
  if (sources[kRemoveFromDatabase] && database) database->set_create_missing_rows(true);
  if (!go_on) {
    result.outcome = RemoveResult::Outcome::kAborted;
    result.report.clear();
    return result;
  }
  if (sources[kRemoveFromRecipientFile]) {
    int format = kAddressPerLine;
    project.number(kFieldRecipientFileFormat, &format);
    removal.file_source("RECIPIENT FILE", kFieldRecipientFile, format == kColumnsWithHeader);
  }
  if (sources[kRemoveFromRecipientList]) {
    removal.list_source("EXPLICIT RECIPIENTS", kFieldRecipientText);
  }
  if (sources[kRemoveFromExclusionFile]) {
    removal.file_source("EXCLUSION FILE", kFieldExclusionFile, false);
  }
  if (sources[kRemoveFromExclusionList]) {
    removal.list_source("EXPLICIT EXCLUSIONS", kFieldExclusionText);
  }

  if (result.report.empty()) {
    result.report =
        "You have not specified any recipients!\n\nYou must check \"Use database\", \"Use "
        "recipient file\", or \"Use recipient text\".";
  }
  result.report.trim_right(" \t\r\n");
  ui.end_busy();
  result.outcome = RemoveResult::Outcome::kReported;
  return result;
}

}  // namespace tessaline
