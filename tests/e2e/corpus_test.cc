// SPDX-License-Identifier: Apache-2.0
// The regression corpus: recorded sample streams in tests/data, replayed
// through the real daemon, must dump exactly the frames recorded beside them
// (NAME.samples -> NAME.frames, one frame in hex per line; the samples per
// bit are in the name, "_spsN").
#include "tests/support/corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
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

class CorpusTest : public DaemonTest {
 protected:
  // Replays every recording through the daemon started with options (and
  // -d, -s from the name); check gets the recorded and the dumped frames.
  void replay_all(
      const std::vector<std::string>& options,
      const std::function<void(const std::string& name, const std::vector<std::string>& recorded,
                               const std::vector<std::string>& dumped)>& check) {
    const std::vector<Recording> recordings = corpus(MORVIX_CORPUS_DIR);
    for (const Recording& r : recordings) {
      ASSERT_NE(r.sps, 0) << r.name;
      std::vector<std::string> args = {"-d", "-s", std::to_string(r.sps)};
      args.insert(args.end(), options.begin(), options.end());
      start(args);
      const std::string samples = slurp(r.samples);
      send_samples(gen::Bytes(samples.begin(), samples.end()));
      daemon_->wait_for_output("rx: #" + std::to_string(r.frames.size() - 1) + " ", 15000);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing more may follow
      daemon_->terminate();
      check(r.name, r.frames, dumped_frames(daemon_->out()));
      daemon_.reset();
      cd_port_ = 0;
    }
    EXPECT_GE(recordings.size(), 5u);
  }
};

TEST_F(CorpusTest, EveryRecordingDecodesToItsRecordedFrames) {
  replay_all({},
             [](const std::string& name, const std::vector<std::string>& recorded,
                const std::vector<std::string>& dumped) { EXPECT_EQ(dumped, recorded) << name; });
}

// The improved reading hears at least what the literal one does, and
// nothing that was not sent.
TEST_F(CorpusTest, TheImprovedReadingDecodesEveryRecordedFrameAndNoOther) {
  replay_all({"-a"}, [](const std::string& name, const std::vector<std::string>& recorded,
                        const std::vector<std::string>& dumped) {
    size_t next = 0;
    for (const std::string& frame : dumped) {
      if (next < recorded.size() && frame == recorded[next]) ++next;
      EXPECT_NE(std::find(recorded.begin(), recorded.end(), frame), recorded.end())
          << name << ": " << frame;
    }
    EXPECT_EQ(next, recorded.size()) << name << ": recorded frame " << next << " missing";
  });
}

}  // namespace
}  // namespace morvix::test
