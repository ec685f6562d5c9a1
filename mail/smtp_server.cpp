#include "mail/smtp_server.h"

#include <unistd.h>

#include <cstdlib>

#include "core/fiber.h"
#include "storage/paths.h"
#include "storage/registry.h"
#include "mail/msmtprc.h"
#include "mail/mx_lookup.h"

namespace tessaline {

const SettingInfo kSmtpPortSetting = {"SMTP_Port", "SMTP Port",
                                      "The port used by SMTP email transactions (usually 25)"};
const SettingInfo kSmtpServerSetting = {
    "SMTP_Server", "SMTP Server Name",
    "The name of the mail server for SMTP email transactions (smtp.example.com)"};
const SettingInfo kSmtpTimeoutSetting = {
    "SMTP_Timeout", "SMTP Timeout",
    "Seconds to wait for the mail server to connect or answer before giving up (usually 60)"};

namespace {

const SettingInfo kDeliverySettings[] = {
    {"SMTP_Account", "Mail Account",
     "The msmtp account to send through (empty: msmtp's default account, for its own server)"},
    {"SMTP_User", "SMTP User Name",
     "The user name of the login at a server that is not an msmtp account's (empty: no login)"},
    {"SMTP_Auth", "SMTP Login Method",
     "on, off, plain, login or xoauth2 (empty: on when a user name is set)"},
    {"SMTP_PasswordEval", "SMTP Password Command",
     "A command that prints the password or access token of the login, for example:  "
     "secret-tool lookup host smtp.example.com"},
    {"SMTP_TrustFile", "SMTP Trusted Certificates",
     "A file of CA certificates (PEM) to check the server's certificate with (empty: the "
     "system's)"},
    {"SMTP_CertCheck", "Check SMTP Certificates",
     "1: the server's certificate must be valid and made out to it (usually 1)"},
    {"SMTP_LoginWithoutTls", "Login Without Encryption",
     "1: allow a login over a connection that is not encrypted (usually 0)"},
    {"DNS_Server", "Name Server",
     "The name server that direct delivery asks for the mail hosts of a domain, as ADDRESS or "
     "ADDRESS:PORT (empty: the system's)"},
};

struct NetState {
  SmtpSettings settings;
  SmtpRoute route;
  String msmtprc;
  String msmtprc_path;
  Address server_address;  // cache; null: not looked up
  String host_name;
  Address host_address;
};

NetState& state() {
  static NetState net;
  return net;
}

// Reads a number that must fit a port; false leaves *port alone.
bool read_port(const RegistryReader& registry, std::string_view key, std::string_view name,
               int* port) {
  int value = 0;
  if (!registry.read_number(key, name, &value)) return false;
  if (value < 0 || value > 65535) return false;
  *port = value;
  return true;
}

// The system's default mail account, when the registry names one.
bool read_mail_account(const RegistryReader& registry, SmtpSettings* settings) {
  String account;
  if (!registry.read_text(kMailAccountKey, "Default Mail Account", &account) || account.empty()) {
    return false;
  }
  String key = String(kMailAccountKey) + "\\Accounts\\" + account;
  if (!registry.key_exists(key.view())) return false;
  int port = 25;
  read_port(registry, key.view(), "SMTP Port", &port);
  settings->port = port == 0 ? 25 : port;
  registry.read_text(key.view(), "SMTP Server", &settings->server);
  return true;
}

// Opens the key named by its full path ("HKEY_USERS\\...") without
// creating it, and closes it again when done.
class OpenKey {
 public:
  explicit OpenKey(std::string_view key) {
    using registry::Root;
    for (Root root : {Root::kClassesRoot, Root::kCurrentUser, Root::kLocalMachine, Root::kUsers,
                      Root::kCurrentConfig}) {
      std::string_view name = registry::root_name(root);
      if (key.starts_with(name)) {
        String path(key.substr(name.size()));
        open_ = registry::open_key(root, path, registry::kOpenOnly) != registry::kOpenFailed;
        return;
      }
    }
  }
  ~OpenKey() {
    if (open_) registry::close_key();
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  bool is_open() const { return open_; }

 private:
  bool open_ = false;
};

class ProgramRegistry : public RegistryReader {
 public:
  bool key_exists(std::string_view key) const override { return OpenKey(key).is_open(); }
  bool read_text(std::string_view key, std::string_view name, String* value) const override {
    OpenKey open(key);
    String value_name(name);
    return open.is_open() && registry::get_string(value_name.c_str(), *value);
  }
  bool read_number(std::string_view key, std::string_view name, int* value) const override {
    OpenKey open(key);
    String value_name(name);
    if (!open.is_open() || !registry::value_exists(value_name.c_str())) return false;
    *value = registry::get_int(value_name.c_str(), 0);
    return true;
  }
};

}  // namespace

int delivery_setting_count() {
  return static_cast<int>(sizeof kDeliverySettings / sizeof kDeliverySettings[0]);
}

const SettingInfo& delivery_setting(int i) { return kDeliverySettings[i]; }

const RegistryReader& program_registry() {
  static const ProgramRegistry reader;
  return reader;
}

Vector<String> msmtprc_paths(const char* home, const char* xdg_config_home) {
  Vector<String> paths;
  if (home && *home) paths.append(String(home) + "/.msmtprc");
  if (xdg_config_home && *xdg_config_home) {
    paths.append(String(xdg_config_home) + "/msmtp/config");
  } else if (home && *home) {
    paths.append(String(home) + "/.config/msmtp/config");
  }
  return paths;
}

SmtpSettings default_smtp_settings(const RegistryReader* registry, std::string_view msmtprc) {
  SmtpSettings settings;
  bool found = registry && read_mail_account(*registry, &settings);
  if (!found) {
    MsmtpAccount account;
    if (read_msmtp_default_account(msmtprc, &account)) {
      settings.server = account.host;
      if (account.port) settings.port = account.port;
    }
  }
  // Values stored by the user win over the account's.
  if (registry && registry->key_exists(kToolkitKey)) {
    read_port(*registry, kToolkitKey, kSmtpPortSetting.name, &settings.port);
    registry->read_text(kToolkitKey, kSmtpServerSetting.name, &settings.server);
    int seconds = 0;
    if (registry->read_number(kToolkitKey, kSmtpTimeoutSetting.name, &seconds) && seconds >= 0) {
      settings.timeout_seconds = seconds;
    }
    DeliverySettings& d = settings.delivery;
    String* texts[] = {&d.account, &d.user, &d.auth, &d.password_command, &d.trust_file};
    for (int i = 0; i < 5; ++i) registry->read_text(kToolkitKey, kDeliverySettings[i].name, texts[i]);
    int flag = 0;
    if (registry->read_number(kToolkitKey, kDeliverySettings[5].name, &flag)) {
      d.check_certificate = flag != 0;
    }
    if (registry->read_number(kToolkitKey, kDeliverySettings[6].name, &flag)) {
      d.login_without_tls = flag != 0;
    }
    registry->read_text(kToolkitKey, kDeliverySettings[7].name, &d.name_server);
  }
  return settings;
}

int net_startup(const RegistryReader* registry) {
  String msmtprc, msmtprc_path;
  for (const String& path : msmtprc_paths(std::getenv("HOME"), std::getenv("XDG_CONFIG_HOME"))) {
    if (read_whole_file(path, msmtprc)) {
      msmtprc_path = path;
      break;
    }
  }
  NetState& net = state();
  net.settings = default_smtp_settings(registry, msmtprc.view());
  net.msmtprc = msmtprc;
  net.msmtprc_path = msmtprc_path;
  net.route = SmtpRoute();
  net.route.host = net.settings.server;
  net.route.port = net.settings.port;
  net.route.direct_port = net.settings.port;
  set_name_server(net.settings.delivery.name_server);
  net.server_address = Address();

  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) name[0] = 0;
  net.host_name = name;
  Address local;
  if (!resolve(name, &local)) return 3;
  net.host_address = local;
  return 0;
}

void net_shutdown() { state().host_name.clear(); }

const String& local_host_name() { return state().host_name; }
Address local_address() { return state().host_address; }

const String& smtp_server_name() { return state().settings.server; }
uint16_t smtp_port() { return static_cast<uint16_t>(state().settings.port); }
int smtp_timeout() { return state().settings.timeout_seconds; }

void set_smtp_server(const String& name) {
  state().settings.server = name;
  state().route.host = name;
  state().server_address.is_null = true;
}

void set_smtp_port(int port) {
  NetState& net = state();
  net.settings.port = port >= 0 && port <= 65535 ? port : 0;
  net.route.port = net.settings.port;
  net.route.direct_port = net.settings.port;
}

const DeliverySettings& delivery_settings() { return state().settings.delivery; }

void set_delivery_settings(const DeliverySettings& settings) {
  state().settings.delivery = settings;
  set_name_server(settings.name_server);
}

const String& msmtp_configuration() { return state().msmtprc; }
const String& msmtp_configuration_path() { return state().msmtprc_path; }

RouteSources smtp_route_sources() {
  RouteSources sources;
  sources.settings = state().settings.delivery;
  sources.msmtprc = state().msmtprc;
  sources.msmtprc_path = state().msmtprc_path;
  const char* home = std::getenv("HOME");
  if (home) sources.home = home;
  return sources;
}

const SmtpRoute& smtp_route() { return state().route; }

void set_smtp_route(const SmtpRoute& route) {
  NetState& net = state();
  int direct_port = route.direct_port;
  set_smtp_server(route.host);
  set_smtp_port(route.port);
  net.route = route;
  net.route.port = net.settings.port;
  net.route.direct_port = direct_port >= 0 && direct_port <= 65535 ? direct_port : 0;
}

void set_smtp_timeout(int seconds) { state().settings.timeout_seconds = seconds < 0 ? 0 : seconds; }

Address smtp_server_address() {
  NetState& net = state();
  if (net.server_address.is_null) resolve(net.settings.server.c_str(), &net.server_address);
  return net.server_address;
}

namespace {
FiberLocal<Connection> fiber_connection;
}

Connection& smtp_connection() {
  static Connection process_wide;
  Connection* given = fiber_connection.get();
  return given ? *given : process_wide;
}

void use_smtp_connection(Connection* connection) { fiber_connection.set(connection); }

}  // namespace tessaline
