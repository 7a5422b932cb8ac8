// SPDX-License-Identifier: Apache-2.0
// A running morvix with a test playing its upstream server (-u) on a
// 127.0.0.1 port of the test's, plus client helpers.
// The test target defines MORVIX_BINARY, the daemon to run.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/udp_test_util.h"
#include "tools/gen/signal_gen.h"

namespace morvix::test {

constexpr char kIdentity[] = "0123456789abcdef0123456789abcdef01234567";

// Connects to the port announcement and reads to the end of the stream;
// empty when nothing listens.
inline std::string ask_port(int tcp_port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = loopback(tcp_port);
  std::string reply;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
    char buf[64];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { upstream_ = std::make_unique<UdpPeer>(); }

  // Starts the daemon with a valid identity and waits until it answers;
  // upstream_ is its upstream server unless args give -u. A launcher (a
  // program and its first arguments) may run it, e.g. env.
  void start(std::vector<std::string> args = {"-d"}, std::vector<std::string> launcher = {}) {
    dir_.write("uid.txt", std::string(kIdentity) + "\n");
    rx_port_ = free_udp_port();
    tcp_port_ = free_tcp_port();
    args.insert(args.end(), {"-r", std::to_string(rx_port_), "-t", std::to_string(tcp_port_)});
    if (std::find(args.begin(), args.end(), "-u") == args.end()) {
      args.insert(args.end(), {"-u", upstream_address()});
    }
    if (!launcher.empty()) {
      args.insert(args.begin(), MORVIX_BINARY);
      args.insert(args.begin(), launcher.begin() + 1, launcher.end());
    }
    daemon_ = std::make_unique<Process>(launcher.empty() ? MORVIX_BINARY : launcher[0], args,
                                        dir_.path());
    for (int i = 0; i < 200 && cd_port_ == 0; ++i) {
      const std::string reply = ask_port(tcp_port_);
      if (!reply.empty())
        cd_port_ = std::stoi(reply);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_NE(cd_port_, 0) << daemon_->err();
  }

  // -u's value for upstream_.
  std::string upstream_address() const { return "127.0.0.1:" + std::to_string(upstream_->port()); }

  void TearDown() override {
    if (daemon_) daemon_->terminate();
  }

  // A client that the daemon has taken into the given slot (its line seen).
  std::unique_ptr<UdpPeer> register_client(int slot) {
    auto client = std::make_unique<UdpPeer>();
    client->send_to(cd_port_, "hello");
    EXPECT_TRUE(daemon_->wait_for_output(
        "add new client slot " + std::to_string(slot) + ", 100007f ", 3000));
    return client;
  }

  // Sends samples to the bitstream input in 1000-byte datagrams.
  void send_samples(const gen::Bytes& samples) {
    UdpPeer source;
    for (size_t at = 0; at < samples.size(); at += 1000) {
      source.send_to(rx_port_, samples.data() + at, std::min<size_t>(1000, samples.size() - at));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  // Line signal of the frames, separated and followed by idle.
  gen::Bytes signal(const std::vector<gen::Bytes>& frames) {
    gen::SampleWriter w(10);
    w.add_idle(37);
    for (const gen::Bytes& f : frames) {
      w.add_line_bits(gen::frame_line_bits(f, {}, rng_));
      w.add_idle(10 * 50);
    }
    // A flowing input after the frames, so that their blocks need not wait
    // for the input's one-second time-outs.
    w.add_idle(16 * 8 * 4781);
    return w.take();
  }

  // Every datagram that reaches peer within timeout_ms of the last.
  static std::vector<gen::Bytes> drain(const UdpPeer& peer, int timeout_ms = 1500) {
    std::vector<gen::Bytes> all;
    std::vector<unsigned char> one;
    while (peer.receive(one, timeout_ms)) all.emplace_back(one.begin(), one.end());
    return all;
  }

  ScratchDir dir_;
  std::unique_ptr<UdpPeer> upstream_;
  std::unique_ptr<Process> daemon_;
  int rx_port_ = 0;
  int tcp_port_ = 0;
  int cd_port_ = 0;
  std::mt19937 rng_{99};
};

}  // namespace morvix::test
