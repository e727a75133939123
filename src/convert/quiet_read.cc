#include "convert/quiet_read.h"

#include <algorithm>
#include <chrono>
#include <thread>

// A game saves by writing its file in pieces; once it is done, the file
// holds still. A read is taken only when something vouches that it saw one
// whole version.
//
// The stamp (size, write time, change time) vouches for it only on a local
// file system whose change time the kernel keeps from this machine's clock
// and no program can set back: ext2/3/4, xfs, btrfs, tmpfs, f2fs and overlay
// on Linux, local NTFS and ReFS on Windows. There, as git does for its index,
// a stamp whose newest time lies more than one step of the file system's
// clock before the read began shows any write since, so one read under a
// stamp that held across it is one version. A restore or sync tool that
// dates the write time back still leaves a fresh change time.
//
// Nowhere else is a stamp worth that: FAT and exFAT keep no change time of
// their own and any program sets their times; a network share's times come
// from its server's clock and may hold still while a client writes; a FUSE
// file system's are whatever its daemon says. There a file is read at least
// twice, kSettleIntervalNs apart, and taken when the reads agree. So is a
// file changed within the last step, or dated ahead, anywhere.
//
// A file that a program holds open for writing may be halfway through a
// save whose writer only paused, so it is never taken on its stamp: only once
// its reads have agreed for kWriterStillNs. Where the system tells of such a
// writer (a read lease on Linux), a writer that opens the file during a read
// also makes that read count for nothing.
//
// What stays out of sight: a writer that pauses for longer than the interval
// where neither the stamp nor the system tells anything (FAT, exFAT, FUSE or
// a network share where no lease is granted; the Windows program anywhere,
// since Windows offers no such check that never holds up the writer); and a
// Windows program that sets a file's change time back too.

namespace {

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepNs(std::int64_t duration) {
  std::this_thread::sleep_for(std::chrono::nanoseconds(duration));
}

// True when no write since now can leave the file's stamp as it is: its
// newest time lies more than one step of the file system's clock back. A
// time in the future (a file from a machine whose clock runs ahead) tells
// nothing.
bool IsSettled(const SettleClock& clock, const FileStamp& stamp) {
  return clock.file_time_age_ns(std::max(stamp.modified, stamp.changed)) > kFileClockStepNs;
}

StampTrust TrustOf(const InputFile& file) { return file.Trust(); }
WriterCheck StartWriterWatchOf(InputFile& file) { return file.StartWriterWatch(); }
bool EndWriterWatchOf(InputFile& file) { return file.EndWriterWatch(); }

// The read began a new stretch of agreeing reads.
void HoldRead(FileLooks& looks, const FileStamp& stamp, const Digest& digest, bool writer_free,
              std::int64_t started, std::int64_t ended) {
  looks.held = true;
  looks.stamp = stamp;
  looks.digest = digest;
  looks.held_writer_free = writer_free;
  looks.still_since_ns = started;
  looks.last_read_end_ns = ended;
}

}  // namespace

SettleClock& CurrentSettleClock() {
  static SettleClock clock{SteadyNowNs, SleepNs, NanosecondsSince};
  return clock;
}

FileFacts& CurrentFileFacts() {
  static FileFacts facts{TrustOf, StartWriterWatchOf, EndWriterWatchOf};
  return facts;
}

LookOutcome LookAtFile(InputFile& file, FileLooks& looks, const ReadOnce& read,
                       std::int64_t& due_ns) {
  const SettleClock& clock = CurrentSettleClock();
  const FileFacts& facts = CurrentFileFacts();
  const std::int64_t started = clock.now_ns();
  if (looks.first_read_ns < 0) {
    looks.first_read_ns = started;
  }
  // Each look opens the file anew: the stamp of the open is fresh.
  const FileStamp before = file.OpenedStamp();
  if (before.size < 0) {
    return LookOutcome::kFailed;
  }
  // Judged before the read: a write during it must find the stamp young.
  // The age first: a young file needs no word from its file system.
  const bool settled = IsSettled(clock, before) && facts.trust(file) == StampTrust::kTrusted;
  const WriterCheck writer = facts.start_writer_watch(file);
  std::span<const unsigned char> bytes;
  const ReadAttempt attempt = read(before.size, bytes);
  const bool undisturbed = facts.end_writer_watch(file);
  const std::int64_t ended = clock.now_ns();
  if (attempt == ReadAttempt::kFailed) {
    return LookOutcome::kFailed;
  }
  const FileStamp after = file.CurrentStamp();
  if (after.size < 0) {
    return LookOutcome::kFailed;
  }
  const bool writer_free = writer != WriterCheck::kOpen && undisturbed;
  if (after != before || !undisturbed) {
    looks.held = false;
  } else if (attempt == ReadAttempt::kEndedEarly) {
    // A young file that ends early may be in the midst of a rewrite that
    // its stamp cannot show; an old one has lost bytes it should hold.
    if (settled && writer_free) {
      return LookOutcome::kFailed;
    }
    looks.held = false;
  } else if (settled && writer_free) {
    // Nothing to remember: a later look at the same stamp is settled too.
    looks.held = false;
    return LookOutcome::kTaken;
  } else {
    const Digest digest = DigestOf(bytes);
    const bool agrees = looks.held && looks.stamp == after && looks.digest == digest &&
                        started - looks.last_read_end_ns >= kSettleIntervalNs;
    if (agrees) {
      const bool both_writer_free = looks.held_writer_free && writer_free;
      looks.held_writer_free = writer_free;
      looks.last_read_end_ns = ended;
      if (both_writer_free || started - looks.still_since_ns >= kWriterStillNs) {
        return LookOutcome::kTaken;
      }
    } else {
      HoldRead(looks, after, digest, writer_free, started, ended);
    }
  }
  // Checked after every read, so that reads slower than the interval cannot
  // go on past the deadline.
  if (ended + kSettleIntervalNs > looks.first_read_ns + kMaxSettleWaitNs) {
    return LookOutcome::kFailed;
  }
  due_ns = ended + kSettleIntervalNs;
  return LookOutcome::kAgain;
}
