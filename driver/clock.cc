#include "driver/clock.h"

namespace morvix {

namespace {

const std::time_t* g_fake = nullptr;

std::time_t seconds_since_boot() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return now.tv_sec + 1;
}

}  // namespace

std::time_t clock_now() {
  if (g_fake != nullptr) return *g_fake;
#ifdef MORVIX_CLOCK_RATE
  // Soak builds run the keepalive clock MORVIX_CLOCK_RATE times faster than
  // real time, so that months of ticks and expiries fit into minutes.
  static const std::time_t start = seconds_since_boot();
  return start + (seconds_since_boot() - start) * MORVIX_CLOCK_RATE;
#else
  return seconds_since_boot();
#endif
}

void clock_override(const std::time_t* fake) { g_fake = fake; }

}  // namespace morvix
