#include "tests/support/reference_sync.h"

#include "decoder/sample_ring.h"

namespace morvix::test {

int get_frame_id_reference(Decoder& d) {
  if (d.brx_count < d.ring_bytes) get_more_samples(d);
  for (;;) {
    if (d.brx_count < d.minmatchbytes) return 0;
    // The attempt one sample on must find all its samples written.
    const long last_ahead = (7 - d.brdb + 1 + static_cast<long>(kSyncBits - 1) * d.sps) / 8;
    if (last_ahead >= d.brx_count) return 0;

    if (--d.brdb < 0) {
      d.brdb = 7;
      if (++d.brdp == d.ring_bytes) d.brdp = 0;
      --d.brx_count;
    }
    d.bbp = d.brdp;
    d.bbb = d.brdb;
    int differences = 0;
    for (int j = 0; j < kSyncBits; ++j) {
      const int line_bit = read_sample(d, d.bbp, d.bbb) == 0 ? 1 : 0;
      if (line_bit != d.match_table[j] && ++differences > 5) break;
      d.bbp += d.bbytes[d.bbb];
      if (d.bbp >= d.ring_bytes) d.bbp -= d.ring_bytes;
      d.bbb = d.bbnext[d.bbb];
    }
    if (differences <= 5) {
      d.framep = 0;
      d.framebp = 0;
      return 1;
    }
  }
}

}  // namespace morvix::test
