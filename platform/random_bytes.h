// random_bytes.h - bytes from the system's random source, for names that
// must not repeat (Message-IDs, send ids).
//
// Not for: keys or anything secret: when the system gives no random bytes
// (getrandom fails) the bytes are made of the time, the process id and a
// counter, which still tell the names of one machine apart but can be
// guessed.
//
// Failures: none; see above.
#pragma once

#include <cstddef>

namespace tessaline {

void random_bytes(unsigned char* out, size_t n);

}  // namespace tessaline
