// SPDX-License-Identifier: Apache-2.0
// tools/demo.sh with the programs already built (MORVIX_BIN_DIR, installed
// side by side or a build tree): it must never feed a port that another
// program holds, must stop everything it started, and feeds no upstream
// server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "tests/support/process.h"
#include "tests/support/udp_test_util.h"

namespace morvix::test {
namespace {

// Whether a running process has text in its command line.
bool some_process_runs_with(const std::string& text) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string line(std::istreambuf_iterator<char>(in), {});
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

class DemoTest : public ::testing::Test {
 protected:
  // The programs side by side in bin_, or as a build tree lays them out.
  void place_programs(bool build_tree) {
    // The plain daemon, whose upstream server is never on this machine.
    for (const char* program : {MORVIX_PLAIN_BINARY, MORVIX_GEN_PATH, MORVIX_CLIENT_PATH}) {
      const std::filesystem::path target(program);
      const std::string name = target.filename().string();
      std::string dir = bin_.path();
      if (build_tree) dir += name == "morvix" ? "/driver" : "/tools";
      std::filesystem::create_directories(dir);
      std::filesystem::create_symlink(target, dir + "/" + name);
    }
  }

  std::unique_ptr<Process> demo(std::vector<std::string> args) {
    args.insert(args.begin(), {"MORVIX_BIN_DIR=" + bin_.path(), "/bin/bash", MORVIX_DEMO});
    return std::make_unique<Process>("/usr/bin/env", args, dir_.path());
  }

  ScratchDir bin_;
  ScratchDir dir_;
};

TEST_F(DemoTest, StopsAtOnceAndFeedsNothingWhenItsDaemonCannotStart) {
  place_programs(false);
  const UdpPeer station;  // holds the input port the demo is told to use
  auto d = demo({std::to_string(station.port()), std::to_string(free_tcp_port())});
  EXPECT_EQ(d->wait(5000), 1) << d->err();
  EXPECT_NE(d->err().find("morvix did not start"), std::string::npos) << d->err();
  std::vector<unsigned char> datagram;
  EXPECT_FALSE(station.receive(datagram, 500));
}

TEST_F(DemoTest, SaysWhichProgramIsMissingFromItsDirectory) {
  auto d = demo({});
  EXPECT_EQ(d->wait(5000), 1) << d->err();
  EXPECT_NE(d->err().find(bin_.path() + "/morvix is missing or not executable"), std::string::npos)
      << d->err();
  EXPECT_EQ(d->err().find("did not start"), std::string::npos) << d->err();
}

TEST_F(DemoTest, RunsFromABuildTreeTakesFreePortsAndStopsAllThreeProgramsOnSigterm) {
  place_programs(true);
  auto d = demo({});
  ASSERT_TRUE(d->wait_for_output("\n[client] ", 20000)) << d->out() << d->err();
  std::smatch ports;
  const std::string out = d->out();
  ASSERT_TRUE(
      std::regex_search(out, ports, std::regex(R"(UDP (\d+), port announcement on TCP (\d+))")))
      << out;
  const std::string rx = ports[1], tcp = ports[2];
  EXPECT_TRUE(some_process_runs_with("-t " + tcp));
  d->terminate();
  EXPECT_EQ(d->wait(0), 0) << d->err();
  EXPECT_FALSE(some_process_runs_with("-t " + tcp));        // morvix
  EXPECT_FALSE(some_process_runs_with("127.0.0.1:" + rx));  // morvix-gen
  EXPECT_FALSE(some_process_runs_with("--port " + tcp));    // morvix-client
  // -u off: no upstream server is looked up, so none is missing.
  EXPECT_EQ(d->err().find("upstream"), std::string::npos) << d->err();
}

}  // namespace
}  // namespace morvix::test
