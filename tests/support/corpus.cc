// SPDX-License-Identifier: Apache-2.0
#include "tests/support/corpus.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace morvix::test {

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<Recording> corpus(const std::filesystem::path& dir) {
  std::vector<Recording> all;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".samples") continue;
    Recording r;
    r.name = entry.path().stem();
    r.samples = entry.path();
    std::smatch sps;
    if (std::regex_search(r.name, sps, std::regex("_sps([0-9]+)"))) r.sps = std::stoi(sps[1]);
    std::istringstream lines(slurp(dir / (r.name + ".frames")));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) r.frames.push_back(line);
    }
    all.push_back(r);
  }
  return all;
}

}  // namespace morvix::test
