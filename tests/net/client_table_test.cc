// SPDX-License-Identifier: Apache-2.0
// The client table: its socket, registration of peers, refresh, disconnect
// and a full table.
#include "net/client_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "tests/net/client_table_fixture.h"
#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using test::ClientTableTest;
using test::Datagrams;
using test::pending;

TEST_F(ClientTableTest, OpensANonBlockingSocketOnAPlatformChosenPortOfAllAddresses) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ASSERT_EQ(getsockname(dist_.table.cfd, reinterpret_cast<sockaddr*>(&local), &len), 0);
  EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_NE(dist_.table.cd_port, 0);
  EXPECT_EQ(dist_.table.cd_port, ntohs(local.sin_port));
  EXPECT_NE(fcntl(dist_.table.cfd, F_GETFL) & O_NONBLOCK, 0);

  EXPECT_EQ(drain(), "");  // nothing waiting: returns at once
}

TEST_F(ClientTableTest, ClearingZeroesOnlyTheSlotsInUse) {
  for (client_slot& slot : dist_.table.clients) slot = {7, 8, 9};
  dist_.table.num_clients = 5;
  clear_client_slots(dist_);
  for (int i = 0; i < kMaxClients; ++i) {
    const int64_t expected = i < 5 ? 0 : 9;
    EXPECT_EQ(dist_.table.clients[i].stamp, expected) << "slot " << i;
    EXPECT_EQ(dist_.table.clients[i].addr, i < 5 ? 0u : 7u) << "slot " << i;
  }

  for (client_slot& slot : dist_.table.clients) slot = {7, 8, 9};
  dist_.table.num_clients = -1;
  clear_client_slots(dist_);
  EXPECT_EQ(dist_.table.clients[0].stamp, 9);
}

TEST_F(ClientTableTest, ClientAtPort5000PrintsTheDocumentedRegistrationLine) {
  if constexpr (std::endian::native != std::endian::little) GTEST_SKIP() << "little-endian text";
  const int p = peer(5000);
  if (p < 0) GTEST_SKIP() << "127.0.0.1:5000 is taken";
  send(p, "hello");
  EXPECT_EQ(drain(), "add new client slot 1, 100007f 8813\n");
}

TEST_F(ClientTableTest, FirstDatagramRegistersThePeerInTheLowestFreeSlot) {
  const int p = peer();
  send(p, "x");
  EXPECT_EQ(drain(), registration(1, p));
  EXPECT_TRUE(holds(1, p));
  EXPECT_EQ(dist_.table.clients[1].stamp, now_);
  EXPECT_EQ(dist_.table.active_clients, 1);

  relay("frame");
  send_client_keepalives(dist_);
  EXPECT_EQ(pending(p), (Datagrams{"frame", "*KEEPALIVE"}));
}

TEST_F(ClientTableTest, LaterDatagramsOnlyRefreshTheStamp) {
  const int p = peer();
  send(p, "x");
  drain();
  now_ += 100;
  send(p, "again");
  EXPECT_EQ(drain(), "");
  EXPECT_EQ(dist_.table.clients[1].stamp, now_);
  EXPECT_EQ(dist_.table.clients[2].stamp, 0);
}

TEST_F(ClientTableTest, DisconnectWithOrWithoutTrailingBytesFreesTheSlotButRemembersThePeer) {
  for (const std::string& bye :
       {std::string("DISCONNECT"), "DISCONNECT" + std::string(3000, 'z')}) {
    SCOPED_TRACE(bye.size());
    const int p = peer();
    send(p, "x");
    drain();
    send(p, bye);
    EXPECT_EQ(drain(), "");
    EXPECT_EQ(dist_.table.clients[1].stamp, 0);
    EXPECT_TRUE(holds(1, p));

    relay("frame");
    send_client_keepalives(dist_);
    EXPECT_EQ(pending(p), Datagrams{});
    EXPECT_EQ(dist_.table.active_clients, 1);  // never cleared once set
  }
}

TEST_F(ClientTableTest, FirstNineLettersOfDisconnectRegisterAndRefresh) {
  const int p = peer();
  send(p, "DISCONNEC");
  EXPECT_EQ(drain(), registration(1, p));
  EXPECT_EQ(dist_.table.clients[1].stamp, now_);
  now_ += 5;
  // The first datagram leaves a 'T' in the buffer where a tenth letter would be.
  send(p, "XXXXXXXXXT");
  send(p, "DISCONNEC");
  EXPECT_EQ(drain(), "");
  EXPECT_EQ(dist_.table.clients[1].stamp, now_);
}

TEST_F(ClientTableTest, DisconnectFromAnUnknownPeerStoresItInAFreeSlotThatStaysFree) {
  const int p = peer();
  send(p, "DISCONNECT");
  EXPECT_EQ(drain(), registration(1, p));
  EXPECT_TRUE(holds(1, p));
  EXPECT_EQ(dist_.table.clients[1].stamp, 0);
  EXPECT_EQ(dist_.table.active_clients, 1);

  const int q = peer();  // the free slot can still be taken
  send(q, "x");
  EXPECT_EQ(drain(), registration(1, q));
}

TEST_F(ClientTableTest, ReturningPeerGetsItsOldSlotBackWithoutALine) {
  const int p1 = peer();
  const int p2 = peer();
  send(p1, "x");
  send(p2, "x");
  drain();
  send(p1, "DISCONNECT");
  drain();
  send(p1, "back");
  EXPECT_EQ(drain(), "");
  EXPECT_TRUE(holds(1, p1));
  EXPECT_EQ(dist_.table.clients[1].stamp, now_);
  EXPECT_EQ(dist_.table.clients[3].stamp, 0);
}

TEST_F(ClientTableTest, NewPeerTakesAFreedSlotAndTheOldPeerThenCountsAsNew) {
  const int p1 = peer();
  const int p2 = peer();
  const int p3 = peer();
  send(p1, "x");
  send(p2, "x");
  send(p1, "DISCONNECT");
  drain();
  send(p3, "x");
  EXPECT_EQ(drain(), registration(1, p3));
  send(p1, "back");
  EXPECT_EQ(drain(), registration(3, p1));

  relay("frame");
  EXPECT_EQ(pending(p1), Datagrams{"frame"});
  EXPECT_EQ(pending(p2), Datagrams{"frame"});
  EXPECT_EQ(pending(p3), Datagrams{"frame"});
}

TEST_F(ClientTableTest, FullTableDropsANewPeerSilentlyUntilASlotIsFreed) {
  int p[4];
  std::string lines;
  for (int i = 0; i < 4; ++i) {
    p[i] = peer();
    send(p[i], "x");
    lines += registration(i + 1, p[i]);
  }
  EXPECT_EQ(drain(), lines);

  const int fifth = peer();
  now_ += 10;
  send(fifth, "x");
  send(p[0], "still here");  // the drop does not end the pass
  EXPECT_EQ(drain(), "");
  for (int i = 1; i < kMaxClients; ++i) EXPECT_FALSE(holds(i, fifth)) << "slot " << i;
  EXPECT_EQ(dist_.table.clients[1].stamp, now_);
  relay("frame");
  EXPECT_EQ(pending(fifth), Datagrams{});

  send(p[1], "DISCONNECT");
  drain();
  send(fifth, "x");
  EXPECT_EQ(drain(), registration(2, fifth));
}

TEST_F(ClientTableTest, ThirtyTwoSlotsHoldThirtyOneClients) {
  dist_.table.num_clients = kMaxClients;
  std::string lines;
  for (int i = 1; i < kMaxClients; ++i) {
    const int p = peer();
    send(p, "x");
    lines += registration(i, p);
  }
  const int extra = peer();
  send(extra, "x");
  EXPECT_EQ(drain(), lines);
  relay("frame");
  EXPECT_EQ(pending(extra), Datagrams{});
}

TEST_F(ClientTableTest, TablesBelowTwoSlotsTakeNoClientAndRelayOnlyWithinTheTable) {
  const int upstream = peer();
  for (int n : {1, 0, -3}) {
    SCOPED_TRACE(n);
    dist_.table.num_clients = n;
    hold(0, upstream, 1);
    const int p = peer();
    send(p, "x");
    EXPECT_EQ(drain(), "");
    EXPECT_EQ(dist_.table.clients[1].stamp, 0);
    EXPECT_EQ(dist_.table.active_clients, 0);

    relay("frame");
    EXPECT_EQ(pending(upstream), n == 1 ? Datagrams{"frame"} : Datagrams{});
  }
}

TEST_F(ClientTableTest, TwoSourcePortsOfOneHostAreTwoPeers) {
  const int a = peer();
  const int b = peer();
  send(a, "x");
  send(b, "x");
  EXPECT_EQ(drain(), registration(1, a) + registration(2, b));
}

TEST(ClientTableDeathTest, NoDescriptorLeftEndsTheProcess) {
  Distribution dist;
  const auto without_descriptors = [&] {
    test::starve_descriptors();
    clients_open_dstream(dist);
  };
  EXPECT_EXIT(without_descriptors(), ::testing::ExitedWithCode(1),
              ::testing::MatchesRegex("error: can't get cfd socket\ndistribution socket: .+\n"));
}

}  // namespace
}  // namespace morvix
