// SPDX-License-Identifier: Apache-2.0
// The status listener of the real daemon (-m): exact counters over HTTP,
// in Prometheus text and in stats.json.
#include <gtest/gtest.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "tests/e2e/status_client.h"
#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

std::string hex(const gen::Bytes& bytes) {
  std::string text;
  char two[3];
  for (const uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    text += two;
  }
  return text;
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
  EXPECT_EQ(metric(m.body, "morvix_improved_reading"), 0);
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
        "\"frames_by_reading\":{\"improved\":0,\"literal\":7}",
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
    recent += "\"frame\":\"" + hex(frames[i]) + "\",\"soft\":null\\}";
  }
  EXPECT_TRUE(std::regex_search(j.body, std::regex(recent + "\\]\\}\n$"))) << j.body;
  EXPECT_TRUE(
      std::regex_search(j.body, std::regex("\"frames_per_minute\":\\[(0,){59}5\\]|"
                                           "\"frames_per_minute\":\\[(0,){58}[0-5],[0-5]\\]")));
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
  EXPECT_NE(daemon_->err().find(", correction on, improved reading, upstream "), std::string::npos)
      << daemon_->err();
  const auto client = register_client(1);
  send_samples(signal({gen::build_frame(3, gen::Bytes(30, 3))}));
  EXPECT_EQ(drain(*client).size(), 1u);
  const std::string m = get(http_port_, "/metrics").body;
  EXPECT_EQ(metric(m, "morvix_improved_reading"), 1);
  EXPECT_EQ(metric(m, "morvix_frames_by_reading_total{reading=\"improved\"}"), 1);
  EXPECT_EQ(metric(m, "morvix_frames_by_reading_total{reading=\"literal\"}"), 0);
  const std::string j = get(http_port_, "/stats.json").body;
  EXPECT_NE(j.find("\"reading\":\"improved\","), std::string::npos);
  EXPECT_NE(j.find("\"frames_by_reading\":{\"improved\":1,\"literal\":0}"), std::string::npos);
}

// Whether this system tells a socket's drop count (user-mode emulators do
// not pass SO_MEMINFO on whole): the daemon then counts none.
bool system_counts_drops() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  const bool told = getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
                    length > SK_MEMINFO_DROPS * sizeof info[0];
  close(fd);
  return told;
}

TEST_F(StatusTest, InputDropsAtTheEndOfABurstShowAtTheNextTick) {
  if (!system_counts_drops()) GTEST_SKIP() << "no socket drop count here (SO_MEMINFO)";
  http_port_ = free_tcp_port();
  // Ticks come ten times a second.
  start({"-m", "127.0.0.1:" + std::to_string(http_port_)},
        {"/usr/bin/env", "LD_PRELOAD=" WALL_CLOCK_SHIM, "BOOT_CLOCK_RATE=600",
         "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
  // Stopped, the daemon reads nothing: the burst overflows the input
  // socket's buffer, and no datagram after it carries the kernel's count.
  daemon_->signal(SIGSTOP);
  UdpPeer source;
  constexpr long long kSent = 40000;
  for (long long i = 0; i < kSent; ++i) source.send_to(rx_port_, "\xff");
  daemon_->signal(SIGCONT);
  long long dropped = 0, received = 0;
  for (int i = 0; i < 100 && dropped + received != kSent; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string m = get(http_port_, "/metrics").body;
    dropped = metric(m, "morvix_input_dropped_total");
    received = metric(m, "morvix_input_datagrams_total");
  }
  EXPECT_EQ(dropped + received, kSent) << dropped << " dropped, " << received << " received";
  EXPECT_GT(dropped, 0);
}

// The sockets an operator firewalls, as the system bound them, in
// /stats.json and /metrics; SIGHUP reads the identity again and keeps them.
TEST_F(StatusTest, ThePortsAreServedAndSighupKeepsThemWhileItReadsTheIdentityAgain) {
  start_with_status();
  const std::string before = get(http_port_, "/stats.json").body;
  const std::string ports =
      "\"ports\":{\"input\":{\"transport\":\"udp\",\"address\":\"0.0.0.0\","
      "\"port\":" +
      std::to_string(rx_port_) +
      "},\"announcement\":{\"transport\":\"tcp\",\"address\":\"0.0.0.0\","
      "\"port\":" +
      std::to_string(tcp_port_) +
      "},\"distribution\":{\"transport\":\"udp\",\"address\":\"0.0.0.0\","
      "\"port\":" +
      std::to_string(cd_port_) +
      "},\"status\":{\"transport\":\"tcp\",\"address\":\"127.0.0.1\","
      "\"port\":" +
      std::to_string(http_port_) + "}}";
  EXPECT_NE(before.find(ports), std::string::npos) << before;
  EXPECT_EQ(metric(get(http_port_, "/metrics").body,
                   "morvix_port{socket=\"distribution\",transport=\"udp\",address=\"0.0.0.0\"}"),
            cd_port_);

  drain(*upstream_, 200);  // the announcement at start-up
  const std::string identity = "fedcba9876543210fedcba9876543210fedcba98";
  dir_.write("uid.txt", identity + "\n");
  daemon_->signal(SIGHUP);
  std::vector<unsigned char> announced;
  ASSERT_TRUE(upstream_->receive(announced, 3000));
  EXPECT_EQ(std::string(announced.begin(), announced.end()), "*uid:" + identity + ":");
  EXPECT_TRUE(daemon_->wait_for_error(
      "SIGHUP: new identity from uid.txt, looking up upstream host \"127.0.0.1\" again; options "
      "change only with a restart\n",
      3000))
      << daemon_->err();
  daemon_->signal(SIGHUP);
  EXPECT_TRUE(daemon_->wait_for_error("SIGHUP: identity unchanged, ", 3000)) << daemon_->err();
  EXPECT_TRUE(daemon_->running());
  EXPECT_EQ(ask_port(tcp_port_), std::to_string(cd_port_) + "\r\n");
  EXPECT_NE(get(http_port_, "/stats.json").body.find(ports), std::string::npos);
}

// On a clock 120 times fast (a tick every half second): an inverted stream
// with a stray sync word in it gives the hint that speaks of the polarity,
// and an input that then stops gives its own.
TEST_F(StatusTest, AnInvertedStreamAndThenASilentInputGiveTheirHints) {
  start_with_status({"-v"}, {"/usr/bin/env", "LD_PRELOAD=" WALL_CLOCK_SHIM, "BOOT_CLOCK_RATE=120",
                             "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
  // Upright, a sync word whose header fails: the stray.
  gen::Bytes stray = gen::build_frame(9, gen::Bytes(20, 9));
  stray[3] ^= 0xFF;
  gen::SampleWriter upright(10);
  upright.add_line_bits(gen::frame_line_bits(stray, {}, rng_));
  upright.add_idle(1000);
  send_samples(upright.take());

  gen::SampleWriter w(10);
  std::mt19937 noise(5);
  for (uint8_t i = 0; i < 6; ++i) {
    w.add_noise(3000, noise);
    w.add_line_bits(gen::frame_line_bits(gen::build_frame(i, gen::Bytes(60, i)), {}, rng_));
  }
  gen::Bytes inverted = w.take();
  for (uint8_t& b : inverted) b = static_cast<uint8_t>(~b);
  const std::string polarity =
      " but no frame decoded over the last few minutes: is -s (now 10) the source's samples per "
      "bit, and is the polarity right (a sample of 0 is a line bit of 1)?";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (daemon_->err().find(polarity) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    send_samples(inverted);
  }
  const std::string stats = get(http_port_, "/stats.json").body;
  EXPECT_NE(stats.find(polarity + "\""), std::string::npos) << daemon_->err() << stats;
  EXPECT_NE(stats.find("\"frames_decoded\":0,"), std::string::npos);
  EXPECT_EQ(stats.find("\"sync_words\":0,"), std::string::npos);  // the stray counted

  // A tick later than the last samples (the fast clock's ticks may lie two
  // minutes apart).
  const std::regex silent(
      "\nhint: no samples have arrived for [12] min: is the bitstream source "
      "running, and does it send to UDP port " +
      std::to_string(rx_port_) + " of this host\\?\n");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!std::regex_search(daemon_->err(), silent) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(std::regex_search(daemon_->err(), silent)) << daemon_->err();
  const std::string later = get(http_port_, "/stats.json").body;
  EXPECT_TRUE(
      std::regex_search(later, std::regex("\"hint\":\"hint: no samples have arrived for [0-9]+ "
                                          "min: is the bitstream source running")))
      << later;
}

}  // namespace
}  // namespace morvix::test
