#include "toolkit/qt_text.h"

namespace tessaline {

int qt_position(const String& text, int offset, bool multi_line) {
  if (offset <= 0) return 0;
  if (offset > text.length()) offset = text.length();
  // Back to the first byte of the character the offset falls in (at most
  // three continuation bytes).
  for (int back = 0; back < 3 && offset < text.length() && offset > 0 &&
                     (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80;
       ++back) {
    --offset;
  }
  QString prefix = QString::fromUtf8(text.c_str(), offset);
  int position = static_cast<int>(prefix.size());
  if (multi_line) {
    // A CR LF pair is one character of the box; an offset between the two
    // is the place before the pair.
    position -= static_cast<int>(prefix.count(QLatin1String("\r\n")));
    if (prefix.endsWith('\r') && offset < text.length() && text[offset] == '\n') --position;
  }
  return position;
}

}  // namespace tessaline
