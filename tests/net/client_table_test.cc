// SPDX-License-Identifier: Apache-2.0
#include "net/client_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/clock.h"
#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using test::pending;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using Datagrams = std::vector<std::string>;

class ClientTableTest : public ::testing::Test {
 protected:
  ClientTableTest() {
    clock_override(&now_);
    clients_open_dstream(dist_);
  }
  ~ClientTableTest() override {
    clock_override(nullptr);
    close(dist_.table.cfd);
    for (int fd : fds_) close(fd);
  }

  int peer(uint16_t port = 0) {
    const int fd = test::bound_socket(SOCK_DGRAM, port);
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }
  void send(int from, std::string_view data) {
    test::send_datagram(from, static_cast<uint16_t>(dist_.table.cd_port), data);
  }
  // One pass of the drain; returns what it printed.
  std::string drain() {
    CaptureStdout();
    process_udp_rx_clients(dist_);
    return GetCapturedStdout();
  }
  std::string registration(int slot, int fd) {
    char line[64];
    std::snprintf(line, sizeof line, "add new client slot %d, %04x %02x\n", slot,
                  static_cast<unsigned>(htonl(INADDR_LOOPBACK)),
                  static_cast<unsigned>(htons(test::local_port(fd))));
    return line;
  }
  // Puts fd's address into slot directly, bypassing registration.
  void hold(int slot, int fd, int64_t stamp) {
    dist_.table.clients[slot] = {htonl(INADDR_LOOPBACK), htons(test::local_port(fd)), stamp};
  }
  bool holds(int slot, int fd) const {
    return dist_.table.clients[slot].addr == htonl(INADDR_LOOPBACK) &&
           dist_.table.clients[slot].port == htons(test::local_port(fd));
  }
  void relay(std::string_view frame) {
    send_to_clients(dist_, reinterpret_cast<const unsigned char*>(frame.data()),
                    static_cast<int>(frame.size()));
  }

  std::time_t now_ = 1'700'000'000;
  Distribution dist_;
  std::vector<int> fds_;
};

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

TEST_F(ClientTableTest, EmptyAndUpstreamDatagramsDoNotHoldUpThoseBehindThem) {
  const int upstream = peer();
  const int empty = peer();
  const int client = peer();
  hold(0, upstream, 0);
  send(empty, "");
  send(upstream, "START");
  send(client, "x");
  EXPECT_EQ(drain(), registration(1, client));
  EXPECT_EQ(dist_.table.clients[0].stamp, 1);
  EXPECT_FALSE(holds(1, empty));
}

TEST_F(ClientTableTest, OneDrainTakesABoundedShareAndLeavesTheRestQueued) {
  const int flood = peer();
  const int client = peer();
  for (int i = 0; i < kDatagramsPerDrain; ++i) send(flood, "");
  send(client, "x");
  EXPECT_EQ(drain(), "");
  EXPECT_EQ(drain(), registration(1, client));
}

TEST_F(ClientTableTest, SourcesNoReplyCanReachTakeNoSlotAndAreNeverTheUpstream) {
  // The upstream slot as a failed lookup leaves it: address 0, port 0.
  struct Source {
    uint32_t addr;
    uint16_t port;
  };
  for (const Source& source :
       {Source{INADDR_ANY, 0}, Source{INADDR_ANY, 4000}, Source{INADDR_BROADCAST, 4000},
        Source{0xE0000001, 4000}, Source{INADDR_LOOPBACK, 0}}) {
    SCOPED_TRACE(source.addr);
    for (const char* datagram : {"START", "hello"}) {
      if (!test::send_forged(source.addr, source.port, dist_.table.cd_port, datagram)) {
        GTEST_SKIP() << "forging a source needs CAP_NET_RAW";
      }
    }
  }
  const int client = peer();
  send(client, "x");
  EXPECT_EQ(drain(), registration(1, client));
  EXPECT_EQ(dist_.table.clients[0].stamp, 0);
  EXPECT_EQ(dist_.table.clients[2].stamp, 0);
  EXPECT_EQ(dist_.table.clients[2].addr, 0u);
}

TEST_F(ClientTableTest, UpstreamSwitchesItsFeedWithStartAndStop) {
  const int upstream = peer();
  const int client = peer();
  hold(0, upstream, 1);
  send(client, "x");
  drain();

  struct Step {
    const char* datagram;
    int64_t feed;
  };
  for (const Step& step : {Step{"STO", 1}, Step{"STOP", 0}, Step{"hello", 0}, Step{"STAR", 0},
                           Step{"START", 1}, Step{"STOPPED", 0}, Step{"STARTED", 1}}) {
    SCOPED_TRACE(step.datagram);
    send(upstream, step.datagram);
    EXPECT_EQ(drain(), "");
    EXPECT_EQ(dist_.table.clients[0].stamp, step.feed);
    relay("frame");
    EXPECT_EQ(pending(upstream), step.feed ? Datagrams{"frame"} : Datagrams{});
    EXPECT_EQ(pending(client), Datagrams{"frame"});
  }
}

TEST_F(ClientTableTest, StartFromTheUpstreamHostOnAnotherPortRegistersAClient) {
  const int upstream = peer();
  const int other = peer();
  hold(0, upstream, 0);
  send(other, "START");
  EXPECT_EQ(drain(), registration(1, other));
  EXPECT_EQ(dist_.table.clients[0].stamp, 0);
  EXPECT_EQ(dist_.table.clients[1].stamp, now_);
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

TEST(ClientTableDeathTest, NoDescriptorLeftEndsTheProcess) {
  Distribution dist;
  const auto without_descriptors = [&] {
    test::starve_descriptors();
    clients_open_dstream(dist);
  };
  EXPECT_EXIT(without_descriptors(), ::testing::ExitedWithCode(1),
              ::testing::Eq("error: can't get cfd socket\n\n"));
}

}  // namespace
}  // namespace morvix
