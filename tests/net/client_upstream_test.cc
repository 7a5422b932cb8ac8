// SPDX-License-Identifier: Apache-2.0
// The client table's drain: the upstream server's START and STOP, and
// datagrams that must not hold up or take over the table.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "net/client_table.h"
#include "tests/net/client_table_fixture.h"
#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using test::ClientTableTest;
using test::Datagrams;
using test::local_port;
using test::pending;

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

// Each switch of the feed, and only a switch, is told on standard error
// (without -v), naming the server.
TEST_F(ClientTableTest, UpstreamSwitchesItsFeedWithStartAndStopAndEachSwitchIsTold) {
  const int upstream = peer();
  const int client = peer();
  hold(0, upstream, 1);
  send(client, "x");
  drain();
  const std::string server = "upstream server 127.0.0.1:" + std::to_string(local_port(upstream));
  const std::string stopped =
      server + " stopped the feed (STOP): frames go to clients only until it sends START\n";
  const std::string started = server + " started the feed (START)\n";

  struct Step {
    const char* datagram;
    int64_t feed;
  };
  for (const Step& step :
       {Step{"STO", 1}, Step{"STOP", 0}, Step{"STOP", 0}, Step{"hello", 0}, Step{"STAR", 0},
        Step{"START", 1}, Step{"STOPPED", 0}, Step{"STARTED", 1}}) {
    SCOPED_TRACE(step.datagram);
    const int64_t before = dist_.table.clients[0].stamp;
    send(upstream, step.datagram);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(drain(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), step.feed == before ? ""
                                                        : step.feed         ? started
                                                                            : stopped);
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

}  // namespace
}  // namespace morvix
