#include "driver/clock.h"

namespace morvix {

namespace {
const std::time_t* g_fake = nullptr;
}

std::time_t clock_now() {
  if (g_fake != nullptr) return *g_fake;
#ifdef MORVIX_CLOCK_RATE
  // Soak builds run the keepalive clock MORVIX_CLOCK_RATE times faster than
  // real time, so that months of ticks and expiries fit into minutes.
  static const std::time_t start = std::time(nullptr);
  return start + (std::time(nullptr) - start) * MORVIX_CLOCK_RATE;
#else
  return std::time(nullptr);
#endif
}

void clock_override(const std::time_t* fake) { g_fake = fake; }

}  // namespace morvix
