// SPDX-License-Identifier: Apache-2.0
#include "driver/main_loop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <thread>
#include <tuple>

#include "decoder/sample_ring.h"
#include "fec/link_codec.h"
#include "net/upstream.h"
#include "net/upstream_lookup.h"
#include "runtime/clock.h"
#include "tests/support/udp_test_util.h"
#include "tools/gen/signal_gen.h"

namespace morvix {
namespace {

using test::UdpPeer;

class MainLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_override(&now_);
    clients_open_dstream(dist_);
    // The upstream slot points at a local socket standing in for the server.
    dist_.table.clients[0] = {htonl(INADDR_LOOPBACK),
                              htons(static_cast<uint16_t>(upstream_.port())), 1};
    dist_.table.active_clients = 1;
    dist_.upstream.vorn_found = 1;
    std::strcpy(dist_.upstream.uid, "*uid:0123456789abcdef0123456789abcdef01234567:");
    dist_.upstream.uidslen = 46;
    loop_.last_tick = now_;
  }
  void TearDown() override {
    clock_override(nullptr);
    close(dist_.table.cfd);
  }

  // Offers a frame to the loop as if the decoder had just reported it.
  int offer(const std::vector<unsigned char>& frame) {
    std::memcpy(d_.block.frame, frame.data(), frame.size());
    d_.checker.framelen = static_cast<int>(frame.size());
    return handle_frame(loop_, d_, dist_);
  }

  // Datagrams waiting at the upstream stand-in.
  std::vector<std::vector<unsigned char>> upstream_received() {
    std::vector<std::vector<unsigned char>> all;
    std::vector<unsigned char> one;
    while (upstream_.receive(one, 50)) all.push_back(one);
    return all;
  }

  std::time_t now_ = 1'000'000;
  UdpPeer upstream_;
  Decoder d_;
  Distribution dist_;
  LoopState loop_;
};

TEST_F(MainLoopTest, PassesOnAFrameOnlyWhenItDiffersFromTheLastPassedOn) {
  const std::vector<unsigned char> a = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<unsigned char> b = {1, 2, 3, 4, 5, 6, 7, 9};
  const std::vector<unsigned char> a_longer = {1, 2, 3, 4, 5, 6, 7, 8, 0};
  EXPECT_EQ(offer(a), 1);
  EXPECT_EQ(offer(a), 0);
  EXPECT_EQ(offer(b), 1);
  EXPECT_EQ(offer(a), 1);
  EXPECT_EQ(offer(a_longer), 1);  // same bytes, other length
  const auto got = upstream_received();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], a);
  EXPECT_EQ(got[1], b);
  EXPECT_EQ(got[2], a);
  EXPECT_EQ(got[3], a_longer);
}

TEST_F(MainLoopTest, RecordsFramesEvenWithNobodyToSendTo) {
  dist_.table.active_clients = 0;
  const std::vector<unsigned char> a = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(offer(a), 1);
  EXPECT_TRUE(upstream_received().empty());
  dist_.table.active_clients = 1;
  EXPECT_EQ(offer(a), 0);  // still a repeat of the unsent frame
}

TEST_F(MainLoopTest, DumpsNewFramesNumberedFromZero) {
  loop_.dump = 1;
  ::testing::internal::CaptureStdout();
  offer({0x00, 0xab, 0x10, 0xff, 1, 2, 3, 4});
  offer({0x00, 0xab, 0x10, 0xff, 1, 2, 3, 4});
  offer({0x07, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "rx: #0 00 ab 10 ff 01 02 03 04 \n"
            "rx: #1 07 00 00 00 00 00 00 00 \n");
}

TEST_F(MainLoopTest, TicksOnlyOnceMoreThanSixtySecondsHavePassed) {
  now_ += 60;
  EXPECT_EQ(keepalive_clock(loop_, dist_), 0);
  now_ += 1;
  EXPECT_EQ(keepalive_clock(loop_, dist_), 1);
  EXPECT_EQ(loop_.last_tick, now_);
  now_ -= 500;  // clock set back: nothing until 60 s past the last tick again
  EXPECT_EQ(keepalive_clock(loop_, dist_), 0);
  now_ += 560;
  EXPECT_EQ(keepalive_clock(loop_, dist_), 0);
  now_ += 1;
  EXPECT_EQ(keepalive_clock(loop_, dist_), 1);
}

TEST_F(MainLoopTest, ResendsTheIdentityOnEverySixteenthTick) {
  std::vector<int> announced_at;
  for (int tick = 1; tick <= 33; ++tick) {
    now_ += 61;
    ASSERT_EQ(keepalive_clock(loop_, dist_), 1);
    for (const auto& datagram : upstream_received()) {
      if (datagram.size() == 46 && std::memcmp(datagram.data(), "*uid:", 5) == 0)
        announced_at.push_back(tick);
    }
  }
  EXPECT_EQ(announced_at, (std::vector<int>{16, 32}));
}

TEST_F(MainLoopTest, LooksTheUpstreamServerUpOnEverySixteenthTickAndFollowsItWhenItMoves) {
  // Numeric names and names c-ares refuses before any query leaves the host
  // are answered at once, so the test needs no name server.
  UpstreamLookup lookup;
  ASSERT_EQ(lookup_open(lookup), 1);
  loop_.lookup = &lookup;
  dist_.table.clients[0] = {};
  dist_.table.active_clients = 0;
  dist_.upstream.vorn_found = 0;
  dist_.upstream.vorn_port = upstream_.port();
  ::testing::internal::CaptureStderr();
  dist_.upstream.vorn_host = "no..such-host.invalid";
  EXPECT_EQ(lookup_vorn_dns(dist_, lookup), 0);  // start-up, while the name fails
  const auto tick_until_announced = [&] {
    for (int tick = 1; tick <= 16; ++tick) {
      now_ += 61;
      keepalive_clock(loop_, dist_);
      if (!upstream_received().empty()) return tick;
    }
    return 0;
  };
  dist_.upstream.vorn_host = "127.0.0.1";  // the name resolves later
  EXPECT_EQ(tick_until_announced(), 16);
  EXPECT_EQ(dist_.table.clients[0].addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(dist_.table.clients[0].port, htons(static_cast<uint16_t>(upstream_.port())));
  EXPECT_EQ(dist_.table.clients[0].stamp, 1);
  EXPECT_EQ(dist_.table.active_clients, 1);
  EXPECT_EQ(dist_.stats.identity_announcements, 1);  // none while there was no address

  // A failing name keeps the server found before.
  dist_.upstream.vorn_host = "no..such-host.invalid";
  EXPECT_EQ(tick_until_announced(), 16);
  EXPECT_EQ(dist_.table.clients[0].addr, htonl(INADDR_LOOPBACK));

  // The server moves: the next lookup follows it and announces at once.
  UdpPeer moved;
  dist_.upstream.vorn_port = moved.port();
  dist_.upstream.vorn_host = "127.0.0.1";
  for (int tick = 1; tick <= 16; ++tick) {
    now_ += 61;
    keepalive_clock(loop_, dist_);
  }
  std::vector<unsigned char> got;
  ASSERT_TRUE(moved.receive(got, 1000));
  EXPECT_EQ(std::string(got.begin(), got.end()), dist_.upstream.uid);
  EXPECT_EQ(dist_.table.clients[0].port, htons(static_cast<uint16_t>(moved.port())));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "upstream host \"no..such-host.invalid\" not found (Misformatted domain name); "
            "trying again about every 16 minutes\n"
            "upstream host \"127.0.0.1\" found at 127.0.0.1\n"
            "upstream host \"no..such-host.invalid\" not found (Misformatted domain name); "
            "trying again about every 16 minutes\n"
            "upstream host \"127.0.0.1\" found at 127.0.0.1\n");
}

TEST_F(MainLoopTest, TickSendsKeepalivesAndExpiresSilentClients) {
  UdpPeer client;
  dist_.table.clients[1] = {htonl(INADDR_LOOPBACK), htons(static_cast<uint16_t>(client.port())),
                            now_};
  std::vector<unsigned char> got;
  now_ += 61;
  keepalive_clock(loop_, dist_);
  ASSERT_TRUE(client.receive(got, 500));
  EXPECT_EQ(std::string(got.begin(), got.end()), "*KEEPALIVE");
  now_ += 300;
  keepalive_clock(loop_, dist_);
  EXPECT_FALSE(client.receive(got, 100));
  EXPECT_EQ(dist_.table.clients[1].stamp, 0);
}

// Everything a pass can move on: the input taken, the search, the blocks
// read (either reading) and the frames handed out.
auto progress_of(const Decoder& d, const LoopState& loop) {
  return std::make_tuple(d.ring.bytes_in, d.ring.brdp, d.ring.brdb, d.ring.bbp, d.ring.bbb,
                         d.soft.clock.pos, d.checker.df_state, d.soft.search.mode,
                         loop.frames_relayed + loop.frames_repeated);
}

TEST_F(MainLoopTest, APassWithInputWaitingAlwaysMovesOn) {
  for (int soft : {1, 0}) {
    Decoder d;
    LoopState loop;
    loop.last_tick = now_;
    decoder_setup(d, 10, 1, link_codec());
    d.improved_reading = soft;
    ASSERT_TRUE(server_open_dstream(d.ring, 0));
    // Frames whose sync words are cut off by a datagram's end 50 to 56
    // bytes after their first sample, in datagrams of at most 1000 bytes.
    gen::SampleWriter w(10);
    std::mt19937 rng(7);
    std::vector<size_t> cuts;
    for (int ahead = 50; ahead <= 56; ++ahead) {
      w.add_idle(1000 + 10 * ahead);
      for (size_t at = cuts.empty() ? 0 : cuts.back();
           at + 1000 < static_cast<size_t>(w.sample_count() / 8); at += 1000)
        cuts.push_back(at + 1000);
      cuts.push_back(static_cast<size_t>(w.sample_count() / 8 + ahead + 1));
      const gen::Bytes frame = gen::build_frame(static_cast<uint8_t>(ahead), gen::Bytes(30, 0x3C));
      w.add_line_bits(gen::frame_line_bits(frame, {}, rng));
    }
    w.add_idle(8 * 4000);
    const gen::Bytes samples = w.take();
    cuts.push_back(samples.size());

    std::thread source([&] {
      UdpPeer from;
      const int port = test::local_port(d.ring.dfd);
      for (size_t i = 0, at = 0; i < cuts.size(); at = cuts[i++]) {
        from.send_to(port, samples.data() + at, cuts[i] - at);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    for (int pass = 0; pass < 2000 && loop.frames_relayed < 7; ++pass) {
      const bool waiting = input_waiting(d.ring);
      const auto before = progress_of(d, loop);
      main_pass(loop, d, dist_);
      if (waiting) {
        ASSERT_NE(progress_of(d, loop), before) << soft << " pass " << pass;
      }
    }
    source.join();
    close(d.ring.dfd);
    EXPECT_EQ(loop.frames_relayed, 7) << soft;
  }
}

}  // namespace
}  // namespace morvix
