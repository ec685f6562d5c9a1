// mx_lookup.h - where mail for a domain goes: its MX records (RFC 5321
// section 5.1), looked up through the system's resolver or through the
// name server of the setting DNS_Server, and the addresses of those hosts.
//
// mail_hosts_of() gives the hosts to try for direct delivery, in order:
// the MX hosts by preference (equal preferences in the order the answer
// gave them); the domain itself when it has no MX record (the implicit
// MX); nothing when the domain does not exist or says with a null MX
// ("." , RFC 7505) that it takes no mail. The SMTP client adds its own last
// resort after these ("mail." + the domain).
//
// Not for: the configured server, which is found with getaddrinfo (and
// so also in /etc/hosts).
//
// Failures: the answer comes from the network and is untrusted: records
// that cannot be read are skipped, at most kMaxMailHosts hosts are kept.
// A lookup that fails (no answer, a server failure) says so in `note`.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/containers.h"
#include "core/string.h"
#include "mail/connection.h"

namespace tessaline {

struct MailHost {
  String name;
  int preference = 0;
};

enum class MxStatus {
  kFound,     // MX records, in `hosts`
  kNone,      // the domain exists but has no MX record
  kNoDomain,  // the domain does not exist
  kNullMx,    // the domain takes no mail
  kFailed,    // no usable answer
};

constexpr int kMaxMailHosts = 16;

// Reads a DNS response (the wire form) to an MX query: its MX records,
// sorted by preference. kNullMx for a single MX naming the root.
MxStatus parse_mx_response(const unsigned char* message, int length, Vector<MailHost>* hosts);

// "ADDRESS" or "ADDRESS:PORT" (IPv4; port 53 when none); false otherwise.
bool parse_name_server(std::string_view text, Address* address, uint16_t* port);
// The name server of direct delivery's look-ups ("127.0.0.1:5353"; empty:
// the system's, from /etc/resolv.conf). False, leaving the old one, when
// the text is not an address.
bool set_name_server(const String& text);
// How long one query waits, and how often it is tried.
void set_name_server_patience(int seconds, int attempts);

struct MailHosts {
  MxStatus status = MxStatus::kFailed;
  Vector<MailHost> hosts;  // the hosts to try, in order
  String note;             // why there are none, for the error text
};

// The lookup behind mail_hosts_of(); tests replace it to avoid DNS.
// Returns the previous one (null: the resolver's).
using MxLookup = MailHosts (*)(const String& domain);
MxLookup set_mx_lookup(MxLookup lookup);

MailHosts mail_hosts_of(const String& domain);

// The IPv4 address of a mail host, through the same name server (the
// resolver installed with set_resolver() first, then DNS_Server's, then
// getaddrinfo). False with a getaddrinfo-style code in *error.
bool resolve_mail_host(const char* host, Address* address, int* error);

}  // namespace tessaline
