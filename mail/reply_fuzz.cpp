// Fuzzes the SMTP reply reader: the input is cut into the pieces a server
// might send (the first byte gives the piece length), and each finished
// reply must carry its text within the size bound. The excerpt of a reply
// that error texts show must stay within its own bound and begin with the
// reply's text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/string.h"
#include "mail/connection.h"
#include "mail/smtp_client.h"

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
      // The next reply starts with what arrived after this one.
      tessaline::String next = reply.rest();
      reply = ReplyAssembler();
      while (!next.empty()) {
        int again = reply.feed(next.view());
        if (again == ReplyAssembler::kMore || again == ReplyAssembler::kTooLong) break;
        next = reply.rest();
        reply = ReplyAssembler();
      }
    }
  }
  std::string_view all(reinterpret_cast<const char*>(data), size);
  tessaline::reply_code(all);
  tessaline::String excerpt = tessaline::reply_excerpt(all);
  if (all.size() <= static_cast<size_t>(tessaline::kReplyExcerpt)) {
    if (excerpt.view() != all) __builtin_trap();
  } else {
    int mark = excerpt.find("\r\n[... ");
    if (mark < 0 || mark > tessaline::kReplyExcerpt) __builtin_trap();
    if (excerpt.length() > tessaline::kReplyExcerpt + 64) __builtin_trap();
    if (all.substr(0, static_cast<size_t>(mark)) != excerpt.view().substr(0, mark)) __builtin_trap();
  }
  return 0;
}
