#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "convert/digest.h"
#include "convert/file_io.h"

/// How far apart two reads of a file must lie to be taken when they agree.
/// Well above the pauses inside a save that were measured: the game's own
/// (under 40 ms), rsync's bandwidth-limited bursts (0.64 s apart) and a
/// writer that stalls for 0.6 s.
inline constexpr std::int64_t kSettleIntervalNs = 1'500'000'000;

/// How long a file that a program holds open for writing must hold still to
/// be taken: such a program may go on writing after any pause shorter than
/// this.
inline constexpr std::int64_t kWriterStillNs = 3'000'000'000;

/// The longest wait for one file, from the start of its first read: a save
/// of about five seconds, then the writer's stillness, still fit. A file that
/// is still being written after it is not read.
inline constexpr std::int64_t kMaxSettleWaitNs = 8'000'000'000;

/// The coarsest step in which a trusted file system keeps file times (ext3
/// keeps whole seconds); two versions written within one step may leave the
/// same stamp.
inline constexpr std::int64_t kFileClockStepNs = 2'000'000'000;

/// The program's own steady clock and its sleep, in nanoseconds, and how
/// long ago a time of a FileStamp was by the system's clock (see
/// NanosecondsSince).
struct SettleClock {
  std::int64_t (*now_ns)();
  void (*sleep_ns)(std::int64_t);
  std::int64_t (*file_time_age_ns)(std::int64_t file_time);
};

/// The clock that waits for a quiet file go by: the real one, unless a test
/// has put in one that only pretends to wait.
SettleClock& CurrentSettleClock();

/// What the system tells of an open file: its InputFile calls, unless a test
/// has put in other answers.
struct FileFacts {
  StampTrust (*trust)(const InputFile& file);
  WriterCheck (*start_writer_watch)(InputFile& file);
  bool (*end_writer_watch)(InputFile& file);
};

FileFacts& CurrentFileFacts();

/// What one read of a file found.
enum class ReadAttempt {
  kDone,        ///< Everything needed was read.
  kEndedEarly,  ///< The file held fewer bytes than its stamp's size.
  kFailed,      ///< A read failed: the bytes are not the file's.
};

/// One read of the file at the size its stamp gives. It points `bytes` at
/// every byte its outcome was made from.
using ReadOnce =
    std::function<ReadAttempt(std::int64_t size, std::span<const unsigned char>& bytes)>;

/// What the reads of one file found so far, kept from one look to the next
/// while the file is closed. Of one small size whatever the file: a read is
/// remembered by its digest.
struct FileLooks {
  std::int64_t first_read_ns = -1;  ///< When the first read began.
  bool held = false;                ///< A whole read under one stamp to compare with.
  FileStamp stamp;                  ///< Its stamp...
  Digest digest{};                  ///< ...and the digest of its bytes.
  bool held_writer_free = false;    ///< No writer held the file open during it.
  std::int64_t still_since_ns = 0;  ///< When the first of the reads that agree with it began.
  std::int64_t last_read_end_ns = 0;
};

enum class LookOutcome {
  kTaken,  ///< The read holds one whole version of the file.
  kAgain,  ///< Read the file again, not before the time given.
  kFailed,
};

/// Reads `file`, opened just before, once with `read` and tells whether the read can be trusted
/// to hold one whole version of it:
/// - on a trusted file system (StampTrust), a file whose newest time lay
///   more than kFileClockStepNs back before the read, whose stamp held across
///   it and that no writer held open, is taken at once;
/// - any other file is taken when two whole reads kSettleIntervalNs apart gave
///   the same bytes under the same stamp with no writer during either, or
///   when its reads have agreed for kWriterStillNs whatever the writer did.
/// kAgain sets `due_ns` to when the next look may read. kFailed when a read
/// failed, when an old file ended before its stamped size, when the stamp
/// cannot be taken, and when no read could be taken within kMaxSettleWaitNs
/// of the first.
LookOutcome LookAtFile(InputFile& file, FileLooks& looks, const ReadOnce& read,
                       std::int64_t& due_ns);
