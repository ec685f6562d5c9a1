// smtp_server.h - which SMTP server the program talks to, and the one
// process-wide SMTP connection.
//
// Three settings name the server: SMTP_Server (a host name), SMTP_Port and
// SMTP_Timeout (seconds for connect and for every reply; 0 waits for
// ever); more say how to reach it (TLS, the login, direct delivery's name
// server: delivery_setting()). net_startup() gives them their defaults once, before any window
// opens: the default mail account under the registry key kMailAccountKey
// when a registry reader is plugged in and the key names one; else the
// default account of the user's msmtp configuration (~/.msmtprc, else
// $XDG_CONFIG_HOME/msmtp/config); else port 25 and no server. Values the
// user stored under kToolkitKey then win over those defaults.
//
// Not for: the SMTP dialogue (mail/smtp_client.h), storing settings.
//
// Failures: start-up is silent; a missing or unreadable configuration
// leaves the defaults, and a server that cannot be found shows up later as
// a failure to connect.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/containers.h"
#include "core/string.h"
#include "mail/connection.h"
#include "mail/smtp_route.h"

namespace tessaline {

// The registry layer, as far as server lookup needs it. Keys are full
// paths with their root ("HKEY_USERS\..."); every read returns false when
// the key or the value is absent.
class RegistryReader {
 public:
  virtual ~RegistryReader() = default;
  virtual bool key_exists(std::string_view key) const = 0;
  virtual bool read_text(std::string_view key, std::string_view name, String* value) const = 0;
  virtual bool read_number(std::string_view key, std::string_view name, int* value) const = 0;
};

// The program's registry layer (storage/registry.h) seen through this
// interface.
const RegistryReader& program_registry();

// Where the system's default mail account is named ("Default Mail Account"
// holds the account; "Accounts\<account>" holds "SMTP Server" and
// "SMTP Port").
inline constexpr const char kMailAccountKey[] =
    "HKEY_USERS\\.DEFAULT\\Software\\Microsoft\\Internet Account Manager";
// Where the settings below are stored by name.
inline constexpr const char kToolkitKey[] = "HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork";

// A program setting as the configuration editor lists it.
struct SettingInfo {
  const char* name;
  const char* caption;
  const char* help;
};
extern const SettingInfo kSmtpPortSetting;
extern const SettingInfo kSmtpServerSetting;
extern const SettingInfo kSmtpTimeoutSetting;
// The settings of TLS, the login and direct delivery (DeliverySettings in
// mail/smtp_route.h), in the order the configuration editor lists them:
// SMTP_Account, SMTP_User, SMTP_Auth, SMTP_PasswordEval, SMTP_TrustFile,
// SMTP_CertCheck, SMTP_LoginWithoutTls, DNS_Server. None of them holds a
// password.
int delivery_setting_count();
const SettingInfo& delivery_setting(int i);

struct SmtpSettings {
  String server;
  int port = 25;
  int timeout_seconds = 60;
  DeliverySettings delivery;
};

// The defaults as described above, from the registry (may be null: no
// registry layer) and the text of the msmtp configuration (may be empty).
SmtpSettings default_smtp_settings(const RegistryReader* registry, std::string_view msmtprc);

// Where msmtp looks for its configuration, in order: HOME/.msmtprc, then
// XDG_CONFIG_HOME/msmtp/config (HOME/.config when that is unset). Null or
// empty folders are skipped.
Vector<String> msmtprc_paths(const char* home, const char* xdg_config_home);

// Fills the settings from default_smtp_settings() with the registry (null:
// none) and the msmtp configuration found through $HOME and
// $XDG_CONFIG_HOME, resolves the local host name, and returns 0, or 3 when
// the local host name does not resolve. Called once at start-up; the caller
// may ignore the result.
int net_startup(const RegistryReader* registry = &program_registry());
void net_shutdown();
const String& local_host_name();
Address local_address();

const String& smtp_server_name();
uint16_t smtp_port();
int smtp_timeout();
// A new server name forces a new look-up; a new port does not.
void set_smtp_server(const String& name);
void set_smtp_port(int port);
void set_smtp_timeout(int seconds);
// The configured server's address, looked up once per name; null when the
// name is empty or does not resolve (then resolve_error() says why).
Address smtp_server_address();

// The settings of TLS, the login and direct delivery read at start-up.
const DeliverySettings& delivery_settings();
void set_delivery_settings(const DeliverySettings& settings);

// The msmtp configuration found at start-up (its text; empty when there is
// none) and its path.
const String& msmtp_configuration();
const String& msmtp_configuration_path();

// What a route needs from the program's side: the delivery settings, the
// msmtp configuration and $HOME. The caller adds the command line's and
// the project's values.
RouteSources smtp_route_sources();

// The route of the configured server in use: host and port are also
// smtp_server_name() and smtp_port(). set_smtp_server() and
// set_smtp_port() change only those two; a route set here brings TLS and
// the login too. A new route forgets a password fetched for the old one.
const SmtpRoute& smtp_route();
void set_smtp_route(const SmtpRoute& route);

// The SMTP connection that send_message(), smtp_connect() and quit() use:
// the one of the process, or the one given to the running fiber with
// use_smtp_connection() (core/fiber.h), so that a send over several
// connections runs the same dialogue on each. Null gives the fiber the
// process's connection again.
Connection& smtp_connection();
void use_smtp_connection(Connection* connection);

}  // namespace tessaline
