// SPDX-License-Identifier: Apache-2.0
#include "runtime/clock.h"

namespace morvix {

namespace {

const std::time_t* g_fake = nullptr;
int g_factor = 1;
std::time_t g_start = 0;  // real clock when the speed-up began

std::time_t seconds_since_boot() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return now.tv_sec + 1;
}

}  // namespace

std::time_t clock_now() {
  if (g_fake != nullptr) return *g_fake;
  const std::time_t now = seconds_since_boot();
  if (g_factor == 1) return now;
  return g_start + (now - g_start) * g_factor;
}

void clock_override(const std::time_t* fake) { g_fake = fake; }

void clock_speed_up(int factor) {
  g_start = seconds_since_boot();
  g_factor = factor;
}

}  // namespace morvix
