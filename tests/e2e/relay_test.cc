// SPDX-License-Identifier: Apache-2.0
// Frames through the real daemon: bitstream in, client and upstream out.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

gen::Bytes frame(uint8_t first, int size, unsigned seed) {
  std::mt19937 rng(seed);
  gen::Bytes payload(static_cast<size_t>(size));
  for (auto& b : payload) b = static_cast<uint8_t>(rng());
  return gen::build_frame(first, payload);
}

std::string dump_line(int number, const gen::Bytes& f) {
  std::string line = "rx: #" + std::to_string(number) + " ";
  char hex[4];
  for (uint8_t b : f) {
    std::snprintf(hex, sizeof hex, "%02x ", b);
    line += hex;
  }
  return line + "\n";
}

using RelayTest = DaemonTest;

TEST_F(RelayTest, AnnouncesThePortAndTheIdentity) {
  start();
  const auto announcements = drain(*upstream_, 500);
  ASSERT_EQ(announcements.size(), 1u);
  EXPECT_EQ(std::string(announcements[0].begin(), announcements[0].end()),
            std::string("*uid:") + kIdentity + ":");
  EXPECT_EQ(ask_port(tcp_port_), std::to_string(cd_port_) + "\r\n");
  EXPECT_TRUE(daemon_->wait_for_output("got tcp request\ngot tcp request\n", 3000));
}

TEST_F(RelayTest, RelaysEveryNewFrameOnceToClientAndUpstream) {
  start();
  drain(*upstream_, 200);
  const auto client = register_client(1);

  const gen::Bytes a = frame(1, 20, 1), b = frame(2, 300, 2), c = frame(3, 1, 3);
  send_samples(signal({a, a, b, a, c, c}));
  const std::vector<gen::Bytes> expected = {a, b, a, c};
  EXPECT_EQ(drain(*client), expected);
  EXPECT_EQ(drain(*upstream_, 200), expected);
  EXPECT_NE(
      daemon_->out().find(dump_line(0, a) + dump_line(1, b) + dump_line(2, a) + dump_line(3, c)),
      std::string::npos)
      << daemon_->out();
}

TEST_F(RelayTest, UpstreamSwitchesItsFeedAndClientsComeAndGo) {
  start();
  drain(*upstream_, 200);
  const auto registered = register_client(1);
  const UdpPeer& client = *registered;

  upstream_->send_to(cd_port_, "STOP");
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  const gen::Bytes d = frame(4, 40, 4);
  send_samples(signal({d}));
  EXPECT_EQ(drain(client), std::vector<gen::Bytes>{d});
  EXPECT_TRUE(drain(*upstream_, 200).empty());

  // START from the server's own port resumes its feed; from another port it
  // is just a client registering.
  upstream_->send_to(cd_port_, "START");
  UdpPeer impostor;
  impostor.send_to(cd_port_, "START");
  ASSERT_TRUE(daemon_->wait_for_output("add new client slot 2", 3000));
  client.send_to(cd_port_, "DISCONNECT");
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  const gen::Bytes e = frame(5, 60, 5);
  send_samples(signal({e}));
  EXPECT_EQ(drain(impostor), std::vector<gen::Bytes>{e});
  EXPECT_EQ(drain(*upstream_, 200), std::vector<gen::Bytes>{e});
  EXPECT_TRUE(drain(client, 200).empty());
}

TEST_F(RelayTest, UpstreamGivenByNameAndPortGetsTheIdentityAndFrames) {
  start({"-u", "localhost:" + std::to_string(upstream_->port())});
  std::vector<unsigned char> got;
  ASSERT_TRUE(upstream_->receive(got, 3000));
  EXPECT_EQ(std::string(got.begin(), got.end()), std::string("*uid:") + kIdentity + ":");
  const gen::Bytes f = frame(6, 25, 6);
  send_samples(signal({f}));
  EXPECT_EQ(drain(*upstream_, 500), std::vector<gen::Bytes>{f});
}

TEST_F(RelayTest, SurvivesAClientThatResetsBeforeTheReply) {
  start();
  for (int i = 0; i < 5; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(tcp_port_));
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(daemon_->running());
  EXPECT_EQ(ask_port(tcp_port_), std::to_string(cd_port_) + "\r\n");
}

}  // namespace
}  // namespace morvix::test

namespace morvix::test {
namespace {

// A document's text from the first line that holds marker up to the end of
// the code block that follows it; empty when there is none.
std::string readme_example(const std::string& marker, const char* document = MORVIX_README) {
  std::ifstream in(document);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  const size_t at = text.find(marker);
  if (at == std::string::npos) return "";
  const size_t open = text.find("```sh\n", at);
  const size_t close = text.find("```", open + 6);
  if (open == std::string::npos || close == std::string::npos) return "";
  return text.substr(open + 6, close - open - 6);
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The datagrams that socat -x shows as received ("<" then a line of hex).
std::vector<gen::Bytes> received_datagrams(const std::string& dump) {
  std::vector<gen::Bytes> datagrams;
  std::istringstream lines(dump);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("< ", 0) != 0 || !std::getline(lines, line)) continue;
    std::istringstream hex(line);
    gen::Bytes bytes;
    for (unsigned byte; hex >> std::hex >> byte;) bytes.push_back(static_cast<uint8_t>(byte));
    datagrams.push_back(bytes);
  }
  return datagrams;
}

TEST(ReadmeTest, TheIdentityExampleMakesAnIdentityMorvixTakes) {
  const std::string example = readme_example("The identity is how the upstream");
  ASSERT_NE(example, "");
  ScratchDir dir;
  Process make("/bin/bash", {"-c", example}, dir.path());
  ASSERT_EQ(make.wait(5000), 0) << make.err();
  std::ifstream in(dir.path() + "/uid.txt");
  const std::string identity(std::istreambuf_iterator<char>(in), {});
  EXPECT_TRUE(std::regex_match(identity, std::regex("[0-9a-f]{40}\n?"))) << identity;
}

// The client examples of docs/protocol.md, run as written but for the port, with
// a stand-in for sleep that says how long it was asked to wait and waits
// far less, so that the registration's refreshes come at once.
TEST_F(RelayTest, TheReadmeClientExamplesReceiveFramesAndKeepTheirRegistration) {
  if (system("command -v socat >/dev/null") != 0) GTEST_SKIP() << "socat not installed";
  start();
  const std::string example = readme_example("Worked example with `socat`", MORVIX_PROTOCOL_DOC);
  ASSERT_NE(example.find("4851"), std::string::npos) << example;
  // In a process group of its own, which SIGTERM ends as a whole.
  const std::string script =
      "sleep() { echo \"sleep $*\" >&2; command sleep 0.2; }\n"
      "set -m\n{\n" +
      replace_all(example, "4851", std::to_string(tcp_port_)) +
      "} &\ntrap 'kill -- -$!' TERM\nwait\n";
  ScratchDir out_dir;
  Process client("/bin/bash", {"-c", script}, out_dir.path());
  ASSERT_TRUE(daemon_->wait_for_output("add new client slot 1", 5000)) << client.err();
  // Three refreshes, each after a wait of 60 s as written.
  const std::string three_waits = "sleep 60\nsleep 60\nsleep 60\n";
  for (int i = 0; i < 100 && client.err().find(three_waits) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(client.err().find(three_waits), std::string::npos) << client.err();
  const gen::Bytes f = frame(9, 30, 9);
  send_samples(signal({f}));
  const auto received = [&] {
    const auto datagrams = received_datagrams(client.out());
    return std::find(datagrams.begin(), datagrams.end(), f) != datagrams.end();
  };
  for (int i = 0; i < 100 && !received(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(received()) << client.out();
  // Every refresh came from the one socket: still one slot.
  EXPECT_EQ(daemon_->out().find("add new client slot 2"), std::string::npos) << daemon_->out();
  client.terminate();

  // nc asks for the port and leaves when the reply ends, even with its
  // input still open, as a terminal's is.
  if (system("command -v nc >/dev/null") != 0) GTEST_SKIP() << "nc not installed";
  std::ifstream in(MORVIX_PROTOCOL_DOC);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  const std::regex nc_example("`(nc [^`]*4851)`");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, nc_example));
  const std::string nc = replace_all(m[1], "4851", std::to_string(tcp_port_)) + " < <(sleep 30)";
  Process asked("/bin/bash", {"-c", nc}, out_dir.path());
  EXPECT_EQ(asked.wait(5000), 0);
  EXPECT_EQ(asked.out(), std::to_string(cd_port_) + "\r\n");
}

}  // namespace
}  // namespace morvix::test
