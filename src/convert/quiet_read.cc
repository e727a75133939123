#include "convert/quiet_read.h"

#include <algorithm>
#include <chrono>
#include <thread>

// A game saves by writing its file in pieces: its size and write time move
// while it writes, and hold still once it is done. A read counts only when
// the file's stamp held still for the settle interval before it and did not
// change across it; a stamp that moves starts the wait over.
//
// What stays out of sight: a writer that stalls halfway for longer than the
// settle interval and later goes on (the half it left is read as a whole
// version, unless it resumes during the read itself); and write times that
// the file system keeps coarsely (FAT's 2 seconds), which make a file look
// older than it is, so that it may be read without a wait. The change time
// in the stamp still tells a rewrite that falls within one tick of the write
// time, or that sets the write time back, from no change at all.

namespace {

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepNs(std::int64_t duration) {
  std::this_thread::sleep_for(std::chrono::nanoseconds(duration));
}

// When, by the steady clock, the file last changed, given that the change
// came after `not_before` and no later than `now`. Its file time `then`
// tells when within that span; a time in the future (a file copied from a
// machine whose clock runs ahead) tells nothing, so the file counts as
// changed now.
std::int64_t ChangedAt(std::int64_t then, std::int64_t not_before, std::int64_t now) {
  const std::int64_t age = NanosecondsSince(then);
  return age <= 0 ? now : now - std::min(age, now - not_before);
}

// A change seen between two looks: the change time dates it, which, unlike
// the write time, no program can set back.
std::int64_t SeenChangeAt(const FileStamp& stamp, std::int64_t not_before, std::int64_t now) {
  return ChangedAt(std::max(stamp.modified, stamp.changed), not_before, now);
}

// Waits until the file's stamp has held still for the settle interval.
// False when that takes past `deadline`, or the stamp cannot be taken.
bool WaitUntilQuiet(const InputFile& file, const SettleClock& clock, std::int64_t deadline,
                    FileStamp& stamp, std::int64_t& quiet_since) {
  for (;;) {
    const std::int64_t now = clock.now_ns();
    if (now - quiet_since >= kSettleIntervalNs) {
      return true;
    }
    const std::int64_t wait = kSettleIntervalNs - (now - quiet_since);
    if (now + wait > deadline) {
      return false;
    }
    clock.sleep_ns(wait);
    const FileStamp seen = file.CurrentStamp();
    if (seen.size < 0) {
      return false;
    }
    if (seen != stamp) {
      stamp = seen;
      quiet_since = SeenChangeAt(seen, now, clock.now_ns());
    }
  }
}

}  // namespace

SettleClock& CurrentSettleClock() {
  static SettleClock clock{SteadyNowNs, SleepNs};
  return clock;
}

bool ReadWhenQuiet(InputFile& file, const std::function<ReadAttempt(std::int64_t size)>& read) {
  const SettleClock& clock = CurrentSettleClock();
  const std::int64_t start = clock.now_ns();
  const std::int64_t deadline = start + kMaxSettleWaitNs;
  FileStamp stamp = file.OpenedStamp();
  // Nothing is known of the time before the first look: an old file, whose
  // last write lies a settle interval back or more, is read at once, even
  // when it was copied or its times were set a moment ago.
  std::int64_t quiet_since = ChangedAt(stamp.modified, start - kSettleIntervalNs, start);
  for (;;) {
    if (!WaitUntilQuiet(file, clock, deadline, stamp, quiet_since)) {
      return false;
    }
    const std::int64_t read_from = clock.now_ns();
    const ReadAttempt attempt = read(stamp.size);
    if (attempt == ReadAttempt::kFailed) {
      return false;
    }
    const FileStamp after = file.CurrentStamp();
    if (after.size < 0) {
      return false;
    }
    if (after == stamp) {
      return attempt == ReadAttempt::kDone;
    }
    const std::int64_t now = clock.now_ns();
    // A read slower than the settle interval would otherwise start over
    // without a wait, and never meet the deadline.
    if (now > deadline) {
      return false;
    }
    stamp = after;
    quiet_since = SeenChangeAt(after, read_from, now);
  }
}
