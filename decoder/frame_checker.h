// The frame checker: one step of frame assembly per call, header and frame
// CRC checks, and the CRC-16 both checks use.
//
// Frame layout (L bytes): [0] first header byte, [1] fill bits F (0..59),
// [2] block count B (2..41), [3..4] header CRC over bytes 0..2 (low byte
// first), [5 .. L-3] payload, [L-2 .. L-1] frame CRC over the payload.
// L = (B * 60 - F) / 8, and the payload must hold at least one byte.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"

namespace morvix {

// Runs one step: a sync search, or one block. Returns 1 when a good frame is
// in d.frame with its length in d.framelen (the search position has then
// moved past its blocks), otherwise 0. A rejected frame is searched again
// from the sample after its sync word.
int get_data_frame(Decoder& d);

// Steps get_data_frame until a frame is ready (1, as above) or the decoder
// needs samples that have not arrived (0, need_input set). Without an input
// socket (dfd -1) callers feed the ring with ring_write between calls.
int next_frame(Decoder& d);

// CRC-16/X.25 update of crc with one byte (reflected 0x1021, no table).
void UpdateCrc(unsigned char byte, uint16_t& crc);

// CRC-16/X.25 of data[0 .. length - 1] (length >= 1): starts at 0xFFFF,
// complements the result, writes its low and high byte.
void ComputeCrc(const unsigned char* data, int length, unsigned char& low, unsigned char& high);

// Frame length for fill bits f and block count b: (b * 60 - f) / 8.
constexpr int frame_length(int fill_bits, int blocks) { return (blocks * 60 - fill_bits) / 8; }

}  // namespace morvix
