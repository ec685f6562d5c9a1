// smtp_route.h - the one place that decides which server a send talks to
// and how: host, port, TLS, certificate checking, login, and where each
// came from. Every error and trace names what this chose.
//
// The sources, first one that says wins:
//
//   account   --account NAME; the project's SMTPaccount; the setting
//             SMTP_Account. An account named there must be in the msmtp
//             configuration. Without one, msmtp's default account is used
//             when its host is the server in use (the SMTP server box
//             starts out holding it), so its password never goes to a
//             server the person typed in instead.
//   host      --server HOST[:PORT]; a named account's host; the SMTP
//             server box (setting SMTP_Server).
//   port      --server's port; the account's port (465 for TLS from the
//             start, else 25, when the account gives none); without an
//             account, the project's SMTPport. The project's port is for
//             the server of the box: an account's port is never replaced
//             by the project's default 25.
//   TLS       the project's SMTPsecurity when it is not "automatic"; the
//             account's tls and tls_starttls; else TLS from the start on
//             port 465 and STARTTLS when offered on any other port.
//   checking  the account's tls_certcheck and tls_trust_file; else the
//             settings SMTP_CertCheck and SMTP_TrustFile (empty: the
//             system's trusted certificates).
//   login     the account's auth, user, password and passwordeval (as
//             msmtp: no auth line means no login); else the settings
//             SMTP_User, SMTP_Auth (empty: on when a user is set) and
//             SMTP_PasswordEval. A login goes over an unencrypted
//             connection only when SMTP_LoginWithoutTls is set, or when
//             an msmtp account names its method (auth plain), as msmtp
//             allows.
//
// Direct delivery does not use the route's server: it goes to the mail
// hosts of each recipient's domain on the project's SMTPport, with
// STARTTLS when offered and no login (mail/smtp_client.h).
//
// Not for: reading settings or files (the caller hands over their text),
// the dialogue.
//
// Failures: choose_smtp_route() returns false with a message for the
// person (an account that is not there, a login method this program does
// not speak). obtain_smtp_secret() returns false with the reason the
// password could not be had; the password itself is never part of a
// message, a trace or a file.
#pragma once

#include <string_view>

#include "core/string.h"
#include "mail/smtp_auth.h"
#include "mail/tls_stream.h"

namespace tessaline {

// The values of the project's SMTPsecurity.
enum class TlsMode {
  kAutomatic = 0,
  kOff = 1,
  kOpportunistic = 2,  // STARTTLS when the server offers it
  kStartTls = 3,       // STARTTLS, or nothing is sent
  kImplicit = 4,       // TLS from the first byte (port 465)
};
// "no encryption", "STARTTLS when offered", "STARTTLS required", "TLS".
const char* tls_mode_name(TlsMode mode);

// The program's own settings for a server without an msmtp account, and
// the name server of direct delivery (mail/smtp_server.h reads them).
struct DeliverySettings {
  String account;            // SMTP_Account
  String user;               // SMTP_User
  String auth;               // SMTP_Auth
  String password_command;   // SMTP_PasswordEval
  String trust_file;         // SMTP_TrustFile
  bool check_certificate = true;    // SMTP_CertCheck
  bool login_without_tls = false;   // SMTP_LoginWithoutTls
  String name_server;        // DNS_Server: "ADDRESS[:PORT]"; empty: the system's
};

struct SmtpRoute {
  String host;
  int port = 25;
  int direct_port = 25;  // of direct delivery: the project's SMTPport
  TlsMode tls = TlsMode::kOff;
  bool check_certificate = true;
  String trust_file;
  AuthSetting auth = AuthSetting::kOff;
  String user;
  String password;          // an msmtp password line, in memory only
  String password_command;  // run when the login needs the password
  bool login_without_tls = false;
  String account;           // the msmtp account in use; empty: the program's settings
  String configuration;     // the msmtp file the account is in
  String from;              // the account's from address

  bool wants_tls() const { return tls == TlsMode::kStartTls || tls == TlsMode::kImplicit; }
  bool wants_login() const { return auth != AuthSetting::kOff; }
  TlsOptions tls_options() const;
};

struct RouteSources {
  String server_option;    // --server, as typed
  String account_option;   // --account
  String project_account;  // SMTPaccount
  int project_security = 0;  // SMTPsecurity
  int project_port = 25;     // SMTPport
  String server_field;     // the SMTP server box (SMTP_Server)
  DeliverySettings settings;
  String msmtprc;          // the text of the msmtp configuration; empty: none
  String msmtprc_path;
  String home;             // expands "~/" in msmtp file names
};

// "HOST" or "HOST:PORT" (1 to 65535). False with a message for anything
// else: an empty host, blanks or control characters, a bad port, an IPv6
// address.
bool parse_server_option(std::string_view text, String* host, int* port, String* error);

bool choose_smtp_route(const RouteSources& sources, SmtpRoute* route, String* error);

// What the Send folder, the trace and the errors show of a route:
// "smtp.example.com:587, STARTTLS required, login as ann (msmtp account
// "work")", "relay.lan:25, STARTTLS when offered, no login".
String describe_smtp_route(const SmtpRoute& route);
// "smtp.example.com:587".
String host_and_port(const String& host, int port);

// The password (or token) of the route: its msmtp password line, else the
// first line printed by its password command. The command runs with
// `timeout_seconds` (at least 60: a password manager may ask the person).
bool obtain_smtp_secret(const SmtpRoute& route, int timeout_seconds, String* secret,
                        String* error);

}  // namespace tessaline
