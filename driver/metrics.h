// SPDX-License-Identifier: Apache-2.0
// The station's counters as text: Prometheus exposition for /metrics and one
// JSON object for /stats.json (the same numbers; keys without the "morvix_"
// prefix and the "_total" suffix). Written into the caller's buffer, so
// rendering allocates nothing.
#pragma once

#include <cstddef>

#include "decoder/decoder.h"
#include "driver/main_loop.h"
#include "net/client_table.h"

namespace morvix {

// Enough for either text with 32 slots and 20 recent frames of 307 bytes.
constexpr size_t kMetricsBytes = 32768;

// Each returns the length written to out (NUL-terminated, at most cap - 1).
size_t render_metrics(char* out, size_t cap, const Decoder& d, const Distribution& dist,
                      const LoopState& loop);
size_t render_stats_json(char* out, size_t cap, const Decoder& d, const Distribution& dist,
                         const LoopState& loop);

}  // namespace morvix
