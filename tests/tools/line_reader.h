// SPDX-License-Identifier: Apache-2.0
// Reads generated samples back the way the daemon does, written from the line
// format rather than from the generator, so the two check each other.
// Independent of decoder/ on purpose: its own masks, sync bits, codec and
// layout numbers; only the CRC and the length rule are shared.
#pragma once

#include <cstdint>
#include <vector>

#include "decoder/crc.h"
#include "decoder/frame_format.h"
#include "fec/decode_rs.h"
#include "tools/gen/signal_gen.h"

namespace morvix::gen {

// Masks in symbol order, from the line format's table.
inline constexpr uint8_t kMaskBySymbol[16] = {0x0C, 0x1C, 0x06, 0x01, 0x1C, 0x16, 0x1C, 0x16,
                                              0x1C, 0x16, 0x06, 0x1F, 0x0E, 0x13, 0x12, 0x1C};
inline constexpr char kSyncLineBits[] = "0000011100001001001010100100010001101111";

inline const rs_codec* test_codec() {
  static const rs_codec* const rs = init_rs_char(5, 0x25, 14, 1, 4, 15);
  return rs;
}

// Appends the 60 data bits of the block at line[at..at+84] to frame (LSB-first
// bytes, bit count in frame_bits). False when the codec gives up.
inline bool read_block(const Bits& line, size_t at, Bytes& frame, int& frame_bits) {
  uint8_t symbols[16] = {};
  int n = 0;
  for (int k = 0; k < 85; ++k) {
    if ((k + 1) % 16 == 0) continue;
    symbols[n / 5] =
        static_cast<uint8_t>(symbols[n / 5] | line[at + static_cast<size_t>(k)] << (n % 5));
    ++n;
  }
  for (int s = 0; s < 16; ++s) symbols[s] ^= kMaskBySymbol[s];
  if (decode_rs_char(test_codec(), symbols, nullptr, 0) < 0) return false;
  for (int b = 0; b < 60; ++b, ++frame_bits) {
    if (frame_bits % 8 == 0) frame.push_back(0);
    frame.back() =
        static_cast<uint8_t>(frame.back() | ((symbols[b / 5] >> (b % 5)) & 1) << (frame_bits % 8));
  }
  return true;
}

struct Received {
  std::vector<Bytes> good;
  int bad = 0;  // sync words whose frame failed a block or a CRC
};

inline bool crc_ok(const Bytes& frame, size_t from, size_t length) {
  return crc_matches(&frame[from], static_cast<int>(length), &frame[from + length]);
}

// Every frame in a sample stream, found at the first sample where the sync
// word matches with at most 5 wrong bits.
inline Received receive(const Bytes& samples, int sps) {
  Bits line;  // one line value per sample
  for (uint8_t byte : samples) {
    for (int b = 7; b >= 0; --b) line.push_back(static_cast<uint8_t>(1 - ((byte >> b) & 1)));
  }
  Received got;
  const auto step = static_cast<size_t>(sps);
  for (size_t s = 0; s + 40 * step <= line.size(); ++s) {
    int wrong = 0;
    for (size_t j = 0; j < 40 && wrong <= 5; ++j)
      wrong += line[s + j * step] != kSyncLineBits[j] - '0';
    if (wrong > 5) continue;
    Bits bits;  // the frame's line bits at this phase
    for (size_t i = s + 40 * step; i < line.size(); i += step) bits.push_back(line[i]);
    Bytes frame;
    int frame_bits = 0;
    bool ok = bits.size() >= 85 && read_block(bits, 0, frame, frame_bits);
    const int blocks = ok ? frame[2] : 0;
    ok = ok && blocks >= 2 && blocks <= 41 && frame[1] <= 59 && crc_ok(frame, 0, 3);
    for (int b = 1; ok && b < blocks; ++b) {
      ok = bits.size() >= static_cast<size_t>(b + 1) * 85 &&
           read_block(bits, static_cast<size_t>(b) * 85, frame, frame_bits);
    }
    const auto length = static_cast<size_t>(frame_length(ok ? frame[1] : 0, blocks));
    ok = ok && length >= 8 && crc_ok(frame, 5, length - 7);
    if (ok) {
      frame.resize(length);
      got.good.push_back(frame);
      s += static_cast<size_t>(40 + blocks * 85) * step - 1;
    } else {
      ++got.bad;
      s += 40 * step - 1;
    }
  }
  return got;
}

}  // namespace morvix::gen
