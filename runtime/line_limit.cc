// SPDX-License-Identifier: Apache-2.0
#include "runtime/line_limit.h"

#include <cstdio>

namespace morvix {

void line_limit_flush(LineLimit& limit, std::time_t now) {
  if (limit.since == 0 || now - limit.since < kLineLimitSeconds) return;
  if (limit.left_out > 0) {
    std::fprintf(stderr, "(%lld more \"%s\" lines left out in the last minute)\n",
                 static_cast<long long>(limit.left_out), limit.kind);
  }
  limit.since = 0;
  limit.lines = 0;
  limit.left_out = 0;
}

bool line_allowed(LineLimit& limit, std::time_t now) {
  line_limit_flush(limit, now);
  if (limit.since == 0) limit.since = now;
  if (limit.lines < kLinesPerMinute) {
    ++limit.lines;
    return true;
  }
  ++limit.left_out;
  return false;
}

}  // namespace morvix
