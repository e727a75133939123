#include "convert/quiet_read.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

// A game saves by writing its file in pieces; once it is done, the file
// holds still. A file's stamp (size, write time, change time) tells a
// change, but only one that falls into another step of the file system's
// clock than the stamp's times do: two versions written within one step of
// FAT's two seconds, or of the whole seconds of ext3 and many network
// shares, may leave one stamp. As git does for its index, a stamp is
// trusted only when its newest time lies more than one step before the read
// began, so that any write since shows in the stamp after the read. A file
// changed more lately is read twice, the settle interval apart, and taken
// when both reads gave the same bytes under the same stamp.
//
// The change time is in the stamp because no program on POSIX can set it
// back: a restore or sync tool that sets the write time back still leaves a
// fresh change time, which makes the file young. Within one step it tells
// nothing more than the write time: a write sets both to one value (so on
// ext4, ext3 and tmpfs).
//
// What stays out of sight: a writer that stalls halfway for longer than the
// settle interval and later goes on (the half it left is read twice alike,
// unless it resumes during the reads); a file system whose times lag this
// machine's clock by more than a step (a network share's server), or tick
// in steps coarser than two seconds; and, on Windows only, a program that
// sets the change time back too.

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

// The bytes of the last read under one stamp, for the next read to match.
struct EarlierRead {
  std::vector<unsigned char> bytes;
  bool held = false;

  bool Matches(std::span<const unsigned char> read) const {
    return held && std::ranges::equal(bytes, read);
  }
  void Hold(std::span<const unsigned char> read) {
    bytes.assign(read.begin(), read.end());
    held = true;
  }
  void Drop() { held = false; }
};

}  // namespace

SettleClock& CurrentSettleClock() {
  static SettleClock clock{SteadyNowNs, SleepNs, NanosecondsSince};
  return clock;
}

bool ReadWhenQuiet(InputFile& file, const ReadOnce& read) {
  const SettleClock& clock = CurrentSettleClock();
  const std::int64_t deadline = clock.now_ns() + kMaxSettleWaitNs;
  FileStamp stamp = file.OpenedStamp();
  EarlierRead earlier;
  for (;;) {
    const bool settled = IsSettled(clock, stamp);
    std::span<const unsigned char> bytes;
    const ReadAttempt attempt = read(stamp.size, bytes);
    if (attempt == ReadAttempt::kFailed) {
      return false;
    }
    const FileStamp after = file.CurrentStamp();
    if (after.size < 0) {
      return false;
    }
    // A young file that ends early may be in the midst of a rewrite that
    // its stamp cannot show; an old one has lost bytes it should hold.
    if (after == stamp && attempt == ReadAttempt::kEndedEarly && settled) {
      return false;
    }
    if (after == stamp && attempt == ReadAttempt::kDone) {
      if (settled || earlier.Matches(bytes)) {
        return true;
      }
      earlier.Hold(bytes);
    } else {
      earlier.Drop();
    }
    // Checked after every read, so that reads slower than the interval
    // cannot go on past the deadline.
    if (clock.now_ns() + kSettleIntervalNs >= deadline) {
      return false;
    }
    clock.sleep_ns(kSettleIntervalNs);
    const FileStamp seen = file.CurrentStamp();
    if (seen.size < 0) {
      return false;
    }
    if (seen != stamp) {
      earlier.Drop();
      stamp = seen;
    }
  }
}
