// SPDX-License-Identifier: Apache-2.0
// channel_sensitivity's rows for the improved reading's learning over long
// and mixed streams: a steady channel for thousands of frames, a channel
// that changes, two transmitters heard alternately, the first frames on an
// unusual channel, and a crafted burst before the first frames. Each row is
// the share of frames decoded, by frame index or by thousand frames, beside
// the literal reading's and, where it applies, a warmed or clean start's.
#pragma once

namespace morvix::bench {

enum class LearnerRun { kLongRun, kChange, kTwoTransmitters, kColdStart, kCraftedBurst, kAll };

// Prints the rows of one run (frames scales the streams: the long run has
// frames frames, the others a tenth to a fifth of it). Returns the wrong
// frames plus the frames the literal reading decoded and -a did not.
int learner_runs(LearnerRun which, int frames);

// Prints the weights that the learner fits, from every third line bit of
// 3000 frames with their true bit boundaries, on the model channel with the
// slicer and time constant given, at noise.
void fit_weights(double slicer, double time_constant, double noise);

}  // namespace morvix::bench
