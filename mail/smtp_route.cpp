#include "mail/smtp_route.h"

#include <algorithm>

#include "platform/command_output.h"
#include "mail/msmtprc.h"

namespace tessaline {

namespace {

String trimmed(std::string_view text) {
  String result(text);
  result.trim();
  return result;
}

bool names_a_mechanism(AuthSetting auth) {
  return auth == AuthSetting::kPlain || auth == AuthSetting::kLogin || auth == AuthSetting::kXoauth2;
}

}  // namespace

const char* tls_mode_name(TlsMode mode) {
  switch (mode) {
    case TlsMode::kAutomatic: return "automatic";
    case TlsMode::kOff: return "no encryption";
    case TlsMode::kOpportunistic: return "STARTTLS when offered";
    case TlsMode::kStartTls: return "STARTTLS required";
    case TlsMode::kImplicit: return "TLS from the start";
  }
  return "";
}

TlsOptions SmtpRoute::tls_options() const {
  TlsOptions options;
  options.host = host;
  options.check_certificate = check_certificate;
  options.trust_file = trust_file;
  return options;
}

String host_and_port(const String& host, int port) {
  return String::formatted("%s:%d", host.c_str(), port);
}

bool parse_server_option(std::string_view text, String* host, int* port, String* error) {
  host->clear();
  *port = 0;
  String given(text);
  auto bad = [&](const char* why) {
    error->format("The server given with --server is not valid: %s\n%s (give HOST or HOST:PORT)",
                  given.c_str(), why);
    return false;
  };
  if (!text.empty() && text.front() == '[') return bad("IPv6 addresses are not supported.");
  size_t colon = text.rfind(':');
  std::string_view name = text.substr(0, colon);
  if (colon != std::string_view::npos) {
    if (name.find(':') != std::string_view::npos) return bad("IPv6 addresses are not supported.");
    std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return is_digit(c); })) {
      return bad("The port must be a number from 1 to 65535.");
    }
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    if (value < 1 || value > 65535) return bad("The port must be a number from 1 to 65535.");
    *port = value;
  }
  if (name.empty() || name.size() > 255) return bad("The host name is missing.");
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '/' || c == '@') {
      return bad("A host name holds no blanks, control characters, \"/\" or \"@\".");
    }
  }
  *host = String(name);
  return true;
}

bool choose_smtp_route(const RouteSources& s, SmtpRoute* route, String* error) {
  *route = SmtpRoute();
  error->clear();
  String option_host;
  int option_port = 0;
  if (!s.server_option.empty() &&
      !parse_server_option(s.server_option.view(), &option_host, &option_port, error)) {
    return false;
  }

  String account_name = trimmed(s.account_option.view());
  if (account_name.empty()) account_name = trimmed(s.project_account.view());
  if (account_name.empty()) account_name = trimmed(s.settings.account.view());
  const bool named = !account_name.empty();
  MsmtpAccount account;
  bool have_account = false;
  if (named) {
    if (s.msmtprc.empty()) {
      error->format("The mail account \"%s\" cannot be used: no msmtp configuration was found "
                    "(~/.msmtprc or ~/.config/msmtp/config).",
                    account_name.c_str());
      return false;
    }
    if (!read_msmtp_account(s.msmtprc.view(), account_name.view(), &account, s.home.view())) {
      error->format("The mail account \"%s\" is not in the msmtp configuration %s (or it names "
                    "no host).",
                    account_name.c_str(), s.msmtprc_path.c_str());
      return false;
    }
    have_account = true;
  }

  route->host = !option_host.empty() ? option_host
                : named             ? account.host
                                    : trimmed(s.server_field.view());
  if (!named && !s.msmtprc.empty() && !route->host.empty()) {
    MsmtpAccount fallback;
    if (read_msmtp_account(s.msmtprc.view(), "default", &fallback, s.home.view()) &&
        fallback.host.equals_ignore_case(route->host.c_str())) {
      if (option_host.empty()) route->host = fallback.host;
      account = fallback;
      have_account = true;
    }
  }

  route->direct_port = s.project_port;
  TlsMode mode = s.project_security >= 1 && s.project_security <= 4
                     ? static_cast<TlsMode>(s.project_security)
                     : TlsMode::kAutomatic;
  if (have_account) {
    route->account = account.name;
    route->configuration = s.msmtprc_path;
    route->from = account.from;
    if (mode == TlsMode::kAutomatic) {
      mode = !account.tls              ? TlsMode::kOff
             : account.tls_starttls    ? TlsMode::kStartTls
                                       : TlsMode::kImplicit;
    }
    route->port = option_port ? option_port
                  : account.port ? account.port
                  : mode == TlsMode::kImplicit ? 465
                                               : 25;
    route->check_certificate = account.tls_certcheck;
    route->trust_file = account.tls_trust_file;
    AuthSetting auth = AuthSetting::kOff;
    if (account.auth_given && !parse_auth_setting(account.auth.view(), &auth)) {
      error->format("The mail account \"%s\" asks for the login method %s, which this program "
                    "does not speak: use auth on, plain, login or xoauth2.",
                    account.name.c_str(), account.auth.c_str());
      return false;
    }
    route->auth = auth;
    route->user = account.user;
    if (account.password_given) route->password = account.password;
    route->password_command = account.passwordeval;
    route->login_without_tls = s.settings.login_without_tls || names_a_mechanism(auth);
  } else {
    route->port = option_port ? option_port : s.project_port;
    if (mode == TlsMode::kAutomatic) {
      mode = route->port == 465 ? TlsMode::kImplicit : TlsMode::kOpportunistic;
    }
    route->check_certificate = s.settings.check_certificate;
    route->trust_file = s.settings.trust_file;
    AuthSetting auth = s.settings.user.empty() ? AuthSetting::kOff : AuthSetting::kOn;
    if (!s.settings.auth.empty() && !parse_auth_setting(s.settings.auth.view(), &auth)) {
      error->format("The setting SMTP_Auth holds \"%s\": use on, off, plain, login or xoauth2.",
                    s.settings.auth.c_str());
      return false;
    }
    route->auth = auth;
    route->user = s.settings.user;
    route->password_command = s.settings.password_command;
    route->login_without_tls = s.settings.login_without_tls;
  }
  route->tls = mode;
  if (route->wants_login() && route->user.empty()) {
    error->format("A login is set up for %s, but no user name: give one (msmtp's user, or the "
                  "setting SMTP_User).",
                  host_and_port(route->host, route->port).c_str());
    return false;
  }
  return true;
}

String describe_smtp_route(const SmtpRoute& route) {
  String text = host_and_port(route.host, route.port) + ", " + tls_mode_name(route.tls);
  if (route.tls != TlsMode::kOff && !route.check_certificate) text += ", certificate not checked";
  if (route.wants_login()) {
    text += ", login as " + route.user;
    if (names_a_mechanism(route.auth)) text += String(" (") + auth_setting_name(route.auth) + ")";
  } else {
    text += ", no login";
  }
  if (!route.account.empty()) text += " (msmtp account \"" + route.account + "\")";
  return text;
}

bool obtain_smtp_secret(const SmtpRoute& route, int timeout_seconds, String* secret,
                        String* error) {
  secret->clear();
  error->clear();
  if (!route.password.empty()) {
    *secret = route.password;
    return true;
  }
  String where = route.account.empty() ? String("the setting SMTP_PasswordEval")
                                       : "msmtp account \"" + route.account + "\"";
  if (route.password_command.empty()) {
    error->format("No password is set up for the login as %s at %s (msmtp's password or "
                  "passwordeval, or the setting SMTP_PasswordEval).",
                  route.user.c_str(), host_and_port(route.host, route.port).c_str());
    return false;
  }
  String reason;
  if (!first_line_of_command(route.password_command, std::max(60, timeout_seconds), secret,
                             &reason)) {
    error->format("The password command of %s gave no password: %s.", where.c_str(),
                  reason.c_str());
    return false;
  }
  return true;
}

}  // namespace tessaline
