// SPDX-License-Identifier: Apache-2.0
// Datagram boundaries never change what is decoded: a stream sent to the
// daemon's input socket in datagrams of any sizes, cut anywhere (just after
// a sync word too), gives exactly the frames morvix-decode finds in the
// whole stream, in each reading. Along the way the decoder never asks for
// input while input is waiting. The improved reading hears every frame of
// the recorded corpus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/frame_checker.h"
#include "decoder/sample_ring.h"
#include "fec/link_codec.h"
#include "tests/support/corpus.h"
#include "tests/support/udp_test_util.h"
#include "tools/gen/channel.h"
#include "tools/gen/signal_gen.h"

namespace morvix::test {
namespace {

// A reading of the decoder: how the daemon's decoder and morvix-decode are
// told to use it. A new reading is one more line in the list below.
struct Reading {
  const char* name;
  int improved_reading;  // Decoder::improved_reading
  const char* option;    // morvix-decode's option for it, or ""
};

struct Stream {
  std::string name;
  int sps;
  gen::Bytes samples;
};

// A decoded frame as "SAMPLE FRAMEHEX": where its sync word began and what it held.
using Frames = std::vector<std::string>;

std::string json_field(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 3;
  std::string value = line.substr(from, line.find_first_of(",}", from) - from);
  value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
  return value;
}

std::string hex(const unsigned char* bytes, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "0123456789abcdef"[bytes[i] >> 4];
    text += "0123456789abcdef"[bytes[i] & 15];
  }
  return text;
}

// Channel-model streams: frames with random payloads through a noisy,
// band-limited channel whose clock runs off, gaps of noise between them.
Stream channel_stream(int sps, double noise, unsigned seed) {
  std::mt19937 rng(seed);
  gen::SampleWriter w(sps);
  gen::Channel channel(sps, noise, 400.0, rng);
  channel.silence(1234, w);
  for (int i = 0; i < 30; ++i) {
    gen::Bytes payload(1 + rng() % 200);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    channel.transmit(
        gen::frame_line_bits(gen::build_frame(static_cast<uint8_t>(i), payload), {}, rng), w);
    if (i % 3 == 0) channel.silence(rng() % (60 * sps), w);
    channel.idle(rng() % (20 * sps), w);
  }
  channel.idle(60 * sps, w);
  return {"channel_sps" + std::to_string(sps) + "_noise" + std::to_string(noise), sps, w.take()};
}

class DatagramSplitTest : public ::testing::TestWithParam<Reading> {
 protected:
  void TearDown() override { std::filesystem::remove(file_); }

  // morvix-decode --json --all over the whole stream.
  Frames offline(const Stream& s) {
    std::ofstream(file_, std::ios::binary)
        .write(reinterpret_cast<const char*>(s.samples.data()),
               static_cast<std::streamsize>(s.samples.size()));
    const std::string command = std::string(MORVIX_DECODE_PATH) + " -s " + std::to_string(s.sps) +
                                " " + GetParam().option + " --json --all " + file_ + " >" + file_ +
                                ".out";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::istringstream lines(slurp(file_ + ".out"));
    std::filesystem::remove(file_ + ".out");
    Frames frames;
    for (std::string line; std::getline(lines, line);)
      frames.push_back(json_field(line, "sample") + " " + json_field(line, "frame"));
    return frames;
  }

  // Datagram ends: random sizes of 1 to 2048 bytes (small ones often), and
  // ends near the first sample of each sync word that frames has, above
  // all 52 to 54 bytes on.
  static std::vector<size_t> cuts(const Stream& s, const Frames& frames, std::mt19937& rng) {
    std::set<size_t> ends;
    for (size_t at = 0; at < s.samples.size();) {
      at += rng() % 4 == 0 ? 1 + rng() % 16 : 1 + rng() % 2048;
      ends.insert(std::min(at, s.samples.size()));
    }
    for (const std::string& f : frames) {
      const size_t sync_byte = std::stoul(f) / 8;
      for (size_t ahead : {0, 1, 7, 51, 52, 53, 54, 55, 60, 100})
        if (sync_byte + ahead + 1 < s.samples.size()) ends.insert(sync_byte + ahead + 1);
    }
    return {ends.begin(), ends.end()};
  }

  // The stream through the decoder's input socket, a few datagrams at a
  // time, each time decoding until the decoder needs input; then the end
  // of the input as morvix-decode has it.
  static Frames live(const Stream& s, const std::vector<size_t>& ends, std::mt19937& rng) {
    Decoder d;
    decoder_setup(d, s.sps, 1, link_codec());
    d.improved_reading = GetParam().improved_reading;
    EXPECT_TRUE(server_open_dstream(d.ring, 0));
    const int port = local_port(d.ring.dfd);
    UdpPeer source;
    Frames frames;
    const auto take = [&] {
      while (next_frame(d))
        frames.push_back(std::to_string(d.quality.sample) + " " +
                         hex(d.block.frame, d.checker.framelen));
    };
    size_t at = 0;
    for (size_t i = 0; i < ends.size();) {
      for (int burst = 1 + static_cast<int>(rng() % 8); burst > 0 && i < ends.size(); --burst) {
        source.send_to(port, s.samples.data() + at, ends[i] - at);
        at = ends[i++];
      }
      take();
      EXPECT_FALSE(input_waiting(d.ring))
          << "asked for input with input waiting, before byte " << at;
      if (input_waiting(d.ring)) break;  // it would wait for good
    }
    EXPECT_EQ(d.ring.input.dropped, 0);
    input_ended(d.ring);
    take();
    close(d.ring.dfd);
    return frames;
  }

  // The frames of the whole stream, once they are checked against the
  // stream cut into datagrams.
  Frames check(const Stream& s) {
    const Frames whole = offline(s);
    EXPECT_FALSE(whole.empty()) << s.name;
    for (unsigned seed = 1; seed <= 3 && !whole.empty(); ++seed) {
      std::mt19937 rng(seed);
      const std::vector<size_t> ends = cuts(s, whole, rng);
      EXPECT_EQ(live(s, ends, rng), whole) << s.name << " seed " << seed;
    }
    return whole;
  }

  std::string file_ = ::testing::TempDir() + "datagram-split-" + std::to_string(getpid());
};

// The improved reading also hears every recorded frame (the literal
// reading's), in order, and nothing that was not recorded.
TEST_P(DatagramSplitTest, TheCorpusDecodesAsAWholeFileDoes) {
  for (const Recording& r : corpus(MORVIX_CORPUS_DIR)) {
    const std::string text = slurp(r.samples);
    const Frames whole = check({r.name, r.sps, gen::Bytes(text.begin(), text.end())});
    if (!GetParam().improved_reading) continue;
    size_t next = 0;
    for (const std::string& sample_and_frame : whole) {
      const std::string frame = sample_and_frame.substr(sample_and_frame.find(' ') + 1);
      if (next < r.frames.size() && frame == r.frames[next]) ++next;
      EXPECT_NE(std::find(r.frames.begin(), r.frames.end(), frame), r.frames.end())
          << r.name << ": " << frame;
    }
    EXPECT_EQ(next, r.frames.size()) << r.name << ": recorded frame " << next << " missing";
  }
}

TEST_P(DatagramSplitTest, ChannelModelStreamsDecodeAsAWholeFileDoes) {
  for (int sps : {3, 10, 16}) {
    check(channel_stream(sps, 0.2, 10 + sps));
    check(channel_stream(sps, 0.35, 20 + sps));
  }
}

INSTANTIATE_TEST_SUITE_P(Readings, DatagramSplitTest,
                         ::testing::Values(Reading{"literal", 0, ""}, Reading{"improved", 1, "-a"}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace morvix::test
