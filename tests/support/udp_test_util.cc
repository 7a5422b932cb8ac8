#include "tests/support/udp_test_util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morvix::testing {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

int bound_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

int free_port(int type) {
  const int fd = socket(AF_INET, type, 0);
  const sockaddr_in a = loopback(0);
  bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  const int port = bound_port(fd);
  close(fd);
  return port;
}

}  // namespace

UdpPeer::UdpPeer() : UdpPeer(0) {}

UdpPeer::UdpPeer(int port) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  const int big = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  const sockaddr_in a = loopback(port);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0) {
    port_ = -1;
    return;
  }
  port_ = bound_port(fd_);
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) close(fd_);
}

void UdpPeer::send_to(int port, const void* data, size_t size) const {
  const sockaddr_in a = loopback(port);
  sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

bool UdpPeer::receive(std::vector<unsigned char>& out, int timeout_ms, sockaddr_in* from) const {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  out.resize(70000);
  sockaddr_in src{};
  socklen_t len = sizeof src;
  const ssize_t got = recvfrom(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
  if (got < 0) return false;
  out.resize(static_cast<size_t>(got));
  if (from != nullptr) *from = src;
  return true;
}

int free_udp_port() { return free_port(SOCK_DGRAM); }
int free_tcp_port() { return free_port(SOCK_STREAM); }

}  // namespace morvix::testing
