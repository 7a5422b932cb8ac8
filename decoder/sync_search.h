// SPDX-License-Identifier: Apache-2.0
// The sync word search.
#pragma once

#include "decoder/decoder.h"

namespace morvix {

constexpr unsigned char kSyncWord[5] = {0x07, 0x09, 0x2A, 0x44, 0x6F};
constexpr int kMaxSyncErrors = 5;

// Builds match_bits, match_table, minmatchbytes and the step tables from d.ring.sps,
// sets the spare bytes the ring needs past its end (sync_mirror_bytes) and
// picks the build of the scan this CPU runs best (sync_wide).
void init_sync_tables(Decoder& d);

// Slides the search position one sample at a time until 40 line bits read
// at sps spacing match the sync word with at most 5 differences; the first
// matching sample phase wins. Returns 1 with the search position on the
// sync word's first sample, the block position 40 line bits on and the frame
// assembly reset; or 0 when the unread part of the ring is too short for the
// next attempt (fewer than minmatchbytes bytes, or its last sample not yet
// written), leaving the search where the last attempt stood and need_input
// set. Reads only what is in the ring (get_data_frame tops it up).
int get_frame_id(Decoder& d);

// The first attempt from sample `first` to sample `last` of the unread part
// (counted from bit 7 of byte brdp) whose 40 samples differ from the sync
// word in at most max_wrong places (see scan_for_sync), in the same terms;
// or -1. The samples the attempts read must have arrived.
long scan_unread(Decoder& d, long first, long last, int max_wrong);

}  // namespace morvix
