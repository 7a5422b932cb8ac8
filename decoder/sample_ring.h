// SPDX-License-Identifier: Apache-2.0
// The bitstream input and the sample ring it fills.
#pragma once

#include "decoder/decoder.h"

namespace morvix {

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
void get_more_samples(Decoder& d);

// True when input is waiting that the ring has not taken: the rest of the
// last datagram, or a datagram queued on dfd. Never waits.
bool input_waiting(const SampleRing& r);

// Copies bytes into the ring as the input would, as far as the ring has room.
// Returns how many were taken.
int ring_write(Decoder& d, const unsigned char* bytes, int count);

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

}  // namespace morvix
