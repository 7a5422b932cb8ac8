// SPDX-License-Identifier: Apache-2.0
// The daemon's main loop must not touch the heap once start-up is over: a
// station runs for months, and every allocation is a chance to fragment or
// fail. This test build counts the main thread's heap calls while the real
// main loop decodes a long stream and clients come and go.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "decoder/sample_ring.h"
#include "driver/main_loop.h"
#include "driver/status_http.h"
#include "fec/link_codec.h"
#include "net/port_announce.h"
#include "runtime/clock.h"
#include "tests/support/udp_test_util.h"
#include "tools/gen/signal_gen.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};

// The HTTP library may allocate while it serves a request; the loop may not.
void count() {
  if (t_counting && !morvix::g_serving_http) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  count();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  count();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  count();
  return __libc_realloc(p, n);
}
void* aligned_alloc(size_t alignment, size_t n) {
  count();
  return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
  count();
  *out = __libc_memalign(alignment, n);
  return *out == nullptr ? 12 : 0;
}
}

namespace morvix {
namespace {

using test::UdpPeer;

// One request, the reply read to its end.
void scrape(int port, const char* path) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = test::loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
    char request[64];
    const int n = std::snprintf(request, sizeof request, "GET %s HTTP/1.0\r\n\r\n", path);
    send(fd, request, static_cast<size_t>(n), 0);
    char buf[4096];
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
  }
  close(fd);
}

TEST(NoAllocation, TheMainLoopNeverAllocatesAfterStartUp) {
  // Start-up as the daemon does it, stdout with its own buffer.
  static char out_buffer[BUFSIZ];
  std::fflush(stdout);
  const int saved_stdout = dup(1);
  ASSERT_NE(std::freopen("/dev/null", "w", stdout), nullptr);
  const int saved_stderr = dup(2);
  ASSERT_NE(std::freopen("/dev/null", "w", stderr), nullptr);
  std::setvbuf(stderr, nullptr, _IONBF, 0);  // as the daemon's: unbuffered
  std::setvbuf(stdout, out_buffer, _IOLBF, sizeof out_buffer);
  std::time_t now = 1'000'000;
  clock_override(&now);
  static Decoder d;
  static Distribution dist;
  static LoopState loop;
  loop.dump = 1;
  decoder_setup(d, 10, 1, link_codec());
  d.improved_reading = 1;  // -a: the improved reading, with the literal reading behind it
  const int rx_port = test::free_udp_port();
  ASSERT_EQ(server_open_dstream(d.ring, rx_port), 1);
  dist.announce.ct_port = test::free_tcp_port();
  tcp_server_setup(dist);
  clients_open_dstream(dist);
  // Its upstream server found at start-up: only while the name fails does
  // the main loop call the resolver again, and the resolver allocates.
  dist.upstream.vorn_found = 1;
  loop.last_tick = now;
  // With the status listener, scraped now and then, and the journal's lines.
  static StatusHttp http;
  const int http_port = test::free_tcp_port();
  ASSERT_EQ(status_http_open(http, htonl(INADDR_LOOPBACK), http_port, d, dist, loop), 1);
  loop.http = &http;
  loop.verbose = dist.verbose = 1;

  // About 20 million samples of frames, repeats and noise.
  std::mt19937 rng(5);
  gen::SampleWriter w(10);
  int frames_sent = 0;
  for (int i = 0; i < 600; ++i) {
    gen::Bytes payload(1 + rng() % 300);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    const gen::Bits bits = gen::frame_line_bits(gen::build_frame(1, payload), {}, rng);
    for (int k = 0; k < 1 + i % 2; ++k) w.add_line_bits(bits);
    w.add_noise(3000, rng);
    ++frames_sent;
  }
  w.add_idle(8 * 2 * kRingBytes);
  const gen::Bytes stream = w.take();

  std::atomic<bool> done{false};
  std::thread traffic([&] {
    UdpPeer source;
    std::vector<std::unique_ptr<UdpPeer>> clients;
    for (int i = 0; i < 6; ++i) clients.push_back(std::make_unique<UdpPeer>());
    for (size_t at = 0, n = 0; at < stream.size(); at += 1000, ++n) {
      source.send_to(rx_port, stream.data() + at, std::min<size_t>(1000, stream.size() - at));
      if (n % 50 == 0) {
        UdpPeer& c = *clients[n / 50 % clients.size()];
        c.send_to(dist.table.cd_port, n % 150 == 0 ? "DISCONNECT" : "hello");
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = test::loopback(dist.announce.ct_port);
        connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        close(fd);
        scrape(http_port, n % 100 == 0 ? "/metrics" : "/stats.json");
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    done = true;
  });

  t_counting = true;
  int idle_passes = 0;
  while (idle_passes < 5) {
    const int64_t before = loop.dump_counter;
    main_pass(loop, d, dist);
    now += 7;  // a keepalive tick every ninth pass, expiries now and then
    idle_passes = done && loop.dump_counter == before ? idle_passes + 1 : 0;
  }
  t_counting = false;
  std::fflush(stdout);
  dup2(saved_stdout, 1);
  dup2(saved_stderr, 2);
  traffic.join();
  clock_override(nullptr);

  EXPECT_EQ(g_allocations.load(), 0);
  EXPECT_GT(loop.dump_counter, frames_sent * 9 / 10);
  EXPECT_EQ(dist.table.active_clients, 1);
}

}  // namespace
}  // namespace morvix
