// SPDX-License-Identifier: Apache-2.0
// What the decoder counts as it goes, and the quality of each frame it
// passes on. The daemon's metrics and the offline decoder's summary report
// these same numbers. Plain counters, updated where the event happens.
#pragma once

#include <cstdint>

#include "decoder/frame_format.h"

namespace morvix {

struct Decoder;

constexpr int kMaxSyncWrongBits = 5;     // more and it is no sync word
constexpr int kMaxBlockCorrections = 4;  // symbols one block can have corrected (erasures)

// Sync words and rejections count frames on the line, not attempts: a
// rejected frame is read again at each following sample phase that matches
// its sync word, and those retries count neither again. A frame counts as
// rejected once the search has moved past its phases without decoding it,
// under the furthest stage any of its readings reached (a frame broken in
// its payload is read well at one phase and badly at the others: its frame
// CRC is what failed); one that a later phase decodes counts as decoded
// only. Corrections count in the frames passed on only, so that noise read
// as blocks adds nothing.
struct DecoderStats {
  int64_t input_datagrams = 0;  // datagrams received
  int64_t input_samples = 0;    // samples taken into the ring, 8 a byte
  int64_t input_truncated = 0;  // datagrams longer than the input buffer, cut there
  int64_t input_dropped = 0;    // datagrams the kernel dropped, its buffer full
  int64_t sync_words = 0;       // sync words found
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
  int64_t retry_until = 0;     // sample index below which a sync word retries a rejected frame
  int pending_rejection = -1;  // a Rejection not counted yet (its retries go on); -1: none
  int pending_stage = -1;      // how far the frame's best reading so far got (rejection_stage)
};

// How the improved reading (-a) read a frame; all 0 for a literal reading.
struct SoftQuality {
  bool read = false;      // the improved reading decoded the frame
  int sync_rho = 0;       // its sync word's soft correlation, x 1000 (850 .. 1000)
  int ber_ppm = 0;        // the hard decisions' bit error rate the soft values predict, ppm
  int chase_changed = 0;  // line bits Chase decoding changed, over the frame
  int chase_blocks = 0;   // blocks in which it changed any
};

// The frame in d.block.frame: filled while it is read, whole when get_data_frame
// reports it.
struct FrameQuality {
  int64_t sample = 0;       // index in the input (from 0) of the sync word's first sample
  int sync_wrong_bits = 0;  // 0 .. 5
  int phase = 0;            // sample % sps: where in each line bit the samples were read
  int blocks = 0;           // blocks read so far
  unsigned char corrected[kMaxFrameBlocks] = {};  // symbols corrected, per block
  int corrected_total = 0;
  bool retry = false;    // a later reading of a frame rejected at an earlier phase
  bool counted = false;  // its sync word is counted (a soft one once its header passed)
  SoftQuality soft;
};

enum class Rejection { kHeader, kFrameCrc, kUncorrectable };

// How far a reading got before it failed for `why` with `blocks` blocks
// read: an uncorrectable header block, a bad header, an uncorrectable later
// block (the later the further), a bad frame CRC.
int rejection_stage(Rejection why, int blocks);

// A sync word was found ahead samples after the search position: starts
// the frame's quality record and, with count, unless it retries a rejected
// frame, counts it by wrong bits (more than 5 count as 5). A sync word
// that only the improved reading (-a) hears counts once its header passes
// (note_sync_counted): noise, which it may take for one now and then, never
// passes it, and so adds no sync word and no rejection.
void note_sync_word(Decoder& d, int ahead = 0, bool count = true);

// Counts the frame's sync word now, if it is not counted yet (nor a retry).
void note_sync_counted(Decoder& d);

// The codec corrected `corrected` symbols (0 .. 4) of the block just read.
void note_block(Decoder& d, int corrected);

// The improved reading (-a) reads the frame: its phase is where in each line
// bit the soft values start (soft.place).
void note_soft_place(Decoder& d);

// The improved reading of the frame failed for `why`; it is read again from
// its first block by the literal reading: its blocks and corrections start
// over. `why` counts if no reading gets further.
void note_reading_failed(Decoder& d, Rejection why);

// The frame is read again from its first block, literally, after its
// improved reading: its blocks and corrections start over.
void note_reading_again(Decoder& d);

// The frame's reading was rejected: it counts once none of the readings at
// the following phases decodes it, under the furthest stage any of them
// reached (and not at all while its sync word is not counted).
void note_rejected(Decoder& d, Rejection why);

// The search moved on without a sync word: a rejected frame whose phases
// it has passed now counts.
void note_search_moved(Decoder& d);

// Counts a rejection still waiting for its retries now (the input ended).
void settle_rejection(Decoder& d);

// The frame being read passed both CRCs.
void note_frame(Decoder& d);

}  // namespace morvix
