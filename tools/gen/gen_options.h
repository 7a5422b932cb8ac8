// SPDX-License-Identifier: Apache-2.0
// morvix-gen's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/gen/channel.h"
#include "tools/gen/signal_gen.h"

namespace morvix::gen {

// The options as given; each field is the option of the same name (the
// usage text in gen_options.cc says what each means).
struct Options {
  std::optional<Bytes> hex;
  int min_len = 1;
  int max_len = kMaxPayloadBytes;
  bool len_given = false;
  int first_byte = 0;
  long long frames = 1;
  long long repeat = 1;
  double broken = 0.0;
  int sps = 10;
  long long phase = 0;
  long long gap = 0;
  long long tail = 0;
  bool gap_noise = false;
  double ber = 0.0;
  bool channel = false;        // --channel given: the line goes through tools/channel.h
  double noise = 0.0;          // its noise
  double ppm = 0.0;            // --clock-ppm
  ChannelOptions impairments;  // --time-constant, --second-pole, --slicer, --clock-wander,
                               // --bursts, --fading
  bool impairment_given = false;
  LineOptions line;
  uint32_t seed = 1;
  std::string out;
  std::string udp;
  int datagram = 1000;
  bool datagram_given = false;
  double rate = 0.0;
  std::string replay;
  std::string frames_out;
};

// Reads the arguments; --help prints the usage text and exits 0, a bad or
// missing argument ends through tool::bad_arguments (status 2).
Options parse_options(int argc, char** argv);

}  // namespace morvix::gen
