// SPDX-License-Identifier: Apache-2.0
// morvix-decode's command line.
#pragma once

#include <string>

namespace morvix::decode {

// The options as given; the usage text in decode_options.cc says what each
// means.
struct Options {
  int sps = 10;              // -s: samples per line bit, 1 .. 1000
  int fec = 1;               // -f sets 0: no Reed-Solomon correction, as the daemon's -f
  int improved_reading = 0;  // -a: the improved reading, as the daemon's -a
  bool json = false;         // --json: one JSON object per frame instead of dump lines
  bool all = false;          // --all: repeats too
  bool stats = false;        // --stats: a summary on standard error at the end
  std::string input;         // the sample file, or "-" for standard input
};

// Reads the arguments; --help prints the usage text and --version
// "morvix-decode VERSION" on standard output and exit 0; a bad or missing
// argument ends through tool::bad_arguments (status 2).
Options parse_options(int argc, char** argv);

}  // namespace morvix::decode
