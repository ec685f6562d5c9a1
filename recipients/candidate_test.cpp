// Tests of candidate judging, the exclusion and duplicate table and the
// CC check.
#include "recipients/candidate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/recording_ui.h"

namespace tessaline {
namespace {

TEST(Candidate, CleaningTrimsTheEndsAndBlanksTheInnerBreaks) {
  String text(" \t\"Smith,\tJohn\"\r\n<js@example.com>\r\n ");
  clean_candidate(text);
  EXPECT_EQ(text.std_string(), "\"Smith, John\"  <js@example.com>");
}

TEST(Candidate, TheParseGivesTheAddressAndTheNames) {
  struct Case {
    const char* candidate;
    const char* address;
    const char* full;
    const char* first;
    const char* last;
  } cases[] = {
      {"John Q Smith <John.Smith@Example.com>", "John.Smith@Example.com", "John Q Smith",
       "John", "Smith"},
      {"\"Smith, John\" <js@example.com>", "js@example.com", "Smith, John", "Smith,", "John"},
      {"js@example.com (John Smith)", "js@example.com", "John Smith", "John", "Smith"},
      {"js@example.com", "js@example.com", "", "", ""},
      {"(John) js@example.com", "js@example.com", "John", "", ""},
  };
  for (const Case& c : cases) {
    AddressTable table;
    String candidate(c.candidate);
    ParsedAddress parsed;
    ASSERT_EQ(judge_candidate(candidate, table, false, &parsed), Verdict::kAccepted)
        << c.candidate;
    EXPECT_EQ(parsed.address.std_string(), c.address) << c.candidate;
    EXPECT_EQ(parsed.display.std_string(), c.full) << c.candidate;
    EXPECT_EQ(parsed.first_name.std_string(), c.first) << c.candidate;
    EXPECT_EQ(parsed.last_name.std_string(), c.last) << c.candidate;
  }
}

// One send's candidates in order, against one table: every verdict and
// its log line.
TEST(Candidate, VerdictsOfOneSendInOrder) {
  AddressTable table;
  table.add_exclusions("Excluded@Example.com\r\n\"Boss\" <boss@example.com>\nnot an address\n");
  struct Case {
    const char* candidate;
    Verdict verdict;
    const char* line;
  } cases[] = {
      {"   ", Verdict::kSkipped, nullptr},
      {"", Verdict::kSkipped, nullptr},
      {"ann@example.com", Verdict::kAccepted, "ann@example.com: accepted\r\n"},
      {"Ann <ANN@Example.COM>", Verdict::kDuplicate, "Ann <ANN@Example.COM>: DUPLICATE\r\n"},
      {"excluded@example.COM", Verdict::kExcluded, "excluded@example.COM: EXCLUDED\r\n"},
      {"BOSS@example.com", Verdict::kExcluded, "BOSS@example.com: EXCLUDED\r\n"},
      {"ann@example.com bob@example.com", Verdict::kIllegalAddress,
       "ann@example.com bob@example.com: ILLEGAL ADDRESS\r\n"},
      {"no address here", Verdict::kIllegalAddress, "no address here: ILLEGAL ADDRESS\r\n"},
      {"@example.com", Verdict::kIllegalAddress, "@example.com: ILLEGAL ADDRESS\r\n"},
      // The mark comes first, even before the illegal address.
      {"!ex@@example.com", Verdict::kExclamationPoint, "!ex@@example.com: EXCLAMATION POINT\r\n"},
      {" \t!cy@example.com", Verdict::kExclamationPoint,
       "!cy@example.com: EXCLAMATION POINT\r\n"},
  };
  for (const Case& c : cases) {
    String candidate(c.candidate);
    ParsedAddress parsed;
    Verdict verdict = judge_candidate(candidate, table, true, &parsed);
    EXPECT_EQ(verdict, c.verdict) << c.candidate;
    if (c.line) {
      EXPECT_EQ(verdict_log_line(candidate, verdict).std_string(), c.line);
    }
  }
}

TEST(Candidate, WithoutEliminatingDuplicatesTheSameAddressIsAcceptedAgain) {
  AddressTable table;
  table.add_exclusion("gone@example.com");
  for (const char* text : {"pat@example.com", "PAT@example.com", "Gone@Example.com"}) {
    String candidate(text);
    ParsedAddress parsed;
    Verdict expected = String(text).starts_with("Gone") ? Verdict::kExcluded : Verdict::kAccepted;
    EXPECT_EQ(judge_candidate(candidate, table, false, &parsed), expected) << text;
  }
}

TEST(Candidate, AnExclusionLineThatDoesNotParseMatchesNoCandidate) {
  AddressTable table;
  table.add_exclusions("just words\n\n");
  EXPECT_EQ(table.count(), 1);
  EXPECT_EQ(table.find(""), AddressTable::Entry::kExcluded);
  String candidate("words@example.com");
  ParsedAddress parsed;
  EXPECT_EQ(judge_candidate(candidate, table, true, &parsed), Verdict::kAccepted);
}

TEST(Candidate, ManyAddressesStayFindable) {
  AddressTable table;
  for (int i = 0; i < 5000; ++i) table.add_exclusion(String::formatted("x%d@example.com", i));
  for (int i = 0; i < 5000; ++i) table.add_accepted(String::formatted("y%d@example.com", i));
  EXPECT_EQ(table.count(), 10000);
  EXPECT_EQ(table.find("x4999@example.com"), AddressTable::Entry::kExcluded);
  EXPECT_EQ(table.find("y0@example.com"), AddressTable::Entry::kAccepted);
  EXPECT_EQ(table.find("z@example.com"), AddressTable::Entry::kAbsent);
}

TEST(Candidate, CcListCheck) {
  struct Case {
    const char* cc;
    bool ok;
    const char* bad;
  } cases[] = {
      {"", true, ""},
      {" ; ;\t", true, ""},
      {"a@example.com;", true, ""},
      {"A <a@example.com>; b@example.com", true, ""},
      {"a@example.com; Bob Smith", false, "Bob Smith"},
      {"a@example.com;b@@example.com;c", false, "b@@example.com"},
      {" nobody \r\n", false, "nobody"},
  };
  for (const Case& c : cases) {
    String bad;
    EXPECT_EQ(check_cc_list(c.cc, &bad), c.ok) << c.cc;
    EXPECT_EQ(bad.std_string(), c.bad) << c.cc;
  }
}

TEST(Candidate, AFailedCcCheckNamesTheEntryInAnErrorBox) {
  RecordingUi ui;
  EXPECT_TRUE(check_cc_list("a@example.com;", ui));
  EXPECT_EQ(ui.events.count(), 0);
  EXPECT_FALSE(check_cc_list("a@example.com; helpdesk", ui));
  ASSERT_EQ(ui.events.count(), 1);
  EXPECT_EQ(ui.events[0].kind, RecordingUi::EventKind::kError);
  EXPECT_EQ(ui.events[0].message.std_string(), "Invalid recipient in CC list:\nhelpdesk");
  EXPECT_EQ(ui.events[0].caption.std_string(), "Error");
}

TEST(Candidate, LinesEndAtEveryBreakForm) {
  struct Case {
    const char* text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"one", {"one"}},
      {"a\r\nb\n\rc\rd\ne", {"a", "b", "c", "d", "e"}},
      {"a\n\nb\r\n", {"a", "", "b"}},
      {"\n", {""}},
      {"a\r\r\nb", {"a", "", "b"}},
  };
  for (const Case& c : cases) {
    LineCursor cursor{String(c.text)};
    std::vector<std::string> lines;
    String line;
    while (cursor.next(&line)) lines.push_back(line.std_string());
    EXPECT_EQ(lines, c.lines) << c.text;
  }
}

}  // namespace
}  // namespace tessaline
