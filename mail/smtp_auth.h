// smtp_auth.h - the SMTP login (AUTH, RFC 4954) as pure functions: which
// mechanism to use with a server, and the lines the client sends.
//
// Three mechanisms: PLAIN (the name and password in one line), LOGIN (the
// name, then the password, each after the server's 334 prompt) and XOAUTH2
// (an OAuth 2 bearer token in place of the password, for providers that
// want one). What the person asked for is an AuthSetting: off, on (the
// program picks PLAIN, then LOGIN, among what the server offers) or one
// named mechanism, which the server must then offer. XOAUTH2 is used only
// when named, because a token is not a password.
//
// All three send the secret merely base64-encoded: the caller must make
// sure the connection is encrypted, or that the person allowed a login
// without encryption (mail/smtp_client.cpp does).
//
// Not for: the dialogue, where the secret comes from (mail/smtp_route.h).
//
// Failures: choose_auth_mechanism() returns kNone with the reason in
// words; an AuthExchange that gets a prompt it did not expect answers "*",
// which cancels the exchange (RFC 4954 section 4).
#pragma once

#include <string_view>

#include "core/string.h"
#include "mail/smtp_extensions.h"

namespace tessaline {

enum class AuthMechanism { kNone, kPlain, kLogin, kXoauth2 };

enum class AuthSetting { kOff, kOn, kPlain, kLogin, kXoauth2 };

// Reads an msmtp-style "auth" argument: "on" (or empty), "off", "plain",
// "login", "xoauth2", in any case. False for anything else (cram-md5,
// scram-sha-1, ... which this program does not speak).
bool parse_auth_setting(std::string_view text, AuthSetting* setting);
// "on", "off", "plain", "login", "xoauth2".
const char* auth_setting_name(AuthSetting setting);
// "PLAIN", "LOGIN", "XOAUTH2", "" for kNone.
const char* auth_mechanism_name(AuthMechanism mechanism);

// The mechanism to use, or kNone with *why_not ("the server offers no
// login", "the server does not offer XOAUTH2 (it offers: CRAM-MD5)").
AuthMechanism choose_auth_mechanism(AuthSetting setting, const SmtpExtensions& offered,
                                    String* why_not);

// Base64 without line breaks, as AUTH lines carry it.
String base64_line(std::string_view bytes);

// The client's side of one login. The lines it makes hold the secret;
// masked() gives the form a trace may show.
class AuthExchange {
 public:
  AuthExchange(AuthMechanism mechanism, std::string_view user, std::string_view secret);
  ~AuthExchange();
  AuthExchange(const AuthExchange&) = delete;
  AuthExchange& operator=(const AuthExchange&) = delete;

  // "AUTH PLAIN <base64>\r\n", "AUTH LOGIN\r\n", "AUTH XOAUTH2 <base64>\r\n".
  String first_command() const;
  // The answer to a 334 prompt (its text after "334 "): the next line to
  // send, with CR LF. After the last expected prompt, XOAUTH2's error
  // report is answered with an empty line, as the mechanism asks, and
  // anything else with "*".
  String answer(std::string_view prompt);
  // A line of this exchange as a trace shows it: the command word and
  // mechanism, the rest replaced by "********".
  static String masked(std::string_view line);

 private:
  AuthMechanism mechanism_;
  String user_;
  String secret_;
  int prompts_ = 0;
};

}  // namespace tessaline
