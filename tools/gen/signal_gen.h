// SPDX-License-Identifier: Apache-2.0
// The signal generator: builds frames, encodes them into the line bits that
// the link sends, turns line bits into packed one-bit samples, and damages
// them on request. Used by morvix-gen, the tests, the demo and the
// benchmarks. Every random choice comes from the caller's std::mt19937 and
// uses its raw output only, so a seed gives the same signal on any platform.
// Arguments outside a stated range throw std::invalid_argument.
#pragma once

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "decoder/frame_format.h"

namespace morvix::gen {

using Bytes = std::vector<uint8_t>;
using Bits = std::vector<uint8_t>;  // one line bit (0 or 1) per element

// The frame (decoder/frame_format.h) for a payload of 1..kMaxPayloadBytes
// bytes, with B the fewest blocks that hold it.
Bytes build_frame(uint8_t first_byte, const Bytes& payload);

// For a frame of kMinFrameBytes..kMaxFrameBytes bytes: the fewest blocks
// that hold it, and the data bits of the last block left over (0..59).
int frame_blocks(const Bytes& frame);
int frame_fill_bits(const Bytes& frame);

// Systematic encoding: codeword[0..11] = data, codeword[12..15] = parity, the
// remainder of data(x) * x^4 divided by the code's generator. Symbols are
// 0..31; codeword[0] is the highest-order coefficient.
void rs_encode(const uint8_t data[12], uint8_t codeword[16]);

// Choices and damage applied while a frame becomes line bits.
struct LineOptions {
  // The five passed-over bits of each block: random when true, else all
  // equal to passed_over_value (0 or 1).
  bool random_passed_over = true;
  uint8_t passed_over_value = 0;
  // wrong_symbols[b] lists (symbol index 0..15, xor value 0..31) pairs for
  // block b (0 = the first block after the sync word), XORed into the
  // codeword before masking. Blocks past the vector's end are clean.
  std::vector<std::vector<std::pair<int, uint8_t>>> wrong_symbols;
  std::vector<int> wrong_sync_bits;  // sync bits 0..39 to flip
};

// The sync word's 40 line bits, then B blocks of 85 line bits, B being the
// frame's byte 2 (what the decoder will read; 0..255), so a frame with a
// made-up header is sent as its header says. The frame's bits fill the
// blocks byte by byte, least significant bit first; bits beyond its end are
// zero and bytes beyond B blocks are not sent. frame.size() >= 3.
// rng is drawn only for random passed-over bits.
Bits frame_line_bits(const Bytes& frame, const LineOptions& options, std::mt19937& rng);

// Flips each line bit with probability rate (0..1).
void flip_line_bits(Bits& bits, double rate, std::mt19937& rng);

// Collects samples and packs them eight to a byte, the first in bit 7.
// A line bit becomes sps samples of value 1 - bit. A phase offset is just
// samples (idle or noise) added before the frame.
class SampleWriter {
 public:
  explicit SampleWriter(int sps);  // sps >= 1 samples per line bit

  void add_line_bits(const Bits& bits);
  void add_sample(int sample) { put(sample); }         // one sample of 0 or 1
  void add_samples(int64_t count, int sample_value);   // count samples of 0 or 1
  void add_idle(int64_t samples);                      // samples of 1, line bits of 0
  void add_noise(int64_t samples, std::mt19937& rng);  // each sample 0 or 1 at random

  int sps() const { return sps_; }
  // Samples held since the last take.
  int64_t sample_count() const { return static_cast<int64_t>(bytes_.size()) * 8 + pending_; }

  // Hands over every held sample as packed bytes, a last incomplete byte
  // padded with samples of 1, and empties the writer.
  Bytes take();
  // Hands over the complete bytes only; up to 7 samples stay for later, so a
  // long stream can be sent piece by piece without breaks.
  Bytes take_whole_bytes();

 private:
  void put(int sample);

  int sps_;
  Bytes bytes_;
  uint8_t partial_ = 0;  // samples not yet a whole byte, first in bit 7
  int pending_ = 0;      // how many of them: 0..7
};

}  // namespace morvix::gen
