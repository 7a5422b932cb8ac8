// SPDX-License-Identifier: Apache-2.0
// Where morvix-gen's samples go: a file, or UDP datagrams of a fixed size,
// paced or as fast as possible.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tools/gen/gen_options.h"

namespace morvix::gen {

class Sink {
 public:
  // Opens --out, or resolves --udp's host and opens a socket; a failure ends
  // the program (status 1; 2 for a malformed --udp).
  explicit Sink(const Options& options);
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  // Writes bytes to the file, or sends every whole datagram's worth and
  // keeps the rest for later. A failure ends the program with status 1.
  void write(const Bytes& bytes);

  // Flushes the file, or sends what is left as one shorter datagram.
  void finish();

 private:
  void open_udp(const std::string& target);
  void send(const uint8_t* data, size_t size);

  size_t datagram_;
  std::FILE* file_ = nullptr;
  std::string name_;  // the file or HOST:PORT, for messages
  int fd_ = -1;
  sockaddr_in to_{};
  double rate_ = 0.0;  // samples per second; 0: as fast as possible
  std::chrono::steady_clock::time_point start_;
  long long sent_samples_ = 0;
  Bytes pending_;  // less than one datagram, waiting for more
};

}  // namespace morvix::gen
