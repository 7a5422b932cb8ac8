// SPDX-License-Identifier: Apache-2.0
// Runs the real morvix-gen binary.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "tests/tools/line_reader.h"

namespace morvix::gen {
namespace {

class MorvixGenTest : public ::testing::Test {
 protected:
  MorvixGenTest() {
    std::string pattern = ::testing::TempDir() + "morvix-gen-XXXXXX";
    dir_ = mkdtemp(pattern.data());
  }
  ~MorvixGenTest() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  int run(const std::string& args) {
    // In the test's own directory, so relative output names land there.
    const std::string command =
        "cd " + dir_ + " && " + MORVIX_GEN_PATH + " " + args + " >stdout 2>stderr";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  Bytes read_bytes(const std::string& name) const {
    const std::string text = read(name);
    return Bytes(text.begin(), text.end());
  }

  std::string dir_;
};

std::string hex(const Bytes& bytes) {
  std::string text;
  for (uint8_t byte : bytes)
    text += "0123456789abcdef"[byte >> 4], text += "0123456789abcdef"[byte & 15];
  return text;
}

TEST_F(MorvixGenTest, BadArgumentsEndWithStatusTwoAndAMessage) {
  for (const char* args : {"",
                           "--out a --udp 127.0.0.1:9",
                           "--out a --sps 0",
                           "--out a --sps 10x",
                           "--out a --hex 0",
                           "--out a --hex zz",
                           "--out a --hex 01 --len 3",
                           "--out a --len 5-2",
                           "--out a --random-len 301",
                           "--out a --wrong-symbols 41:0:1",
                           "--out a --wrong-symbols 0:16:1",
                           "--out a --wrong-symbols 0:1",
                           "--out a --wrong-sync 40",
                           "--out a --broken 1.5",
                           "--out a --frames",
                           "--out a --bogus 1",
                           "--out a --gap-fill zeros",
                           "--out a --datagram 10",
                           "--udp 127.0.0.1:9 --datagram 2049",
                           "--out a --replay b",
                           "--udp 127.0.0.1",
                           "--udp 127.0.0.1:0",
                           "--udp 127.0.0.1:70000",
                           "--out a --clock-ppm 300",
                           "--out a --channel -0.1",
                           "--out a --channel 0.3 --clock-ppm 100001"}) {
    EXPECT_EQ(run(args), 2) << args;
    EXPECT_NE(read("stderr"), "") << args;
  }
  EXPECT_FALSE(std::filesystem::exists(path("a")));
  EXPECT_EQ(run("--help"), 0);
  EXPECT_NE(read("stdout").find("--wrong-symbols B:S:V"), std::string::npos);
}

TEST_F(MorvixGenTest, NamesAnUnknownOptionWhereverItStandsAndTellsItsVersion) {
  for (const char* args : {"--bogus --out a", "--out a --bogus", "--out a --bogus 1"}) {
    EXPECT_EQ(run(args), 2) << args;
    EXPECT_EQ(read("stderr").rfind("morvix-gen: unknown option '--bogus'\n", 0), 0u) << args;
  }
  EXPECT_EQ(run("--version"), 0);
  EXPECT_EQ(read("stdout"), std::string("morvix-gen ") + MORVIX_VERSION + "\n");
}

TEST_F(MorvixGenTest, HexPayloadAndFirstByteMakeThatFrame) {
  ASSERT_EQ(
      run("--hex 00fF10 --first-byte 0x7e --repeat 2 --phase 3 --gap 13 --tail 20 --sps 8 --out s "
          "--frames-out f"),
      0);
  const Bytes frame = build_frame(0x7E, {0x00, 0xFF, 0x10});
  EXPECT_EQ(read("f"), hex(frame) + "\n");
  const Bytes samples = read_bytes("s");
  // Phase, gap, tail and two sends of 40 + 2 * 85 line bits, padded to a whole byte.
  EXPECT_EQ(samples.size(), (3 + 13 + 20 + 2 * 210 * 8 + 7) / 8u);
  const Received got = receive(samples, 8);
  EXPECT_EQ(got.good, (std::vector<Bytes>{frame, frame}));
  EXPECT_EQ(got.bad, 0);
}

TEST_F(MorvixGenTest, FramesOutListsEveryGoodFrameOnTheLineOnce) {
  ASSERT_EQ(run("--frames 8 --repeat 2 --len 1-300 --broken 0.4 --gap 77 --gap-fill noise "
                "--phase 5 --sps 9 --wrong-symbols 0:3:5,0:11:1,1:15:31 --wrong-sync 2,20 "
                "--seed 4 --out " +
                path("s") + " --frames-out " + path("f")),
            0);
  std::vector<std::string> listed;
  std::istringstream lines(read("f"));
  for (std::string line; std::getline(lines, line);) listed.push_back(line);
  ASSERT_GT(listed.size(), 0u);
  ASSERT_LT(listed.size(), 8u);  // this seed breaks some frames

  const Received got = receive(read_bytes("s"), 9);
  ASSERT_EQ(got.good.size(), 2 * listed.size());
  for (size_t i = 0; i < got.good.size(); ++i) EXPECT_EQ(hex(got.good[i]), listed[i / 2]) << i;
  EXPECT_EQ(got.bad, static_cast<int>(2 * (8 - listed.size())));
}

TEST_F(MorvixGenTest, SameSeedSameStream) {
  ASSERT_EQ(run("--frames 3 --ber 0.01 --gap-fill noise --gap 50 --seed 77 --out " + path("a")), 0);
  ASSERT_EQ(run("--frames 3 --ber 0.01 --gap-fill noise --gap 50 --seed 77 --out " + path("b")), 0);
  ASSERT_EQ(run("--frames 3 --ber 0.01 --gap-fill noise --gap 50 --seed 78 --out " + path("c")), 0);
  EXPECT_EQ(read("a"), read("b"));
  EXPECT_NE(read("a"), read("c"));

  const std::string channel = "--frames 2 --gap-fill noise --gap 500 --channel 0.4 ";
  ASSERT_EQ(run(channel + "--clock-ppm -250 --seed 5 --out d"), 0);
  ASSERT_EQ(run(channel + "--clock-ppm -250 --seed 5 --out e"), 0);
  ASSERT_EQ(run(channel + "--seed 5 --out f"), 0);
  EXPECT_EQ(read("d"), read("e"));
  EXPECT_NE(read("d"), read("f"));
}

TEST_F(MorvixGenTest, SendsAndReplaysTheStreamInDatagramsToLoopback) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  const std::string target = " --udp 127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  auto drain = [fd](size_t datagram) {
    Bytes all;
    uint8_t buffer[2048];
    ssize_t got = 0;
    size_t last = datagram;
    while ((got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      EXPECT_EQ(last, datagram) << "only the last datagram may be short";
      last = static_cast<size_t>(got);
      EXPECT_LE(last, datagram);
      all.insert(all.end(), buffer, buffer + got);
    }
    return all;
  };

  const std::string stream = "--frames 2 --len 1-100 --seed 3";
  ASSERT_EQ(run(stream + " --out " + path("s")), 0);
  const Bytes samples = read_bytes("s");
  ASSERT_EQ(run(stream + " --datagram 100" + target), 0);
  EXPECT_EQ(drain(100), samples);

  // Paced so the last datagram is due after about 0.2 s.
  const double rate = static_cast<double>(samples.size() - 500) * 8 / 0.2;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(
      run("--replay " + path("s") + " --datagram 500 --rate " + std::to_string(rate) + target), 0);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(drain(500), samples);
  EXPECT_GE(took.count(), 0.19);
  close(fd);
}

}  // namespace
}  // namespace morvix::gen
