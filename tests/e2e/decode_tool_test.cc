// SPDX-License-Identifier: Apache-2.0
// morvix-decode against the real daemon: the same generated stream, with
// repeats, corrected errors and broken frames, gives the same dump; so does
// a noisy stream sent at a real source's pace, in either reading, its last
// frame included though the stream stops right after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

using DecodeToolTest = DaemonTest;

// The dump lines of a console.
std::string dump_lines(const std::string& console) {
  std::string dump;
  std::istringstream lines(console);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("rx: #", 0) == 0) dump += line + "\n";
  return dump;
}

TEST_F(DecodeToolTest, PrintsExactlyWhatTheDaemonDumpsForTheSameStream) {
  // Every frame twice, a quarter broken after their CRC, two wrong symbols
  // in the first blocks and random line-bit errors, noise between.
  Process gen(MORVIX_GEN_PATH,
              {"--sps",    "10",       "--frames",   "40",    "--repeat",        "2",
               "--broken", "0.25",     "--ber",      "0.003", "--wrong-symbols", "0:3:5,1:9:17",
               "--gap",    "3000",     "--gap-fill", "noise", "--seed",          "11",
               "--out",    "s.samples"},
              dir_.path());
  ASSERT_EQ(gen.wait(10000), 0) << gen.err();
  Process tool(MORVIX_DECODE_PATH, {"--stats", "s.samples"}, dir_.path());
  ASSERT_EQ(tool.wait(10000), 0) << tool.err();
  // The stream must exercise what is compared: repeats left out, frames rejected.
  EXPECT_EQ(tool.err().find("repeats 0)"), std::string::npos) << tool.err();
  EXPECT_EQ(tool.err().find("frames rejected: 0 "), std::string::npos) << tool.err();
  const std::string dump = tool.out();
  const auto lines = std::count(dump.begin(), dump.end(), '\n');
  ASSERT_GT(lines, 20);

  start({"-d"});
  std::ifstream in(dir_.path() + "/s.samples", std::ios::binary);
  send_samples(gen::Bytes(std::istreambuf_iterator<char>(in), {}));
  daemon_->wait_for_output("rx: #" + std::to_string(lines - 1) + " ", 15000);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing more may follow
  daemon_->terminate();
  // Its console also says "got tcp request" for the port announcements.
  EXPECT_EQ(dump_lines(daemon_->out()), dump);
}

class PacedInputTest : public DaemonTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PacedInputTest, ARealTimeSourceGivesExactlyTheFramesOfTheSamplesAlone) {
  const std::string reading = GetParam();
  // Noisy frames (the improved reading gets more of them than the literal
  // one), noise between, and nothing after the last frame's last sample:
  // a source that squelches when the carrier drops.
  Process gen(
      MORVIX_GEN_PATH,
      {"--frames", "8", "--len", "20-120", "--channel", "0.45", "--gap", "1500", "--gap-fill",
       "noise", "--seed", "5", "--frames-out", "sent.hex", "--out", "s.samples"},
      dir_.path());
  ASSERT_EQ(gen.wait(10000), 0) << gen.err();
  std::vector<std::string> args = {"s.samples"};
  if (!reading.empty()) args.insert(args.begin(), reading);
  Process tool(MORVIX_DECODE_PATH, args, dir_.path());
  ASSERT_EQ(tool.wait(10000), 0) << tool.err();
  const std::string offline = tool.out();
  const auto frames = std::count(offline.begin(), offline.end(), '\n');
  ASSERT_GT(frames, 2);
  if (!reading.empty()) {
    // The stream's end is exercised: its last frame is among them.
    std::ifstream sent(dir_.path() + "/sent.hex");
    std::string last_sent;
    for (std::string line; std::getline(sent, line);) last_sent = line;
    std::string last_hex = offline.substr(offline.rfind("rx: #"));
    last_hex.erase(std::remove_if(last_hex.begin(), last_hex.end(), ::isspace), last_hex.end());
    EXPECT_TRUE(last_hex.ends_with(last_sent)) << last_hex << " " << last_sent;
  }

  start(args.size() > 1 ? std::vector<std::string>{"-d", reading} : std::vector<std::string>{"-d"});
  std::ifstream in(dir_.path() + "/s.samples", std::ios::binary);
  const gen::Bytes samples(std::istreambuf_iterator<char>(in), {});
  // Datagrams 20 to 300 ms apart, of 1 to 2048 bytes (small ones often).
  UdpPeer source;
  std::mt19937 rng(3);
  for (size_t at = 0; at < samples.size();) {
    const size_t size =
        std::min<size_t>(rng() % 4 == 0 ? 1 + rng() % 40 : 1 + rng() % 2048, samples.size() - at);
    source.send_to(rx_port_, samples.data() + at, size);
    at += size;
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 281));
  }
  // The last frame comes out once the source has been silent for the idle
  // limit (a second at this pace), with a little to spare.
  const auto stopped = std::chrono::steady_clock::now();
  EXPECT_TRUE(daemon_->wait_for_output("rx: #" + std::to_string(frames - 1) + " ", 2500));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing more may follow
  daemon_->terminate();
  EXPECT_EQ(dump_lines(daemon_->out()), offline);
}

INSTANTIATE_TEST_SUITE_P(Readings, PacedInputTest, ::testing::Values("", "-a"),
                         [](const auto& p) { return *p.param ? "Improved" : "Literal"; });

}  // namespace
}  // namespace morvix::test
