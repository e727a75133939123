#pragma once

#include <cstdint>

#include "settle/quiet_read.h"

/// Where the pretend clock stands, in nanoseconds.
inline std::int64_t g_pretend_now_ns = 0;

/// Makes every wait for a quiet file go by a clock whose sleep only moves it
/// on, so that files the tests have just written cost them no time. Their
/// ages are as the system's clock tells them.
inline void UsePretendClock() {
  CurrentSettleClock() = {[] { return g_pretend_now_ns; },
                          [](std::int64_t duration) { g_pretend_now_ns += duration; },
                          NanosecondsSince};
}
