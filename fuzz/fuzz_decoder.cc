// SPDX-License-Identifier: Apache-2.0
// The frame decoder over an arbitrary sample stream, fed in arbitrary pieces.
//
// Input: byte 0 picks sps = (bits 0-4) + 1, correction (bit 5) and how many
// times over the stream is fed, back to back: 1, 2, 4 or 8 (bits 6-7), so
// that short inputs can fill the ring. Byte 1 turns the soft reading
// (-a) on with bit 7; its bits 0-6, when not 0, start the ring positions 16
// x their value bytes before the ring's end, where a long-running daemon
// may have them, so that short inputs cross it. The bytes after it
// are the stream. The piece sizes come from the end of the input, read
// backwards one byte b at a time until the pieces cover the bytes left
// between: b + 1 bytes for b below 128, else 64 (b - 126); they are used in
// turn and over again until the repeated stream is fed. After each piece the
// decoder runs until it needs input (with no input socket the top-up does
// nothing).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoder/crc.h"
#include "decoder/decoder.h"
#include "decoder/frame_checker.h"
#include "decoder/frame_format.h"
#include "decoder/sample_ring.h"
#include "fec/link_codec.h"
#include "fuzz/check.h"

namespace morvix {
namespace {

void check_state(const Decoder& d) {
  FUZZ_CHECK(d.brdp >= 0 && d.brdp < d.ring_bytes);
  FUZZ_CHECK(d.bbp >= 0 && d.bbp < d.ring_bytes);
  FUZZ_CHECK(d.bwrp >= 0 && d.bwrp < d.ring_bytes);
  FUZZ_CHECK(d.brdb >= 0 && d.brdb <= 7);
  FUZZ_CHECK(d.bbb >= 0 && d.bbb <= 7);
  FUZZ_CHECK(d.brx_count >= 0 && d.brx_count <= d.ring_bytes);
  // The unread bytes are exactly those from the search position to the writer.
  FUZZ_CHECK((d.brdp + d.brx_count) % d.ring_bytes == d.bwrp);
  FUZZ_CHECK(d.df_state == DfState::kSearching || d.df_state == DfState::kHeaderBlock ||
             d.df_state == DfState::kRemainingBlocks);
  FUZZ_CHECK(d.framebp >= 0 && d.framebp <= 7);
  FUZZ_CHECK(d.framep >= 0 && d.framep <= kFrameBytes);
  const int frame_bits = d.framep * 8 + d.framebp;
  FUZZ_CHECK(frame_bits <= kMaxFrameBlocks * kBlockDataBits);
  if (d.df_state == DfState::kHeaderBlock) FUZZ_CHECK(frame_bits == 0);
  // The soft reading reads a frame's blocks only, from after its sync word.
  if (d.soft.reading) FUZZ_CHECK(d.soft_reading && d.df_state != DfState::kSearching);
  if (d.soft.reading) FUZZ_CHECK(d.soft.pos >= int64_t{d.sps} * kSoftUnit);
  if (d.df_state == DfState::kRemainingBlocks) {
    // The header block is in, and every block read since added 60 bits.
    const int blocks = d.frame[kBlocksByte];
    FUZZ_CHECK(blocks >= kMinFrameBlocks && blocks <= kMaxFrameBlocks);
    FUZZ_CHECK(d.df_blocks_to_read >= 1 && d.df_blocks_to_read < blocks);
    FUZZ_CHECK(frame_bits == (blocks - d.df_blocks_to_read) * kBlockDataBits);
  }
}

void check_frame(const Decoder& d) {
  FUZZ_CHECK(d.df_state == DfState::kSearching);
  const int length = d.framelen;
  FUZZ_CHECK(length >= kMinFrameBytes && length <= kMaxFrameBytes);
  const int fill_bits = d.frame[kFillBitsByte];
  const int blocks = d.frame[kBlocksByte];
  FUZZ_CHECK(header_in_range(fill_bits, blocks));
  FUZZ_CHECK(length == frame_length(fill_bits, blocks));
  FUZZ_CHECK(crc_matches(d.frame, kHeaderCrcCovers, d.frame + kHeaderCrcCovers));
  FUZZ_CHECK(crc_matches(d.frame + kHeaderBytes, length - kFrameOverheadBytes,
                         d.frame + length - kCrcBytes));
}

// Runs the decoder until it needs input. A step that neither moves on nor
// asks for input would hang next_frame (the fuzzer reports a time-out); a
// need for input with a full ring would hang the daemon, which reads no
// input until the decoder moves on.
void run_until_input_needed(Decoder& d) {
  while (next_frame(d) == 1) {
    check_state(d);
    check_frame(d);
  }
  check_state(d);
  FUZZ_CHECK(d.need_input);
  FUZZ_CHECK(d.brx_count < d.ring_bytes);
}

}  // namespace
}  // namespace morvix

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvix;
  if (size < 2) return 0;
  const int sps = (data[0] & 31) + 1;
  const int fec = (data[0] >> 5) & 1;
  auto d = std::make_unique<Decoder>();
  decoder_setup(*d, sps, fec, fec ? link_codec() : nullptr);
  d->soft_reading = data[1] >> 7;
  if ((data[1] & 0x7F) != 0) d->bwrp = d->brdp = d->bbp = d->ring_bytes - 16 * (data[1] & 0x7F);
  check_state(*d);

  std::vector<size_t> pieces;
  size_t stream_end = size;
  for (size_t covered = 2; covered < stream_end;) {
    const size_t b = data[--stream_end];
    pieces.push_back(b < 128 ? b + 1 : 64 * (b - 126));
    covered += std::min(pieces.back(), stream_end - covered);
  }
  std::vector<uint8_t> stream;
  for (int pass = 0; pass < 1 << (data[0] >> 6); ++pass) {
    stream.insert(stream.end(), data + 2, data + stream_end);
  }

  size_t next = 0;
  for (size_t piece = 0; next < stream.size(); piece = (piece + 1) % pieces.size()) {
    const size_t piece_end = std::min(next + pieces[piece], stream.size());
    while (next < piece_end) {
      next += static_cast<size_t>(
          ring_write(*d, stream.data() + next, static_cast<int>(piece_end - next)));
      run_until_input_needed(*d);
    }
  }
  return 0;
}
