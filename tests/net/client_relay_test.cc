// SPDX-License-Identifier: Apache-2.0
// Frames and keepalives out to the client table's peers, and the expiry
// of clients that fall silent.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "net/client_table.h"
#include "tests/net/client_table_fixture.h"
#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using test::ClientTableTest;
using test::Datagrams;
using test::pending;

TEST_F(ClientTableTest, FailedSendsAreCountedByPeerKindAndTheOthersStillGetTheFrame) {
  const int good = peer();
  dist_.table.num_clients = 4;
  dist_.table.clients[0] = {htonl(INADDR_BROADCAST), htons(4799), 1};  // no SO_BROADCAST: refused
  dist_.table.clients[1] = {htonl(INADDR_LOOPBACK), 0, now_};          // port 0: refused
  hold(2, good, now_);
  dist_.table.clients[3] = {htonl(INADDR_BROADCAST), htons(4799), now_};
  relay("frame");
  EXPECT_EQ(pending(good), Datagrams{"frame"});
  EXPECT_EQ(dist_.stats.send_errors_upstream, 1);
  EXPECT_EQ(dist_.stats.send_errors_client, 2);
}

TEST_F(ClientTableTest, FramesReachExactlyTheActiveSlotsWithinTheTable) {
  int p[5];
  const int64_t stamps[5] = {1, 0, now_, now_ - 1000, now_};
  for (int i = 0; i < 5; ++i) {
    p[i] = peer();
    hold(i, p[i], stamps[i]);
  }
  dist_.table.num_clients = 4;  // slot 4 is outside the table

  std::string frame(307, '\0');
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i * 37);
  relay(frame);
  for (int i = 0; i < 5; ++i) {
    const bool reached = i == 0 || i == 2 || i == 3;
    EXPECT_EQ(pending(p[i]), reached ? Datagrams{frame} : Datagrams{}) << "slot " << i;
  }
}

TEST_F(ClientTableTest, ClientSilentForExactly300SecondsGetsAKeepaliveAndIsFreedAt301) {
  const int p = peer();
  send(p, "x");
  drain();
  const std::time_t registered = now_;

  now_ = registered + 300;
  send_client_keepalives(dist_);
  EXPECT_EQ(pending(p), Datagrams{"*KEEPALIVE"});
  EXPECT_EQ(dist_.table.clients[1].stamp, registered);  // a keepalive is no refresh

  now_ = registered + 301;
  send_client_keepalives(dist_);
  EXPECT_EQ(pending(p), Datagrams{});
  EXPECT_EQ(dist_.table.clients[1].stamp, 0);
  EXPECT_TRUE(holds(1, p));
}

TEST_F(ClientTableTest, ClientStaysWhenTheClockIsSetBack) {
  const int p = peer();
  send(p, "x");
  drain();
  now_ -= 5000;
  send_client_keepalives(dist_);
  EXPECT_EQ(pending(p), Datagrams{"*KEEPALIVE"});
  EXPECT_NE(dist_.table.clients[1].stamp, 0);
}

TEST_F(ClientTableTest, KeepalivesSkipTheUpstreamSlotAndSlotsOutsideTheTable) {
  const int upstream = peer();
  const int inside = peer();
  const int outside = peer();
  hold(0, upstream, 1);
  hold(1, inside, now_);
  hold(2, outside, 1);  // long expired, but outside the table
  dist_.table.num_clients = 2;

  send_client_keepalives(dist_);
  EXPECT_EQ(pending(upstream), Datagrams{});
  EXPECT_EQ(pending(inside), Datagrams{"*KEEPALIVE"});
  EXPECT_EQ(pending(outside), Datagrams{});
  EXPECT_EQ(dist_.table.clients[0].stamp, 1);
  EXPECT_EQ(dist_.table.clients[2].stamp, 1);
}

}  // namespace
}  // namespace morvix
