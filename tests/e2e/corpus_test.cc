// The regression corpus: recorded sample streams in tests/data, replayed
// through the real daemon, must dump exactly the frames recorded beside them
// (NAME.samples -> NAME.frames, one frame in hex per line; the samples per
// bit are in the name, "_spsN").
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

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

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
    int recordings = 0;
    for (const auto& entry : std::filesystem::directory_iterator(MORVIX_CORPUS_DIR)) {
      if (entry.path().extension() != ".samples") continue;
      ++recordings;
      const std::string name = entry.path().stem();
      std::smatch sps;
      const std::regex sps_in_name("_sps([0-9]+)");
      ASSERT_TRUE(std::regex_search(name, sps, sps_in_name)) << name;
      std::vector<std::string> expected;
      std::istringstream lines(slurp(entry.path().parent_path() / (name + ".frames")));
      for (std::string line; std::getline(lines, line);)
        if (!line.empty()) expected.push_back(line);

      std::vector<std::string> args = {"-d", "-s", sps[1].str()};
      args.insert(args.end(), options.begin(), options.end());
      start(args);
      const std::string samples = slurp(entry.path());
      send_samples(gen::Bytes(samples.begin(), samples.end()));
      daemon_->wait_for_output("rx: #" + std::to_string(expected.size() - 1) + " ", 15000);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing more may follow
      daemon_->terminate();
      check(name, expected, dumped_frames(daemon_->out()));
      daemon_.reset();
      cd_port_ = 0;
    }
    EXPECT_GE(recordings, 5);
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
