// send_journal.cpp - the send journal's records, its reader and its writer.
#include "send/send_journal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <limits>

#include "core/fiber.h"
#include "platform/random_bytes.h"
#include "storage/file.h"
#include "storage/paths.h"

namespace tessaline {

namespace {

enum RecordType : uint8_t {
  kIdentity = 1,
  kRun = 2,
  kPlan = 3,
  kPlanEnd = 4,
  kAttempt = 5,
  kOutcome = 6,
  kRunEnd = 7,
  kAnswered = 8,
};

uint32_t crc32(const char* bytes, size_t n) {
  static uint32_t table[256];
  static bool made = [] {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return true;
  }();
  (void)made;
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = table[(c ^ static_cast<uint8_t>(bytes[i])) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// Builds a record's payload, then frames it.
class RecordBuilder {
 public:
  explicit RecordBuilder(RecordType type) { body_.append(static_cast<char>(type)); }
  RecordBuilder& u8(uint32_t v) { return put(v, 1); }
  RecordBuilder& u16(uint32_t v) { return put(v, 2); }
  RecordBuilder& u32(uint32_t v) { return put(v, 4); }
  RecordBuilder& i64(int64_t v) { return put(static_cast<uint64_t>(v), 8); }
  RecordBuilder& bytes(std::string_view b) {
    body_.append(b);
    return *this;
  }
  RecordBuilder& text(std::string_view t) {
    u32(static_cast<uint32_t>(t.size()));
    return bytes(t);
  }
  String framed() const {
    String record;
    uint32_t n = static_cast<uint32_t>(body_.length());
    append_le(record, n, 4);
    record.append(body_);
    append_le(record, crc32(body_.c_str(), body_.length()), 4);
    return record;
  }

 private:
  static void append_le(String& out, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  RecordBuilder& put(uint64_t v, int width) {
    append_le(body_, v, width);
    return *this;
  }
  String body_;
};

// Reads a payload; every read fails once the payload is used up, and a
// payload must be used up exactly.
class PayloadReader {
 public:
  explicit PayloadReader(std::string_view payload) : p_(payload) {}
  bool u8(uint32_t* v) { return get(v, 1); }
  bool u16(uint32_t* v) { return get(v, 2); }
  bool u32(uint32_t* v) { return get(v, 4); }
  bool i64(int64_t* v) {
    uint64_t u = 0;
    if (!get64(&u, 8)) return false;
    *v = static_cast<int64_t>(u);
    return true;
  }
  bool bytes(size_t n, std::string_view* out) {
    if (p_.size() - at_ < n) return false;
    *out = p_.substr(at_, n);
    at_ += n;
    return true;
  }
  bool text(String* out) {
    uint32_t n = 0;
    std::string_view b;
    if (!u32(&n) || !bytes(n, &b)) return false;
    *out = String(b);
    return true;
  }
  bool done() const { return at_ == p_.size(); }

 private:
  bool get64(uint64_t* v, int width) {
    if (p_.size() - at_ < static_cast<size_t>(width)) return false;
    uint64_t r = 0;
    for (int i = 0; i < width; ++i) r |= uint64_t{static_cast<uint8_t>(p_[at_ + i])} << (8 * i);
    at_ += width;
    *v = r;
    return true;
  }
  bool get(uint32_t* v, int width) {
    uint64_t r = 0;
    if (!get64(&r, width)) return false;
    *v = static_cast<uint32_t>(r);
    return true;
  }
  std::string_view p_;
  size_t at_ = 0;
};

// The writer's room, or nothing.
bool all_zero(std::string_view bytes) {
  return bytes.find_first_not_of('\0') == std::string_view::npos;
}

bool known_outcome(uint32_t v) { return v >= 1 && v <= 4; }

bool parse_identity(PayloadReader& r, JournalIdentity* identity) {
  uint32_t version = 0, mode = 0, limit = 0;
  std::string_view id;
  if (!r.u16(&version) || version != kJournalVersion || !r.bytes(16, &id) ||
      !r.i64(&identity->start_ms) || !r.u32(&mode) || !r.u32(&limit) ||
      !r.text(&identity->project) || !r.done()) {
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  identity->send_id.clear();
  for (char c : id) {
    identity->send_id.append(kHex[(static_cast<uint8_t>(c) >> 4) & 0xF]);
    identity->send_id.append(kHex[static_cast<uint8_t>(c) & 0xF]);
  }
  identity->send_mode = static_cast<int32_t>(mode);
  identity->limit = static_cast<int32_t>(limit);
  return identity->limit >= 0;
}

// One framed record at `bytes[at]`: its type and payload, and where the
// next one starts. False when it is cut short, too long, or damaged.
bool next_record(std::string_view bytes, size_t at, uint8_t* type, std::string_view* payload,
                 size_t* next) {
  if (bytes.size() - at < 4) return false;
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
  if (n < 1 || n > static_cast<uint32_t>(kMaxJournalRecord)) return false;
  if (bytes.size() - at - 4 < static_cast<size_t>(n) + 4) return false;
  std::string_view body = bytes.substr(at + 4, n);
  uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) {
    stored |= uint32_t{static_cast<uint8_t>(bytes[at + 4 + n + i])} << (8 * i);
  }
  if (crc32(body.data(), body.size()) != stored) return false;
  *type = static_cast<uint8_t>(body[0]);
  *payload = body.substr(1);
  *next = at + 4 + n + 4;
  return true;
}


}  // namespace

bool is_final(JournalOutcome outcome) {
  return outcome == JournalOutcome::kDelivered || outcome == JournalOutcome::kRefused ||
         outcome == JournalOutcome::kDropped;
}

bool JournalState::unfinished() const {
  if (!valid || !plan_complete) return false;
  for (const JournalEntry& entry : entries) {
    if (!is_final(entry.outcome)) return true;
  }
  return false;
}

int JournalState::count(JournalOutcome outcome) const {
  int n = 0;
  for (const JournalEntry& entry : entries) n += entry.outcome == outcome;
  return n;
}

int JournalState::in_flight() const {
  int n = 0;
  for (const JournalEntry& entry : entries) n += entry.in_flight;
  return n;
}

JournalState read_journal(std::string_view bytes) {
  JournalState state;
  if (bytes.size() < static_cast<size_t>(kJournalMagicLength) ||
      bytes.substr(0, kJournalMagicLength) != std::string_view(kJournalMagic, kJournalMagicLength)) {
    state.damaged = !all_zero(bytes);
    return state;
  }
  size_t at = kJournalMagicLength;
  state.valid_length = at;
  uint8_t type = 0;
  std::string_view payload;
  size_t next = 0;
  while (next_record(bytes, at, &type, &payload, &next)) {
    PayloadReader r(payload);
    bool good = true;
    if (!state.valid) {
      // The identity, and nothing else, opens a journal.
      if (type != kIdentity || !parse_identity(r, &state.identity)) break;
      state.valid = true;
    } else {
      switch (type) {
        case kIdentity:
          good = false;
          break;
        case kRun: {
          JournalRun run;
          uint32_t resumed = 0;
          good = r.i64(&run.start_ms) && r.u8(&resumed) && resumed <= 1 &&
                 r.text(&run.log_name) && r.done();
          run.resumed = resumed == 1;
          if (good) state.runs.append(run);
          break;
        }
        case kPlan: {
          uint32_t index = 0;
          JournalEntry entry;
          good = r.u32(&index) && index == static_cast<uint32_t>(state.entries.count()) &&
                 r.text(&entry.recipient) && r.done();
          if (good) state.entries.append(entry);
          break;
        }
        case kPlanEnd: {
          uint32_t count = 0;
          good = !state.plan_complete && r.u32(&count) &&
                 count == static_cast<uint32_t>(state.entries.count()) && r.done();
          if (good) state.plan_complete = true;
          break;
        }
        case kAttempt: {
          uint32_t index = 0;
          good = state.plan_complete && r.u32(&index) &&
                 index < static_cast<uint32_t>(state.entries.count()) && r.done();
          if (good) state.entries[static_cast<int>(index)].in_flight = true;
          break;
        }
        case kOutcome: {
          uint32_t index = 0, outcome = 0, tries = 0, reply = 0, code = 0;
          int64_t time = 0;
          good = state.plan_complete && r.u32(&index) &&
                 index < static_cast<uint32_t>(state.entries.count()) && r.u8(&outcome) &&
                 known_outcome(outcome) && r.u16(&tries) && r.u16(&reply) && r.u16(&code) &&
                 r.i64(&time) && r.done();
          if (good) {
            JournalEntry& entry = state.entries[static_cast<int>(index)];
            entry.outcome = static_cast<JournalOutcome>(outcome);
            entry.tries = static_cast<int>(tries);
            entry.reply_code = static_cast<int>(reply);
            entry.error_code = static_cast<int>(code);
            entry.time_ms = time;
            entry.in_flight = false;
          }
          break;
        }
        case kAnswered: {
          uint32_t index = 0;
          good = state.plan_complete && r.u32(&index) &&
                 index < static_cast<uint32_t>(state.entries.count()) && r.done();
          if (good) state.entries[static_cast<int>(index)].in_flight = false;
          break;
        }
        case kRunEnd: {
          int64_t time = 0;
          good = !state.runs.empty() && r.i64(&time) && r.done();
          if (good) {
            state.runs[state.runs.count() - 1].ended = true;
            state.runs[state.runs.count() - 1].end_ms = time;
          }
          break;
        }
        default:
          break;  // a later kind of record: skipped
      }
    }
    if (!good) break;
    at = next;
    state.valid_length = static_cast<int64_t>(at);
  }
  state.damaged = !all_zero(bytes.substr(static_cast<size_t>(state.valid_length)));
  if (!state.valid) state.valid_length = 0;
  return state;
}

bool read_journal_identity(std::string_view head, JournalIdentity* identity) {
  if (head.size() < static_cast<size_t>(kJournalMagicLength) ||
      head.substr(0, kJournalMagicLength) != std::string_view(kJournalMagic, kJournalMagicLength)) {
    return false;
  }
  uint8_t type = 0;
  std::string_view payload;
  size_t next = 0;
  if (!next_record(head, kJournalMagicLength, &type, &payload, &next) || type != kIdentity) {
    return false;
  }
  PayloadReader r(payload);
  return parse_identity(r, identity);
}

String make_send_id() {
  unsigned char bytes[16] = {};
  random_bytes(bytes, sizeof bytes);
  static const char kHex[] = "0123456789abcdef";
  String id;
  for (unsigned char b : bytes) {
    id.append(kHex[b >> 4]);
    id.append(kHex[b & 0xF]);
  }
  return id;
}

// --- records -----------------------------------------------------------------

String journal_identity_record(const JournalIdentity& identity) {
  String raw;
  for (int i = 0; i + 1 < identity.send_id.length() && raw.length() < 16; i += 2) {
    auto nibble = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 0;
    };
    raw.append(static_cast<char>(nibble(identity.send_id[i]) << 4 | nibble(identity.send_id[i + 1])));
  }
  while (raw.length() < 16) raw.append('\0');
  return RecordBuilder(kIdentity)
      .u16(kJournalVersion)
      .bytes(raw.view())
      .i64(identity.start_ms)
      .u32(static_cast<uint32_t>(identity.send_mode))
      .u32(static_cast<uint32_t>(identity.limit))
      .text(identity.project.view())
      .framed();
}

String journal_run_record(const JournalRun& run) {
  return RecordBuilder(kRun)
      .i64(run.start_ms)
      .u8(run.resumed ? 1 : 0)
      .text(run.log_name.view())
      .framed();
}

String journal_plan_record(int index, std::string_view recipient) {
  return RecordBuilder(kPlan).u32(static_cast<uint32_t>(index)).text(recipient).framed();
}

String journal_plan_end_record(int count) {
  return RecordBuilder(kPlanEnd).u32(static_cast<uint32_t>(count)).framed();
}

String journal_attempt_record(int index) {
  return RecordBuilder(kAttempt).u32(static_cast<uint32_t>(index)).framed();
}

String journal_answered_record(int index) {
  return RecordBuilder(kAnswered).u32(static_cast<uint32_t>(index)).framed();
}

String journal_outcome_record(int index, JournalOutcome outcome, int tries, int reply_code,
                              int error_code, int64_t time_ms) {
  auto clamp16 = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 0xFFFF ? 0xFFFF : v); };
  return RecordBuilder(kOutcome)
      .u32(static_cast<uint32_t>(index))
      .u8(static_cast<uint32_t>(outcome))
      .u16(clamp16(tries))
      .u16(clamp16(reply_code))
      .u16(clamp16(error_code))
      .i64(time_ms)
      .framed();
}

String journal_run_end_record(int64_t time_ms) { return RecordBuilder(kRunEnd).i64(time_ms).framed(); }

// --- the writer ----------------------------------------------------------------

JournalWriter::~JournalWriter() { close(); }

bool JournalWriter::fail(const char* what, int error) {
  if (!failed_) {
    failed_ = true;
    error_ = String::formatted("%s: %s", what, system_message(error).c_str());
  }
  return false;
}

bool JournalWriter::create(const String& path, const JournalIdentity& identity,
                           const JournalRun& run, const Vector<String>& plan) {
  close();
  failed_ = false;
  error_.clear();
  path_ = path;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return fail("Unable to create the send journal", errno);
  struct stat st;
  if (fstat(fd_, &st) != 0) return fail("Unable to create the send journal", errno);
  if (st.st_size != 0) {
    ::close(fd_);
    fd_ = -1;
    return fail("Unable to create the send journal", EEXIST);
  }
  end_ = room_end_ = 0;
  no_room_ = false;
  String bytes(std::string_view(kJournalMagic, kJournalMagicLength));
  bytes += journal_identity_record(identity);
  bytes += journal_run_record(run);
  for (int i = 0; i < plan.count(); ++i) bytes += journal_plan_record(i, plan[i].view());
  bytes += journal_plan_end_record(plan.count());
  if (!append(bytes) || !sync_now()) return false;
  // The new name itself must survive a crash, or the synced records would
  // be found by no one.
  int dir = ::open(directory_part(path).empty() ? "." : directory_part(path).c_str(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    ::close(dir);
  }
  start_sync_thread();
  return true;
}

bool JournalWriter::reopen(const String& path, const JournalState& state, const JournalRun& run) {
  close();
  failed_ = false;
  error_.clear();
  path_ = path;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0) return fail("Unable to open the send journal", errno);
  // A record cut short by a kill is dropped: the next one goes where the
  // good part ends.
  if (ftruncate(fd_, static_cast<off_t>(state.valid_length)) != 0) {
    return fail("Unable to repair the send journal", errno);
  }
  end_ = room_end_ = state.valid_length;
  no_room_ = false;
  if (!append(journal_run_record(run)) || !sync_now()) return false;
  start_sync_thread();
  return true;
}

bool JournalWriter::append(const String& record) {
  if (failed_) return false;
  if (fd_ < 0) {
    failed_ = true;
    error_ = "The send journal is not open";
    return false;
  }
  if (end_ + record.length() > room_end_) make_room(end_ + record.length());
  const char* p = record.c_str();
  size_t left = static_cast<size_t>(record.length());
  int64_t at = end_;
  while (left > 0) {
    ssize_t n = ::pwrite(fd_, p, left, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("Unable to write the send journal", n < 0 ? errno : ENOSPC);
    p += n;
    at += n;
    left -= static_cast<size_t>(n);
  }
  end_ = at;
  if (room_end_ < end_) room_end_ = end_;
  return true;
}

void JournalWriter::make_room(int64_t need) {
  static const char kZeros[64 * 1024] = {};
  if (no_room_) return;
  const int64_t had = room_end_;
  const int64_t target = need + kJournalRoom;
  while (room_end_ < target) {
    size_t n = static_cast<size_t>(std::min<int64_t>(target - room_end_, sizeof kZeros));
    ssize_t put = ::pwrite(fd_, kZeros, n, static_cast<off_t>(room_end_));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      // A disk this full keeps what space it has for the records (and the
      // send log): the zeros go, and the records grow the file as they go.
      if (ftruncate(fd_, static_cast<off_t>(had)) == 0) room_end_ = had;
      no_room_ = true;
      return;
    }
    room_end_ += put;
  }
}

int JournalWriter::sync_file(int fd) { return sync_call_ ? sync_call_(fd) : fdatasync(fd); }

bool JournalWriter::sync_now() {
  if (failed_) return false;
  if (sync_file(fd_) != 0) return fail("Unable to put the send journal on the disk", errno);
  return true;
}

bool JournalWriter::add_plan(int index, std::string_view recipient) {
  return append(journal_plan_record(index, recipient));
}

// The end of a message's data goes out right after its attempt record: the
// outcomes before it must be on the disk by then (all but `window_` of
// them), so that no message the server may accept follows an outcome that
// a crash of the machine could still lose.
//
// With several connections each waits for its own last outcome (`own`) at
// window 0: the others' outcomes may still be on their way to the disk,
// at most one per connection, since each of those connections waits for
// its own before its next end of data. So the outcomes of messages that
// end close together on several connections share one fdatasync(), where
// waiting for every outcome would make each end of data wait for the
// latest sync whoever's outcome it carries.
bool JournalWriter::attempt(int index, int64_t own) {
  const bool ok = own >= 0 && window_ == 0 ? wait_synced(own)
                                           : wait_for_sync(window_ + connections_ - 1);
  if (!ok) return false;
  return append(journal_attempt_record(index));
}

bool JournalWriter::wait_for_sync(int64_t unsynced) {
  return wait_until([&] { return written_ - synced_ <= unsynced; });
}

bool JournalWriter::wait_synced(int64_t number) {
  return wait_until([&] { return synced_ >= number; });
}

bool JournalWriter::wait_until(const std::function<bool()>& done) {
  if (failed_) return false;
  if (!thread_.joinable()) return true;
  if (in_fiber() && synced_fd_ >= 0) return wait_on_fiber(done);
  std::unique_lock<std::mutex> lock(mutex_);
  if (!done() && sync_error_ == 0) {
    // A batch that is still gathering goes to the disk now.
    ++waiting_;
    wake_.notify_one();
    synced_changed_.wait(lock, [&] { return done() || sync_error_ != 0; });
    --waiting_;
  }
  if (sync_error_ != 0) {
    int error = sync_error_;
    lock.unlock();
    return fail("Unable to put the send journal on the disk", error);
  }
  return true;
}

// A message on a fiber (one of several connections) waits without
// holding up the others: the sync thread signals each sync through an
// eventfd that the fiber loop polls with the connections. The condition is
// looked at before every wait, and every sync signals after it changed
// it, so no sync goes unnoticed; several fibers may wait for the same one,
// which is the point: one fdatasync() covers all their outcomes.
bool JournalWriter::wait_on_fiber(const std::function<bool()>& done) {
  int error = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      error = sync_error_;
      if (done() || error != 0) break;
      ++waiting_;
    }
    wake_.notify_one();
    wait_fd(synced_fd_, POLLIN, FiberDeadline::max());
    uint64_t count = 0;
    ssize_t got = ::read(synced_fd_, &count, sizeof count);
    (void)got;  // another fiber may have taken the signal: the loop looks again
    std::lock_guard<std::mutex> lock(mutex_);
    --waiting_;
  }
  if (error != 0) return fail("Unable to put the send journal on the disk", error);
  return true;
}

bool JournalWriter::outcome(int index, JournalOutcome outcome, int tries, int reply_code,
                            int error_code, int64_t time_ms, int64_t* number) {
  if (!append(journal_outcome_record(index, outcome, tries, reply_code, error_code, time_ms))) {
    return false;
  }
  if (!thread_.joinable()) return sync_now();
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++written_;
    if (number) *number = written_;
    wake = written_ >= wake_at_;
  }
  // A sync thread gathering a batch is woken only when the batch is
  // complete: a wake-up per outcome would cost a switch of threads each.
  if (wake) wake_.notify_one();
  // The sync runs while the next message is made and its text goes out;
  // attempt() waits for it before the end of that text. The wait here
  // only bounds the outcomes of messages that have no attempt.
  return wait_for_sync(window_ + connections_);
}

// Only a kill between it and the next try's record matters here, and the
// program's write() survives a kill: no sync is waited for.
bool JournalWriter::answered(int index) { return append(journal_answered_record(index)); }

bool JournalWriter::end_run(int64_t time_ms) { return append(journal_run_end_record(time_ms)); }

bool JournalWriter::close() {
  if (fd_ < 0) return !failed_;
  stop_sync_thread();
  if (!failed_ && sync_error_ != 0) fail("Unable to put the send journal on the disk", sync_error_);
  // The room goes, and with it any record a failed write left unfinished.
  if (room_end_ != end_ && ftruncate(fd_, static_cast<off_t>(end_)) != 0) {
    fail("Unable to write the send journal", errno);
  }
  room_end_ = end_;
  sync_now();
  ::close(fd_);
  fd_ = -1;
  return !failed_;
}

void JournalWriter::start_sync_thread() {
  if (thread_.joinable()) return;
  stopping_ = false;
  written_ = synced_ = 0;
  sync_error_ = 0;
  synced_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  thread_ = std::thread([this] { sync_loop(); });
}

void JournalWriter::stop_sync_thread() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  if (synced_fd_ >= 0) ::close(synced_fd_);
  synced_fd_ = -1;
}

// Group commit: one fdatasync() covers every outcome written before it
// began. Where the next end of data may leave outcomes off the disk (a
// window), a sync waits for most of those to gather, as each sync costs
// the processor as much as a small message does; it keeps a quarter of
// them (at least one) for the outcomes that come in while it runs, so that
// an end of data seldom waits for it. It never waits longer than
// kBatchWait, nor while the send waits for it. At window 0 it starts at
// once: over several connections each end of data waits for its own
// connection's last outcome, which a gathering sync would hold back.
int64_t JournalWriter::batch() const {
  if (window_ == 0) return 1;  // an end of data may wait for the very last outcome
  const int off_disk = window_ + connections_ - 1;  // allowed at an end of data
  return off_disk < 2 ? 1 : off_disk - std::max(1, off_disk / 4);
}

void JournalWriter::sync_loop() {
  constexpr auto kBatchWait = std::chrono::milliseconds(50);
  std::unique_lock<std::mutex> lock(mutex_);
  const int64_t batch = this->batch();
  for (;;) {
    wake_at_ = synced_ + 1;
    wake_.wait(lock, [&] { return stopping_ || written_ > synced_; });
    if (batch > 1) {
      wake_at_ = synced_ + batch;
      wake_.wait_for(lock, kBatchWait, [&] {
        return stopping_ || waiting_ > 0 || written_ - synced_ >= batch;
      });
    }
    wake_at_ = std::numeric_limits<int64_t>::max();  // syncing: no wake-up needed
    if (written_ == synced_ && stopping_) return;
    int64_t target = written_;
    int fd = fd_;
    lock.unlock();
    int error = sync_file(fd) == 0 ? 0 : errno;
    lock.lock();
    if (error != 0) {
      sync_error_ = error;
    } else {
      synced_ = target;
    }
    synced_changed_.notify_all();
    if (synced_fd_ >= 0) {
      const uint64_t one = 1;
      ssize_t put = ::write(synced_fd_, &one, sizeof one);
      (void)put;  // a counter that is full is still readable
    }
    if (error != 0) return;
  }
}

}  // namespace tessaline
