// SPDX-License-Identifier: Apache-2.0
// channel_sensitivity --noise-only: noise alone through the channel model,
// read by the literal and the improved reading.
#pragma once

namespace morvix::bench {

// Reads samples (at sps samples per bit) of noise through the channel with
// no sender on the air, prints how many frames each reading made and how
// many soft readings -a began; returns 0 when no frame came out, else 1.
int noise_only(int sps, long long samples);

}  // namespace morvix::bench
