#include "mail/dkim.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <vector>

#include "storage/file.h"

namespace tessaline {

const SettingInfo kDkimSelectorSetting = {
    "DKIM_Selector", "DKIM Selector",
    "The selector of the DKIM key: its public key is published as SELECTOR._domainkey.DOMAIN"};
const SettingInfo kDkimDomainSetting = {
    "DKIM_Domain", "DKIM Domain",
    "The domain that signs the messages (d=), usually the domain of the From address"};
const SettingInfo kDkimKeyFileSetting = {
    "DKIM_KeyFile", "DKIM Private Key File",
    "The PEM file holding the DKIM private key, RSA (at least 1024 bits) or Ed25519"};

namespace {

// The headers signed when the message has them.
const char* const kSignedHeaders[] = {
    "From",       "Reply-To",      "To",           "CC",
    "Subject",    "Date",          "Message-ID",   "Mime-Version",
    "Content-Type", "Content-Transfer-Encoding", "List-Unsubscribe", "List-Unsubscribe-Post",
};

// A key file is a few kilobytes; anything much larger is not one.
constexpr int kMaxKeyFile = 1 << 16;

bool is_wsp(char c) { return c == ' ' || c == '\t'; }

String base64(const unsigned char* bytes, size_t n) {
  String text;
  char* out = text.extend(static_cast<int>((n + 2) / 3 * 4));
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), bytes, static_cast<int>(n));
  return text;
}

// The reason the cryptographic library gives for its last failure.
String library_error() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown failure";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Refuses a passphrase rather than asking for one on a terminal.
int no_passphrase(char*, int, int, void*) { return 0; }

bool plain_name(std::string_view name, bool dots_only_inside) {
  if (name.empty() || name.size() > 253) return false;
  if (dots_only_inside && (name.front() == '.' || name.back() == '.')) return false;
  for (char c : name) {
    if (!is_letter(c) && !is_digit(c) && c != '-' && c != '.' && c != '_') return false;
  }
  return true;
}

struct HeaderField {
  std::string_view name;
  std::string_view text;  // the whole field without its final CR LF
};

// The fields of the header block, which ends at the first empty line or
// with the text.
std::vector<HeaderField> header_fields(std::string_view message, size_t* body_start) {
  std::vector<HeaderField> fields;
  size_t i = 0;
  while (i < message.size()) {
    size_t end = message.find("\r\n", i);
    size_t line_end = end == std::string_view::npos ? message.size() : end;
    size_t next = end == std::string_view::npos ? message.size() : end + 2;
    if (line_end == i) {  // the empty line
      *body_start = next;
      return fields;
    }
    if (is_wsp(message[i]) && !fields.empty()) {
      HeaderField& last = fields.back();
      last.text = message.substr(last.text.data() - message.data(),
                                 line_end - (last.text.data() - message.data()));
    } else {
      std::string_view line = message.substr(i, line_end - i);
      size_t colon = line.find(':');
      std::string_view name = line.substr(0, colon == std::string_view::npos ? 0 : colon);
      while (!name.empty() && is_wsp(name.back())) name.remove_suffix(1);
      fields.push_back({name, line});
    }
    i = next;
  }
  *body_start = message.size();
  return fields;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (to_lower(a[i]) != to_lower(b[i])) return false;
  }
  return true;
}

// Folds the tags of the signature header within 78 characters: each piece
// goes on the line when it fits, else on a new line opened by CR LF TAB.
class SignatureLine {
 public:
  SignatureLine() : text_("DKIM-Signature:"), column_(text_.length()) {}
  // `glued`: the piece continues the one before without a blank (the
  // names of h=), though a fold may still come between them.
  void add(const String& piece, bool glued = false) {
    int width = piece.length() + (glued ? 0 : 1);
    if (column_ + width > kWidth) {
      text_.append("\r\n\t");
      column_ = 1;
    } else if (!glued) {
      text_.append(' ');
      ++column_;
    }
    text_.append(piece);
    column_ += piece.length();
  }
  // The signature itself, after "b=": as much as fits on each line.
  void add_value(const String& value) {
    int at = 0;
    while (at < value.length()) {
      int room = kWidth - column_;
      if (room <= 0) {
        text_.append("\r\n\t");
        column_ = 1;
        continue;
      }
      int n = std::min(room, value.length() - at);
      text_.append(value.c_str() + at, n);
      column_ += n;
      at += n;
    }
  }
  const String& text() const { return text_; }

 private:
  static constexpr int kWidth = 78;
  String text_;
  int column_;
};

}  // namespace

DkimSettings read_dkim_settings(const RegistryReader& registry) {
  DkimSettings settings;
  registry.read_text(kToolkitKey, kDkimSelectorSetting.name, &settings.selector);
  registry.read_text(kToolkitKey, kDkimDomainSetting.name, &settings.domain);
  registry.read_text(kToolkitKey, kDkimKeyFileSetting.name, &settings.key_file);
  settings.selector.trim();
  settings.domain.trim();
  settings.key_file.trim();
  return settings;
}

// --- canonical forms ----------------------------------------------------------

String dkim_relaxed_header(std::string_view field) {
  size_t colon = field.find(':');
  std::string_view name = field.substr(0, colon);
  std::string_view value = colon == std::string_view::npos ? std::string_view() : field.substr(colon + 1);
  String out;
  for (char c : name) {
    if (!is_wsp(c) && c != '\r' && c != '\n') out.append(static_cast<char>(to_lower(c)));
  }
  out.append(':');
  // Unfold, turn every run of blanks into one, and drop the blanks at both
  // ends of the value.
  bool blank = false;
  bool started = false;
  for (char c : value) {
    if (c == '\r' || c == '\n') continue;
    if (is_wsp(c)) {
      blank = true;
      continue;
    }
    if (blank && started) out.append(' ');
    blank = false;
    started = true;
    out.append(c);
  }
  return out;
}

String dkim_relaxed_body(std::string_view body) {
  String out;
  int kept = 0;  // the length of out up to its last line that is not empty
  size_t i = 0;
  while (i < body.size()) {
    size_t end = body.find("\r\n", i);
    size_t line_end = end == std::string_view::npos ? body.size() : end;
    // Every run of blanks becomes one; blanks at the end of the line go.
    bool blank = false;
    bool content = false;
    for (size_t k = i; k < line_end; ++k) {
      char c = body[k];
      if (is_wsp(c)) {
        blank = true;
        continue;
      }
      if (blank) out.append(' ');
      blank = false;
      content = true;
      out.append(c);
    }
    out.append("\r\n");
    // Empty lines at the end of the body do not count.
    if (content) kept = out.length();
    i = end == std::string_view::npos ? body.size() : end + 2;
  }
  out.set_length(kept);
  return out;
}

// --- the signer ------------------------------------------------------------------

DkimSigner::DkimSigner(const DkimSettings& settings, EVP_PKEY* key, Algorithm algorithm)
    : selector_(settings.selector), domain_(settings.domain), key_(key), algorithm_(algorithm) {}

DkimSigner::~DkimSigner() { EVP_PKEY_free(key_); }

std::unique_ptr<DkimSigner> DkimSigner::load(const DkimSettings& settings, String* error) {
  if (settings.key_file.empty()) {
    return from_pem(settings, std::string_view(), std::string_view(), error);
  }
  File file;
  if (!file.open_existing(settings.key_file, true, false, false)) {
    error->format("The DKIM private key file cannot be read:\n%s\n%s", settings.key_file.c_str(),
                  file.last_error().c_str());
    return nullptr;
  }
  const int64_t size = file.size();
  if (size < 0 || size > kMaxKeyFile) {
    error->format("The DKIM private key file is too large to hold a key (more than %d bytes):\n%s",
                  kMaxKeyFile, settings.key_file.c_str());
    return nullptr;
  }
  String pem;
  pem.set_length(static_cast<int>(size));
  if (size > 0 && !file.read(pem.data(), static_cast<int>(size))) {
    error->format("The DKIM private key file cannot be read:\n%s\n%s", settings.key_file.c_str(),
                  file.last_error().c_str());
    OPENSSL_cleanse(pem.data(), static_cast<size_t>(pem.length()));
    return nullptr;
  }
  std::unique_ptr<DkimSigner> signer = from_pem(settings, pem.view(), settings.key_file.view(), error);
  OPENSSL_cleanse(pem.data(), static_cast<size_t>(pem.length()));
  return signer;
}

std::unique_ptr<DkimSigner> DkimSigner::from_pem(const DkimSettings& settings,
                                                 std::string_view pem, std::string_view source,
                                                 String* error) {
  const char* missing = settings.selector.empty() ? kDkimSelectorSetting.name
                        : settings.domain.empty() ? kDkimDomainSetting.name
                        : settings.key_file.empty() && source.empty() ? kDkimKeyFileSetting.name
                                                                       : nullptr;
  if (missing) {
    error->format("Signing messages with DKIM needs the settings %s, %s and %s; %s is not set.",
                  kDkimSelectorSetting.name, kDkimDomainSetting.name, kDkimKeyFileSetting.name,
                  missing);
    return nullptr;
  }
  if (!plain_name(settings.selector.view(), true)) {
    error->format("The DKIM selector (%s) may hold only letters, digits, hyphens, underscores "
                  "and dots:\n%s", kDkimSelectorSetting.name, settings.selector.c_str());
    return nullptr;
  }
  if (!plain_name(settings.domain.view(), true)) {
    error->format("The DKIM domain (%s) is not a domain name:\n%s", kDkimDomainSetting.name,
                  settings.domain.c_str());
    return nullptr;
  }
  const String name(source);
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, no_passphrase, nullptr) : nullptr;
  BIO_free(bio);
  ERR_clear_error();
  if (!key) {
    error->format("The DKIM private key file holds no private key in PEM form that can be read "
                  "without a passphrase:\n%s", name.c_str());
    return nullptr;
  }
  Algorithm algorithm;
  if (EVP_PKEY_base_id(key) == EVP_PKEY_RSA) {
    int bits = EVP_PKEY_bits(key);
    if (bits < 1024) {
      EVP_PKEY_free(key);
      error->format("The DKIM private key is an RSA key of %d bits; receivers accept only keys "
                    "of 1024 bits or more (2048 is usual):\n%s", bits, name.c_str());
      return nullptr;
    }
    algorithm = Algorithm::kRsaSha256;
  } else if (EVP_PKEY_base_id(key) == EVP_PKEY_ED25519) {
    algorithm = Algorithm::kEd25519Sha256;
  } else {
    EVP_PKEY_free(key);
    error->format("The DKIM private key must be an RSA or an Ed25519 key:\n%s", name.c_str());
    return nullptr;
  }
  return std::unique_ptr<DkimSigner>(new DkimSigner(settings, key, algorithm));
}

bool DkimSigner::sign(std::string_view message, int64_t unix_time, String* header,
                      String* error) const {
  size_t body_start = 0;
  std::vector<HeaderField> fields = header_fields(message, &body_start);

  // The body hash.
  String body = dkim_relaxed_body(message.substr(body_start));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (!EVP_Digest(body.c_str(), static_cast<size_t>(body.length()), digest, &digest_length,
                  EVP_sha256(), nullptr)) {
    *error = library_error();
    return false;
  }

  // The signed headers in the order they stand, of each name the last
  // field that has it, which is the one a verifier takes.
  String data;
  std::vector<std::string_view> names;
  for (size_t i = 0; i < fields.size(); ++i) {
    bool wanted = false;
    for (const char* name : kSignedHeaders) wanted = wanted || same_name(fields[i].name, name);
    bool last = true;
    for (size_t k = i + 1; k < fields.size(); ++k) last = last && !same_name(fields[k].name, fields[i].name);
    if (!wanted || !last) continue;
    names.push_back(fields[i].name);
    data.append(dkim_relaxed_header(fields[i].text));
    data.append("\r\n");
  }

  SignatureLine line;
  line.add("v=1;");
  line.add(algorithm_ == Algorithm::kRsaSha256 ? "a=rsa-sha256;" : "a=ed25519-sha256;");
  line.add("c=relaxed/relaxed;");
  line.add("d=" + domain_ + ";");
  line.add("s=" + selector_ + ";");
  line.add(String::formatted("t=%lld;", static_cast<long long>(unix_time)));
  for (size_t i = 0; i < names.size(); ++i) {
    String piece = i == 0 ? String("h=") : String();
    piece.append(names[i]);
    piece.append(i + 1 < names.size() ? ":" : ";");
    line.add(piece, i > 0);
  }
  line.add("bh=" + base64(digest, digest_length) + ";");
  line.add("b=");
  // What is signed ends with this header itself, its b= still empty.
  data.append(dkim_relaxed_header(line.text().view()));

  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::vector<unsigned char> signature;
  bool ok = context != nullptr;
  size_t length = 0;
  if (ok && algorithm_ == Algorithm::kRsaSha256) {
    ok = EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key_) == 1 &&
         EVP_DigestSignUpdate(context, data.c_str(), static_cast<size_t>(data.length())) == 1 &&
         EVP_DigestSignFinal(context, nullptr, &length) == 1;
    if (ok) {
      signature.resize(length);
      ok = EVP_DigestSignFinal(context, signature.data(), &length) == 1;
    }
  } else if (ok) {
    // Ed25519 signs the SHA-256 hash of the data (RFC 8463).
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hash_length = 0;
    ok = EVP_Digest(data.c_str(), static_cast<size_t>(data.length()), hash, &hash_length,
                    EVP_sha256(), nullptr) == 1 &&
         EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_) == 1 &&
         EVP_DigestSign(context, nullptr, &length, hash, hash_length) == 1;
    if (ok) {
      signature.resize(length);
      ok = EVP_DigestSign(context, signature.data(), &length, hash, hash_length) == 1;
    }
  }
  EVP_MD_CTX_free(context);
  if (!ok) {
    *error = library_error();
    return false;
  }
  line.add_value(base64(signature.data(), length));
  *header = line.text();
  header->append("\r\n");
  return true;
}

}  // namespace tessaline
