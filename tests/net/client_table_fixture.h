// SPDX-License-Identifier: Apache-2.0
// The client table on a real loopback socket, its clock driven by the test:
// the fixture the table's tests share.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "net/client_table.h"
#include "runtime/clock.h"
#include "tests/support/udp_test_util.h"

namespace morvix::test {

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
    ::testing::internal::CaptureStdout();
    process_udp_rx_clients(dist_);
    return ::testing::internal::GetCapturedStdout();
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

}  // namespace morvix::test
