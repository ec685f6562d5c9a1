// feedback.h - "Send feedback": a mail to the maker's support address, or
// the maker's support page.
//
// The feedback message is a mailto: link opened in the person's own mail
// program, with a subject that names the program, its version and the
// system it runs on, so that a report says where it comes from:
//
//     mailto:support@tessaline.example?subject=Feedback%20-%20Tessaline%20Mailer%206.0%20(...)
//
// The system is described by the distribution's name (PRETTY_NAME of
// /etc/os-release, else /usr/lib/os-release) and the kernel's name and
// release, "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64". The
// subject and the address are percent-encoded as mailto: links require, so
// a mail program does not cut the subject at its first blank.
//
// Not for: sending mail itself (the person's mail program does).
//
// Failures: false, after an error box, when no program could be started to
// open the link or the page (web/open_address.h).
#pragma once

#include <string_view>

#include "core/string.h"
#include "core/ui.h"

namespace tessaline {

// --- the parts of the link (pure) ---
// Every byte but the unreserved ones (letters, digits, "-", ".", "_", "~")
// and those in `keep` becomes "%XX".
String percent_encode(std::string_view text, const char* keep = "");
// The distribution's name from the text of an os-release file: PRETTY_NAME,
// else NAME, else "Linux" (the file's own default), with its quotes and
// backslash escapes undone.
String distribution_name(std::string_view os_release);
// "DISTRIBUTION, KERNEL RELEASE"; the kernel part alone when the
// distribution is unknown (empty).
String system_description(const String& distribution, const String& kernel,
                          const String& release);
// The description of this system, read from the files and uname().
String this_system_description();
// "mailto:ADDRESS?subject=Feedback - NAME VERSION (SYSTEM)", encoded.
String feedback_link(const String& address, const String& system);

// Opens the feedback message to `address` in the mail program.
bool send_feedback(Ui& ui, const String& address);

// The "Send feedback" command: without a support page, send_feedback at
// once. With one, the person chooses between visiting the page, mailing
// `address`, and cancelling (which does nothing and gives true).
bool technical_support(Ui& ui, const String& address, const String& support_page);

}  // namespace tessaline
