// SPDX-License-Identifier: Apache-2.0
// The sync word search.
#pragma once

#include "decoder/sample_ring.h"
#include "decoder/sync_word.h"

namespace morvix {

// The search's tables, made once from sps (init_sync_tables).
struct SyncTables {
  int minmatchbytes = 0;   // unread bytes one sync attempt needs
  bool sync_wide = false;  // run the scan's AVX2 build (the CPU has it)
};

// Sets minmatchbytes for sps samples per line bit and picks the build of
// the scan this CPU runs best (sync_wide).
void init_sync_tables(SyncTables& t, int sps);

// Slides the search position one sample at a time until 40 line bits read
// at sps spacing match the sync word with at most kMaxSyncWrongBits
// differences; the first matching sample phase wins. Returns 1 with the
// search position on the sync word's first sample and the block position
// 40 line bits on; or 0 when the unread part of the ring is too short for
// the next attempt (fewer than minmatchbytes bytes, or its last sample not
// yet written), leaving the search where the last attempt stood and
// need_input set. Reads only what is in the ring (get_data_frame tops it up).
int get_frame_id(SampleRing& r, const SyncTables& t);

// The first attempt from offset first to offset last (first >= 0, within
// the unread part) whose 40 samples differ from the sync word in at most
// max_wrong places (see scan_for_sync), as an offset; or -1. The samples
// the attempts read must have arrived. May copy the ring's start into the
// spare bytes past its end.
long scan_unread(SampleRing& r, const SyncTables& t, long first, long last, int max_wrong);

}  // namespace morvix
