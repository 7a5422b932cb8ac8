// SPDX-License-Identifier: Apache-2.0
#include "tools/decode/decode_output.h"

#include <cinttypes>

#include "runtime/hex.h"

namespace morvix::decode {

int output_frame(Output& out, const Decoder& d) {
  const bool repeat = is_repeat(out.previous, d.block.frame, d.checker.framelen) != 0;
  if (repeat) {
    ++out.repeats;
  } else {
    ++out.passed_on;
    remember_frame(out.previous, d.block.frame, d.checker.framelen);
  }
  if (repeat && !out.all) return 0;
  const int64_t number = out.dump_counter++;
  const int written = out.json ? print_json_line(out.to, number, d, repeat)
                               : print_dump_line(out.to, number, d.block.frame, d.checker.framelen);
  if (written < 0) return -1;
  return repeat ? 0 : 1;
}

int print_json_line(std::FILE* to, int64_t number, const Decoder& d, bool repeat) {
  const FrameQuality& q = d.quality;
  // The longest line: the numbers, 41 blocks of "4," and the frame in hex.
  char line[384 + 2 * kMaxFrameBlocks + 2 * kFrameBytes];
  int at = std::snprintf(line, sizeof line,
                         "{\"number\":%" PRId64 ",\"sample\":%" PRId64
                         ",\"phase\":%d,\"sync_errors\":%d,\"blocks\":[",
                         number, q.sample, q.phase, q.sync_wrong_bits);
  const int blocks = q.blocks < kMaxFrameBlocks ? q.blocks : kMaxFrameBlocks;
  for (int b = 0; b < blocks; ++b) {
    if (b > 0) line[at++] = ',';
    line[at++] = static_cast<char>('0' + q.corrected[b]);  // 0 .. 4
  }
  at += std::snprintf(line + at, sizeof line - static_cast<size_t>(at), "],\"corrected\":%d",
                      q.corrected_total);
  // With -a: how the improved reading read the frame, null when the literal
  // reading did.
  if (d.improved_reading && q.soft.read) {
    at += std::snprintf(line + at, sizeof line - static_cast<size_t>(at),
                        ",\"soft\":{\"sync_rho\":%d,\"ber_ppm\":%d,\"chase_bits\":%d,"
                        "\"chase_blocks\":%d}",
                        q.soft.sync_rho, q.soft.ber_ppm, q.soft.chase_changed, q.soft.chase_blocks);
  } else if (d.improved_reading) {
    at += std::snprintf(line + at, sizeof line - static_cast<size_t>(at), ",\"soft\":null");
  }
  at += std::snprintf(line + at, sizeof line - static_cast<size_t>(at),
                      ",\"length\":%d,\"repeat\":%s,\"frame\":\"", d.checker.framelen,
                      repeat ? "true" : "false");
  at = static_cast<int>(put_hex(line + at, d.block.frame, static_cast<size_t>(d.checker.framelen)) -
                        line);
  line[at++] = '"';
  line[at++] = '}';
  line[at++] = '\n';
  const size_t size = static_cast<size_t>(at);
  return std::fwrite(line, 1, size, to) == size ? at : -1;
}

}  // namespace morvix::decode
