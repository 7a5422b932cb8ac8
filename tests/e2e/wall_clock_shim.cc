// SPDX-License-Identifier: Apache-2.0
// Preloaded into the daemon by a test: once the file named by
// WALL_CLOCK_STEP_FILE exists, the wall clock reads a day later, as after
// an NTP or GPS step at boot. With BOOT_CLOCK_RATE=N the boot clock, the
// daemon's own (runtime/clock.h), runs N times faster from its first
// reading, so that ticks come N times as often. Other clocks pass through.
#include <dlfcn.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace {

constexpr time_t kStep = 86400;

using ClockGettime = int (*)(clockid_t, timespec*);

int real_clock_gettime(clockid_t id, timespec* t) {
  static const auto next = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
  return next(id, t);
}

time_t offset() {
  static const char* const trigger = std::getenv("WALL_CLOCK_STEP_FILE");
  return trigger != nullptr && access(trigger, F_OK) == 0 ? kStep : 0;
}

long long boot_rate() {
  static const char* const rate = std::getenv("BOOT_CLOCK_RATE");
  return rate != nullptr ? std::atoll(rate) : 1;
}

void speed_up(timespec* t) {
  static const timespec start = *t;
  const long long ns = (t->tv_sec - start.tv_sec) * 1'000'000'000LL + (t->tv_nsec - start.tv_nsec);
  const long long fast = start.tv_nsec + ns * boot_rate();
  t->tv_sec = start.tv_sec + static_cast<time_t>(fast / 1'000'000'000LL);
  t->tv_nsec = static_cast<long>(fast % 1'000'000'000LL);
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t id, timespec* t) {
  const int r = real_clock_gettime(id, t);
  if (r == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) t->tv_sec += offset();
  if (r == 0 && id == CLOCK_BOOTTIME && boot_rate() > 1) speed_up(t);
  return r;
}

time_t time(time_t* out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (out != nullptr) *out = now.tv_sec;
  return now.tv_sec;
}

int gettimeofday(timeval* tv, void*) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tv->tv_sec = now.tv_sec;
  tv->tv_usec = now.tv_nsec / 1000;
  return 0;
}

}  // extern "C"
