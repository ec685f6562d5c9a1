#include "mail/mime_message.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/date.h"
#include "storage/test_directory.h"
#include "mail/encoded_file_cache.h"
#include "mail/test_support.h"

namespace tessaline {
namespace {

using testing::read_file;
using testing::write_file;

const std::string kMimeData = std::string(TESSALINE_SOURCE_DIR) + "/mail/testdata/mime/";

ClockReading pinned_clock() {
  ClockReading reading;
  reading.local.date = make_date(12, 5, 2026);
  reading.local.hour = 14;
  reading.local.minute = 3;
  reading.local.second = 9;
  reading.utc_offset_minutes = 60;
  return reading;
}

String pinned_unique_part() { return "unique"; }

// Composes with the clock pinned, the boundaries seeded and the unique
// part of the Message-ID fixed.
bool compose_pinned(MimeMessage& message, String* text, unsigned seed = 1,
                    bool eight_bit_transport = false) {
  Clock previous = set_clock(pinned_clock);
  UniquePartSource previous_unique = set_unique_part_source(pinned_unique_part);
  std::srand(seed);
  bool ok = message.compose(text, eight_bit_transport);
  set_unique_part_source(previous_unique);
  set_clock(previous);
  return ok;
}

// --- golden layouts -------------------------------------------------------------

std::string unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'r') out += '\r';
    else if (c == 'n') out += '\n';
    else if (c == 't') out += '\t';
    else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

// Fills a message from a NAME.in description (see testdata/mime/README).
void load_case(const std::string& path, MimeMessage* message, bool* eight_bit_transport) {
  std::istringstream lines(read_file(path));
  std::string line;
  while (std::getline(lines, line)) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos) colon = line.find(':');
    ASSERT_NE(colon, std::string::npos) << line;
    std::string field = line.substr(0, colon);
    size_t start = std::min(line.size(), colon + (line[colon + 1] == ' ' ? 2 : 1));
    String value(unescape(std::string_view(line).substr(start)));
    if (field == "from") message->from = value;
    else if (field == "recipient") message->add_recipient(value);
    else if (field == "cc") message->set_cc(value);
    else if (field == "subject") message->subject = value;
    else if (field == "reply_to") message->reply_to = value;
    else if (field == "extra_headers") message->extra_headers = value;
    else if (field == "encoding") message->encoding = std::atoi(value.c_str());
    else if (field == "text_body") message->text_body = value;
    else if (field == "html_body") message->html_body = value;
    else if (field == "unsubscribe") message->set_unsubscribe(value);
    else if (field == "transport") *eight_bit_transport = value == "8bit";
    else if (field == "attachment") message->add(String(kMimeData.c_str()) + value);
    else if (field == "embedded") message->add_embedded_file(String(kMimeData.c_str()) + value);
    else FAIL() << "unknown field " << field;
  }
}

std::vector<std::string> golden_cases() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kMimeData)) {
    if (entry.path().extension() == ".in") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class GoldenMime : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenMime, ComposesTheReferenceText) {
  MimeMessage message;
  bool eight_bit_transport = false;
  load_case(kMimeData + GetParam() + ".in", &message, &eight_bit_transport);
  String text;
  ASSERT_TRUE(compose_pinned(message, &text, 1, eight_bit_transport)) << message.error.c_str();
  std::string ref_path = kMimeData + GetParam() + ".ref";
  // The files paths inside the text depend on nothing: only file names go
  // out, so the references are the same on every machine.
  if (std::getenv("TESSALINE_UPDATE_GOLDEN")) write_file(ref_path, text.view());
  EXPECT_EQ(text.std_string(), read_file(ref_path));
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenMime, ::testing::ValuesIn(golden_cases()),
                         [](const auto& info) { return info.param; });

TEST(Compose, BoundariesAreDrawnAfreshForEachMessage) {
  MimeMessage message;
  message.text_body = "a";
  message.html_body = "<b>a</b>";
  String first, second;
  ASSERT_TRUE(compose_pinned(message, &first, 1));
  ASSERT_TRUE(message.compose(&second));
  EXPECT_NE(first, second);
}

// --- what another reader sees ---------------------------------------------------

std::string lf(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// The message as a mail reader sees it; fails the test when the reader
// cannot run.
testing::ReaderView read_as_reader(const String& text) {
  TestDirectory folder;
  testing::ReaderView view;
  std::string error;
  EXPECT_TRUE(folder.ok());
  EXPECT_TRUE(testing::read_as_mail_reader(text.view(), folder.path().std_string(), &view, &error))
      << error;
  return view;
}

// Many messages by one run of the reader (it takes a while to start).
std::vector<testing::ReaderView> read_as_reader(const std::vector<std::string>& texts) {
  TestDirectory folder;
  std::vector<testing::ReaderView> views;
  std::string error;
  EXPECT_TRUE(folder.ok());
  EXPECT_TRUE(testing::read_as_mail_reader(texts, folder.path().std_string(), &views, &error))
      << error;
  views.resize(texts.size());
  return views;
}

// What no server may refuse: lines within 998 characters, and bytes above
// 127 only in a part labelled 8bit. Header lines also within 78.
void expect_sendable(const String& text, bool eight_bit_allowed) {
  std::string_view all = text.view();
  size_t head_end = all.find("\r\n\r\n");
  size_t at = 0;
  int line_number = 0;
  while (at < all.size()) {
    size_t end = all.find("\r\n", at);
    if (end == std::string_view::npos) end = all.size();
    std::string_view line = all.substr(at, end - at);
    ++line_number;
    EXPECT_LE(line.size(), 998u) << "line " << line_number;
    if (at < head_end) {
      EXPECT_LE(line.size(), 78u) << line;
    }
    at = end + 2;
  }
  if (!eight_bit_allowed) {
    for (char c : all) {
      ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "a byte above 127 in a 7-bit message";
    }
  }
}

TEST(ComposeAsReadByPython, EveryPartDecodesToWhatWasPutIn) {
  MimeMessage message;
  message.from = "John Smith <john@example.test>";
  message.add_recipient("ann@example.test");
  message.subject = "Parts";
  message.encoding = MimeMessage::kBase64;
  message.text_body = "Caf\xc3\xa9 text\r\n.with a dot line\r\nend";
  message.html_body = "<p>Html \xc3\xa9</p>";
  message.add_embedded_file(String(kMimeData.c_str()) + "files/logo.gif");
  message.add_embedded_file(String(kMimeData.c_str()) + "files/picture.jpeg");
  message.add(String(kMimeData.c_str()) + "files/report.pdf");
  message.add(String(kMimeData.c_str()) + "files/data54.bin");
  String text;
  ASSERT_TRUE(compose_pinned(message, &text, 99)) << message.error.c_str();
  expect_sendable(text, false);

  testing::ReaderView mail = read_as_reader(text);
  EXPECT_THAT(mail.defects, ::testing::IsEmpty());
  EXPECT_EQ(mail.header("To"), "ann@example.test");
  EXPECT_EQ(mail.header("Subject"), "Parts");
  EXPECT_THAT(mail.multiparts, ::testing::ElementsAre("multipart/mixed", "multipart/alternative",
                                                      "multipart/related"));
  ASSERT_EQ(mail.parts.size(), 6u);
  EXPECT_EQ(mail.parts[0].type, "text/plain");
  EXPECT_EQ(mail.parts[0].charset, "utf-8");
  EXPECT_EQ(lf(mail.parts[0].content), lf(message.text_body.std_string()));
  EXPECT_EQ(mail.parts[1].type, "text/html");
  EXPECT_EQ(mail.parts[1].charset, "utf-8");
  // The line break after the body is the builder's own.
  EXPECT_EQ(lf(mail.parts[1].content), message.html_body.std_string() + "\n");
  struct File {
    const char* type;
    const char* disposition;
    const char* name;
  } files[] = {{"image/gif", "inline", "logo.gif"},
               {"application/octet-stream", "inline", "picture.jpeg"},
               {"application/octet-stream", "attachment", "report.pdf"},
               {"application/octet-stream", "attachment", "data54.bin"}};
  for (int i = 0; i < 4; ++i) {
    const testing::ReaderPart& part = mail.parts[i + 2];
    EXPECT_EQ(part.type, files[i].type) << files[i].name;
    EXPECT_EQ(part.disposition, files[i].disposition) << files[i].name;
    EXPECT_EQ(part.filename, files[i].name);
    EXPECT_EQ(part.content, read_file(kMimeData + "files/" + files[i].name)) << files[i].name;
  }
}

// Whatever the encoding and the server, the reader gets the text that was
// written; what goes over the wire differs only in how it is carried.
TEST(ComposeAsReadByPython, BodiesArriveAsWrittenInEveryEncoding) {
  const std::string long_line = std::string(1500, 'x');
  struct Body {
    const char* name;
    std::string bytes;
    std::string utf8;  // what the reader must get
  } bodies[] = {
      {"ascii", "Dear Ann,\r\n\r\nsee you.", "Dear Ann,\r\n\r\nsee you."},
      {"utf8", "Gr\xc3\xbc\xc3\x9f" "e Jos\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\x89\r\nline =2 end ",
       "Gr\xc3\xbc\xc3\x9f" "e Jos\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\x89\r\nline =2 end "},
      {"latin1", "Caf\xe9 cr\xe8me", "Caf\xc3\xa9 cr\xc3\xa8me"},
      {"long_line", "start\r\n" + long_line + "\r\nend", "start\r\n" + long_line + "\r\nend"},
  };
  struct Way {
    int encoding;
    bool eight_bit_transport;
  } ways[] = {{MimeMessage::k7Bit, false}, {MimeMessage::k7Bit, true}, {MimeMessage::k8Bit, false},
              {MimeMessage::k8Bit, true},  {MimeMessage::kBase64, false}};
  std::vector<std::string> texts;
  for (const Body& body : bodies) {
    for (const Way& way : ways) {
      MimeMessage message;
      message.add_recipient("ann@example.test");
      message.encoding = way.encoding;
      message.text_body = String(body.bytes);
      message.html_body = String("<p>" + body.bytes + "</p>");
      String text;
      ASSERT_TRUE(compose_pinned(message, &text, 1, way.eight_bit_transport));
      texts.push_back(text.std_string());
    }
  }
  std::vector<testing::ReaderView> read = read_as_reader(texts);
  size_t n = 0;
  for (const Body& body : bodies) {
    for (const Way& way : ways) {
      SCOPED_TRACE(std::string(body.name) + " encoding " + std::to_string(way.encoding) +
                   (way.eight_bit_transport ? " 8BITMIME" : ""));
      expect_sendable(String(texts[n]),
                      way.eight_bit_transport && way.encoding == MimeMessage::k8Bit);
      const testing::ReaderView& mail = read[n++];
      EXPECT_THAT(mail.defects, ::testing::IsEmpty());
      ASSERT_EQ(mail.parts.size(), 2u);
      // The line break the builder puts after a body is part of the text,
      // except in base64, whose text ends where its bytes end.
      EXPECT_EQ(lf(mail.parts[0].content),
                lf(body.utf8 + (way.encoding == MimeMessage::kBase64 ? "" : "\r\n")));
      EXPECT_EQ(lf(mail.parts[1].content), lf("<p>" + body.utf8 + "</p>\r\n"));
      const bool ascii = body.bytes.find_first_of("\x80\xc3\xe9\xe8\xe2\xf0") == std::string::npos;
      EXPECT_EQ(mail.parts[0].charset, ascii ? "" : body.name == std::string("latin1")
                                                        ? "windows-1252"
                                                        : "utf-8");
    }
  }
}

// The labels that say how each body travels, case by case.
TEST(ComposeAsReadByPython, TransferEncodingsChosenForEachBody) {
  struct Case {
    const char* name;
    int encoding;
    bool eight_bit_transport;
    const char* body;
    const char* text_label;
    const char* html_label;
  } cases[] = {
      // Pure ASCII keeps the label it always had; HTML has none.
      {"ascii 7bit", MimeMessage::k7Bit, false, "plain", "7bit", ""},
      {"ascii 8bit", MimeMessage::k8Bit, false, "plain", "8bit", ""},
      {"utf8 7bit", MimeMessage::k7Bit, true, "Caf\xc3\xa9", "quoted-printable",
       "quoted-printable"},
      {"utf8 8bit, server without 8BITMIME", MimeMessage::k8Bit, false, "Caf\xc3\xa9",
       "quoted-printable", "quoted-printable"},
      {"utf8 8bit, server with 8BITMIME", MimeMessage::k8Bit, true, "Caf\xc3\xa9", "8bit",
       "8bit"},
      {"utf8 base64", MimeMessage::kBase64, true, "Caf\xc3\xa9", "base64", "quoted-printable"},
  };
  std::vector<std::string> texts;
  for (const Case& c : cases) {
    MimeMessage message;
    message.add_recipient("ann@example.test");
    message.encoding = c.encoding;
    message.text_body = c.body;
    message.html_body = c.body;
    String text;
    ASSERT_TRUE(compose_pinned(message, &text, 1, c.eight_bit_transport));
    texts.push_back(text.std_string());
  }
  std::vector<testing::ReaderView> read = read_as_reader(texts);
  for (size_t i = 0; i < texts.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const testing::ReaderView& mail = read[i];
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_EQ(mail.parts[0].transfer_encoding, c.text_label);
    EXPECT_EQ(mail.parts[1].transfer_encoding, c.html_label);
  }
}

bool is_blank_of_high_bytes(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

TEST(ComposeAsReadByPython, HeadersDecodeToWhatWasWritten) {
  struct Case {
    const char* name;
    const char* from;
    const char* to;
    const char* subject;
    const char* reply_to;
    // What the reader must see.
    const char* from_name;
    const char* from_address;
    const char* to_name;
    const char* to_address;
    std::vector<std::string> defects = {};
  } cases[] = {
      {"ascii", "John Smith <john@example.test>", "ann@example.test", "Hello", "r@example.test",
       "John Smith", "john@example.test", "", "ann@example.test"},
      {"names and subject above 127", "Jos\xc3\xa9 M\xc3\xbcller <jose@example.test>",
       "\"Zo\xc3\xab, the Chief\" <zoe@example.test>",
       "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln \xe2\x80\x93 \xf0\x9f\x8e\x89", "R\xc3\xa9plique <r@example.test>",
       "Jos\xc3\xa9 M\xc3\xbcller", "jose@example.test", "Zo\xc3\xab, the Chief", "zoe@example.test"},
      {"a name in parentheses", "(Fran\xc3\xa7oise) fr@example.test", "ann@example.test", "x",
       "", "Fran\xc3\xa7oise", "fr@example.test", "", "ann@example.test"},
      {"a subject of many words, some above 127",
       "john@example.test", "ann@example.test",
       "Plain words first, then \xc3\xa9t\xc3\xa9 and caf\xc3\xa9 in the middle of a subject "
       "that is far longer than one line of seventy-eight characters, and plain words last", "",
       "", "john@example.test", "", "ann@example.test"},
      {"a name from a legacy file", "Ren\xe9 <rene@example.test>", "ann@example.test",
       "Caf\xe9", "", "Ren\xc3\xa9", "rene@example.test", "", "ann@example.test"},
      {"an address above 127 keeps its bytes", "Jos\xc3\xa9 <jos\xc3\xa9@example.test>",
       "ann@example.test", "x", "", "Jos\xc3\xa9", "jos\xc3\xa9@example.test", "",
       "ann@example.test",
       // What a reader says of an address above 127 sent as it is.
       {"From: NonASCIILocalPartDefect", "From: UndecodableBytesDefect"}},
  };
  std::vector<std::string> texts;
  for (const Case& c : cases) {
    MimeMessage message;
    message.from = c.from;
    message.add_recipient(c.to);
    message.subject = c.subject;
    message.reply_to = c.reply_to;
    message.text_body = "Body";
    String text;
    ASSERT_TRUE(compose_pinned(message, &text));
    texts.push_back(text.std_string());
  }
  std::vector<testing::ReaderView> read = read_as_reader(texts);
  for (size_t i = 0; i < texts.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    // Only an address may keep bytes above 127.
    expect_sendable(String(texts[i]), !is_blank_of_high_bytes(c.from_address));
    const testing::ReaderView& mail = read[i];
    EXPECT_EQ(mail.defects, c.defects);
    // The reader's own text for a legacy byte is its windows-1252 letter.
    std::string subject = c.subject;
    if (subject == "Caf\xe9") subject = "Caf\xc3\xa9";
    EXPECT_EQ(mail.header("Subject"), subject);
    std::vector<std::string> seen;
    for (const auto& a : mail.addresses) seen.push_back(a.header + "|" + a.display_name + "|" + a.address);
    std::vector<std::string> expected = {
        std::string("From|") + c.from_name + "|" + c.from_address,
        std::string("To|") + c.to_name + "|" + c.to_address};
    if (*c.reply_to) {
      ParsedAddress reply;
      ASSERT_TRUE(parse_address(c.reply_to, &reply));
      expected.push_back("Reply-To|" + reply.display.std_string() + "|" + reply.address.std_string());
    }
    EXPECT_THAT(seen, ::testing::UnorderedElementsAreArray(expected));
  }
}

TEST(ComposeAsReadByPython, CcListWithNamesAboveOneHundredTwentySeven) {
  MimeMessage message;
  message.from = "news@example.test";
  message.add_recipient("ann@example.test");
  message.set_cc("Bj\xc3\xb6rn <bjorn@example.test>; Ann Lee <lee@example.test>");
  message.text_body = "Body";
  String text;
  ASSERT_TRUE(compose_pinned(message, &text));
  expect_sendable(text, false);
  testing::ReaderView mail = read_as_reader(text);
  EXPECT_THAT(mail.defects, ::testing::IsEmpty());
  std::vector<std::string> seen;
  for (const auto& a : mail.addresses) seen.push_back(a.header + "|" + a.display_name + "|" + a.address);
  EXPECT_THAT(seen, ::testing::ElementsAre("From||news@example.test",
                                           "CC|Bj\xc3\xb6rn|bjorn@example.test",
                                           "CC|Ann Lee|lee@example.test"));
}

TEST(ComposeAsReadByPython, AttachedFileNamesAboveOneHundredTwentySeven) {
  TestDirectory folder;
  ASSERT_TRUE(folder.ok());
  ASSERT_TRUE(folder.put("Gr\xc3\xbc\xc3\x9f" "e \"2026\".txt", "hello"));
  MimeMessage message;
  message.add_recipient("ann@example.test");
  message.text_body = "Body";
  message.add(folder / "Gr\xc3\xbc\xc3\x9f" "e \"2026\".txt");
  String text;
  ASSERT_TRUE(compose_pinned(message, &text)) << message.error.c_str();
  expect_sendable(text, false);
  testing::ReaderView mail = read_as_reader(text);
  EXPECT_THAT(mail.defects, ::testing::IsEmpty());
  ASSERT_EQ(mail.parts.size(), 2u);
  EXPECT_EQ(mail.parts[1].filename, "Gr\xc3\xbc\xc3\x9f" "e \"2026\".txt");
  EXPECT_EQ(mail.parts[1].content, "hello");
}

TEST(ComposeAsReadByPython, DateHasAFourDigitYearAndEveryMessageItsOwnId) {
  MimeMessage message;
  message.from = "John <john@Example.test>";
  message.add_recipient("ann@example.test");
  message.text_body = "Body";
  Clock previous = set_clock(pinned_clock);
  std::vector<std::string> texts;
  for (int i = 0; i < 20; ++i) {
    String text;
    ASSERT_TRUE(message.compose(&text));
    texts.push_back(text.std_string());
  }
  set_clock(previous);
  std::set<std::string> ids;
  for (const testing::ReaderView& mail : read_as_reader(texts)) {
    ASSERT_EQ(mail.dates.size(), 1u);
    EXPECT_EQ(mail.dates[0].second, "2026-12-05T14:03:09+01:00");
    std::string id = mail.header("Message-ID");
    EXPECT_TRUE(id.ends_with("@Example.test>")) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 20u);
}

TEST(Compose, MessageIdDomainComesFromTheFromAddress) {
  struct Case {
    const char* from;
    const char* id;
  } cases[] = {
      {"John <john@mail.example.test>", "<unique@mail.example.test>"},
      {"john@example.test", "<unique@example.test>"},
      {"", "<unique@localhost>"},
      {"no address", "<unique@localhost>"},
      {"Odd <john@exa mple>", "<unique@exa>"},
      {"IDN <jose@m\xc3\xbcller.test>", "<unique@localhost>"},
  };
  UniquePartSource previous = set_unique_part_source(pinned_unique_part);
  for (const Case& c : cases) EXPECT_EQ(make_message_id(c.from), c.id) << c.from;
  set_unique_part_source(previous);
}

TEST(ComposeAsReadByPython, UnsubscribeHeadersForEachAddress) {
  struct Case {
    const char* field;
    const char* list_unsubscribe;  // as read; "" when there is none
    bool one_click;
  } cases[] = {
      {"", "", false},
      {"mailto:leave@example.test", "<mailto:leave@example.test>", false},
      {"https://example.test/leave?id=7", "<https://example.test/leave?id=7>", true},
      {"<mailto:leave@example.test>, <https://example.test/leave?id=7>",
       "<mailto:leave@example.test>, <https://example.test/leave?id=7>", true},
      // Bytes that cannot stand in the header go in their %XX form.
      {"https://example.test/abmelden?name=M\xc3\xbcller\"x\"",
       "<https://example.test/abmelden?name=M%C3%BCller%22x%22>", true},
  };
  std::vector<std::string> texts;
  for (const Case& c : cases) {
    MimeMessage message;
    message.from = "news@example.test";
    message.add_recipient("ann@example.test");
    message.set_unsubscribe(c.field);
    message.text_body = "Body";
    String text;
    ASSERT_TRUE(compose_pinned(message, &text));
    expect_sendable(text, false);
    texts.push_back(text.std_string());
  }
  std::vector<testing::ReaderView> read = read_as_reader(texts);
  for (size_t i = 0; i < texts.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.field);
    const testing::ReaderView& mail = read[i];
    EXPECT_THAT(mail.defects, ::testing::IsEmpty());
    EXPECT_EQ(mail.count("List-Unsubscribe"), *c.list_unsubscribe ? 1 : 0);
    EXPECT_EQ(mail.header("List-Unsubscribe"), c.list_unsubscribe);
    EXPECT_EQ(mail.header("List-Unsubscribe-Post"),
              c.one_click ? "List-Unsubscribe=One-Click" : "");
  }
}

// --- failures -------------------------------------------------------------------

TEST(Compose, Failures) {
  struct Case {
    const char* name;
    int encoding;
    const char* text_body;
    const char* html_body;
    const char* embedded;
    const char* attachment;
    const char* error;
  } cases[] = {
      {"illegal_encoding", 4, "text", "", nullptr, nullptr, "SMTP Error 4615\nIllegal encoding: 4"},
      {"unreadable_embedded_file", 1, "", "<p>x</p>", "/nonexistent/pic.gif", nullptr,
       "SMTP Error 4617\nFailed to load attachment: /nonexistent/pic.gif"},
      {"unreadable_attachment", 1, "text", "", nullptr, "/nonexistent/file.pdf",
       "SMTP Error 4620\nFailed to load attachment: /nonexistent/file.pdf"},
      {"empty_attachment_path", 1, "text", "", nullptr, "",
       "SMTP Error 4620\nFailed to load attachment: "},
  };
  for (const Case& c : cases) {
    MimeMessage message;
    message.add_recipient("ann@example.test");
    message.encoding = c.encoding;
    message.text_body = c.text_body;
    message.html_body = c.html_body;
    if (c.embedded) message.add_embedded_file(c.embedded);
    if (c.attachment) message.add(c.attachment);
    String text = "left alone";
    EXPECT_FALSE(compose_pinned(message, &text)) << c.name;
    EXPECT_EQ(message.error, c.error) << c.name;
    EXPECT_EQ(text, "left alone") << c.name;
  }
}

// Line breaks as a reader takes them: CR LF and LF CR are one break, a
// lone CR or LF another, each written CR LF.
std::string crlf_byte_by_byte(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      out += c;
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == (c == '\r' ? '\n' : '\r')) ++i;
    out += "\r\n";
  }
  return out;
}

TEST(Compose, LineBreaksOfABodyBecomeCrLfWhereverTheyStand) {
  // The builder checks the whole text eight bytes at a time before it
  // mends anything: breaks of every kind at every place in a word.
  std::mt19937 random(11);
  const char alphabet[] = "a\r\n";
  for (int round = 0; round < 3000; ++round) {
    std::string body = "a";
    for (size_t n = random() % 40; n > 0; --n) body += alphabet[random() % 5 % 3];
    MimeMessage message;
    message.text_body = String(body);
    String text;
    ASSERT_TRUE(compose_pinned(message, &text)) << message.error.c_str();
    const std::string_view all = text.view();
    const size_t start = all.find("7bit\r\n\r\n");
    ASSERT_NE(start, std::string_view::npos);
    EXPECT_EQ(all.substr(start + 8), crlf_byte_by_byte(body + "\r\n"))
        << ::testing::PrintToString(body);
  }
}

// A mailing attaches the same files to every message; the builder keeps
// their encoded forms (mail/encoded_file_cache.h) and must still send what
// the file holds when the message is made.
TEST(Compose, FilesOfEveryMessageAreReadAsTheyAreWhenItIsMade) {
  TestDirectory folder;
  ASSERT_TRUE(folder.ok());
  EncodedFileCache& cache = EncodedFileCache::shared();
  // Long after the files were written: each is kept once read.
  EncodedFileCache::Clock previous = cache.set_clock([] { return int64_t{1} << 62; });
  struct Case {
    bool embedded;
    const char* error;
  } cases[] = {{false, "SMTP Error 4620\nFailed to load attachment: "},
               {true, "SMTP Error 4617\nFailed to load attachment: "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.embedded ? "embedded" : "attached");
    const String path = folder / (c.embedded ? "pic.gif" : "report.pdf");
    ASSERT_TRUE(folder.put(c.embedded ? "pic.gif" : "report.pdf", "first bytes"));
    MimeMessage message;
    message.add_recipient("ann@example.test");
    message.text_body = "text";
    if (c.embedded) {
      message.html_body = "<img src=\"cid:pic.gif\">";
      message.add_embedded_file(path);
    } else {
      message.add(path);
    }
    String first, second, third, fourth = "left alone";
    ASSERT_TRUE(compose_pinned(message, &first)) << message.error.c_str();
    const int64_t reads = cache.reads();
    ASSERT_TRUE(compose_pinned(message, &second)) << message.error.c_str();
    EXPECT_EQ(second, first);
    EXPECT_EQ(cache.reads(), reads) << "the second message used the kept form";
    EXPECT_TRUE(first.contains("\r\nZmlyc3QgYnl0ZXM=\r\n")) << first.c_str();

    // Other bytes of the same size, written within the same tick of the
    // file times as far as the size and the times can tell.
    timespec written{};
    {
      struct stat info {};
      ASSERT_EQ(::stat(path.c_str(), &info), 0);
      written = info.st_mtim;
    }
    ASSERT_TRUE(folder.put(c.embedded ? "pic.gif" : "report.pdf", "other bytes"));
    timespec times[2] = {{0, UTIME_OMIT}, {written.tv_sec + 1, written.tv_nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_TRUE(compose_pinned(message, &third)) << message.error.c_str();
    EXPECT_TRUE(third.contains("\r\nb3RoZXIgYnl0ZXM=\r\n")) << third.c_str();
    EXPECT_FALSE(third.contains("Zmlyc3QgYnl0ZXM=")) << third.c_str();

    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_FALSE(compose_pinned(message, &fourth));
    EXPECT_EQ(message.error, String(c.error) + path);
    EXPECT_EQ(fourth, "left alone");
  }
  cache.set_clock(previous);
}

TEST(Compose, FileNamesCannotBreakTheirHeaders) {
  TestDirectory folder;
  ASSERT_TRUE(folder.ok());
  ASSERT_TRUE(folder.put("odd\"na\\me\n.bin", "x"));
  MimeMessage message;
  message.add(folder / "odd\"na\\me\n.bin");
  String text;
  ASSERT_TRUE(compose_pinned(message, &text)) << message.error.c_str();
  EXPECT_TRUE(text.contains(
      "Content-Type: application/octet-stream;name=\"odd\\\"na\\\\me .bin\"\r\n"))
      << text.c_str();
}

TEST(Compose, IllegalEncodingIsNotCheckedWithoutATextBody) {
  MimeMessage message;
  message.encoding = 9;
  message.html_body = "<p>x</p>";
  String text;
  EXPECT_TRUE(compose_pinned(message, &text)) << message.error.c_str();
}

// --- the small functions ----------------------------------------------------------

TEST(Base64, EncodesWithLineBreaksEvery72Characters) {
  // 54 bytes make exactly 72 characters, and then the line break.
  std::string full_line;
  for (int i = 0; i < 18; ++i) full_line += "YWFh";
  full_line += "\r\n";
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xff\xfe\x00", 3), "//4A"},
      {std::string(54, 'a'), full_line},
  };
  for (const Case& c : cases) {
    String text(c.in);
    base64_encode(&text);
    EXPECT_EQ(text.std_string(), c.out) << c.in;
  }
  String longer(std::string(55, 'a'));
  base64_encode(&longer);
  EXPECT_EQ(longer.length(), 72 + 2 + 4);
  EXPECT_TRUE(longer.ends_with("\r\nYQ=="));
}

TEST(Addresses, ParseAddress) {
  struct Case {
    const char* text;
    bool ok;
    const char* display;
    const char* first;
    const char* last;
    const char* address;
  } cases[] = {
      {"John Smith <john@example.test>", true, "John Smith", "John", "Smith", "john@example.test"},
      {"(John) john@example.test", true, "John", "", "", "john@example.test"},
      {"john@example.test", true, "", "", "", "john@example.test"},
      {"\"Smith, John Q\" <j.smith@example.test>", true, "Smith, John Q", "Smith,", "Q",
       "j.smith@example.test"},
      {"\"(Ann)\" ann@example.test", true, "Ann", "", "", "ann@example.test"},
      // Single quotes delimit the address but are not stripped from the name.
      {"'Ann Lee'<ann@x.test>", true, "'Ann Lee'", "'Ann", "Lee'", "ann@x.test"},
      {"  bob@example.test  ", true, "", "", "", "bob@example.test"},
      // Tabs, line breaks and quotes end an address as blanks do.
      {"Ann\t<ann@x.test>\r\n", true, "Ann", "", "", "ann@x.test"},
      {"\"Ann\"ann@x.test\"", true, "Ann\"", "", "", "ann@x.test"},
      {"(Ann)ann@x.test\nx", true, "(Ann)\nx", "", "", "ann@x.test"},
      {"x @example.test", true, "x", "", "", "@example.test"},
      {"two@at@example.test", false, "", "", "", ""},
      {"@example.test", false, "", "", "", ""},
      {"no address", false, "", "", "", ""},
      {"", false, "", "", "", ""},
  };
  for (const Case& c : cases) {
    ParsedAddress parsed;
    EXPECT_EQ(parse_address(c.text, &parsed), c.ok) << c.text;
    EXPECT_EQ(parsed.display, c.display) << c.text;
    EXPECT_EQ(parsed.first_name, c.first) << c.text;
    EXPECT_EQ(parsed.last_name, c.last) << c.text;
    EXPECT_EQ(parsed.address, c.address) << c.text;
    EXPECT_EQ(extract_address(c.text), c.address) << c.text;
  }
}

TEST(Addresses, ValidAddressHasExactlyOneAt) {
  EXPECT_TRUE(is_valid_address("a@b"));
  EXPECT_TRUE(is_valid_address("@"));
  EXPECT_FALSE(is_valid_address("a@b@c"));
  EXPECT_FALSE(is_valid_address("ab"));
}

TEST(MimeMessageFields, RecipientDomain) {
  struct Case {
    const char* recipient;
    const char* domain;
  } cases[] = {
      {"Ann <ann@example.test>", "example.test"},
      {"ann@example.test (Ann)", "example.test"},
      {"ann@example.test\r\n", "example.test"},
      {"Ann", ""},
      {"ann@", ""},
  };
  for (const Case& c : cases) {
    MimeMessage message;
    message.add_recipient(c.recipient);
    EXPECT_EQ(message.recipient_domain(), c.domain) << c.recipient;
  }
  EXPECT_EQ(MimeMessage().recipient_domain(), "");
}

TEST(MimeMessageFields, CcAddsTrimmedRecipients) {
  MimeMessage message;
  message.add_recipient("ann@example.test");
  message.set_cc(" bob@example.test ;; \t;carol@example.test");
  EXPECT_EQ(message.cc, " bob@example.test ;; \t;carol@example.test");
  ASSERT_EQ(message.recipients.count(), 3);
  EXPECT_EQ(message.recipients[1], "bob@example.test");
  EXPECT_EQ(message.recipients[2], "carol@example.test");
}

TEST(MimeMessageFields, AttachmentsFromLines) {
  MimeMessage message;
  message.set_attachments("/a/one.pdf\r\n  \n /b/two.txt \r/c/three\n");
  std::vector<std::string> paths;
  int cursor;
  String path;
  for (bool more = message.first(&cursor, &path); more; more = message.next(&cursor, &path)) {
    paths.push_back(path.std_string());
  }
  EXPECT_THAT(paths, ::testing::ElementsAre("/a/one.pdf", "/b/two.txt", "/c/three"));
  message.clear();
  EXPECT_EQ(message.count(), 0);
  EXPECT_FALSE(message.first(&cursor, &path));
}

TEST(MimeMessageFields, HasAlternativeNeedsBothBodies) {
  MimeMessage message;
  message.text_body = "text";
  EXPECT_FALSE(message.has_alternative());
  message.html_body = " \r\n";
  EXPECT_FALSE(message.has_alternative());
  message.html_body = "<p>";
  EXPECT_TRUE(message.has_alternative());
}

TEST(MakeBoundary, TwelveLettersOrDigits) {
  for (int i = 0; i < 20; ++i) {
    String boundary = make_boundary();
    ASSERT_EQ(boundary.length(), 12);
    for (char c : boundary) EXPECT_TRUE(is_letter_or_digit(c)) << boundary.c_str();
  }
}

}  // namespace
}  // namespace tessaline
