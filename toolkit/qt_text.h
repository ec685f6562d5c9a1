// qt_text.h - text between the program (UTF-8 String) and Qt (QString).
//
// The program's texts are UTF-8 byte strings; Qt's are UTF-16. Positions
// differ as well: the program counts bytes, Qt counts UTF-16 units, and a
// multi-line box shows every line end (CR LF, CR, LF) as one character.
// qt_position() turns a byte offset of a field's text into the position of
// the same place in the box that shows it.
//
// Not for: text that is not UTF-8 (a byte that is not part of valid UTF-8
// becomes U+FFFD, as Qt does).
//
// Failures: none; offsets out of range are clamped.
#pragma once

#include <QString>

#include "core/string.h"

namespace tessaline {

inline QString qt_text(const String& text) {
  return QString::fromUtf8(text.c_str(), text.length());
}

inline String program_text(const QString& text) {
  QByteArray bytes = text.toUtf8();
  return String(bytes.constData(), static_cast<int>(bytes.size()));
}

// The position in a box showing `text` of the byte offset `offset`. An
// offset inside a UTF-8 sequence counts as the start of that character.
// `multi_line`: the box shows line ends as one character each.
int qt_position(const String& text, int offset, bool multi_line);

}  // namespace tessaline
