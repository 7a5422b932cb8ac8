// SPDX-License-Identifier: Apache-2.0
// Start-up with good and bad identity files, through the real daemon.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

using IdentityTest = DaemonTest;

TEST_F(IdentityTest, RefusesToStartWithoutAValidIdentity) {
  const std::string id = kIdentity;
  const struct {
    const char* name;
    std::string content;  // "-" for no file at all
    const char* message;
  } cases[] = {
      {"no file", "-", "can't locate uid file \"uid.txt\"\n"},
      {"empty", "", "uid format error\n"},
      {"39 digits", id.substr(1) + "\n", "uid format error\n"},
      {"41 digits", id + "0\n", "uid format error\n"},
      {"upper case", "0123456789ABCDEF0123456789abcdef01234567\n", "uid format error\n"},
      {"leading space", " " + id + "\n", "uid format error\n"},
      {"trailing space", id + " \n", "uid format error\n"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    if (c.content != "-") dir.write("uid.txt", c.content);
    const int rx_port = free_udp_port();
    Process p(MORVIX_BINARY, {"-r", std::to_string(rx_port), "-u", upstream_address()}, dir.path());
    EXPECT_EQ(p.wait(10000), 1) << c.name;
    EXPECT_EQ(p.err(), c.message) << c.name;
    // Nothing was opened or sent before the identity was checked.
    UdpPeer probe(rx_port);
    EXPECT_EQ(probe.port(), rx_port) << c.name;
  }
  EXPECT_TRUE(drain(*upstream_, 200).empty());
}

// A missing file keeps its one line (above); one that is there but cannot
// be opened (here a link to itself, which root cannot open either) says
// where it is and why.
TEST_F(IdentityTest, AnIdentityFileThatCannotBeOpenedIsNamedWithItsPathAndTheReason) {
  ScratchDir dir;
  std::filesystem::create_symlink("uid.txt", dir.path() + "/uid.txt");
  Process p(MORVIX_BINARY, {"-r", std::to_string(free_udp_port()), "-u", "off"}, dir.path());
  EXPECT_EQ(p.wait(10000), 1);
  EXPECT_EQ(p.err(), "can't locate uid file \"uid.txt\"\n" +
                         std::filesystem::canonical(dir.path()).string() +
                         "/uid.txt: Too many levels of symbolic links\n");
}

TEST_F(IdentityTest, AcceptsAnyLineEndAndIgnoresLaterLines) {
  for (const std::string tail : {"", "\n", "\r\n", "\nnot an identity at all\n"}) {
    ScratchDir dir;
    dir.write("uid.txt", kIdentity + tail);
    Process p(MORVIX_BINARY,
              {"-r", std::to_string(free_udp_port()), "-t", std::to_string(free_tcp_port()), "-u",
               upstream_address()},
              dir.path());
    std::vector<unsigned char> got;
    ASSERT_TRUE(upstream_->receive(got, 5000));
    EXPECT_EQ(std::string(got.begin(), got.end()), std::string("*uid:") + kIdentity + ":");
    EXPECT_TRUE(drain(*upstream_, 100).empty());
    EXPECT_TRUE(p.running());
    p.terminate();
  }
}

}  // namespace
}  // namespace morvix::test
