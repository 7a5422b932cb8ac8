// SPDX-License-Identifier: Apache-2.0
// What the decoder counts as it goes, and the quality of each frame it
// passes on. The daemon's metrics and the offline decoder's summary report
// these same numbers. Plain counters, updated where the event happens.
#pragma once

#include <cstdint>
#include <optional>

#include "decoder/frame_format.h"
#include "decoder/sample_ring.h"
#include "decoder/sync_word.h"

namespace morvix {

constexpr int kMaxBlockCorrections = 4;  // symbols one block can have corrected (erasures)

enum class Rejection { kHeader, kFrameCrc, kUncorrectable };

// Sync words and rejections count frames on the line, not attempts: a
// rejected frame is read again at each following sample phase that matches
// its sync word, and those retries count neither again. A frame counts as
// rejected once the search has moved past its phases without decoding it,
// under the furthest stage any of its literal readings reached (a frame
// broken in its payload is read well at one phase and badly at the others:
// its frame CRC is what failed); one that a later phase decodes counts as
// decoded only. With -a, a sync word the literal reading also matches is
// judged by its literal readings alone: the improved reading's failure
// there is no reason (its Chase decoding can take a block of noise for a
// codeword, and so reach the frame CRC where the frame was lost on the
// line). A sync word the improved reading alone hears counts under its
// stage. Corrections count in the frames passed on only, so that noise
// read as blocks adds nothing. The input's own counts are in SampleRing.
struct DecoderStats {
  int64_t sync_words = 0;  // sync words found
  // Sync words by wrong bits at the earliest phase that matched (noise and
  // the edge of a line bit included), and decoded frames by the wrong bits
  // of the reading that decoded them (the sync word's true quality).
  int64_t sync_wrong_bits[kMaxSyncWrongBits + 1] = {};
  int64_t decoded_sync_wrong_bits[kMaxSyncWrongBits + 1] = {};
  int64_t frames_decoded = 0;          // frames with both CRCs good
  int64_t frames_improved = 0;         // of them, those the improved reading (-a) decoded
  int64_t rejected_header = 0;         // header CRC wrong, or its F and B impossible
  int64_t rejected_frame_crc = 0;      // frame CRC wrong
  int64_t rejected_uncorrectable = 0;  // a block the codec could not correct
  int64_t symbols_corrected = 0;
  int64_t blocks_by_corrections[kMaxBlockCorrections + 1] = {};  // blocks by symbols corrected
  int64_t retry_until = 0;  // sample index below which a sync word retries a rejected frame
  std::optional<Rejection> pending_rejection;  // not counted yet: its retries go on
  int pending_stage = -1;  // how far the frame's best reading so far got (rejection_stage)
};

// How the improved reading (-a) read a frame; all 0 for a literal reading.
struct SoftQuality {
  bool read = false;      // the improved reading decoded the frame
  int sync_rho = 0;       // its sync word's soft correlation, x 1000 (850 .. 1000)
  int ber_ppm = 0;        // the hard decisions' bit error rate the soft values predict, ppm
  int chase_changed = 0;  // line bits Chase decoding changed, over the frame
  int chase_blocks = 0;   // blocks in which it changed any
};

// The frame being read: filled while it is read, whole when get_data_frame
// reports it.
struct FrameQuality {
  int64_t sample = 0;       // index in the input (from 0) of the sync word's first sample
  int sync_wrong_bits = 0;  // 0 .. kMaxSyncWrongBits
  int phase = 0;            // sample % sps: where in each line bit the samples were read
  int blocks = 0;           // blocks read so far
  unsigned char corrected[kMaxFrameBlocks] = {};  // symbols corrected, per block
  int corrected_total = 0;
  bool retry = false;    // a later reading of a frame rejected at an earlier phase
  bool counted = false;  // its sync word is counted (a soft one once its header passed)
  SoftQuality soft;
};

// How far a reading got before it failed for `why` with `blocks` blocks
// read: an uncorrectable header block, a bad header, an uncorrectable later
// block (the later the further), a bad frame CRC.
int rejection_stage(Rejection why, int blocks);

// A sync word was found `ahead` samples after the search position of r:
// starts the frame's quality record and, with count, unless it retries a
// rejected frame, counts it by wrong bits (more than kMaxSyncWrongBits
// count as that many). A sync word that only the improved reading (-a)
// hears counts once its header passes (note_sync_counted): noise, which it
// may take for one now and then, never passes it, and so adds no sync word
// and no rejection.
void note_sync_word(DecoderStats& s, FrameQuality& q, const SampleRing& r, long ahead, bool count);

// Counts the frame's sync word now, if it is not counted yet (nor a retry).
void note_sync_counted(DecoderStats& s, FrameQuality& q);

// The codec corrected `corrected` symbols (0 .. 4) of the block just read.
void note_block(FrameQuality& q, int corrected);

// The improved reading (-a) reads the frame from its soft values, which
// start from_sync samples after the sync word's first sample (before it
// when negative): that sets the frame's phase.
void note_soft_place(FrameQuality& q, long from_sync, int sps);

// The frame is read again from its first block, literally, after its
// improved reading: its blocks and corrections start over.
void note_reading_again(FrameQuality& q, int sps);

// The frame's reading was rejected: it counts once none of the readings at
// the following phases decodes it, under the furthest stage any of them
// reached (and not at all while its sync word is not counted).
void note_rejected(DecoderStats& s, const FrameQuality& q, Rejection why, int sps);

// The search moved on without a sync word; its next attempt is at input
// sample `at`: a rejected frame whose phases it has passed now counts.
void note_search_moved(DecoderStats& s, int64_t at);

// Counts a rejection still waiting for its retries now.
void settle_rejection(DecoderStats& s);

// The frame being read passed both CRCs.
void note_frame(DecoderStats& s, const FrameQuality& q);

}  // namespace morvix
