// SPDX-License-Identifier: Apache-2.0
#include "tests/support/udp_test_util.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "runtime/ipv4.h"

namespace morvix::test {

sockaddr_in loopback(int port) {
  return ipv4_address(htonl(INADDR_LOOPBACK), htons(static_cast<uint16_t>(port)));
}

int bound_socket(int type, int port) {
  // Not inherited by programs a test starts: a fake upstream on its fixed
  // port must not outlive the test in them.
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in a = loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t local_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

namespace {
int free_port(int type) {
  const int fd = bound_socket(type);
  const int port = local_port(fd);
  close(fd);
  return port;
}
}  // namespace

int free_udp_port() { return free_port(SOCK_DGRAM); }
int free_tcp_port() { return free_port(SOCK_STREAM); }

void send_datagram(int fd, int to_port, std::string_view data) {
  const sockaddr_in to = loopback(to_port);
  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

std::vector<std::string> pending(int fd) {
  // Loopback delivery finishes within sendto; the short wait only guards
  // against a slow scheduler.
  std::vector<std::string> got;
  char buf[4096];
  while (readable(fd, 5)) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) break;
    got.emplace_back(buf, static_cast<size_t>(n));
  }
  return got;
}

bool send_forged(uint32_t src_addr, uint16_t src_port, int to_port, std::string_view data) {
  // The kernel fills in a source of 0.0.0.0 on a raw IP socket, so that one
  // goes out as a whole Ethernet frame on the loopback device.
  const bool zero_source = src_addr == INADDR_ANY;
  const uint32_t dst_addr = zero_source ? INADDR_BROADCAST : INADDR_LOOPBACK;
  unsigned char packet[14 + 20 + 8 + 512] = {};
  if (data.size() > 512) return false;
  unsigned char* ip = packet + 14;
  packet[12] = 0x08;  // EtherType IPv4; the addresses stay 0 on loopback
  const size_t total = 20 + 8 + data.size();
  ip[0] = 0x45;
  ip[2] = static_cast<unsigned char>(total >> 8);
  ip[3] = static_cast<unsigned char>(total);
  ip[8] = 64;
  ip[9] = IPPROTO_UDP;
  const uint32_t src = htonl(src_addr);
  const uint32_t dst = htonl(dst_addr);
  std::memcpy(ip + 12, &src, 4);
  std::memcpy(ip + 16, &dst, 4);
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += static_cast<uint32_t>(ip[i] << 8 | ip[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  ip[10] = static_cast<unsigned char>(~sum >> 8);
  ip[11] = static_cast<unsigned char>(~sum);
  unsigned char* udp = ip + 20;  // checksum 0: none, as IPv4 allows
  udp[0] = static_cast<unsigned char>(src_port >> 8);
  udp[1] = static_cast<unsigned char>(src_port);
  udp[2] = static_cast<unsigned char>(to_port >> 8);
  udp[3] = static_cast<unsigned char>(to_port);
  udp[4] = static_cast<unsigned char>((8 + data.size()) >> 8);
  udp[5] = static_cast<unsigned char>(8 + data.size());
  std::memcpy(udp + 8, data.data(), data.size());

  ssize_t sent = -1;
  if (zero_source) {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    to.sll_halen = 6;
    sent = sendto(fd, packet, 14 + total, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
  } else {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (fd < 0) return false;
    const sockaddr_in to = loopback(0);
    sent = sendto(fd, ip, total, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
  }
  return sent > 0;
}

void starve_descriptors() {
  static rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  std::atexit([] { setrlimit(RLIMIT_NOFILE, &saved); });
  rlimit none = saved;
  none.rlim_cur = 0;
  setrlimit(RLIMIT_NOFILE, &none);
}

UdpPeer::UdpPeer() : UdpPeer(0) {}

UdpPeer::UdpPeer(int port) {
  fd_ = bound_socket(SOCK_DGRAM, port);
  if (fd_ < 0) {
    port_ = -1;
    return;
  }
  const int big = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  port_ = local_port(fd_);
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) close(fd_);
}

void UdpPeer::send_to(int port, const void* data, size_t size) const {
  const sockaddr_in a = loopback(port);
  sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

bool UdpPeer::receive(std::vector<unsigned char>& out, int timeout_ms, sockaddr_in* from) const {
  if (!readable(fd_, timeout_ms)) return false;
  out.resize(70000);
  sockaddr_in src{};
  socklen_t len = sizeof src;
  const ssize_t got =
      recvfrom(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
  if (got < 0) return false;
  out.resize(static_cast<size_t>(got));
  if (from != nullptr) *from = src;
  return true;
}

}  // namespace morvix::test
