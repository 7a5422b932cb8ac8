// SPDX-License-Identifier: Apache-2.0
#include "decoder/sample_ring.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <vector>

#include "decoder/sync_word.h"
#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using test::UdpPeer;

class SampleRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ring_setup(r_, 10);
    port_ = test::free_udp_port();
    ASSERT_EQ(server_open_dstream(r_, port_), 1);
  }
  void TearDown() override { close(r_.dfd); }

  // Sends a datagram of `size` bytes counting up from `first`.
  void send_counting(const UdpPeer& from, int size, unsigned char first) {
    std::vector<unsigned char> data(static_cast<size_t>(size));
    std::iota(data.begin(), data.end(), first);
    from.send_to(port_, data.data(), data.size());
  }

  SampleRing r_;
  int port_ = 0;
};

TEST_F(SampleRingTest, FillsTheRingAndKeepsTheRestOfTheLastDatagram) {
  UdpPeer source;
  for (int i = 0; i < 6; ++i) send_counting(source, 1000, static_cast<unsigned char>(i));
  get_more_samples(r_);
  EXPECT_EQ(r_.brx_count, kRingBytes);
  EXPECT_EQ(r_.bwrp, r_.brdp);  // full ring
  EXPECT_EQ(r_.irdlen, 1000);
  EXPECT_EQ(r_.irdptr, 781);  // 4 x 1000 + 781 = 4781
  EXPECT_EQ(r_.rxbits[4780], static_cast<unsigned char>(4 + 780));

  // Give up 100 bytes: the next top-up goes on inside the kept datagram.
  r_.brdp = 100;
  r_.brx_count -= 100;
  get_more_samples(r_);
  EXPECT_EQ(r_.brx_count, kRingBytes);
  EXPECT_EQ(r_.irdptr, 881);
  EXPECT_EQ(r_.bwrp, 100);
  EXPECT_EQ(r_.rxbits[0], static_cast<unsigned char>(4 + 781));  // wrapped past the end
  EXPECT_EQ(r_.rxbits[99], static_cast<unsigned char>(4 + 880));
}

TEST_F(SampleRingTest, TakesWhatHasArrivedAndReturnsAtOnceWhenNothingMoreIsWaiting) {
  UdpPeer source;
  send_counting(source, 300, 0);
  ASSERT_TRUE(test::readable(r_.dfd, 1000));
  const auto start = std::chrono::steady_clock::now();
  get_more_samples(r_);
  get_more_samples(r_);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r_.brx_count, 300);
  EXPECT_LT(took, 0.5);
}

TEST_F(SampleRingTest, InterleavesTwoSendersInArrivalOrder) {
  UdpPeer first;
  UdpPeer second;
  for (int i = 0; i < 4; ++i) {
    const UdpPeer& from = i % 2 == 0 ? first : second;
    from.send_to(port_, std::vector<unsigned char>(10, static_cast<unsigned char>(i)).data(), 10);
    usleep(2000);
  }
  usleep(20000);
  get_more_samples(r_);
  ASSERT_EQ(r_.brx_count, 40);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(r_.rxbits[i], i / 10) << i;
}

TEST_F(SampleRingTest, CutsDatagramsLongerThanTheInputBuffer) {
  UdpPeer source;
  send_counting(source, 5000, 0);
  send_counting(source, 1, 99);
  usleep(20000);
  get_more_samples(r_);
  EXPECT_EQ(r_.brx_count, kInputBytes + 1);
  EXPECT_EQ(r_.rxbits[kInputBytes], 99);
}

TEST(SampleRingSize, HoldsTheLongestFrameAtAnySamplesPerBit) {
  EXPECT_EQ(ring_bytes_for(1), kRingBytes);
  EXPECT_EQ(ring_bytes_for(10), kRingBytes);
  for (int sps : {11, 20, 1000}) {
    const long frame_samples = 3525L * sps;  // sync word and 41 blocks
    EXPECT_GE(ring_bytes_for(sps) * 8L, frame_samples + 7 + 8) << sps;
  }
  SampleRing r;
  ring_setup(r, 20);
  EXPECT_EQ(r.ring_bytes, ring_bytes_for(20));
  const std::vector<unsigned char> lots(static_cast<size_t>(r.ring_bytes) + 50, 0xAA);
  EXPECT_EQ(ring_write(r, lots.data(), static_cast<int>(lots.size())), r.ring_bytes);
  EXPECT_EQ(r.bwrp, 0);
}

// The arithmetic every reading shares, where it is easiest to get wrong:
// positions that cross the ring's end.
TEST(SampleRingPositions, MoveReadAndCountAcrossTheRingEnd) {
  SampleRing r;
  ring_setup(r, 1);
  r.bwrp = r.brdp = r.ring_bytes - 3;
  // The sync word's samples (a sample of 0 for a line bit of 1) from the
  // ring's third byte before its end on, three of them wrong.
  std::vector<unsigned char> bytes(16, 0xA5);
  for (int i = 0; i < 5; ++i)
    bytes[static_cast<size_t>(i)] = static_cast<unsigned char>(~kSyncWord[i]);
  bytes[0] ^= 0x80;
  bytes[4] ^= 0x11;
  ASSERT_EQ(ring_write(r, bytes.data(), 16), 16);

  EXPECT_EQ(count_sync_wrong(r, 0, kMaxSyncWrongBits), 3);
  EXPECT_EQ(count_sync_wrong(r, 0, 1), 2);  // stops past the limit
  // Words from the first two bytes on, both running past the ring's end.
  uint64_t word[2] = {};
  for (size_t i = 0; i < 8; ++i) {
    for (size_t from = 0; from < 2; ++from) word[from] = word[from] << 8 | bytes[from + i];
  }
  const RingWords words(r);
  EXPECT_EQ(words.at(0), word[0]);
  EXPECT_EQ(words.at(13) >> (64 - kRingWordSamples), (word[1] << 5) >> (64 - kRingWordSamples));

  r.brdb = 5;  // two samples in
  EXPECT_EQ(search_sample(r), 2);
  EXPECT_EQ(arrived_samples(r), 16 * 8 - 2);
  move_search(r, 8 * 3 + 1);  // into the ring's first byte
  EXPECT_EQ(r.brdp, 0);
  EXPECT_EQ(r.brdb, 6);
  EXPECT_EQ(r.brx_count, 13);
  EXPECT_EQ(search_sample(r), 25);
  place_block(r, 7 - r.brdb + 40);
  EXPECT_EQ(r.bbp, 5);
  EXPECT_EQ(r.bbb, 6);
}

}  // namespace
}  // namespace morvix
