// smtp_extensions.h - what an SMTP server offers in its answer to EHLO.
//
// A 250 reply to EHLO names the server on its first line and one service
// extension on each line after it: a keyword ("PIPELINING", "8BITMIME",
// "STARTTLS") and, for some, parameters ("SIZE 10240000", "AUTH PLAIN
// LOGIN"). SmtpExtensions::parse() reads that text as it arrived (lines
// joined by CR LF, as read_reply() keeps it); the client then asks
// offers("STARTTLS") or auth_mechanisms(). Keywords and mechanisms are
// compared without regard to case, as RFC 5321 has it. The old form
// "AUTH=PLAIN LOGIN", still sent by some servers beside or instead of the
// standard line, counts as an AUTH line.
//
// Not for: the dialogue itself (mail/smtp_client.h), HELO (which offers
// nothing: an empty SmtpExtensions).
//
// Failures: none. The text is the server's and untrusted: a line that is
// not a keyword is skipped, and at most kMaxKeywords keywords and
// kMaxParameters bytes of parameters per keyword are kept.
#pragma once

#include <string_view>

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

class SmtpExtensions {
 public:
  static constexpr int kMaxKeywords = 64;
  static constexpr int kMaxParameters = 512;

  static SmtpExtensions parse(std::string_view ehlo_reply);

  bool empty() const { return keywords_.empty(); }
  // The extension is offered (case does not matter: "starttls" finds
  // "STARTTLS").
  bool offers(std::string_view keyword) const;
  // The parameters after the keyword, single-spaced ("PLAIN LOGIN"), or
  // empty when there are none or the keyword is not offered.
  String parameters(std::string_view keyword) const;
  // The mechanisms of the AUTH line(s), upper-cased, each once.
  const Vector<String>& auth_mechanisms() const { return mechanisms_; }
  bool offers_auth(std::string_view mechanism) const;

 private:
  struct Keyword {
    String name;        // upper-cased
    String parameters;  // as sent, single-spaced
  };
  const Keyword* find(std::string_view keyword) const;
  void add_mechanisms(std::string_view parameters);

  Vector<Keyword> keywords_;
  Vector<String> mechanisms_;
};

}  // namespace tessaline
