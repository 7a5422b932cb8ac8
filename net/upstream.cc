// SPDX-License-Identifier: Apache-2.0
#include "net/upstream.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace morvix {

namespace {

constexpr int kUidDigits = 40;
constexpr int kUidLineBytes = 2048;

bool is_uid_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

int get_uid(Distribution& dist, const char* path) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) {
    const int why = errno;
    std::fprintf(stderr, "can't locate uid file \"%s\"\n", path);
    // A file that is there but cannot be opened: where, and why not.
    if (why != ENOENT) {
      char dir[PATH_MAX];
      const bool relative = path[0] != '/' && getcwd(dir, sizeof dir) != nullptr;
      std::fprintf(stderr, "%s%s%s: %s\n", relative ? dir : "", relative ? "/" : "", path,
                   std::strerror(why));
    }
    return 0;
  }
  char line[kUidLineBytes];
  if (std::fgets(line, sizeof line, f) == nullptr) line[0] = '\0';
  std::fclose(f);

  int count = 0;
  for (const char* p = line; *p != '\0' && *p != '\r' && *p != '\n'; ++p) {
    if (!is_uid_digit(*p)) {
      std::fputs("uid format error\n", stderr);
      return 0;
    }
    ++count;
  }
  if (count != kUidDigits) {
    std::fputs("uid format error\n", stderr);
    return 0;
  }

  dist.upstream.uidslen =
      std::snprintf(dist.upstream.uid, sizeof dist.upstream.uid, "*uid:%.*s:", kUidDigits, line);
  return 1;
}

void send_vorn_uid(Distribution& dist) {
  // Nothing to send to before the name has resolved, nor with -u off.
  if (dist.upstream.vorn_off || dist.table.clients[0].port == 0) return;
  ++dist.stats.identity_announcements;
  send_to_slot(dist, dist.table.clients[0], dist.upstream.uid,
               static_cast<size_t>(dist.upstream.uidslen));
}

}  // namespace morvix
