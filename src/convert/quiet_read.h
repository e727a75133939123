#pragma once

#include <cstdint>
#include <functional>

#include "convert/file_io.h"

/// How long a file's stamp must hold still before the file is read. A game
/// that saves writes its pieces milliseconds apart, far closer than this.
inline constexpr std::int64_t kSettleIntervalNs = 500'000'000;

/// The longest wait for one file to hold still, its reads included; a file
/// that is still being written after it is not read.
inline constexpr std::int64_t kMaxSettleWaitNs = 3'000'000'000;

/// The program's own steady clock and its sleep, in nanoseconds.
struct SettleClock {
  std::int64_t (*now_ns)();
  void (*sleep_ns)(std::int64_t);
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

/// Calls `read` with the size from the file's stamp once the stamp has held
/// still for kSettleIntervalNs (or its last write is older than that), and
/// again whenever the stamp changed across the read. True when a read gave
/// kDone and the stamp held across it. False when a read failed, when the
/// file ended before its stamped size with its stamp unchanged, when the
/// stamp cannot be taken, and when the file did not hold still long enough
/// within kMaxSettleWaitNs.
bool ReadWhenQuiet(InputFile& file, const std::function<ReadAttempt(std::int64_t size)>& read);
