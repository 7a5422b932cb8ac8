// SPDX-License-Identifier: Apache-2.0
// With -v, the lines about refused and departing clients stay a few a
// minute whatever peers do, and then say how many were left out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "net/client_table.h"
#include "runtime/clock.h"
#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class RefusalLinesTest : public ::testing::Test {
 protected:
  RefusalLinesTest() {
    clock_override(&now_);
    clients_open_dstream(dist_);
    dist_.verbose = 1;
    dist_.table.num_clients = 2;  // one client slot
  }
  ~RefusalLinesTest() override {
    clock_override(nullptr);
    close(dist_.table.cfd);
    close(held_);
  }

  // A datagram from a new source port, which then goes away.
  void from_new_port(std::string_view data) {
    const int fd = test::bound_socket(SOCK_DGRAM);
    test::send_datagram(fd, dist_.table.cd_port, data);
    close(fd);
  }
  // Drains until the socket is empty; returns standard error meanwhile.
  std::string drain_all() {
    CaptureStderr();
    for (int i = 0; i < 20; ++i) process_udp_rx_clients(dist_);
    return GetCapturedStderr();
  }
  static int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  std::time_t now_ = 1'700'000'000;
  Distribution dist_;
  int held_ = test::bound_socket(SOCK_DGRAM);
};

TEST_F(RefusalLinesTest, ManyRefusedSourcePortsGiveAFewLinesAMinuteThenACount) {
  test::send_datagram(held_, dist_.table.cd_port, "x");
  drain_all();
  ASSERT_NE(dist_.table.clients[1].stamp, 0);

  const std::string refused = " refused: all 1 client slots are taken\n";
  std::string err;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 50; ++i) from_new_port("x");
    err += drain_all();
    now_ += 10;
  }
  EXPECT_EQ(dist_.stats.refused_full, 200);
  EXPECT_EQ(count(err, refused), kLinesPerMinute) << err;
  EXPECT_EQ(count(err, "\n"), kLinesPerMinute) << err;

  // Each kind has its own budget: a departure is still told.
  test::send_datagram(held_, dist_.table.cd_port, "DISCONNECT");
  err = drain_all();
  EXPECT_EQ(count(err, ") left\n"), 1) << err;

  // Once the minute is over, one line tells what was left out, at the next
  // keepalive tick if no datagram comes first.
  now_ += 21;
  CaptureStderr();
  send_client_keepalives(dist_);
  EXPECT_EQ(GetCapturedStderr(), "(" + std::to_string(200 - kLinesPerMinute) +
                                     " more \"refused\" lines left out in the last minute)\n");
  EXPECT_EQ(drain_all(), "");

  // A new minute has its own few lines.
  test::send_datagram(held_, dist_.table.cd_port, "back");
  for (int i = 0; i < 10; ++i) from_new_port("x");
  err = drain_all();
  EXPECT_EQ(count(err, refused), kLinesPerMinute) << err;
}

}  // namespace
}  // namespace morvix
