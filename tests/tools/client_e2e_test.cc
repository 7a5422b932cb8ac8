// SPDX-License-Identifier: Apache-2.0
// morvix-client against the real daemon on loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stop_token>
#include <thread>

#include "tests/support/daemon.h"
#include "tests/tools/client_output.h"
#include "tools/client/client_format.h"

namespace morvix::test {
namespace {

using namespace std::chrono_literals;

gen::Bytes frame(uint8_t first, int size, unsigned seed) {
  std::mt19937 rng(seed);
  gen::Bytes payload(static_cast<size_t>(size));
  for (auto& b : payload) b = static_cast<uint8_t>(rng());
  return gen::build_frame(first, payload);
}

// Seconds between a "YYYY-MM-DDTHH:MM:SS" UTC stamp and now.
double seconds_ago(const std::string& stamp) {
  std::tm utc{};
  std::istringstream(stamp) >> std::get_time(&utc, "%Y-%m-%dT%H:%M:%S");
  return std::difftime(std::time(nullptr), timegm(&utc));
}

bool eventually(const std::function<bool()>& holds, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(ClientArgumentsTest, BadArgumentsEndWithStatusTwoAndAMessage) {
  ScratchDir dir;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--port"},
                                             {"--port", "0"},
                                             {"--port", "65536"},
                                             {"--port", "12x"},
                                             {"--count", "0"},
                                             {"--timeout", "-1"},
                                             {"--refresh", "300"},
                                             {"--host", ""},
                                             {"--raw"},
                                             {"--bogus"},
                                             {"stray"}}) {
    Process client(MORVIX_CLIENT_PATH, args, dir.path());
    EXPECT_EQ(client.wait(5000), 2) << args[0];
    EXPECT_NE(client.err(), "") << args[0];
  }
  Process help(MORVIX_CLIENT_PATH, {"--help"}, dir.path());
  EXPECT_EQ(help.wait(5000), 0);
  EXPECT_NE(help.out().find("--raw FILE"), std::string::npos);
  Process version(MORVIX_CLIENT_PATH, {"--version"}, dir.path());
  EXPECT_EQ(version.wait(5000), 0);
  EXPECT_EQ(version.out(), std::string("morvix-client ") + MORVIX_VERSION + "\n");
}

class ClientTest : public DaemonTest {
 protected:
  std::unique_ptr<Process> client(std::vector<std::string> args) {
    args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(tcp_port_)});
    return std::make_unique<Process>(MORVIX_CLIENT_PATH, args, dir_.path());
  }

  // The daemon on the ports already chosen, so that a client finds it again.
  void restart() {
    if (daemon_) daemon_->terminate();
    dir_.write("uid.txt", std::string(kIdentity) + "\n");
    daemon_ = std::make_unique<Process>(
        MORVIX_BINARY,
        std::vector<std::string>{"-r", std::to_string(rx_port_), "-t", std::to_string(tcp_port_),
                                 "-u", upstream_address()},
        dir_.path());
  }

  // Idle input keeps the daemon's passes short; without input every pass
  // waits a second for it, and so does every registration.
  void keep_input_flowing() {
    feeder_ = std::jthread([port = rx_port_](std::stop_token stop) {
      UdpPeer source;
      const gen::Bytes idle(1000, 0xff);
      while (!stop.stop_requested()) {
        source.send_to(port, idle.data(), idle.size());
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  // Before frames are sent, which must not be interleaved with idle input.
  void stop_input() {
    feeder_.request_stop();
    feeder_.join();
  }

  bool daemon_says(const std::string& text, size_t times = 1) {
    return eventually([&] { return occurrences(daemon_->out(), text) >= times; }, 5000);
  }
  static bool complains(const Process& p, const std::string& text) {
    return eventually([&] { return p.err().find(text) != std::string::npos; }, 5000);
  }

  std::jthread feeder_;
};

TEST_F(ClientTest, PrintsEveryFrameAsTextJsonAndRawRecords) {
  // A zone far from UTC shows local time passed off as UTC.
  setenv("TZ", "IST-5:30", 1);
  start();
  keep_input_flowing();
  auto text = client({"--count", "3", "--raw", "frames.bin"});
  auto json = client({"--json", "--count", "3"});
  ASSERT_TRUE(daemon_says("add new client slot 2")) << text->err() << json->err();
  stop_input();

  const std::vector<gen::Bytes> frames = {frame(0x7e, 1, 1), frame(0x00, 300, 2),
                                          frame(0xff, 20, 3)};
  send_samples(signal(frames));
  ASSERT_EQ(text->wait(10000), 0) << text->err();
  ASSERT_EQ(json->wait(10000), 0) << json->err();

  const auto printed = lines(text->out());
  ASSERT_EQ(printed.size(), frames.size()) << text->out();
  const std::regex stamped(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}Z (.*))");
  const std::regex quoted_stamp(R"("(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}Z")");
  std::string records;
  for (size_t i = 0; i < frames.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(printed[i], m, stamped)) << printed[i];
    EXPECT_LT(std::abs(seconds_ago(m[1])), 60) << printed[i];
    EXPECT_EQ(m[2], text_fields(frames[i]));
    records += static_cast<char>(frames[i].size() >> 8);
    records += static_cast<char>(frames[i].size() & 0xff);
    records.append(frames[i].begin(), frames[i].end());
  }
  std::ifstream raw(dir_.path() + "/frames.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(raw), {}), records);

  const auto objects = lines(json->out());
  ASSERT_EQ(objects.size(), frames.size()) << json->out();
  for (size_t i = 0; i < frames.size(); ++i) {
    auto members = json_members(objects[i]);
    ASSERT_EQ(members.size(), 8u) << objects[i];
    std::smatch m;
    const std::string time = members["time"];
    ASSERT_TRUE(std::regex_match(time, m, quoted_stamp)) << objects[i];
    EXPECT_LT(std::abs(seconds_ago(m[1])), 60) << objects[i];
    members.erase("time");
    const std::string fields = text_fields(frames[i]);
    const std::map<std::string, std::string> expected = {
        {"length", std::to_string(frames[i].size())},
        {"first", std::to_string(frames[i][0])},
        {"fill", std::to_string(gen::frame_fill_bits(frames[i]))},
        {"blocks", std::to_string(gen::frame_blocks(frames[i]))},
        {"payload", "\"" + fields.substr(fields.find("payload=") + 8) + "\""},
        {"header_crc_ok", "true"},
        {"frame_crc_ok", "true"}};
    EXPECT_EQ(members, expected);
  }
}

TEST_F(ClientTest, LeavesWithDisconnectOnSigtermAndWhenNoFrameComesInTime) {
  start();
  keep_input_flowing();
  auto stopped = client({});
  auto waiting = client({"--timeout", "2"});
  ASSERT_TRUE(daemon_says("add new client slot 2")) << stopped->err() << waiting->err();
  stopped->terminate();
  EXPECT_EQ(stopped->wait(0), 0);
  EXPECT_EQ(waiting->wait(5000), 1);
  EXPECT_NE(waiting->err().find("no frame for 2 s"), std::string::npos) << waiting->err();

  // Newcomers take the lowest free slots, so slots 1 and 2 again show that
  // both clients have left.
  UdpPeer first, second;
  first.send_to(cd_port_, "hello");
  second.send_to(cd_port_, "hello");
  EXPECT_TRUE(daemon_says("add new client slot 2", 2)) << daemon_->out();
  EXPECT_EQ(occurrences(daemon_->out(), "add new client slot 1"), 2u);
  EXPECT_EQ(occurrences(daemon_->out(), "add new client slot 3"), 0u);
}

TEST_F(ClientTest, WaitsForTheDaemonAndFindsItAgainWithinSecondsOfARestart) {
  rx_port_ = free_udp_port();
  tcp_port_ = free_tcp_port();
  keep_input_flowing();
  // The default refresh of 60 s: noticing the restart must not wait for it.
  auto c = client({"--count", "1", "--timeout", "60"});
  ASSERT_TRUE(complains(*c, "Connection refused; trying again in 1 s")) << c->err();
  restart();
  ASSERT_TRUE(daemon_says("add new client slot 1")) << c->err();

  // The restarted daemon has another distribution port; a frame sent 15 s
  // after the restart is only seen by a client that has found it.
  restart();
  const auto restarted = std::chrono::steady_clock::now();
  stop_input();
  std::this_thread::sleep_until(restarted + 15s);
  EXPECT_NE(c->err().find("Connection refused; asking for the port again"), std::string::npos)
      << c->err();
  const gen::Bytes f = frame(0x42, 50, 4);
  send_samples(signal({f}));
  ASSERT_EQ(c->wait(10000), 0) << c->err();
  ASSERT_EQ(lines(c->out()).size(), 1u);
  EXPECT_EQ(lines(c->out())[0].substr(25), text_fields(f));
}

}  // namespace
}  // namespace morvix::test
