#include "settle/quiet_read.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

// A game saves by truncating its file and writing it anew in pieces; once
// it is done, the file holds still. A read is taken only when something
// vouches that it saw one whole version, and a clock alone cannot: no wait
// tells a writer that paused from one that finished.
//
// What a read holds comes first. A layout is an XML element, so a whole one
// is closed by its own end tag, and a save cut off midway leaves it open, or
// has not come to it yet. A read that is not ended so is taken only once the
// file has held still for kLongStillNs and no writer is seen holding it: the
// file has then settled as it is, and its caller tells the player it is cut
// rather than write it. While a writer is seen holding such a file, no clock
// outwaits it: the wait is given up at kMaxLongWaitNs instead. An ended read
// of a file that a writer holds is taken once the file has held still for
// kLongStillNs (a program may keep its file open between saves). Any other
// read is taken once the file has held still barely: one step of the file
// system's clock by its stamp, or kSettleIntervalNs between two reads that
// agree. Two ended reads whose bytes show their own end (a layout's end
// tag) agree when their size and bytes do, even where the stamp moved
// between them: a program that saved the same bytes again left the same
// version. That counts toward the short stillness only.
//
// Held still by what? The stamp (size, write time, change time) vouches for
// it only on a local file system whose change time the kernel keeps from
// this machine's clock and no program can set back: ext2/3/4, xfs, btrfs,
// tmpfs and f2fs on Linux, local NTFS and ReFS on Windows. There, as git
// does for its index, a stamp whose newest time lies more than one step of
// the file system's clock before the read began shows any write since, so a
// read under a stamp that held across it is one version, and the stamp's age
// tells how long the file has held still. A restore or sync tool that dates
// the write time back still leaves a fresh change time.
//
// Nowhere else is a stamp worth that: FAT and exFAT keep no change time of
// their own and any program sets their times; a network share's times come
// from its server's clock and may hold still while a client writes; a FUSE
// file system's are whatever its daemon says; overlay shows its lower
// layer's. There the file is read again every kSettleIntervalNs, and held
// still for as long as its reads have agreed. So is a file changed within
// the last step, or dated ahead, anywhere.
//
// A writer is asked about only by looking (on Linux, which processes that
// this program may inspect hold the file open for writing), never by taking
// hold of the file, which could refuse or stall the writer's next open. A
// look that cannot tell counts as no writer seen: the read is then judged by
// its stamp and its end alone.
//
// What stays out of sight: a rewrite in place that keeps the old end, by a
// writer the program cannot see (the Windows program sees none; the Linux
// program none of another user's or another PID namespace's), pausing for
// longer than the interval where the stamp does not tell (or longer than one
// clock step on a trusted file system), or caught by two reads at the same
// point of two rewrites that leave the same bytes there; a save paused,
// unseen, after the end tag, whose text after it may then be cut; and a
// Windows program that sets a file's change time back too. A save that
// pauses for longer than the wait, seen or not, leaves a cut layout, which
// is not written: the earlier one is kept, not replaced by the new one. A
// game that writes a layout without its end tag costs kLongStillNs while
// its file is young, and is never written.

namespace {

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepNs(std::int64_t duration) {
  std::this_thread::sleep_for(std::chrono::nanoseconds(duration));
}

// How long the stamp vouches that the file has held still, as of now: its
// newest time, less one step of the file system's clock, in which a later
// write may have left the same time. Nothing when that is not over nothing:
// a time in the future (a file from a machine whose clock runs ahead) tells
// nothing either.
std::int64_t StillByStamp(const SettleClock& clock, const FileStamp& stamp) {
  return std::max<std::int64_t>(
      0, clock.file_time_age_ns(std::max(stamp.modified, stamp.changed)) - kFileClockStepNs);
}

StampTrust TrustOf(const InputFile& file) { return file.Trust(); }

FileStamp StampOf(const InputFile& file, bool as_opened) {
  return as_opened ? file.OpenedStamp() : file.CurrentStamp();
}

OpenWriters FindOpenWritersInProc() { return FindOpenWriters(); }

// The read began a new stretch of agreeing reads.
void HoldRead(FileLooks& looks, const FileStamp& stamp, const Digest& digest, std::int64_t ended) {
  looks.held = true;
  looks.stamp = stamp;
  looks.digest = digest;
  looks.still_since_ns = ended;
  looks.resaved = false;
}

}  // namespace

SettleClock& CurrentSettleClock() {
  static SettleClock clock{SteadyNowNs, SleepNs, NanosecondsSince};
  return clock;
}

FileFacts& CurrentFileFacts() {
  static FileFacts facts{TrustOf, StampOf, FindOpenWritersInProc, {}, -1, 0};
  return facts;
}

namespace {

void TakeCensus(FileFacts& facts) {
  facts.writers = facts.find_open_writers();
  facts.writers_taken_ns = CurrentSettleClock().now_ns();
  ++facts.censuses;
}

// Whether the last census may judge a file that has held still since
// `quiet_since_ns`: one taken since then sees every writer that still holds
// the file, unless it is the census that saw one hold it the last time.
bool CensusServes(const FileFacts& facts, std::int64_t quiet_since_ns, const FileLooks& looks) {
  return facts.writers_taken_ns >= 0 && facts.writers_taken_ns >= quiet_since_ns &&
         looks.held_up_by != facts.censuses;
}

// Whether a census sees a writer holding the file, which has held still
// since `quiet_since_ns`, in the look that began at `look_ns`.
bool IsHeldByWriter(const InputFile& file, std::int64_t quiet_since_ns, std::int64_t look_ns,
                    FileLooks& looks) {
  FileFacts& facts = CurrentFileFacts();
  if (facts.writers_taken_ns < 0 || facts.writers_taken_ns < quiet_since_ns) {
    TakeCensus(facts);
  }
  bool held = WriterOf(facts.writers, file) == WriterCheck::kOpen;
  // The census that held the file up in an earlier look may have outlived
  // its writer. One census serves every file looked at after it.
  if (held && looks.held_up_by == facts.censuses && facts.writers_taken_ns < look_ns) {
    TakeCensus(facts);
    held = WriterOf(facts.writers, file) == WriterCheck::kOpen;
  }
  if (held) {
    looks.held_up_by = facts.censuses;
    looks.long_wait = true;
    looks.reason = WaitReason::kWriterHolds;
  }
  return held;
}

// Whether a file that has held still for `still_ns` may be taken, given what
// its read holds; `quiet_since_ns` is when that stillness began, `look_ns`
// when this look did. A writer seen holding a file whose read is not ended
// is never outwaited: it may be in the midst of a save that has paused for
// as long as it likes.
bool MayTake(const InputFile& file, bool ended, std::int64_t still_ns, std::int64_t quiet_since_ns,
             std::int64_t look_ns, bool short_stillness_enough, FileLooks& looks) {
  if (!ended) {
    return still_ns >= kLongStillNs && !IsHeldByWriter(file, quiet_since_ns, look_ns, looks);
  }
  if (still_ns >= kLongStillNs) {
    return true;
  }
  return short_stillness_enough && !IsHeldByWriter(file, quiet_since_ns, look_ns, looks);
}

// When a file that waits will be taken if it holds still from now on (at
// the first look once it has held still long enough), or else given up.
std::int64_t TakenOrGivenUpAt(const FileLooks& looks, std::int64_t still_by_stamp,
                              std::int64_t started, std::int64_t ended, std::int64_t due_ns,
                              std::int64_t given_up_ns) {
  if (!looks.long_wait) {
    return due_ns;
  }
  if (!looks.held) {
    return std::min(ended + kLongStillNs, given_up_ns);
  }
  const std::int64_t quiet_since = still_by_stamp > 0
                                       ? std::min(looks.still_since_ns, started - still_by_stamp)
                                       : looks.still_since_ns;
  return std::min(std::max(due_ns, quiet_since + kLongStillNs), given_up_ns);
}

}  // namespace

void TakeWriterCensusAhead(const std::vector<const FileLooks*>& waiting) {
  FileFacts& facts = CurrentFileFacts();
  for (const FileLooks* looks : waiting) {
    if (looks->held && !CensusServes(facts, looks->still_since_ns, *looks)) {
      TakeCensus(facts);
      return;
    }
  }
}

LookOutcome LookAtFile(InputFile& file, FileLooks& looks, const ReadOnce& read,
                       std::int64_t& due_ns) {
  const SettleClock& clock = CurrentSettleClock();
  const FileFacts& facts = CurrentFileFacts();
  const std::int64_t started = clock.now_ns();
  const WaitReason earlier_reason = looks.reason;
  looks.reason = WaitReason::kNone;
  if (looks.first_read_ns < 0) {
    looks.first_read_ns = started;
  }
  // Each look opens the file anew: the stamp of the open is fresh.
  const FileStamp before = facts.stamp(file, true);
  if (before.size < 0) {
    return LookOutcome::kFailed;
  }
  // Judged before the read: a write during it must find the stamp young.
  // The age first: a young file needs no word from its file system.
  std::int64_t still_by_stamp = StillByStamp(clock, before);
  if (still_by_stamp > 0 && facts.trust(file) != StampTrust::kTrusted) {
    still_by_stamp = 0;
  }
  ReadResult got;
  const ReadAttempt attempt = read(before.size, got);
  const std::int64_t ended = clock.now_ns();
  if (attempt == ReadAttempt::kFailed) {
    return LookOutcome::kFailed;
  }
  const FileStamp after = facts.stamp(file, false);
  if (after.size < 0) {
    return LookOutcome::kFailed;
  }
  // Whether the file held still as far as this look tells: by its stamp,
  // or by this read's agreement with the one before.
  bool held_still = false;
  if (after != before) {
    looks.held = false;
  } else if (attempt == ReadAttempt::kEndedEarly) {
    // A young file that ends early may be in the midst of a rewrite that
    // its stamp cannot show; an old one has lost bytes it should hold.
    if (still_by_stamp > 0) {
      return LookOutcome::kFailed;
    }
    looks.held = false;
  } else if (still_by_stamp > 0 && MayTake(file, got.ended, still_by_stamp,
                                           started - still_by_stamp, started, true, looks)) {
    // Nothing to remember: a later look at the same stamp is settled too.
    looks.held = false;
    return LookOutcome::kTaken;
  } else {
    held_still = still_by_stamp > 0;
    const Digest digest = DigestOf(got.bytes);
    // The same whole version saved again leaves new times on the same bytes.
    const bool saved_again =
        looks.stamp != after && got.ended && got.end_shown && looks.stamp.size == after.size;
    if (looks.held && (looks.stamp == after || saved_again) && looks.digest == digest) {
      held_still = true;
      looks.resaved = looks.resaved || saved_again;
      looks.stamp = after;
      std::int64_t still = started - looks.still_since_ns;
      // Saves of the same bytes count toward the short stillness only: the
      // long one waits out a writer, and one that keeps saving is no still
      // file.
      if (looks.resaved) still = std::min(still, kLongStillNs - 1);
      if (MayTake(file, got.ended, still, looks.still_since_ns, started, still >= kSettleIntervalNs,
                  looks)) {
        looks.reason = WaitReason::kNone;
        return LookOutcome::kTaken;
      }
    } else {
      HoldRead(looks, after, digest, ended);
    }
  }
  if (!got.ended) {
    looks.long_wait = true;
    // A writer seen holding it says more than the missing end.
    if (looks.reason == WaitReason::kNone) {
      looks.reason = WaitReason::kLayoutNotEnded;
    }
  } else if (looks.reason == WaitReason::kNone) {
    // A file that needs the long stillness needs it for what was seen then.
    const bool long_reason = looks.long_wait && earlier_reason != WaitReason::kNone;
    looks.reason = long_reason ? earlier_reason : WaitReason::kYoung;
  }
  // Checked after every read, so that reads slower than the interval cannot
  // go on past the deadline.
  const std::int64_t longest = looks.long_wait ? kMaxLongWaitNs : kMaxSettleWaitNs;
  if (ended + kSettleIntervalNs > looks.first_read_ns + longest) {
    return held_still ? LookOutcome::kGivenUp : LookOutcome::kFailed;
  }
  due_ns = ended + kSettleIntervalNs;
  looks.until_ns = TakenOrGivenUpAt(looks, still_by_stamp, started, ended, due_ns,
                                    looks.first_read_ns + longest);
  // A cut layout that a writer holds is never taken, only given up.
  if (!got.ended && looks.reason == WaitReason::kWriterHolds) {
    looks.until_ns = looks.first_read_ns + longest;
  }
  return LookOutcome::kAgain;
}
