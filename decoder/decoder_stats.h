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
// rejected (for the reason its first reading failed) once the search has
// moved past its phases without decoding it; one that a later phase decodes
// counts as decoded only. Corrections count in the frames passed on only,
// so that noise read as blocks adds nothing.
struct DecoderStats {
  int64_t input_datagrams = 0;  // datagrams received
  int64_t input_samples = 0;    // samples taken into the ring, 8 a byte
  int64_t input_truncated = 0;  // datagrams longer than the input buffer, cut there
  int64_t input_dropped = 0;    // datagrams the kernel dropped, its buffer full
  int64_t sync_words = 0;       // sync words found
  int64_t sync_wrong_bits[kMaxSyncWrongBits + 1] = {};  // sync words by wrong bits
  int64_t frames_decoded = 0;                           // frames with both CRCs good
  int64_t rejected_header = 0;         // header CRC wrong, or its F and B impossible
  int64_t rejected_frame_crc = 0;      // frame CRC wrong
  int64_t rejected_uncorrectable = 0;  // a block the codec could not correct
  int64_t symbols_corrected = 0;
  int64_t blocks_by_corrections[kMaxBlockCorrections + 1] = {};  // blocks by symbols corrected
  int64_t retry_until = 0;     // sample index below which a sync word retries a rejected frame
  int pending_rejection = -1;  // a Rejection not counted yet (its retries go on); -1: none
};

// How the soft reading (-a) read a frame; all 0 for a literal reading.
struct SoftQuality {
  bool read = false;      // the soft reading decoded the frame
  int sync_rho = 0;       // its sync word's soft correlation, x 1000 (850 .. 1000)
  int ber_ppm = 0;        // the hard decisions' bit error rate the soft values predict, ppm
  int chase_changed = 0;  // line bits Chase decoding changed, over the frame
  int chase_blocks = 0;   // blocks in which it changed any
};

// The frame in d.frame: filled while it is read, whole when get_data_frame
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

// A sync word was found ahead samples after the search position: starts
// the frame's quality record and, with count, unless it retries a rejected
// frame, counts it by wrong bits (more than 5 count as 5). A sync word
// that only the soft reading (-a) hears counts once its header passes
// (note_sync_counted): noise, which it may take for one now and then, never
// passes it, and so adds no sync word and no rejection.
void note_sync_word(Decoder& d, int ahead = 0, bool count = true);

// Counts the frame's sync word now, if it is not counted yet (nor a retry).
void note_sync_counted(Decoder& d);

// The codec corrected `corrected` symbols (0 .. 4) of the block just read.
void note_block(Decoder& d, int corrected);

// The soft reading (-a) reads the frame: its phase is where in each line
// bit the soft values start (soft.place).
void note_soft_place(Decoder& d);

// The frame is read again from its first block (the soft reading gave
// it up for the literal one): its blocks and corrections start over.
void note_reading_again(Decoder& d);

// The frame being read was rejected (counted unless it was a retry, or its
// sync word is not counted).
void note_rejected(Decoder& d, Rejection why);

// The search moved on without a sync word: a rejected frame whose phases
// it has passed now counts.
void note_search_moved(Decoder& d);

// Counts a rejection still waiting for its retries now (the input ended).
void settle_rejection(Decoder& d);

// The frame being read passed both CRCs.
void note_frame(Decoder& d);

}  // namespace morvix
