// SPDX-License-Identifier: Apache-2.0
// The status listener of the real daemon (-m): exact counters over HTTP,
// and HTTP clients that misbehave without holding up decoding.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdio>
#include <regex>

#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

using namespace std::chrono_literals;

struct Reply {
  int status = 0;
  std::string body;
};

// One HTTP/1.0 request (the request line and headers as given); the reply
// read to the end of the stream, each read waiting at most wait_ms.
Reply http(int port, const std::string& request, int wait_ms = 5000) {
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

std::string hex(const gen::Bytes& bytes) {
  std::string text;
  char two[3];
  for (const uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    text += two;
  }
  return text;
}

Reply get(int port, const std::string& path, int wait_ms = 5000) {
  return http(port, "GET " + path + " HTTP/1.0\r\nHost: station\r\n\r\n", wait_ms);
}

// A non-blocking connection to 127.0.0.1:port from another loopback address
// (127.0.0.x), so that a test can play hosts other than the scraper's.
int connect_from(int host, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in from = loopback(0);
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(host));
  bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  const sockaddr_in to = loopback(port);
  connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  pollfd connected = {fd, POLLOUT, 0};
  poll(&connected, 1, 1000);
  return fd;
}

// What the listener sent on fd so far, and whether it has closed it.
struct Heard {
  std::string text;
  bool closed = false;
};
void listen_to(int fd, Heard& heard) {
  char buf[512];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) heard.text.append(buf, size_t(n));
  if (n == 0 || (n < 0 && errno != EAGAIN)) heard.closed = true;
}

// A sample's value in Prometheus text: "name{labels} value" or "name value".
long long metric(const std::string& text, const std::string& series) {
  const size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + series.size() + 2));
}

// The Prometheus project's own parser (Debian's python3-prometheus-client):
// empty when the text parses, else the parser's complaint; nullopt without
// the parser.
std::optional<std::string> prometheus_parse_error(const std::string& text, const ScratchDir& dir) {
  dir.write("metrics.txt", text);
  const std::string command =
      "/usr/bin/python3 -c 'import sys\n"
      "from prometheus_client.parser import text_string_to_metric_families as parse\n"
      "for family in parse(open(sys.argv[1]).read()): pass' " +
      dir.path() + "/metrics.txt 2>&1";
  if (std::system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") != 0)
    return std::nullopt;
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  return pclose(p) == 0 ? std::string() : "parser: " + out;
}

// promtool's lint of the exposition text: its complaints, empty when clean;
// nullopt without promtool (Debian's prometheus package).
std::optional<std::string> promtool_complaints(const std::string& text, const ScratchDir& dir) {
  if (std::system("promtool --version >/dev/null 2>&1") != 0) return std::nullopt;
  dir.write("promtool.txt", text);
  FILE* p = popen(("promtool check metrics < " + dir.path() + "/promtool.txt 2>&1").c_str(), "r");
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  const int status = pclose(p);
  return status == 0 && out.empty() ? std::string() : "promtool: " + out;
}

class StatusTest : public DaemonTest {
 protected:
  void start_with_status(std::vector<std::string> args = {}) {
    http_port_ = free_tcp_port();
    args.insert(args.end(), {"-m", "127.0.0.1:" + std::to_string(http_port_)});
    start(args);
  }
  int http_port_ = 0;
};

TEST_F(StatusTest, CountsExactlyWhatTheStreamHolds) {
  start_with_status();
  const auto client = register_client(1);

  std::vector<gen::Bytes> frames;
  for (uint8_t i = 0; i < 5; ++i) frames.push_back(gen::build_frame(i, gen::Bytes(50, i)));
  gen::Bytes broken = gen::build_frame(9, gen::Bytes(20, 9));
  broken[8] ^= 1;  // its frame CRC fails
  gen::LineOptions three_wrong;
  three_wrong.wrong_symbols = {{{0, 1}, {7, 2}}, {{4, 3}}};

  gen::SampleWriter w(10);
  const auto add = [&](const gen::Bytes& f, const gen::LineOptions& options = {}) {
    w.add_idle(600);
    w.add_line_bits(gen::frame_line_bits(f, options, rng_));
  };
  // 5 new frames, two of them repeated, two broken ones; 3 symbols to correct.
  add(frames[0]);
  add(frames[0]);
  add(frames[1], three_wrong);
  add(broken);
  add(frames[2]);
  add(frames[3]);
  add(frames[3]);
  add(broken);
  add(frames[4]);
  w.add_idle(1000);
  const gen::Bytes stream = w.take();
  send_samples(stream);
  EXPECT_EQ(drain(*client).size(), 5u);

  const Reply m = get(http_port_, "/metrics");
  ASSERT_EQ(m.status, 200);
  EXPECT_EQ(metric(m.body, "morvix_input_samples_total"),
            static_cast<long long>(stream.size()) * 8);
  EXPECT_EQ(metric(m.body, "morvix_sync_words_total"), 9);
  EXPECT_EQ(metric(m.body, "morvix_frames_relayed_total"), 5);
  EXPECT_EQ(metric(m.body, "morvix_frames_repeated_total"), 2);
  EXPECT_EQ(metric(m.body, "morvix_frames_rejected_total{reason=\"frame_crc\"}"), 2);
  EXPECT_EQ(metric(m.body, "morvix_frames_rejected_total{reason=\"header_crc\"}"), 0);
  EXPECT_EQ(metric(m.body, "morvix_frames_rejected_total{reason=\"uncorrectable\"}"), 0);
  EXPECT_EQ(metric(m.body, "morvix_symbols_corrected_total"), 3);
  EXPECT_EQ(metric(m.body, "morvix_clients"), 1);
  EXPECT_EQ(metric(m.body, "morvix_upstream_feed"), 1);
  EXPECT_EQ(metric(m.body, "morvix_port_announcements_total"), 1);
  EXPECT_EQ(metric(m.body, "morvix_identity_announcements_total"), 1);
  EXPECT_EQ(metric(m.body, "morvix_send_errors_total{peer=\"client\"}"), 0);
  EXPECT_EQ(metric(m.body, "morvix_send_errors_total{peer=\"upstream\"}"), 0);
  EXPECT_NE(m.body.find("# TYPE morvix_frames_relayed_total counter\n"), std::string::npos);
  const auto parse_error = prometheus_parse_error(m.body, dir_);
  ASSERT_TRUE(parse_error.has_value()) << "the check needs Debian's python3-prometheus-client";
  EXPECT_EQ(*parse_error, "");
  EXPECT_NE(m.body.find("\nmorvix_build_info{version=\"" MORVIX_VERSION "\"} 1\n"),
            std::string::npos);
  EXPECT_EQ(metric(m.body, "morvix_soft_reading"), 0);
  EXPECT_EQ(metric(m.body, "morvix_frames_rejected_total{reason=\"frame_crc\"}"), 2);
  const auto complaints = promtool_complaints(m.body, dir_);
  if (complaints.has_value()) {
    EXPECT_EQ(*complaints, "");
  } else {
    std::fprintf(stderr, "no promtool here (Debian's prometheus): its lint not run\n");
  }

  const Reply j = get(http_port_, "/stats.json");
  ASSERT_EQ(j.status, 200);
  for (const char* field :
       {"\"frames_relayed\":5,", "\"frames_repeated\":2,", "\"symbols_corrected\":3,",
        "\"frames_rejected\":{\"header_crc\":0,\"frame_crc\":2,\"uncorrectable\":0}",
        "\"sync_words_by_errors\":[9,0,0,0,0,0]", "\"frames_by_sync_errors\":[7,0,0,0,0,0]",
        "\"frames_last_minute\":5,", "\"reading\":\"literal\",", "\"hint\":null,",
        "\"upstream_address\":\"127.0.0.1\""}) {
    EXPECT_NE(j.body.find(field), std::string::npos) << field << " in " << j.body;
  }
  EXPECT_TRUE(std::regex_search(j.body, std::regex("\"client_table\":\\[\\{\"slot\":1,"
                                                   "\"address\":\"127.0.0.1\",\"port\":[0-9]+,")));
  // The five frames passed on, oldest first, each whole in hex.
  std::string recent = "\"recent_frames\":\\[";
  for (size_t i = 0; i < frames.size(); ++i) {
    recent += std::string(i > 0 ? "," : "") + "\\{\"time\":[0-9]+,\"length\":57,\"blocks\":8,";
    recent += std::string("\"corrections\":") + (i == 1 ? "3" : "0") + ",\"sync_wrong_bits\":0,";
    recent += "\"frame\":\"" + hex(frames[i]) + "\"\\}";
  }
  EXPECT_TRUE(std::regex_search(j.body, std::regex(recent + "\\]\\}\n$"))) << j.body;
  EXPECT_TRUE(
      std::regex_search(j.body, std::regex("\"frames_per_minute\":\\[(0,){59}5\\]|"
                                           "\"frames_per_minute\":\\[(0,){58}[0-5],[0-5]\\]")));
}

TEST_F(StatusTest, IdleGarbageAndHugeRequestsNeverHoldUpDecoding) {
  start_with_status();
  const auto client = register_client(1);
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in to = loopback(http_port_);
    connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    idle.push_back(fd);
  }
  std::vector<gen::Bytes> frames;
  for (uint8_t i = 0; i < 10; ++i) frames.push_back(gen::build_frame(i, gen::Bytes(80, i)));
  send_samples(signal(frames));
  EXPECT_EQ(drain(*client), frames);
  for (int fd : idle) close(fd);

  EXPECT_EQ(http(http_port_, std::string("\x16\x03\x01 garbage\r\n\r\n")).status / 100, 4);
  EXPECT_EQ(get(http_port_, "/" + std::string(5000, 'a')).status, 404);
  EXPECT_EQ(get(http_port_, "/nowhere").status, 404);
  EXPECT_EQ(http(http_port_, "POST /metrics HTTP/1.0\r\nContent-Length: 0\r\n\r\n").status, 405);
  const Reply page = get(http_port_, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<title>morvix station</title>"), std::string::npos);
  EXPECT_EQ(http(http_port_, "HEAD /metrics HTTP/1.0\r\n\r\n").status, 200);
  EXPECT_EQ(metric(get(http_port_, "/metrics").body, "morvix_frames_relayed_total"), 10);
}

TEST_F(StatusTest, SlowAndOversizeClientsLeaveRoomForScrapesAndAreDropped) {
  start_with_status();
  // 20 clients at 127.0.0.2 trickle header lines that never end the request
  // (each line well within the idle time-out); 16 at 127.0.0.3 send a
  // 40 KB request line and nothing more.
  std::vector<int> slow, big;
  for (int i = 0; i < 20; ++i) {
    slow.push_back(connect_from(2, http_port_));
    send(slow.back(), "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
  }
  const std::string huge = "GET /" + std::string(40000, 'a');
  for (int i = 0; i < 16; ++i) {
    big.push_back(connect_from(3, http_port_));
    EXPECT_EQ(send(big.back(), huge.data(), huge.size(), MSG_NOSIGNAL), ssize_t(huge.size()));
  }
  std::vector<Heard> slow_heard(slow.size()), big_heard(big.size());
  int answered = 0;
  const auto began = std::chrono::steady_clock::now();
  for (int round = 0; round < 10; ++round) {
    answered += get(http_port_, "/metrics", 1000).status == 200;
    for (size_t i = 0; i < slow.size(); ++i) {
      listen_to(slow[i], slow_heard[i]);
      if (!slow_heard[i].closed) send(slow[i], "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
    }
    for (size_t i = 0; i < big.size(); ++i) listen_to(big[i], big_heard[i]);
    if (round == 1) {
      for (const Heard& h : big_heard) {
        EXPECT_TRUE(h.closed) << "an oversize request still open after "
                              << (std::chrono::steady_clock::now() - began) / 1ms << " ms";
        EXPECT_TRUE(h.text.starts_with("HTTP/1.1 414") || h.text.starts_with("HTTP/1.1 431"))
            << h.text;
      }
    }
    std::this_thread::sleep_for(800ms);
  }
  EXPECT_EQ(answered, 10);
  for (const Heard& h : slow_heard) EXPECT_TRUE(h.closed) << "a trickling request still open";
  for (int fd : slow) close(fd);
  for (int fd : big) close(fd);
  EXPECT_EQ(get(http_port_, "/metrics").status, 200);
  EXPECT_TRUE(daemon_->running());
}

TEST_F(StatusTest, SecondDaemonOnATakenStatusPortEndsWithTheDocumentedMessage) {
  start_with_status();
  const std::string port = std::to_string(http_port_);
  for (const std::string& taken : {port, "0.0.0.0:" + port}) {
    Process second(
        MORVIX_BINARY,
        {"-r", std::to_string(free_udp_port()), "-t", std::to_string(free_tcp_port()), "-m", taken},
        dir_.path());
    EXPECT_EQ(second.wait(5000), 1) << taken;
    EXPECT_NE(second.err().find("error: can't open status port " + port + "\n"), std::string::npos)
        << second.err();
  }
  EXPECT_EQ(get(http_port_, "/metrics").status, 200);
}

TEST_F(StatusTest, UpstreamOffSendsNothingUpstreamWhileClientsAreServed) {
  // The last -u wins: were "off" ignored, upstream_ would hear the station.
  start_with_status({"-d", "-u", upstream_address(), "-u", "off"});
  const auto client = register_client(1);
  upstream_->send_to(cd_port_, "START");  // just another client now
  ASSERT_TRUE(daemon_->wait_for_output("add new client slot 2", 3000));
  const gen::Bytes f = gen::build_frame(7, gen::Bytes(30, 7));
  send_samples(signal({f}));
  EXPECT_EQ(drain(*client), std::vector<gen::Bytes>{f});
  EXPECT_EQ(drain(*upstream_, 200), std::vector<gen::Bytes>{f});  // as a client only

  const std::string m = get(http_port_, "/metrics").body;
  EXPECT_EQ(metric(m, "morvix_upstream_enabled"), 0);
  EXPECT_EQ(metric(m, "morvix_upstream_feed"), 0);
  EXPECT_EQ(metric(m, "morvix_identity_announcements_total"), 0);
  EXPECT_EQ(metric(m, "morvix_clients"), 2);
}

TEST_F(StatusTest, VerboseTellsTheStationsPortsOnStandardErrorOnly) {
  start({"-v"});
  ASSERT_TRUE(daemon_->running());
  const std::string err = daemon_->err();
  EXPECT_NE(
      err.find("bitstream input UDP " + std::to_string(rx_port_) + ", port announcement TCP " +
               std::to_string(tcp_port_) + ", distribution UDP " + std::to_string(cd_port_)),
      std::string::npos)
      << err;
  EXPECT_EQ(daemon_->out(), "got tcp request\n");
}

TEST_F(StatusTest, TheReadingModeShowsInTheStartLineMetricsAndStats) {
  start_with_status({"-v", "-a"});
  ASSERT_TRUE(daemon_->running());
  EXPECT_NE(daemon_->err().find(", correction on, soft reading, upstream "), std::string::npos)
      << daemon_->err();
  EXPECT_EQ(metric(get(http_port_, "/metrics").body, "morvix_soft_reading"), 1);
  EXPECT_NE(get(http_port_, "/stats.json").body.find("\"reading\":\"soft\","), std::string::npos);
}

}  // namespace
}  // namespace morvix::test
