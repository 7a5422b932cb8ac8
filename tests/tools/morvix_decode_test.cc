// SPDX-License-Identifier: Apache-2.0
// Runs the real morvix-decode binary: a recording from a file, from standard
// input and through a pipe, the quality it reports for planted errors and
// for the improved reading's frames, and how it refuses what it cannot use.
// (The daemon replays the whole corpus, tests/e2e/corpus_test.cc, and prints
// what morvix-decode prints, tests/e2e/decode_tool_test.cc.)
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/corpus.h"
#include "tools/gen/signal_gen.h"

namespace morvix::gen {
namespace {

using test::corpus;
using test::Recording;
using test::slurp;

std::string hex(const Bytes& bytes) {
  std::string text;
  for (uint8_t byte : bytes)
    text += "0123456789abcdef"[byte >> 4], text += "0123456789abcdef"[byte & 15];
  return text;
}

class MorvixDecodeTest : public ::testing::Test {
 protected:
  MorvixDecodeTest() {
    std::string pattern = ::testing::TempDir() + "morvix-decode-XXXXXX";
    dir_ = mkdtemp(pattern.data());
  }
  ~MorvixDecodeTest() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs a shell command line in which $D is morvix-decode; its standard
  // output and error land in out_ and err_. Returns the exit status.
  int run(const std::string& line) {
    const std::string command = "D=" + std::string(MORVIX_DECODE_PATH) + "; cd " + dir_ + " && " +
                                line + " >stdout 2>stderr";
    const int status = std::system(command.c_str());
    out_ = slurp(path("stdout"));
    err_ = slurp(path("stderr"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  std::string dir_;
  std::string out_;
  std::string err_;
};

TEST_F(MorvixDecodeTest, DecodesARecordingToItsRecordedFramesFromAFileOrAPipe) {
  const std::vector<Recording> recordings = corpus(MORVIX_CORPUS_DIR);
  ASSERT_FALSE(recordings.empty());
  // The one with the most frames.
  const Recording& r = *std::max_element(
      recordings.begin(), recordings.end(),
      [](const Recording& a, const Recording& b) { return a.frames.size() < b.frames.size(); });
  // The daemon's dump of the recorded frames, numbered from 0.
  std::string dump;
  int number = 0;
  for (const std::string& frame : r.frames) {
    dump += "rx: #" + std::to_string(number++) + " ";
    for (size_t i = 0; i < frame.size(); i += 2) dump += frame.substr(i, 2) + " ";
    dump += "\n";
  }
  ASSERT_NE(number, 0) << r.name;
  const std::string file = r.samples.string();
  const std::string s = " -s " + std::to_string(r.sps) + " ";
  for (const std::string& line :
       {"$D" + s + file, "$D" + s + "- < " + file, "cat " + file + " | $D" + s + "-"}) {
    EXPECT_EQ(run(line), 0) << line << err_;
    EXPECT_EQ(out_, dump) << line;
    EXPECT_EQ(err_, "") << line;  // no progress line when standard error is not a terminal
  }
}

// Three sends at 7 samples per bit after idle: a frame with three wrong sync
// bits and three wrong symbols, the same frame clean (a repeat), another
// with five wrong sync bits; then one with six, which is no sync word.
class PlantedErrorsTest : public MorvixDecodeTest {
 protected:
  void SetUp() override {
    Bytes payload(40);
    for (auto& byte : payload) byte = static_cast<uint8_t>(rng_());
    first_ = build_frame(0x42, payload);  // 47 bytes: 7 blocks
    payload[0] ^= 1;
    second_ = build_frame(0x43, payload);
    LineOptions planted;
    planted.wrong_sync_bits = {0, 17, 39};
    planted.wrong_symbols = {{{3, 5}, {11, 1}}, {}, {{15, 31}}};
    LineOptions five;
    five.wrong_sync_bits = {1, 2, 3, 4, 5};
    LineOptions six;
    six.wrong_sync_bits = {1, 2, 3, 4, 5, 6};

    SampleWriter w(kSps);
    w.add_idle(1234);
    at_[0] = w.sample_count();
    w.add_line_bits(frame_line_bits(first_, planted, rng_));
    w.add_idle(500);
    at_[1] = w.sample_count();
    w.add_line_bits(frame_line_bits(first_, {}, rng_));
    w.add_idle(333);
    at_[2] = w.sample_count();
    w.add_line_bits(frame_line_bits(second_, five, rng_));
    w.add_idle(100);
    w.add_line_bits(frame_line_bits(build_frame(0x44, payload), six, rng_));
    write("planted.samples", w.take());
  }

  std::string json(int number, int at, const char* quality, bool repeat, const Bytes& frame) {
    return "{\"number\":" + std::to_string(number) + ",\"sample\":" + std::to_string(at_[at]) +
           ",\"phase\":" + std::to_string(at_[at] % kSps) + "," + quality +
           ",\"length\":47,\"repeat\":" + (repeat ? "true" : "false") + ",\"frame\":\"" +
           hex(frame) + "\"}\n";
  }

  static constexpr int kSps = 7;
  std::mt19937 rng_{21};
  Bytes first_;
  Bytes second_;
  int64_t at_[3] = {};
};

TEST_F(PlantedErrorsTest, JsonTellsWhereEachFrameStartsAndWhatWasWrong) {
  const char* planted = "\"sync_errors\":3,\"blocks\":[2,0,1,0,0,0,0],\"corrected\":3";
  const char* clean = "\"sync_errors\":0,\"blocks\":[0,0,0,0,0,0,0],\"corrected\":0";
  const char* five = "\"sync_errors\":5,\"blocks\":[0,0,0,0,0,0,0],\"corrected\":0";
  ASSERT_EQ(run("$D -s 7 --json planted.samples"), 0) << err_;
  EXPECT_EQ(out_, json(0, 0, planted, false, first_) + json(1, 2, five, false, second_));
  ASSERT_EQ(run("$D --all -s 7 --json planted.samples"), 0) << err_;
  EXPECT_EQ(out_, json(0, 0, planted, false, first_) + json(1, 1, clean, true, first_) +
                      json(2, 2, five, false, second_));
  // As dump lines, the repeat numbered on as if the daemon had kept it.
  ASSERT_EQ(run("$D --all -s 7 planted.samples"), 0) << err_;
  EXPECT_EQ(out_.substr(0, 6), "rx: #0");
  EXPECT_NE(out_.find("\nrx: #1 42 "), std::string::npos) << out_;
  EXPECT_NE(out_.find("\nrx: #2 43 "), std::string::npos) << out_;
}

TEST_F(PlantedErrorsTest, StatsSummarizeTheRunOnStandardError) {
  ASSERT_EQ(run("$D -s 7 --stats planted.samples"), 0) << err_;
  EXPECT_NE(err_.find("sync words: 3 (by wrong bits 0..5: 1 0 0 1 0 1)\n"), std::string::npos)
      << err_;
  EXPECT_NE(err_.find("frames decoded: 3 (new 2, repeats 1)\n"), std::string::npos) << err_;
  EXPECT_NE(err_.find("frames rejected: 0 "), std::string::npos) << err_;
  EXPECT_NE(err_.find("symbols corrected: 3 (blocks by symbols corrected 0..4: 19 1 1 0 0)\n"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("samples/s\n"), std::string::npos) << err_;
}

TEST_F(PlantedErrorsTest, AStreamThatEndsInsideAFrameGivesTheFramesBeforeIt) {
  const std::string whole = slurp(path("planted.samples"));
  // Up to the byte holding the last sample the decoder reads of the first
  // frame (the first of its last line bit), then one byte short of it.
  const auto first_end = static_cast<size_t>((at_[0] + (40 + 7 * 85 - 1) * kSps) / 8 + 1);
  write("end.samples", Bytes(whole.begin(), whole.begin() + static_cast<long>(first_end)));
  write("short.samples", Bytes(whole.begin(), whole.begin() + static_cast<long>(first_end) - 1));
  ASSERT_EQ(run("$D -s 7 end.samples"), 0) << err_;
  EXPECT_EQ(out_.rfind("rx: #0 42 ", 0), 0u) << out_;
  ASSERT_EQ(run("$D -s 7 short.samples"), 0) << err_;
  EXPECT_EQ(out_, "");
  ASSERT_EQ(run("$D - < /dev/null"), 0) << err_;
  EXPECT_EQ(out_, "");
}

// That the improved reading hears every frame the literal one does, and
// more, is checked on the decoder itself (improved_reading_test.cc).
TEST_F(MorvixDecodeTest, TheImprovedReadingReportsItsFramesFigures) {
  // 15-block frames through the generator's channel model, at a noise where
  // the literal reading gets about half of them.
  const std::string gen = "G=" + std::string(MORVIX_GEN_PATH) + "; ";
  ASSERT_EQ(run(gen + "$G --frames 60 --random-len 100 --channel 0.44 --seed 5 --gap 800 " +
                "--gap-fill noise --out weak.samples"),
            0)
      << err_;
  // Its frame figures: a sure sync word, a bit error rate the soft values
  // predict, and at this noise some bits that Chase decoding changed.
  ASSERT_EQ(run("$D -a --json weak.samples"), 0) << err_;
  EXPECT_NE(out_.find("\"soft\":{\"sync_rho\":"), std::string::npos) << out_;
  EXPECT_EQ(out_.find("\"chase_bits\":0,\"chase_blocks\":1"), std::string::npos);
  EXPECT_NE(out_.find(",\"chase_blocks\":1"), std::string::npos);
  EXPECT_EQ(out_.find("\"ber_ppm\":0,"), std::string::npos);
}

TEST_F(MorvixDecodeTest, RefusesBadArgumentsWithStatusTwoAndUnreadableInputWithOne) {
  write("s", Bytes(100, 0xFF));
  for (const char* args :
       {"", "-s 0 s", "-s 1001 s", "-s 10x s", "-s", "--bogus s", "-x s", "s s", "--json"}) {
    EXPECT_EQ(run(std::string("$D ") + args), 2) << args;
    EXPECT_NE(err_.find("morvix-decode: "), std::string::npos) << args << err_;
    EXPECT_EQ(out_, "") << args;
  }
  EXPECT_EQ(run("$D -s 1000 s"), 0) << err_;
  EXPECT_EQ(run("$D missing.samples"), 1);
  EXPECT_EQ(err_, "morvix-decode: can't open 'missing.samples': No such file or directory\n");
  EXPECT_EQ(run("$D ."), 1);
  EXPECT_EQ(err_, "morvix-decode: can't read '.': Is a directory\n");
  EXPECT_EQ(run("$D --help"), 0);
  EXPECT_NE(out_.find("-s SPS"), std::string::npos);
  EXPECT_EQ(run("$D --version"), 0);
  EXPECT_TRUE(std::regex_match(out_, std::regex("morvix-decode [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << out_;
}

}  // namespace
}  // namespace morvix::gen
