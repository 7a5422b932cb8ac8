// SPDX-License-Identifier: Apache-2.0
// The improved reading's learning over streams that test it: thousands of
// frames of one channel, a channel that changes, two transmitters heard in
// turn, and crafted frames before its first frames. Each compares the
// frames it decodes with what it decodes where nothing goes against it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/decoder/frame_signal.h"
#include "tools/gen/channel.h"

namespace morvix::test {
namespace {

gen::ChannelOptions slicer(double level) {
  gen::ChannelOptions o;
  o.slicer = level;
  return o;
}

// A sender: its channel and noise, or crafted frames (one sample of each
// line bit right, the others inverted: the literal reading decodes them at
// that phase, any soft reading sees them inverted).
struct Sender {
  gen::ChannelOptions channel;
  double noise = 0;
  bool crafted = false;
};

class LearningTest : public FrameSignalTest {
 protected:
  // Frames of `blocks` blocks from senders[order[i]], noise between them;
  // then the improved reading's verdict per frame.
  std::vector<bool> decoded(const std::vector<Sender>& senders, const std::vector<int>& order,
                            int blocks, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<gen::Channel> channels;
    channels.reserve(senders.size());
    for (const Sender& s : senders) channels.emplace_back(10, s.noise, 0, rng, s.channel);
    gen::SampleWriter w(10);
    std::vector<Bytes> sent;
    for (size_t i = 0; i < order.size(); ++i) {
      sent.push_back(gen::build_frame(
          static_cast<uint8_t>(i),
          payload_of(blocks * 60 / 8 - 8, seed * 7919 + static_cast<unsigned>(i))));
      const gen::Bits bits = gen::frame_line_bits(sent.back(), {}, rng);
      gen::Channel& c = channels[static_cast<size_t>(order[i])];
      if (!senders[static_cast<size_t>(order[i])].crafted) {
        c.silence(1000, w);
        c.transmit(bits, w);
        continue;
      }
      w.add_idle(1000);
      for (uint8_t bit : bits) {
        w.add_sample(1 - bit);
        w.add_samples(9, bit);
      }
    }
    channels[0].silence(1000, w);
    w.add_idle(40000);
    setup(10);
    d_.improved_reading = 1;
    std::vector<bool> got(sent.size(), false);
    for (const Bytes& f : decode(w.take())) {
      const auto it = std::find(sent.begin(), sent.end(), f);
      EXPECT_NE(it, sent.end()) << "a frame that was not sent";
      if (it != sent.end()) got[static_cast<size_t>(it - sent.begin())] = true;
    }
    return got;
  }

  static std::vector<int> repeat(int sender, int n, std::vector<int> before = {}) {
    before.insert(before.end(), static_cast<size_t>(n), sender);
    return before;
  }

  // Share of frames [from, to) decoded, of those sent by sender (any when -1).
  static double share(const std::vector<bool>& got, const std::vector<int>& order, size_t from,
                      size_t to, int sender = -1) {
    int n = 0, k = 0;
    for (size_t i = from; i < to; ++i) {
      if (sender >= 0 && order[i] != sender) continue;
      ++n;
      k += got[i];
    }
    return n ? static_cast<double>(k) / n : 0;
  }
};

TEST_F(LearningTest, ASteadyChannelKeepsItsShareOverThousandsOfFrames) {
  // Short frames, so that thousands are quick: what they teach adds up as
  // long frames' would.
  const std::vector<int> order = repeat(0, 6000);
  const std::vector<bool> got = decoded({{{}, 0.60}}, order, 2, 3);
  const double first = share(got, order, 0, 1000), last = share(got, order, 5000, 6000);
  EXPECT_GT(first, 0.7);
  EXPECT_GE(last, first - 0.04) << "first thousand " << first;
}

TEST_F(LearningTest, FollowsASlicerOffsetThatAppearsAndOneThatGoes) {
  const Sender clean{{}, 0.52}, offset{slicer(0.5), 0.52};
  // Warmed on one channel, then the other; against a start on the other.
  for (const auto& [from, to] : {std::pair{clean, offset}, std::pair{offset, clean}}) {
    const std::vector<int> order = repeat(1, 60, repeat(0, 40));
    const std::vector<bool> changed = decoded({from, to}, order, 15, 5);
    const std::vector<bool> warmed = decoded({to, to}, order, 15, 5);
    EXPECT_GE(share(changed, order, 70, 100), 0.85 * share(warmed, order, 70, 100))
        << "slicer " << from.channel.slicer << " to " << to.channel.slicer;
  }
}

TEST_F(LearningTest, TwoTransmittersInTurnDoNotSpoilEachOther) {
  const Sender clean{{}, 0.60}, offset{slicer(0.5), 0.60};
  std::vector<int> both;
  for (int i = 0; i < 100; ++i) both.insert(both.end(), {0, 1});
  const std::vector<bool> mixed = decoded({clean, offset}, both, 15, 7);
  for (int k = 0; k < 2; ++k) {
    const std::vector<int> order = repeat(0, 100);
    const std::vector<bool> alone = decoded({k ? offset : clean}, order, 15, 7);
    EXPECT_GE(share(mixed, both, 0, both.size(), k), 0.8 * share(alone, order, 0, order.size()))
        << "transmitter " << k;
  }
}

TEST_F(LearningTest, CraftedFramesBeforeTheFirstFramesDoNotSwitchItOff) {
  Sender crafted;
  crafted.crafted = true;
  const Sender legit{{}, 0.55};
  const std::vector<int> clean = repeat(0, 100), hit = repeat(0, 100, repeat(1, 15));
  const double start = share(decoded({legit}, clean, 15, 11), clean, 0, 100);
  const std::vector<bool> after = decoded({legit, crafted}, hit, 15, 11);
  EXPECT_GT(start, 0.9);
  EXPECT_GE(share(after, hit, 15, hit.size()), start - 0.05);
}

}  // namespace
}  // namespace morvix::test
