// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft/soft_reader.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "decoder/block_layout.h"
#include "decoder/sync_scan.h"

namespace morvix {

namespace {

constexpr int kChaseFlips = 8;
// A block whose closest codeword needs changes this unlikely (in LLR) is
// taken for noise.
constexpr int32_t kMaxMetric = 40 * kSoftUnit;
// Chase test words earned per input sample, and the most saved up.
constexpr int kCreditPerSamples = 2;  // one word per this many samples
constexpr int64_t kMaxCredit = int64_t{1 << kChaseFlips} * kMaxFrameBlocks * 2;

// Sets the block position for a candidate ahead samples after the search
// position.
void take_candidate(SoftSearch& search, SampleRing& r, long ahead) {
  search.ahead = static_cast<int>(ahead);
  place_block(r, 7 - r.brdb + ahead + static_cast<long>(kSyncBits) * r.sps);
}

// The input's first lookback samples cannot be looked back from: sync words
// there are the literal reading's alone, found with the search standing on
// the input's first sample. 1: one is at hand; 0: need input; -1: no more.
int scan_start(SoftSearch& search, SampleRing& r, const SyncTables& t) {
  const long look = search.lookback;
  if (search.start_next > look || search_sample(r) != 0) {
    search.start_next = look + 1;
    return -1;
  }
  const long last = std::min(look, 8L * r.brx_count - 1 - static_cast<long>(kSyncBits - 1) * r.sps);
  if (last < search.start_next) return awaiting_input(r);
  const long hit = scan_unread(r, t, search.start_next, last, kMaxSyncWrongBits);
  if (hit < 0) {
    search.start_next = last + 1;
    return last < look ? awaiting_input(r) : -1;
  }
  search.start_next = hit + 1;
  take_candidate(search, r, hit);
  return 1;
}

// get_frame_id's scan with the looser limit, testing the samples lookback
// after each position.
int scan_candidate(SoftSearch& search, SampleRing& r, const SyncTables& t) {
  if (r.brx_count < r.ring_bytes) get_more_samples(r);
  if (search.start_next <= search.lookback) {
    const int start = scan_start(search, r, t);
    if (start >= 0) return start;
  }
  const long look = search.lookback;
  const long first = 8 - r.brdb;
  const long last = 8L * r.brx_count - 1 - static_cast<long>(kSyncBits - 1) * r.sps - look;
  if (r.brx_count < t.minmatchbytes || last < first) return awaiting_input(r);
  const long hit = scan_unread(r, t, first + look, last + look, kMaxCandidateWrongBits);
  move_search(r, hit >= 0 ? hit - look : last);
  if (hit < 0) return awaiting_input(r);
  take_candidate(search, r, look);
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

void soft_setup(SoftReader& s, int sps, const rs_codec* rs) {
  soft_values_setup(s.values, sps);
  labels_reset(s.labels);
  sync_judge_reset(s.judge);
  if (rs != nullptr) chase_setup(s.chase, *rs);
  s.search = SoftSearch{};
  s.search.judges = rs != nullptr;
  s.search.lookback = soft_lookback(sps);
  s.search.ahead = s.search.lookback;
  s.search.start_next = 1;  // as the literal search, from the second sample
  s.chase_credit = InputCredit{};
}

int search_soft(SoftReader& s, SampleRing& r, const SyncTables& t) {
  SoftSearch& search = s.search;
  for (;;) {
    if (search.mode == SoftMode::kPending) {
      // Judging it waits for samples: they come in here, as in the scan.
      if (r.brx_count < r.ring_bytes) get_more_samples(r);
    } else {
      search.mode = SoftMode::kNone;
      if (!scan_candidate(search, r, t)) return 0;
    }
    search.mode = SoftMode::kNone;
    const int64_t at = search_sample(r) + search.ahead;
    const bool literal =
        count_sync_wrong(r, 7 - r.brdb + search.ahead, kMaxSyncWrongBits) <= kMaxSyncWrongBits;
    const bool tried = search.tried_at >= 0 && at < search.tried_at + r.sps;
    if (search.judges && search.ahead == search.lookback && !tried && at >= search.judged_until) {
      int judged = soft_judge(s.judge, s.values, r, search.lookback);
      if (judged < 0) {
        search.mode = SoftMode::kPending;
        return awaiting_input(r);
      }
      judged = bank_judge(s.judge, s.values, r, search.lookback, judged);
      search.judged_until = at + r.sps / 2;
      if (judged > 0) {
        const WeightBank& bank = s.values.bank;
        labels_start(s.labels, bank.sets[bank.active].learner);
        search.tried_at = at;
        search.mode = literal ? SoftMode::kSoftThenLiteral : SoftMode::kSoft;
        soft_lock(s.clock, r, s.judge.place);
        s.figures = SoftFigures{};
        return 1;
      }
    }
    if (literal) {
      search.mode = SoftMode::kLiteral;
      return 1;
    }
  }
}

int get_block_soft(SoftReader& s, SampleRing& r, BlockAssembly& a, FrameQuality& q) {
  if (r.brx_count < r.ring_bytes) get_more_samples(r);
  const long needed = soft_bytes_needed(s.clock, r, kBlockBits);
  if (needed >= r.ring_bytes) return -1;
  // At the end of a transmission the block is read once its own samples
  // are in, without the look-ahead past them that may never come.
  const long block_end = s.clock.pos / kSoftUnit + static_cast<long>(kBlockBits) * r.sps;
  if (needed >= r.brx_count && !(input_at_end(r) && block_end <= arrived_samples(r))) {
    return awaiting_input(r);
  }

  int32_t values[kBlockBits];
  read_soft_bits(s.clock, s.values, r, kBlockBits, values);
  unsigned char symbols[kBlockSymbols];
  int32_t reliability[kChaseBits];
  const auto& errors = error_table();
  SoftFigures& f = s.figures;
  for (int sym = 0; sym < kBlockSymbols; ++sym) {
    int symbol = 0;
    for (int l = 0; l < kSymbolBits; ++l) {
      const int32_t v = values[symbol_line_bit(sym, l)];
      const int32_t reliable = v < 0 ? -v : v;
      symbol |= (v > 0 ? 1 : 0) << l;
      reliability[sym * kSymbolBits + l] = reliable;
      f.ber_sum += errors[static_cast<size_t>(std::min<int32_t>(reliable / (kSoftUnit / 4), 63))];
    }
    symbols[sym] = static_cast<unsigned char>(symbol ^ of[kBlockSymbols - 1 - sym]);
  }
  f.bits += kChaseBits;

  int corrected = 0;
  ChaseResult result;
  unsigned char flipped[kBlockSymbols] = {};  // per symbol, the bits decoding changed
  if (a.fec) {
    earn_credit(s.chase_credit, r, kCreditPerSamples, kMaxCredit);
    int flips = kChaseFlips;
    while (flips > 0 && s.chase_credit.credit < (int64_t{1} << flips)) --flips;
    s.chase_credit.credit -= int64_t{1} << flips;
    unsigned char received[kBlockSymbols];
    for (int i = 0; i < kBlockSymbols; ++i) received[i] = symbols[i];
    if (!chase_decode(s.chase, reliability, flips, symbols, result)) return -1;
    if (result.metric > kMaxMetric) return -1;
    for (int i = 0; i < kBlockSymbols; ++i) {
      flipped[i] = symbols[i] ^ received[i];
      corrected += flipped[i] != 0;
    }
    f.chase_changed += result.changed;
    f.chase_blocks += result.changed > 0;
  }
  note_block(q, corrected);
  // Kept for learning, should the frame pass (decoder/soft/soft_labels.h).
  labels_add_block(s.labels, s.clock.bit_at, values, flipped, result.metric);
  append_block_data(a, symbols);
  return 1;
}

bool soft_failed(SoftReader& s) {
  const bool again = s.search.mode == SoftMode::kSoftThenLiteral;
  s.search.mode = again ? SoftMode::kLiteral : SoftMode::kNone;
  return again;
}

void soft_frame_done(SoftReader& s, const SampleRing& r, SoftQuality& q) {
  soft_learn_frame(s.labels, s.values, r, s.judge.place);
  const SoftFigures& f = s.figures;
  q.read = true;
  q.sync_rho = s.judge.rho_x1000;
  q.ber_ppm = f.bits ? static_cast<int>(f.ber_sum * 1000000 / 65536 / f.bits) : 0;
  q.chase_changed = f.chase_changed;
  q.chase_blocks = f.chase_blocks;
  s.search.mode = SoftMode::kNone;
}

}  // namespace morvix
