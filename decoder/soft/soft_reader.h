// SPDX-License-Identifier: Apache-2.0
// The improved reading (-a): every line bit gets a soft value, a weighted sum
// of the samples of the bit and its two neighbours plus a constant
// (decoder/soft/soft_taps.h). The weights are learned per stream
// (decoder/soft/soft_labels.h, soft_learner.h) in a bank of weight sets
// (soft_bank.h). Sync words are found by the soft values' correlation with
// the sync word (soft_sync.h), blocks are decoded by Chase-II (chase.h), the
// bit clock is followed at the transitions (soft_values.h). When the
// improved reading fails, the literal reading reads the frame as it would
// without -a.
//
// This unit holds the improved reading's state, one struct per job, and its
// steps within the frame checker: which sync words it reads, its blocks,
// what it learns from, and how a frame it fails goes to the literal
// reading.
#pragma once

#include <cstdint>

#include "decoder/block_decoder.h"
#include "decoder/decoder_stats.h"
#include "decoder/sample_ring.h"
#include "decoder/soft/chase.h"
#include "decoder/soft/soft_labels.h"
#include "decoder/soft/soft_sync.h"
#include "decoder/soft/soft_taps.h"
#include "decoder/soft/soft_values.h"
#include "decoder/sync_search.h"
#include "fec/init_rs.h"

namespace morvix {

// What the improved reading does with the sync word at hand. kLiteral and
// kSoftThenLiteral are for the literal reading's own sync words (at most
// kMaxSyncWrongBits wrong), which it reads should the improved reading not.
enum class SoftMode : uint8_t {
  kNone,             // none at hand: the search goes on
  kPending,          // a candidate waits for samples before it is judged
  kLiteral,          // the literal reading reads it (not read softly, or that failed)
  kSoft,             // its blocks are read softly; should that fail, it is rejected
  kSoftThenLiteral,  // read softly; should that fail, literally
};

// Which candidates the improved reading judges and reads, and how.
struct SoftSearch {
  SoftMode mode = SoftMode::kNone;
  bool judges = false;        // there is a codec (Chase decoding needs it)
  int lookback = 0;           // samples between the search position and a candidate
  int ahead = 0;              // the same for the candidate at hand (less at the input's start)
  long start_next = 0;        // the input's first samples: the next candidate there
  int64_t tried_at = -1;      // input sample of the last candidate read softly
  int64_t judged_until = -1;  // candidates before this input sample are judged
};

// The figures of the frame being read (FrameQuality::soft once it passes).
struct SoftFigures {
  int64_t ber_sum = 0;  // expected wrong hard decisions, x 65536
  int bits = 0;
  int chase_changed = 0;
  int chase_blocks = 0;
};

struct SoftReader {
  SoftValues values;         // the taps, the weight bank and its tables
  LabelBuffer labels;        // what the frame being read may teach
  SoftSearch search;         // candidates, and the mode
  SyncJudge judge;           // the sync word judged: where its bits start
  BitClock clock;            // where the next line bit starts
  ChaseTables chase;         // Chase decoding's tables for the link's code
  InputCredit chase_credit;  // Chase test words that may be decoded (earned by input)
  SoftFigures figures;
};

// True while the frame's blocks are read softly.
inline bool reads_softly(const SoftReader& s) {
  return s.search.mode == SoftMode::kSoft || s.search.mode == SoftMode::kSoftThenLiteral;
}

// Start-up for sps samples per line bit with the link's codec rs (null:
// no correction, and so no soft reading): the weights' defaults, the tables
// (the only allocations), the lookback; forgets any frame being read.
void soft_setup(SoftReader& s, int sps, const rs_codec* rs);

// The sync search with -a. Candidates are the positions where the sync
// word's 40 samples differ in at most kMaxCandidateWrongBits places; each
// new one is judged by the soft correlation. Returns 1 with the search
// position lookback samples before the candidate, the block position where
// the literal reading would read, and the mode set: kSoft or
// kSoftThenLiteral (the improved reading reads it), or kLiteral (the
// candidate is the literal reading's sync word, at most kMaxSyncWrongBits
// wrong, read literally); or 0, need_input set, when the samples for the
// next candidate, or for judging this one, have not arrived. Each sync word
// is judged and read softly once; its later phases that the literal search
// matches are read literally, as without -a.
int search_soft(SoftReader& s, SampleRing& r, const SyncTables& t);

// Reads the block at clock.pos, like get_block: 1 when its 60 data bits were
// appended to the frame (the block noted in q), 0 when its samples have not
// arrived (need_input), -1 when Chase decoding found no codeword near
// enough, or the block lies beyond what the ring can hold.
int get_block_soft(SoftReader& s, SampleRing& r, BlockAssembly& a, FrameQuality& q);

// The improved reading of the frame failed. Returns true when the literal
// reading reads it again from its first block (the mode is then kLiteral),
// false when it is rejected (kNone).
bool soft_failed(SoftReader& s);

// The frame being read passed both CRCs: it is learned from when trusted
// (decoder/soft/soft_labels.h), its figures go to q.
void soft_frame_done(SoftReader& s, const SampleRing& r, SoftQuality& q);

}  // namespace morvix
