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

#include "decoder/block_layout.h"
#include "decoder/frame_format.h"
#include "decoder/sync_scan.h"
#include "decoder/sync_word.h"
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
void count_input_drops(InputCounters& c, uint32_t kernel_count) {
  const uint32_t step = kernel_count - static_cast<uint32_t>(c.dropped);
  if (step < UINT32_MAX / 2) c.dropped += step;
}

}  // namespace

int ring_bytes_for(int sps) {
  // The longest frame from the first sample of its sync word, and the few
  // line bits more that the improved reading may look at (behind the sync word,
  // past the last bit, a clock that runs slow), one byte for the bit the
  // sync word starts at, one spare.
  constexpr int kSpareBits = 12;
  const long samples =
      static_cast<long>(kSyncBits + kBlockBits * kMaxFrameBlocks + kSpareBits) * sps;
  const long bytes = (samples + 7) / 8 + 2;
  return static_cast<int>(std::max<long>(bytes, kRingBytes));
}

void ring_setup(SampleRing& r, int sps) {
  r.sps = sps;
  for (int p = 0; p < 8; ++p) {
    // A line bit later: p - sps, borrowing whole bytes until it is a bit again.
    int x = p - sps;
    int c = 0;
    while (x < 0) {
      x += 8;
      ++c;
    }
    r.bbytes[p] = c;
    r.bbnext[p] = x;
  }
  r.sync_mirror_bytes = sync_scan_slack_bytes(sps);
  r.ring_bytes = ring_bytes_for(sps);
  r.rxbits =
      std::make_unique<unsigned char[]>(static_cast<size_t>(r.ring_bytes + r.sync_mirror_bytes));
  r.irdlen = 0;
  r.irdptr = 0;
  r.bwrp = 0;
  r.brdp = 0;
  r.brdb = 7;
  r.brx_count = 0;
  r.bbp = 0;
  r.bbb = 7;
  r.bytes_in = 0;
  r.need_input = false;
  r.end_bytes = -1;
  r.input = InputCounters{};
}

int count_sync_wrong(const SampleRing& r, long offset, int limit) {
  int byte = static_cast<int>((r.brdp + offset / 8) % r.ring_bytes);
  int bit = static_cast<int>(7 - offset % 8);
  int wrong = 0;
  for (int j = 0; j < kSyncBits && wrong <= limit; ++j) {
    wrong += (1 - read_sample(r, byte, bit)) != kSyncLineBits[static_cast<size_t>(j)];
    step_line_bit(r, byte, bit);
  }
  return wrong;
}

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

int ring_write(SampleRing& r, const unsigned char* bytes, int count) {
  int taken = 0;
  while (taken < count && r.brx_count < r.ring_bytes) {
    // Contiguous run up to the ring's end, the free room or the input's end.
    const int run = std::min({count - taken, r.ring_bytes - r.brx_count, r.ring_bytes - r.bwrp});
    std::memcpy(r.rxbits.get() + r.bwrp, bytes + taken, static_cast<size_t>(run));
    taken += run;
    r.bytes_in += run;
    r.brx_count += run;
    r.bwrp += run;
    if (r.bwrp == r.ring_bytes) r.bwrp = 0;
  }
  return taken;
}

void read_input_drops(SampleRing& r) {
  if (r.dfd < 0) return;
  // The same count as SO_RXQ_OVFL's, read from the socket itself.
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  if (getsockopt(r.dfd, SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof info[0]) {
    count_input_drops(r.input, info[SK_MEMINFO_DROPS]);
  }
}

bool input_waiting(const SampleRing& r) {
  if (r.irdptr < r.irdlen) return true;
  if (r.dfd < 0) return false;
  unsigned char byte;
  return recv(r.dfd, &byte, 1, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC) >= 0;
}

void get_more_samples(SampleRing& r) {
  int empty = 0;
  while (r.brx_count < r.ring_bytes) {
    if (r.irdptr == r.irdlen) {
      if (r.dfd < 0) return;
      // MSG_TRUNC gives a longer datagram's real length; the control data
      // carries the kernel's count of datagrams it dropped.
      iovec into{r.ibuf, sizeof r.ibuf};
      alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(uint32_t))];
      msghdr message{};
      message.msg_iov = &into;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t got = recvmsg(r.dfd, &message, MSG_DONTWAIT | MSG_TRUNC);
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
          count_input_drops(r.input, dropped);
        }
      }
      ++r.input.datagrams;
      if (got > kInputBytes) ++r.input.truncated;
      r.irdlen = static_cast<int>(got > kInputBytes ? kInputBytes : got);
      r.irdptr = 0;
    }
    r.irdptr += ring_write(r, r.ibuf + r.irdptr, r.irdlen - r.irdptr);
  }
}

}  // namespace morvix
