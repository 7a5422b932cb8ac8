// SPDX-License-Identifier: Apache-2.0
#include "decoder/sync_search.h"

#include <algorithm>
#include <cstring>

#include "decoder/sync_scan.h"

// The step-by-step search moves one sample, compares 40 samples, and goes on
// until an attempt matches or its own checks stop it. Those checks depend
// only on how far the attempt lies from where the call started, so the call
// works out the last attempt they allow up front and hands the whole run of
// attempts to the word-parallel scan, which keeps their order and returns the
// first match.

namespace morvix {

// The run may cross the ring's end: the part before it is scanned in place,
// loading into the mirror bytes when it comes near the end, and the part
// after it from the ring's start.
long scan_unread(SampleRing& r, const SyncTables& t, long first, long last, int max_wrong) {
  const unsigned char* ring = r.rxbits.get();
  const long ring_samples = 8L * r.ring_bytes;
  const long start = 8L * r.brdp;
  if (start + first < ring_samples) {
    const long end = std::min(start + last, ring_samples - 1);
    if (end / 8 + sync_scan_slack_bytes(r.sps) > r.ring_bytes) {
      std::memcpy(r.rxbits.get() + r.ring_bytes, ring, static_cast<size_t>(r.sync_mirror_bytes));
    }
    const long hit = scan_for_sync(ring, start + first, end, r.sps, t.sync_wide, max_wrong);
    if (hit >= 0) return hit - start;
  }
  if (start + last >= ring_samples) {
    const long from = std::max(start + first, ring_samples) - ring_samples;
    const long hit =
        scan_for_sync(ring, from, start + last - ring_samples, r.sps, t.sync_wide, max_wrong);
    if (hit >= 0) return hit + ring_samples - start;
  }
  return -1;
}

void init_sync_tables(SyncTables& t, int sps) {
  // The sync word's line bits and two more, in bytes.
  t.minmatchbytes = (kSyncBits + 2) * sps / 8;
  t.sync_wide = sync_scan_wide_available();
}

int get_frame_id(SampleRing& r, const SyncTables& t) {
  if (r.brx_count < t.minmatchbytes) return awaiting_input(r);

  // An attempt at offset n is made when the byte it moves from still
  // leaves minmatchbytes unread, and when its last sample, n + 39 sps, has
  // been written.
  const long count = r.brx_count;
  const long first = 8 - r.brdb;
  const long last = std::min(8 * (count - t.minmatchbytes + 1),
                             8 * count - 1 - static_cast<long>(kSyncBits - 1) * r.sps);
  if (last < first) return awaiting_input(r);
  const long hit = scan_unread(r, t, first, last, kMaxSyncWrongBits);

  // The search stands on the match, or on the last attempt made.
  move_search(r, hit >= 0 ? hit : last);
  if (hit < 0) return awaiting_input(r);
  // The first block starts 40 line bits after the sync word's first sample.
  place_block(r, 7 - r.brdb + static_cast<long>(kSyncBits) * r.sps);
  return 1;
}

}  // namespace morvix
