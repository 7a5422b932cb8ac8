// SPDX-License-Identifier: Apache-2.0
#include "decoder/sync_search.h"

#include <algorithm>
#include <cstring>

#include "decoder/sample_ring.h"
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
long scan_unread(Decoder& d, long first, long last, int max_wrong) {
  const unsigned char* ring = d.ring.rxbits.get();
  const long ring_samples = 8L * d.ring.ring_bytes;
  const long start = 8L * d.ring.brdp;
  if (start + first < ring_samples) {
    const long end = std::min(start + last, ring_samples - 1);
    if (end / 8 + sync_scan_slack_bytes(d.ring.sps) > d.ring.ring_bytes) {
      std::memcpy(d.ring.rxbits.get() + d.ring.ring_bytes, ring,
                  static_cast<size_t>(d.ring.sync_mirror_bytes));
    }
    const long hit =
        scan_for_sync(ring, start + first, end, d.ring.sps, d.sync.sync_wide, max_wrong);
    if (hit >= 0) return hit - start;
  }
  if (start + last >= ring_samples) {
    const long from = std::max(start + first, ring_samples) - ring_samples;
    const long hit = scan_for_sync(ring, from, start + last - ring_samples, d.ring.sps,
                                   d.sync.sync_wide, max_wrong);
    if (hit >= 0) return hit + ring_samples - start;
  }
  return -1;
}

void init_sync_tables(Decoder& d) {
  std::memcpy(d.sync.match_bits, kSyncWord, sizeof kSyncWord);
  for (int j = 0; j < kSyncBits; ++j)
    d.sync.match_table[j] = (d.sync.match_bits[j / 8] >> (7 - j % 8)) & 1;
  d.sync.minmatchbytes = d.ring.sps * 42 / 8;
  for (int p = 0; p < 8; ++p) {
    int x = p - d.ring.sps;
    int c = 0;
    while (x < 0) {
      x += 8;
      ++c;
    }
    d.ring.bbytes[p] = c;
    d.ring.bbnext[p] = x;
  }
  d.ring.sync_mirror_bytes = sync_scan_slack_bytes(d.ring.sps);
  d.sync.sync_wide = sync_scan_wide_available();
}

int get_frame_id(Decoder& d) {
  if (d.ring.brx_count < d.sync.minmatchbytes) return awaiting_input(d.ring);

  // Samples counted from bit 7 of byte brdp. An attempt at sample n is made
  // when the byte it moves from still leaves minmatchbytes unread, and when
  // its last sample, n + 39 sps, has been written.
  const long count = d.ring.brx_count;
  const long brdp = d.ring.brdp;
  const long first = 8 - d.ring.brdb;
  const long last = std::min(8 * (count - d.sync.minmatchbytes + 1),
                             8 * count - 1 - static_cast<long>(kSyncBits - 1) * d.ring.sps);
  if (last < first) return awaiting_input(d.ring);
  const long hit = scan_unread(d, first, last, kMaxSyncErrors);

  // The search stands on the match, or on the last attempt made.
  const long at = hit >= 0 ? hit : last;
  d.ring.brdp = static_cast<int>((brdp + at / 8) % d.ring.ring_bytes);
  d.ring.brdb = static_cast<int>(7 - at % 8);
  d.ring.brx_count = static_cast<int>(count - at / 8);
  if (hit < 0) return awaiting_input(d.ring);

  // The first block starts 40 line bits after the sync word's first sample.
  const long block = at + static_cast<long>(kSyncBits) * d.ring.sps;
  d.ring.bbp = static_cast<int>((brdp + block / 8) % d.ring.ring_bytes);
  d.ring.bbb = static_cast<int>(7 - block % 8);
  d.block.framep = 0;
  d.block.framebp = 0;
  return 1;
}

}  // namespace morvix
