// Frames through the real daemon: bitstream in, client and upstream out.
#include <gtest/gtest.h>

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

// The client example of the README, run as written but for the port.
TEST_F(RelayTest, TheReadmeSocatExampleReceivesFrames) {
  if (system("command -v socat >/dev/null && command -v xxd >/dev/null") != 0)
    GTEST_SKIP() << "socat or xxd not installed";
  start();
  const std::string script = "port=$(socat -u TCP:localhost:" + std::to_string(tcp_port_) +
                             " - | tr -d '\\r')\n"
                             "(echo hello; sleep 4) | socat -t 4 - UDP:127.0.0.1:$port | xxd -p";
  ScratchDir out_dir;
  Process client("/bin/bash", {"-c", script}, out_dir.path());
  ASSERT_TRUE(daemon_->wait_for_output("add new client slot 1", 5000));
  const gen::Bytes f = frame(9, 30, 9);
  send_samples(signal({f}));
  client.wait(10000);
  std::string hex;
  for (char c : client.out())
    if (c != '\n') hex += c;
  char expected[3 * 40];
  std::string want;
  for (uint8_t b : f) {
    std::snprintf(expected, sizeof expected, "%02x", b);
    want += expected;
  }
  EXPECT_NE(hex.find(want), std::string::npos) << hex;
}

}  // namespace
}  // namespace morvix::test
