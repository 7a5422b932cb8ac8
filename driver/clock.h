// The daemon's one clock, in whole seconds. The keepalive tick and client
// expiry read it here, so tests can step time instead of waiting.
#pragma once

#include <ctime>

namespace morvix {

// The platform's time(), or the value behind the override while one is set.
std::time_t clock_now();

// While fake is not null, clock_now() returns *fake; null restores the real
// clock. For tests only.
void clock_override(const std::time_t* fake);

}  // namespace morvix
