// SPDX-License-Identifier: Apache-2.0
// The improved reading (-a, decoder/soft_reader.h) within the frame checker:
// which sync words it reads, its blocks, what it learns from, and how a
// frame it fails goes to the literal reading.
#pragma once

#include "decoder/decoder.h"
#include "decoder/decoder_stats.h"

namespace morvix {

// Hard wrong bits at the candidate, kSyncBits samples sps apart from
// d.soft.lookback on; at most limit + 1 are counted.
int soft_hard_wrong(const Decoder& d, int limit);

// The sync search with -a. Candidates are the positions where the sync
// word's 40 samples differ in at most 7 places; each new one is judged by
// the soft correlation. Returns 1 with the search position lookback samples
// before the candidate and the block position where the literal reading
// would read, and either soft.reading set (the improved reading reads it) or
// soft.literal set alone (the candidate is the literal reading's sync word,
// at most 5 wrong, read literally); or 0, need_input set, when the samples
// for the next candidate, or for judging this one, have not arrived. Each
// sync word is judged and read softly once; its later phases that the
// literal search matches are read literally, as without -a.
int search_soft(Decoder& d);

// Reads the block at soft.pos, like get_block: 1 when its 60 data bits were
// appended to the frame, 0 when its samples have not arrived (need_input),
// -1 when Chase decoding found no codeword near enough, or the block lies
// beyond what the ring can hold.
int get_block_soft(Decoder& d);

// The improved reading failed: a candidate that is also the literal reading's
// sync word is read again literally from its first block; any other counts
// as rejected for why (once its header passed: see note_sync_word) and the
// search goes on from the next sample.
void soft_give_up(Decoder& d, Rejection why);

// The frame being read passed both CRCs: it is learned from when trusted
// (decoder/soft_labels.h), its figures go to d.quality.
void soft_frame_done(Decoder& d);

// The transmission has ended with the samples in the ring: a frame being
// read softly is finished with them (soft_at_end), as it would be if what
// follows were unknown, until a sample comes.
void soft_input_ended(Decoder& d);

}  // namespace morvix
