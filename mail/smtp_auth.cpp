#include "mail/smtp_auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace tessaline {

namespace {

bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (to_lower(a[i]) != to_lower(b[i])) return false;
  }
  return true;
}

String offered_list(const SmtpExtensions& offered) {
  String list;
  for (const String& mechanism : offered.auth_mechanisms()) {
    if (!list.empty()) list += ' ';
    list += mechanism;
  }
  return list;
}

void wipe(String& text) {
  if (text.data()) OPENSSL_cleanse(text.data(), text.length());
  text.clear();
}

}  // namespace

bool parse_auth_setting(std::string_view text, AuthSetting* setting) {
  struct Name {
    const char* word;
    AuthSetting setting;
  };
  static const Name kNames[] = {{"", AuthSetting::kOn},         {"on", AuthSetting::kOn},
                                {"off", AuthSetting::kOff},     {"plain", AuthSetting::kPlain},
                                {"login", AuthSetting::kLogin}, {"xoauth2", AuthSetting::kXoauth2}};
  for (const Name& name : kNames) {
    if (same_word(text, name.word)) {
      *setting = name.setting;
      return true;
    }
  }
  return false;
}

const char* auth_setting_name(AuthSetting setting) {
  switch (setting) {
    case AuthSetting::kOff: return "off";
    case AuthSetting::kOn: return "on";
    case AuthSetting::kPlain: return "plain";
    case AuthSetting::kLogin: return "login";
    case AuthSetting::kXoauth2: return "xoauth2";
  }
  return "";
}

const char* auth_mechanism_name(AuthMechanism mechanism) {
  switch (mechanism) {
    case AuthMechanism::kNone: return "";
    case AuthMechanism::kPlain: return "PLAIN";
    case AuthMechanism::kLogin: return "LOGIN";
    case AuthMechanism::kXoauth2: return "XOAUTH2";
  }
  return "";
}

AuthMechanism choose_auth_mechanism(AuthSetting setting, const SmtpExtensions& offered,
                                    String* why_not) {
  why_not->clear();
  if (setting == AuthSetting::kOff) {
    *why_not = "no login is set up";
    return AuthMechanism::kNone;
  }
  if (offered.auth_mechanisms().empty()) {
    *why_not = "the server offers no login (no AUTH in its answer to EHLO)";
    return AuthMechanism::kNone;
  }
  AuthMechanism wanted = AuthMechanism::kNone;
  switch (setting) {
    case AuthSetting::kOn:
      for (AuthMechanism m : {AuthMechanism::kPlain, AuthMechanism::kLogin}) {
        if (offered.offers_auth(auth_mechanism_name(m))) return m;
      }
      *why_not = "the server offers no login method this program can use (it offers: " +
                 offered_list(offered) + ")";
      return AuthMechanism::kNone;
    case AuthSetting::kPlain: wanted = AuthMechanism::kPlain; break;
    case AuthSetting::kLogin: wanted = AuthMechanism::kLogin; break;
    case AuthSetting::kXoauth2: wanted = AuthMechanism::kXoauth2; break;
    case AuthSetting::kOff: break;
  }
  if (offered.offers_auth(auth_mechanism_name(wanted))) return wanted;
  *why_not = String("the server does not offer the login method ") + auth_mechanism_name(wanted) +
             " (it offers: " + offered_list(offered) + ")";
  return AuthMechanism::kNone;
}

String base64_line(std::string_view bytes) {
  String encoded;
  if (bytes.empty()) return encoded;
  int length = static_cast<int>(4 * ((bytes.size() + 2) / 3));
  char* out = encoded.extend(length + 1);
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  encoded.set_length(written);
  return encoded;
}

AuthExchange::AuthExchange(AuthMechanism mechanism, std::string_view user, std::string_view secret)
    : mechanism_(mechanism), user_(user), secret_(secret) {}

AuthExchange::~AuthExchange() {
  wipe(user_);
  wipe(secret_);
}

String AuthExchange::first_command() const {
  String response;
  switch (mechanism_) {
    case AuthMechanism::kPlain: {
      String blob;
      blob += '\0';
      blob += user_;
      blob += '\0';
      blob += secret_;
      response = "AUTH PLAIN " + base64_line(blob.view()) + "\r\n";
      wipe(blob);
      break;
    }
    case AuthMechanism::kLogin:
      response = "AUTH LOGIN\r\n";
      break;
    case AuthMechanism::kXoauth2: {
      String blob = "user=" + user_ + "\001auth=Bearer " + secret_ + "\001\001";
      response = "AUTH XOAUTH2 " + base64_line(blob.view()) + "\r\n";
      wipe(blob);
      break;
    }
    case AuthMechanism::kNone:
      break;
  }
  return response;
}

String AuthExchange::answer(std::string_view prompt) {
  (void)prompt;  // LOGIN's prompts ("Username:", "Password:") come in a fixed order
  ++prompts_;
  // A server that does not take PLAIN's data with the command asks for it.
  if (mechanism_ == AuthMechanism::kPlain && prompts_ == 1) {
    String command = first_command();
    String data = command.substr(11, command.length() - 11);  // after "AUTH PLAIN "
    wipe(command);
    return data;
  }
  if (mechanism_ == AuthMechanism::kLogin && prompts_ == 1) return base64_line(user_.view()) + "\r\n";
  if (mechanism_ == AuthMechanism::kLogin && prompts_ == 2) return base64_line(secret_.view()) + "\r\n";
  // XOAUTH2 reports a refused token in a 334 and waits for an empty line
  // before its final reply.
  if (mechanism_ == AuthMechanism::kXoauth2 && prompts_ == 1) return "\r\n";
  return "*\r\n";
}

String AuthExchange::masked(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.empty() || line == "*") return String(line);
  // "AUTH MECHANISM" stays; any data after it, or a whole answer line, does not.
  if (line.size() > 5 && same_word(line.substr(0, 5), "AUTH ")) {
    size_t space = line.find(' ', 5);
    if (space == std::string_view::npos) return String(line);
    return String(line.substr(0, space)) + " ********";
  }
  return "********";
}

}  // namespace tessaline
