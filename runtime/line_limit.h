// SPDX-License-Identifier: Apache-2.0
// A budget for one kind of standard error line that peers can trigger at
// will (a refused client, a client leaving): at most kLinesPerMinute lines
// in a minute, whatever the number of peers, then one line telling how many
// were left out. The lines themselves keep their own formats.
#pragma once

#include <cstdint>
#include <ctime>

namespace morvix {

constexpr int kLinesPerMinute = 5;
constexpr int kLineLimitSeconds = 60;

struct LineLimit {
  const char* kind = "";  // names the lines in the summary
  std::time_t since = 0;  // clock_now() of the current minute's first line; 0: none open
  int lines = 0;          // written in the current minute
  int64_t left_out = 0;   // not written in the current minute
};

// True when a line of this kind may be written at now; otherwise counts it
// as left out. A minute that is over is closed first, as line_limit_flush
// does.
bool line_allowed(LineLimit& limit, std::time_t now);

// Closes the current minute once kLineLimitSeconds have passed since its
// first line, writing "(N more \"kind\" lines left out in the last
// minute)\n" to standard error when any were.
void line_limit_flush(LineLimit& limit, std::time_t now);

}  // namespace morvix
