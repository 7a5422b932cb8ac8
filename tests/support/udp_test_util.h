// Loopback UDP helpers for tests: sockets on 127.0.0.1 with ports the
// system picks.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

namespace morvix::testing {

// A UDP socket bound to 127.0.0.1 on a free port; closed on destruction.
class UdpPeer {
 public:
  UdpPeer();
  explicit UdpPeer(int port);  // a chosen port, or -1 if taken
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

// A port that was free a moment ago (bound to port 0, read, released).
int free_udp_port();
int free_tcp_port();

}  // namespace morvix::testing
