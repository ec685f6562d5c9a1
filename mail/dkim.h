// dkim.h - DKIM signatures (RFC 6376) on composed messages, so that
// receivers can tell the mail really comes from the sender's domain.
//
// Three program settings name the signing identity: DKIM_Selector,
// DKIM_Domain and DKIM_KeyFile (a PEM file holding an RSA or an Ed25519
// private key), stored like the SMTP settings under kToolkitKey. When
// they are set, the send loads the key once, at its check step, and every
// message it composes is signed: RSA-SHA256 or Ed25519-SHA256 (RFC 8463)
// by the key's kind, relaxed/relaxed canonicalisation, over the headers
// the builder writes that a reader sees or that say how to read the body
// (From, Reply-To, To, CC, Subject, Date, Message-ID, the MIME headers,
// List-Unsubscribe and List-Unsubscribe-Post). Signing is a pure function
// of the composed text, the key and the signing time; the canonical forms
// are below so that tests can check them on their own.
//
// Not for: verifying, publishing the DNS record, or choosing which
// messages to sign (every message of a send with the settings set is).
//
// Failures: load() returns null with a message for the person that names
// the setting or the file and says what is wrong with it; it never holds
// any of the key's content, and the key's bytes are wiped once parsed.
// sign() fails only when the cryptographic library does, with its reason.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/string.h"
#include "mail/smtp_server.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace tessaline {

extern const SettingInfo kDkimSelectorSetting;
extern const SettingInfo kDkimDomainSetting;
extern const SettingInfo kDkimKeyFileSetting;

struct DkimSettings {
  String selector;
  String domain;
  String key_file;

  // Any of the three is set: the send signs, or refuses to start when the
  // others are missing.
  bool wanted() const { return !selector.empty() || !domain.empty() || !key_file.empty(); }
};

// The three settings as stored under kToolkitKey (trimmed); empty ones
// where nothing is stored.
DkimSettings read_dkim_settings(const RegistryReader& registry);

class DkimSigner {
 public:
  enum class Algorithm { kRsaSha256, kEd25519Sha256 };

  // Reads the key file named by the settings. Null, with *error, when a
  // setting is missing or malformed, or the file cannot be read or holds
  // no usable private key (a key protected by a passphrase is refused
  // rather than asked for; an RSA key below 1024 bits is refused).
  static std::unique_ptr<DkimSigner> load(const DkimSettings& settings, String* error);
  // The same from the PEM text itself; `source` names it in messages.
  static std::unique_ptr<DkimSigner> from_pem(const DkimSettings& settings, std::string_view pem,
                                              std::string_view source, String* error);

  ~DkimSigner();
  DkimSigner(const DkimSigner&) = delete;
  DkimSigner& operator=(const DkimSigner&) = delete;

  Algorithm algorithm() const { return algorithm_; }

  // The header line "DKIM-Signature: ...\r\n" (folded within 78
  // characters) for the composed message, a text in CR LF form whose
  // header block ends at its first empty line. `unix_time` becomes its
  // signing time (t=).
  bool sign(std::string_view message, int64_t unix_time, String* header, String* error) const;

 private:
  DkimSigner(const DkimSettings& settings, EVP_PKEY* key, Algorithm algorithm);

  String selector_;
  String domain_;
  EVP_PKEY* key_;
  Algorithm algorithm_;
};

// --- canonical forms (RFC 6376 section 3.4) ---------------------------------

// One whole header field ("Name: value", with its folds, without the final
// CR LF) in the relaxed form "name:value" (no CR LF).
String dkim_relaxed_header(std::string_view field);
// A message body in the relaxed form.
String dkim_relaxed_body(std::string_view body);

}  // namespace tessaline
