// SPDX-License-Identifier: Apache-2.0
#include "decoder/frame_dump.h"

#include <cinttypes>
#include <cstring>

#include "runtime/hex.h"

namespace morvix {

int is_repeat(const PreviousFrame& previous, const unsigned char* frame, int len) {
  return len == previous.prev_framelen &&
         std::memcmp(frame, previous.prev_frame, static_cast<size_t>(len)) == 0;
}

void remember_frame(PreviousFrame& previous, const unsigned char* frame, int len) {
  std::memcpy(previous.prev_frame, frame, static_cast<size_t>(len));
  previous.prev_framelen = len;
}

int print_dump_line(std::FILE* out, int64_t number, const unsigned char* frame, int len) {
  // Built in place and written at once: a byte at a time through printf
  // costs more than the decoding when the frames come thick.
  char line[kDumpLineMax + 1];
  int at = std::snprintf(line, sizeof line, "rx: #%" PRId64 " ", number);
  char* end = put_hex(line + at, frame, static_cast<size_t>(len), ' ');
  at = static_cast<int>(end - line);
  line[at++] = '\n';
  const size_t size = static_cast<size_t>(at);
  return std::fwrite(line, 1, size, out) == size ? at : -1;
}

}  // namespace morvix
