// SPDX-License-Identifier: Apache-2.0
// What morvix-client prints, taken apart and made again from a frame's
// bytes, for the tests of the client.
#pragma once

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tools/gen/signal_gen.h"

namespace morvix::test {

// Everything after the time stamp on a text line, made here from the bytes.
inline std::string text_fields(const gen::Bytes& f) {
  char head[64];
  std::snprintf(head, sizeof head, "len=%zu first=%02x F=%d B=%d payload=", f.size(), f[0],
                gen::frame_fill_bits(f), gen::frame_blocks(f));
  std::string line = head;
  for (size_t i = 5; i + 2 < f.size(); ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", f[i]);
    line += pair;
  }
  return line;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) all.push_back(line);
  return all;
}

// The members of one flat JSON object of strings (kept with their quotes),
// integers and booleans; empty when the line is not such an object.
inline std::map<std::string, std::string> json_members(const std::string& line) {
  static const std::regex member(R"re("(\w+)":("[^"\\]*"|-?\d+|true|false))re");
  if (line.size() < 2 || line.front() != '{' || line.back() != '}') return {};
  const std::string body = line.substr(1, line.size() - 2);
  std::map<std::string, std::string> members;
  for (auto at = body.cbegin(); at != body.cend();) {
    std::smatch m;
    if (!std::regex_search(at, body.cend(), m, member, std::regex_constants::match_continuous)) {
      return {};
    }
    members[m[1]] = m[2];
    at += m.length(0);
    if (at != body.cend() && *at++ != ',') return {};
  }
  return members;
}

}  // namespace morvix::test
