// Socket helpers shared by the net tests. Everything binds to
// 127.0.0.1; ports come from the platform unless a test asks for one.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace morvix::test_sockets {

inline sockaddr_in address(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// A socket of the given type bound to 127.0.0.1:port, or -1 when the port is taken.
inline int bound_socket(int type, uint16_t port = 0) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  const sockaddr_in sa = address(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Host byte order.
inline uint16_t local_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

inline uint16_t free_tcp_port() {
  const int fd = bound_socket(SOCK_STREAM);
  const uint16_t port = local_port(fd);
  close(fd);
  return port;
}

inline void send_datagram(int fd, uint16_t to_port, std::string_view data) {
  const sockaddr_in to = address(to_port);
  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

inline bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// The datagrams waiting on fd, in arrival order. Loopback delivery finishes
// within sendto, so the short wait only guards against a slow scheduler.
inline std::vector<std::string> pending(int fd) {
  std::vector<std::string> got;
  char buf[4096];
  while (readable(fd, 5)) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) break;
    got.emplace_back(buf, static_cast<size_t>(n));
  }
  return got;
}

// From here on no socket can be opened. The limit is lifted again at exit,
// where the sanitizers' runtime may need a descriptor of its own.
inline void starve_descriptors() {
  static rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  std::atexit([] { setrlimit(RLIMIT_NOFILE, &saved); });
  rlimit none = saved;
  none.rlim_cur = 0;
  setrlimit(RLIMIT_NOFILE, &none);
}

}  // namespace morvix::test_sockets
