// SPDX-License-Identifier: Apache-2.0
// morvix-decode: decodes a recorded or piped sample stream with the daemon's
// own decoder and prints what the daemon would pass on. decode_options.cc
// lists the options.
#include <cerrno>
#include <cstdio>

#include "decoder/decoder.h"
#include "fec/link_codec.h"
#include "tools/decode/decode_loop.h"
#include "tools/decode/decode_options.h"
#include "tools/decode/decode_output.h"
#include "tools/decode/decode_report.h"
#include "tools/tool_args.h"

int main(int argc, char** argv) {
  using namespace morvix;
  using namespace morvix::decode;
  tool::set_program("morvix-decode");
  const Options options = parse_options(argc, argv);

  const rs_codec* rs = options.fec ? link_codec() : nullptr;
  if (options.fec && rs == nullptr) {
    errno = ENOMEM;
    tool::failed("can't make the codec");
  }
  static Decoder d;
  decoder_setup(d, options.sps, options.fec, rs);
  d.improved_reading = options.improved_reading;

  Output out;
  out.json = options.json;
  out.all = options.all;
  Progress progress;
  const Clock::time_point start = Clock::now();
  const int64_t bytes = decode_input(options.input, d, out, progress);
  const double seconds = seconds_since(start);
  if (std::fflush(stdout) != 0) tool::failed("can't write the frames");
  if (options.stats) print_summary(stderr, d.ring, d.stats, out, bytes, seconds);
  return 0;
}
