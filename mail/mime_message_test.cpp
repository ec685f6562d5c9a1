#include "mail/mime_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/date.h"
#include "storage/test_directory.h"
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

// Composes with the clock pinned and the boundaries seeded.
bool compose_pinned(MimeMessage& message, String* text, unsigned seed = 1) {
  Clock previous = set_clock(pinned_clock);
  std::srand(seed);
  bool ok = message.compose(text);
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
void load_case(const std::string& path, MimeMessage* message) {
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
  load_case(kMimeData + GetParam() + ".in", &message);
  String text;
  ASSERT_TRUE(compose_pinned(message, &text)) << message.error.c_str();
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

struct Part {
  std::string type, charset, disposition, filename, content_id, payload_hex;
};

std::string hex(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, separator)) fields.push_back(field);
  if (!line.empty() && line.back() == separator) fields.push_back("");
  return fields;
}

// Parses the text with Python's email package; returns the header line
// and the leaf parts (multipart containers are listed by their type).
void parse_with_python(const String& text, std::vector<std::string>* headers,
                       std::vector<Part>* parts, std::vector<std::string>* multiparts) {
  TestDirectory dir;
  ASSERT_TRUE(dir.ok());
  std::string message_file = (dir / "message.eml").std_string();
  std::string out_file = (dir / "parts.txt").std_string();
  write_file(message_file, text.view());
  ASSERT_EQ(testing::run_program({"/usr/bin/python3", std::string(TESSALINE_SOURCE_DIR) +
                                                          "/mail/testdata/parse_mime.py",
                                  message_file},
                                 out_file),
            0);
  std::istringstream lines(read_file(out_file));
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> f = split(line, '\t');
    if (f[0] == "headers") {
      *headers = f;
    } else if (f[0] == "multipart") {
      multiparts->push_back(f[1]);
    } else {
      ASSERT_EQ(f.size(), 6u) << line;
      parts->push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
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

  std::vector<std::string> headers, multiparts;
  std::vector<Part> parts;
  parse_with_python(text, &headers, &parts, &multiparts);
  ASSERT_EQ(headers.size(), 5u);
  EXPECT_EQ(headers[1], "ann@example.test");
  EXPECT_EQ(headers[3], "Parts");
  EXPECT_EQ(headers[4], "") << "the parser found defects";
  EXPECT_THAT(multiparts, ::testing::ElementsAre("multipart/mixed", "multipart/alternative",
                                                 "multipart/related"));
  ASSERT_EQ(parts.size(), 6u);
  EXPECT_EQ(parts[0].type, "text/plain");
  EXPECT_EQ(parts[0].charset, "utf-8");
  EXPECT_EQ(parts[0].payload_hex, hex(message.text_body.view()));
  EXPECT_EQ(parts[1].type, "text/html");
  EXPECT_EQ(parts[1].charset, "utf-8");
  // A part that is not base64 reads with LF line ends; the line break after
  // the body is the builder's own.
  EXPECT_EQ(parts[1].payload_hex, hex(message.html_body.std_string() + "\n"));
  struct File {
    const char* type;
    const char* disposition;
    const char* name;
    const char* content_id;
  } files[] = {{"image/gif", "inline", "logo.gif", "logo.gif"},
               {"application/octet-stream", "inline", "picture.jpeg", "picture.jpeg"},
               {"application/octet-stream", "attachment", "report.pdf", ""},
               {"application/octet-stream", "attachment", "data54.bin", ""}};
  for (int i = 0; i < 4; ++i) {
    const Part& part = parts[i + 2];
    EXPECT_EQ(part.type, files[i].type) << files[i].name;
    EXPECT_EQ(part.disposition, files[i].disposition) << files[i].name;
    EXPECT_EQ(part.filename, files[i].name);
    EXPECT_EQ(part.content_id, files[i].content_id) << files[i].name;
    EXPECT_EQ(part.payload_hex, hex(read_file(kMimeData + "files/" + files[i].name)))
        << files[i].name;
  }
}

TEST(ComposeAsReadByPython, SevenBitAndEightBitTextBodies) {
  struct Case {
    int encoding;
    bool seven_bit_only;
    const char* body;
    const char* charset;
    const char* decoded;
  } cases[] = {
      {MimeMessage::k7Bit, false, "Caf\xc3\xa9", "", "Caf\x7f\x7f"},
      {MimeMessage::k8Bit, false, "Caf\xc3\xa9", "utf-8", "Caf\xc3\xa9"},
      {MimeMessage::k8Bit, false, "Caf\xe9", "windows-1252", "Caf\xe9"},
      {MimeMessage::k8Bit, true, "Caf\xc3\xa9", "", "Caf\x7f\x7f"},
  };
  for (const Case& c : cases) {
    MimeMessage message;
    message.add_recipient("ann@example.test");
    message.encoding = c.encoding;
    message.text_body = c.body;
    String text;
    Clock previous = set_clock(pinned_clock);
    ASSERT_TRUE(message.compose(&text, c.seven_bit_only));
    set_clock(previous);
    std::vector<std::string> headers, multiparts;
    std::vector<Part> parts;
    parse_with_python(text, &headers, &parts, &multiparts);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].charset, c.charset) << c.body;
    EXPECT_EQ(parts[0].payload_hex, hex(std::string(c.decoded) + "\n")) << c.body;
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
