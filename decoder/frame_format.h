// SPDX-License-Identifier: Apache-2.0
// The frame: what the link's blocks carry and what morvix relays, unchanged,
// as one datagram. L bytes, 8 to 307:
//
//   offset  bytes   content
//   0       1       first header byte, carried through
//   1       1       F, fill bits: data bits of the last block left unused, 0..59
//   2       1       B, the number of blocks, 2..41
//   3       2       header CRC over bytes 0..2, low byte first
//   5       L - 7   payload, at least one byte
//   L - 2   2       frame CRC over the payload, low byte first
//
// Each block carries 60 data bits. The frame's bytes fill them in order,
// each byte least significant bit first, so L = (B * 60 - F) / 8; the bits
// past the frame's end are the fill. Both CRCs are those of decoder/crc.h.
#pragma once

namespace morvix {

constexpr int kFillBitsByte = 1;
constexpr int kBlocksByte = 2;
constexpr int kHeaderCrcCovers = 3;  // bytes 0..2
constexpr int kHeaderBytes = 5;      // the payload starts here
constexpr int kCrcBytes = 2;
constexpr int kFrameOverheadBytes = kHeaderBytes + kCrcBytes;

constexpr int kBlockDataBits = 60;
constexpr int kMaxFillBits = kBlockDataBits - 1;
constexpr int kMinFrameBlocks = 2;
constexpr int kMaxFrameBlocks = 41;

// The length rule: frame bytes for F fill bits and B blocks.
constexpr int frame_length(int fill_bits, int blocks) {
  return (blocks * kBlockDataBits - fill_bits) / 8;
}

constexpr int kMinFrameBytes = kFrameOverheadBytes + 1;
constexpr int kMaxFrameBytes = frame_length(0, kMaxFrameBlocks);
constexpr int kMaxPayloadBytes = kMaxFrameBytes - kFrameOverheadBytes;
static_assert(kMaxFrameBytes == 307 && kMaxPayloadBytes == 300);
constexpr int kFrameBytes = 320;  // a frame buffer's size, above kMaxFrameBytes
static_assert(kFrameBytes >= kMaxFrameBytes);

// True when F and B are within their ranges (the length may still leave no
// payload: F = 59 with B = 2 does).
constexpr bool header_in_range(int fill_bits, int blocks) {
  return fill_bits >= 0 && fill_bits <= kMaxFillBits && blocks >= kMinFrameBlocks &&
         blocks <= kMaxFrameBlocks;
}

}  // namespace morvix
