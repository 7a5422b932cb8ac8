// SPDX-License-Identifier: Apache-2.0
// The real daemon with its status listener (-m) on a port of the test's,
// and plain HTTP/1.0 requests to it: what the status tests share.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/daemon.h"

namespace morvix::test {

struct Reply {
  int status = 0;
  std::string body;
};

// One HTTP/1.0 request (the request line and headers as given); the reply
// read to the end of the stream, each read waiting at most wait_ms.
inline Reply http(int port, const std::string& request, int wait_ms = 5000) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to = loopback(port);
  Reply reply;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string all;
    char buf[4096];
    while (readable(fd, wait_ms)) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    std::sscanf(all.c_str(), "HTTP/1.%*d %d", &reply.status);
    const size_t body = all.find("\r\n\r\n");
    if (body != std::string::npos) reply.body = all.substr(body + 4);
  }
  close(fd);
  return reply;
}

inline Reply get(int port, const std::string& path, int wait_ms = 5000) {
  return http(port, "GET " + path + " HTTP/1.0\r\nHost: station\r\n\r\n", wait_ms);
}

// A sample's value in Prometheus text: "name{labels} value" or "name value".
inline long long metric(const std::string& text, const std::string& series) {
  const size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + series.size() + 2));
}

class StatusTest : public DaemonTest {
 protected:
  void start_with_status(std::vector<std::string> args = {},
                         std::vector<std::string> launcher = {}) {
    http_port_ = free_tcp_port();
    args.insert(args.end(), {"-m", "127.0.0.1:" + std::to_string(http_port_)});
    start(args, launcher);
  }
  int http_port_ = 0;
};

}  // namespace morvix::test
