// Fuzzes the judging of recipient lists: the input is a list text whose
// first blank line separates exclusions from candidates. Besides crashes,
// it checks that an accepted candidate's address is in the table when
// duplicates are eliminated (so a second one is a duplicate), that a
// cleaned candidate has no tab, CR or LF left, and that the CC check and
// the clause values agree with their own rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/string.h"
#include "recipients/candidate.h"
#include "recipients/where_clause.h"

namespace {

using tessaline::String;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  int split = text.find("\n\n");
  String exclusions = split >= 0 ? text.substr(0, split) : String();
  String candidates = split >= 0 ? text.substr(split + 2) : text;

  AddressTable table;
  table.add_exclusions(exclusions);
  LineCursor lines(candidates);
  String line;
  while (lines.next(&line)) {
    String candidate = line;
    ParsedAddress parsed;
    Verdict verdict = judge_candidate(candidate, table, true, &parsed);
    check(candidate.find_any("\t\r\n") < 0);
    if (verdict == Verdict::kSkipped) check(candidate.empty());
    if (verdict == Verdict::kAccepted) {
      String key = parsed.address;
      key.to_lower();
      check(table.find(key) == AddressTable::Entry::kAccepted);
      String again = line;
      check(judge_candidate(again, table, true, &parsed) == Verdict::kDuplicate);
    }
    check(verdict_log_line(candidate, verdict).ends_with("\r\n"));

    String bad;
    if (!check_cc_list(line, &bad)) check(!bad.empty() && bad.find(';') < 0);

    String sql;
    for (int type : {12, -10, 4, 8, -7, 93, -11}) {
      for (bool hash : {false, true}) {
        if (!format_clause_value(type, line, hash, &sql)) continue;
        // A value never ends its own literal or adds a word to the SQL.
        if (sql.first() == '\'') {
          String inner = sql.substr(1, sql.length() - 2);
          inner.replace_all("''", "");
          check(sql.last() == '\'' && !inner.contains('\''));
        } else if (sql.first() == '#') {
          check(sql.last() == '#' && !sql.substr(1, sql.length() - 2).contains('#'));
        } else {
          check(sql.find_any(" \t\r\n'\";()#") < 0);
        }
      }
    }
  }
  return 0;
}
