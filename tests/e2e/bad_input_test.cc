// SPDX-License-Identifier: Apache-2.0
// Whatever arrives on its sockets, the daemon keeps running and decoding.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

class BadInputTest : public DaemonTest {
 protected:
  // A clean frame still comes through to a registered client.
  void expect_still_decoding(unsigned seed) {
    UdpPeer client;
    client.send_to(cd_port_, "still there?");
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    gen::Bytes payload(64);
    std::mt19937 rng(seed);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    const gen::Bytes f = gen::build_frame(0x33, payload);
    send_samples(signal({f}));
    const auto got = drain(client);
    EXPECT_NE(std::find(got.begin(), got.end(), f), got.end());
    EXPECT_TRUE(daemon_->running());
  }
};

TEST_F(BadInputTest, SurvivesJunkDatagramsOnBothUdpSockets) {
  start({});
  UdpPeer junk;
  std::mt19937 rng(1);
  std::vector<unsigned char> big(65507);
  for (auto& b : big) b = static_cast<unsigned char>(rng());
  for (int port : {rx_port_, cd_port_}) {
    for (int i = 0; i < 20; ++i) {
      junk.send_to(port, "", 0);
      junk.send_to(port, big.data(), big.size());
      junk.send_to(port, big.data() + i, 1 + rng() % 3000);
    }
  }
  // Long runs of all-zero and all-one samples.
  send_samples(gen::Bytes(200000, 0x00));
  send_samples(gen::Bytes(200000, 0xFF));
  expect_still_decoding(1);
}

TEST_F(BadInputTest, SurvivesABurstOfConnectionsSomeResetAtOnce) {
  start({});
  // All at once: connects that do not wait for the backlog to take them.
  std::vector<int> open;
  for (int i = 0; i < 100; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(tcp_port_));
    connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    if (i % 3 == 0) {
      const linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      close(fd);
    } else {
      open.push_back(fd);
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (int fd : open) close(fd);
  EXPECT_EQ(ask_port(tcp_port_), std::to_string(cd_port_) + "\r\n");
  expect_still_decoding(2);
}

TEST_F(BadInputTest, AFullTableAndAStrayUpstreamPortChangeNothingForItsClients) {
  start({"-c", "32"});
  {
    // A thousand peers: the first 31 fill the table, the rest are dropped.
    std::vector<std::unique_ptr<UdpPeer>> peers;
    for (int i = 0; i < 1000; ++i) {
      peers.push_back(std::make_unique<UdpPeer>());
      peers.back()->send_to(cd_port_, "hi");
      if (peers.size() == 100) peers.erase(peers.begin() + 31, peers.end());
    }
  }
  UdpPeer stray;
  stray.send_to(cd_port_, "STOP");  // not the upstream's port: just another client
  send_samples(gen::Bytes(100000, 0xFF));
  // Every slot is taken now; nothing new registers until they expire.
  const gen::Bytes f = gen::build_frame(0x44, gen::Bytes(30, 0x55));
  drain(*upstream_, 100);
  send_samples(signal({f}));
  const auto upstream_got = drain(*upstream_);
  EXPECT_NE(std::find(upstream_got.begin(), upstream_got.end(), f), upstream_got.end());
  EXPECT_TRUE(daemon_->running());
}

// A datagram that ends a few bytes after a sync word's first sample leaves
// the improved reading short of the samples for the word's eye; the rest of
// the stream is already queued when it asks for more, and must be read.
TEST_F(BadInputTest, ADatagramEndingJustAfterASyncWordStallsNoReading) {
  for (const char* reading : {"-a", "-d"}) {
    start({"-d", reading});
    gen::SampleWriter w(10);
    w.add_idle(37);
    std::vector<size_t> cuts;  // where a datagram ends, in bytes
    std::vector<gen::Bytes> frames;
    for (int ahead : {52, 53, 54, 53}) {
      // The sync word's first sample sits in the byte sample_count() / 8.
      cuts.push_back(static_cast<size_t>(w.sample_count() / 8 + ahead + 1));
      frames.push_back(gen::build_frame(static_cast<uint8_t>(frames.size()), gen::Bytes(40, 0x5A)));
      w.add_line_bits(gen::frame_line_bits(frames.back(), {}, rng_));
      w.add_idle(10 * 50);
    }
    w.add_idle(16 * 8 * 4781);
    const gen::Bytes samples = w.take();
    cuts.push_back(samples.size());
    UdpPeer source;
    size_t at = 0;
    for (size_t cut : cuts) {
      // Up to the cut in 1000-byte datagrams; what follows it is queued at once.
      for (; at < cut; at += std::min<size_t>(1000, cut - at)) {
        source.send_to(rx_port_, samples.data() + at, std::min<size_t>(1000, cut - at));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(daemon_->wait_for_output("rx: #3 ", 5000)) << reading << "\n" << daemon_->out();
    daemon_->terminate();
    daemon_.reset();
    cd_port_ = 0;
  }
}

TEST_F(BadInputTest, RefusesAnIdentityThatIsADirectoryOrOneHugeLine) {
  ScratchDir as_dir;
  std::filesystem::create_directory(as_dir.path() + "/uid.txt");
  Process p1(MORVIX_BINARY, {"-r", std::to_string(free_udp_port())}, as_dir.path());
  EXPECT_EQ(p1.wait(10000), 1);
  EXPECT_EQ(p1.err(), "uid format error\n");

  ScratchDir huge;
  huge.write("uid.txt", std::string(20 << 20, 'a'));
  Process p2(MORVIX_BINARY, {"-r", std::to_string(free_udp_port())}, huge.path());
  EXPECT_EQ(p2.wait(10000), 1);
  EXPECT_EQ(p2.err(), "uid format error\n");

  ScratchDir valid_then_huge;
  valid_then_huge.write("uid.txt", std::string(kIdentity) + "\n" + std::string(20 << 20, 'x'));
  Process p3(MORVIX_BINARY,
             {"-r", std::to_string(free_udp_port()), "-t", std::to_string(free_tcp_port()), "-u",
              upstream_address()},
             valid_then_huge.path());
  std::vector<unsigned char> announcement;
  EXPECT_TRUE(upstream_->receive(announcement, 5000));
  EXPECT_TRUE(p3.running());
}

}  // namespace
}  // namespace morvix::test
