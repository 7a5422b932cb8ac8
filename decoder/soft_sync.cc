// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_sync.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "decoder/soft_reader.h"
#include "decoder/soft_taps.h"

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
void correlate(const Decoder& d, long p, int64_t& corr, int64_t& conf) {
  corr = 0;
  conf = 0;
  for (int j = 0; j < kSyncBits; ++j) {
    const int32_t v = soft_value(d, p + static_cast<long>(j) * d.ring.sps);
    corr += d.sync.match_table[j] ? v : -v;
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
int64_t confidence(const Decoder& d, long p) {
  int64_t total = 0;
  for (int j = 0; j < kRefineBits; ++j) {
    const int32_t v = soft_value(d, p + static_cast<long>(j) * d.ring.sps);
    total += v < 0 ? -v : v;
  }
  return total;
}

}  // namespace

int soft_lookback(int sps) {
  // The peak search may start a coarse step early, the refining half a bit
  // before that, and a value looks back a bit.
  return judge_before(sps) + coarse_step(sps) - 1 + refine_span(sps) + sps;
}

int soft_judge(Decoder& d) {
  SoftReader& s = d.soft;
  const int sps = d.ring.sps;
  const long n = s.lookback;
  const long last = n + judge_after(sps) + peak_span(sps) + refine_span(sps) +
                    static_cast<long>(kRefineBits + 2) * sps;
  if ((7 - d.ring.brdb + last) / 8 >= d.ring.brx_count) return -1;
  soft_refresh(d);
  int64_t corr = 0, conf = 0;
  int64_t best = INT64_MIN;
  long found = -1;
  s.place = static_cast<int>(n - judge_before(sps));
  // Every few phases first: the peak search below looks at the rest.
  const int step = coarse_step(sps);
  for (long p = n - judge_before(sps); p <= n + judge_after(sps); p += step) {
    correlate(d, p, corr, conf);
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
    correlate(d, p, corr, conf);
    if (corr > best) {
      best = corr;
      peak = p;
      s.rho_x1000 = conf > 0 ? static_cast<int>(1000 * corr / conf) : 0;
    }
  }
  for (long p = found + 1, dips = 0; p < found + peak_span(sps) && dips < 2; ++p) {
    correlate(d, p, corr, conf);
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
  int64_t most = confidence(d, peak);
  for (int way = -1; way <= 1; way += 2) {
    for (long p = peak + way, dips = 0; std::labs(p - peak) <= refine_span(sps) && dips < 2;
         p += way) {
      const int64_t c = confidence(d, p);
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

}  // namespace morvix
