#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "settle/digest.h"
#include "settle/input_file.h"
#include "settle/open_writers.h"

/// How far apart two reads of a file must lie to be taken when they agree
/// and what they hold ends as a whole version ends. Well above the pauses
/// inside a save that were measured: the game's own (under 40 ms), rsync's
/// bandwidth-limited bursts at 400 KB/s (0.64 s apart) and a writer that
/// stalls for 0.6 s.
inline constexpr std::int64_t kSettleIntervalNs = 1'500'000'000;

/// How long a file must have held still to be taken when what it holds does
/// not end as a whole version ends, or when a program holds it open for
/// writing: either may be a save whose writer only paused. Above the longest
/// stall measured in a save that was taken cut (9 s) and rsync's bursts at
/// 30 KB/s (8.5 s apart), with room to spare.
inline constexpr std::int64_t kLongStillNs = 12'000'000'000;

/// The longest wait for one file, from the start of its first read: a save
/// of about five seconds, then the interval, still fit. A file that is still
/// being written after it is not read.
inline constexpr std::int64_t kMaxSettleWaitNs = 8'000'000'000;

/// The same for a file that must hold still for kLongStillNs: its stillness
/// may begin up to 6.5 s after the first read. A save that pauses and ends
/// within that is taken by its end instead, an interval after it ends.
inline constexpr std::int64_t kMaxLongWaitNs = 20'000'000'000;

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

/// What the system tells of an open file, and which files other programs
/// hold open for writing: the system's answers, unless a test has put in
/// others. A census of the writers is taken only when its answer decides
/// whether a read is taken, and serves every file whose stillness began
/// before it: a writer that paused with the file open since then still
/// holds it. A census that has held a file up once is taken again before it
/// holds that file up again, since its writer may have closed the file.
struct FileFacts {
  StampTrust (*trust)(const InputFile& file);
  /// The stamp that the file's open took, or its stamp now.
  FileStamp (*stamp)(const InputFile& file, bool as_opened);
  OpenWriters (*find_open_writers)();
  OpenWriters writers;                 ///< The last census...
  std::int64_t writers_taken_ns = -1;  ///< ...when it was taken; -1 before the first...
  std::uint64_t censuses = 0;          ///< ...and how many were taken up to it.
};

FileFacts& CurrentFileFacts();

/// What one read of a file found.
enum class ReadAttempt {
  kDone,        ///< Everything needed was read.
  kEndedEarly,  ///< The file held fewer bytes than its stamp's size.
  kFailed,      ///< A read failed: the bytes are not the file's.
};

/// What one read of a file gave.
struct ReadResult {
  std::span<const unsigned char> bytes;  ///< Every byte its outcome was made from.
  bool ended = true;  ///< They end as a whole version ends (a layout with its end tag).
  /// What they hold shows its own end (a layout's end tag), so that the same
  /// bytes under a newer stamp are that version saved again. The character
  /// file's bytes show none.
  bool end_shown = false;
};

/// One read of the file at the size its stamp gives.
using ReadOnce = std::function<ReadAttempt(std::int64_t size, ReadResult& got)>;

/// Why a file is read again rather than taken: what the last look found.
enum class WaitReason {
  kNone,            ///< Not waiting: the file was taken, or not looked at yet.
  kYoung,           ///< Changed a moment ago: it may still be being saved.
  kWriterHolds,     ///< Another program holds it open for writing.
  kLayoutNotEnded,  ///< What it holds does not end as a whole version ends.
};

/// What the reads of one file found so far, kept from one look to the next
/// while the file is closed. Of one small size whatever the file: a read is
/// remembered by its digest.
struct FileLooks {
  std::int64_t first_read_ns = -1;  ///< When the first read began.
  bool held = false;                ///< A whole read under one stamp to compare with.
  bool long_wait = false;           ///< A read was not ended, or a writer held the file.
  std::uint64_t held_up_by = 0;     ///< The census (FileFacts::censuses) that last saw a writer.
  bool resaved = false;             ///< A read agreed with it under a newer stamp.
  FileStamp stamp;                  ///< Its stamp...
  Digest digest{};                  ///< ...and the digest of its bytes.
  std::int64_t still_since_ns = 0;  ///< When the first of the reads that agree with it ended.
  WaitReason reason = WaitReason::kNone;  ///< Set by each look: why it waits.
  std::int64_t until_ns = 0;  ///< While it waits: when it is taken if it holds still, or given up.
};

/// Takes the census of writers ahead of the next looks at the files that
/// wait, which would otherwise each take it in their look, unless the last
/// census already serves every one of them. A run calls it before it sleeps
/// for them, so that a slow census (under Wine) costs no time of its own.
void TakeWriterCensusAhead(const std::vector<const FileLooks*>& waiting);

enum class LookOutcome {
  kTaken,  ///< The read holds one whole version of the file.
  kAgain,  ///< Read the file again, not before the time given.
  kFailed,
  /// No read could be taken in time; the last one read every byte it needed
  /// under a stamp that held across it, and tells what the file held then.
  kGivenUp,
};

/// Reads `file`, opened just before, once with `read` and tells whether the
/// read can be trusted to hold one whole version of it. The file must have
/// held still: on a trusted file system (StampTrust) by the age of its stamp
/// before the read, which must hold across it; elsewhere, and for a file
/// changed within kFileClockStepNs, by reads that agree over the time. Two
/// ended reads of the same size and bytes that show their own end agree even
/// where the stamp moved between them, toward the short stillness: the same
/// version was saved again. How long: barely (a
/// stamp over kFileClockStepNs old, or kSettleIntervalNs between reads) when
/// the read is ended and no writer is seen holding the file; kLongStillNs
/// when it is ended and a writer is seen, or when it is not ended and none
/// is; a read that is not ended while a writer is seen is never taken.
/// kAgain sets `due_ns` to when the next look may read. kFailed when a read
/// failed, when an old file ended before its stamped size, and when the
/// stamp cannot be taken; kGivenUp (or kFailed, where the last read was not
/// whole under its stamp) when no read could be taken within
/// kMaxSettleWaitNs of the first (kMaxLongWaitNs once the file needed the
/// long stillness).
LookOutcome LookAtFile(InputFile& file, FileLooks& looks, const ReadOnce& read,
                       std::int64_t& due_ns);
