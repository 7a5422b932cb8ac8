// SPDX-License-Identifier: Apache-2.0
// The regression corpus in tests/data: recorded sample streams with the
// frames recorded beside them (NAME.samples -> NAME.frames, one frame in hex
// per line; the samples per bit are in the name, "_spsN").
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace morvix::test {

struct Recording {
  std::string name;                 // NAME
  std::filesystem::path samples;    // its sample file
  int sps = 0;                      // from the name
  std::vector<std::string> frames;  // the recorded frames, hex
};

// Every recording in dir (sps 0 where the name does not say).
std::vector<Recording> corpus(const std::filesystem::path& dir);

// The whole file.
std::string slurp(const std::filesystem::path& path);

}  // namespace morvix::test
