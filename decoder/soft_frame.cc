// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_frame.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "decoder/block_decoder.h"
#include "decoder/sample_ring.h"
#include "decoder/soft_reader.h"
#include "decoder/soft_sync.h"
#include "decoder/sync_search.h"

namespace morvix {

namespace {

// Candidates for the soft correlation: at most this many hard wrong bits
// (noise matches 2e-5 of its positions).
constexpr int kCandidateWrong = 7;
constexpr int kChaseFlips = 8;
// A block whose closest codeword needs changes this unlikely (in LLR) is
// taken for noise.
constexpr int32_t kMaxMetric = 40 * kSoftUnit;
// Chase test words earned per input sample, and the most saved up.
constexpr int kCreditPerSamples = 2;  // one word per this many samples
constexpr int64_t kMaxCredit = int64_t{1 << kChaseFlips} * kMaxFrameBlocks * 2;

// The input sample the search position stands on.
int64_t search_sample(const Decoder& d) {
  return (d.ring.bytes_in - d.ring.brx_count) * 8 + (7 - d.ring.brdb);
}

// Sets the block position and the frame assembly for a candidate ahead
// samples after the search position.
void take_candidate(Decoder& d, long ahead) {
  d.soft.ahead = static_cast<int>(ahead);
  const long block = 7 - d.ring.brdb + ahead + static_cast<long>(kSyncBits) * d.ring.sps;
  d.ring.bbp = static_cast<int>((d.ring.brdp + block / 8) % d.ring.ring_bytes);
  d.ring.bbb = static_cast<int>(7 - block % 8);
  d.block.framep = 0;
  d.block.framebp = 0;
}

// The input's first lookback samples cannot be looked back from: sync words
// there are the literal reading's alone, found with the search standing on
// the input's first sample. 1: one is at hand; 0: need input; -1: no more.
int scan_start(Decoder& d) {
  SoftReader& s = d.soft;
  const long look = s.lookback;
  if (s.start_next > look || search_sample(d) != 0) {
    s.start_next = look + 1;
    return -1;
  }
  const long last =
      std::min(look, 8L * d.ring.brx_count - 1 - static_cast<long>(kSyncBits - 1) * d.ring.sps);
  if (last < s.start_next) return awaiting_input(d.ring);
  const long hit = scan_unread(d, s.start_next, last, kMaxSyncErrors);
  if (hit < 0) {
    s.start_next = last + 1;
    return last < look ? awaiting_input(d.ring) : -1;
  }
  s.start_next = hit + 1;
  take_candidate(d, hit);
  return 1;
}

// get_frame_id's scan with the looser limit, testing the samples lookback
// after each position.
int scan_candidate(Decoder& d) {
  if (d.ring.brx_count < d.ring.ring_bytes) get_more_samples(d);
  if (d.soft.start_next <= d.soft.lookback) {
    const int start = scan_start(d);
    if (start >= 0) return start;
  }
  const long look = d.soft.lookback;
  const long count = d.ring.brx_count;
  const long first = 8 - d.ring.brdb;
  const long last = 8 * count - 1 - static_cast<long>(kSyncBits - 1) * d.ring.sps - look;
  if (count < d.sync.minmatchbytes || last < first) return awaiting_input(d.ring);
  const long hit = scan_unread(d, first + look, last + look, kCandidateWrong);
  const long at = hit >= 0 ? hit - look : last;
  const long brdp = d.ring.brdp;
  d.ring.brdp = static_cast<int>((brdp + at / 8) % d.ring.ring_bytes);
  d.ring.brdb = static_cast<int>(7 - at % 8);
  d.ring.brx_count = static_cast<int>(count - at / 8);
  if (hit < 0) return awaiting_input(d.ring);
  take_candidate(d, look);
  return 1;
}

// Expected wrong hard decisions for |L| in quarter LLRs, x 65536.
const std::array<int32_t, 64>& error_table() {
  static const std::array<int32_t, 64> table = [] {
    std::array<int32_t, 64> t{};
    for (size_t i = 0; i < t.size(); ++i) {
      t[i] = static_cast<int32_t>(65536.0 / (1.0 + std::exp(static_cast<double>(i) / 4)));
    }
    return t;
  }();
  return table;
}

}  // namespace

int soft_hard_wrong(const Decoder& d, int limit) {
  const long bits = (7 - d.ring.brdb) + static_cast<long>(d.soft.ahead);
  int byte = static_cast<int>((d.ring.brdp + bits / 8) % d.ring.ring_bytes);
  int bit = static_cast<int>(7 - bits % 8);
  int wrong = 0;
  for (int j = 0; j < kSyncBits && wrong <= limit; ++j) {
    wrong += (1 - read_sample(d.ring, byte, bit)) != d.sync.match_table[j];
    step_line_bit(d.ring, byte, bit);
  }
  return wrong;
}

int search_soft(Decoder& d) {
  SoftReader& s = d.soft;
  for (;;) {
    if (s.pending) {
      // Judging it waits for samples: they come in here, as in the scan.
      if (d.ring.brx_count < d.ring.ring_bytes) get_more_samples(d);
    } else if (!scan_candidate(d)) {
      return 0;
    }
    s.pending = false;
    s.reading = false;
    const int64_t at = search_sample(d) + s.ahead;
    s.literal = soft_hard_wrong(d, kMaxSyncErrors) <= kMaxSyncErrors;
    const bool tried = s.tried_at >= 0 && at < s.tried_at + d.ring.sps;
    if (d.block.rs != nullptr && s.ahead == s.lookback && !tried && at >= s.judged_until) {
      int judged = soft_judge(d);
      if (judged < 0) {
        s.pending = true;
        return awaiting_input(d.ring);
      }
      judged = bank_judge(d, judged);
      s.judged_until = at + d.ring.sps / 2;
      if (judged > 0) {
        labels_start(s.labels, s.bank.sets[s.bank.active].learner);
        s.tried_at = at;
        s.reading = true;
        soft_lock(d);
        s.ber_sum = 0;
        s.bits = s.chase_changed = s.chase_blocks = 0;
        return 1;
      }
    }
    if (s.literal) return 1;
  }
}

int get_block_soft(Decoder& d) {
  SoftReader& s = d.soft;
  if (d.ring.brx_count < d.ring.ring_bytes) get_more_samples(d);
  const long needed = soft_bytes_needed(d, kBlockBits);
  if (needed >= d.ring.ring_bytes) return -1;
  // At the end of a transmission the block is read once its own samples
  // are in, without the look-ahead past them that may never come.
  const long block_end = s.pos / kSoftUnit + static_cast<long>(kBlockBits) * d.ring.sps;
  if (needed >= d.ring.brx_count && !(soft_at_end(d) && block_end <= soft_known(d))) {
    return awaiting_input(d.ring);
  }

  int32_t values[kBlockBits];
  read_soft_bits(d, kBlockBits, values);
  unsigned char symbols[kBlockSymbols];
  int32_t reliability[kChaseBits];
  const auto& errors = error_table();
  for (int sym = 0; sym < kBlockSymbols; ++sym) {
    int symbol = 0;
    for (int l = 0; l < kSymbolBits; ++l) {
      const int32_t v = values[symbol_line_bit(sym, l)];
      const int32_t r = v < 0 ? -v : v;
      symbol |= (v > 0 ? 1 : 0) << l;
      reliability[sym * kSymbolBits + l] = r;
      s.ber_sum += errors[static_cast<size_t>(std::min<int32_t>(r / (kSoftUnit / 4), 63))];
    }
    symbols[sym] = static_cast<unsigned char>(symbol ^ of[kBlockSymbols - 1 - sym]);
  }
  s.bits += kChaseBits;

  int corrected = 0;
  ChaseResult result;
  unsigned char flipped[kBlockSymbols] = {};  // per symbol, the bits decoding changed
  if (d.block.fec) {
    s.chase_credit += (d.ring.bytes_in - s.credit_bytes_in) * 8 / kCreditPerSamples;
    s.credit_bytes_in = d.ring.bytes_in;
    if (s.chase_credit > kMaxCredit) s.chase_credit = kMaxCredit;
    int flips = kChaseFlips;
    while (flips > 0 && s.chase_credit < (int64_t{1} << flips)) --flips;
    s.chase_credit -= int64_t{1} << flips;
    unsigned char received[kBlockSymbols];
    for (int i = 0; i < kBlockSymbols; ++i) received[i] = symbols[i];
    if (!chase_decode(s.chase, reliability, flips, symbols, result)) return -1;
    if (result.metric > kMaxMetric) return -1;
    for (int i = 0; i < kBlockSymbols; ++i) {
      flipped[i] = symbols[i] ^ received[i];
      corrected += flipped[i] != 0;
    }
    s.chase_changed += result.changed;
    s.chase_blocks += result.changed > 0;
  }
  note_block(d, corrected);
  // Kept for learning, should the frame pass (decoder/soft_labels.h).
  labels_add_block(s.labels, s.bit_at, values, flipped, result.metric);
  append_block_data(d.block, symbols);
  return 1;
}

void soft_give_up(Decoder& d, Rejection why) {
  d.soft.reading = false;
  if (d.soft.literal) {
    d.block.framep = 0;
    d.block.framebp = 0;
    d.checker.df_state = DfState::kHeaderBlock;
    note_reading_again(d);
  } else {
    note_rejected(d, why);
    d.checker.df_state = DfState::kSearching;
  }
}

void soft_frame_done(Decoder& d) {
  SoftReader& s = d.soft;
  soft_learn_frame(d);
  SoftQuality& q = d.quality.soft;
  q.read = true;
  q.sync_rho = s.rho_x1000;
  q.ber_ppm = s.bits ? static_cast<int>(s.ber_sum * 1000000 / 65536 / s.bits) : 0;
  q.chase_changed = s.chase_changed;
  q.chase_blocks = s.chase_blocks;
  s.reading = false;
}

void soft_input_ended(Decoder& d) { d.soft.end_bytes = d.ring.bytes_in; }

}  // namespace morvix
