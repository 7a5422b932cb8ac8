// SPDX-License-Identifier: Apache-2.0
// The frame decoder over an arbitrary sample stream, fed in arbitrary pieces
// through its real input: a UDP socket on loopback, as the daemon has it.
//
// Input: byte 0 picks sps = (bits 0-4) + 1, correction (bit 5) and how many
// times over the stream is fed, back to back: 1, 2, 4 or 8 (bits 6-7), so
// that short inputs can fill the ring. Byte 1 turns the improved reading
// (-a) on with bit 7; its bits 0-6, when not 0, start the ring positions 16
// x their value bytes before the ring's end, where a long-running daemon
// may have them, so that short inputs cross it. The bytes after it
// are the stream. The piece sizes come from the end of the input, read
// backwards one byte b at a time until the pieces cover the bytes left
// between: b + 1 bytes for b below 128, else 64 (b - 126); they are used in
// turn and over again until the repeated stream is fed. Each piece is sent
// to the decoder's input socket as one datagram (a longer one as several of
// kInputBytes and a rest), and then the decoder runs until it needs input,
// which it may do only once nothing is left waiting.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "runtime/ipv4.h"

namespace morvix {
namespace {

void check_state(const Decoder& d) {
  FUZZ_CHECK(d.ring.brdp >= 0 && d.ring.brdp < d.ring.ring_bytes);
  FUZZ_CHECK(d.ring.bbp >= 0 && d.ring.bbp < d.ring.ring_bytes);
  FUZZ_CHECK(d.ring.bwrp >= 0 && d.ring.bwrp < d.ring.ring_bytes);
  FUZZ_CHECK(d.ring.brdb >= 0 && d.ring.brdb <= 7);
  FUZZ_CHECK(d.ring.bbb >= 0 && d.ring.bbb <= 7);
  FUZZ_CHECK(d.ring.brx_count >= 0 && d.ring.brx_count <= d.ring.ring_bytes);
  // The unread bytes are exactly those from the search position to the writer.
  FUZZ_CHECK((d.ring.brdp + d.ring.brx_count) % d.ring.ring_bytes == d.ring.bwrp);
  FUZZ_CHECK(d.checker.df_state == DfState::kSearching ||
             d.checker.df_state == DfState::kHeaderBlock ||
             d.checker.df_state == DfState::kRemainingBlocks);
  FUZZ_CHECK(d.block.framebp >= 0 && d.block.framebp <= 7);
  FUZZ_CHECK(d.block.framep >= 0 && d.block.framep <= kFrameBytes);
  const int frame_bits = d.block.framep * 8 + d.block.framebp;
  FUZZ_CHECK(frame_bits <= kMaxFrameBlocks * kBlockDataBits);
  if (d.checker.df_state == DfState::kHeaderBlock) FUZZ_CHECK(frame_bits == 0);
  // The improved reading reads a frame's blocks only, from after its sync word.
  if (reads_softly(d.soft)) {
    FUZZ_CHECK(d.improved_reading && d.checker.df_state != DfState::kSearching);
    FUZZ_CHECK(d.soft.clock.pos >= int64_t{d.ring.sps} * kSoftUnit);
  }
  if (d.checker.df_state == DfState::kRemainingBlocks) {
    // The header block is in, and every block read since added 60 bits.
    const int blocks = d.block.frame[kBlocksByte];
    FUZZ_CHECK(blocks >= kMinFrameBlocks && blocks <= kMaxFrameBlocks);
    FUZZ_CHECK(d.checker.df_blocks_to_read >= 1 && d.checker.df_blocks_to_read < blocks);
    FUZZ_CHECK(frame_bits == (blocks - d.checker.df_blocks_to_read) * kBlockDataBits);
  }
}

void check_frame(const Decoder& d) {
  FUZZ_CHECK(d.checker.df_state == DfState::kSearching);
  const int length = d.checker.framelen;
  FUZZ_CHECK(length >= kMinFrameBytes && length <= kMaxFrameBytes);
  const int fill_bits = d.block.frame[kFillBitsByte];
  const int blocks = d.block.frame[kBlocksByte];
  FUZZ_CHECK(header_in_range(fill_bits, blocks));
  FUZZ_CHECK(length == frame_length(fill_bits, blocks));
  FUZZ_CHECK(crc_matches(d.block.frame, kHeaderCrcCovers, d.block.frame + kHeaderCrcCovers));
  FUZZ_CHECK(crc_matches(d.block.frame + kHeaderBytes, length - kFrameOverheadBytes,
                         d.block.frame + length - kCrcBytes));
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
  FUZZ_CHECK(d.ring.need_input);
  FUZZ_CHECK(d.ring.brx_count < d.ring.ring_bytes);
  // Asking for input that is already waiting would leave the daemon
  // waiting for a wake-up that has come and gone.
  FUZZ_CHECK(!input_waiting(d.ring));
}

// The loopback port the decoder's input socket is bound to.
int input_port(const Decoder& d) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  FUZZ_CHECK(getsockname(d.ring.dfd, reinterpret_cast<sockaddr*>(&local), &length) == 0);
  return ntohs(local.sin_port);
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
  d->improved_reading = data[1] >> 7;
  if ((data[1] & 0x7F) != 0)
    d->ring.bwrp = d->ring.brdp = d->ring.bbp = d->ring.ring_bytes - 16 * (data[1] & 0x7F);
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

  FUZZ_CHECK(server_open_dstream(d->ring, 0));
  static const int source = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = ipv4_address(htonl(INADDR_LOOPBACK), htons(input_port(*d)));
  size_t next = 0;
  for (size_t piece = 0; next < stream.size(); piece = (piece + 1) % pieces.size()) {
    const size_t piece_end = std::min(next + pieces[piece], stream.size());
    for (; next < piece_end; next += std::min<size_t>(kInputBytes, piece_end - next)) {
      FUZZ_CHECK(sendto(source, stream.data() + next,
                        std::min<size_t>(kInputBytes, piece_end - next), 0,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0);
    }
    run_until_input_needed(*d);
  }
  FUZZ_CHECK(d->ring.input.dropped == 0);
  close(d->ring.dfd);
  return 0;
}
