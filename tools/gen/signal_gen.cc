// SPDX-License-Identifier: Apache-2.0
#include "tools/gen/signal_gen.h"

#include <algorithm>
#include <stdexcept>

#include "decoder/block_layout.h"
#include "decoder/crc.h"
#include "decoder/sync_word.h"
#include "fec/encode_rs.h"
#include "fec/link_codec.h"

namespace morvix::gen {
namespace {

// The daemon's own codec, so the encoder uses the very generator and field
// tables the decoder corrects with.
const rs_codec& codec() {
  const rs_codec* rs = link_codec();
  if (rs == nullptr) throw std::logic_error("init_rs_char failed");
  return *rs;
}

void check_frame_size(const Bytes& frame) {
  const auto n = static_cast<int>(frame.size());
  if (n < kMinFrameBytes || n > kMaxFrameBytes) throw std::invalid_argument("frame length");
}

// Bit i of the frame in line order: bytes in turn, each least significant
// bit first; zero past the end.
int frame_bit(const Bytes& frame, int i) {
  const auto byte = static_cast<size_t>(i / 8);
  return byte < frame.size() ? (frame[byte] >> (i % 8)) & 1 : 0;
}

}  // namespace

int frame_blocks(const Bytes& frame) {
  check_frame_size(frame);
  const int bits = static_cast<int>(frame.size()) * 8;
  return (bits + kBlockDataBits - 1) / kBlockDataBits;
}

int frame_fill_bits(const Bytes& frame) {
  return frame_blocks(frame) * kBlockDataBits - static_cast<int>(frame.size()) * 8;
}

Bytes build_frame(uint8_t first_byte, const Bytes& payload) {
  if (payload.empty() || payload.size() > static_cast<size_t>(kMaxPayloadBytes)) {
    throw std::invalid_argument("payload length");
  }
  const int n = static_cast<int>(payload.size());
  Bytes frame(static_cast<size_t>(n + kFrameOverheadBytes));
  frame[0] = first_byte;
  frame[kFillBitsByte] = static_cast<uint8_t>(frame_fill_bits(frame));
  frame[kBlocksByte] = static_cast<uint8_t>(frame_blocks(frame));
  store_crc(frame.data(), kHeaderCrcCovers, &frame[kHeaderCrcCovers]);
  std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderBytes);
  store_crc(&frame[kHeaderBytes], n, &frame[static_cast<size_t>(kHeaderBytes + n)]);
  return frame;
}

void rs_encode(const uint8_t data[12], uint8_t codeword[16]) {
  for (int i = 0; i < kDataSymbols; ++i) {
    if (data[i] > kLinkFullLength) throw std::invalid_argument("symbol value");
    codeword[i] = data[i];
  }
  encode_rs_char(&codec(), data, codeword + kDataSymbols);
}

Bits frame_line_bits(const Bytes& frame, const LineOptions& options, std::mt19937& rng) {
  if (frame.size() < 3) throw std::invalid_argument("frame header");
  const int blocks = frame[kBlocksByte];
  Bits bits;
  bits.reserve(static_cast<size_t>(kSyncBits + blocks * kBlockBits));

  bits.insert(bits.end(), kSyncLineBits.begin(), kSyncLineBits.end());
  for (int j : options.wrong_sync_bits) {
    if (j < 0 || j >= kSyncBits) throw std::invalid_argument("sync bit index");
    bits[static_cast<size_t>(j)] ^= 1;
  }

  for (int b = 0; b < blocks; ++b) {
    uint8_t data[kDataSymbols];
    for (int s = 0; s < kDataSymbols; ++s) {
      int symbol = 0;
      for (int l = 0; l < kSymbolBits; ++l) {
        symbol |= frame_bit(frame, b * kBlockDataBits + s * kSymbolBits + l) << l;
      }
      data[s] = static_cast<uint8_t>(symbol);
    }
    uint8_t symbols[kBlockSymbols];
    rs_encode(data, symbols);
    if (static_cast<size_t>(b) < options.wrong_symbols.size()) {
      for (const auto& [index, value] : options.wrong_symbols[static_cast<size_t>(b)]) {
        if (index < 0 || index >= kBlockSymbols || value > 31) {
          throw std::invalid_argument("wrong symbol");
        }
        symbols[index] ^= value;
      }
    }
    unsigned char line_bits[kBlockBits];
    const uint32_t passed_over = options.random_passed_over
                                     ? static_cast<uint32_t>(rng())
                                     : (options.passed_over_value & 1u) * 0x1Fu;
    block_line_bits(symbols, passed_over, line_bits);
    bits.insert(bits.end(), line_bits, line_bits + kBlockBits);
  }
  return bits;
}

void flip_line_bits(Bits& bits, double rate, std::mt19937& rng) {
  if (!(rate >= 0.0 && rate <= 1.0)) throw std::invalid_argument("error rate");
  // A draw below the threshold flips; 2^32 flips every bit.
  const auto threshold = static_cast<uint64_t>(rate * 4294967296.0);
  if (threshold == 0) return;
  for (auto& bit : bits) {
    if (rng() < threshold) bit ^= 1;
  }
}

SampleWriter::SampleWriter(int sps) : sps_(sps) {
  if (sps < 1) throw std::invalid_argument("samples per bit");
}

void SampleWriter::put(int sample) {
  partial_ = static_cast<uint8_t>(partial_ | (sample & 1) << (7 - pending_));
  if (++pending_ == 8) {
    bytes_.push_back(partial_);
    partial_ = 0;
    pending_ = 0;
  }
}

void SampleWriter::add_line_bits(const Bits& bits) {
  for (uint8_t bit : bits) add_samples(sps_, 1 - (bit & 1));
}

void SampleWriter::add_samples(int64_t count, int sample_value) {
  if (count < 0 || (sample_value != 0 && sample_value != 1)) {
    throw std::invalid_argument("samples");
  }
  // Whole bytes at once where the writer is byte-aligned: the fast path for
  // long idle gaps and for sps of 8 or more.
  while (count > 0 && pending_ != 0) {
    put(sample_value);
    --count;
  }
  bytes_.insert(bytes_.end(), static_cast<size_t>(count / 8), sample_value ? 0xFF : 0x00);
  for (int64_t i = 0; i < count % 8; ++i) put(sample_value);
}

void SampleWriter::add_idle(int64_t samples) { add_samples(samples, 1); }

void SampleWriter::add_noise(int64_t samples, std::mt19937& rng) {
  if (samples < 0) throw std::invalid_argument("samples");
  std::mt19937::result_type draw = 0;
  for (int64_t i = 0; i < samples; ++i) {
    if (i % 32 == 0) draw = rng();
    put(static_cast<int>(draw >> (i % 32)) & 1);
  }
}

Bytes SampleWriter::take() {
  if (pending_ != 0) add_idle(8 - pending_);
  return std::exchange(bytes_, {});
}

Bytes SampleWriter::take_whole_bytes() { return std::exchange(bytes_, {}); }

}  // namespace morvix::gen
