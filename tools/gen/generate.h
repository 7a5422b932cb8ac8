// SPDX-License-Identifier: Apache-2.0
// morvix-gen's two jobs: the sample stream of generated frames, or a
// recorded sample file sent again.
#pragma once

#include "tools/gen/gen_options.h"
#include "tools/gen/sample_sink.h"

namespace morvix::gen {

// Sends the samples of the frames the options ask for to sink: phase, then
// each frame (--repeat times, gaps between), then the tail, and writes the
// good frames to --frames-out. Deterministic for a --seed. A failed file
// ends the program with status 1.
void generate(const Options& options, Sink& sink);

// Sends the --replay file to sink in pieces of --datagram bytes.
void replay(const Options& options, Sink& sink);

}  // namespace morvix::gen
