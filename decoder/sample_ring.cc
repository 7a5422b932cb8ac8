// SPDX-License-Identifier: Apache-2.0
#include "decoder/sample_ring.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "runtime/ipv4.h"
#include "runtime/socket_buffer.h"

namespace morvix {

namespace {
constexpr int kInputSocketBuffer = 8 << 20;
constexpr int kEmptyDatagramsPerTopUp = 64;

// The kernel's count is 32 bits and, from a datagram queued before the
// latest drops, may lag one read on the socket: only steps forward count.
// It starts at 0 with the socket, so the total kept is the count's value
// modulo 2^32 all along.
void count_input_drops(Decoder& d, uint32_t kernel_count) {
  const uint32_t step = kernel_count - static_cast<uint32_t>(d.stats.input_dropped);
  if (step < UINT32_MAX / 2) d.stats.input_dropped += step;
}

}  // namespace

int server_open_dstream(SampleRing& r, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  // Room for bursts while the search works through a full ring: at 200
  // million samples a second the default buffer lasts a few milliseconds.
  ask_socket_buffer(fd, SocketBuffer::kReceive, kInputSocketBuffer);
  // Each datagram then carries the count of those the kernel dropped.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  const sockaddr_in local = ipv4_address(htonl(INADDR_ANY), htons(static_cast<uint16_t>(port)));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
    const int why = errno;  // for the caller's message
    close(fd);
    errno = why;
    return 0;
  }
  r.dfd = fd;
  return 1;
}

int ring_write(Decoder& d, const unsigned char* bytes, int count) {
  int taken = 0;
  while (taken < count && d.ring.brx_count < d.ring.ring_bytes) {
    // Contiguous run up to the ring's end, the free room or the input's end.
    const int run = std::min(
        {count - taken, d.ring.ring_bytes - d.ring.brx_count, d.ring.ring_bytes - d.ring.bwrp});
    std::memcpy(d.ring.rxbits.get() + d.ring.bwrp, bytes + taken, static_cast<size_t>(run));
    taken += run;
    d.ring.bytes_in += run;
    d.stats.input_samples += 8L * run;
    d.ring.brx_count += run;
    d.ring.bwrp += run;
    if (d.ring.bwrp == d.ring.ring_bytes) d.ring.bwrp = 0;
  }
  return taken;
}

void read_input_drops(Decoder& d) {
  if (d.ring.dfd < 0) return;
  // The same count as SO_RXQ_OVFL's, read from the socket itself.
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  if (getsockopt(d.ring.dfd, SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof info[0]) {
    count_input_drops(d, info[SK_MEMINFO_DROPS]);
  }
}

bool input_waiting(const SampleRing& r) {
  if (r.irdptr < r.irdlen) return true;
  if (r.dfd < 0) return false;
  unsigned char byte;
  return recv(r.dfd, &byte, 1, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC) >= 0;
}

void get_more_samples(Decoder& d) {
  int empty = 0;
  while (d.ring.brx_count < d.ring.ring_bytes) {
    if (d.ring.irdptr == d.ring.irdlen) {
      if (d.ring.dfd < 0) return;
      // MSG_TRUNC gives a longer datagram's real length; the control data
      // carries the kernel's count of datagrams it dropped.
      iovec into{d.ring.ibuf, sizeof d.ring.ibuf};
      alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(uint32_t))];
      msghdr message{};
      message.msg_iov = &into;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t got = recvmsg(d.ring.dfd, &message, MSG_DONTWAIT | MSG_TRUNC);
      if (got < 0) return;
      // An empty datagram is taken and passed over; the input after it is
      // read now, not after a wait that it would end at once. A flood of
      // them gets a bounded share, like every socket.
      if (got == 0) {
        if (++empty == kEmptyDatagramsPerTopUp) return;
        continue;
      }
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
          uint32_t dropped = 0;
          std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
          count_input_drops(d, dropped);
        }
      }
      ++d.stats.input_datagrams;
      if (got > kInputBytes) ++d.stats.input_truncated;
      d.ring.irdlen = static_cast<int>(got > kInputBytes ? kInputBytes : got);
      d.ring.irdptr = 0;
    }
    d.ring.irdptr += ring_write(d, d.ring.ibuf + d.ring.irdptr, d.ring.irdlen - d.ring.irdptr);
  }
}

}  // namespace morvix
