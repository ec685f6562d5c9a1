#include "mail/dkim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/date.h"
#include "storage/test_directory.h"
#include "mail/mime_message.h"
#include "mail/test_support.h"

namespace tessaline {
namespace {

const std::string kMimeData = std::string(TESSALINE_SOURCE_DIR) + "/mail/testdata/mime/";

// --- canonical forms ------------------------------------------------------------

TEST(DkimCanonicalForm, RelaxedHeaders) {
  struct Case {
    const char* field;
    const char* canonical;
  } cases[] = {
      // The examples of RFC 6376 section 3.4.5.
      {"A: X", "a:X"},
      {"B : Y\t\r\n\tZ  ", "b:Y Z"},
      {"Subject: Hello  World \r\n\t again", "subject:Hello World again"},
      {"FROM:\ta@example.test", "from:a@example.test"},
      {"X-Empty:", "x-empty:"},
      {"X-Blank:   ", "x-blank:"},
      {"h: a:\r\n\tb: c", "h:a: b: c"},
      {"Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n =?utf-8?q?_aus?=", "subject:=?utf-8?q?Gr=C3=BC=C3=9Fe?= =?utf-8?q?_aus?="},
  };
  for (const Case& c : cases) EXPECT_EQ(dkim_relaxed_header(c.field), c.canonical) << c.field;
}

TEST(DkimCanonicalForm, RelaxedBodies) {
  struct Case {
    const char* body;
    const char* canonical;
  } cases[] = {
      // The example of RFC 6376 section 3.4.5.
      {" C \r\nD \t E\r\n\r\n\r\n", " C\r\nD E\r\n"},
      {"", ""},
      {"\r\n\r\n\r\n", ""},
      {"no line break", "no line break\r\n"},
      {"a  \r\n \t \r\n", "a\r\n"},
      {"a\r\n\r\nb\r\n", "a\r\n\r\nb\r\n"},
      {"--B--", "--B--\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(dkim_relaxed_body(c.body), c.canonical) << c.body;
}

// --- signing, checked by an outside verifier ------------------------------------

class DkimSigning : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TestDirectory();
    ASSERT_TRUE(folder_->ok());
    for (const char* kind : {"rsa", "ed25519"}) {
      testing::DkimTestKey key;
      ASSERT_TRUE(testing::make_dkim_key(folder_->path().std_string(), kind, &key)) << kind;
      keys_[kind] = key;
    }
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  const testing::DkimTestKey& key() { return keys_[GetParam()]; }

  std::unique_ptr<DkimSigner> signer() {
    DkimSettings settings;
    settings.selector = "mail2026";
    settings.domain = "example.test";
    settings.key_file = String(key().private_pem);
    String error;
    std::unique_ptr<DkimSigner> loaded = DkimSigner::load(settings, &error);
    EXPECT_TRUE(loaded) << error.c_str();
    return loaded;
  }

  // What the verifier says of each text, by one run of it.
  std::vector<std::string> verdicts(const std::vector<std::string>& texts) {
    return testing::dkim_verdicts(texts, key(), "mail2026", "example.test",
                                  folder_->path().std_string());
  }

  static TestDirectory* folder_;
  static std::map<std::string, testing::DkimTestKey> keys_;
};

TestDirectory* DkimSigning::folder_ = nullptr;
std::map<std::string, testing::DkimTestKey> DkimSigning::keys_;

// A message with everything a signature must survive: encoded headers, an
// unsubscribe header, lines that begin with a dot, blanks at line ends,
// a text and an HTML body, an embedded file and attachments.
void fill_everything(MimeMessage& message) {
  message.from = "Jos\xc3\xa9 M\xc3\xbcller <jose@example.test>";
  message.add_recipient("Zo\xc3\xab <zoe@example.test>");
  message.subject =
      "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln, with a subject long enough to be folded in two";
  message.reply_to = "replies@example.test";
  message.set_unsubscribe("mailto:leave@example.test https://example.test/leave?id=7");
  message.encoding = MimeMessage::k7Bit;
  message.text_body = "Caf\xc3\xa9\r\n.a line with a dot\r\n.\r\ntrailing blanks   \r\nend";
  message.html_body = "<p>Html</p><img src=\"cid:logo.gif\">";
  message.add_embedded_file(String(kMimeData.c_str()) + "files/logo.gif");
  message.add(String(kMimeData.c_str()) + "files/report.pdf");
  message.add(String(kMimeData.c_str()) + "files/data54.bin");
}

TEST_P(DkimSigning, AnOutsideVerifierAcceptsTheSignatureAndNoChangedByte) {
  std::unique_ptr<DkimSigner> dkim = signer();
  ASSERT_TRUE(dkim);
  EXPECT_EQ(dkim->algorithm(), GetParam() == "rsa" ? DkimSigner::Algorithm::kRsaSha256
                                                   : DkimSigner::Algorithm::kEd25519Sha256);
  MimeMessage message;
  fill_everything(message);
  message.dkim = dkim.get();
  String text;
  ASSERT_TRUE(message.compose(&text)) << message.error.c_str();
  ASSERT_TRUE(text.starts_with("DKIM-Signature: v=1; a=" +
                               std::string(GetParam() == "rsa" ? "rsa" : "ed25519") +
                               "-sha256; c=relaxed/relaxed; d=example.test;"))
      << text.c_str();
  // Every header line of the signature stays within 78 characters, and it
  // names the headers a reader relies on.
  std::string signature = text.std_string().substr(0, text.find("\r\nFrom:") + 2);
  for (size_t at = 0; at < signature.size();) {
    size_t end = signature.find("\r\n", at);
    EXPECT_LE(end - at, 78u) << signature.substr(at, end - at);
    at = end + 2;
  }
  std::string unfolded;
  for (char c : signature) {
    if (c != '\r' && c != '\n' && c != '\t') unfolded += c;
  }
  EXPECT_THAT(unfolded, ::testing::HasSubstr(
                            "h=From:To:Subject:Reply-To:Date:Message-ID:List-Unsubscribe:"
                            "List-Unsubscribe-Post:Mime-Version:Content-Type;"))
      << unfolded;

  // A changed byte anywhere that is signed fails: in the body, in a signed
  // header, in a base64 attachment.
  struct Change {
    const char* what;
    const char* from;
    const char* to;
  } changes[] = {{"the text body", "a line with a dot", "a line with a dit"},
                 {"a signed header", "Message-ID: <", "Message-ID: <x"},
                 {"an attachment", "JVBERi0x", "JVBERi0y"},
                 {"the unsubscribe address", "leave?id=7", "leave?id=8"}};
  std::vector<std::string> texts = {text.std_string()};
  for (const Change& change : changes) {
    String changed = text;
    ASSERT_EQ(changed.replace_all(change.from, change.to), 1) << change.what;
    texts.push_back(changed.std_string());
  }
  // Blanks added to a header, as relaxed canonicalisation allows, keep it
  // valid.
  String refolded = text;
  ASSERT_EQ(refolded.replace_all("Reply-To: replies", "Reply-To:   replies"), 1);
  texts.push_back(refolded.std_string());

  std::vector<std::string> said = verdicts(texts);
  EXPECT_EQ(said[0], "pass");
  for (size_t i = 0; i < std::size(changes); ++i) {
    EXPECT_TRUE(said[i + 1].starts_with("fail")) << changes[i].what << ": " << said[i + 1];
  }
  EXPECT_EQ(said.back(), "pass");
}

TEST_P(DkimSigning, MessagesOfEveryShapeVerify) {
  std::unique_ptr<DkimSigner> dkim = signer();
  ASSERT_TRUE(dkim);
  struct Shape {
    const char* name;
    const char* text_body;
    const char* html_body;
    int encoding;
    bool attachment;
  } shapes[] = {
      {"headers only", "", "", MimeMessage::k7Bit, false},
      {"text", "Hello\r\n\r\n\r\n", "", MimeMessage::k7Bit, false},
      {"base64 text", "Gr\xc3\xbc\xc3\x9f" "e", "", MimeMessage::kBase64, false},
      {"attachment only", "", "", MimeMessage::k7Bit, true},
  };
  std::vector<std::string> texts;
  for (const Shape& shape : shapes) {
    MimeMessage message;
    message.from = "news@example.test";
    message.add_recipient("ann@example.test");
    message.text_body = shape.text_body;
    message.html_body = shape.html_body;
    message.encoding = shape.encoding;
    if (shape.attachment) message.add(String(kMimeData.c_str()) + "files/data54.bin");
    message.dkim = dkim.get();
    String text;
    ASSERT_TRUE(message.compose(&text)) << message.error.c_str();
    // The server receives the text followed by the CR LF before the end
    // marker.
    texts.push_back(text.std_string() + "\r\n");
  }
  std::vector<std::string> said = verdicts(texts);
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(said[i], "pass") << shapes[i].name;
}

INSTANTIATE_TEST_SUITE_P(Algorithms, DkimSigning, ::testing::Values("rsa", "ed25519"),
                         [](const auto& info) { return info.param; });

// --- settings and keys that cannot sign --------------------------------------------

TEST(DkimSigner, RefusesSettingsAndKeysThatCannotSign) {
  TestDirectory folder;
  ASSERT_TRUE(folder.ok());
  const std::string dir = folder.path().std_string();
  testing::DkimTestKey good, small;
  ASSERT_TRUE(testing::make_dkim_key(dir, "rsa", &good));
  ASSERT_TRUE(testing::make_dkim_key(dir, "rsa", &small, 512));
  const std::string ec = dir + "/ec.pem";
  const std::string locked = dir + "/locked.pem";
  ASSERT_EQ(testing::run_program({"/usr/bin/openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                                  "ec_paramgen_curve:P-256", "-out", ec},
                                 "/dev/null"),
            0);
  ASSERT_EQ(testing::run_program({"/usr/bin/openssl", "pkey", "-in", good.private_pem, "-aes256",
                                  "-passout", "pass:secret", "-out", locked},
                                 "/dev/null"),
            0);
  ASSERT_TRUE(folder.put("public.pem", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"));
  ASSERT_TRUE(folder.put("empty.pem", ""));

  struct Case {
    const char* name;
    const char* selector;
    const char* domain;
    std::string key_file;
    const char* message_start;
  } cases[] = {
      {"no selector", "", "example.test", good.private_pem,
       "Signing messages with DKIM needs the settings DKIM_Selector, DKIM_Domain and "
       "DKIM_KeyFile; DKIM_Selector is not set."},
      {"no domain", "s1", "", good.private_pem, "Signing messages with DKIM needs the settings"},
      {"no key file", "s1", "example.test", "",
       "Signing messages with DKIM needs the settings DKIM_Selector, DKIM_Domain and "
       "DKIM_KeyFile; DKIM_KeyFile is not set."},
      {"a selector with a semicolon", "s1; x=y", "example.test", good.private_pem,
       "The DKIM selector (DKIM_Selector) may hold only letters, digits"},
      {"a domain with a blank", "s1", "example .test", good.private_pem,
       "The DKIM domain (DKIM_Domain) is not a domain name:\nexample .test"},
      {"a file that is not there", "s1", "example.test", dir + "/missing.pem",
       "The DKIM private key file cannot be read:\n"},
      {"a folder", "s1", "example.test", dir, "The DKIM private key file cannot be read:\n"},
      {"an empty file", "s1", "example.test", dir + "/empty.pem",
       "The DKIM private key file holds no private key in PEM form"},
      {"a public key", "s1", "example.test", dir + "/public.pem",
       "The DKIM private key file holds no private key in PEM form"},
      {"a key behind a passphrase", "s1", "example.test", locked,
       "The DKIM private key file holds no private key in PEM form that can be read without a "
       "passphrase"},
      {"an elliptic-curve key", "s1", "example.test", ec,
       "The DKIM private key must be an RSA or an Ed25519 key:\n"},
      {"a 512-bit RSA key", "s1", "example.test", small.private_pem,
       "The DKIM private key is an RSA key of 512 bits; receivers accept only keys of 1024 bits "
       "or more"},
  };
  std::string good_pem = testing::read_file(good.private_pem);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DkimSettings settings;
    settings.selector = c.selector;
    settings.domain = c.domain;
    settings.key_file = String(c.key_file);
    String error;
    EXPECT_FALSE(DkimSigner::load(settings, &error));
    EXPECT_TRUE(error.starts_with(c.message_start)) << error.c_str();
    // A message names the file, never what it holds.
    for (const std::string& pem : {good_pem, testing::read_file(small.private_pem)}) {
      std::string body_line = pem.substr(pem.find('\n') + 1, 40);
      EXPECT_EQ(error.find(body_line.c_str()), -1) << error.c_str();
    }
  }
  DkimSettings settings;
  settings.selector = "s1";
  settings.domain = "example.test";
  settings.key_file = String(good.private_pem);
  String error;
  EXPECT_TRUE(DkimSigner::load(settings, &error)) << error.c_str();
}

TEST(DkimSettings, ReadFromTheProgramSettings) {
  MapRegistry registry;
  EXPECT_FALSE(read_dkim_settings(registry).wanted());
  registry.texts = {{"DKIM_Selector", " s2026 "},
                    {"DKIM_Domain", "example.test"},
                    {"DKIM_KeyFile", "/etc/keys/dkim.pem\n"}};
  DkimSettings settings = read_dkim_settings(registry);
  EXPECT_TRUE(settings.wanted());
  EXPECT_EQ(settings.selector, "s2026");
  EXPECT_EQ(settings.domain, "example.test");
  EXPECT_EQ(settings.key_file, "/etc/keys/dkim.pem");
}

}  // namespace
}  // namespace tessaline
