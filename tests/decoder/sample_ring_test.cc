// SPDX-License-Identifier: Apache-2.0
#include "decoder/sample_ring.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <vector>

#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using test::UdpPeer;

class SampleRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    decoder_setup(d_, 10, 0, nullptr);
    port_ = test::free_udp_port();
    ASSERT_EQ(server_open_dstream(d_.ring, port_), 1);
  }
  void TearDown() override { close(d_.ring.dfd); }

  // Sends a datagram of `size` bytes counting up from `first`.
  void send_counting(const UdpPeer& from, int size, unsigned char first) {
    std::vector<unsigned char> data(static_cast<size_t>(size));
    std::iota(data.begin(), data.end(), first);
    from.send_to(port_, data.data(), data.size());
  }

  Decoder d_;
  int port_ = 0;
};

TEST_F(SampleRingTest, FillsTheRingAndKeepsTheRestOfTheLastDatagram) {
  UdpPeer source;
  for (int i = 0; i < 6; ++i) send_counting(source, 1000, static_cast<unsigned char>(i));
  get_more_samples(d_);
  EXPECT_EQ(d_.ring.brx_count, kRingBytes);
  EXPECT_EQ(d_.ring.bwrp, d_.ring.brdp);  // full ring
  EXPECT_EQ(d_.ring.irdlen, 1000);
  EXPECT_EQ(d_.ring.irdptr, 781);  // 4 x 1000 + 781 = 4781
  EXPECT_EQ(d_.ring.rxbits[4780], static_cast<unsigned char>(4 + 780));

  // Give up 100 bytes: the next top-up goes on inside the kept datagram.
  d_.ring.brdp = 100;
  d_.ring.brx_count -= 100;
  get_more_samples(d_);
  EXPECT_EQ(d_.ring.brx_count, kRingBytes);
  EXPECT_EQ(d_.ring.irdptr, 881);
  EXPECT_EQ(d_.ring.bwrp, 100);
  EXPECT_EQ(d_.ring.rxbits[0], static_cast<unsigned char>(4 + 781));  // wrapped past the end
  EXPECT_EQ(d_.ring.rxbits[99], static_cast<unsigned char>(4 + 880));
}

TEST_F(SampleRingTest, TakesWhatHasArrivedAndReturnsAtOnceWhenNothingMoreIsWaiting) {
  UdpPeer source;
  send_counting(source, 300, 0);
  ASSERT_TRUE(test::readable(d_.ring.dfd, 1000));
  const auto start = std::chrono::steady_clock::now();
  get_more_samples(d_);
  get_more_samples(d_);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(d_.ring.brx_count, 300);
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
  get_more_samples(d_);
  ASSERT_EQ(d_.ring.brx_count, 40);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(d_.ring.rxbits[i], i / 10) << i;
}

TEST_F(SampleRingTest, CutsDatagramsLongerThanTheInputBuffer) {
  UdpPeer source;
  send_counting(source, 5000, 0);
  send_counting(source, 1, 99);
  usleep(20000);
  get_more_samples(d_);
  EXPECT_EQ(d_.ring.brx_count, kInputBytes + 1);
  EXPECT_EQ(d_.ring.rxbits[kInputBytes], 99);
}

}  // namespace
}  // namespace morvix
