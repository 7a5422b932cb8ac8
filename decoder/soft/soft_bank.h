// SPDX-License-Identifier: Apache-2.0
// The improved reading's bank of weight sets, so that it follows a channel
// that changes, hears several transmitters and starts well on an unusual
// channel. The bank holds fixed starting sets for typical channels (the
// model's quarter-bit low-pass, a half-bit one, a slicer offset either way)
// and a few learned sets. Each sync word is read with the set whose soft
// values fit it best (the log-likelihood of its 40 bits: bank_judge,
// decoder/soft/soft_sync.h); a frame teaches
// only the set that read it, and a frame that a starting set read (no
// learned set fitted it as well) starts a learned set of its own from that
// starting set, in place of the set unused longest. So transmitters that
// differ (in level, offset, filtering) each keep their own weights, a
// change is met by a starting set at once and learned within a few frames,
// and what a steady channel taught stays in the bank for when it returns.
#pragma once

#include <cstdint>
#include <memory>

#include "decoder/soft/soft_learner.h"

namespace morvix {

constexpr int kStartSets = 4;    // the starting sets, first in the bank
constexpr int kLearnedSets = 4;  // the learned sets after them
constexpr int kBankSets = kStartSets + kLearnedSets;

enum class SetKind : uint8_t { kUnused, kStarting, kLearned };

struct WeightSet {
  SetKind kind = SetKind::kUnused;
  SoftLearner learner;
  int32_t* table = nullptr;  // its part of the bank's tables (decoder/soft/soft_taps.h)
  int32_t constant = 0;      // the constant's part
  bool stale = true;         // the weights moved since the table was made
  int64_t used_at = 0;       // the bank's frame count when it last read a frame
};

struct WeightBank {
  WeightBank() = default;
  WeightBank(const WeightBank&) = delete;
  WeightBank& operator=(const WeightBank&) = delete;

  WeightSet sets[kBankSets];
  std::unique_ptr<int32_t[]> tables;  // every set's table, allocated once
  int active = 0;                     // the set the soft values are read with
  int64_t frames = 0;                 // frames the improved reading decoded
  // Labels wait in the batch, a few frames' worth, before a step.
  LabelBatch batch;
  int batch_set = -1;    // the set they teach
  int batch_frames = 0;  // frames they came from
};

// The starting sets and no learned one, tables of table_size entries each
// (the only allocation), the model's set active.
void bank_reset(WeightBank& b, int table_size);

// A set that read a frame worth learning from: itself when learned, else a
// new learned set started from it (in place of an unused or the longest
// unused learned set). Marks it used and active.
int bank_set_to_teach(WeightBank& b, int read_with);

// Steps the batch's set with the labels waiting (if any).
void bank_flush(WeightBank& b);

}  // namespace morvix
