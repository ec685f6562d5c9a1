// send_journal.h - the send journal: the program's own record of what one
// send delivered, from which an interrupted send is resumed.
//
// Every send of a saved project keeps one journal in the folder of kept
// sends (send/send_history.h). The journal is append-only. It opens with
// the send's identity and its plan (every recipient the send is going to
// send to, in order), and then grows by one outcome record per recipient
// once the server has given its final answer: delivered, refused for good
// (a 5xx reply to the recipient, to DATA or to the end of the data), failed
// otherwise (a temporary refusal, a lost connection, a time-out, a message
// that could not be made), or dropped (the person took it out of the send,
// or it was no longer among the project's recipients when the send reached
// it). Each outcome record goes to the file with one write() right after
// the server's reply to the end of the data and before the next message
// begins, so a program that is killed leaves a journal holding every
// outcome it knew. fdatasync() then puts the records on the disk in the
// background, before the next message's end of data goes out
// (JournalWriter says how, and how a sync window loosens that).
//
// Just before a message's end-of-data marker goes out, an attempt record
// notes the message in flight. The one window in which a resumed send can
// deliver a message twice is between the server's acceptance of that
// marker and the write of the outcome record: a program killed there
// leaves the attempt as the message's last record, and resume, which
// cannot know whether the server took it, sends it again and says so in
// the send log.
//
// The file: an 8-byte magic "TSJRNL1\n", then records, then, while the
// journal is open, zero bytes: room made ahead for the records to come
// (kJournalRoom at a time), so that a record written into it changes no
// file size and the fdatasync() after it has only the data to put on the
// disk, not the file's inode as well (about a third of each sync's cost
// here). A record never starts with zero bytes, so the room cannot be
// mistaken for one; closing cuts it off, and a killed program leaves it.
// Integers are little-endian; a text is a u32 length followed by that many
// bytes.
//
//   | offset | size  | meaning                                            |
//   |--------|-------|----------------------------------------------------|
//   | 0      | 4     | n: the bytes of type and payload, 1 to kMaxRecord  |
//   | 4      | 1     | the record type                                    |
//   | 5      | n - 1 | the payload                                        |
//   | 4 + n  | 4     | CRC-32 (as zlib's crc32) of the n bytes at 4       |
//
//   | type | record    | payload                                                  |
//   |------|-----------|----------------------------------------------------------|
//   | 1    | identity  | u16 format version (1), 16 bytes send id, i64 start      |
//   |      |           | (milliseconds since 1970 UTC), i32 send mode, i32 limit  |
//   |      |           | (0: none), text project file                             |
//   | 2    | run       | i64 start, u8 0 for the first run / 1 for a resume, text |
//   |      |           | file name of the run's kept send log                     |
//   | 3    | plan      | u32 index (the next one), text recipient as gathered     |
//   | 4    | plan end  | u32 count of plan records so far                         |
//   | 5    | attempt   | u32 index                                                |
//   | 6    | outcome   | u32 index, u8 outcome (JournalOutcome), u16 tries, u16   |
//   |      |           | SMTP reply code (0: none), u16 error code (0: none), i64 |
//   |      |           | time                                                     |
//   | 7    | run end   | i64 time: the run ended without being killed             |
//   | 8    | answered  | u32 index: the server refused the end of that data for   |
//   |      |           | now; the message is not in flight (written before the    |
//   |      |           | wait for its next try)                                   |
//
// The identity comes first and once; a run record follows it and starts
// each resume. Plan records come in index order, and a plan end closes the
// plan before any message is sent; plan records after it add recipients
// met later in the same send. Attempts and outcomes name plan indices; a
// later outcome of an index replaces an earlier one.
//
// Not for: the send log "Trenk.LOG", which stays the person's record in its
// own format; choosing where journals live (send/send_history.h).
//
// Failures: the reader takes the file as outside input. It stops at the
// first record that is cut short, fails its checksum, is longer than
// kMaxRecord, or breaks the rules above, and keeps what came before
// (`valid_length` says where the good part ends; a writer that resumes
// cuts the rest off; zero bytes after it are room, not damage). Records of an unknown type with a good checksum are
// skipped. A file without the magic and the identity is no journal
// (valid false). The writer's failures return false with the system's
// text in error(); nothing is written after a failed write.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

inline constexpr char kJournalMagic[] = "TSJRNL1\n";  // 8 bytes without the NUL
inline constexpr int kJournalMagicLength = 8;
inline constexpr int kJournalVersion = 1;
// Far above any record this program writes (a recipient text, a path).
inline constexpr int kMaxJournalRecord = 1 << 20;
// The room the writer makes ahead at a time: some 6,000 messages' records.
inline constexpr int64_t kJournalRoom = 256 * 1024;

enum class JournalOutcome : uint8_t {
  kNone = 0,       // not sent yet (or not known)
  kDelivered = 1,  // the server accepted the end of the data
  kRefused = 2,    // refused for good (5xx)
  kFailed = 3,     // failed otherwise; a resume tries again
  kDropped = 4,    // taken out of the send; not sent, not tried again
};

// Delivered, refused or dropped: a resume does not send it again.
bool is_final(JournalOutcome outcome);

struct JournalIdentity {
  String send_id;      // 32 lowercase hexadecimal digits
  int64_t start_ms = 0;  // of the first run, since 1970 UTC
  int send_mode = 0;
  int limit = 0;  // the send stopped after this many recipients (0: no limit)
  String project;  // the project file, absolute
};

struct JournalRun {
  int64_t start_ms = 0;
  bool resumed = false;
  String log_name;  // the file name of the run's kept send log
  bool ended = false;
  int64_t end_ms = 0;
};

struct JournalEntry {
  String recipient;
  JournalOutcome outcome = JournalOutcome::kNone;
  int tries = 0;
  int reply_code = 0;
  int error_code = 0;
  int64_t time_ms = 0;
  // Its end of data went out and no outcome followed: the server may
  // have accepted it.
  bool in_flight = false;
};

struct JournalState {
  bool valid = false;  // the magic and the identity were read
  JournalIdentity identity;
  Vector<JournalEntry> entries;  // the plan, in order
  bool plan_complete = false;
  Vector<JournalRun> runs;
  int64_t valid_length = 0;  // up to the end of the last good record
  bool damaged = false;      // bytes after valid_length, not all zero, could not be read

  // The plan was made and some recipient of it has no final outcome.
  bool unfinished() const;
  int count(JournalOutcome outcome) const;
  // Recipients whose message was in flight when the program stopped.
  int in_flight() const;
};

JournalState read_journal(std::string_view bytes);
// The identity alone, from the start of a file (kJournalHeadBytes are
// enough), for finding a project's journals without reading them whole.
inline constexpr int kJournalHeadBytes = 16 * 1024;
bool read_journal_identity(std::string_view head, JournalIdentity* identity);

// A fresh send id from the system's random source.
String make_send_id();

// --- writing ---------------------------------------------------------------

// The bytes of one record (framing, type, payload and checksum), for the
// writer and for tests that build journals by hand.
String journal_identity_record(const JournalIdentity& identity);
String journal_run_record(const JournalRun& run);
String journal_plan_record(int index, std::string_view recipient);
String journal_plan_end_record(int count);
String journal_attempt_record(int index);
String journal_answered_record(int index);
String journal_outcome_record(int index, JournalOutcome outcome, int tries, int reply_code,
                              int error_code, int64_t time_ms);
String journal_run_end_record(int64_t time_ms);

// Appends records to one journal file. Every record goes out with one
// write() (so a killed program keeps it); outcome records are then put on
// the disk with fdatasync() by a helper thread, in the background, while
// the next message is made and its text goes out. attempt(), which comes
// right before a message's end of data, waits until every outcome written
// before it but the last `window` is on the disk (0: every one). So no
// message that the server may accept leaves behind it more than `window`
// outcomes that a crash of the whole system (not of the program) could
// lose; a resume would send their messages again. One fdatasync() covers
// every outcome written before it began; with a window it waits for about
// three quarters of what may be off the disk at an end of data (the window
// and one outcome per other connection) to gather, at most 50 ms, unless
// the send waits.
// A wait on a fiber (a send over several connections) lets the other
// fibers go on, so the outcomes of messages that end together on several
// connections share one fdatasync(): group commit. There, at window 0,
// each connection's end of data waits for that connection's own last
// outcome (attempt()'s `own`): at most one outcome per other connection
// is then off the disk, as each of them waits for its own in turn.
class JournalWriter {
 public:
  JournalWriter() = default;
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  void set_sync_window(int outcomes) { window_ = outcomes < 0 ? 0 : outcomes; }
  // What puts the file on the disk: fdatasync() unless a test puts a slow
  // or failing disk in its place, before create() or reopen(). Returns 0,
  // or -1 with errno set.
  void set_sync_call(std::function<int(int fd)> sync) { sync_call_ = std::move(sync); }

  // A new journal at `path`, which must be absent or empty: the magic, the
  // identity, the first run, the plan and its end, in one write, synced
  // together with the folder entry.
  bool create(const String& path, const JournalIdentity& identity, const JournalRun& run,
              const Vector<String>& plan);
  // Continues the journal that `state` was read from: cuts off what came
  // after its last good record and appends the run.
  bool reopen(const String& path, const JournalState& state, const JournalRun& run);

  // Messages that may be on their way at once (the send's connections).
  void set_connections(int n) { connections_ = n < 1 ? 1 : n; }

  bool add_plan(int index, std::string_view recipient);
  // Right before a message's end of data. `own`: on one of several
  // connections, the number outcome() gave that connection's last outcome
  // (0 before its first); at window 0 only that one is waited for.
  bool attempt(int index, int64_t own = -1);
  // `number`, when given, receives the outcome's number for attempt().
  bool outcome(int index, JournalOutcome outcome, int tries, int reply_code, int error_code,
               int64_t time_ms, int64_t* number = nullptr);
  // The end of the index's data was answered with a refusal for now: a
  // resume need not warn that it may arrive twice. Before the wait for
  // the message's next try; its last try's outcome comes as usual.
  bool answered(int index);
  bool end_run(int64_t time_ms);
  // Syncs what is not on the disk yet and closes; false when that failed.
  bool close();

  bool is_open() const { return fd_ >= 0; }
  const String& path() const { return path_; }
  bool failed() const { return failed_; }
  const String& error() const { return error_; }

 private:
  bool append(const String& record);
  // Zero bytes from room_end_ on, so that `need` bytes fit; after a
  // failure (a full disk) none are kept or made again, and the records
  // grow the file as they go.
  void make_room(int64_t need);
  bool sync_now();
  int sync_file(int fd);
  // Waits until at most `unsynced` outcomes are written but not on the
  // disk; false when a sync failed.
  bool wait_for_sync(int64_t unsynced);
  // Waits until the outcome numbered `number` (1: the first) is on the disk.
  bool wait_synced(int64_t number);
  // Waits until `done` (asked under the lock) or a failed sync.
  bool wait_until(const std::function<bool()>& done);
  bool wait_on_fiber(const std::function<bool()>& done);
  bool fail(const char* what, int error);
  void start_sync_thread();
  void stop_sync_thread();
  void sync_loop();
  // How many outcomes a sync waits to gather.
  int64_t batch() const;

  int fd_ = -1;
  String path_;
  int64_t end_ = 0;       // where the next record goes
  int64_t room_end_ = 0;  // the file's size: end_ and the room after it
  bool no_room_ = false;  // the disk had no space for it
  int window_ = 0;
  int connections_ = 1;
  std::function<int(int fd)> sync_call_;
  bool failed_ = false;
  String error_;

  // The background sync.
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable synced_changed_;
  int64_t written_ = 0;  // outcome records written
  int64_t synced_ = 0;   // of them, known to be on the disk
  bool stopping_ = false;
  // The count of written outcomes at which the sync thread wants to be
  // woken: the first unsynced one, or a whole batch.
  int64_t wake_at_ = 0;
  int waiting_ = 0;  // threads in wait_for_sync()
  int sync_error_ = 0;
  // Readable after each sync, for waits on a fiber (core/fiber.h); -1
  // without the sync thread.
  int synced_fd_ = -1;
};

}  // namespace tessaline
