// help.h - help topics: the user manual opened in the browser at a topic.
//
// The windows name their help by topic: every folder and project field
// carries a help key in the project field table (app/project_fields.cpp),
// and the other windows have the topics listed below. The manual
// (docs/manual.md) is built into manual.html with one anchor per topic; a
// topic's anchor is its words in lower case joined by "-" ("reply to" is
// #reply-to, "preview dialog, send" is #preview-dialog-send). The program's
// own help key, "trenk", and an empty topic open the manual at its start.
//
// The manual is looked for next to the program: first where `cmake
// --install` puts it (PREFIX/share/doc/tessaline-mailer/manual.html, found
// from PREFIX/bin, so a moved install still finds its own), then in the
// build tree (BUILD/docs/manual.html, for a program run where it was
// built).
//
// Not for: tooltips (the field table's help texts), the About box.
//
// Failures: open_help() shows one error box and returns false when no
// manual is found ("The manual was not found. ...") or when the desktop's
// opener could not be started ("Unable to open the manual:\n" and its
// address). Whether a browser then shows the page is the desktop's
// business.
#pragma once

#include "core/containers.h"
#include "core/string.h"
#include "core/ui.h"

namespace tessaline {

// The program's own help key: the manual as a whole.
inline constexpr const char kProgramHelp[] = "trenk";

// Topics of the windows that are not folders or project fields.
inline constexpr const char kHelpSmtpServer[] = "smtp server";    // the SMTP server box
inline constexpr const char kHelpSendButton[] = "send button";    // "Send Messages"
inline constexpr const char kHelpSendPreview[] = "send preview";  // the preview window
inline constexpr const char kHelpDiscardMessage[] = "discard message";
inline constexpr const char kHelpPreviewSend[] = "preview dialog, send";
inline constexpr const char kHelpTestMessage[] = "test message";
inline constexpr const char kHelpRemoveRecipients[] = "remove recipients";

// Every topic the program opens help at, each once: the folders' and the
// project fields' help keys, then the topics above. A window that opens
// help at a new topic adds it here; the tests check that the manual has an
// anchor for each.
Vector<String> help_topics();

// The anchor of the topic in manual.html, without "#"; "" for the program's
// own help key and for an empty or null topic.
String help_anchor(const char* topic);

// The manual that belongs to the program at `program` (an executable's
// absolute path), or "" when there is none.
String find_manual(const String& program);

// A file: URL of an absolute path, with "#" and the anchor when there is
// one. Bytes other than letters, digits, "/" and "-._~" are written as %XX,
// so a blank or a "#" in a folder name cannot cut the address short.
String file_url(const String& path, const String& anchor);

// The address of the topic in the running program's manual; "" when no
// manual is found.
String help_url(const char* topic);

// Opens the topic's address with `opener` (the desktop's default program
// for it: platform/open_document.h). False, after an error box, when there
// is no manual or the opener fails.
using DocumentOpener = bool (*)(const String& document);
bool open_help(Ui& ui, const char* topic, DocumentOpener opener = nullptr);

}  // namespace tessaline
