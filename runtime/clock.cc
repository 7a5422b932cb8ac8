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

int64_t ms_since_boot() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return (static_cast<int64_t>(now.tv_sec) + 1) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

std::time_t clock_now() {
  if (g_fake != nullptr) return *g_fake;
  const std::time_t now = seconds_since_boot();
  if (g_factor == 1) return now;
  return g_start + (now - g_start) * g_factor;
}

int64_t clock_now_ms() {
  if (g_fake != nullptr) return static_cast<int64_t>(*g_fake) * 1000;
  const int64_t now = ms_since_boot();
  if (g_factor == 1) return now;
  const int64_t start = static_cast<int64_t>(g_start) * 1000;
  return start + (now - start) * g_factor;
}

void clock_override(const std::time_t* fake) { g_fake = fake; }

void clock_speed_up(int factor) {
  g_start = seconds_since_boot();
  g_factor = factor;
}

}  // namespace morvix
