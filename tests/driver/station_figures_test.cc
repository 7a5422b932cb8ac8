// SPDX-License-Identifier: Apache-2.0
// The figures behind the status page: the last 60 seconds on a clock the
// test steps, the last frames passed on, and the sync word watch.
#include "driver/station_figures.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/main_loop.h"
#include "driver/metrics.h"
#include "runtime/clock.h"

namespace morvix {
namespace {

class StationFiguresTest : public ::testing::Test {
 protected:
  void SetUp() override { clock_override(&now_); }
  void TearDown() override { clock_override(nullptr); }

  // A frame of `length` bytes, each `fill`, passed on at the clock's now.
  void pass(int fill, int length = 8) {
    for (int k = 0; k < length; ++k) d_.block.frame[k] = static_cast<unsigned char>(fill);
    d_.checker.framelen = length;
    d_.quality.blocks = 2 + fill % 3;
    d_.quality.corrected_total = fill % 5;
    d_.quality.sync_wrong_bits = fill % 6;
    // Every seventh frame as the improved reading read it.
    d_.quality.soft = fill % 7 == 0 ? SoftQuality{true, 912, 1200 + fill, fill, 1} : SoftQuality{};
    ASSERT_EQ(handle_frame(loop_, d_, dist_), 1);
  }

  std::string stats_json() {
    static char text[kMetricsBytes];
    const size_t n = render_stats_json(text, sizeof text, d_, dist_, loop_);
    return std::string(text, n);
  }

  std::time_t now_ = 1'000'000;
  Decoder d_;
  Distribution dist_;
  LoopState loop_;
};

TEST_F(StationFiguresTest, TheLastMinuteIsTheLastSixtySecondsNotTheCalendarMinute) {
  now_ = 1'000'020;  // 20 s into a minute
  pass(1);
  pass(2);
  now_ += 30;  // 50 s into it
  pass(3);
  now_ += 15;  // 5 s into the next minute: all three are within 60 s
  EXPECT_EQ(frames_last_minute(loop_.figures, now_), 3u);
  EXPECT_NE(stats_json().find("\"frames_last_minute\":3,"), std::string::npos);
  now_ += 14;  // 59 s after the first two
  EXPECT_EQ(frames_last_minute(loop_.figures, now_), 3u);
  now_ += 1;  // 60 s after them: gone
  EXPECT_EQ(frames_last_minute(loop_.figures, now_), 1u);
  pass(4);
  EXPECT_EQ(frames_last_minute(loop_.figures, now_), 2u);
  now_ += 3600;  // an hour of silence wraps the buckets many times
  EXPECT_EQ(frames_last_minute(loop_.figures, now_), 0u);
  pass(5);
  EXPECT_EQ(frames_last_minute(loop_.figures, now_), 1u);
}

TEST_F(StationFiguresTest, RecentFramesAreTheLastTwentyOldestFirstWithTheirQuality) {
  EXPECT_NE(stats_json().find("\"recent_frames\":[]}"), std::string::npos);
  for (int i = 1; i <= 25; ++i) pass(i, i == 25 ? kMaxFrameBytes : 8);
  const std::string json = stats_json();
  const size_t list = json.find("\"recent_frames\":[{\"time\":");
  ASSERT_NE(list, std::string::npos) << json;
  // Frame 6 (bytes 06) is the oldest kept: 6 % 3 = 0 -> 2 blocks, 1 corrected, 0 wrong bits.
  EXPECT_EQ(json.find("\"length\":8,\"blocks\":2,\"corrections\":1,\"sync_wrong_bits\":0,"
                      "\"frame\":\"0606060606060606\",\"soft\":null}",
                      list),
            json.find("\"length\"", list));
  EXPECT_EQ(json.find("\"frame\":\"0505"), std::string::npos);
  EXPECT_NE(json.find("\"frame\":\"0707070707070707\",\"soft\":{\"sync_rho\":912,"
                      "\"ber_ppm\":1207,\"chase_bits\":7,\"chase_blocks\":1}}"),
            std::string::npos)
      << json;
  // The newest, of the longest length, last.
  std::string longest;
  for (int k = 0; k < kMaxFrameBytes; ++k) longest += "19";  // frame 25
  EXPECT_NE(json.find("\"length\":307,\"blocks\":3,\"corrections\":0,\"sync_wrong_bits\":1,"
                      "\"frame\":\"" +
                      longest + "\",\"soft\":null}]}"),
            std::string::npos);
  size_t frames = 0;
  for (size_t at = json.find("{\"time\":"); at != std::string::npos;
       at = json.find("{\"time\":", at + 1)) {
    ++frames;
  }
  EXPECT_EQ(frames, static_cast<size_t>(kRecentFrames));
}

// An inverted stream, or a wrong -s, gives only the sync words of noise:
// however few, samples without frames over two ticks give the hint that
// names both causes; no samples at all give the one about the source.
TEST_F(StationFiguresTest, HintsForFramesThatNeverComeAndInputThatStopsAreToldSeldom) {
  StationFigures& f = loop_.figures;
  f.input_port = 17001;
  d_.ring.sps = 9;
  std::FILE* journal = std::tmpfile();
  const auto tick = [&](int64_t samples, int sync_words, int frames) {
    d_.ring.bytes_in += samples / 8;
    d_.stats.sync_words += sync_words;
    d_.stats.frames_decoded += frames;
    now_ += 61;
    return watch_sync_words(f, d_, now_, journal);
  };
  const auto hint = [&] {
    const std::string json = stats_json();
    const size_t at = json.find("\"hint\":");
    return json.substr(at + 7, json.find(",\"", at) - at - 7);
  };
  EXPECT_EQ(tick(6'000'000, 1, 0), 0);  // one minute could be a sender between frames
  EXPECT_EQ(hint(), "null");
  EXPECT_EQ(tick(6'000'000, 0, 0), 1);  // two: the journal hears it once
  EXPECT_EQ(hint(),
            "\"hint: 1 sync word but no frame decoded over the last few minutes: is -s (now 9) the "
            "source's samples per bit, and is the polarity right (a sample of 0 is a line bit of "
            "1)?\"");
  for (int i = 0; i < 40; ++i) EXPECT_EQ(tick(6'000'000, 1, 0), 0) << i;  // standing, not repeated
  int written = 0;
  for (int i = 0; i < 30; ++i) written += tick(6'000'000, 1, 0);  // past the hour since the line
  EXPECT_EQ(written, 1);

  EXPECT_EQ(tick(6'000'000, 5, 1), 0);  // a frame decoded: no hint, on the page neither
  EXPECT_EQ(hint(), "null");
  for (int i = 0; i < kWatchTicks - 1; ++i) EXPECT_EQ(tick(6'000'000, 1, 0), 0);
  EXPECT_EQ(tick(6'000'000, 1, 0), 1);  // the frame out of the window: news again

  // The source stops: said at the first tick without samples, then seldom.
  EXPECT_EQ(tick(0, 0, 0), 1);
  EXPECT_EQ(hint(),
            "\"hint: no samples have arrived for 1 min: is the bitstream source running, and does "
            "it send to UDP port 17001 of this host?\"");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(tick(0, 0, 0), 0);
  EXPECT_NE(hint().find("for 4 min:"), std::string::npos) << hint();
  EXPECT_EQ(tick(6'000'000, 0, 1), 0);  // back, and decoding
  EXPECT_EQ(hint(), "null");

  std::rewind(journal);
  char line[256];
  int lines = 0;
  while (std::fgets(line, sizeof line, journal) != nullptr) ++lines;
  EXPECT_EQ(lines, 4);
  std::fclose(journal);
}

}  // namespace
}  // namespace morvix
