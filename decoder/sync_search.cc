#include "decoder/sync_search.h"

#include <cstring>

#include "decoder/sample_ring.h"

// The search tries every sample position in turn. Rather than reading 40
// samples per attempt, it keeps one 40-sample register per sample phase:
// the attempt at sample t needs the register of phase t (samples t, t + sps,
// ..., t + 38 sps), shifted once to take in sample t + 39 sps (the "lead").
// So each attempt reads one sample and compares with a population count,
// and attempts still come in the same order, the first match winning.

namespace morvix {

namespace {

constexpr uint64_t kMask40 = (uint64_t{1} << kSyncBits) - 1;

// Samples expected for the sync word: the complement of its line bits,
// earliest in bit 39.
constexpr uint64_t expected_samples() {
  uint64_t word = 0;
  for (unsigned char byte : kSyncWord) word = (word << 8) | byte;
  return ~word & kMask40;
}

// Differing bits of a 64-bit word; plain C++ so that it inlines everywhere
// (a compiler with a population count instruction at hand uses it).
inline int popcount64(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

inline void step_sample(const Decoder& d, int& byte, int& bit) {
  if (--bit < 0) {
    bit = 7;
    if (++byte == d.ring_bytes) byte = 0;
  }
}

// Fills the registers for the attempts after the search position. Returns
// false, changing nothing, when the first attempt's samples are not all in.
bool rebuild_registers(Decoder& d) {
  const long samples_to_lead = 1 + static_cast<long>(kSyncBits - 1) * d.sps;
  const long lead_ahead = (7 - d.brdb + samples_to_lead) / 8;
  if (lead_ahead >= d.brx_count) return false;

  int byte = d.brdp;
  int bit = d.brdb;
  step_sample(d, byte, bit);
  std::memset(d.sync_regs, 0, sizeof(uint64_t) * static_cast<size_t>(d.sps));
  int phase = 0;
  for (long n = 0; n < samples_to_lead - 1; ++n) {
    d.sync_regs[phase] =
        (d.sync_regs[phase] << 1) | static_cast<uint64_t>(read_sample(d, byte, bit));
    if (++phase == d.sps) phase = 0;
    step_sample(d, byte, bit);
  }
  d.sync_lead_byte = byte;
  d.sync_lead_bit = bit;
  d.sync_lead_ahead = static_cast<int>(lead_ahead);
  d.sync_phase = 0;
  d.sync_brdp = d.brdp;
  d.sync_brdb = d.brdb;
  d.sync_valid = true;
  return true;
}

}  // namespace

void init_sync_tables(Decoder& d) {
  std::memcpy(d.match_bits, kSyncWord, sizeof kSyncWord);
  for (int j = 0; j < kSyncBits; ++j) d.match_table[j] = (d.match_bits[j / 8] >> (7 - j % 8)) & 1;
  d.minmatchbytes = d.sps * 42 / 8;
  for (int p = 0; p < 8; ++p) {
    int x = p - d.sps;
    int c = 0;
    while (x < 0) {
      x += 8;
      ++c;
    }
    d.bbytes[p] = c;
    d.bbnext[p] = x;
  }
  d.sync_valid = false;
}

int get_frame_id(Decoder& d) {
  if (d.brx_count < d.ring_bytes) get_more_samples(d);
  if (d.brx_count < d.minmatchbytes) return awaiting_input(d);
  if (!d.sync_valid || d.sync_brdp != d.brdp || d.sync_brdb != d.brdb) {
    if (!rebuild_registers(d)) return awaiting_input(d);
  }

  constexpr uint64_t expect = expected_samples();
  const unsigned char* ring = d.rxbits.get();
  const int size = d.ring_bytes;
  const int sps = d.sps;
  const int minmatch = d.minmatchbytes;
  uint64_t* regs = d.sync_regs;
  int brdp = d.brdp, brdb = d.brdb, count = d.brx_count;
  int lead = d.sync_lead_byte, lead_bit = d.sync_lead_bit, ahead = d.sync_lead_ahead;
  int phase = d.sync_phase;
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
    if (popcount64((reg ^ expect) & kMask40) <= kMaxSyncErrors) {
      found = 1;
      break;
    }
  }

  d.brdp = d.sync_brdp = brdp;
  d.brdb = d.sync_brdb = brdb;
  d.brx_count = count;
  d.sync_lead_byte = lead;
  d.sync_lead_bit = lead_bit;
  d.sync_lead_ahead = ahead;
  d.sync_phase = phase;
  if (!found) return awaiting_input(d);

  // The first block starts one line bit after the sync word's last sample.
  d.bbp = last_lead;
  d.bbb = last_lead_bit;
  step_line_bit(d, d.bbp, d.bbb);
  d.framep = 0;
  d.framebp = 0;
  return 1;
}

}  // namespace morvix
