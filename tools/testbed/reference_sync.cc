// SPDX-License-Identifier: Apache-2.0
#include "tools/testbed/reference_sync.h"

#include <cstring>

#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"

namespace morvix::test {

int get_frame_id_reference(Decoder& d) {
  if (d.ring.brx_count < d.ring.ring_bytes) get_more_samples(d.ring);
  for (;;) {
    if (d.ring.brx_count < d.sync.minmatchbytes) return 0;
    // The attempt one sample on must find all its samples written.
    const long last_ahead =
        (7 - d.ring.brdb + 1 + static_cast<long>(kSyncBits - 1) * d.ring.sps) / 8;
    if (last_ahead >= d.ring.brx_count) return 0;

    if (--d.ring.brdb < 0) {
      d.ring.brdb = 7;
      if (++d.ring.brdp == d.ring.ring_bytes) d.ring.brdp = 0;
      --d.ring.brx_count;
    }
    d.ring.bbp = d.ring.brdp;
    d.ring.bbb = d.ring.brdb;
    int differences = 0;
    for (int j = 0; j < kSyncBits; ++j) {
      const int line_bit = read_sample(d.ring, d.ring.bbp, d.ring.bbb) == 0 ? 1 : 0;
      if (line_bit != kSyncLineBits[static_cast<size_t>(j)] && ++differences > kMaxSyncWrongBits)
        break;
      d.ring.bbp += d.ring.bbytes[d.ring.bbb];
      if (d.ring.bbp >= d.ring.ring_bytes) d.ring.bbp -= d.ring.ring_bytes;
      d.ring.bbb = d.ring.bbnext[d.ring.bbb];
    }
    if (differences <= kMaxSyncWrongBits) {
      d.block.framep = 0;
      d.block.framebp = 0;
      return 1;
    }
  }
}

// The attempt at sample t needs the register of phase t (samples t, t + sps,
// ..., t + 38 sps), shifted once to take in sample t + 39 sps (the "lead").

namespace {

constexpr uint64_t kMask40 = (uint64_t{1} << kSyncBits) - 1;

// Samples expected for the sync word: the complement of its line bits,
// earliest in bit 39.
constexpr uint64_t expected_samples() {
  uint64_t word = 0;
  for (unsigned char byte : kSyncWord) word = (word << 8) | byte;
  return ~word & kMask40;
}

inline int popcount64(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

inline void step_sample(const Decoder& d, int& byte, int& bit) {
  if (--bit < 0) {
    bit = 7;
    if (++byte == d.ring.ring_bytes) byte = 0;
  }
}

// Fills the registers for the attempts after the search position. Returns
// false, changing nothing, when the first attempt's samples are not all in.
bool rebuild_registers(const Decoder& d, PhaseRegisters& r) {
  const long samples_to_lead = 1 + static_cast<long>(kSyncBits - 1) * d.ring.sps;
  const long lead_ahead = (7 - d.ring.brdb + samples_to_lead) / 8;
  if (lead_ahead >= d.ring.brx_count) return false;

  int byte = d.ring.brdp;
  int bit = d.ring.brdb;
  step_sample(d, byte, bit);
  std::memset(r.regs, 0, sizeof(uint64_t) * static_cast<size_t>(d.ring.sps));
  int phase = 0;
  for (long n = 0; n < samples_to_lead - 1; ++n) {
    r.regs[phase] = (r.regs[phase] << 1) | static_cast<uint64_t>(read_sample(d.ring, byte, bit));
    if (++phase == d.ring.sps) phase = 0;
    step_sample(d, byte, bit);
  }
  r.lead_byte = byte;
  r.lead_bit = bit;
  r.lead_ahead = static_cast<int>(lead_ahead);
  r.phase = 0;
  r.brdp = d.ring.brdp;
  r.brdb = d.ring.brdb;
  r.valid = true;
  return true;
}

}  // namespace

int get_frame_id_registers(Decoder& d, PhaseRegisters& r) {
  if (d.ring.brx_count < d.ring.ring_bytes) get_more_samples(d.ring);
  if (d.ring.brx_count < d.sync.minmatchbytes) return 0;
  if (!r.valid || r.brdp != d.ring.brdp || r.brdb != d.ring.brdb) {
    if (!rebuild_registers(d, r)) return 0;
  }

  constexpr uint64_t expect = expected_samples();
  const unsigned char* ring = d.ring.rxbits.get();
  const int size = d.ring.ring_bytes;
  const int sps = d.ring.sps;
  const int minmatch = d.sync.minmatchbytes;
  uint64_t* regs = r.regs;
  int brdp = d.ring.brdp, brdb = d.ring.brdb, count = d.ring.brx_count;
  int lead = r.lead_byte, lead_bit = r.lead_bit, ahead = r.lead_ahead;
  int phase = r.phase;
  int found = 0;
  int last_lead = 0, last_lead_bit = 0;

  // The attempt's last sample (the lead) must have arrived: it lies in the
  // same byte distance from the search position before and after the move.
  while (count >= minmatch && ahead < count) {
    if (--brdb < 0) {
      brdb = 7;
      if (++brdp == size) brdp = 0;
      --count;
      --ahead;
    }
    const uint64_t reg = (regs[phase] << 1) | ((ring[lead] >> lead_bit) & 1u);
    regs[phase] = reg;
    last_lead = lead;
    last_lead_bit = lead_bit;
    if (--lead_bit < 0) {
      lead_bit = 7;
      if (++lead == size) lead = 0;
      ++ahead;
    }
    if (++phase == sps) phase = 0;
    if (popcount64((reg ^ expect) & kMask40) <= kMaxSyncWrongBits) {
      found = 1;
      break;
    }
  }

  d.ring.brdp = r.brdp = brdp;
  d.ring.brdb = r.brdb = brdb;
  d.ring.brx_count = count;
  r.lead_byte = lead;
  r.lead_bit = lead_bit;
  r.lead_ahead = ahead;
  r.phase = phase;
  if (!found) return 0;

  // The first block starts one line bit after the sync word's last sample.
  d.ring.bbp = last_lead;
  d.ring.bbb = last_lead_bit;
  step_line_bit(d.ring, d.ring.bbp, d.ring.bbb);
  d.block.framep = 0;
  d.block.framebp = 0;
  return 1;
}

}  // namespace morvix::test
