#include "decoder/frame_checker.h"

#include "decoder/block_decoder.h"
#include "decoder/sync_search.h"

namespace morvix {

void UpdateCrc(unsigned char byte, uint16_t& crc) {
  unsigned d = (byte ^ crc) & 0xFFu;
  d = (d ^ (d << 4)) & 0xFFu;
  crc = static_cast<uint16_t>((crc >> 8) ^ (d << 8) ^ (d << 3) ^ (d >> 4));
}

void ComputeCrc(const unsigned char* data, int length, unsigned char& low, unsigned char& high) {
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < length; ++i) UpdateCrc(data[i], crc);
  crc = static_cast<uint16_t>(~crc);
  low = static_cast<unsigned char>(crc & 0xFF);
  high = static_cast<unsigned char>(crc >> 8);
}

namespace {

bool crc_matches(const unsigned char* data, int length, const unsigned char* stored) {
  unsigned char low = 0;
  unsigned char high = 0;
  ComputeCrc(data, length, low, high);
  return stored[0] == low && stored[1] == high;
}

bool header_good(const unsigned char* frame) {
  return crc_matches(frame, 3, frame + 3) && frame[1] <= 59 && frame[2] > 1 &&
         frame[2] <= kMaxFrameBlocks;
}

// Moves the search position over the frame's blocks (not its sync word),
// so the next search starts 40 line bits before the frame's end.
void skip_blocks(Decoder& d, int blocks) {
  const long samples = static_cast<long>(blocks) * kBlockBits * d.sps;
  const int whole = static_cast<int>(samples / 8);
  d.brdb -= static_cast<int>(samples % 8);
  if (d.brdb < 0) {
    d.brdb += 8;
    if (++d.brdp == d.ring_bytes) d.brdp = 0;
    --d.brx_count;
  }
  d.brdp = (d.brdp + whole) % d.ring_bytes;
  d.brx_count -= whole;
}

}  // namespace

int get_data_frame(Decoder& d) {
  d.need_input = false;
  switch (d.df_state) {
    case 0:
      if (get_frame_id(d)) d.df_state = 1;
      return 0;
    case 1: {
      const int got = get_block(d);
      if (got == 0) return 0;
      if (got < 0 || !header_good(d.frame)) {
        d.df_state = 0;
        return 0;
      }
      d.df_blocks_to_read = d.frame[2] - 1;
      d.df_state = 2;
      return 0;
    }
    default: {
      const int got = get_block(d);
      if (got == 0) return 0;
      if (got < 0) {
        d.df_state = 0;
        return 0;
      }
      if (--d.df_blocks_to_read != 0) return 0;
      d.df_state = 0;
      const int payload = frame_length(d.frame[1], d.frame[2]) - 7;
      if (payload <= 0) return 0;
      if (!crc_matches(d.frame + 5, payload, d.frame + 5 + payload)) return 0;
      skip_blocks(d, d.frame[2]);
      d.framelen = payload + 7;
      return 1;
    }
  }
}

int next_frame(Decoder& d) {
  for (;;) {
    if (get_data_frame(d)) return 1;
    if (d.need_input) return 0;
  }
}

}  // namespace morvix
