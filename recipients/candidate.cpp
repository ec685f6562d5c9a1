// candidate.cpp - cleaning, judging and the CC check.
#include "recipients/candidate.h"

namespace tessaline {

namespace {

constexpr char kWhite[] = " \t\r\n";

String folded(const String& address) {
  String key = address;
  key.to_lower();
  return key;
}

}  // namespace

void clean_candidate(String& text) {
  text.trim(kWhite);
  for (int i = 0; i < text.length(); ++i) {
    char c = text[i];
    if (c == '\t' || c == '\r' || c == '\n') text[i] = ' ';
  }
}

// --- AddressTable -------------------------------------------------------------

void AddressTable::add_exclusions(const String& lines) {
  LineCursor cursor(lines);
  String line;
  while (cursor.next(&line)) add_exclusion(line);
}

void AddressTable::add_exclusion(std::string_view line) {
  ParsedAddress parsed;
  parse_address(line, &parsed);  // a failed parse leaves the address empty
  table_.find_or_add(folded(parsed.address)) = true;
  // The table starts at 500 buckets and grows with its entries, so that a
  // list of 100,000 addresses does not walk chains of hundreds.
  table_.rehash();
}

void AddressTable::add_accepted(const String& key) {
  if (table_.find(key)) return;
  table_.add_bucket(key) = false;
  table_.rehash();
}

AddressTable::Entry AddressTable::find(const String& key) const {
  const bool* excluded = table_.find(key);
  if (!excluded) return Entry::kAbsent;
  return *excluded ? Entry::kExcluded : Entry::kAccepted;
}

// --- verdicts -------------------------------------------------------------------

const char* verdict_text(Verdict verdict) {
  switch (verdict) {
    case Verdict::kSkipped: return "";
    case Verdict::kAccepted: return "accepted";
    case Verdict::kExclamationPoint: return "EXCLAMATION POINT";
    case Verdict::kIllegalAddress: return "ILLEGAL ADDRESS";
    case Verdict::kExcluded: return "EXCLUDED";
    case Verdict::kDuplicate: return "DUPLICATE";
  }
  return "";
}

Verdict judge_candidate(String& candidate, AddressTable& table, bool eliminate_duplicates,
                        ParsedAddress* parsed) {
  clean_candidate(candidate);
  if (candidate.empty()) return Verdict::kSkipped;
  if (candidate.first() == '!') return Verdict::kExclamationPoint;
  ParsedAddress parse;
  if (!parse_address(candidate, &parse)) return Verdict::kIllegalAddress;
  String key = folded(parse.address);
  switch (table.find(key)) {
    case AddressTable::Entry::kExcluded: return Verdict::kExcluded;
    case AddressTable::Entry::kAccepted: return Verdict::kDuplicate;
    case AddressTable::Entry::kAbsent: break;
  }
  if (eliminate_duplicates) table.add_accepted(key);
  if (parsed) *parsed = std::move(parse);
  return Verdict::kAccepted;
}

String verdict_log_line(const String& candidate, Verdict verdict) {
  String line = candidate;
  line += ": ";
  line += verdict_text(verdict);
  line += "\r\n";
  return line;
}

// --- CC ------------------------------------------------------------------------

bool check_cc_list(std::string_view cc, String* bad_entry) {
  size_t start = 0;
  while (start <= cc.size()) {
    size_t end = cc.find(';', start);
    if (end == std::string_view::npos) end = cc.size();
    String piece(cc.substr(start, end - start));
    piece.trim(kWhite);
    if (!piece.empty()) {
      int at = piece.find('@');
      if (at < 0 || piece.find('@', at + 1) >= 0) {
        if (bad_entry) *bad_entry = piece;
        return false;
      }
    }
    start = end + 1;
  }
  return true;
}

bool check_cc_list(std::string_view cc, Ui& ui) {
  String bad;
  if (check_cc_list(cc, &bad)) return true;
  show_error(ui, "Invalid recipient in CC list:\n" + bad);
  return false;
}

// --- LineCursor ------------------------------------------------------------------

bool LineCursor::next(String* line) {
  int n = text_.length();
  if (at_ >= n) return false;
  const char* s = text_.c_str();
  int i = at_;
  while (i < n && s[i] != '\r' && s[i] != '\n') ++i;
  line->assign(s + at_, i - at_);
  if (i < n) {
    char c = s[i++];
    if (i < n && (s[i] == '\r' || s[i] == '\n') && s[i] != c) ++i;
  }
  at_ = i;
  return true;
}

}  // namespace tessaline
