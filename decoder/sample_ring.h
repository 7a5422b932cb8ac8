// SPDX-License-Identifier: Apache-2.0
// The bitstream input, the sample ring it fills, the positions every reading
// moves through the ring and the arithmetic on them.
//
// The sample stream: eight one-bit samples to a byte, the first in bit 7; a
// sample of 0 stands for a line bit of 1; sps samples to each line bit. A
// position is a ring byte and a bit (7 is the earliest sample of a byte).
// An offset counts samples from bit 7 of the search position's byte (brdp),
// so the search position itself is at offset 7 - brdb.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

namespace morvix {

constexpr int kRingBytes = 4781;   // the ring's size at up to 10 samples per bit
constexpr int kInputBytes = 2048;  // largest datagram payload taken from the input
constexpr int kMaxSps = 1000;
// The samples of one RingWords read that are the ring's.
constexpr int kRingWordSamples = 57;

// What came in on the input, for the daemon's metrics and morvix-decode's
// summary.
struct InputCounters {
  int64_t datagrams = 0;  // datagrams received
  int64_t truncated = 0;  // datagrams longer than the input buffer, cut there
  int64_t dropped = 0;    // datagrams the kernel dropped on the input socket
};

struct SampleRing {
  SampleRing() = default;
  // It owns the ring and the input socket: a copy would not compile.
  SampleRing(const SampleRing&) = delete;
  SampleRing& operator=(const SampleRing&) = delete;

  int dfd = -1;                       // input socket ("dstream"), -1 when none
  unsigned char ibuf[kInputBytes]{};  // the last datagram received
  int irdlen = 0;                     // its length in bytes
  int irdptr = 0;                     // how much of it is already in the ring

  // The ring, sized once from sps; byte indices run 0 .. ring_bytes - 1.
  std::unique_ptr<unsigned char[]> rxbits;  // the received samples
  int ring_bytes = 0;
  int bwrp = 0;       // where the next input byte is written
  int brdp = 0;       // search position: byte ...
  int brdb = 7;       // ... and bit (7 is the earliest sample of a byte)
  int brx_count = 0;  // bytes from brdp inclusive up to bwrp not yet given up
  int bbp = 0;        // block position: byte ...
  int bbb = 7;        // ... and bit of the next sample read

  int sps = 10;     // samples per line bit
  int bbytes[8]{};  // bytes a position at bit p moves over one line bit
  int bbnext[8]{};  // the bit it lands on

  // The word-parallel scan (sync_scan) loads past the ring's end: the spare
  // bytes there take a copy of the ring's start when it does.
  int sync_mirror_bytes = 0;  // spare bytes after the ring, set from sps

  int64_t bytes_in = 0;     // bytes ever written into the ring
  bool need_input = false;  // the last step stopped for samples that have not arrived
  // bytes_in when the transmission was declared ended (input_ended); while
  // no byte has come since, the samples past the last one are unknown. -1:
  // never.
  int64_t end_bytes = -1;
  InputCounters input;
};

// Ring bytes needed to hold the longest frame at sps samples per line bit,
// never fewer than kRingBytes.
int ring_bytes_for(int sps);

// Start-up for sps (1 .. kMaxSps) samples per line bit: sizes and allocates
// the ring (the spare bytes the sync scan needs past its end included),
// builds the step tables, empties the ring and the input buffer, sets every
// position to its start and the counters to 0. The input socket stays.
void ring_setup(SampleRing& r, int sps);

// Opens dfd, the bitstream input ("dstream": the data stream of samples):
// UDP on all local addresses, the low 16 bits of port, blocking.
// Returns 1, or 0 (nothing left open, errno telling why) when the socket
// cannot be made or bound.
int server_open_dstream(SampleRing& r, int port);

// Tops the ring up from the input until it is full or no datagram is
// waiting (or a receive fails, or it has passed over 64 empty datagrams);
// never waits: the main loop waits for the input when the decoder needs it.
// A datagram not used up is kept for the next call; one longer than
// kInputBytes is cut there. Never overwrites a byte the search has not
// passed. Does nothing while dfd is -1.
void get_more_samples(SampleRing& r);

// Brings input.dropped up to the input socket's count of datagrams the
// kernel dropped (its buffer full, or a bad checksum). A datagram tells
// that count only when one arrives after the drops; the main loop calls
// this on every tick so that drops at the end of a burst show. Does nothing
// while dfd is -1.
void read_input_drops(SampleRing& r);

// True when input is waiting that the ring has not taken: the rest of the
// last datagram, or a datagram queued on dfd. Never waits.
bool input_waiting(const SampleRing& r);

// Copies bytes into the ring as the input would, as far as the ring has room.
// Returns how many were taken.
int ring_write(SampleRing& r, const unsigned char* bytes, int count);

// The transmission has ended: no sample follows the ones the ring holds
// for now (the end of a file; a source silent for the daemon's idle limit).
// The improved reading (-a) then finishes the frame it reads with the
// samples there are, counting those past them as unknown, so the last
// frame of a transmission comes out as it would with more input after it,
// whenever it can; a sample that comes afterwards ends the end. The literal
// reading needs no sample past a frame's own. Call next_frame again after it.
// Samples ever taken into the ring, 8 a byte.
inline int64_t input_samples(const SampleRing& r) { return 8 * r.bytes_in; }

inline void input_ended(SampleRing& r) { r.end_bytes = r.bytes_in; }

// True while the transmission has ended (input_ended) and no sample came after.
inline bool input_at_end(const SampleRing& r) { return r.end_bytes == r.bytes_in; }

// The sample at ring byte i, bit b (7 is the earliest): 0 or 1.
inline int read_sample(const SampleRing& r, int i, int b) {
  return (r.rxbits[static_cast<size_t>(i)] >> b) & 1;
}

// Moves (byte, bit) one line bit (sps samples) later, wrapping at the ring's end.
inline void step_line_bit(const SampleRing& r, int& byte, int& bit) {
  byte += r.bbytes[bit];
  if (byte >= r.ring_bytes) byte -= r.ring_bytes;
  bit = r.bbnext[bit];
}

// For a step that stops because samples it needs have not arrived: sets
// need_input and returns 0, the step's result.
inline int awaiting_input(SampleRing& r) {
  r.need_input = true;
  return 0;
}

// Bytes from the search position to ring byte i (0 .. ring_bytes - 1).
inline int ahead_of_search(const SampleRing& r, int i) {
  int ahead = i - r.brdp;
  return ahead < 0 ? ahead + r.ring_bytes : ahead;
}

// The index in the input (from 0, the first sample ever taken) of the
// sample at the search position.
inline int64_t search_sample(const SampleRing& r) {
  return (r.bytes_in - r.brx_count) * 8 + (7 - r.brdb);
}

// Samples from the search position on that have arrived.
inline long arrived_samples(const SampleRing& r) { return 8L * r.brx_count - (7 - r.brdb); }

// Moves the search position on to offset (7 - brdb .. 8 brx_count - 1),
// giving up the bytes it passes.
inline void move_search(SampleRing& r, long offset) {
  r.brdp = static_cast<int>((r.brdp + offset / 8) % r.ring_bytes);
  r.brdb = static_cast<int>(7 - offset % 8);
  r.brx_count -= static_cast<int>(offset / 8);
}

// Puts the block position at offset (>= 0, within the ring's unread part).
inline void place_block(SampleRing& r, long offset) {
  r.bbp = static_cast<int>((r.brdp + offset / 8) % r.ring_bytes);
  r.bbb = static_cast<int>(7 - offset % 8);
}

// The ring's samples from bit 7 of the search position's byte on, read a
// word at a time. It copies what the reads need, so that a run of them
// keeps it at hand; a view lasts while the search position stays.
struct RingWords {
  explicit RingWords(const SampleRing& r)
      : ring(r.rxbits.get()), ring_bytes(r.ring_bytes), start(r.brdp) {}

  // The 64 samples from offset (>= 0, its byte within a ring's length of
  // brdp) on, the first in bit 63; at least the top kRingWordSamples are
  // the ring's (the rest are 0). Wraps at the ring's end.
  uint64_t at(long offset) const {
    int byte = start + static_cast<int>(offset >> 3);
    if (byte >= ring_bytes) byte -= ring_bytes;
    uint64_t w = 0;
    if (byte + 8 <= ring_bytes) {
      std::memcpy(&w, ring + byte, sizeof w);
      if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    } else {
      for (int i = 0; i < 8; ++i) {
        w = (w << 8) | ring[byte];
        if (++byte == ring_bytes) byte = 0;
      }
    }
    return w << (offset & 7);
  }

  const unsigned char* ring;
  int ring_bytes;
  int start;
};

// A budget the input pays for: one credit per so many samples taken in,
// saved up to a bound, so that no input can make a costly step take more
// than a share of the time its samples take to read.
struct InputCredit {
  int64_t credit = 0;
  int64_t bytes_in = 0;  // the ring's bytes_in when it was last earned
};

// Adds the credit the input earned since the last call: one per
// samples_per_credit samples, at most `most` held.
inline void earn_credit(InputCredit& c, const SampleRing& r, int64_t samples_per_credit,
                        int64_t most) {
  c.credit += (r.bytes_in - c.bytes_in) * 8 / samples_per_credit;
  c.bytes_in = r.bytes_in;
  c.credit = std::min(c.credit, most);
}

// Wrong bits of the 40 line bits read sps apart from offset on (the samples
// must have arrived) against the sync word; counting stops once there are
// more than limit, so the result is at most limit + 1.
int count_sync_wrong(const SampleRing& r, long offset, int limit);

}  // namespace morvix
