// SPDX-License-Identifier: Apache-2.0
// Idle samples to the daemon under test from a thread of the test's, for
// the tests that run morvix-client against it.
#pragma once

#include <chrono>
#include <stop_token>
#include <thread>

#include "tests/support/udp_test_util.h"
#include "tools/gen/signal_gen.h"

namespace morvix::test {

// Idle input keeps the daemon's passes short; without input every pass
// waits a second for it, and so does every registration. Frames must not
// be interleaved with it: stop it before sending them.
class IdleInput {
 public:
  // Sends 1000 idle samples to 127.0.0.1:rx_port every millisecond.
  void start(int rx_port) {
    thread_ = std::jthread([rx_port](std::stop_token stop) {
      UdpPeer source;
      const gen::Bytes idle(1000, 0xff);
      while (!stop.stop_requested()) {
        source.send_to(rx_port, idle.data(), idle.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  // Returns once the last datagram has been sent.
  void stop() {
    thread_.request_stop();
    thread_.join();
  }
  bool running() const { return thread_.joinable(); }

 private:
  std::jthread thread_;
};

}  // namespace morvix::test
