// SPDX-License-Identifier: Apache-2.0
#include "decoder/decoder.h"

namespace morvix {

void decoder_setup(Decoder& d, int sps, int fec, const rs_codec* rs) {
  ring_setup(d.ring, sps);
  init_sync_tables(d.sync, sps);
  block_setup(d.block, sps, fec, rs);
  d.checker.df_state = DfState::kSearching;
  soft_setup(d.soft, sps, rs);
  d.stats = DecoderStats{};
  d.quality = FrameQuality{};
}

}  // namespace morvix
