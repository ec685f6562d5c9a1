#include "mail/mx_lookup.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <cstring>

namespace tessaline {

namespace {

struct NameServer {
  bool set = false;
  Address address;
  uint16_t port = 53;
  int seconds = 5;
  int attempts = 2;
};

NameServer& name_server() {
  static NameServer server;
  return server;
}

MxLookup current_lookup = nullptr;

// One query of `type` for `name`; the answer's length, or -1 with the
// resolver's h_errno in *failure.
int query(const char* name, int type, unsigned char* answer, int size, int* failure) {
  struct __res_state state;
  std::memset(&state, 0, sizeof state);
  if (res_ninit(&state) != 0) {
    *failure = NO_RECOVERY;
    return -1;
  }
  const NameServer& server = name_server();
  if (server.set) {
    state.nscount = 1;
    sockaddr_in& entry = state.nsaddr_list[0];
    std::memset(&entry, 0, sizeof entry);
    entry.sin_family = AF_INET;
    entry.sin_port = htons(server.port);
    std::memcpy(&entry.sin_addr.s_addr, server.address.bytes, 4);
  }
  state.retrans = server.seconds;
  state.retry = server.attempts;
  int length = res_nquery(&state, name, ns_c_in, type, answer, size);
  *failure = state.res_h_errno;
  res_nclose(&state);
  return length;
}

MailHosts resolver_lookup(const String& domain) {
  MailHosts result;
  unsigned char answer[NS_PACKETSZ * 4];
  int failure = 0;
  int length = query(domain.c_str(), ns_t_mx, answer, sizeof answer, &failure);
  if (length < 0) {
    switch (failure) {
      case HOST_NOT_FOUND:
        result.status = MxStatus::kNoDomain;
        result.note = "the domain " + domain + " does not exist";
        break;
      case NO_DATA:
        result.status = MxStatus::kNone;
        break;
      default:
        result.status = MxStatus::kFailed;
        result.note = "the mail hosts of " + domain + " could not be looked up (" +
                      hstrerror(failure) + ")";
        break;
    }
    return result;
  }
  result.status = parse_mx_response(answer, length, &result.hosts);
  if (result.status == MxStatus::kFailed) {
    result.note = "the answer about the mail hosts of " + domain + " could not be read";
  }
  return result;
}

}  // namespace

MxStatus parse_mx_response(const unsigned char* message, int length, Vector<MailHost>* hosts) {
  hosts->clear();
  ns_msg parsed;
  if (!message || length <= 0 || ns_initparse(message, length, &parsed) < 0) return MxStatus::kFailed;
  if (ns_msg_getflag(parsed, ns_f_rcode) == ns_r_nxdomain) return MxStatus::kNoDomain;
  int count = ns_msg_count(parsed, ns_s_an);
  bool null_mx = false;
  for (int i = 0; i < count; ++i) {
    ns_rr record;
    if (ns_parserr(&parsed, ns_s_an, i, &record) < 0) break;
    if (ns_rr_type(record) != ns_t_mx || ns_rr_class(record) != ns_c_in) continue;
    if (ns_rr_rdlen(record) < 3) continue;
    const unsigned char* data = ns_rr_rdata(record);
    char name[NS_MAXDNAME];
    if (dn_expand(ns_msg_base(parsed), ns_msg_end(parsed), data + 2, name, sizeof name) < 0) continue;
    String host(name);
    if (host.empty() || host == ".") {
      null_mx = true;
      continue;
    }
    host.strip_trailing('.');
    if (hosts->count() < kMaxMailHosts) hosts->append({host, static_cast<int>(ns_get16(data))});
  }
  if (hosts->empty()) return null_mx ? MxStatus::kNullMx : MxStatus::kNone;
  std::stable_sort(hosts->begin(), hosts->end(),
                   [](const MailHost& a, const MailHost& b) { return a.preference < b.preference; });
  return MxStatus::kFound;
}

bool parse_name_server(std::string_view text, Address* address, uint16_t* port) {
  *port = 53;
  size_t colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (colon != std::string_view::npos) {
    std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    int value = 0;
    for (char c : digits) {
      if (!is_digit(c)) return false;
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
  }
  String quad(host);
  in_addr parsed{};
  if (inet_pton(AF_INET, quad.c_str(), &parsed) != 1) return false;
  const auto* b = reinterpret_cast<const uint8_t*>(&parsed.s_addr);
  *address = Address::from_bytes(b[0], b[1], b[2], b[3]);
  return true;
}

bool set_name_server(const String& text) {
  NameServer& server = name_server();
  String trimmed = text;
  trimmed.trim();
  if (trimmed.empty()) {
    server.set = false;
    return true;
  }
  Address address;
  uint16_t port = 53;
  if (!parse_name_server(trimmed.view(), &address, &port)) return false;
  server.set = true;
  server.address = address;
  server.port = port;
  return true;
}

void set_name_server_patience(int seconds, int attempts) {
  name_server().seconds = std::clamp(seconds, 1, 30);
  name_server().attempts = std::clamp(attempts, 1, 5);
}

MxLookup set_mx_lookup(MxLookup lookup) {
  MxLookup previous = current_lookup;
  current_lookup = lookup;
  return previous;
}

MailHosts mail_hosts_of(const String& domain) {
  MailHosts result = current_lookup ? current_lookup(domain) : resolver_lookup(domain);
  // A domain without MX records takes mail at its own address.
  if (result.status == MxStatus::kNone) {
    result.hosts.clear();
    result.hosts.append({domain, 0});
  } else if (result.status == MxStatus::kNullMx) {
    result.hosts.clear();
    result.note = "the domain " + domain + " takes no mail (its MX record is \".\")";
  }
  return result;
}

bool resolve_mail_host(const char* host, Address* address, int* error) {
  if (!name_server().set || !host || !*host) {
    if (resolve(host, address)) return true;
    *error = resolve_error();
    return false;
  }
  in_addr literal{};
  // An address, or a resolver a test installed, is resolve()'s to handle.
  Resolver installed = set_resolver(nullptr);
  set_resolver(installed);
  if (installed || inet_pton(AF_INET, host, &literal) == 1) {
    if (resolve(host, address)) return true;
    *error = resolve_error();
    return false;
  }
  unsigned char answer[NS_PACKETSZ * 2];
  int failure = 0;
  int length = query(host, ns_t_a, answer, sizeof answer, &failure);
  ns_msg parsed;
  if (length > 0 && ns_initparse(answer, length, &parsed) == 0) {
    for (int i = 0; i < ns_msg_count(parsed, ns_s_an); ++i) {
      ns_rr record;
      if (ns_parserr(&parsed, ns_s_an, i, &record) < 0) break;
      if (ns_rr_type(record) != ns_t_a || ns_rr_rdlen(record) != 4) continue;
      const unsigned char* b = ns_rr_rdata(record);
      *address = Address::from_bytes(b[0], b[1], b[2], b[3]);
      return true;
    }
  }
  *error = failure == HOST_NOT_FOUND ? EAI_NONAME : failure == NO_DATA ? EAI_NODATA : EAI_AGAIN;
  return false;
}

}  // namespace tessaline
