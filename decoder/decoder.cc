// SPDX-License-Identifier: Apache-2.0
#include "decoder/decoder.h"

#include <algorithm>

#include "decoder/soft_reader.h"
#include "decoder/sync_search.h"

namespace morvix {

int ring_bytes_for(int sps) {
  // The longest frame from the first sample of its sync word, and the few
  // line bits more that the improved reading may look at (behind the sync word,
  // past the last bit, a clock that runs slow), one byte for the bit the
  // sync word starts at, one spare.
  constexpr int kSpareBits = 12;
  const long samples =
      static_cast<long>(kSyncBits + kBlockBits * kMaxFrameBlocks + kSpareBits) * sps;
  const long bytes = (samples + 7) / 8 + 2;
  return static_cast<int>(std::max<long>(bytes, kRingBytes));
}

void decoder_setup(Decoder& d, int sps, int fec, const rs_codec* rs) {
  d.ring.sps = sps;
  d.block.fec = fec;
  d.block.rs = rs;
  d.checker.df_state = DfState::kSearching;
  d.ring.need_input = false;
  d.ring.irdlen = 0;
  d.ring.irdptr = 0;
  init_sync_tables(d);
  d.block.minblockbytes = sps * 86 / 8;
  d.ring.ring_bytes = ring_bytes_for(sps);
  d.ring.rxbits = std::make_unique<unsigned char[]>(
      static_cast<size_t>(d.ring.ring_bytes + d.ring.sync_mirror_bytes));
  d.ring.bwrp = 0;
  d.ring.brdp = 0;
  d.ring.brdb = 7;
  d.ring.brx_count = 0;
  d.ring.bytes_in = 0;
  soft_setup(d);
  d.stats = DecoderStats{};
  d.quality = FrameQuality{};
}

}  // namespace morvix
