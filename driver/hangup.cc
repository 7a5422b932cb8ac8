// SPDX-License-Identifier: Apache-2.0
#include "driver/hangup.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "net/upstream.h"
#include "net/upstream_lookup.h"

namespace morvix {

int hangup_open() {
  sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  const int fd = signalfd(-1, &hangup, SFD_NONBLOCK | SFD_CLOEXEC);
  // Blocked only once the descriptor is there to take it.
  if (fd >= 0) sigprocmask(SIG_BLOCK, &hangup, nullptr);
  return fd;
}

int hangup_taken(int fd) {
  int taken = 0;
  signalfd_siginfo info;
  while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ++taken;
  return taken;
}

void hangup_reload(Distribution& dist, UpstreamLookup* lookup) {
  char before[sizeof dist.upstream.uid];
  std::memcpy(before, dist.upstream.uid, sizeof before);
  const char* identity = "identity kept (uid.txt could not be loaded)";
  if (get_uid(dist)) {
    const bool changed = std::memcmp(before, dist.upstream.uid, sizeof before) != 0;
    identity = changed ? "new identity from uid.txt" : "identity unchanged";
    if (changed) send_vorn_uid(dist);
  }
  std::fprintf(stderr, "SIGHUP: %s, ", identity);
  if (lookup == nullptr) {
    std::fputs("upstream off", stderr);
  } else {
    std::fprintf(stderr, "looking up upstream host \"%s\" again", dist.upstream.vorn_host);
  }
  std::fputs("; options change only with a restart\n", stderr);
  std::fflush(stderr);
  // After the line: a lookup answered at once says so on a line of its own.
  if (lookup != nullptr) lookup_vorn_dns(dist, *lookup);
}

}  // namespace morvix
