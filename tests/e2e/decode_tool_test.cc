// SPDX-License-Identifier: Apache-2.0
// morvix-decode against the real daemon: the same generated stream, with
// repeats, corrected errors and broken frames, gives the same dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

using DecodeToolTest = DaemonTest;

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
  std::string daemon_dump;
  std::istringstream console(daemon_->out());
  for (std::string line; std::getline(console, line);)
    if (line.rfind("rx: #", 0) == 0) daemon_dump += line + "\n";
  EXPECT_EQ(daemon_dump, dump);
}

}  // namespace
}  // namespace morvix::test
