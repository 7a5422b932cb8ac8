// SPDX-License-Identifier: Apache-2.0
// The daemon's one clock, in whole seconds. The keepalive tick and client
// expiry read it here, so tests can step time instead of waiting.
#pragma once

#include <cstdint>
#include <ctime>

namespace morvix {

// Seconds since boot plus one (CLOCK_BOOTTIME, suspend included), sped up
// when clock_speed_up asked for it, or the value behind the override while
// one is set. The clock never steps with the wall clock (NTP or GPS setting
// it, the 2038 rollover), so ticks and silences are measured truly; it is
// never 0, so a stamp taken from it never reads as a free slot.
std::time_t clock_now();

// The same clock in milliseconds (the override's seconds x 1000 while one
// is set), for waits shorter than a second.
int64_t clock_now_ms();

// While fake is not null, clock_now() returns *fake; null restores the real
// clock. For tests only.
void clock_override(const std::time_t* fake);

// From now on the real clock runs factor (>= 1) times faster than time():
// soak builds use it so that months of ticks and expiries fit into minutes.
void clock_speed_up(int factor);

}  // namespace morvix
