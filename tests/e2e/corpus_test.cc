// SPDX-License-Identifier: Apache-2.0
// The regression corpus: recorded sample streams in tests/data, replayed
// through the real daemon, must dump exactly the frames recorded beside them
// (NAME.samples -> NAME.frames, one frame in hex per line; the samples per
// bit are in the name, "_spsN").
#include "tests/support/corpus.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/daemon.h"

namespace morvix::test {
namespace {

// The frames of the dump lines "rx: #N xx xx ... ", as plain hex.
std::vector<std::string> dumped_frames(const std::string& out) {
  std::vector<std::string> frames;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("rx: #", 0) != 0) continue;
    std::string hex;
    for (char c : line.substr(line.find(' ', 4) + 1))
      if (c != ' ') hex += c;
    frames.push_back(hex);
  }
  return frames;
}

using CorpusTest = DaemonTest;

// What the improved reading makes of the corpus is checked where the
// decoder reads it in datagrams (tests/tools/datagram_split_test.cc).
TEST_F(CorpusTest, EveryRecordingDecodesToItsRecordedFrames) {
  const std::vector<Recording> recordings = corpus(MORVIX_CORPUS_DIR);
  for (const Recording& r : recordings) {
    ASSERT_NE(r.sps, 0) << r.name;
    start({"-d", "-s", std::to_string(r.sps)});
    const std::string samples = slurp(r.samples);
    send_samples(gen::Bytes(samples.begin(), samples.end()));
    daemon_->wait_for_output("rx: #" + std::to_string(r.frames.size() - 1) + " ", 15000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing more may follow
    daemon_->terminate();
    EXPECT_EQ(dumped_frames(daemon_->out()), r.frames) << r.name;
    daemon_.reset();
    cd_port_ = 0;
  }
  EXPECT_GE(recordings.size(), 5u);
}

}  // namespace
}  // namespace morvix::test
