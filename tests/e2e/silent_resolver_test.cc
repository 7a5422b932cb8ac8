// SPDX-License-Identifier: Apache-2.0
// The upstream lookup against a name server the test plays on 127.0.0.2:53,
// in network and mount namespaces of the test's own (so that resolv.conf can
// point there): silent at first, then answering, then answering with another
// address. The daemon's clock runs fast, so that lookups come every couple of
// seconds, while the port announcement is asked for all the time. The
// client's MQTT bridge looks its broker up there too.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>

#include "tests/support/daemon.h"
#include "tests/tools/client_output.h"
#include "tests/tools/mqtt_broker.h"

namespace morvix::test {
namespace {

std::string g_no_namespace;  // why the namespaces could not be made; empty when they were

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text;
  return static_cast<bool>(f.flush());
}

// Runs before anything else, while the process has one thread, as unshare
// with a new user namespace needs.
std::string enter_namespaces() {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0) return "unshare failed";
  if (!write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
      !write_file("/proc/self/setgroups", "deny") ||
      !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
    return "no user mapping";
  }
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "no private mounts";
  char conf[] = "/tmp/morvix-resolv-XXXXXX";
  const int fd = mkstemp(conf);
  if (fd < 0) return "no temporary file";
  close(fd);
  // One try of a second: timeout and attempts as glibc and newer c-ares
  // spell them, retrans (ms) and retry as older c-ares does.
  write_file(conf, "nameserver 127.0.0.2\noptions timeout:1 attempts:1 retrans:1000 retry:1\n");
  const bool bound = mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
  unlink(conf);  // the mount holds it
  if (!bound) return "cannot bind-mount /etc/resolv.conf";
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq lo{};
  std::snprintf(lo.ifr_name, sizeof lo.ifr_name, "lo");
  const bool up = ioctl(s, SIOCGIFFLAGS, &lo) == 0 && (lo.ifr_flags |= IFF_UP) != 0 &&
                  ioctl(s, SIOCSIFFLAGS, &lo) == 0;
  close(s);
  return up ? "" : "cannot bring up lo";
}

// A UDP socket bound to addr:port (host byte order); -1 when it cannot be.
int bound_to(uint32_t addr, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The reply to a DNS query: its question and, for an A query, one record
// for addr (host byte order), for any other type none; empty when the query
// cannot be read.
std::string dns_answer(const std::string& query, uint32_t addr) {
  size_t at = 12;
  while (at < query.size() && query[at] != 0) at += 1 + static_cast<unsigned char>(query[at]);
  at += 5;  // the root label, type and class
  if (query.size() < at) return "";
  const bool type_a = query[at - 4] == 0 && query[at - 3] == 1;
  std::string reply = query.substr(0, at);
  reply.replace(2, 10, std::string("\x81\x80\x00\x01\x00\x00\x00\x00\x00\x00", 10));
  if (!type_a) return reply;
  reply[7] = 1;  // one answer
  reply += std::string("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04", 12);
  for (int shift : {24, 16, 8, 0}) reply += static_cast<char>((addr >> shift) & 0xff);
  return reply;
}

class SilentResolverTest : public DaemonTest {
 protected:
  void SetUp() override {
    if (!g_no_namespace.empty()) GTEST_SKIP() << "no namespaces: " << g_no_namespace;
    DaemonTest::SetUp();
    name_server_ = bound_to(0x7F000002, 53);
    moved_ = bound_to(0x7F000003, upstream_->port());
    ASSERT_GE(name_server_, 0);
    ASSERT_GE(moved_, 0);
  }
  void TearDown() override {
    DaemonTest::TearDown();
    if (name_server_ >= 0) close(name_server_);
    if (moved_ >= 0) close(moved_);
  }

  // Asks for the port every 20 ms, keeping the slowest reply, and serves the
  // queries that come in (answering with answer_ unless it is silent), until done
  // holds or timeout_ms pass.
  bool serve_until(const std::function<bool()>& done, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      const auto asked = std::chrono::steady_clock::now();
      EXPECT_EQ(ask_port(tcp_port_), std::to_string(cd_port_) + "\r\n");
      slowest_ = std::max(slowest_, std::chrono::steady_clock::now() - asked);
      char query[512];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n;
      while ((n = recvfrom(name_server_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from),
                           &len)) > 0) {
        ++queries_;
        if (!answer_) continue;  // silent
        const std::string reply = dns_answer(std::string(query, static_cast<size_t>(n)), *answer_);
        sendto(name_server_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
               len);
      }
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  int name_server_ = -1;
  int moved_ = -1;
  std::optional<uint32_t> answer_;  // the address the name server answers with; none: silent
  int queries_ = 0;
  std::chrono::steady_clock::duration slowest_{};
};

// An identity announcement waiting at fd within timeout_ms.
bool announced(int fd, int timeout_ms) {
  if (!readable(fd, timeout_ms)) return false;
  for (const std::string& datagram : pending(fd)) {
    if (datagram == std::string("*uid:") + kIdentity + ":") return true;
  }
  return false;
}

TEST_F(SilentResolverTest, NeverHoldsUpTheLoopAndFollowsTheServerOnceItAnswers) {
  const std::string port = std::to_string(upstream_->port());
  start({"-v", "-u", "collector.morvix.test:" + port},
        {"/usr/bin/env", "LD_PRELOAD=" WALL_CLOCK_SHIM, "BOOT_CLOCK_RATE=600",
         "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});

  // Lookups at start-up and on every 16th tick (about every 1.6 s here),
  // each timing out after a second.
  EXPECT_TRUE(serve_until([&] { return queries_ >= 3; }, 15000)) << queries_ << " queries";
  const std::string not_found =
      "upstream host \"collector.morvix.test\" not found (Timeout while contacting DNS servers); "
      "trying again about every 16 minutes\n";
  EXPECT_NE(daemon_->err().find(not_found), std::string::npos) << daemon_->err();
  EXPECT_FALSE(readable(upstream_->fd(), 0));  // nothing announced to nobody

  // Answers no server can hold: 0.0.0.0 would be the station itself (and
  // upstream_, on its port), the others everybody.
  for (const auto& [addr, text] : {std::pair<uint32_t, std::string>{0, "0.0.0.0"},
                                   {0xFFFFFFFF, "255.255.255.255"},
                                   {0xE0000001, "224.0.0.1"}}) {
    answer_ = addr;
    const std::string refused = "upstream host \"collector.morvix.test\" refused: it resolved to " +
                                text +
                                ", which no server can hold; trying again about every 16 minutes\n";
    EXPECT_TRUE(
        serve_until([&] { return daemon_->err().find(refused) != std::string::npos; }, 10000))
        << daemon_->err();
  }
  EXPECT_FALSE(readable(upstream_->fd(), 0));

  answer_ = 0x7F000001;
  EXPECT_TRUE(serve_until([&] { return announced(upstream_->fd(), 0); }, 10000));
  EXPECT_NE(daemon_->err().find("upstream host \"collector.morvix.test\" found at 127.0.0.1\n"),
            std::string::npos);

  answer_ = 0x7F000003;  // the server moves
  EXPECT_TRUE(serve_until([&] { return announced(moved_, 0); }, 10000));
  EXPECT_NE(daemon_->err().find("upstream host \"collector.morvix.test\" found at 127.0.0.3\n"),
            std::string::npos);
  const gen::Bytes f = gen::build_frame(3, gen::Bytes(40, 3));
  send_samples(signal({f}));
  EXPECT_TRUE(readable(moved_, 3000));
  EXPECT_EQ(pending(moved_).back(), std::string(f.begin(), f.end()));

  // Every port announcement came at once, while the name server was silent too.
  EXPECT_LT(slowest_, std::chrono::milliseconds(300))
      << std::chrono::duration_cast<std::chrono::milliseconds>(slowest_).count() << " ms";
  EXPECT_EQ(occurrences(daemon_->err(), not_found), 1u);
}

TEST_F(SilentResolverTest, TheClientsBrokerNameNeverHoldsUpItsFrames) {
  if (installed("mosquitto").empty()) GTEST_SKIP() << "no mosquitto broker installed";
  Broker broker;
  broker.start();
  Subscriber all(broker.port(), "far");
  start();
  // Each of the client's lookups of the broker waits 3 s for the name server.
  Process client("/usr/bin/env",
                 {"RES_OPTIONS=timeout:3 attempts:1", MORVIX_CLIENT_PATH, "--host", "127.0.0.1",
                  "--port", std::to_string(tcp_port_), "--json", "--mqtt",
                  "mqtt://broker.morvix.test:" + std::to_string(broker.port()) + "/far"},
                 dir_.path());
  ASSERT_TRUE(daemon_->wait_for_output("add new client slot", 3000)) << client.err();

  // A frame every 100 ms through more than one lookup, each printed at once.
  constexpr size_t kFrames = 40;
  std::chrono::steady_clock::duration slowest{};
  for (size_t i = 0; i < kFrames; ++i) {
    send_samples(signal({gen::build_frame(static_cast<uint8_t>(i), gen::Bytes(20, i & 0xff))}));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return lines(client.out()).size() == i + 1; }, 5000))
        << client.err();
    slowest = std::max(slowest, std::chrono::steady_clock::now() - sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_LT(slowest, std::chrono::milliseconds(500))
      << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms";
  EXPECT_NE(client.err().find("can't look the name up"), std::string::npos) << client.err();

  // Once the name answers, what came meanwhile goes out.
  answer_ = 0x7F000001;
  EXPECT_TRUE(serve_until(
      [&] { return client.err().find("connected to MQTT broker") != std::string::npos; }, 15000))
      << client.err();
  EXPECT_TRUE(all.waits_for(kFrames, "far")) << client.err();
}

}  // namespace
}  // namespace morvix::test

int main(int argc, char** argv) {
  morvix::test::g_no_namespace = morvix::test::enter_namespaces();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
