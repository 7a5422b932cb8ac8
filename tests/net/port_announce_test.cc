// SPDX-License-Identifier: Apache-2.0
#include "net/port_announce.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

// Connects to 127.0.0.1:port; the handshake completes in the listener's queue.
int connect_to(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in to = test::loopback(port);
  connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return fd;
}

// Everything the peer sends until it closes or resets the connection.
std::string read_to_end(int fd) {
  std::string got;
  char buf[256];
  while (test::readable(fd, 1000)) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

void reset_on_close(int fd) {
  const linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

class PortAnnounceTest : public ::testing::Test {
 protected:
  PortAnnounceTest() {
    dist_.announce.ct_port = test::free_tcp_port();
    dist_.table.cd_port = 40123;
    tcp_server_setup(dist_);
  }
  ~PortAnnounceTest() override { close(dist_.announce.tfd); }

  int client() { return connect_to(static_cast<uint16_t>(dist_.announce.ct_port)); }
  // One call of the service once a connection is waiting; returns what it printed.
  std::string serve() {
    test::readable(dist_.announce.tfd, 1000);
    CaptureStdout();
    process_tcp_connections(dist_);
    return GetCapturedStdout();
  }

  Distribution dist_;
};

TEST_F(PortAnnounceTest, ListensNonBlockingOnAllAddressesWithAddressReuse) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ASSERT_EQ(getsockname(dist_.announce.tfd, reinterpret_cast<sockaddr*>(&local), &len), 0);
  EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(ntohs(local.sin_port), dist_.announce.ct_port);
  int reuse = 0;
  socklen_t reuse_len = sizeof reuse;
  getsockopt(dist_.announce.tfd, SOL_SOCKET, SO_REUSEADDR, &reuse, &reuse_len);
  EXPECT_NE(reuse, 0);
  EXPECT_NE(fcntl(dist_.announce.tfd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(PortAnnounceTest, ReplyIsThePortInDecimalThenCrLfThenEndOfStream) {
  for (int port : {40123, 7}) {
    dist_.table.cd_port = port;
    const int c = client();
    EXPECT_EQ(serve(), "got tcp request\n");
    EXPECT_EQ(read_to_end(c), std::to_string(port) + "\r\n");
    char byte;
    EXPECT_EQ(recv(c, &byte, 1, MSG_DONTWAIT), 0);  // orderly end of stream
    close(c);
  }
}

TEST_F(PortAnnounceTest, NoWaitingConnectionReturnsAtOnceWithoutALine) {
  CaptureStdout();
  process_tcp_connections(dist_);
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(PortAnnounceTest, ServesEveryWaitingConnectionInOneCall) {
  // As many as the listener's queue holds without the test's connects blocking.
  std::vector<int> clients;
  for (int i = 0; i < 11; ++i) clients.push_back(client());
  std::string lines;
  for (int i = 0; i < 11; ++i) lines += "got tcp request\n";
  EXPECT_EQ(serve(), lines);
  for (int c : clients) {
    EXPECT_EQ(read_to_end(c), "40123\r\n");
    close(c);
  }
}

TEST_F(PortAnnounceTest, WhatTheClientSendsChangesNothing) {
  const int c = client();
  const char request[] = "GET / HTTP/1.0\r\n\r\n";
  send(c, request, sizeof request - 1, 0);
  EXPECT_EQ(serve(), "got tcp request\n");
  // The unread request makes the close a reset, which may replace the end of stream.
  EXPECT_EQ(read_to_end(c), "40123\r\n");
  close(c);
}

TEST_F(PortAnnounceTest, ClientsThatResetBeforeBeingServedDoNotRaiseSigpipe) {
  EXPECT_EXIT(
      {
        std::signal(SIGPIPE, SIG_DFL);
        const int at_once = client();
        reset_on_close(at_once);
        close(at_once);
        // A reset after the client's own end of stream is the case where a
        // single send would raise SIGPIPE.
        const int half_closed = client();
        shutdown(half_closed, SHUT_WR);
        reset_on_close(half_closed);
        close(half_closed);
        test::readable(dist_.announce.tfd, 1000);
        process_tcp_connections(dist_);
        process_tcp_connections(dist_);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PortAnnounceSetupTest, PortUsesOnlyItsLow16Bits) {
  const int free_port = test::free_tcp_port();
  Distribution dist;
  dist.announce.ct_port = 65536 + free_port;
  tcp_server_setup(dist);
  EXPECT_EQ(test::local_port(dist.announce.tfd), free_port);
  close(dist.announce.tfd);

  dist.announce.ct_port = 65536;  // low bits 0: the platform picks
  tcp_server_setup(dist);
  EXPECT_NE(test::local_port(dist.announce.tfd), 0);
  close(dist.announce.tfd);
}

// The message as it always read, then the port and the reason on a line of
// their own.
TEST(PortAnnounceSetupDeathTest, PortHeldByAnotherListenerEndsTheProcessNamingPortAndReason) {
  const int holder = test::bound_socket(SOCK_STREAM);
  ASSERT_EQ(listen(holder, 1), 0);
  Distribution dist;
  dist.announce.ct_port = test::local_port(holder);
  EXPECT_EXIT(
      tcp_server_setup(dist), ::testing::ExitedWithCode(1),
      ::testing::Eq("error: Can't bind listen socket to port\nTCP port " +
                    std::to_string(dist.announce.ct_port) + " (-t): Address already in use\n"));
  close(holder);
}

TEST(PortAnnounceSetupDeathTest, NoDescriptorLeftEndsTheProcess) {
  Distribution dist;
  dist.announce.ct_port = test::free_tcp_port();
  const auto without_descriptors = [&] {
    test::starve_descriptors();
    tcp_server_setup(dist);
  };
  EXPECT_EXIT(
      without_descriptors(), ::testing::ExitedWithCode(1),
      ::testing::Eq("error: Can't get a listen socket\nTCP port " +
                    std::to_string(dist.announce.ct_port) + " (-t): Too many open files\n"));
}

}  // namespace
}  // namespace morvix
