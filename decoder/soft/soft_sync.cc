// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft/soft_sync.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "decoder/soft/soft_values.h"
#include "decoder/sync_word.h"

namespace morvix {

namespace {

// Where the judging looks, in samples, around the candidate (the first
// phase the hard search matched, which lies a little into the bit).
int judge_before(int sps) { return sps + (3 * sps + 9) / 10; }
int judge_after(int sps) { return (3 * sps + 9) / 10; }
int peak_span(int sps) { return (16 * sps + 9) / 10; }
int refine_span(int sps) { return (sps + 1) / 2; }
// The first search's step: it finds where the correlation rises past 0.85,
// and the peak search then looks at the phases it stepped over.
int coarse_step(int sps) { return std::max(2, sps / 5); }

// The soft correlation of the sync word whose first bit starts at p:
// sum s_j L_j and sum |L_j|. Gives up (corr 0) when the first 10 bits
// correlate below 0.4 or the first 20 below 0.6: noise, or a phase far off.
void correlate(const SoftValues& values, const SampleRing& r, long p, int64_t& corr,
               int64_t& conf) {
  corr = 0;
  conf = 0;
  for (int j = 0; j < kSyncBits; ++j) {
    const int32_t v = soft_value(values, r, p + static_cast<long>(j) * r.sps);
    corr += kSyncLineBits[static_cast<size_t>(j)] ? v : -v;
    conf += v < 0 ? -v : v;
    if ((j == 9 && 10 * corr < 4 * conf) || (j == 19 && 10 * corr < 6 * conf)) {
      corr = 0;
      return;
    }
  }
}

// Line bits the phase is refined over: the sync word and a quarter block.
constexpr int kRefineBits = kSyncBits + 20;

// sum |L| over the kRefineBits from p.
int64_t confidence(const SoftValues& values, const SampleRing& r, long p) {
  int64_t total = 0;
  for (int j = 0; j < kRefineBits; ++j) {
    const int32_t v = soft_value(values, r, p + static_cast<long>(j) * r.sps);
    total += v < 0 ? -v : v;
  }
  return total;
}

// A starting set is taken over a learned one only when the sync word's 40
// bits are this much likelier under it (in 1/kSoftUnit LLR), so that noise
// does not start new sets where a learned one fits about as well; and over
// another starting set (the first frames) when this much likelier.
constexpr int64_t kSpawnMargin = 5 * kSoftUnit;
constexpr int64_t kStartMargin = 3 * kSoftUnit / 2;
// What judging under the other sets costs (its fits; another judging as
// well, dearer where the active set found no sync word: that is mostly
// noise or crafted input), earned at one per kBitsPerCredit line bits of
// input, at most kMaxCredit saved up.
constexpr int kFitCost = 1;
constexpr int kJudgeCost = 2;
constexpr int kSearchCost = 8;
constexpr int kBitsPerCredit = 300;
constexpr int64_t kMaxCredit = 64;
// Where the active set's soft correlation stayed below this (x1000) at every
// phase, no other set is asked: that is noise, nearly always.
constexpr int kLeastRho = 250;
// A sync word less likely than this under a set is none under it: the set
// is not judged further, nor asked to judge the candidate again.
constexpr int64_t kLeastFit = -24 * kSoftUnit;

// -log(sigmoid(z)) in 1/kSoftUnit LLR for z in quarter LLRs, -64 .. 63.
const std::array<int32_t, 128>& penalty_table() {
  static const std::array<int32_t, 128> table = [] {
    std::array<int32_t, 128> t{};
    for (int i = 0; i < 128; ++i) {
      const double z = (i - 64) / 4.0;
      t[static_cast<size_t>(i)] =
          static_cast<int32_t>(std::lround(std::log1p(std::exp(-z)) * kSoftUnit));
    }
    return t;
  }();
  return table;
}

// The sync word's log-likelihood with its first bit at place under each
// set in sets (1/kSoftUnit LLR), into fit; INT64_MIN for a set under which
// it falls below kLeastFit or its first 10 bits correlate below 0.4 (no
// sync word under it: noise, or a phase far off). The samples are read
// once for all sets.
void sync_fits(const SoftValues& values, const SampleRing& r, unsigned sets, long place,
               int64_t* fit) {
  const auto& penalty = penalty_table();
  int64_t corr[kBankSets] = {}, conf[kBankSets] = {};
  for (int k = 0; k < kBankSets; ++k) fit[k] = (sets >> k & 1) ? 0 : INT64_MIN;
  for (int j = 0; j < kSyncBits && sets != 0; ++j) {
    int32_t value[kBankSets];
    soft_values_of_sets(values, r, place + static_cast<long>(j) * r.sps, sets, value);
    for (unsigned left = sets; left != 0; left &= left - 1) {
      const int k = std::countr_zero(left);
      const int32_t v = value[k];
      const int32_t z = kSyncLineBits[static_cast<size_t>(j)] ? v : -v;
      corr[k] += z;
      conf[k] += v < 0 ? -v : v;
      // -log(sigmoid(z)): the table's, or beyond it -z and 0.
      const int32_t q = z / (kSoftUnit / 4);
      if (q < -64) {
        fit[k] += z;
      } else if (q <= 63) {
        fit[k] -= penalty[static_cast<size_t>(q + 64)];
      }
      if (fit[k] < kLeastFit || (j == 9 && 10 * corr[k] < 4 * conf[k])) {
        fit[k] = INT64_MIN;
        sets &= ~(1u << k);
      }
    }
  }
}

}  // namespace

void sync_judge_reset(SyncJudge& s) {
  s.credit.credit = kMaxCredit;
  s.credit.bytes_in = 0;
}

int soft_lookback(int sps) {
  // The peak search may start a coarse step early, the refining half a bit
  // before that, and a value looks back a bit.
  return judge_before(sps) + coarse_step(sps) - 1 + refine_span(sps) + sps;
}

int soft_judge(SyncJudge& s, SoftValues& values, const SampleRing& r, long candidate) {
  const int sps = r.sps;
  const long n = candidate;
  const long last = n + judge_after(sps) + peak_span(sps) + refine_span(sps) +
                    static_cast<long>(kRefineBits + 2) * sps;
  if ((7 - r.brdb + last) / 8 >= r.brx_count) return -1;
  soft_refresh(values);
  int64_t corr = 0, conf = 0;
  int64_t best = INT64_MIN;
  long found = -1;
  s.place = static_cast<int>(n - judge_before(sps));
  // Every few phases first: the peak search below looks at the rest.
  const int step = coarse_step(sps);
  for (long p = n - judge_before(sps); p <= n + judge_after(sps); p += step) {
    correlate(values, r, p, corr, conf);
    if (corr > best) {
      best = corr;
      s.place = static_cast<int>(p);
      s.rho_x1000 = conf > 0 ? static_cast<int>(1000 * corr / conf) : 0;
    }
    if (conf > 0 && 1000 * corr >= 850 * conf) {
      found = p;
      break;
    }
  }
  if (found < 0) return 0;
  // The peak of the correlation itself, then the phase the values are
  // surest of: the correlation alone places the bits a sample or two off.
  // Both climb while they grow (past one dip), within their spans.
  long peak = found;
  for (long p = found - step + 1; p < found; ++p) {  // the phases the steps passed over
    correlate(values, r, p, corr, conf);
    if (corr > best) {
      best = corr;
      peak = p;
      s.rho_x1000 = conf > 0 ? static_cast<int>(1000 * corr / conf) : 0;
    }
  }
  for (long p = found + 1, dips = 0; p < found + peak_span(sps) && dips < 2; ++p) {
    correlate(values, r, p, corr, conf);
    if (corr > best) {
      best = corr;
      peak = p;
      dips = 0;
      s.rho_x1000 = conf > 0 ? static_cast<int>(1000 * corr / conf) : 0;
    } else {
      ++dips;
    }
  }
  long sure = peak;
  int64_t most = confidence(values, r, peak);
  for (int way = -1; way <= 1; way += 2) {
    for (long p = peak + way, dips = 0; std::labs(p - peak) <= refine_span(sps) && dips < 2;
         p += way) {
      const int64_t c = confidence(values, r, p);
      if (c > most) {
        most = c;
        sure = p;
        dips = 0;
      } else {
        ++dips;
      }
    }
    if (sure != peak) break;  // it grew this way: the other way it falls
  }
  s.place = static_cast<int>(sure);
  return 1;
}

int bank_judge(SyncJudge& s, SoftValues& values, const SampleRing& r, long candidate, int judged) {
  WeightBank& b = values.bank;
  InputCredit& credit = s.credit;
  earn_credit(credit, r, int64_t{kBitsPerCredit} * r.sps, kMaxCredit);
  if (credit.credit < kFitCost + kJudgeCost || (judged == 0 && s.rho_x1000 < kLeastRho)) {
    return judged;
  }
  credit.credit -= kFitCost;
  soft_refresh(values);
  const int was = b.active;
  const int place = s.place;
  int64_t fit[kBankSets];
  unsigned sets = 0;
  for (int k = 0; k < kBankSets; ++k) sets |= (b.sets[k].kind != SetKind::kUnused ? 1u : 0u) << k;
  sync_fits(values, r, sets, place, fit);
  // The learned set that fits best, unless a starting set fits clearly
  // better than every learned set.
  int best = -1, start = 0;
  for (int k = 0; k < kBankSets; ++k) {
    if (b.sets[k].kind == SetKind::kLearned && (best < 0 || fit[k] > fit[best])) best = k;
    if (b.sets[k].kind == SetKind::kStarting && fit[k] > fit[start]) start = k;
  }
  if (best < 0 || fit[best] == INT64_MIN ||
      (fit[start] != INT64_MIN && fit[start] - kSpawnMargin > fit[best])) {
    best = start;
  }
  if (judged == 0 && (best == was || fit[best] == INT64_MIN)) {
    // No set finds a sync word where the active one looked: the learned
    // set used last but for the active one (another transmitter's, whose
    // timing differs) judges it from scratch.
    best = -1;
    for (int k = kStartSets; k < kBankSets; ++k) {
      if (k != was && b.sets[k].kind == SetKind::kLearned &&
          (best < 0 || b.sets[k].used_at > b.sets[best].used_at)) {
        best = k;
      }
    }
    if (best < 0) return 0;
  } else if (best == was || fit[best] == INT64_MIN) {
    return judged;
  } else if (b.sets[was].kind == SetKind::kStarting && b.sets[best].kind == SetKind::kStarting &&
             fit[was] != INT64_MIN && fit[best] - kStartMargin <= fit[was]) {
    return judged;  // between starting sets too a clear difference is asked for
  }
  const int cost = judged > 0 ? kJudgeCost : kSearchCost;
  if (credit.credit < cost) return judged;
  b.active = best;
  credit.credit -= cost;
  if (soft_judge(s, values, r, candidate) > 0) return 1;
  b.active = was;
  return judged > 0 ? soft_judge(s, values, r, candidate) : 0;
}

}  // namespace morvix
