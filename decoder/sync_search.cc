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
  const unsigned char* ring = d.rxbits.get();
  const long ring_samples = 8L * d.ring_bytes;
  const long start = 8L * d.brdp;
  if (start + first < ring_samples) {
    const long end = std::min(start + last, ring_samples - 1);
    if (end / 8 + sync_scan_slack_bytes(d.sps) > d.ring_bytes) {
      std::memcpy(d.rxbits.get() + d.ring_bytes, ring, static_cast<size_t>(d.sync_mirror_bytes));
    }
    const long hit = scan_for_sync(ring, start + first, end, d.sps, d.sync_wide, max_wrong);
    if (hit >= 0) return hit - start;
  }
  if (start + last >= ring_samples) {
    const long from = std::max(start + first, ring_samples) - ring_samples;
    const long hit =
        scan_for_sync(ring, from, start + last - ring_samples, d.sps, d.sync_wide, max_wrong);
    if (hit >= 0) return hit + ring_samples - start;
  }
  return -1;
}

void init_sync_tables(Decoder& d) {
  std::memcpy(d.match_bits, kSyncWord, sizeof kSyncWord);
  for (int j = 0; j < kSyncBits; ++j) d.match_table[j] = (d.match_bits[j / 8] >> (7 - j % 8)) & 1;
  d.minmatchbytes = d.sps * 42 / 8;
  for (int p = 0; p < 8; ++p) {
    int x = p - d.sps;
    int c = 0;
    while (x < 0) {
      x += 8;
      ++c;
    }
    d.bbytes[p] = c;
    d.bbnext[p] = x;
  }
  d.sync_mirror_bytes = sync_scan_slack_bytes(d.sps);
  d.sync_wide = sync_scan_wide_available();
}

int get_frame_id(Decoder& d) {
  if (d.brx_count < d.ring_bytes) get_more_samples(d);
  if (d.brx_count < d.minmatchbytes) return awaiting_input(d);

  // Samples counted from bit 7 of byte brdp. An attempt at sample n is made
  // when the byte it moves from still leaves minmatchbytes unread, and when
  // its last sample, n + 39 sps, has been written.
  const long count = d.brx_count;
  const long brdp = d.brdp;
  const long first = 8 - d.brdb;
  const long last = std::min(8 * (count - d.minmatchbytes + 1),
                             8 * count - 1 - static_cast<long>(kSyncBits - 1) * d.sps);
  if (last < first) return awaiting_input(d);
  const long hit = scan_unread(d, first, last, kMaxSyncErrors);

  // The search stands on the match, or on the last attempt made.
  const long at = hit >= 0 ? hit : last;
  d.brdp = static_cast<int>((brdp + at / 8) % d.ring_bytes);
  d.brdb = static_cast<int>(7 - at % 8);
  d.brx_count = static_cast<int>(count - at / 8);
  if (hit < 0) return awaiting_input(d);

  // The first block starts 40 line bits after the sync word's first sample.
  const long block = at + static_cast<long>(kSyncBits) * d.sps;
  d.bbp = static_cast<int>((brdp + block / 8) % d.ring_bytes);
  d.bbb = static_cast<int>(7 - block % 8);
  d.framep = 0;
  d.framebp = 0;
  return 1;
}

}  // namespace morvix
