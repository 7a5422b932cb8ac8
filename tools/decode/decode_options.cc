// SPDX-License-Identifier: Apache-2.0
#include "tools/decode/decode_options.h"

#include <cstdio>
#include <cstdlib>

#include "decoder/decoder.h"
#include "tools/tool_args.h"

namespace morvix::decode {

namespace {

using tool::bad_arguments;
using tool::integer_option;

constexpr const char* kUsage =
    "usage: morvix-decode [-s SPS] [-f] [-a] [--json] [--all] [--stats] FILE|-\n"
    "Decodes a file of packed one-bit samples (the daemon's input, what\n"
    "morvix-gen --out writes), or standard input with '-', with the daemon's\n"
    "decoder, and prints the frames the daemon would pass on, as its -d dump\n"
    "does: 'rx: #N ' then each byte as '%02x ', numbered from 0; a frame equal\n"
    "to the last one printed is a repeat and is left out.\n"
    "\n"
    "  -s SPS     samples per line bit, 1-1000 (default 10)\n"
    "  -f         no Reed-Solomon correction (frames rely on the CRCs alone)\n"
    "  -a         the improved reading, as the daemon's -a\n"
    "  --json     one JSON object per frame instead: number, sample (index in the\n"
    "             input of the sync word's first sample), phase, sync_errors,\n"
    "             blocks (symbols corrected per block), corrected, with -a soft\n"
    "             (null when the literal reading read the frame, else sync_rho:\n"
    "             the sync word's soft correlation x 1000, ber_ppm: the bit\n"
    "             error rate the soft values predict, chase_bits and\n"
    "             chase_blocks: bits and blocks Chase decoding changed),\n"
    "             length, repeat, frame (hex)\n"
    "  --all      repeats too: numbered on as the daemon would number them if it\n"
    "             kept them (repeat: true in JSON)\n"
    "  --stats    a summary on standard error at the end: samples, sync words,\n"
    "             frames by outcome, corrections, time and rate\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Progress goes to standard error while it is a terminal. The input ends the\n"
    "run: frames complete by then are printed, a frame cut off is not.\n"
    "Exit status: 0 done, 1 the input could not be read or the output written,\n"
    "2 bad arguments.\n";

}  // namespace

Options parse_options(int argc, char** argv) {
  Options o;
  bool input_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (name == "--version") {
      tool::print_version();
    } else if (name == "-s") {
      if (i + 1 >= argc) bad_arguments("-s needs a value");
      o.sps = static_cast<int>(integer_option(name, argv[++i], 1, kMaxSps));
    } else if (name == "-f") {
      o.fec = 0;
    } else if (name == "-a") {
      o.improved_reading = 1;
    } else if (name == "--json") {
      o.json = true;
    } else if (name == "--all") {
      o.all = true;
    } else if (name == "--stats") {
      o.stats = true;
    } else if (name.size() > 1 && name[0] == '-') {
      bad_arguments("unknown option '" + name + "'");
    } else if (input_given) {
      bad_arguments("one input only, not also '" + name + "'");
    } else if (name.empty()) {
      bad_arguments("the input's name is empty");
    } else {
      o.input = name;
      input_given = true;
    }
  }
  if (!input_given) bad_arguments("give the input: a FILE of samples, or - for standard input");
  return o;
}

}  // namespace morvix::decode
