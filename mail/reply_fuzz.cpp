// Fuzzes the SMTP reply reader: the input is cut into the pieces a server
// might send (the first byte gives the piece length), and each finished
// reply must carry its text within the size bound.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaline::ReplyAssembler;
  if (size < 1) return 0;
  size_t piece_length = data[0] % 32 + 1;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  ReplyAssembler reply;
  while (!rest.empty()) {
    std::string_view piece = rest.substr(0, piece_length);
    rest.remove_prefix(piece.size());
    int code = reply.feed(piece);
    if (code == ReplyAssembler::kTooLong) break;
    if (reply.text().length() > ReplyAssembler::kMaxReply) __builtin_trap();
    if (code != ReplyAssembler::kMore) {
      if (code < 0) __builtin_trap();
      reply = ReplyAssembler();  // the next reply starts afresh
    }
  }
  tessaline::reply_code(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
