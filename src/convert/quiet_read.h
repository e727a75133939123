#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "convert/file_io.h"

/// How long a file must hold still between the two reads that a file
/// changed a moment ago needs. A game that saves writes its pieces
/// milliseconds apart, far closer than this.
inline constexpr std::int64_t kSettleIntervalNs = 500'000'000;

/// The longest wait for one file to hold still, its reads included; a file
/// that is still being written after it is not read.
inline constexpr std::int64_t kMaxSettleWaitNs = 3'000'000'000;

/// The coarsest step in which a file system keeps file times: FAT's two
/// seconds (ext3 and many network shares keep whole seconds). Two versions
/// written within one step may leave the same stamp.
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

/// What one read of a file found.
enum class ReadAttempt {
  kDone,        ///< Everything needed was read.
  kEndedEarly,  ///< The file held fewer bytes than its stamp's size.
  kFailed,      ///< A read failed: the bytes are not the file's.
};

/// One read of the file at the size its stamp gives. It points `bytes` at
/// every byte its outcome was made from, which must stay untouched until it
/// is called again or ReadWhenQuiet returns.
using ReadOnce =
    std::function<ReadAttempt(std::int64_t size, std::span<const unsigned char>& bytes)>;

/// Calls `read` until one read can be trusted to hold one whole version of
/// the file. A file whose newest time (written or changed) lies more than
/// kFileClockStepNs before the read needs that one read, with the stamp the
/// same after it. Any other file is read again after kSettleIntervalNs, and
/// taken when two reads in a row gave the same bytes under the same stamp.
/// True when a read was taken with kDone. False when a read failed, when an
/// old file ended before its stamped size with its stamp unchanged, when the
/// stamp cannot be taken, and when no read could be taken within
/// kMaxSettleWaitNs.
bool ReadWhenQuiet(InputFile& file, const ReadOnce& read);
