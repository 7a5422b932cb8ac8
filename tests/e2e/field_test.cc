// SPDX-License-Identifier: Apache-2.0
// What a station meets in the field: floods from the LAN, an idle input,
// a dead console reader, a wall clock that steps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

gen::Bytes some_frame(uint8_t first) {
  return gen::build_frame(first, gen::Bytes(40, static_cast<uint8_t>(first * 7)));
}

class FieldTest : public DaemonTest {
 protected:
  // The longest frame, then no samples: its blocks must not wait for more
  // input than the reading needs (the improved reading looks a few line bits
  // past the frame, and finishes without them once the source has been
  // silent for the idle limit, a second), however busy the other sockets
  // are meanwhile: empty input datagrams and a client's every 20 ms.
  void expect_relayed_within(double seconds) {
    const auto client = register_client(1);
    std::atomic<bool> chatting{true};
    std::thread chatter([&] {
      UdpPeer peer;
      while (chatting) {
        peer.send_to(rx_port_, "", 0);
        peer.send_to(cd_port_, "hello");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    const gen::Bytes f = gen::build_frame(9, gen::Bytes(300, 0x5A));
    gen::SampleWriter w(10);
    w.add_idle(100);
    w.add_line_bits(gen::frame_line_bits(f, {}, rng_));
    w.add_idle(10);
    const gen::Bytes samples = w.take();
    const auto sending = Clock::now();
    send_samples(samples);
    std::vector<unsigned char> got;
    const bool relayed = client->receive(got, 5000);
    const double took = seconds_since(sending);
    chatting = false;
    chatter.join();
    ASSERT_TRUE(relayed);
    EXPECT_LT(took, seconds);
    EXPECT_EQ(gen::Bytes(got.begin(), got.end()), f);
  }
};

TEST_F(FieldTest, FloodsOnTheDistributionSocketHoldUpNoRegistrationOrAnnouncement) {
  start({});
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    UdpPeer junk;
    while (flooding) {
      for (int i = 0; i < 20; ++i) {
        junk.send_to(cd_port_, "", 0);
        upstream_->send_to(cd_port_, "hello");  // from the upstream server's own address
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const auto registering = Clock::now();
  UdpPeer client;
  client.send_to(cd_port_, "hello");
  EXPECT_TRUE(daemon_->wait_for_output("add new client slot 1,", 1000));
  EXPECT_LT(seconds_since(registering), 1.0);

  // Twenty announcement connections at once, with the input idle.
  const auto connecting = Clock::now();
  std::vector<std::thread> askers;
  std::atomic<int> answered{0};
  for (int i = 0; i < 20; ++i) {
    askers.emplace_back([&] {
      if (ask_port(tcp_port_) == std::to_string(cd_port_) + "\r\n") ++answered;
    });
  }
  for (auto& t : askers) t.join();
  EXPECT_EQ(answered, 20);
  // A burst beyond the listener's queue waits for the client's SYN
  // retransmission (one second), not for one pass of the loop each.
  EXPECT_LT(seconds_since(connecting), 5.0);

  flooding = false;
  flood.join();
  const gen::Bytes f = some_frame(1);
  send_samples(signal({f}));
  const auto got = drain(client);
  EXPECT_NE(std::find(got.begin(), got.end(), f), got.end());
}

TEST_F(FieldTest, AFrameFollowedBySilenceIsRelayedAtOnce) {
  start({});
  expect_relayed_within(1.0);
}

TEST_F(FieldTest, AFrameFollowedBySilenceIsRelayedWithinTheIdleLimitWithTheImprovedReading) {
  start({"-a"});
  expect_relayed_within(2.0);
}

TEST_F(FieldTest, ADeadConsoleReaderCostsOnlyItsLines) {
  // Standard output is a pipe whose reader has already gone.
  start({"-d"}, {"/bin/bash", "-c", "exec \"$0\" \"$@\" > >(exec true)"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  UdpPeer client;
  client.send_to(cd_port_, "hello");  // its line goes nowhere
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const gen::Bytes f = some_frame(2);
  send_samples(signal({f}));
  const auto got = drain(client);
  EXPECT_NE(std::find(got.begin(), got.end(), f), got.end());
  EXPECT_EQ(ask_port(tcp_port_), std::to_string(cd_port_) + "\r\n");
  EXPECT_TRUE(daemon_->running());
}

TEST_F(FieldTest, AWallClockStepChangesNoTickOrExpiry) {
  const std::string step = dir_.path() + "/step";
  start({}, {"/usr/bin/env", "LD_PRELOAD=" WALL_CLOCK_SHIM, "WALL_CLOCK_STEP_FILE=" + step,
             "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
  const auto client = register_client(1);
  // A day ahead: a daemon that measured time on the wall clock would free
  // the client at its next pass.
  dir_.write("step", "");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const gen::Bytes f = some_frame(3);
  send_samples(signal({f}));
  const auto got = drain(*client);
  EXPECT_NE(std::find(got.begin(), got.end(), f), got.end());
}

TEST_F(FieldTest, AnInputPortThatCannotBeOpenedIsNamedAsTried) {
  dir_.write("uid.txt", std::string(kIdentity) + "\n");
  UdpPeer taken;
  const int wrapped = taken.port() + 65536;  // only the low 16 bits are used
  Process p(MORVIX_BINARY,
            {"-r", std::to_string(wrapped), "-t", std::to_string(free_tcp_port()), "-u", "off"},
            dir_.path());
  EXPECT_EQ(p.wait(10000), 1);
  EXPECT_EQ(p.err(), "error: can't open bitstream input port " + std::to_string(taken.port()) +
                         "\nUDP port " + std::to_string(taken.port()) +
                         " (-r): Address already in use\n");
}

}  // namespace
}  // namespace morvix::test
