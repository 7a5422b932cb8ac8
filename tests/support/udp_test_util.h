// SPDX-License-Identifier: Apache-2.0
// Loopback socket helpers for tests: everything binds to 127.0.0.1, on ports
// the system picks unless a test asks for one.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvix::test {

sockaddr_in loopback(int port);

// A socket of the given type bound to 127.0.0.1:port, or -1 when the port is taken.
int bound_socket(int type, int port = 0);

// The local port of fd, host byte order.
uint16_t local_port(int fd);

// A port that was free a moment ago (bound to port 0, read, released).
int free_udp_port();
int free_tcp_port();

void send_datagram(int fd, int to_port, std::string_view data);
bool readable(int fd, int timeout_ms);

// The datagrams waiting on fd, in arrival order.
std::vector<std::string> pending(int fd);

// Sends data to 127.0.0.1:to_port as if from src_addr:src_port (host byte
// order), a source no ordinary socket can send from: 0.0.0.0 (then the
// datagram goes to the broadcast address, as a booting LAN host's would),
// broadcast, multicast, or port 0. Needs CAP_NET_RAW; false without it.
bool send_forged(uint32_t src_addr, uint16_t src_port, int to_port, std::string_view data);

// From here on the process can open no descriptor (so no socket); the limit
// is lifted again at exit, where the sanitizers' runtime may need one.
void starve_descriptors();

// A UDP socket bound to 127.0.0.1; closed on destruction.
class UdpPeer {
 public:
  UdpPeer();
  explicit UdpPeer(int port);  // a chosen port; port() is -1 if it was taken
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }
  void send_to(int port, const void* data, size_t size) const;
  void send_to(int port, const std::string& text) const { send_to(port, text.data(), text.size()); }
  // Receives one datagram within timeout_ms; false if none came.
  bool receive(std::vector<unsigned char>& out, int timeout_ms, sockaddr_in* from = nullptr) const;

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace morvix::test
