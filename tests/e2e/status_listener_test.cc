// SPDX-License-Identifier: Apache-2.0
// The status listener of the real daemon (-m) under HTTP clients that
// misbehave: none of them holds up decoding or crowds out a scrape.
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/status_client.h"
#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

using namespace std::chrono_literals;

// A non-blocking connection to 127.0.0.1:port from another loopback address
// (127.0.0.x), so that a test can play hosts other than the scraper's.
int connect_from(int host, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in from = loopback(0);
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(host));
  bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  const sockaddr_in to = loopback(port);
  connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  pollfd connected = {fd, POLLOUT, 0};
  poll(&connected, 1, 1000);
  return fd;
}

// What the listener sent on fd so far, and whether it has closed it.
struct Heard {
  std::string text;
  bool closed = false;
};
void listen_to(int fd, Heard& heard) {
  char buf[512];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) heard.text.append(buf, size_t(n));
  if (n == 0 || (n < 0 && errno != EAGAIN)) heard.closed = true;
}

TEST_F(StatusTest, IdleGarbageAndHugeRequestsNeverHoldUpDecoding) {
  start_with_status();
  const auto client = register_client(1);
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in to = loopback(http_port_);
    connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    idle.push_back(fd);
  }
  std::vector<gen::Bytes> frames;
  for (uint8_t i = 0; i < 10; ++i) frames.push_back(gen::build_frame(i, gen::Bytes(80, i)));
  send_samples(signal(frames));
  EXPECT_EQ(drain(*client), frames);
  for (int fd : idle) close(fd);

  EXPECT_EQ(http(http_port_, std::string("\x16\x03\x01 garbage\r\n\r\n")).status / 100, 4);
  EXPECT_EQ(get(http_port_, "/" + std::string(5000, 'a')).status, 404);
  EXPECT_EQ(get(http_port_, "/nowhere").status, 404);
  EXPECT_EQ(http(http_port_, "POST /metrics HTTP/1.0\r\nContent-Length: 0\r\n\r\n").status, 405);
  const Reply page = get(http_port_, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<title>morvix station</title>"), std::string::npos);
  EXPECT_EQ(http(http_port_, "HEAD /metrics HTTP/1.0\r\n\r\n").status, 200);
  EXPECT_EQ(metric(get(http_port_, "/metrics").body, "morvix_frames_relayed_total"), 10);
}

TEST_F(StatusTest, SlowAndOversizeClientsLeaveRoomForScrapesAndAreDropped) {
  start_with_status();
  // 20 clients at 127.0.0.2 trickle header lines that never end the request
  // (each line well within the idle time-out); 16 at 127.0.0.3 send a
  // 40 KB request line and nothing more.
  std::vector<int> slow, big;
  for (int i = 0; i < 20; ++i) {
    slow.push_back(connect_from(2, http_port_));
    send(slow.back(), "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
  }
  const std::string huge = "GET /" + std::string(40000, 'a');
  for (int i = 0; i < 16; ++i) {
    big.push_back(connect_from(3, http_port_));
    EXPECT_EQ(send(big.back(), huge.data(), huge.size(), MSG_NOSIGNAL), ssize_t(huge.size()));
  }
  std::vector<Heard> slow_heard(slow.size()), big_heard(big.size());
  int answered = 0;
  const auto began = std::chrono::steady_clock::now();
  for (int round = 0; round < 10; ++round) {
    answered += get(http_port_, "/metrics", 1000).status == 200;
    for (size_t i = 0; i < slow.size(); ++i) {
      listen_to(slow[i], slow_heard[i]);
      if (!slow_heard[i].closed) send(slow[i], "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
    }
    for (size_t i = 0; i < big.size(); ++i) listen_to(big[i], big_heard[i]);
    if (round == 1) {
      for (const Heard& h : big_heard) {
        EXPECT_TRUE(h.closed) << "an oversize request still open after "
                              << (std::chrono::steady_clock::now() - began) / 1ms << " ms";
        EXPECT_TRUE(h.text.starts_with("HTTP/1.1 414") || h.text.starts_with("HTTP/1.1 431"))
            << h.text;
      }
    }
    std::this_thread::sleep_for(800ms);
  }
  EXPECT_EQ(answered, 10);
  for (const Heard& h : slow_heard) EXPECT_TRUE(h.closed) << "a trickling request still open";
  for (int fd : slow) close(fd);
  for (int fd : big) close(fd);
  EXPECT_EQ(get(http_port_, "/metrics").status, 200);
  EXPECT_TRUE(daemon_->running());
}

TEST_F(StatusTest, SecondDaemonOnATakenStatusPortEndsWithTheDocumentedMessage) {
  start_with_status();
  const std::string port = std::to_string(http_port_);
  for (const std::string& taken : {port, "0.0.0.0:" + port}) {
    Process second(
        MORVIX_BINARY,
        {"-r", std::to_string(free_udp_port()), "-t", std::to_string(free_tcp_port()), "-m", taken},
        dir_.path());
    EXPECT_EQ(second.wait(5000), 1) << taken;
    const std::string address = taken == port ? "127.0.0.1" : "0.0.0.0";
    EXPECT_NE(second.err().find("error: can't open status port " + port + "\nTCP " + address + ":" +
                                port + " (-m): Address already in use\n"),
              std::string::npos)
        << second.err();
  }
  EXPECT_EQ(get(http_port_, "/metrics").status, 200);
}

}  // namespace
}  // namespace morvix::test
