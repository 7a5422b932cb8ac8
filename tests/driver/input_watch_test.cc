// SPDX-License-Identifier: Apache-2.0
#include "driver/input_watch.h"

#include <gtest/gtest.h>

namespace morvix::test {
namespace {

// Input arriving every gap_ms from start_ms, count times; returns the
// time of the last arrival.
int64_t arrive(InputWatch& w, int64_t& bytes, int64_t start_ms, int64_t gap_ms, int count) {
  int64_t now = start_ms;
  for (int i = 0; i < count; ++i, now += gap_ms) {
    bytes += 1000;
    note_input(w, bytes, now);
    EXPECT_EQ(input_idle(w, now + gap_ms - 1), 0)
        << "idle between datagrams " << gap_ms << " apart";
  }
  return now - gap_ms;
}

TEST(InputWatchTest, AFastSourceIsIdleAfterASecondOncePerSilence) {
  InputWatch w;
  EXPECT_EQ(input_idle(w, 5000), 0);  // no input yet: nothing to end
  EXPECT_EQ(idle_wait_ms(w, 5000, 1000), 1000);
  int64_t bytes = 0;
  const int64_t last = arrive(w, bytes, 10000, 50, 40);
  EXPECT_EQ(idle_limit_ms(w), kMinIdleMs);
  EXPECT_EQ(idle_wait_ms(w, last + 400, 1000), 600);
  EXPECT_EQ(input_idle(w, last + 999), 0);
  EXPECT_EQ(input_idle(w, last + 1000), 1);
  EXPECT_EQ(input_idle(w, last + 5000), 0);  // told once
  EXPECT_EQ(idle_wait_ms(w, last + 5000, 1000), 1000);
  note_input(w, bytes + 1, last + 6000);  // the next transmission
  EXPECT_EQ(input_idle(w, last + 7000), 1);
}

TEST(InputWatchTest, ASlowSourcesOwnPaceIsNotASilenceButItsPausesAre) {
  InputWatch w;
  int64_t bytes = 0;
  // One datagram every 1.5 s: the first gap still ends a silence, the
  // gaps after it are the source's pace.
  note_input(w, ++bytes, 0);
  EXPECT_EQ(input_idle(w, 1499), 1);
  note_input(w, ++bytes, 1500);
  const int64_t last = arrive(w, bytes, 3000, 1500, 30);
  EXPECT_EQ(idle_limit_ms(w), 3000);
  // A pause between transmissions does not count as the pace, nor does a
  // rare long gap move the limit.
  note_input(w, ++bytes, last + 60000);
  const int64_t later = arrive(w, bytes, last + 60000 + 1500, 1500, 3);
  EXPECT_EQ(idle_limit_ms(w), 3000);
  EXPECT_EQ(input_idle(w, later + 3000), 1);
  // However slow the source, a silence ends within kMaxIdleMs.
  InputWatch slow;
  for (int i = 0; i < 40; ++i) note_input(slow, ++bytes, i * 9000);
  EXPECT_EQ(idle_limit_ms(slow), kMaxIdleMs);
}

}  // namespace
}  // namespace morvix::test
