// line_wrap.h - breaks the long lines of a text body before it is sent.
//
// A line of the project's line length or longer gets a line feed after the
// last blank, comma, hyphen, semicolon, ">" or tab among its first
// line-length characters (a blank or tab right behind that point is left
// at the end of the line, the break going behind it), or a hard break at
// the line length when there is none. So a line of exactly the line length
// that holds a break character is broken too (the line length field
// promises lines under it), while a shorter line is never touched. A break
// that would fall right before an existing line end is left out, since it
// would only add an empty line. Lengths count characters: a valid UTF-8
// sequence is one character, any other byte is one. Existing line ends
// (LF, CR, CR LF, LF CR) are kept.
//
// Not for: HTML bodies, header lines, or reflowing paragraphs (short lines
// are never joined).
//
// Failures: none.
#pragma once

#include "core/string.h"

namespace tessaline {

// The shortest line length the send operation uses.
inline constexpr int kMinLineLength = 20;

// Wraps the text in place at `length` characters per line (at least 1).
void wrap_lines(String& text, int length);

}  // namespace tessaline
